// pull: the page walk of a data source, writing each page as a file. Every
// job chosen is attempted: a job that fails is reported, its pages already
// written are removed, and the walk goes on with the next one; a server
// that dies on the way is replaced by a new one, which the walk goes on
// with. The exit code says whether every job came over.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "display_width.h"
#include "image_files.h"
#include "json.h"
#include "messages.h"
#include "output.h"
#include "page_files.h"
#include "text.h"

namespace stiscan {

namespace {

constexpr int kTwrcSuccess = 0;
constexpr int kTwrcFailure = 1;
constexpr int kTwrcXferDone = 6;
constexpr int kNativeTransfer = 0, kFileTransfer = 1, kMemoryTransfer = 2;
constexpr DWORD kDriverBmp = 5, kDriverTiff = 1;

// How many times one pull starts over with a new server after its server
// died: a driver that takes its server down on every job must not keep the
// pull going for ever.
constexpr int kMostRestarts = 2;

// Why the server answers S_FALSE where a page should be prepared or
// described: it hands the scanner's driver the job's name in the ANSI code
// page, in at most 260 bytes.
const char kNameTooLongForAnsi[] =
    "S_FALSE: the job's name does not fit 260 bytes in the server's ANSI code page";

// A failure of one page: what failed, and the code that says why: an
// HRESULT (a file's from the system, else the scanner's), a TWAIN status, or
// neither.
struct PageFailure {
  std::string what;
  HRESULT hr = S_OK;
  int status = kTwrcSuccess;
  Source source = Source::kScanner;
  std::string meaning;  // instead of the HRESULT's usual one

  bool Failed() const { return !what.empty(); }
  std::string Described() const
  {
    if (!meaning.empty())
      return what + ": " + Format("0x%08lX", static_cast<unsigned long>(hr)) + " (" + meaning + ")";
    if (hr != S_OK) return what + ": " + DescribeHresult(hr, source);
    if (status != kTwrcSuccess) return what + ": " + DescribeTwainStatus(status);
    return what;
  }
};

PageFailure ScannerFailure(const std::string& what, HRESULT hr, int status = kTwrcSuccess)
{
  PageFailure failure;
  failure.what = what;
  failure.hr = hr;
  failure.status = status;
  return failure;
}

// One job of the pull.
struct Job {
  std::wstring name;
  int index = -1;  // in the item list of the connection in use
  enum class State { kWaiting, kPulled, kFailed } state = State::kWaiting;
  std::vector<std::wstring> paths;  // the page files written, full
  std::vector<std::string> shown;   // the same as the user gave the folder
  std::vector<long long> sizes;     // their bytes
};

class Puller {
 public:
  Puller(const Options& options, PageFolder& folder)
      : options_(options), folder_(folder), chunk_(static_cast<size_t>(options.chunk))
  {
    mechanism_ = options.transfer == "native"   ? kNativeTransfer
                 : options.transfer == "memory" ? kMemoryTransfer
                                                : kFileTransfer;
    extension_ = options.transfer != "file" ? L".bmp"
                 : options.format == "tiff" ? L".tif"
                                            : L".bmp";
    terminal_ = OutIsConsole() && !options.json;
  }

  // Walks the waiting jobs on `c`: selects them, then page by page. Returns
  // S_OK when the walk is over, or the HRESULT of a server that died.
  HRESULT Walk(Connection& c, std::vector<Job>& jobs)
  {
    std::vector<Job*> order;
    std::vector<int> indices;
    for (Job& job : jobs) {
      if (job.state != Job::State::kWaiting) continue;
      order.push_back(&job);
      indices.push_back(job.index);
    }
    if (order.empty()) return S_OK;
    c->SetPagesRemaining(0);
    HRESULT hr = c->SetSelection(indices.data(), static_cast<int>(indices.size()));
    if (ServerGone(hr)) return hr;
    if (FAILED(hr)) {
      for (Job* job : order) FailJob(*job, 1, ScannerFailure("the job could not be selected", hr));
      return S_OK;
    }
    TW_IMAGEINFO info = {};
    hr = c->GetImageInfo(&info, 0);
    if (ServerGone(hr)) return hr;
    int left = 0;
    hr = c->AdvancePage(1, &left, 0);
    if (ServerGone(hr)) return hr;
    if (total_ == 0) total_ = left;

    for (size_t k = 0; k < order.size() && left > 0; ++k) {
      Job& job = *order[k];
      int position = 0, pages = 0;
      hr = c->GetPagePosition(&position, &pages);
      if (ServerGone(hr)) return hr;
      for (int page = 1;; ++page) {
        if (job.state == Job::State::kWaiting) {
          const PageFailure failure = PullPage(c, job, page);
          if (failure.Failed()) {
            FailJob(job, page, failure);
            if (ServerGone(failure.hr)) return failure.hr;
          }
        }
        const bool lastPage = page >= pages;
        hr = c->AdvancePage(0, &left, 0);
        // Every page of the job is written once the walk leaves it.
        if (lastPage && job.state == Job::State::kWaiting) job.state = Job::State::kPulled;
        if (FAILED(hr)) {
          Job* next = !lastPage ? &job : k + 1 < order.size() ? order[k + 1] : nullptr;
          if (next != nullptr && next->state == Job::State::kWaiting)
            FailJob(*next, lastPage ? 1 : page + 1,
                    ScannerFailure("the walk could not go on to the page", hr));
          if (ServerGone(hr)) return hr;
        }
        if (lastPage || left <= 0) break;
      }
    }
    return S_OK;
  }

  // Reports a job as failed, with the page (0: the job as a whole) and the
  // failure, and removes its pages already written.
  void FailJob(Job& job, int page, const PageFailure& failure)
  {
    job.state = Job::State::kFailed;
    std::string removed;
    size_t gone = 0;
    for (size_t i = 0; i < job.paths.size(); ++i) {
      FileFailure notRemoved;
      if (PageFolder::Remove(job.paths[i], notRemoved)) {
        ++gone;
        bytes_ -= job.sizes[i];
      } else {
        removed += "; " + notRemoved.what + ": " +
                   DescribeHresult(HRESULT_FROM_WIN32(notRemoved.error), Source::kSystem);
      }
    }
    if (gone > 0)
      removed = Format("; its %zu page%s already written %s removed", gone, gone == 1 ? "" : "s",
                       gone == 1 ? "was" : "were") +
                removed;
    pages_ -= static_cast<int>(gone);
    job.paths.clear();
    job.shown.clear();
    job.sizes.clear();
    if (terminal_) Out("\n");
    const std::string where = page > 0 ? "page " + std::to_string(page) + " of " : "job ";
    Note(where + Quoted(Narrow(job.name)) + ": " + failure.Described() + removed);
  }

  int Pages() const { return pages_; }
  long long Bytes() const { return bytes_; }
  long long Reads() const { return reads_; }
  bool Terminal() const { return terminal_; }

 private:
  // The current page, written as its file. Returns the failure, if any.
  PageFailure PullPage(Connection& c, Job& job, int page)
  {
    BSTR current = nullptr;
    int serverPage = 0;
    HRESULT hr = c->GetCurrentItemName(&current, &serverPage);
    const std::wstring itemName =
        current != nullptr ? std::wstring(current, SysStringLen(current)) : std::wstring();
    SysFreeString(current);
    if (FAILED(hr)) return ScannerFailure("the server did not name the current job", hr);
    if (itemName != job.name || serverPage != page)
      return ScannerFailure("the server's walk stands at page " + std::to_string(serverPage) +
                                " of " + Quoted(Narrow(itemName)) + " instead",
                            S_OK);

    // The page's description (from the driver for a second page on), then
    // the preparation of the transfer the user asked for.
    TW_IMAGEINFO info = {};
    hr = c->GetImageInfo(&info, 1);
    if (hr == S_FALSE) {
      PageFailure failure = ScannerFailure("the server did not describe the page", hr);
      failure.meaning =
          std::string(kNameTooLongForAnsi) + ", or the scanner's lock was not to be had";
      return failure;
    }
    if (FAILED(hr)) return ScannerFailure("the server did not describe the page", hr);
    int status = -1;
    hr = c->PrepareTransfer(0, 0, mechanism_, 0, 0, 0, 0, 0, &status);
    if (hr == S_FALSE) {
      PageFailure failure = ScannerFailure("the server did not prepare the transfer", hr);
      failure.meaning =
          std::string(kNameTooLongForAnsi) +
          (mechanism_ == kFileTransfer ? ", or the job's stored format was not to be read" : "");
      return failure;
    }
    if (FAILED(hr)) return ScannerFailure("the server did not prepare the transfer", hr);
    if (status != kTwrcSuccess)
      return ScannerFailure("the transfer was not prepared", S_OK, status);

    std::vector<unsigned char> file;
    PageFailure failure = Transfer(c, itemName, info, file);
    if (failure.Failed()) return failure;

    std::string shown;
    std::wstring path;
    FileFailure fileFailure;
    if (!folder_.Write(job.name, page, extension_, file, shown, path, fileFailure)) {
      failure.what = fileFailure.what;
      failure.hr = HRESULT_FROM_WIN32(fileFailure.error);
      failure.source = Source::kSystem;
      return failure;
    }
    job.paths.push_back(path);
    job.shown.push_back(shown);
    job.sizes.push_back(static_cast<long long>(file.size()));
    bytes_ += static_cast<long long>(file.size());
    ++pages_;
    const std::string item = Printable(Narrow(job.name));
    if (terminal_) {
      const int width = 30, done = width * std::min(pages_, total_) / std::max(total_, 1);
      Out("\r[" + std::string(static_cast<size_t>(done), '#') +
          std::string(static_cast<size_t>(width - done), ' ') + "] " +
          Format("%d/%d pages ", pages_, total_) + FitColumns(item, 24) + Format(" p%d ", page));
    } else if (!options_.json) {
      Out(Format("page %d/%d: ", pages_, total_) + item + Format(" page %d -> ", page) +
          Printable(shown) + Format(" (%zu bytes)\n", file.size()));
    }
    return {};
  }

  // The page's bytes by the transfer the user asked for, as a file's bytes.
  PageFailure Transfer(Connection& c, const std::wstring& itemName, const TW_IMAGEINFO& info,
                       std::vector<unsigned char>& file)
  {
    name_ = itemName;
    STI_TRANSFER_REQUEST request = {};
    request.itemName = name_.data();
    PageFailure failure;
    if (mechanism_ == kNativeTransfer) {
      request.operation = 1;
      unsigned char header[kBitmapInfoHeaderBytes] = {};
      int status = 0;
      HRESULT hr = c->ReadImageHeader(&request, header, sizeof header, &status);
      if (FAILED(hr)) return ScannerFailure("the page's bitmap header could not be read", hr);
      if (status != kTwrcXferDone)
        return ScannerFailure("the page's bitmap header could not be read", S_OK, status);
      std::vector<unsigned char> dib;
      failure = Read(c, request, DibBytes(header), chunk_, dib);
      if (failure.Failed()) return failure;
      file = BmpFromDib(header, dib);
    } else if (mechanism_ == kMemoryTransfer) {
      request.operation = 0;
      request.page = 1;
      const size_t row =
          (static_cast<size_t>(info.ImageWidth) * static_cast<size_t>(info.BitsPerPixel) + 7) / 8;
      if (row == 0 || row > chunk_)
        return ScannerFailure("a row of the page does not fit one read (raise --chunk)", S_OK);
      std::vector<unsigned char> rows;
      failure =
          Read(c, request, row * static_cast<size_t>(info.ImageLength), chunk_ / row * row, rows);
      if (failure.Failed()) return failure;
      file = BmpFromRows(info.ImageWidth, info.ImageLength, info.BitsPerPixel, rows);
    } else {
      request.operation = 2;
      request.formatCode = options_.format == "tiff" ? kDriverTiff : kDriverBmp;
      short stored = -1;
      c->GetCurrentItemFormat(&stored);
      request.formatChanged = stored != (options_.format == "tiff" ? 0 : 2) ? 1 : 0;
      int size = 0, status = 0;
      HRESULT hr = c->QueryTransferSize(&request, &size, &status);
      if (FAILED(hr)) return ScannerFailure("the scanner did not say the file's size", hr);
      failure = Read(c, request, static_cast<size_t>(size), chunk_, file);
      if (failure.Failed()) return failure;
    }
    if (file.empty())
      return ScannerFailure("the scanner's page is not a bitmap of a kind this program writes",
                            S_OK);
    return failure;
  }

  // Reads a transfer of `total` bytes. The interface does not say how much
  // of a read the driver filled: a read is full but for the last (native and
  // file transfers) or holds whole rows (memory transfers), so `useful`
  // bytes of each count.
  PageFailure Read(Connection& c, STI_TRANSFER_REQUEST& request, size_t total, size_t useful,
                   std::vector<unsigned char>& out)
  {
    out.clear();
    out.reserve(total);
    buffer_.resize(chunk_);
    while (out.size() < total) {
      int status = -1;
      HRESULT hr = c->ReadImageData(&request, buffer_.data(), static_cast<int>(chunk_), &status);
      ++reads_;
      if (FAILED(hr)) return ScannerFailure("a read of the page failed", hr);
      if (status == kTwrcFailure) return ScannerFailure("a read of the page failed", S_OK, status);
      const size_t take = std::min(useful, total - out.size());
      out.insert(out.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(take));
      if (status == kTwrcXferDone) break;
    }
    if (out.size() < total)
      return ScannerFailure(Format("the page ended after %zu of its %zu bytes", out.size(), total),
                            S_OK);
    return {};
  }

  const Options& options_;
  PageFolder& folder_;
  size_t chunk_;
  int mechanism_ = kNativeTransfer;
  std::wstring extension_;
  bool terminal_ = false;
  std::wstring name_;
  std::vector<unsigned char> buffer_;
  int pages_ = 0, total_ = 0;
  long long bytes_ = 0, reads_ = 0;
};

// The jobs to pull: the one the options name, or every one of this user's. Prints and returns the
// exit code when there is none to pull by that name, else 0.
int ChooseJobs(Connection& c, const Options& options, std::vector<Job>& jobs)
{
  const std::wstring wanted = Widen(options.job);
  for (int index = 0; index < c.JobCount(); ++index) {
    Job job;
    job.index = index;
    if (!c.ItemName(index, job.name)) continue;
    if (options.job.empty()) {
      if (c.IsYours(index)) jobs.push_back(job);
      continue;
    }
    if (job.name != wanted) continue;
    int flag = 0;
    c->GetItemFlag(index, &flag);
    c->SetPagesRemaining(0);
    if (flag == 0)
      return Fail("the job " + Quoted(options.job) + " is not ready yet", kExitFailure);
    if (!c.IsYours(index))
      return Fail("the job " + Quoted(options.job) + " belongs to another user", kExitAccessDenied);
    jobs.push_back(job);
    return 0;
  }
  c->SetPagesRemaining(0);
  if (!options.job.empty())
    return Fail("no job named " + Quoted(options.job) + " is stored", kExitFailure);
  return 0;
}

// After a new server: each job's index in its list, by name (the first of a
// name not given to an earlier job). A waiting job that is gone fails.
void FindAgain(Connection& c, std::vector<Job>& jobs, Puller& puller)
{
  std::vector<std::wstring> names(static_cast<size_t>(c.JobCount()));
  for (int index = 0; index < c.JobCount(); ++index) c.ItemName(index, names[index]);
  c->SetPagesRemaining(0);
  std::vector<bool> taken(names.size(), false);
  for (Job& job : jobs) {
    if (job.state == Job::State::kFailed) continue;
    job.index = -1;
    for (size_t i = 0; i < names.size() && job.index < 0; ++i) {
      if (!taken[i] && names[i] == job.name) {
        taken[i] = true;
        job.index = static_cast<int>(i);
      }
    }
    if (job.index < 0 && job.state == Job::State::kWaiting)
      puller.FailJob(job, 0, ScannerFailure("the new scanner server does not list it", S_OK));
  }
}

// Lets the scanner delete the jobs that came over whole (and only those),
// when the user's delete-after-scan option is on: the deletion step of the
// walk, on a selection of them alone.
HRESULT DeletePulled(Connection& c, const std::vector<Job>& jobs)
{
  std::vector<int> indices;
  for (const Job& job : jobs)
    if (job.state == Job::State::kPulled && job.index >= 0) indices.push_back(job.index);
  if (indices.empty()) return S_OK;
  c->SetPagesRemaining(0);
  HRESULT hr = c->SetSelection(indices.data(), static_cast<int>(indices.size()));
  if (FAILED(hr)) return hr;
  c->SetPagesRemaining(0);
  int left = 0;
  return c->AdvancePage(1, &left, 1);
}

}  // namespace

int Pull(const Options& options)
{
  auto c = std::make_unique<Connection>();
  if (int code = c->OpenJobs(options)) return code;
  std::vector<Job> jobs;
  if (int code = ChooseJobs(*c, options, jobs)) return code;
  if (jobs.empty()) {
    Out("No job you may access is stored on " + Quoted(Narrow(c->DeviceName())) + ".\n");
    return kExitSuccess;
  }
  PageFolder folder;
  FileFailure folderFailure;
  if (!folder.Open(options.out, folderFailure)) {
    Fail(folderFailure.what, HRESULT_FROM_WIN32(folderFailure.error), Source::kSystem);
    return kExitFailure;
  }

  Puller puller(options, folder);
  const ULONGLONG started = GetTickCount64();
  for (int restarts = 0;; ++restarts) {
    const HRESULT gone = puller.Walk(*c, jobs);
    if (gone == S_OK) break;
    c->Abandon();
    c.reset();
    std::vector<Job*> waiting;
    for (Job& job : jobs)
      if (job.state == Job::State::kWaiting) waiting.push_back(&job);
    if (waiting.empty() && !options.deleteAfter) break;
    if (restarts == kMostRestarts) {
      for (Job* job : waiting)
        puller.FailJob(*job, 0,
                       ScannerFailure(Format("not attempted, the scanner server having ended %d "
                                             "times in this pull",
                                             kMostRestarts + 1),
                                      S_OK));
      break;
    }
    auto fresh = std::make_unique<Connection>();
    if (fresh->OpenJobs(options) != 0) {
      for (Job* job : waiting)
        puller.FailJob(*job, 0,
                       ScannerFailure("not attempted, no new scanner server being reached", S_OK));
      break;
    }
    c = std::move(fresh);
    FindAgain(*c, jobs, puller);
  }
  const double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;

  int exitCode = kExitSuccess;
  std::vector<const Job*> failed;
  size_t pulled = 0;
  for (const Job& job : jobs) {
    if (job.state == Job::State::kFailed) failed.push_back(&job);
    if (job.state == Job::State::kPulled) ++pulled;
  }
  if (!failed.empty()) exitCode = kExitTransferFailed;
  if (options.deleteAfter && c != nullptr) {
    const HRESULT hr = DeletePulled(*c, jobs);
    if (FAILED(hr)) {
      Fail("the jobs that came over could not be deleted from the scanner", hr);
      if (exitCode == kExitSuccess) exitCode = kExitFailure;
    }
  }

  if (puller.Terminal()) Out("\n");
  if (options.json) {
    std::string json = Format("{\"pages\": %d, \"bytes\": %lld, \"seconds\": %.3f, \"reads\": %lld",
                              puller.Pages(), puller.Bytes(), seconds, puller.Reads());
    json += Format(", \"jobs\": %zu, \"failed\": %zu, \"files\": [", pulled, failed.size());
    bool first = true;
    for (const Job& job : jobs) {
      for (const std::string& shown : job.shown) {
        json += (first ? "" : ", ") + JsonString(shown);
        first = false;
      }
    }
    json += "], \"failedJobs\": [";
    for (size_t i = 0; i < failed.size(); ++i)
      json += (i == 0 ? "" : ", ") + JsonString(Narrow(failed[i]->name));
    Out(json + "]}\n");
  } else {
    const double megabytes = static_cast<double>(puller.Bytes()) / (1024.0 * 1024.0);
    std::string summary =
        Format("Pulled %d page%s of %zu job%s (%.2f MB) in %.2f s, %.2f MB/s, into ",
               puller.Pages(), puller.Pages() == 1 ? "" : "s", pulled, pulled == 1 ? "" : "s",
               megabytes, seconds, seconds > 0 ? megabytes / seconds : 0.0) +
        Printable(options.out);
    if (!failed.empty())
      summary += Format("; %zu job%s failed", failed.size(), failed.size() == 1 ? "" : "s");
    Out(summary + ".\n");
  }
  return exitCode;
}

}  // namespace stiscan

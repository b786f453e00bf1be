// The page walk of a data source, writing each page as a file. Every job
// chosen is attempted: a job that fails is reported, its pages already
// written are removed, and the walk goes on with the next one.
#include "job/walk.h"

#include <algorithm>
#include <memory>

#include "console/display_width.h"
#include "console/json.h"
#include "console/output.h"
#include "console/text.h"

namespace stiscan {

namespace {

constexpr int kTwrcSuccess = 0;
constexpr int kTwrcFailure = 1;
constexpr int kTwrcXferDone = 6;
constexpr int kNativeTransfer = 0, kFileTransfer = 1, kMemoryTransfer = 2;

// Why the server answers S_FALSE where a page should be prepared or
// described: it hands the scanner's driver the job's name in the ANSI code
// page, in at most 260 bytes.
const char kNameTooLongForAnsi[] =
    "S_FALSE: the job's name does not fit 260 bytes in the server's ANSI code page";

// The resolution of TW_IMAGEINFO's TW_FIX32.
double Dpi(const TW_FIX32& value)
{
  return value.Whole + value.Frac / 65536.0;
}

}  // namespace

std::string PageFailure::Described() const
{
  if (!meaning.empty())
    return what + ": " + Format("0x%08lX", static_cast<unsigned long>(hr)) + " (" + meaning + ")";
  if (hr != S_OK) return what + ": " + DescribeHresult(hr, source);
  if (status != kTwrcSuccess) return what + ": " + DescribeTwainStatus(status);
  return what;
}

PageFailure ScannerFailure(const std::string& what, HRESULT hr, int status)
{
  PageFailure failure;
  failure.what = what;
  failure.hr = hr;
  failure.status = status;
  return failure;
}

Puller::Puller(const Options& options, PageFolder& folder, HANDLE stop)
    : options_(options),
      folder_(folder),
      output_(options, folder),
      stop_(stop),
      chunk_(static_cast<size_t>(options.chunk))
{
  mechanism_ = options.transfer == "native"   ? kNativeTransfer
               : options.transfer == "memory" ? kMemoryTransfer
                                              : kFileTransfer;
  terminal_ = OutIsConsole() && !options.json;
}

HRESULT Puller::Walk(Connection& c, std::vector<Job>& jobs)
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
          FailJob(job, failure.page > 0 ? failure.page : page, failure);
          if (ServerGone(failure.hr) || failure.hr == kPullInterrupted) return failure.hr;
        }
      }
      const bool lastPage = page >= pages;
      // Every page of the job is written once the walk leaves it; its
      // document then.
      if (lastPage && job.state == Job::State::kWaiting) {
        std::vector<stiscan::Written> files;
        OutputFailure failure;
        if (output_.EndJob(job.name, files, failure)) {
          Written(job, files);
          job.state = Job::State::kPulled;
          if (onPulled_) onPulled_(job);
        } else {
          // The last page's file, or the job's document, was not written.
          PageFailure pageFailure = ScannerFailure(failure.what, failure.hr);
          if (failure.file) pageFailure.source = Source::kSystem;
          if (failure.page > 0) --pages_;
          FailJob(job, failure.page, pageFailure);
        }
      }
      const double started = Seconds();
      hr = c->AdvancePage(0, &left, 0);
      callSeconds_ += Seconds() - started;
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

void Puller::FailJob(Job& job, int page, const PageFailure& failure)
{
  job.state = Job::State::kFailed;
  // The file in hand, once written, goes with the others.
  std::vector<stiscan::Written> inHand;
  output_.DropJob(inHand);
  for (const stiscan::Written& file : inHand) {
    job.files.push_back(file);
    bytes_ += file.bytes;
  }
  std::string removed;
  size_t gone = 0;
  for (const stiscan::Written& file : job.files) {
    FileFailure notRemoved;
    if (PageFolder::Remove(file.path, notRemoved)) {
      ++gone;
      bytes_ -= file.bytes;
    } else {
      removed += "; " + notRemoved.what + ": " +
                 DescribeHresult(HRESULT_FROM_WIN32(notRemoved.error), Source::kSystem);
    }
  }
  if (gone > 0)
    removed = Format("; its %zu file%s already written %s removed", gone, gone == 1 ? "" : "s",
                     gone == 1 ? "was" : "were") +
              removed;
  pages_ -= static_cast<int>(std::min(gone, static_cast<size_t>(pages_)));
  job.files.clear();
  if (terminal_) Out("\n");
  const std::string where = page > 0 ? "page " + std::to_string(page) + " of " : "job ";
  Note(where + Quoted(Narrow(job.name)) + ": " + failure.Described() + removed);
}

std::string Puller::TimesJson() const
{
  return Format("\"reads\": %.3f, \"firstReads\": %.3f, \"headers\": %.3f, \"calls\": %.3f, "
                "\"encoding\": %.3f, \"writing\": %.3f, \"writeWaits\": %.3f, \"encodedPages\": %d",
                readSeconds_, firstReadSeconds_, headerSeconds_, callSeconds_,
                output_.EncodeSeconds() + placeSeconds_, output_.WriteSeconds(),
                output_.WaitSeconds(), output_.EncodedPages());
}

bool Puller::Stopped() const
{
  return stop_ != nullptr && WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0;
}

void Puller::Written(Job& job, std::vector<stiscan::Written>& files)
{
  const std::string item = Printable(Narrow(job.name));
  for (const stiscan::Written& file : files) {
    job.files.push_back(file);
    bytes_ += file.bytes;
    if (!terminal_ && !options_.json)
      Out((file.page > 0 ? Format("page %d/%d: ", pages_, total_) : std::string("job: ")) + item +
          (file.page > 0 ? Format(" page %d -> ", file.page) : std::string(" -> ")) +
          Printable(file.shown) + Format(" (%lld bytes)\n", file.bytes));
  }
}

PageFailure Puller::PullPage(Connection& c, Job& job, int page)
{
  const double started = Seconds(), readsBefore = readSeconds_, headersBefore = headerSeconds_,
               placedBefore = placeSeconds_;
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
  if (status != kTwrcSuccess) return ScannerFailure("the transfer was not prepared", S_OK, status);

  // The page's memory is that of a page whose file is written: a page of
  // the same size needs no new memory, and none that is cleared first.
  Raster raster;
  std::vector<unsigned char> bytes = output_.Memory();
  PageFailure failure = Transfer(c, itemName, info, raster, bytes);
  callSeconds_ += Seconds() - started - (readSeconds_ - readsBefore) -
                  (headerSeconds_ - headersBefore) - (placeSeconds_ - placedBefore);
  std::vector<stiscan::Written> files;
  OutputFailure outputFailure;
  const bool ok = !failure.Failed() &&
                  (output_.KeepsDriverFile()
                       ? output_.DriverFile(job.name, page, std::move(bytes), files, outputFailure)
                       : output_.Page(job.name, page, raster, files, outputFailure));
  output_.Keep(std::move(raster.bytes));
  output_.Keep(std::move(bytes));
  // The file of the page before, when its writing is done.
  Written(job, files);
  if (failure.Failed()) return failure;
  if (!ok) {
    failure.what = outputFailure.what;
    failure.hr = outputFailure.hr;
    failure.page = outputFailure.page;
    if (outputFailure.file) failure.source = Source::kSystem;
    // That page was counted when its file was started.
    if (failure.page > 0) --pages_;
    return failure;
  }
  ++pages_;
  if (terminal_) {
    const int width = 30, done = width * std::min(pages_, total_) / std::max(total_, 1);
    Out("\r[" + std::string(static_cast<size_t>(done), '#') +
        std::string(static_cast<size_t>(width - done), ' ') + "] " +
        Format("%d/%d pages ", pages_, total_) + FitColumns(Printable(Narrow(job.name)), 24) +
        Format(" p%d ", page));
  }
  return {};
}

PageFailure Puller::Transfer(Connection& c, const std::wstring& itemName, const TW_IMAGEINFO& info,
                             Raster& raster, std::vector<unsigned char>& bytes)
{
  name_ = itemName;
  STI_TRANSFER_REQUEST request = {};
  request.itemName = name_.data();
  const double xDpi = Dpi(info.XResolution), yDpi = Dpi(info.YResolution);
  PageFailure failure;
  bool made = false;
  if (mechanism_ == kNativeTransfer) {
    request.operation = 1;
    unsigned char header[kBitmapInfoHeaderBytes] = {};
    int status = 0;
    const double started = Seconds();
    HRESULT hr = c->ReadImageHeader(&request, header, sizeof header, &status);
    headerSeconds_ += Seconds() - started;
    if (FAILED(hr)) return ScannerFailure("the page's bitmap header could not be read", hr);
    if (status != kTwrcXferDone)
      return ScannerFailure("the page's bitmap header could not be read", S_OK, status);
    // The reads fill a BMP file's DIB where it lies in the file.
    const size_t dib = DibBytes(header);
    BmpForDib(header, dib, bytes);
    failure = Read(c, request, bytes.data() + kBmpHeadersBytes, dib, chunk_);
    if (failure.Failed()) return failure;
    made = RasterFromBmp(std::move(bytes), xDpi, yDpi, raster);
  } else if (mechanism_ == kMemoryTransfer) {
    request.operation = 0;
    request.page = 1;
    if (info.ImageWidth <= 0 || info.ImageLength <= 0 || info.BitsPerPixel <= 0)
      return ScannerFailure("the scanner gave the page no size", S_OK);
    const uint64_t rowBytes =
        (static_cast<uint64_t>(info.ImageWidth) * static_cast<uint64_t>(info.BitsPerPixel) + 7) / 8;
    if (!PageFits(rowBytes * static_cast<uint64_t>(info.ImageLength)))
      return ScannerFailure("the scanner's page is larger than this program can hold", S_OK);
    const size_t row = static_cast<size_t>(rowBytes);
    if (row > chunk_)
      return ScannerFailure("a row of the page does not fit one read (raise --chunk)", S_OK);
    // The rows come top-down, unpadded, 24 bits as R, G, B: each read's rows
    // are put straight where the page's BMP file holds them.
    if (!BmpForRows(info.ImageWidth, info.ImageLength, info.BitsPerPixel, xDpi, yDpi, bytes))
      return ScannerFailure("the scanner's page is not a bitmap of a kind this program writes",
                            S_OK);
    rows_.resize(chunk_ / row * row);
    failure = Read(c, request, rows_.data(), row * static_cast<size_t>(info.ImageLength),
                   rows_.size(), [&](size_t at, size_t got) {
                     const double placing = Seconds();
                     PlaceRows(bytes, rows_.data(), static_cast<long>(at / row),
                               static_cast<long>(got / row));
                     placeSeconds_ += Seconds() - placing;
                   });
    if (failure.Failed()) return failure;
    made = RasterFromBmp(std::move(bytes), xDpi, yDpi, raster);
  } else {
    request.operation = 2;
    request.formatCode = output_.DriverFormat();
    short stored = -1;
    c->GetCurrentItemFormat(&stored);
    request.formatChanged = stored != (request.formatCode == 1 ? 0 : 2) ? 1 : 0;
    int size = 0, status = 0;
    HRESULT hr = c->QueryTransferSize(&request, &size, &status);
    if (FAILED(hr)) return ScannerFailure("the scanner did not say the file's size", hr);
    bytes.resize(static_cast<size_t>(size));
    failure = Read(c, request, bytes.data(), bytes.size(), chunk_);
    if (failure.Failed()) return failure;
    // The scanner's BMP file, read as the page when another format is made of it.
    made = output_.KeepsDriverFile() ? !bytes.empty()
                                     : RasterFromBmp(std::move(bytes), xDpi, yDpi, raster);
  }
  if (!made)
    return ScannerFailure("the scanner's page is not a bitmap of a kind this program writes",
                          S_OK);
  return failure;
}

// Reads a transfer of `total` bytes into `out`. The interface does not say
// how much of a read the driver filled: a read is full but for the last
// (native and file transfers) or holds whole rows (memory transfers), so
// `useful` bytes of each count; no read asks for more than is left, so the
// reads land where the bytes belong. With `place`, every read lands at `out`
// instead (`useful` bytes of room), and place(offset, bytes) puts it where
// it belongs.
PageFailure Puller::Read(Connection& c, STI_TRANSFER_REQUEST& request, unsigned char* out,
                         size_t total, size_t useful,
                         const std::function<void(size_t, size_t)>& place)
{
  size_t have = 0;
  for (bool first = true; have < total; first = false) {
    if (Stopped()) {
      PageFailure failure = ScannerFailure("interrupted", kPullInterrupted);
      failure.meaning = "the pull was stopped";
      return failure;
    }
    const size_t asked = std::min(useful, total - have);
    int status = -1;
    const double started = Seconds();
    HRESULT hr =
        c->ReadImageData(&request, place ? out : out + have, static_cast<int>(asked), &status);
    const double took = Seconds() - started;
    readSeconds_ += took;
    if (first) firstReadSeconds_ += took;
    ++reads_;
    if (FAILED(hr)) return ScannerFailure("a read of the page failed", hr);
    if (status == kTwrcFailure) return ScannerFailure("a read of the page failed", S_OK, status);
    if (place) place(have, asked);
    have += asked;
    if (status == kTwrcXferDone) break;
  }
  if (have < total)
    return ScannerFailure(Format("the page ended after %zu of its %zu bytes", have, total), S_OK);
  return {};
}

std::string JobTime(Connection& c, int index)
{
  SYSTEMTIME t = {};
  if (c->GetItemTime(index, &t) != S_OK || t.wYear == 0) return "";
  return Format("%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
}

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

}  // namespace stiscan

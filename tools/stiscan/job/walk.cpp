#include "job/walk.h"

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>

#include "console/display_width.h"
#include "console/output.h"
#include "console/text.h"
#include "documents/document_limits.h"

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

PageFailure FromOutput(const OutputFailure& output)
{
  PageFailure failure = ScannerFailure(output.what, output.hr);
  failure.page = output.page;
  if (output.file) failure.source = Source::kSystem;
  return failure;
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

Puller::Puller(const Options& options, JobOutput& output, HANDLE stop)
    : options_(options), output_(output), stop_(stop), chunk_(static_cast<size_t>(options.chunk))
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
  total_ = read_ + left;

  for (size_t k = 0; k < order.size() && left > 0; ++k) {
    Job& job = *order[k];
    int position = 0, pages = 0;
    hr = c->GetPagePosition(&position, &pages);
    if (ServerGone(hr)) return hr;
    int page = 1;
    for (;; ++page) {
      if (job.state == Job::State::kWaiting) {
        const PageFailure failure = PullPage(c, job, page, pages);
        if (failure.Failed()) {
          FailJob(job, failure.page > 0 ? failure.page : page, failure);
          if (ServerGone(failure.hr) || failure.hr == kPullInterrupted) return failure.hr;
        }
      }
      const bool lastPage = page >= pages;
      // Every page of the job is written once the walk leaves it; its
      // document then.
      if (lastPage && job.state == Job::State::kWaiting) EndJob(job);
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
    if (job.state == Job::State::kWaiting)
      FailJob(job, page + 1,
              ScannerFailure(
                  Format("the scanner's walk ended after page %d of its %d", page, pages), S_OK));
  }
  // Jobs the walk did not reach: the scanner counted no pages for them.
  for (Job* job : order) {
    if (job->state != Job::State::kWaiting) continue;
    job->state = Job::State::kNotReady;
    job->notReady = "the scanner's walk ended before it (it counted no pages left for it)";
    if (terminal_) Out("\n");
    Note("job " + Quoted(Narrow(job->name)) + ": not pulled: " + job->notReady);
  }
  return S_OK;
}

void Puller::EndJob(Job& job)
{
  std::vector<TemporaryFile> files;
  OutputFailure failure;
  if (!output_.End(files, failure)) {
    // The last page's file, or the job's document, was not written.
    FailJob(job, failure.page, FromOutput(failure));
    return;
  }
  if (terminal_) Out("\n");
  if (onEnded_) onEnded_(job, files);
}

void Puller::FailJob(Job& job, int page, const PageFailure& failure)
{
  job.state = Job::State::kFailed;
  job.pages = 0;
  std::vector<FileFailure> notRemoved;
  const size_t gone = output_.Drop(&notRemoved);
  std::string removed = gone == 0 ? std::string()
                                  : Format("; its %zu file%s already written %s removed", gone,
                                           gone == 1 ? "" : "s", gone == 1 ? "was" : "were");
  for (const FileFailure& file : notRemoved)
    removed +=
        "; " + file.what + ": " + DescribeHresult(HRESULT_FROM_WIN32(file.error), Source::kSystem);
  if (terminal_) Out("\n");
  const std::string where = page > 0 ? "page " + std::to_string(page) + " of " : "job ";
  Note(where + Quoted(Narrow(job.name)) + ": " + failure.Described() + removed);
}

std::string Puller::TimesJson() const
{
  return Format(
      "\"reads\": %.3f, \"firstReads\": %.3f, \"headers\": %.3f, \"calls\": %.3f, "
      "\"encoding\": %.3f, \"writing\": %.3f, \"writeWaits\": %.3f, \"encodedPages\": %d",
      readSeconds_, firstReadSeconds_, headerSeconds_, callSeconds_,
      output_.EncodeSeconds() + placeSeconds_, output_.WriteSeconds(), output_.WaitSeconds(),
      output_.EncodedPages());
}

bool Puller::Stopped() const
{
  return stop_ != nullptr && WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0;
}

void Puller::Progress(const Job& job, int page)
{
  if (options_.json) return;
  const std::string item = Printable(Narrow(job.name));
  if (!terminal_) {
    Out(Format("page %d/%d: ", read_, total_) + item + Format(" page %d\n", page));
    return;
  }
  const int width = 30, done = width * std::min(read_, total_) / std::max(total_, 1);
  Out("\r[" + std::string(static_cast<size_t>(done), '#') +
      std::string(static_cast<size_t>(width - done), ' ') + "] " +
      Format("%d/%d pages ", read_, total_) + FitColumns(item, 24) + Format(" p%d ", page));
}

PageFailure Puller::PullPage(Connection& c, Job& job, int page, int pages)
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
  // The job's files begin with its first page, whose size says whether
  // they can hold the job at all; every later page is held to what they can
  // still take.
  OutputFailure outputFailure;
  const uint64_t pageBytes =
      UncompressedPageBytes(info.ImageWidth, info.ImageLength, info.BitsPerPixel);
  if (page == 1 ? !output_.Begin(job.name, pages, pageBytes, outputFailure)
                : !output_.PageFits(pageBytes, outputFailure))
    return FromOutput(outputFailure);
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
  PageFailure failure;
  bool ok = false;
  try {
    failure = Transfer(c, itemName, info, raster, bytes);
    callSeconds_ += Seconds() - started - (readSeconds_ - readsBefore) -
                    (headerSeconds_ - headersBefore) - (placeSeconds_ - placedBefore);
    ok = !failure.Failed() &&
         (output_.KeepsDriverFile() ? output_.DriverFile(page, std::move(bytes), outputFailure)
                                    : output_.Page(page, raster, outputFailure));
  } catch (const std::bad_alloc&) {
    failure = ScannerFailure("this program has no memory left for the page", E_OUTOFMEMORY);
  } catch (const std::length_error&) {
    failure = ScannerFailure("the page is larger than this program can hold", E_OUTOFMEMORY);
  }
  output_.Keep(std::move(raster.bytes));
  output_.Keep(std::move(bytes));
  if (failure.Failed()) return failure;
  if (!ok) return FromOutput(outputFailure);
  ++job.pages;
  ++read_;
  Progress(job, page);
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
    // A size the driver states is taken only when memory can hold it.
    if (size <= 0 || !PageFits(static_cast<uint64_t>(size)))
      return ScannerFailure(
          Format("the scanner stated a file of %d bytes, which this program cannot take", size),
          S_OK);
    bytes.resize(static_cast<size_t>(size));
    failure = Read(c, request, bytes.data(), bytes.size(), chunk_);
    if (failure.Failed()) return failure;
    // The scanner's BMP file, read as the page when another format is made of it.
    made = output_.KeepsDriverFile() ? !bytes.empty()
                                     : RasterFromBmp(std::move(bytes), xDpi, yDpi, raster);
  }
  if (!made)
    return ScannerFailure("the scanner's page is not a bitmap of a kind this program writes", S_OK);
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

JobIdentity IdentityOf(Connection& c, int index, const std::wstring& name)
{
  JobIdentity identity;
  identity.name = Narrow(name);
  identity.time = JobTime(c, index);
  BSTR document = nullptr;
  int pixelType = 0, resolution = 0, pages = 0, size = 0;
  if (SUCCEEDED(
          c->GetItemInfo(index, &document, nullptr, &pixelType, &resolution, &pages, &size))) {
    identity.pages = pages;
    identity.size = size;
  }
  SysFreeString(document);
  return identity;
}

int ChooseJobs(Connection& c, const Options& options, std::vector<Job>& jobs, Listing* listing)
{
  const std::wstring wanted = Widen(options.job);
  int exitCode = 0;
  bool found = false;
  for (int index = 0; index < c.JobCount(); ++index) {
    Job job;
    job.index = index;
    if (!c.ItemName(index, job.name)) {
      if (listing != nullptr) listing->complete = false;
      continue;
    }
    job.identity = IdentityOf(c, index, job.name);
    if (listing != nullptr) listing->jobs.push_back(job.identity);
    if (options.job.empty()) {
      if (c.IsYours(index)) jobs.push_back(job);
      continue;
    }
    if (found || exitCode != 0 || job.name != wanted) continue;
    found = true;
    int flag = 0;
    c->GetItemFlag(index, &flag);
    if (flag == 0) {
      exitCode = Fail("the job " + Quoted(options.job) + " is not ready yet", kExitFailure);
    } else if (!c.IsYours(index)) {
      exitCode =
          Fail("the job " + Quoted(options.job) + " belongs to another user", kExitAccessDenied);
    } else {
      jobs.push_back(job);
    }
  }
  c->SetPagesRemaining(0);
  if (exitCode != 0) return exitCode;
  if (!options.job.empty() && !found)
    return Fail("no job named " + Quoted(options.job) + " is stored", kExitFailure);
  // A job whose page count the scanner does not give yet cannot be walked
  // (a walk of it would run into the jobs after it); nor can one of a name
  // that the scanner stores more than once, as a transfer names its job by
  // the name alone (the driver would hand over the pages of another).
  for (Job& job : jobs) {
    size_t named = 0;
    if (listing != nullptr)
      for (const JobIdentity& other : listing->jobs) named += other.name == job.identity.name;
    if (job.identity.pages <= 0) {
      job.state = Job::State::kNotReady;
      job.notReady = "the scanner gives it no page count yet (it may still be being scanned)";
    } else if (named > 1) {
      job.state = Job::State::kNotReady;
      job.notReady = Format(
          "the scanner stores %zu jobs of this name, and a transfer names its job by the name "
          "alone (it could bring the pages of another); it is pulled once it is the only one",
          named);
    }
  }
  return 0;
}

void FindAgain(Connection& c, std::vector<Job>& jobs, Puller& puller)
{
  std::vector<std::string> keys(static_cast<size_t>(c.JobCount()));
  for (int index = 0; index < c.JobCount(); ++index) {
    std::wstring name;
    if (c.ItemName(index, name)) keys[index] = PulledJobs::Key(IdentityOf(c, index, name));
  }
  c->SetPagesRemaining(0);
  std::vector<bool> taken(keys.size(), false);
  for (Job& job : jobs) {
    if (job.state == Job::State::kFailed || job.state == Job::State::kNotReady) continue;
    job.index = -1;
    const std::string key = PulledJobs::Key(job.identity);
    for (size_t i = 0; i < keys.size() && job.index < 0; ++i) {
      if (!taken[i] && keys[i] == key) {
        taken[i] = true;
        job.index = static_cast<int>(i);
      }
    }
    if (job.index < 0 && job.state == Job::State::kWaiting)
      puller.FailJob(job, 0, ScannerFailure("the new scanner server does not list it", S_OK));
  }
}

}  // namespace stiscan

// The stand-in of the source's scanner/ layer (fake_scanner.h): the
// members of Connection and Apartment, and ReadProfile, answered from the
// scanner the fuzz input described. The walk is the server's as the
// source uses it: one job selected at a time, its pages one after the
// other, a transfer prepared for the page at hand and read in as many reads
// as the source likes.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "fuzz/twain_fake/fake_scanner.h"
#include "protocol/twain2.h"
#include "scanner/apartment.h"
#include "scanner/profile.h"

namespace twainfake {

namespace {

Scanner scanner;

// The walk and the transfer at hand, as the server keeps them.
struct WalkState {
  int selected = -1;  // the job's index; -1 no walk
  int page = 0;
  int left = 0;
  bool begun = false;
  twainds::Mechanism mechanism = twainds::Mechanism::kNative;
  size_t total = 0, delivered = 0;
  bool done = false;
  std::vector<unsigned char> file;  // a file transfer's bytes
  int calls = 0;
};
WalkState walk;

// Whether the call fails: the server gone, or a fault of the input's.
HRESULT Enter(Call call, bool& gone)
{
  // The job window takes no input while the source waits on the server.
  if (scanner.dialog != nullptr && IsWindowEnabled(scanner.dialog))
    scanner.breaches.push_back("a call to the server while the job window takes input");
  ++walk.calls;
  if (scanner.goneAfter >= 0 && walk.calls > scanner.goneAfter) {
    gone = true;
    return RPC_E_DISCONNECTED;
  }
  for (Fault& fault : scanner.faults) {
    if (fault.call != call) continue;
    ++fault.seen;
    if (fault.seen > fault.skip && (fault.times == 0 || fault.seen <= fault.skip + fault.times))
      return fault.hr;
  }
  return S_OK;
}

void Breach(const std::string& what)
{
  scanner.breaches.push_back(what);
}

const Job* Walked()
{
  return walk.selected >= 0 && static_cast<size_t>(walk.selected) < scanner.jobs.size()
             ? &scanner.jobs[static_cast<size_t>(walk.selected)]
             : nullptr;
}

size_t Palette(int bits)
{
  return bits <= 8 ? 4u << bits : 0;
}

size_t Rows(long width, int bits)
{
  return (static_cast<size_t>(width) * static_cast<size_t>(bits) + 7) / 8;
}

size_t DibRows(long width, int bits)
{
  return (static_cast<size_t>(width) * static_cast<size_t>(bits) + 31) / 32 * 4;
}

void Put(std::vector<unsigned char>& out, size_t at, uint32_t value, size_t bytes)
{
  for (size_t i = 0; i < bytes; ++i) out[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// The scanner's own file of the page: a BMP, or an uncompressed TIFF of
// one strip, whose pixels are the transfer's filler.
std::vector<unsigned char> ScannerFile(const Job& job, short format)
{
  const size_t length = static_cast<size_t>(job.length);
  std::vector<unsigned char> file;
  if (format == TWFF_BMP) {
    const size_t start = 54 + Palette(job.bits), image = DibRows(job.width, job.bits) * length;
    file.assign(start + image, 0x5A);
    file[0] = 'B';
    file[1] = 'M';
    Put(file, 2, static_cast<uint32_t>(file.size()), 4);
    Put(file, 6, 0, 4);
    Put(file, 10, static_cast<uint32_t>(start), 4);
    Put(file, 14, 40, 4);
    Put(file, 18, static_cast<uint32_t>(job.width), 4);
    Put(file, 22, static_cast<uint32_t>(job.length), 4);
    Put(file, 26, 1, 2);
    Put(file, 28, static_cast<uint32_t>(job.bits), 2);
    Put(file, 30, 0, 4);
    Put(file, 34, static_cast<uint32_t>(image), 4);
    Put(file, 38, 11811, 4);
    Put(file, 42, 11811, 4);
    Put(file, 46, job.bits <= 8 ? 1u << job.bits : 0, 4);
    Put(file, 50, 0, 4);
    return file;
  }
  const size_t strip = Rows(job.width, job.bits) * length;
  const size_t directory = 8 + strip + (strip & 1);
  const uint16_t entries = 8;
  file.assign(directory + 2 + 12 * entries + 4, 0x5A);
  file[0] = file[1] = 'I';
  Put(file, 2, 42, 2);
  Put(file, 4, static_cast<uint32_t>(directory), 4);
  Put(file, directory, entries, 2);
  const uint32_t samples = job.bits == 24 ? 3 : 1;
  const uint32_t tags[][3] = {{256, 4, static_cast<uint32_t>(job.width)},
                              {257, 4, static_cast<uint32_t>(job.length)},
                              {258, 3, samples == 3 ? 8u : static_cast<uint32_t>(job.bits)},
                              {259, 3, 1},
                              {262, 3, samples == 3 ? 2u : 1u},
                              {273, 4, 8},
                              {277, 3, samples},
                              {279, 4, static_cast<uint32_t>(strip)}};
  for (size_t i = 0; i < entries; ++i) {
    const size_t at = directory + 2 + 12 * i;
    Put(file, at, tags[i][0], 2);
    Put(file, at + 2, tags[i][1], 2);
    // Three samples of 8 bits each stand for themselves here: BitsPerSample
    // with a count of one, as readers take it.
    Put(file, at + 4, 1, 4);
    Put(file, at + 8, tags[i][2], tags[i][1] == 3 ? 2 : 4);
  }
  Put(file, directory + 2 + 12 * entries, 0, 4);
  return file;
}

// The bytes a transfer of the page at hand really brings.
size_t TrueSize(const Job& job, twainds::Mechanism mechanism)
{
  const size_t length = static_cast<size_t>(job.length);
  switch (mechanism) {
    case twainds::Mechanism::kNative:
      return Palette(job.bits) + DibRows(job.width, job.bits) * length;
    case twainds::Mechanism::kMemory:
      return Rows(job.width, job.bits) * length;
    case twainds::Mechanism::kFile:
      break;
  }
  return 0;
}

TW_FIX32 Fix(int value)
{
  TW_FIX32 fix = {};
  fix.Whole = static_cast<TW_INT16>(value);
  return fix;
}

}  // namespace

Scanner& Fake()
{
  return scanner;
}

void ResetFake()
{
  scanner = Scanner();
  walk = WalkState();
}

}  // namespace twainfake

namespace twainds {

using twainfake::Call;
using twainfake::Enter;
using twainfake::scanner;
using twainfake::walk;

HRESULT Apartment::Enter()
{
  if (initialised_) return S_OK;
  bool gone = false;
  const HRESULT hr = twainfake::Enter(Call::kApartment, gone);
  if (FAILED(hr)) return hr;
  initialised_ = true;
  thread_ = GetCurrentThreadId();
  ++scanner.apartments;
  return S_OK;
}

void Apartment::Leave()
{
  if (!OnItsThread()) return;
  if (initialised_) --scanner.apartments;
  initialised_ = false;
  thread_ = 0;
}

bool Apartment::OnItsThread() const
{
  return thread_ == 0 || thread_ == GetCurrentThreadId();
}

Profile ReadProfile()
{
  return Profile{L"", L"fuzz", L"TWAIN", L"fuzz"};
}

HRESULT Connection::Seen(HRESULT hr)
{
  return hr;
}

HRESULT Connection::SelectScanner(const Profile& profile)
{
  scanner_ = profile.scanner.empty() ? L"Lab" : profile.scanner;
  return S_OK;
}

HRESULT Connection::Open(const Profile& profile)
{
  Close();
  gone_ = false;
  serverReached_ = false;
  HRESULT hr = Enter(Call::kOpen, gone_);
  if (FAILED(hr)) {
    serverReached_ = scanner.openReaches;
    return hr;
  }
  bridge_ = reinterpret_cast<IStiScannerComBridge*>(&scanner);
  serverReached_ = true;
  opened_ = true;
  user_ = profile.profile;
  walk.selected = -1;
  walk.begun = false;
  return SelectScanner(profile);
}

void Connection::Close()
{
  bridge_ = nullptr;
  opened_ = false;
  walk.selected = -1;
  walk.begun = false;
}

HRESULT Connection::Online()
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  return Enter(Call::kOnline, gone_);
}

HRESULT Connection::ReadSettings(ScanSettings& settings)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  const HRESULT hr = Enter(Call::kReadSettings, gone_);
  if (FAILED(hr)) return hr;
  settings = scanner.settings;
  return S_OK;
}

HRESULT Connection::WriteSettings(const std::wstring&, const ScanSettings& settings)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  const HRESULT hr = Enter(Call::kWriteSettings, gone_);
  if (FAILED(hr)) return hr;
  // Grey and US letter are reported, but kept only by some scanners.
  ScanSettings kept = settings;
  if (kept.pixelType == TWPT_GRAY && !scanner.conduct.keepsGrey)
    kept.pixelType = scanner.settings.pixelType;
  if (kept.paperSize == TWSS_USLETTER && !scanner.conduct.keepsLetter)
    kept.paperSize = scanner.settings.paperSize;
  scanner.settings = kept;
  return S_OK;
}

HRESULT Connection::ListJobs(std::vector<Job>& jobs)
{
  jobs.clear();
  if (bridge_ == nullptr || gone_) return E_FAIL;
  // A listing selects every job in turn: the server's walk is gone after
  // it. On a job's first page nothing is lost; past it the source's walk
  // would go on over another selection.
  if (walk.selected >= 0 && walk.page > 1) twainfake::Breach("a listing in the middle of a walk");
  walk.selected = -1;
  walk.begun = false;
  const HRESULT hr = Enter(Call::kListJobs, gone_);
  if (FAILED(hr)) return hr;
  std::map<std::wstring, int> named;
  for (size_t i = 0; i < scanner.jobs.size(); ++i) {
    Job job;
    if (ReadJob(static_cast<int>(i), job) != S_OK) continue;
    jobs.push_back(job);
    ++named[job.name];
  }
  for (Job& job : jobs) job.alone = named[job.name] == 1;
  return S_OK;
}

// The window's listing a few jobs at a time: the same jobs as ListJobs,
// the call counted (and failed) once, at its start.
HRESULT Connection::StartListing(int& count)
{
  count = 0;
  std::vector<Job> jobs;
  const HRESULT hr = ListJobs(jobs);
  if (SUCCEEDED(hr)) count = static_cast<int>(scanner.jobs.size());
  return hr;
}

HRESULT Connection::ReadJob(int index, Job& job)
{
  job = Job();
  if (bridge_ == nullptr || gone_) return E_FAIL;
  if (index < 0 || static_cast<size_t>(index) >= scanner.jobs.size()) return S_FALSE;
  const twainfake::Job& fake = scanner.jobs[static_cast<size_t>(index)];
  if (fake.deleted || fake.name.empty()) return S_FALSE;
  job.index = index;
  job.name = fake.name;
  job.document = fake.document;
  job.pages = fake.pages;
  job.pixelType = fake.pixelType;
  job.dpi = fake.dpi;
  job.timed = fake.timed;
  if (fake.timed) job.time = SYSTEMTIME{2026, 12, 0, 24, 9, 30, 0, 0};
  job.ready = fake.ready;
  job.yours = fake.ready && fake.yours;
  return S_OK;
}

HRESULT Connection::EndListing(std::vector<Job>& jobs)
{
  if (bridge_ == nullptr || gone_) return RPC_E_DISCONNECTED;
  std::map<std::wstring, int> named;
  for (const Job& job : jobs) ++named[job.name];
  for (Job& job : jobs) job.alone = named[job.name] == 1;
  return S_OK;
}

HRESULT Connection::ItemPreview(int index, std::wstring& path)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  if (index < 0 || static_cast<size_t>(index) >= scanner.jobs.size()) return S_FALSE;
  const twainfake::Job& job = scanner.jobs[static_cast<size_t>(index)];
  if (job.deleted || !job.ready || !job.yours) return S_FALSE;
  path = L"C:\\Spool\\" + job.name + L".tmb";
  return S_OK;
}

HRESULT Connection::DeleteAfterScan(bool& on)
{
  on = false;
  if (bridge_ == nullptr || gone_) return E_FAIL;
  on = scanner.deleteOption;
  return S_OK;
}

HRESULT Connection::RegisterEvents()
{
  return bridge_ == nullptr || gone_ ? E_FAIL : S_OK;
}

HRESULT Connection::UnregisterEvents()
{
  return bridge_ == nullptr || gone_ ? E_FAIL : S_OK;
}

HRESULT Connection::SelectJob(int index, int& pages)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  const HRESULT hr = Enter(Call::kSelectJob, gone_);
  if (FAILED(hr)) return hr;
  if (index < 0 || static_cast<size_t>(index) >= scanner.jobs.size() ||
      scanner.jobs[static_cast<size_t>(index)].deleted)
    return E_FAIL;
  const twainfake::Job& job = scanner.jobs[static_cast<size_t>(index)];
  if (!job.ready || !job.yours) twainfake::Breach("a job selected that the user may not take");
  walk.selected = index;
  walk.page = 1;
  walk.left = std::max(job.pages + scanner.conduct.pagesDelta, 0);
  walk.begun = false;
  pages = walk.left;
  return S_OK;
}

HRESULT Connection::Position(std::wstring& item, int& page)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  const HRESULT hr = Enter(Call::kPosition, gone_);
  if (FAILED(hr)) return hr;
  const twainfake::Job* job = twainfake::Walked();
  if (job == nullptr) return E_FAIL;
  item = scanner.conduct.renames ? job->name + L"~" : job->name;
  page = walk.page;
  return S_OK;
}

HRESULT Connection::DescribePage(ImageInfoBytes& bytes)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  const HRESULT hr = Enter(Call::kDescribe, gone_);
  if (FAILED(hr)) return hr;
  const twainfake::Job* job = twainfake::Walked();
  if (job == nullptr) {
    twainfake::Breach("a page described without a walk");
    return E_FAIL;
  }
  TW_IMAGEINFO info = {};
  info.XResolution = info.YResolution = twainfake::Fix(job->dpi);
  info.ImageWidth = job->width;
  info.ImageLength = job->length;
  info.SamplesPerPixel = job->bits == 24 ? 3 : 1;
  for (int i = 0; i < info.SamplesPerPixel; ++i)
    info.BitsPerSample[i] = job->bits == 24 ? 8 : static_cast<TW_INT16>(job->bits);
  info.BitsPerPixel = static_cast<TW_INT16>(job->bits);
  info.PixelType = static_cast<TW_INT16>(job->pixelType);
  info.Compression = TWCP_NONE;
  switch (scanner.conduct.infoLie) {
    case 1:
      info.ImageWidth = 0;
      break;
    case 2:
      info.BitsPerPixel = 0;
      break;
    case 3:
      info.BitsPerPixel = 16;
      break;
    case 4:
      info.XResolution = info.YResolution = twainfake::Fix(0);
      break;
    case 5:
      info.ImageLength = -info.ImageLength;
      break;
    case 6:
      info.ImageWidth = 0x7FFFFFFF;
      break;
    default:
      break;
  }
  std::memcpy(bytes.data(), &info, bytes.size());
  return S_OK;
}

HRESULT Connection::Advance(bool deleteWhenDone, int& left)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  const HRESULT hr = Enter(Call::kAdvance, gone_);
  // The server moves on whatever became of the step's own work.
  twainfake::Job* job =
      walk.selected >= 0 ? &scanner.jobs[static_cast<size_t>(walk.selected)] : nullptr;
  walk.begun = false;
  if (job == nullptr) {
    twainfake::Breach("a page advanced without a walk");
    left = 0;
    return FAILED(hr) ? hr : S_OK;
  }
  if (walk.left > 0) --walk.left;
  ++walk.page;
  left = walk.left;
  if (walk.left == 0) {
    if (deleteWhenDone && scanner.deleteOption && SUCCEEDED(hr)) job->deleted = true;
    walk.selected = -1;
  }
  return hr;
}

HRESULT Connection::EndWalk()
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  const HRESULT hr = Enter(Call::kEndWalk, gone_);
  walk.selected = -1;
  walk.begun = false;
  return hr;
}

HRESULT Connection::BeginTransfer(Mechanism mechanism, short fileFormat)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  const HRESULT hr = Enter(Call::kBeginTransfer, gone_);
  if (FAILED(hr)) return hr;
  const twainfake::Job* job = twainfake::Walked();
  if (job == nullptr) {
    twainfake::Breach("a transfer prepared without a walk");
    return E_FAIL;
  }
  // What the request of the page's reads would carry.
  itemName_.fill(L'\0');
  job->name.copy(itemName_.data(), itemName_.size() - 1);
  page_ = walk.page;
  mechanism_ = mechanism;
  fileFormat_ = fileFormat;
  formatChanged_ = mechanism == Mechanism::kFile && fileFormat != scanner.settings.fileFormat;
  walk.begun = true;
  walk.mechanism = mechanism;
  walk.file.clear();
  if (mechanism == Mechanism::kFile) walk.file = twainfake::ScannerFile(*job, fileFormat);
  walk.total =
      mechanism == Mechanism::kFile ? walk.file.size() : twainfake::TrueSize(*job, mechanism);
  walk.delivered = 0;
  walk.done = false;
  return S_OK;
}

HRESULT Connection::TransferSize(int& bytes)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  const HRESULT hr = Enter(Call::kTransferSize, gone_);
  if (FAILED(hr)) return hr;
  if (!walk.begun) {
    twainfake::Breach("a transfer's size asked before it was prepared");
    return E_FAIL;
  }
  const long long said = static_cast<long long>(walk.total) + scanner.conduct.sizeDelta;
  // The server has no size that is not a positive int.
  if (said <= 0 || said > 0x7FFFFFFF) return E_FAIL;
  bytes = static_cast<int>(said);
  return S_OK;
}

HRESULT Connection::ReadHeader(BITMAPINFOHEADER& header)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  const HRESULT hr = Enter(Call::kReadHeader, gone_);
  if (FAILED(hr)) return hr;
  const twainfake::Job* job = twainfake::Walked();
  if (!walk.begun || walk.mechanism != Mechanism::kNative || job == nullptr) {
    twainfake::Breach("a bitmap header asked of no native transfer");
    return E_FAIL;
  }
  header = {};
  header.biSize = sizeof header;
  header.biWidth = job->width;
  header.biHeight = job->length;
  header.biPlanes = 1;
  header.biBitCount = static_cast<WORD>(job->bits);
  header.biCompression = BI_RGB;
  header.biSizeImage = static_cast<DWORD>(twainfake::DibRows(job->width, job->bits) *
                                          static_cast<size_t>(job->length));
  header.biClrUsed = job->bits <= 8 ? 1u << job->bits : 0;
  switch (scanner.conduct.headerLie) {
    case 1:
      header.biSize = 12;
      break;
    case 2:
      header.biWidth = 0;
      break;
    case 3:
      header.biBitCount = 4;
      break;
    case 4:
      header.biClrUsed = 300;
      break;
    case 5:
      // Top-down rows: the same bytes.
      header.biHeight = -header.biHeight;
      break;
    case 6:
      header.biSizeImage = 0;
      break;
    case 7:
      header.biCompression = 3;
      break;
    default:
      break;
  }
  return S_OK;
}

HRESULT Connection::Read(void* buffer, int bytes, bool& done)
{
  if (bridge_ == nullptr || gone_) return E_FAIL;
  const HRESULT hr = Enter(Call::kRead, gone_);
  if (FAILED(hr)) return hr;
  if (!walk.begun) {
    twainfake::Breach("a read of no transfer");
    return E_FAIL;
  }
  if (bytes <= 0) {
    twainfake::Breach("a read of " + std::to_string(bytes) + " bytes");
    return E_INVALIDARG;
  }
  if (walk.done) twainfake::Breach("a read after the transfer said it was done");
  // Every byte asked for, into the buffer the source says holds them.
  std::memset(buffer, 0x5A, static_cast<size_t>(bytes));
  if (walk.delivered < walk.file.size())
    std::memcpy(buffer, walk.file.data() + walk.delivered,
                std::min(walk.file.size() - walk.delivered, static_cast<size_t>(bytes)));
  walk.delivered += static_cast<size_t>(bytes);
  const twainfake::Conduct& conduct = scanner.conduct;
  done = !conduct.neverDone &&
         (conduct.endsEarly ? walk.delivered * 2 >= walk.total : walk.delivered >= walk.total);
  walk.done = done;
  return S_OK;
}

HRESULT Connection::ReadWhole(void* buffer, size_t bytes)
{
  // As the real one: reads of at most a MiB, each where its bytes belong.
  auto* into = static_cast<unsigned char*>(buffer);
  size_t have = 0;
  bool done = false;
  while (have < bytes && !done) {
    const size_t asked = bytes - have < (1u << 20) ? bytes - have : (1u << 20);
    const HRESULT hr = Read(into + have, static_cast<int>(asked), done);
    if (FAILED(hr)) return hr;
    have += asked;
  }
  return have == bytes && done ? S_OK : E_FAIL;
}

}  // namespace twainds

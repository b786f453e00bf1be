// The cross-process benchmark client, 32-bit or 64-bit: creates the bridge
// server and the baseline server through COM's local activation and times
// the same kind of call on both, alternating between them in one run so that
// whatever else the machine does falls on both alike.
//
// Every result is one line "result {json}"; a line "error <text>" and a
// non-zero exit code report a run that could not measure.
//
//   bench_client calls <count> <warm-up>
//   bench_client transfer <item> <page bytes> <bytes per size> <min calls> <size,size,...>
//   bench_client pages <item> <page bytes> <rounds> <size,size,...>
//   bench_client job <item> <pages> <chunk> <rounds> native|memory   a walk of a job's pages
//   bench_client twain <item> <rounds> [native,memory,memfile]
//                                          a page through the data source against the bridge
//   bench_client window <jobs> <rounds>    the data source's own window over many jobs
//   bench_client start <rounds>
//   bench_client hold server|baseline      holds an object until standard input ends
//   bench_client procmem <program.exe>     memory counters of a running process
//   bench_client selftest                  checks of the statistics
#include <windows.h>
#include <objbase.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_baseline.h"
#include "stibridge.h"
#include "twain_page.h"
#include "twain_window.h"

namespace {

// What the bench scenario installs (bench/scenario.json).
const wchar_t kDeviceName[] = L"Bench MFP";
const wchar_t kProfileQualifier[] = L"BENCH";
const wchar_t kProfileName[] = L"bench";
const wchar_t kStoreId[] = L"ann";
const wchar_t kServerProgram[] = L"stibridge.exe";
const wchar_t kBaselineProgram[] = L"bench_baseline_server.exe";

constexpr int kStatusMore = 0;
constexpr int kStatusPageDone = 6;

int Fail(const std::string& text)
{
  std::printf("error %s\n", text.c_str());
  std::fflush(stdout);
  return 1;
}

std::string Hex(HRESULT hr)
{
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

double ticksPerMicrosecond = 0;

double NowUs()
{
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / ticksPerMicrosecond;
}

// Median, 99th percentile (nearest rank), mean, extremes and sum of a sample
// in microseconds.
struct Stats {
  size_t n = 0;
  double median = 0, p99 = 0, mean = 0, min = 0, max = 0, sum = 0;
};

Stats Describe(std::vector<double> us)
{
  Stats stats;
  if (us.empty()) return stats;
  std::sort(us.begin(), us.end());
  const size_t n = us.size();
  const size_t rank = static_cast<size_t>(0.99 * static_cast<double>(n) + 0.999999);
  for (double v : us) stats.sum += v;
  stats.n = n;
  stats.median = n % 2 ? us[n / 2] : (us[n / 2 - 1] + us[n / 2]) / 2;
  stats.p99 = us[std::min(n, std::max<size_t>(rank, 1)) - 1];
  stats.mean = stats.sum / static_cast<double>(n);
  stats.min = us.front();
  stats.max = us.back();
  return stats;
}

std::string Summary(const std::vector<double>& us)
{
  const Stats s = Describe(us);
  if (s.n == 0) return "{\"n\": 0}";
  char text[256];
  std::snprintf(text, sizeof text,
                "{\"n\": %zu, \"median_us\": %.2f, \"p99_us\": %.2f, \"mean_us\": %.2f, "
                "\"min_us\": %.2f, \"max_us\": %.2f, \"sum_us\": %.1f}",
                s.n, s.median, s.p99, s.mean, s.min, s.max, s.sum);
  return text;
}

// The server's time over the baseline's, call by call: calls made next to
// each other share whatever else the machine was doing, so the ratio of a
// pair is steadier than the ratio of two medians. Median and quartiles
// (interpolated) of the pairs' ratios.
struct Quartiles {
  size_t n = 0;
  double median = 0, q1 = 0, q3 = 0;
};

Quartiles PairedQuartiles(const std::vector<double>& server, const std::vector<double>& baseline)
{
  std::vector<double> ratios;
  for (size_t i = 0; i < server.size() && i < baseline.size(); ++i)
    if (baseline[i] > 0) ratios.push_back(server[i] / baseline[i]);
  Quartiles q;
  if (ratios.empty()) return q;
  std::sort(ratios.begin(), ratios.end());
  const size_t n = ratios.size();
  auto at = [&](double fraction) {
    const double pos = fraction * static_cast<double>(n - 1);
    const size_t below = static_cast<size_t>(pos);
    const double part = pos - static_cast<double>(below);
    return below + 1 < n ? ratios[below] * (1 - part) + ratios[below + 1] * part : ratios[below];
  };
  q.n = n;
  q.median = at(0.5);
  q.q1 = at(0.25);
  q.q3 = at(0.75);
  return q;
}

std::string PairedRatio(const std::vector<double>& server, const std::vector<double>& baseline)
{
  const Quartiles q = PairedQuartiles(server, baseline);
  if (q.n == 0) return "{\"n\": 0}";
  char text[160];
  std::snprintf(text, sizeof text, "{\"n\": %zu, \"median\": %.4f, \"q1\": %.4f, \"q3\": %.4f}",
                q.n, q.median, q.q1, q.q3);
  return text;
}

// Each pair's ratio, as a JSON list: for pooling the pairs of several runs.
std::string Ratios(const std::vector<double>& server, const std::vector<double>& baseline)
{
  std::string list = "[";
  for (size_t i = 0; i < server.size() && i < baseline.size(); ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%.4f", i > 0 ? ", " : "",
                  baseline[i] > 0 ? server[i] / baseline[i] : 0.0);
    list += text;
  }
  return list + "]";
}

void Result(const std::string& json)
{
  std::printf("result %s\n", json.c_str());
  std::fflush(stdout);
}

std::vector<int> ParseSizes(const char* list)
{
  std::vector<int> sizes;
  for (const char* p = list; *p != 0;) {
    char* end = nullptr;
    long v = std::strtol(p, &end, 10);
    if (end == p || v <= 0) return {};
    sizes.push_back(static_cast<int>(v));
    p = *end == ',' ? end + 1 : end;
  }
  return sizes;
}

template <typename T>
HRESULT Create(const CLSID& clsid, const IID& iid, T** object)
{
  *object = nullptr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, iid,
                          reinterpret_cast<void**>(object));
}

// A bridge with the bench scanner opened, ready for image reads.
HRESULT OpenBridge(IStiScannerComBridge** out)
{
  IStiScannerComBridge* bridge = nullptr;
  HRESULT hr = Create(CLSID_CStiScannerComBridge, IID_IStiScannerComBridge, &bridge);
  if (FAILED(hr)) return hr;
  hr = bridge->InitializeSti();
  int count = 0;
  BSTR names = nullptr;
  if (SUCCEEDED(hr)) hr = bridge->EnumerateDevices(&count, &names);
  SysFreeString(names);
  int family = 0;
  wchar_t device[64], qualifier[64], profile[64], store[64];
  std::wcscpy(device, kDeviceName);
  std::wcscpy(qualifier, kProfileQualifier);
  std::wcscpy(profile, kProfileName);
  std::wcscpy(store, kStoreId);
  if (SUCCEEDED(hr)) hr = bridge->SelectDeviceByName(device, &family);
  if (SUCCEEDED(hr)) hr = bridge->OpenDevice(qualifier, profile, store);
  if (FAILED(hr)) {
    bridge->Release();
    return hr;
  }
  *out = bridge;
  return S_OK;
}

// The two sides of every measurement, each reading "pages" of the same size
// through its own method.
struct Reader {
  IStiScannerComBridge* bridge = nullptr;
  IBenchBaseline* baseline = nullptr;
  wchar_t itemName[64] = {};
  DWORD pageBytes = 0;
  std::vector<BYTE> buffer;

  // One read of `size` bytes; the status it reported.
  HRESULT Read(bool server, int size, int* status)
  {
    *status = -1;
    if (server) {
      STI_TRANSFER_REQUEST request = {};
      request.operation = 1;  // native: the DIB's palette and rows
      request.itemName = itemName;
      return bridge->ReadImageData(&request, buffer.data(), size, status);
    }
    BENCH_TRANSFER_REQUEST request = {};
    request.operation = 1;
    request.value = pageBytes;
    request.itemName = itemName;
    return baseline->ReadData(&request, buffer.data(), size, status);
  }

  // Reads to the end of the current page, so that the next read starts one.
  HRESULT Drain(bool server, int size)
  {
    int status = kStatusMore;
    for (int guard = 0; guard < 100000; ++guard) {
      HRESULT hr = Read(server, size, &status);
      if (FAILED(hr)) return hr;
      if (status == kStatusPageDone) return S_OK;
      if (status != kStatusMore) return E_FAIL;
    }
    return E_FAIL;
  }
};

int OpenReader(Reader& reader, const char* item, const char* pageBytes, int largest)
{
  MultiByteToWideChar(CP_ACP, 0, item, -1, reader.itemName, 63);
  reader.pageBytes = static_cast<DWORD>(std::strtoul(pageBytes, nullptr, 10));
  reader.buffer.assign(static_cast<size_t>(largest), 0);
  HRESULT hr = OpenBridge(&reader.bridge);
  if (FAILED(hr)) return Fail("bridge open " + Hex(hr));
  hr = Create(CLSID_CBenchBaseline, IID_IBenchBaseline, &reader.baseline);
  if (FAILED(hr)) return Fail("baseline create " + Hex(hr));
  for (bool server : {true, false}) {
    hr = reader.Drain(server, largest);
    if (FAILED(hr)) return Fail(std::string(server ? "server" : "baseline") + " drain " + Hex(hr));
  }
  return 0;
}

void CloseReader(Reader& reader)
{
  if (reader.bridge != nullptr) {
    reader.bridge->Close();
    reader.bridge->Release();
  }
  if (reader.baseline != nullptr) reader.baseline->Release();
}

// Round trip of the smallest call: GetPagePosition against the baseline's
// call of the same shape, alternating call by call (ABBA).
int Calls(int count, int warmUp)
{
  IStiScannerComBridge* bridge = nullptr;
  IBenchBaseline* baseline = nullptr;
  HRESULT hr = Create(CLSID_CStiScannerComBridge, IID_IStiScannerComBridge, &bridge);
  if (FAILED(hr)) return Fail("bridge create " + Hex(hr));
  hr = Create(CLSID_CBenchBaseline, IID_IBenchBaseline, &baseline);
  if (FAILED(hr)) return Fail("baseline create " + Hex(hr));

  std::vector<double> server, base;
  server.reserve(count);
  base.reserve(count);
  for (int i = -warmUp; i < count; ++i) {
    for (int side = 0; side < 2; ++side) {
      const bool onServer = (side == 0) == (i % 2 == 0);
      int page = 0, pages = 0;
      const double t0 = NowUs();
      hr = onServer ? bridge->GetPagePosition(&page, &pages) : baseline->GetPosition(&page, &pages);
      const double t = NowUs() - t0;
      if (hr != S_OK || page != 1 || pages != 0)
        return Fail(std::string(onServer ? "server" : "baseline") + " call " + Hex(hr));
      if (i >= 0) (onServer ? server : base).push_back(t);
    }
  }
  bridge->Release();
  baseline->Release();
  Result("{\"test\": \"calls\", \"server\": " + Summary(server) +
         ", \"baseline\": " + Summary(base) + ", \"paired\": " + PairedRatio(server, base) + "}");
  return 0;
}

// Reads of one chunk size in the middle of a page, alternating call by call.
// The first read of each page is the driver's (here the simulator's) page
// render, not a copy: it is kept out of the per-call figures and reported on
// its own.
int Transfer(const char* item, const char* pageBytes, double bytesPerSize, int minCalls,
             const char* sizeList)
{
  const std::vector<int> sizes = ParseSizes(sizeList);
  if (sizes.empty()) return Fail("bad size list");
  Reader reader;
  if (int failed =
          OpenReader(reader, item, pageBytes, *std::max_element(sizes.begin(), sizes.end())))
    return failed;
  for (int size : sizes) {
    const int calls = std::max(minCalls, static_cast<int>(bytesPerSize / size + 0.5));
    std::vector<double> times[2], firsts[2];
    bool pageStarts[2] = {true, true};
    for (int i = 0; i < calls; ++i) {
      for (int side = 0; side < 2; ++side) {
        const bool onServer = (side == 0) == (i % 2 == 0);
        int status = 0;
        // A page's first read is timed apart.
        if (pageStarts[onServer]) {
          const double t0 = NowUs();
          HRESULT hr = reader.Read(onServer, size, &status);
          firsts[onServer].push_back(NowUs() - t0);
          if (hr != S_OK || (status != kStatusMore && status != kStatusPageDone))
            return Fail("first read " + Hex(hr) + " status " + std::to_string(status));
          pageStarts[onServer] = status == kStatusPageDone;
        }
        const double t0 = NowUs();
        HRESULT hr = reader.Read(onServer, size, &status);
        const double t = NowUs() - t0;
        if (hr != S_OK || (status != kStatusMore && status != kStatusPageDone))
          return Fail(std::string(onServer ? "server" : "baseline") + " read " + Hex(hr) +
                      " status " + std::to_string(status));
        times[onServer].push_back(t);
        pageStarts[onServer] = status == kStatusPageDone;
      }
    }
    Result("{\"test\": \"transfer\", \"size\": " + std::to_string(size) +
           ", \"server\": " + Summary(times[1]) + ", \"baseline\": " + Summary(times[0]) +
           ", \"paired\": " + PairedRatio(times[1], times[0]) + ", \"server_page_start\": " +
           Summary(firsts[1]) + ", \"baseline_page_start\": " + Summary(firsts[0]) + "}");
  }
  CloseReader(reader);
  return 0;
}

// Whole pages at each chunk size: from the first read of a page to the one
// that ends it, server and baseline in turn.
int Pages(const char* item, const char* pageBytes, int rounds, const char* sizeList)
{
  const std::vector<int> sizes = ParseSizes(sizeList);
  if (sizes.empty()) return Fail("bad size list");
  Reader reader;
  if (int failed =
          OpenReader(reader, item, pageBytes, *std::max_element(sizes.begin(), sizes.end())))
    return failed;
  for (int size : sizes) {
    std::vector<double> whole[2], first[2];
    int calls[2] = {0, 0};
    for (int r = 0; r < rounds; ++r) {
      for (int side = 0; side < 2; ++side) {
        const bool onServer = (side == 0) == (r % 2 == 0);
        int status = kStatusMore, n = 0;
        const double t0 = NowUs();
        double firstDone = 0;
        while (status == kStatusMore && n < 100000) {
          HRESULT hr = reader.Read(onServer, size, &status);
          if (n++ == 0) firstDone = NowUs();
          if (hr != S_OK) return Fail("page read " + Hex(hr));
        }
        if (status != kStatusPageDone) return Fail("page status " + std::to_string(status));
        whole[onServer].push_back(NowUs() - t0);
        first[onServer].push_back(firstDone - t0);
        calls[onServer] = n;
      }
    }
    Result("{\"test\": \"pages\", \"size\": " + std::to_string(size) + ", \"page_bytes\": " +
           std::to_string(reader.pageBytes) + ", \"calls\": " + std::to_string(calls[1]) +
           ", \"baseline_calls\": " + std::to_string(calls[0]) +
           ", \"server\": " + Summary(whole[1]) + ", \"baseline\": " + Summary(whole[0]) +
           ", \"paired\": " + PairedRatio(whole[1], whole[0]) + ", \"server_first_read\": " +
           Summary(first[1]) + ", \"baseline_first_read\": " + Summary(first[0]) + "}");
  }
  CloseReader(reader);
  return 0;
}

// A bridge on the bench scanner with `item` selected: its index in the
// item list, or -1.
int FindItem(IStiScannerComBridge* bridge, const wchar_t* itemName)
{
  int count = 0, index = -1;
  bridge->RefreshItemList(&count);
  for (int i = 0; i < count && index < 0; ++i) {
    BSTR name = nullptr;
    int page = 0;
    if (bridge->SetSelection(&i, 1) == S_OK && bridge->GetCurrentItemName(&name, &page) == S_OK &&
        std::wcscmp(name, itemName) == 0)
      index = i;
    SysFreeString(name);
  }
  return index;
}

// A bridge on the bench scanner, the job `item` found in its list: its name
// in `itemName` and its index in `index`. Empty, or what failed.
std::string OpenJob(const char* item, IStiScannerComBridge*& bridge, wchar_t (&itemName)[64],
                    int& index)
{
  const HRESULT hr = OpenBridge(&bridge);
  if (FAILED(hr)) return "bridge open " + Hex(hr);
  MultiByteToWideChar(CP_ACP, 0, item, -1, itemName, 63);
  index = FindItem(bridge, itemName);
  return index < 0 ? std::string("no job ") + item : std::string();
}

// The bridge let go, with no walk left on.
void CloseJob(IStiScannerComBridge* bridge)
{
  bridge->SetPagesRemaining(0);
  bridge->Close();
  bridge->Release();
}

// What one walk of a job took, in microseconds: the whole walk; its
// pages from their description to their last read; the reads, of which
// each page's first; the bitmap headers (a file's size). And the bytes
// its reads brought.
struct Walked {
  double walk = 0, pages = 0, reads = 0, headers = 0, firsts = 0;
  int calls = 0;
  double bytes = 0;
};

// How a walk reads a page, with the bridge's numbers of the mechanisms.
enum class PageTransfer { kNative = 0, kFile = 1, kMemory = 2 };

// The scanner's BMP file, as the transfer request names it.
constexpr unsigned long kDriverFormatBmp = 5;

// Where a walk's reads land: a page-sized buffer used again, where the
// bytes belong; one buffer of a read's size used again, as a TWAIN
// application's buffer takes each strip; or, for a native transfer, new
// global memory made for each page after its header, as a TWAIN source
// makes the DIB it hands over (freed after the page's time).
enum class Into { kPage, kStrip, kNewDib };

// The server's reads of every page of the job at `index`, in the walk a
// data source makes (selection, page description, preparation, then: a
// native transfer's bitmap header, in which the simulated driver draws the
// page, and its data in reads of `chunk` bytes; a memory transfer's rows
// in reads of as many whole rows as `chunk` holds; a file transfer's size
// and the scanner's BMP file of the page in reads of `chunk` bytes; each
// where `into` says) with nothing done with the bytes. Empty, or what
// failed.
std::string WalkJob(IStiScannerComBridge* bridge, int index, const wchar_t* itemName, int pages,
                    int chunk, PageTransfer transfer, std::vector<BYTE>& page, Walked& walked,
                    Into into = Into::kPage)
{
  walked = {};
  int left = 0;
  const double walkStarted = NowUs();
  bridge->SetPagesRemaining(0);
  TW_IMAGEINFO info = {};
  if (bridge->SetSelection(&index, 1) != S_OK || bridge->GetImageInfo(&info, 0) != S_OK ||
      bridge->AdvancePage(1, &left, 0) != S_OK)
    return "job selection";
  for (int p = 1; p <= pages; ++p) {
    BSTR name = nullptr;
    int position = 0, status = -1;
    bridge->GetCurrentItemName(&name, &position);
    SysFreeString(name);
    const double pageStarted = NowUs();
    if (position != p || bridge->GetImageInfo(&info, 1) != S_OK ||
        bridge->PrepareTransfer(0, 0, static_cast<int>(transfer), 0, 0, 0, 0, 0, &status) != S_OK ||
        status != 0)
      return "page " + std::to_string(p) + " not prepared";
    STI_TRANSFER_REQUEST request = {};
    request.itemName = const_cast<wchar_t*>(itemName);
    size_t bytes = 0, perRead = static_cast<size_t>(chunk);
    double t0 = 0;
    HRESULT hr = S_OK;
    if (transfer == PageTransfer::kMemory) {
      request.page = 1;
      const size_t row = (static_cast<size_t>(info.ImageWidth) * info.BitsPerPixel + 7) / 8;
      bytes = row * static_cast<size_t>(info.ImageLength);
      perRead = perRead / row * row;
    } else if (transfer == PageTransfer::kFile) {
      request.operation = 2;
      request.page = 1;
      request.formatCode = kDriverFormatBmp;
      int size = 0;
      t0 = NowUs();
      hr = bridge->QueryTransferSize(&request, &size, &status);
      walked.headers += NowUs() - t0;
      if (hr != S_OK || size <= 0) return "file size " + Hex(hr);
      bytes = static_cast<size_t>(size);
    } else {
      request.operation = 1;
      BYTE header[40] = {};
      t0 = NowUs();
      hr = bridge->ReadImageHeader(&request, header, sizeof header, &status);
      walked.headers += NowUs() - t0;
      if (hr != S_OK || status != kStatusPageDone) return "header " + Hex(hr);
      int width, height;
      short bits;
      std::memcpy(&width, header + 4, 4);
      std::memcpy(&height, header + 8, 4);
      std::memcpy(&bits, header + 14, 2);
      bytes = (bits <= 8 ? 4u << bits : 0) + (static_cast<size_t>(width) * bits + 31) / 32 * 4 *
                                                 static_cast<size_t>(height < 0 ? -height : height);
    }
    HGLOBAL dib = nullptr;
    BYTE* at = nullptr;
    if (into == Into::kNewDib) {
      dib = GlobalAlloc(GHND, 40 + bytes);
      at = dib != nullptr ? static_cast<BYTE*>(GlobalLock(dib)) : nullptr;
      if (at == nullptr) {
        if (dib != nullptr) GlobalFree(dib);
        return "no memory for the DIB";
      }
      at += 40;
    } else {
      page.resize(into == Into::kStrip ? std::min(bytes, perRead) : bytes);
      at = page.data();
    }
    const bool advances = into != Into::kStrip;
    status = kStatusMore;
    for (size_t have = 0; status == kStatusMore && have < bytes; ++walked.calls) {
      const int asked = static_cast<int>(std::min(bytes - have, perRead));
      t0 = NowUs();
      hr = bridge->ReadImageData(&request, at + (advances ? have : 0), asked, &status);
      const double took = NowUs() - t0;
      walked.reads += took;
      if (have == 0) walked.firsts += took;
      if (hr != S_OK) break;
      have += static_cast<size_t>(asked);
    }
    walked.pages += NowUs() - pageStarted;
    if (dib != nullptr) {
      GlobalUnlock(dib);
      GlobalFree(dib);
    }
    if (hr != S_OK) return "job read " + Hex(hr);
    if (status != kStatusPageDone) return "job page status " + std::to_string(status);
    walked.bytes += static_cast<double>(bytes);
    bridge->AdvancePage(0, &left, 0);
  }
  walked.walk = NowUs() - walkStarted;
  return {};
}

// A walk of a job's pages (WalkJob), `rounds` times. One result per round:
// the seconds of the whole walk, of the data reads, of the headers and of
// each page's first read.
int JobReads(const char* item, int pages, int chunk, int rounds, PageTransfer transfer)
{
  IStiScannerComBridge* bridge = nullptr;
  wchar_t itemName[64] = {};
  int index = -1;
  const std::string opened = OpenJob(item, bridge, itemName, index);
  if (!opened.empty()) return Fail(opened);
  std::vector<BYTE> page;
  for (int r = 0; r < rounds; ++r) {
    Walked walked;
    const std::string failed =
        WalkJob(bridge, index, itemName, pages, chunk, transfer, page, walked);
    if (!failed.empty()) return Fail(failed);
    Result("{\"test\": \"job\", \"pages\": " + std::to_string(pages) + ", \"calls\": " +
           std::to_string(walked.calls) + ", \"walk_s\": " + std::to_string(walked.walk / 1e6) +
           ", \"reads_s\": " + std::to_string(walked.reads / 1e6) +
           ", \"headers_s\": " + std::to_string(walked.headers / 1e6) +
           ", \"first_reads_s\": " + std::to_string(walked.firsts / 1e6) + "}");
  }
  CloseJob(bridge);
  return 0;
}

// The bridge's walk that stands beside each of the source's transfers,
// and the reads it makes, each landing in memory of the kind the source's
// reads land in: a native transfer's DIB in the reads the source makes of
// it (1 MiB) into new global memory, as the DIB the source hands over; a
// memory transfer's rows and a memory file's bytes in reads of the
// application's buffer, into one buffer of that size.
constexpr int kSourceReadBytes = 1 << 20;

PageTransfer BesideOf(twainpage::Mechanism mechanism)
{
  switch (mechanism) {
    case twainpage::Mechanism::kNative:
      return PageTransfer::kNative;
    case twainpage::Mechanism::kMemory:
      return PageTransfer::kMemory;
    case twainpage::Mechanism::kMemoryFile:
      return PageTransfer::kFile;
  }
  return PageTransfer::kMemory;
}

// A one-page job through the TWAIN data source, as an application takes it
// (twain_page.h), by each of `mechanisms` in turn, against the same page
// walked straight on the bridge as that transfer reads it (BesideOf), the
// two in turn (source, bridge, bridge, source, ...) after a round of each
// that is not timed. One result a mechanism, each figure paired: the
// page's transfer (the source's from DAT_IMAGEINFO to the transfer's end;
// the bridge's from the page's description through its preparation to its
// last read, and its reads alone), and the whole page (the source's from
// MSG_ENABLEDS, which lists the scanner's jobs, to its MSG_ENDXFER; the
// bridge's walk). Each page is also walked into a page-sized buffer used
// again: beside the walk the goal is judged against, what the memory the
// bytes land in costs. A page that did not come over whole fails the run.
int TwainPages(const char* item, int rounds, const char* mechanismList)
{
  std::vector<twainpage::Mechanism> mechanisms;
  for (const char* p = mechanismList; *p != 0;) {
    const char* end = std::strchr(p, ',');
    const std::string name = end != nullptr ? std::string(p, end) : std::string(p);
    twainpage::Mechanism mechanism;
    if (!twainpage::Named(name, mechanism)) return Fail("no mechanism " + name);
    mechanisms.push_back(mechanism);
    p = end != nullptr ? end + 1 : p + name.size();
  }
  if (mechanisms.empty()) return Fail("no mechanisms");
  std::string failed = twainpage::Open(item);
  if (!failed.empty()) return Fail("data source: " + failed);
  IStiScannerComBridge* bridge = nullptr;
  wchar_t itemName[64] = {};
  int index = -1;
  failed = OpenJob(item, bridge, itemName, index);
  if (!failed.empty()) return Fail(failed);
  const int buffer = static_cast<int>(twainpage::Buffer());
  std::vector<BYTE> page;
  for (twainpage::Mechanism mechanism : mechanisms) {
    const char* name = twainpage::NameOf(mechanism);
    failed = twainpage::Use(mechanism);
    if (!failed.empty()) return Fail(std::string("data source, ") + name + ": " + failed);
    const PageTransfer beside = BesideOf(mechanism);
    const int chunk = beside == PageTransfer::kNative ? kSourceReadBytes : buffer;
    const Into lands = beside == PageTransfer::kNative ? Into::kNewDib : Into::kStrip;
    // The sides of a round: the source, the bridge's walk beside it, and
    // the same walk into a page-sized buffer. In turn 0, 1, 2 and 2, 1, 0,
    // so that each side's neighbours pair.
    constexpr int sides = 3;
    std::vector<double> source, sourceTransfer, direct, directTransfer, directReads, inPage;
    twainpage::Times times;
    Walked walked, walkedInPage;
    for (int r = -1; r < rounds; ++r) {
      for (int turn = 0; turn < sides; ++turn) {
        const int side = r % 2 == 0 || r < 0 ? turn : sides - 1 - turn;
        if (side == 0) {
          failed = twainpage::Page(times);
          if (!failed.empty())
            return Fail(std::string("data source page, ") + name + ": " + failed);
          if (!times.whole)
            return Fail(std::string("data source page, ") + name + ": not whole, " +
                        std::to_string(times.bytes) + " bytes in " + std::to_string(times.strips) +
                        " strips");
          if (r < 0) continue;
          source.push_back(times.pageUs);
          sourceTransfer.push_back(times.transferUs);
        } else if (side == 1) {
          failed = WalkJob(bridge, index, itemName, 1, chunk, beside, page, walked, lands);
          if (!failed.empty()) return Fail(std::string("bridge page, ") + name + ": " + failed);
          if (r < 0) continue;
          direct.push_back(walked.walk);
          directTransfer.push_back(walked.pages);
          directReads.push_back(walked.reads);
        } else {
          failed = WalkJob(bridge, index, itemName, 1, chunk, beside, page, walkedInPage);
          if (!failed.empty()) return Fail(std::string("bridge page, ") + name + ": " + failed);
          if (r >= 0) inPage.push_back(walkedInPage.pages);
        }
      }
    }
    const std::string inPageFigures =
        ", \"bridge_in_page_transfer\": " + Summary(inPage) +
        ", \"paired_in_page\": " + PairedRatio(sourceTransfer, inPage) +
        ", \"paired_landing\": " + PairedRatio(directTransfer, inPage) +
        ", \"landing_ratios\": " + Ratios(directTransfer, inPage);
    Result(
        "{\"test\": \"twain\", \"mechanism\": \"" + std::string(name) + "\", \"page_bytes\": " +
        std::to_string(times.bytes) + ", \"bridge_bytes\": " + std::to_string(walked.bytes) +
        ", \"buffer\": " + std::to_string(chunk) + ", \"strips\": " + std::to_string(times.strips) +
        ", \"reads\": " + std::to_string(walked.calls) + ", \"source\": " + Summary(source) +
        ", \"bridge\": " + Summary(direct) + ", \"paired\": " + PairedRatio(source, direct) +
        ", \"source_transfer\": " + Summary(sourceTransfer) +
        ", \"bridge_transfer\": " + Summary(directTransfer) +
        ", \"paired_transfer\": " + PairedRatio(sourceTransfer, directTransfer) +
        ", \"bridge_reads\": " + Summary(directReads) +
        ", \"paired_reads\": " + PairedRatio(sourceTransfer, directReads) +
        ", \"transfer_ratios\": " + Ratios(sourceTransfer, directTransfer) + inPageFigures + "}");
  }
  CloseJob(bridge);
  twainpage::Close();
  return 0;
}

// The source's own window over a store of `jobs` jobs with previews,
// opened `rounds` times (twain_window.h): the list, the last picture and
// the longest wait of the application's own messages, each summed up
// over the rounds. A round that does not list every job, or shows a job
// without its picture, fails the run.
int TwainWindow(int jobs, int rounds)
{
  std::string failed = twainwindow::Open();
  if (!failed.empty()) return Fail("data source: " + failed);
  std::vector<double> first, list, pictures, waits;
  int posted = 0, dispatched = 0;
  // A round first that is not counted: the server starts, and the
  // previews are read once from the disk.
  for (int r = -1; r < rounds; ++r) {
    twainwindow::Times times;
    failed = twainwindow::Round(jobs, 60000, times);
    if (!failed.empty()) return Fail("job window: " + failed);
    if (r < 0) continue;
    first.push_back(times.firstUs);
    list.push_back(times.listUs);
    pictures.push_back(times.thumbnailsUs);
    waits.push_back(times.longestWaitUs);
    posted += times.posted;
    dispatched += times.dispatched;
  }
  twainwindow::Close();
  Result("{\"test\": \"window\", \"jobs\": " + std::to_string(jobs) +
         ", \"first\": " + Summary(first) + ", \"list\": " + Summary(list) + ", \"pictures\": " + Summary(pictures) +
         ", \"longest_wait\": " + Summary(waits) + ", \"posted\": " + std::to_string(posted) +
         ", \"dispatched\": " + std::to_string(dispatched) + "}");
  return 0;
}

bool ProcessRunning(const wchar_t* program, DWORD* pid = nullptr)
{
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
       more = Process32NextW(snapshot, &entry)) {
    if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, entry.szExeFile, -1, program, -1) ==
        CSTR_EQUAL) {
      found = true;
      if (pid != nullptr) *pid = entry.th32ProcessID;
    }
  }
  CloseHandle(snapshot);
  return found;
}

bool WaitGone(const wchar_t* program, DWORD ms)
{
  const ULONGLONG until = GetTickCount64() + ms;
  while (ProcessRunning(program)) {
    if (GetTickCount64() > until) return false;
    Sleep(20);
  }
  return true;
}

// Waits for the server to quit; one that does not is ended, so that the
// next round starts it afresh. Returns false when it had to be ended.
bool QuitOrEnd(const wchar_t* program)
{
  if (WaitGone(program, 15000)) return true;
  DWORD pid = 0;
  if (ProcessRunning(program, &pid)) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process != nullptr) {
      TerminateProcess(process, 99);
      WaitForSingleObject(process, 5000);
      CloseHandle(process);
    }
  }
  return false;
}

std::string Joined(const std::vector<std::string>& texts)
{
  std::string out;
  for (const std::string& text : texts) out += (out.empty() ? "\"" : ", \"") + text + "\"";
  return out;
}

// Start-up: from CoCreateInstance with the server not running to the first
// answered call. The first round of each only warms the client's side up.
int Start(int rounds)
{
  std::vector<double> total[2], create[2];
  int ended[2] = {0, 0};
  std::vector<std::string> failures;
  for (int r = -1; r < rounds; ++r) {
    for (int side = 0; side < 2; ++side) {
      const bool onServer = (side == 0) == (r % 2 == 0);
      const wchar_t* program = onServer ? kServerProgram : kBaselineProgram;
      if (!QuitOrEnd(program)) ++ended[onServer];
      int page = 0, pages = 0;
      HRESULT hr;
      double t0 = NowUs(), t1 = 0;
      if (onServer) {
        IStiScannerComBridge* bridge = nullptr;
        hr = Create(CLSID_CStiScannerComBridge, IID_IStiScannerComBridge, &bridge);
        t1 = NowUs();
        if (SUCCEEDED(hr)) hr = bridge->GetPagePosition(&page, &pages);
        if (bridge != nullptr) bridge->Release();
      } else {
        IBenchBaseline* baseline = nullptr;
        hr = Create(CLSID_CBenchBaseline, IID_IBenchBaseline, &baseline);
        t1 = NowUs();
        if (SUCCEEDED(hr)) hr = baseline->GetPosition(&page, &pages);
        if (baseline != nullptr) baseline->Release();
      }
      const double t2 = NowUs();
      if (hr != S_OK) {
        // A start that failed (seen under heavy load) leaves a server that
        // no client will ever release: it is ended before the next round.
        failures.push_back(std::string(onServer ? "server " : "baseline ") + Hex(hr));
        if (failures.size() > static_cast<size_t>(rounds / 2 + 1))
          return Fail("start " + Hex(hr) + ", " + std::to_string(failures.size()) + " times");
        continue;
      }
      if (r >= 0) {
        total[onServer].push_back(t2 - t0);
        create[onServer].push_back(t1 - t0);
      }
    }
  }
  if (!QuitOrEnd(kServerProgram)) ++ended[1];
  if (!QuitOrEnd(kBaselineProgram)) ++ended[0];
  Result("{\"test\": \"start\", \"server\": " + Summary(total[1]) + ", \"baseline\": " +
         Summary(total[0]) + ", \"paired\": " + PairedRatio(total[1], total[0]) +
         ", \"server_create\": " + Summary(create[1]) + ", \"baseline_create\": " +
         Summary(create[0]) + ", \"server_not_quitting\": " + std::to_string(ended[1]) +
         ", \"baseline_not_quitting\": " + std::to_string(ended[0]) + ", \"failed_starts\": [" +
         Joined(failures) + "]}");
  return 0;
}

// Holds an object (the bridge with its device open and, where the server
// lists them, its item list) until standard input ends.
int Hold(const char* which)
{
  std::string report;
  IUnknown* held = nullptr;
  if (std::strcmp(which, "server") == 0) {
    IStiScannerComBridge* bridge = nullptr;
    HRESULT hr = OpenBridge(&bridge);
    if (FAILED(hr)) return Fail("bridge open " + Hex(hr));
    int count = 0;
    hr = bridge->RefreshItemList(&count);
    report = "\"refresh_item_list\": \"" + Hex(hr) + "\", \"items\": " + std::to_string(count);
    held = bridge;
  } else {
    IBenchBaseline* baseline = nullptr;
    HRESULT hr = Create(CLSID_CBenchBaseline, IID_IBenchBaseline, &baseline);
    if (FAILED(hr)) return Fail("baseline create " + Hex(hr));
    int page = 0, pages = 0;
    baseline->GetPosition(&page, &pages);
    report = "\"refresh_item_list\": null";
    held = baseline;
  }
  Result("{\"test\": \"hold\", \"side\": \"" + std::string(which) + "\", " + report + "}");
  while (std::fgetc(stdin) != EOF) {
  }
  held->Release();
  return 0;
}

int ProcessMemory(const char* program)
{
  wchar_t name[MAX_PATH] = {};
  MultiByteToWideChar(CP_ACP, 0, program, -1, name, MAX_PATH - 1);
  DWORD pid = 0;
  if (!ProcessRunning(name, &pid)) return Fail("not running");
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) return Fail("open process " + std::to_string(GetLastError()));
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  BOOL got = GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                  sizeof counters);
  CloseHandle(process);
  if (!got) return Fail("memory info " + std::to_string(GetLastError()));
  char text[256];
  std::snprintf(text, sizeof text,
                "{\"test\": \"procmem\", \"private_bytes\": %llu, \"working_set\": %llu, "
                "\"pagefile_usage\": %llu}",
                static_cast<unsigned long long>(counters.PrivateUsage),
                static_cast<unsigned long long>(counters.WorkingSetSize),
                static_cast<unsigned long long>(counters.PagefileUsage));
  Result(text);
  return 0;
}

// Checks of the figures' arithmetic, one line each ("ok ..." / "FAIL ..."):
// a slip here would move every ratio the run reports.
int SelfTest()
{
  int failures = 0;
  auto check = [&](bool passed, const char* name) {
    std::printf("%s selftest-%s\n", passed ? "ok" : "FAIL", name);
    failures += passed ? 0 : 1;
  };
  auto same = [](double a, double b) { return a > b - 1e-9 && a < b + 1e-9; };

  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  const Stats h = Describe(hundred);
  check(h.n == 100 && same(h.median, 50.5) && same(h.p99, 99) && same(h.mean, 50.5) &&
            same(h.min, 1) && same(h.max, 100) && same(h.sum, 5050),
        "describe-hundred");
  const Stats one = Describe({7});
  check(one.n == 1 && same(one.median, 7) && same(one.p99, 7), "describe-one");
  check(Describe({3, 1, 2}).median == 2 && Describe({}).n == 0, "describe-odd-and-empty");

  struct PairCase {
    std::vector<double> server, baseline;
    size_t n;
    double median, q1, q3;
    const char* name;
  };
  const PairCase pairs[] = {
      {{2, 4, 6}, {1, 2, 3}, 3, 2, 2, 2, "paired-constant"},
      {{1, 2, 3, 4}, {1, 1, 1, 1}, 4, 2.5, 1.75, 3.25, "paired-quartiles"},
      {{5, 1, 9}, {5, 0, 9, 4}, 2, 1, 1, 1, "paired-skips-zero-and-unpaired"},
  };
  for (const PairCase& c : pairs) {
    const Quartiles q = PairedQuartiles(c.server, c.baseline);
    check(q.n == c.n && same(q.median, c.median) && same(q.q1, c.q1) && same(q.q3, c.q3), c.name);
  }

  check(ParseSizes("65536,1048576") == std::vector<int>{65536, 1048576}, "sizes");
  check(ParseSizes("12,x").empty() && ParseSizes("").empty() && ParseSizes("-4").empty(),
        "sizes-refused");
  std::fflush(stdout);
  return failures;
}

}  // namespace

int main(int argc, char** argv)
{
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  ticksPerMicrosecond = static_cast<double>(frequency.QuadPart) / 1e6;
  if (argc < 2) return Fail("usage: see the head of bench_client.cpp");
  const std::string command = argv[1];
  if (command == "procmem" && argc == 3) return ProcessMemory(argv[2]);
  if (command == "selftest") return SelfTest();

  if (FAILED(CoInitialize(nullptr))) return Fail("CoInitialize");
  int result;
  if (command == "calls" && argc == 4) {
    result = Calls(std::atoi(argv[2]), std::atoi(argv[3]));
  } else if (command == "transfer" && argc == 7) {
    result = Transfer(argv[2], argv[3], std::atof(argv[4]), std::atoi(argv[5]), argv[6]);
  } else if (command == "pages" && argc == 6) {
    result = Pages(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
  } else if (command == "job" && argc == 7) {
    result =
        JobReads(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
                 std::string(argv[6]) == "memory" ? PageTransfer::kMemory : PageTransfer::kNative);
  } else if (command == "twain" && (argc == 4 || argc == 5)) {
    result = TwainPages(argv[2], std::atoi(argv[3]), argc == 5 ? argv[4] : "memory");
  } else if (command == "window" && argc == 4) {
    result = TwainWindow(std::atoi(argv[2]), std::atoi(argv[3]));
  } else if (command == "start" && argc == 3) {
    result = Start(std::atoi(argv[2]));
  } else if (command == "hold" && argc == 3) {
    result = Hold(argv[2]);
  } else {
    result = Fail("usage: see the head of bench_client.cpp");
  }
  CoUninitialize();
  return result;
}

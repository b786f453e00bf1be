// In-process benchmarks of the bridge on the native build: the cost of a
// trivial method against a plain virtual call, and image reads against
// memcpy of the same size. The bridge runs against the simulated scanner
// with the bench scenario loaded; the page being read is already drawn (the
// first read, which draws it, is not timed), so that the figures are the
// bridge's per-call work, the driver's, and the one copy into the caller's
// buffer.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "inproc/plain_call.h"
#include "server/class_factory.h"
#include "server/lifetime.h"
#include "sim/sim_api.h"

// The bench's door into the bridge object, which names this struct its
// friend (the unit suite has its own): lets a benchmark put a stand-in
// device under the bridge, to time the bridge's own work without a driver.
struct BridgeTestAccess {
  static IStiDevice* SwapDevice(IStiScannerComBridge* bridge, IStiDevice* device)
  {
    auto* object = static_cast<CStiScannerComBridge*>(bridge);
    IStiDevice* previous = object->device;
    object->device = device;
    return previous;
  }
};

namespace {

// The A4 page of the bench scenario: 2480 x 3508 pixels, 24 bits, rows
// padded to 4 bytes, as a native (DIB) transfer delivers it.
constexpr size_t kPageWidth = 2480;
constexpr size_t kPageHeight = 3508;
constexpr size_t kPageBytes = ((kPageWidth * 3 + 3) / 4 * 4) * kPageHeight;
// Its page "mib.bmp": 1024 x 341, 24 bits, just under 1 MiB.
constexpr size_t kOneBufferPageBytes = 1024 * 3 * 341;
constexpr int kTwrcSuccess = 0;
constexpr int kTwrcXferDone = 6;

std::string ReadScenario()
{
  std::ifstream file(STIBRIDGE_BENCH_SCENARIO, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// A bridge with the bench scanner open, as a client leaves it before its
// first read.
class OpenBridge {
 public:
  OpenBridge()
  {
    SetQuitActionForTesting([] {});
    if (StiSimLoadScenarioJson(ReadScenario().c_str()) != S_OK) return;
    CUnknown* object = nullptr;
    if (FAILED(CreateBridgeObject(nullptr, &object))) return;
    object->NondelegatingQueryInterface(IID_IStiScannerComBridge,
                                        reinterpret_cast<void**>(&bridge));
    object->NondelegatingRelease();
    WCHAR device[] = W("Bench MFP");
    WCHAR qualifier[] = W("BENCH"), profile[] = W("bench"), store[] = W("ann");
    int count = 0, family = 0;
    BSTR names = nullptr;
    HRESULT hr = bridge->InitializeSti();
    if (SUCCEEDED(hr)) hr = bridge->EnumerateDevices(&count, &names);
    SysFreeString(names);
    if (SUCCEEDED(hr)) hr = bridge->SelectDeviceByName(device, &family);
    if (SUCCEEDED(hr)) hr = bridge->OpenDevice(qualifier, profile, store);
    ready = SUCCEEDED(hr);
    request.operation = 1;  // native: the DIB's rows
    request.itemName = itemName;
  }
  ~OpenBridge()
  {
    if (bridge == nullptr) return;
    bridge->Close();
    bridge->Release();
  }
  OpenBridge(const OpenBridge&) = delete;
  OpenBridge& operator=(const OpenBridge&) = delete;

  IStiScannerComBridge* bridge = nullptr;
  bool ready = false;
  WCHAR itemName[16] = W("a4.bmp");
  STI_TRANSFER_REQUEST request{};
};

// A device whose lock, escape and unlock do nothing: what is left of a read
// through it is the bridge's own work.
class NullDevice : public IStiDevice {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
  {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Initialize(HINSTANCE, LPCWSTR, DWORD, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetCapabilities(PSTI_DEV_CAPS) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStatus(PSTI_DEVICE_STATUS) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeviceReset() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Diagnostic(LPSTI_DIAG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Escape(STI_RAW_CONTROL_CODE, LPVOID, DWORD, LPVOID, DWORD,
                                   LPDWORD actual) override
  {
    // The whole buffer delivered, more to follow.
    return actual != nullptr ? S_OK : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE GetLastError(LPDWORD error) override
  {
    *error = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE LockDevice(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE UnLockDevice() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RawReadData(LPVOID, LPDWORD, LPOVERLAPPED) override
  {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RawWriteData(LPVOID, DWORD, LPOVERLAPPED) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RawReadCommand(LPVOID, LPDWORD, LPOVERLAPPED) override
  {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RawWriteCommand(LPVOID, DWORD, LPOVERLAPPED) override
  {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Subscribe(LPSTISUBSCRIBE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetLastNotificationData(LPSTINOTIFY) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnSubscribe() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetLastErrorInfo(STI_ERROR_INFO*) override { return E_NOTIMPL; }
};

// The simulator keeps a journal entry of every lock, escape and unlock; it is
// emptied now and then (untimed) so that a long run does not grow it without
// bound.
constexpr int kJournalClearEvery = 4096;

void PlainVirtualCall(benchmark::State& state)
{
  PlainPosition* plain = NewPlainPosition();
  int page = 0, pages = 0;
  for (auto _ : state) {
    long hr = plain->GetPosition(&page, &pages);
    benchmark::DoNotOptimize(hr);
    benchmark::DoNotOptimize(page);
    benchmark::DoNotOptimize(pages);
  }
  delete plain;
}
BENCHMARK(PlainVirtualCall);

void GetPagePosition(benchmark::State& state)
{
  OpenBridge open;
  if (!open.ready) {
    state.SkipWithError("the bench scanner did not open");
    return;
  }
  int page = 0, pages = 0;
  for (auto _ : state) {
    HRESULT hr = open.bridge->GetPagePosition(&page, &pages);
    benchmark::DoNotOptimize(hr);
    benchmark::DoNotOptimize(page);
    benchmark::DoNotOptimize(pages);
  }
}
BENCHMARK(GetPagePosition);

// Image reads of state.range(0) bytes from `item`, a page of `pageBytes`.
void ReadPage(benchmark::State& state, const WCHAR* item, size_t pageBytes)
{
  OpenBridge open;
  if (!open.ready) {
    state.SkipWithError("the bench scanner did not open");
    return;
  }
  for (size_t i = 0; (open.itemName[i] = item[i]) != 0; ++i) {
  }
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<BYTE> buffer(size, 1);
  size_t offset = 0, bytes = 0;
  int status = 0, calls = 0;
  // The first read draws the page.
  open.bridge->ReadImageData(&open.request, buffer.data(), static_cast<int>(size), &status);
  offset = status == kTwrcXferDone ? 0 : std::min(size, pageBytes);
  for (auto _ : state) {
    open.bridge->ReadImageData(&open.request, buffer.data(), static_cast<int>(size), &status);
    const size_t delivered = std::min(size, pageBytes - offset);
    bytes += delivered;
    // The driver keeps the page it drew last: a page read again is not drawn
    // again, so every read is timed, the one that ends a page included.
    offset = status == kTwrcXferDone ? 0 : offset + delivered;
    if (status == kTwrcXferDone) status = kTwrcSuccess;
    if (status != kTwrcSuccess || ++calls % kJournalClearEvery == 0) {
      state.PauseTiming();
      StiSimClearJournal();
      state.ResumeTiming();
      if (status != kTwrcSuccess) {
        state.SkipWithError("read failed");
        break;
      }
    }
  }
  benchmark::DoNotOptimize(buffer.data());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// Reads from the middle of the A4 page: the source walks 26 MB.
void ReadImageData(benchmark::State& state)
{
  ReadPage(state, W("a4.bmp"), kPageBytes);
}
BENCHMARK(ReadImageData)->Arg(64 << 10)->Arg(1 << 20)->Arg(8 << 20);

// Reads of a page that one 1 MiB buffer holds: the same source and
// destination every call, as memcpy's own benchmark has them.
void ReadImageDataOneBufferPage(benchmark::State& state)
{
  ReadPage(state, W("mib.bmp"), kOneBufferPageBytes);
}
BENCHMARK(ReadImageDataOneBufferPage)->Arg(1 << 20);

// The whole per-call cost of a read through the simulated driver, with a
// copy too small to matter.
void ReadImageDataSmall(benchmark::State& state)
{
  OpenBridge open;
  if (!open.ready) {
    state.SkipWithError("the bench scanner did not open");
    return;
  }
  BYTE buffer[64];
  int status = 0, calls = 0;
  open.bridge->ReadImageData(&open.request, buffer, sizeof buffer, &status);
  for (auto _ : state) {
    open.bridge->ReadImageData(&open.request, buffer, sizeof buffer, &status);
    if (status != kTwrcSuccess || ++calls % kJournalClearEvery == 0) {
      state.PauseTiming();
      // The next read after the page's end would render it again.
      if (status == kTwrcXferDone)
        open.bridge->ReadImageData(&open.request, buffer, sizeof buffer, &status);
      StiSimClearJournal();
      state.ResumeTiming();
      if (status != kTwrcSuccess) {
        state.SkipWithError("read failed");
        break;
      }
    }
  }
}
BENCHMARK(ReadImageDataSmall);

// The bridge's own work per read (lock, escape, unlock, status), with a
// device that does nothing.
void ReadImageDataBridgeOnly(benchmark::State& state)
{
  OpenBridge open;
  if (!open.ready) {
    state.SkipWithError("the bench scanner did not open");
    return;
  }
  NullDevice null;
  IStiDevice* simulated = BridgeTestAccess::SwapDevice(open.bridge, &null);
  BYTE buffer[64];
  int status = 0;
  for (auto _ : state) {
    open.bridge->ReadImageData(&open.request, buffer, sizeof buffer, &status);
    benchmark::DoNotOptimize(status);
  }
  BridgeTestAccess::SwapDevice(open.bridge, simulated);
  if (status != kTwrcSuccess) state.SkipWithError("read failed");
}
BENCHMARK(ReadImageDataBridgeOnly);

// memcpy of the same size between two buffers that stay in place: the
// figure the goal is set against.
void Memcpy(benchmark::State& state)
{
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<BYTE> from(size, 2), to(size, 1);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), size);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(Memcpy)->Arg(64 << 10)->Arg(1 << 20)->Arg(8 << 20);

// memcpy of the same size whose source walks through a page-sized buffer,
// as the driver's copies walk through the page: the same cache behaviour as
// a read, without the bridge.
void MemcpyThroughPage(benchmark::State& state)
{
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<BYTE> page(kPageBytes, 2), to(size, 1);
  size_t offset = 0, bytes = 0;
  for (auto _ : state) {
    const size_t chunk = std::min(size, kPageBytes - offset);
    std::memcpy(to.data(), page.data() + offset, chunk);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
    bytes += chunk;
    offset = offset + chunk == kPageBytes ? 0 : offset + chunk;
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(MemcpyThroughPage)->Arg(64 << 10)->Arg(1 << 20)->Arg(8 << 20);

}  // namespace

BENCHMARK_MAIN();

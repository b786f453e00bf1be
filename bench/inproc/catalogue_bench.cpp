// In-process benchmarks of the stored-job catalogue on the native build: a
// scanner holding 10,000 or 100,000 jobs, listed and queried item by item.
//   CatalogueWalk/N    RefreshItemList, GetItemInfo and GetItemTime of every
//                      item, ReleaseItemList: the whole cost a client sees
//   DriverList/N       the simulated driver's part alone: its item list made
//                      and handed back through the escapes, without the bridge
//   BridgeQueries/N    the bridge's own part: GetItemInfo and GetItemTime of
//                      every item of a list already fetched
// Each reports the items it went through (items_per_second).
#include <benchmark/benchmark.h>

#include <string>

#include "bridge/bridge.h"
#include "protocol/driver_protocol.h"
#include "server/class_factory.h"
#include "server/lifetime.h"
#include "sim/sim_api.h"

namespace {

std::string ScenarioOfJobs(int jobs)
{
  std::string json = R"({"name": "catalogue bench", "devices": [{"index": 0,
      "description": "Tarvo Alder 5100MFP TWAIN", "localName": "Bench MFP",
      "users": [{"storeId": "ann"}], "jobs": [)";
  json.reserve(static_cast<size_t>(jobs) * 120 + 256);
  for (int i = 0; i < jobs; ++i) {
    if (i > 0) json += ",";
    const std::string n = std::to_string(i);
    json += R"({"itemName": "job)" + n + R"(.tif", "documentName": "Document )" + n +
            R"(", "pages": 2, "width": 64, "height": 64, "time": "2024-03-05T09:15:00"})";
  }
  return json + "]}]}";
}

// The scanner with `jobs` stored, opened by one bridge object; loaded once
// for every benchmark of that size.
class Catalogue {
 public:
  static Catalogue& Of(int jobs)
  {
    static int loaded = -1;
    static Catalogue* current = nullptr;
    if (loaded != jobs) {
      delete current;
      current = new Catalogue(jobs);
      loaded = jobs;
    }
    return *current;
  }
  ~Catalogue()
  {
    if (bridge != nullptr) {
      bridge->Close();
      bridge->Release();
    }
    if (device != nullptr) device->Release();
    if (sti != nullptr) sti->Release();
  }
  IStiScannerComBridge* bridge = nullptr;
  IStillImageW* sti = nullptr;
  IStiDevice* device = nullptr;
  bool ready = false;

 private:
  explicit Catalogue(int jobs)
  {
    SetQuitActionForTesting([] {});
    if (StiSimLoadScenarioJson(ScenarioOfJobs(jobs).c_str()) != S_OK) return;
    CUnknown* object = nullptr;
    if (FAILED(CreateBridgeObject(nullptr, &object))) return;
    object->NondelegatingQueryInterface(IID_IStiScannerComBridge,
                                        reinterpret_cast<void**>(&bridge));
    object->NondelegatingRelease();
    WCHAR qualifier[] = W("BENCH"), profile[] = W("bench"), store[] = W("ann");
    HRESULT hr = bridge->InitializeSti();
    if (SUCCEEDED(hr)) hr = bridge->SelectLaunchDevice();
    if (SUCCEEDED(hr)) hr = bridge->OpenDevice(qualifier, profile, store);
    // A device object of the driver's own, for the driver-only benchmark.
    WCHAR name[STI_MAX_INTERNAL_NAME_LENGTH] = {};
    if (SUCCEEDED(hr)) hr = StiSimDeviceInternalName(0, name, STI_MAX_INTERNAL_NAME_LENGTH);
    if (SUCCEEDED(hr))
      hr = StiCreateInstanceW(nullptr, STI_VERSION_REAL | STI_VERSION_FLAG_UNICODE, &sti, nullptr);
    if (SUCCEEDED(hr)) hr = sti->CreateDevice(name, STI_DEVICE_CREATE_STATUS, &device, nullptr);
    ready = SUCCEEDED(hr);
  }
};

void PerItem(benchmark::State& state, int items)
{
  state.SetItemsProcessed(static_cast<int64_t>(items) * state.iterations());
}

// Every item's information and time, as a data source asks for them.
bool QueryAll(IStiScannerComBridge* bridge, int count)
{
  for (int index = 0; index < count; ++index) {
    BSTR document = nullptr;
    int pixelType = 0, resolution = 0, pages = 0, size = 0;
    SYSTEMTIME time = {};
    if (bridge->GetItemInfo(index, &document, nullptr, &pixelType, &resolution, &pages, &size) !=
            S_OK ||
        bridge->GetItemTime(index, &time) != S_OK) {
      SysFreeString(document);
      return false;
    }
    SysFreeString(document);
    benchmark::DoNotOptimize(time);
  }
  return true;
}

void CatalogueWalk(benchmark::State& state)
{
  const int jobs = static_cast<int>(state.range(0));
  Catalogue& c = Catalogue::Of(jobs);
  if (!c.ready) return state.SkipWithError("the scanner could not be opened");
  for (auto _ : state) {
    int count = 0;
    if (c.bridge->RefreshItemList(&count) != S_OK || count != jobs || !QueryAll(c.bridge, count))
      return state.SkipWithError("the catalogue could not be walked");
    // The records go back to the driver, as a client hands them back.
    c.bridge->ReleaseItemList();
  }
  PerItem(state, jobs);
}

void DriverList(benchmark::State& state)
{
  const int jobs = static_cast<int>(state.range(0));
  Catalogue& c = Catalogue::Of(jobs);
  if (!c.ready) return state.SkipWithError("the scanner could not be opened");
  WCHAR store[260] = W("ann");
  for (auto _ : state) {
    driver::ItemListHeader header{};
    DWORD word = 0;
    c.device->LockDevice(4000);
    HRESULT hr = c.device->Escape(static_cast<DWORD>(driver::EscapeCode::GetItemList), store, 8,
                                  &header, sizeof header, &word);
    word = static_cast<DWORD>(driver::BlockKind::ItemList);
    c.device->Escape(static_cast<DWORD>(driver::EscapeCode::FreeDriverBlock), &header,
                     sizeof header, nullptr, 0, &word);
    c.device->UnLockDevice();
    if (FAILED(hr) || header.count != 0) return state.SkipWithError("the driver's list failed");
  }
  PerItem(state, jobs);
}

void BridgeQueries(benchmark::State& state)
{
  const int jobs = static_cast<int>(state.range(0));
  Catalogue& c = Catalogue::Of(jobs);
  if (!c.ready) return state.SkipWithError("the scanner could not be opened");
  int count = 0;
  if (c.bridge->RefreshItemList(&count) != S_OK || count != jobs)
    return state.SkipWithError("the list could not be fetched");
  for (auto _ : state)
    if (!QueryAll(c.bridge, count)) return state.SkipWithError("a query failed");
  c.bridge->ReleaseItemList();
  PerItem(state, jobs);
}

// Iterations stay few: one iteration of 100,000 items is a second's work.
BENCHMARK(CatalogueWalk)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(DriverList)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BridgeQueries)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

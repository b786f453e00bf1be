// The simulator's test interface (sim_api.h).
#include "sim/sim_api.h"

#include <cstring>
#include <string>
#include <thread>

#include "sim/simulator.h"

using sim::Simulator;
using sim::Text;

namespace {

std::shared_ptr<sim::SimDevice> DeviceAt(DWORD device)
{
  return Simulator::Get().DeviceAt(device);
}

HRESULT CopyOut(const Text& text, LPWSTR buffer, DWORD capacity)
{
  if (buffer == nullptr || capacity == 0) return E_INVALIDARG;
  return sim::CopyText(text, buffer, capacity) ? S_OK
                                               : HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
}

}  // namespace

STISIM_API HRESULT StiSimLoadScenarioJson(const char* utf8Json)
{
  if (utf8Json == nullptr) return E_INVALIDARG;
  sim::Scenario scenario;
  std::string error;
  if (!sim::ParseScenario(utf8Json, scenario, error)) {
    // The simulator stays as it was; only the reason is kept.
    Simulator::Instance().SetLastError(error);
    return E_INVALIDARG;
  }
  return Simulator::Instance().Load(scenario, Simulator::Use::InProcess);
}

STISIM_API HRESULT StiSimLoadScenarioFile(LPCWSTR path)
{
  if (path == nullptr) return E_INVALIDARG;
  return Simulator::Instance().LoadFile(path, Simulator::Use::InProcess);
}

STISIM_API DWORD StiSimChaosInjected()
{
  return Simulator::Get().chaos.Injected();
}

STISIM_API HRESULT StiSimLoadDefaultScenario()
{
  return StiSimLoadScenarioJson(sim::DefaultScenarioJson());
}

STISIM_API HRESULT StiSimLoadDefaultScenarioUnder(const char* conductJson)
{
  if (conductJson == nullptr) return E_INVALIDARG;
  // The member goes in after the scenario's opening brace.
  std::string text = sim::DefaultScenarioJson();
  const size_t brace = text.find('{');
  if (brace == std::string::npos) return E_INVALIDARG;
  text.insert(brace + 1, std::string("\"conduct\": ") + conductJson + ",");
  return StiSimLoadScenarioJson(text.c_str());
}

STISIM_API DWORD StiSimLastError(char* buffer, DWORD capacity)
{
  const std::string error = Simulator::Instance().LastError();
  if (buffer != nullptr && capacity > 0) {
    size_t n = error.size() < capacity ? error.size() : capacity - 1;
    std::memcpy(buffer, error.data(), n);
    buffer[n] = 0;
  }
  return static_cast<DWORD>(error.size());
}

STISIM_API HRESULT StiSimInstallScenario(LPCWSTR path, LPCWSTR journalPath)
{
  if (path == nullptr) return E_INVALIDARG;
  Simulator& simulator = Simulator::Instance();
  // A new installation starts from the scenario's jobs.
  sim::ForgetDeletions();
  HRESULT hr = simulator.LoadFile(path, Simulator::Use::Installed);
  if (SUCCEEDED(hr)) hr = simulator.WriteThumbnails();
  if (FAILED(hr)) return hr;
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, sim::kConfigKeyPath, 0, nullptr,
                                   REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  const Text scenario(path);
  status =
      RegSetValueExW(key, W("Scenario"), 0, REG_SZ, reinterpret_cast<const BYTE*>(scenario.c_str()),
                     static_cast<DWORD>((scenario.size() + 1) * sizeof(WCHAR)));
  if (status == ERROR_SUCCESS && journalPath != nullptr) {
    const Text journal(journalPath);
    status =
        RegSetValueExW(key, W("Journal"), 0, REG_SZ, reinterpret_cast<const BYTE*>(journal.c_str()),
                       static_cast<DWORD>((journal.size() + 1) * sizeof(WCHAR)));
  } else if (status == ERROR_SUCCESS) {
    RegDeleteValueW(key, W("Journal"));
  }
  RegCloseKey(key);
  return HRESULT_FROM_WIN32(status);
}

STISIM_API HRESULT StiSimWriteThumbnails()
{
  return Simulator::Get().WriteThumbnails();
}

STISIM_API DWORD StiSimDeviceCount()
{
  return Simulator::Get().DeviceCount();
}

STISIM_API HRESULT StiSimDeviceInternalName(DWORD device, LPWSTR buffer, DWORD capacity)
{
  auto d = DeviceAt(device);
  if (d == nullptr) return E_INVALIDARG;
  return CopyOut(d->internalName, buffer, capacity);
}

STISIM_API HRESULT StiSimAddFault(const StiSimFault* fault)
{
  if (fault == nullptr || fault->mode < STISIM_FAULT_FAIL || fault->mode > STISIM_FAULT_MISMATCH)
    return E_INVALIDARG;
  Simulator::Get().faults.Add(*fault);
  return S_OK;
}

STISIM_API void StiSimClearFaults()
{
  Simulator::Get().faults.Set({});
}

STISIM_API void StiSimSetLockTimeoutOverride(DWORD milliseconds)
{
  Simulator::Get().SetLockTimeoutOverride(milliseconds);
}

STISIM_API HRESULT StiSimSetLaunch(DWORD device, DWORD eventCode, LPCWSTR eventName)
{
  Simulator& simulator = Simulator::Get();
  if (device == STISIM_ANY) {
    simulator.SetLaunch(std::nullopt);
    return S_OK;
  }
  if (device >= simulator.DeviceCount()) return E_INVALIDARG;
  sim::LaunchSpec launch;
  launch.device = device;
  launch.eventCode = eventCode;
  if (eventName != nullptr) launch.eventName = eventName;
  simulator.SetLaunch(launch);
  return S_OK;
}

STISIM_API DWORD StiSimBreachCount()
{
  return Simulator::Get().Breaches();
}

STISIM_API const char* StiSimBreachName(DWORD kind)
{
  switch (kind) {
    case STISIM_BREACH_DEAD_BLOCK:
      return "dead-block";
    case STISIM_BREACH_FOREIGN_HAND_BACK:
      return "foreign-hand-back";
    case STISIM_BREACH_SECOND_HAND_BACK:
      return "second-hand-back";
    case STISIM_BREACH_RETURNED_BLOCK:
      return "returned-block";
    case STISIM_BREACH_REQUEST_NAME:
      return "request-name";
    default:
      return nullptr;
  }
}

STISIM_API DWORD StiSimJournalCount()
{
  return Simulator::Get().journal.Count();
}

STISIM_API BOOL StiSimJournalAt(DWORD index, StiSimJournalEntry* entry)
{
  if (entry == nullptr) return FALSE;
  return Simulator::Get().journal.At(index, *entry) ? TRUE : FALSE;
}

STISIM_API void StiSimClearJournal()
{
  Simulator::Get().journal.Clear();
}

STISIM_API LONG StiSimOutstandingBlocks(DWORD device, DWORD kind)
{
  auto d = DeviceAt(device);
  return d == nullptr ? -1 : d->driver.OutstandingBlocks(kind);
}

STISIM_API LONG StiSimLiveObjects(DWORD kind)
{
  return Simulator::Instance().LiveObjects(kind);
}

STISIM_API LONG StiSimStoredItemCount(DWORD device)
{
  auto d = DeviceAt(device);
  return d == nullptr ? -1 : d->driver.StoredItemCount();
}

STISIM_API LONG StiSimAccessCount(DWORD device)
{
  auto d = DeviceAt(device);
  return d == nullptr ? -1 : d->driver.AccessCount();
}

STISIM_API LONG StiSimEventRegistrations(DWORD device, DWORD kind)
{
  auto d = DeviceAt(device);
  return d == nullptr ? -1 : d->driver.EventRegistrations(kind);
}

STISIM_API HRESULT StiSimLastSettingsValue(DWORD device, DWORD property, LONG* value)
{
  auto d = DeviceAt(device);
  if (d == nullptr || value == nullptr) return E_INVALIDARG;
  return d->driver.LastSettingsValue(property, *value) ? S_OK : S_FALSE;
}

STISIM_API HRESULT StiSimLastJobName(DWORD device, LPWSTR buffer, DWORD capacity)
{
  auto d = DeviceAt(device);
  return d == nullptr ? E_INVALIDARG : CopyOut(d->driver.LastJobName(), buffer, capacity);
}

STISIM_API HRESULT StiSimLastStoreId(DWORD device, LPWSTR buffer, DWORD capacity)
{
  auto d = DeviceAt(device);
  return d == nullptr ? E_INVALIDARG : CopyOut(d->driver.LastStoreId(), buffer, capacity);
}

STISIM_API HRESULT StiSimLastPin(DWORD device, LPWSTR buffer, DWORD capacity)
{
  auto d = DeviceAt(device);
  return d == nullptr ? E_INVALIDARG : CopyOut(d->driver.LastPin(), buffer, capacity);
}

STISIM_API HRESULT StiSimRaiseEvent(DWORD device, DWORD kind, BOOL ownThread)
{
  auto d = DeviceAt(device);
  if (d == nullptr) return E_INVALIDARG;
  int signalled = 0;
  if (ownThread) {
    std::thread signaller([&] { signalled = d->driver.Signal(kind); });
    signaller.join();
  } else {
    signalled = d->driver.Signal(kind);
  }
  return signalled > 0 ? S_OK : S_FALSE;
}

STISIM_API DWORD StiSimLastCreateMode()
{
  return Simulator::Get().LastCreateMode();
}

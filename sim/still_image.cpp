// The STI root object: device records from the imaging class key, device
// values from its DeviceData keys, device objects, launch information.
#include <cstring>
#include <vector>

#include "sim/sti_objects.h"

namespace sim {

namespace {

const HRESULT kOldVersion = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_WIN32, 1150);
const DWORD kLaunchEventNameCapacity = 64;

// Applies a fault aimed at one of the root object's calls; false when the call
// goes on as usual.
bool Faulted(DWORD target, HRESULT& hr, bool& empty, LONG& countDelta)
{
  std::optional<StiSimFault> fault = Simulator::Get().faults.Take(target, STISIM_ANY, STISIM_ANY);
  empty = false;
  countDelta = 0;
  if (!fault) return false;
  if (fault->mode == STISIM_FAULT_FAIL) {
    hr = fault->result;
    return true;
  }
  if (fault->mode == STISIM_FAULT_TIMEOUT) {
    hr = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    return true;
  }
  empty = fault->mode == STISIM_FAULT_EMPTY;
  countDelta = fault->mode == STISIM_FAULT_MISMATCH ? fault->countDelta : 0;
  return false;
}

// Whether a failing call leaves its out-values as the caller had them,
// rather than emptying them first.
bool KeepsFailedOut()
{
  return Simulator::Get().Conduct().failedOut == ConductSpec::FailedOut::Kept;
}

HKEY OpenDeviceData(const WCHAR* name, REGSAM access, bool create)
{
  if (!IsInternalName(name)) return nullptr;
  const Text path = Text(kClassKeyPath) + Text(name).substr(38) + W("\\DeviceData");
  HKEY key = nullptr;
  LSTATUS status = create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                                            REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr)
                          : RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key);
  return status == ERROR_SUCCESS ? key : nullptr;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CStillImage::Initialize(HINSTANCE, DWORD version)
{
  if ((version & ~STI_VERSION_FLAG_MASK) < STI_VERSION_MIN_ALLOWED) return kOldVersion;
  initialized_ = true;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStillImage::GetDeviceList(DWORD type, DWORD flags, DWORD* count,
                                                     LPVOID* buffer)
{
  if (count == nullptr || buffer == nullptr) return STIERR_INVALID_PARAM;
  const bool keep = KeepsFailedOut();
  if (!keep) {
    *count = 0;
    *buffer = nullptr;
  }
  HRESULT hr = S_OK;
  bool empty;
  LONG countDelta;
  if (Faulted(STISIM_TARGET_DEVICE_LIST, hr, empty, countDelta)) return hr;
  *count = 0;
  *buffer = nullptr;
  if (empty) return S_OK;

  std::vector<DeviceRecord> records;
  for (const DeviceRecord& r : ReadDeviceRecords(Simulator::Get().Tag())) {
    if (type != StiDeviceTypeDefault && GET_STIDEVICE_TYPE(r.deviceType) != type) continue;
    if ((flags & STIEDFL_ATTACHEDONLY) != 0 && !r.attached) continue;
    records.push_back(r);
  }
  const size_t real = records.size();
  // A count that claims more than there are: the extra records are empty.
  if (countDelta > 0) records.resize(real + static_cast<size_t>(countDelta));
  if (records.empty()) return S_OK;
  STI_DEVICE_INFORMATIONW* block = PackDeviceRecords(records);
  if (block == nullptr) return STIERR_OUTOFMEMORY;
  LONG reported = static_cast<LONG>(real) + countDelta;
  *count = static_cast<DWORD>(reported < 0 ? 0 : reported);
  *buffer = block;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStillImage::GetDeviceInfo(LPWSTR name, LPVOID* buffer)
{
  if (buffer == nullptr) return STIERR_INVALID_PARAM;
  const bool keep = KeepsFailedOut();
  if (!keep) *buffer = nullptr;
  if (name == nullptr) return STIERR_INVALID_PARAM;
  HRESULT hr = S_OK;
  bool empty;
  LONG countDelta;
  if (Faulted(STISIM_TARGET_DEVICE_INFO, hr, empty, countDelta)) return hr;
  DeviceRecord record;
  if (!empty && !ReadDeviceRecord(name, record)) return STIERR_INVALID_DEVICE_NAME;
  STI_DEVICE_INFORMATIONW* block = empty ? nullptr : PackDeviceRecords({record});
  if (!empty && block == nullptr) return STIERR_OUTOFMEMORY;
  *buffer = block;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStillImage::CreateDevice(LPWSTR name, DWORD mode, PSTIDEVICE* device,
                                                    LPUNKNOWN outer)
{
  if (device == nullptr) return STIERR_INVALID_PARAM;
  if (!KeepsFailedOut()) *device = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if (name == nullptr || (mode & ~STI_DEVICE_CREATE_MASK) != 0 ||
      (mode & STI_DEVICE_CREATE_BOTH) == 0)
    return STIERR_INVALID_PARAM;
  HRESULT hr = S_OK;
  bool empty;
  LONG countDelta;
  if (Faulted(STISIM_TARGET_CREATE_DEVICE, hr, empty, countDelta)) return hr;
  if (empty) {
    *device = nullptr;
    return S_OK;
  }
  std::shared_ptr<SimDevice> simDevice = Simulator::Get().FindDevice(name);
  if (simDevice == nullptr) return STIERR_INVALID_DEVICE_NAME;
  *device = new CStiDevice(simDevice);
  Simulator::Get().NoteCreateMode(mode);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStillImage::GetDeviceValue(LPWSTR name, LPWSTR valueName, LPDWORD type,
                                                      LPBYTE data, LPDWORD size)
{
  if (name == nullptr || valueName == nullptr || size == nullptr) return STIERR_INVALID_PARAM;
  HRESULT hr = S_OK;
  bool empty;
  LONG countDelta;
  if (Faulted(STISIM_TARGET_DEVICE_VALUE, hr, empty, countDelta)) return hr;
  HKEY key = OpenDeviceData(name, KEY_READ, false);
  if (key == nullptr) return STIERR_INVALID_DEVICE_NAME;
  LSTATUS status;
  if (KeepsFailedOut()) {
    // Read into copies; only a read that succeeds gives the caller anything.
    std::vector<BYTE> copy(*size);
    DWORD copySize = *size, copyType = 0;
    status = RegQueryValueExW(key, valueName, nullptr, &copyType,
                              data != nullptr ? copy.data() : nullptr, &copySize);
    if (status == ERROR_SUCCESS) {
      if (data != nullptr) std::memcpy(data, copy.data(), copySize);
      if (type != nullptr) *type = copyType;
      *size = copySize;
    }
  } else {
    // The registry's own rules: a buffer too small gets the size it needs.
    status = RegQueryValueExW(key, valueName, nullptr, type, data, size);
  }
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT STDMETHODCALLTYPE CStillImage::SetDeviceValue(LPWSTR name, LPWSTR valueName, DWORD type,
                                                      LPBYTE data, DWORD size)
{
  if (name == nullptr || valueName == nullptr || (data == nullptr && size != 0))
    return STIERR_INVALID_PARAM;
  HKEY key = OpenDeviceData(name, KEY_ALL_ACCESS, true);
  if (key == nullptr) return STIERR_INVALID_DEVICE_NAME;
  LSTATUS status = RegSetValueExW(key, valueName, 0, type, data, size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT STDMETHODCALLTYPE CStillImage::GetSTILaunchInformation(LPWSTR name, DWORD* eventCode,
                                                               LPWSTR eventName)
{
  if (name == nullptr || eventCode == nullptr || eventName == nullptr) return STIERR_INVALID_PARAM;
  Simulator& simulator = Simulator::Get();
  // Without a launch the process was not started by a device event.
  std::optional<LaunchSpec> launch = simulator.Launch();
  if (!launch) return STIERR_GENERIC;
  std::shared_ptr<SimDevice> device = simulator.DeviceAt(launch->device);
  if (device == nullptr) return STIERR_GENERIC;
  CopyText(device->internalName, name, STI_MAX_INTERNAL_NAME_LENGTH);
  *eventCode = launch->eventCode;
  CopyText(launch->eventName, eventName, kLaunchEventNameCapacity);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStillImage::RegisterLaunchApplication(LPWSTR, LPWSTR)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE CStillImage::UnregisterLaunchApplication(LPWSTR)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE CStillImage::EnableHwNotifications(LPCWSTR, WINBOOL)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE CStillImage::GetHwNotificationState(LPCWSTR, WINBOOL* state)
{
  if (state == nullptr) return STIERR_INVALID_PARAM;
  *state = FALSE;
  return S_OK;
}
HRESULT STDMETHODCALLTYPE CStillImage::RefreshDeviceBus(LPCWSTR)
{
  return S_OK;
}
HRESULT STDMETHODCALLTYPE CStillImage::LaunchApplicationForDevice(LPWSTR, LPWSTR, LPSTINOTIFY)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE CStillImage::SetupDeviceParameters(PSTI_DEVICE_INFORMATIONW)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE CStillImage::WriteToErrorLog(DWORD, LPCWSTR)
{
  return S_OK;
}

}  // namespace sim

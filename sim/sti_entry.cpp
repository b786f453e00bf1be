// The entry point of STI and the definitions that the platform header leaves
// to whoever implements its interfaces.
#include "sim/sim_api.h"
#include "sim/sti_objects.h"

// The interface identifiers of STI; the system's uuid library does not carry
// them.
extern "C" const GUID IID_IStillImageW = {
    0x641BD880, 0x2DC8, 0x11D0, {0x90, 0xEA, 0x00, 0xAA, 0x00, 0x60, 0xF8, 0x6C}};
extern "C" const GUID IID_IStiDevice = {
    0x6CFA5A80, 0x2DC8, 0x11D0, {0x90, 0xEA, 0x00, 0xAA, 0x00, 0x60, 0xF8, 0x6C}};

// IStillImageW declares these four without making them pure, so their
// definitions carry the interface's virtual table; an implementation that
// does not override one answers that it does not support it.
HRESULT STDMETHODCALLTYPE IStillImageW::GetDeviceValue(LPWSTR, LPWSTR, LPDWORD, LPBYTE, LPDWORD)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE IStillImageW::SetDeviceValue(LPWSTR, LPWSTR, DWORD, LPBYTE, DWORD)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE IStillImageW::LaunchApplicationForDevice(LPWSTR, LPWSTR, LPSTINOTIFY)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE IStillImageW::SetupDeviceParameters(PSTI_DEVICE_INFORMATIONW)
{
  return STIERR_UNSUPPORTED;
}

extern "C" STISIM_EXPORT HRESULT STDMETHODCALLTYPE StiCreateInstanceW(HINSTANCE instance,
                                                                      DWORD version,
                                                                      IStillImageW** object,
                                                                      LPUNKNOWN outer)
{
  if (object == nullptr) return STIERR_INVALID_PARAM;
  sim::Simulator& simulator = sim::Simulator::Get();
  if (simulator.Conduct().failedOut == sim::ConductSpec::FailedOut::Emptied) *object = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if (std::optional<StiSimFault> fault =
          simulator.faults.Take(STISIM_TARGET_CREATE_INSTANCE, STISIM_ANY, STISIM_ANY)) {
    if (fault->mode == STISIM_FAULT_FAIL) return fault->result;
    if (fault->mode == STISIM_FAULT_TIMEOUT) return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    // Empty (and a count off, which has no count here): success, no object.
    *object = nullptr;
    return S_OK;
  }
  auto* root = new (std::nothrow) sim::CStillImage();
  if (root == nullptr) return STIERR_OUTOFMEMORY;
  HRESULT hr = root->Initialize(instance, version);
  if (FAILED(hr)) {
    root->Release();
    return hr;
  }
  *object = root;
  return S_OK;
}

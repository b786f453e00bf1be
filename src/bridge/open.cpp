// Device open: the user's three strings, the device object through which
// every escape travels, the capability probe and the user record.
#include <cstring>
#include <initializer_list>

#include "bridge/bridge.h"
#include "bridge/escape.h"
#include "com/wide_string.h"

using driver::EscapeCode;

HRESULT CStiScannerComBridge::CopyProfileStrings(LPCWSTR qualifier, LPCWSTR name, LPCWSTR store)
{
  // A block an earlier open left is reused (cleared) rather than leaked.
  for (WCHAR** field : {&profileName, &profileQualifier, &storeId}) {
    if (*field != nullptr) {
      std::memset(*field, 0, kStringBytes);
      continue;
    }
    *field = static_cast<WCHAR*>(GlobalAlloc(GPTR, kStringBytes));
    if (*field == nullptr) return E_OUTOFMEMORY;
  }
  // Longer text is cut to 259 units; the driver and the registry names
  // never see more.
  WStrCopy(profileName, kStringUnits, name);
  WStrCopy(profileQualifier, kStringUnits, qualifier);
  WStrCopy(storeId, kStringUnits, store);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::OpenDevice(LPWSTR qualifier, LPWSTR name,
                                                           LPWSTR store)
{
  if (qualifier == nullptr || name == nullptr || store == nullptr) return E_POINTER;
  HRESULT hr = CopyProfileStrings(qualifier, name, store);
  if (FAILED(hr)) return hr;
  if (stillImage == nullptr || deviceSelected == 0 || deviceInfo == nullptr) return E_FAIL;

  CreateSelectedDevice();
  if (device == nullptr) return E_FAIL;

  // A capability block from an earlier open goes back to the driver (through
  // the object that handed it out) before the probe fetches a new one; if it
  // cannot go back it is kept (and not overwritten), and the flag it raised
  // stays raised.
  if (capabilities) static_cast<IStiScannerComBridge*>(this)->ReleaseCapabilities();
  // A failed probe leaves the flag as it was; it does not fail the open.
  if (!capabilities) ProbeCapabilities();

  // The user record of an earlier open stays in use: its device object
  // lives on for it.
  if (userRecord) return S_OK;
  DriverTransaction transaction(device);
  if (!transaction.Locked()) return transaction.LockResult();
  // A driver that cannot give the record does not fail the open: the
  // operations that need it report that themselves. Nothing a failed escape
  // left in the slot is a record of the bridge's.
  driver::UserRecord* fetched = nullptr;
  if (SUCCEEDED(transaction.Escape(EscapeCode::GetUserRecord, storeId, sizeof(WCHAR*), &fetched,
                                   sizeof(fetched))))
    userRecord.Hold(fetched, device);
  return transaction.Unlock();
}

HRESULT CStiScannerComBridge::ProbeCapabilities()
{
  if (device == nullptr) return E_FAIL;
  DriverTransaction transaction(device);
  if (!transaction.Locked()) return E_FAIL;

  HRESULT result = E_FAIL;
  driver::CapabilityBlock* fetched = nullptr;
  HRESULT hr =
      transaction.Escape(EscapeCode::GetCapabilities, nullptr, 0, &fetched, sizeof(fetched));
  // Nothing a failed fetch left in the slot is a block of the bridge's.
  if (SUCCEEDED(hr) && fetched != nullptr) {
    capabilities.Hold(fetched, device);
    // The flag is only ever raised: a device once seen with the capability
    // keeps it for the life of the object.
    if (driver::FindProperty(capabilities->properties, capabilities->propertyCount,
                             driver::property::kCapabilityMarker) != nullptr) {
      capabilityFlag = 1;
    }
    result = S_OK;
  }
  HRESULT unlocked = transaction.Unlock();
  return FAILED(unlocked) ? unlocked : result;
}

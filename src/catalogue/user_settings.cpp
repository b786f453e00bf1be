// The user's settings, kept in a key of the current user's hive that the
// device names as its value "UserDataKey": the job-name prefix, the
// delete-after-scan option and the PIN, which goes to the driver inside the
// user record. Value names are made from the profile strings given to
// OpenDevice. Nothing is cached: every call reads the registry again.
#include "bridge/bridge.h"
#include "bridge/escape.h"
#include "com/unique.h"
#include "com/wide_string.h"

namespace {

constexpr WCHAR kUserDataKeyValue[] = W("UserDataKey");
constexpr WCHAR kPinValue[] = W("TrvUserPIN");
constexpr WCHAR kDeleteOptionFormat[] = W("%s_DeleteImageOnScan");
constexpr WCHAR kPrefixNameFormat[] = W("%s_%s");
// The prefix's value name: "profileName_profileQualifier", at most 109 units.
constexpr size_t kPrefixNameUnits = 110;

// A zero-filled buffer for one registry read of up to 520 bytes, one unit
// longer than what is offered, so that data without a terminator still ends
// inside the buffer.
UniqueGlobal<WCHAR*> ReadBuffer()
{
  return UniqueGlobal<WCHAR*>(static_cast<WCHAR*>(GlobalAlloc(GPTR, kStringBytes + sizeof(WCHAR))));
}

LSTATUS ReadValue(HKEY key, const WCHAR* name, WCHAR* buffer)
{
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  DWORD size = kStringBytes;
  return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
}

}  // namespace

BOOL CStiScannerComBridge::OpenUserKey()
{
  if (stillImage == nullptr || deviceInfo == nullptr) return 0;
  WCHAR path[kStringUnits + 1] = {};
  DWORD type = 0;
  DWORD size = kStringBytes;
  if (FAILED(stillImage->GetDeviceValue(deviceInfo->szDeviceInternalName,
                                        const_cast<WCHAR*>(kUserDataKeyValue), &type,
                                        reinterpret_cast<BYTE*>(path), &size))) {
    return 0;
  }
  HKEY opened = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, &opened, &disposition) != ERROR_SUCCESS) {
    return 0;
  }
  // A key this call created stays open although the answer is 0: the next
  // reader finds it.
  if (userDataKey != nullptr) RegCloseKey(userDataKey);
  userDataKey = opened;
  return disposition == REG_OPENED_EXISTING_KEY ? 1 : 0;
}

HRESULT CStiScannerComBridge::GetJobNamePrefix(WCHAR* prefix)
{
  size_t length = 0;
  if (prefix == nullptr || FAILED(WStrLength(profileName, kStringUnits, &length)) ||
      FAILED(WStrLength(profileQualifier, kStringUnits, &length))) {
    return E_FAIL;
  }
  WCHAR prefixName[kPrefixNameUnits] = {};
  HRESULT hr =
      WStrFormat(prefixName, kPrefixNameUnits, kPrefixNameFormat, profileName, profileQualifier);
  // A cut name is used as it stands.
  if (FAILED(hr) && hr != kStringCut) return hr;

  UniqueGlobal<WCHAR*> data = ReadBuffer();
  if (!data) return E_OUTOFMEMORY;
  if (userDataKey == nullptr) OpenUserKey();
  if (ReadValue(userDataKey, prefixName, data.Get()) == ERROR_SUCCESS)
    return WStrCopy(prefix, kStringUnits, data.Get());

  // No prefix yet (or no key): the prefix is its own value name, and both
  // defaults are written.
  WStrCopy(prefix, kStringUnits, prefixName);
  return WriteUserDefaults(userDataKey, prefixName);
}

HRESULT CStiScannerComBridge::WriteUserDefaults(HKEY key, const WCHAR* prefixName)
{
  size_t length = 0;
  WStrLength(prefixName, kStringUnits, &length);
  // Whether the prefix could be written is not looked at; the option's
  // write decides.
  RegSetValueExW(key, prefixName, 0, REG_SZ, reinterpret_cast<const BYTE*>(prefixName),
                 static_cast<DWORD>((length + 1) * sizeof(WCHAR)));

  WCHAR optionName[kStringUnits] = {};
  HRESULT named = WStrFormat(optionName, kStringUnits, kDeleteOptionFormat, profileName);
  const DWORD off = 0;
  if (RegSetValueExW(key, optionName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off),
                     sizeof(off)) != ERROR_SUCCESS) {
    return E_FAIL;
  }
  return named;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetDeleteImageOnScan(int* on)
{
  if (on == nullptr) return E_POINTER;
  if (deviceInfo == nullptr || stillImage == nullptr || profileName == nullptr) return S_FALSE;
  WCHAR optionName[kStringUnits] = {};
  HRESULT named = WStrFormatBytes(optionName, kStringBytes, kDeleteOptionFormat, profileName);
  // A key this call creates is new and holds no option yet; the next call
  // reads it.
  if (userDataKey == nullptr && OpenUserKey() == 0) return S_FALSE;

  UniqueGlobal<WCHAR*> data = ReadBuffer();
  if (!data) return S_FALSE;
  // Only the first byte of the data decides: DWORD 1 is on, 256 is off, and
  // a string is on when its first unit's low byte is not zero.
  bool enabled = ReadValue(userDataKey, optionName, data.Get()) == ERROR_SUCCESS &&
                 reinterpret_cast<const BYTE*>(data.Get())[0] != 0;
  *on = enabled ? 1 : 0;
  return named;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::ApplyUserPin()
{
  BOOL opened = userDataKey != nullptr ? 1 : OpenUserKey();
  // Exactly 260 units: a PIN that fills them without a terminator is not a
  // PIN, and WStrLength never looks past them.
  WCHAR read[kStringUnits] = {};
  bool readOk = false;
  if (userDataKey != nullptr) {
    DWORD size = kStringBytes;
    readOk = RegQueryValueExW(userDataKey, kPinValue, nullptr, nullptr,
                              reinterpret_cast<BYTE*>(read), &size) == ERROR_SUCCESS;
  }
  size_t length = 0;
  const bool usable =
      opened == 1 && readOk && SUCCEEDED(WStrLength(read, kStringUnits, &length)) && length > 0;
  HRESULT hr = SetUserPin(usable ? read : W(""));
  // The PIN stays only in the user record.
  SecureZeroMemory(read, sizeof(read));
  return hr;
}

HRESULT CStiScannerComBridge::SetUserPin(const WCHAR* pin)
{
  if (!userRecord || userRecord->propertyCount == 0) return E_FAIL;
  driver::PropertyRecord* slot = driver::FindProperty(
      userRecord->properties, userRecord->propertyCount, driver::property::kUserPin);
  if (slot == nullptr) return E_FAIL;

  // The old PIN is wiped before its BSTR goes back to the system.
  BSTR old = slot->Bstr();
  if (old != nullptr) SecureZeroMemory(old, SysStringByteLen(old));
  SysFreeString(old);
  BSTR copy = SysAllocString(pin);
  slot->SetBstr(copy);
  if (copy == nullptr) return E_FAIL;

  if (device == nullptr) return E_FAIL;
  DriverTransaction transaction(device);
  if (!transaction.Locked()) return E_FAIL;
  transaction.Escape(driver::EscapeCode::SetUserRecord, userRecord.Get(),
                     sizeof(driver::UserRecord), nullptr, 0);
  return transaction.Result();
}

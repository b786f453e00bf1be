#include "server/registration.h"

#include "com/wide_string.h"
#include "server/class_factory.h"

HINSTANCE moduleInstance = nullptr;

namespace {

// ProgIDs are kept as single-byte ASCII text; key names are UTF-16.
void WidenAscii(WCHAR* out, size_t capacity, const char* text)
{
  size_t n = 0;
  for (; text != nullptr && text[n] != 0 && n + 1 < capacity; ++n)
    out[n] = static_cast<WCHAR>(static_cast<unsigned char>(text[n]));
  out[n] = 0;
}

}  // namespace

void WriteRegistration()
{
  WCHAR modulePath[kStringUnits] = {};
  // A path that does not fit is not registered: a cut path would name some
  // other file, and COM would start that instead of this server.
  DWORD pathLength = GetModuleFileNameW(moduleInstance, modulePath, kStringUnits);
  if (pathLength == 0 || pathLength >= kStringUnits) return;

  LPOLESTR clsidText = nullptr;
  if (FAILED(StringFromCLSID(*serverClassEntry.clsid, &clsidText))) return;
  WCHAR keyPath[kStringUnits] = {};
  HRESULT hr = WStrFormat(keyPath, kStringUnits, W("CLSID\\%s\\LocalServer32"), clsidText);
  CoTaskMemFree(clsidText);
  if (hr != S_OK) return;

  size_t length = 0;
  if (FAILED(WStrLength(modulePath, kStringUnits, &length))) return;

  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(modulePath),
                 static_cast<DWORD>((length + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
}

HRESULT RemoveRegistration(const CLSID& clsid, const char* progId, const char* versionedProgId)
{
  LPOLESTR clsidText = nullptr;
  if (FAILED(StringFromCLSID(clsid, &clsidText))) return S_OK;
  WCHAR classKey[kStringUnits] = {};
  HRESULT hr = WStrFormat(classKey, kStringUnits, W("CLSID\\%s"), clsidText);
  CoTaskMemFree(clsidText);
  if (hr != S_OK) return S_OK;

  WCHAR probePath[kStringUnits] = {};
  if (WStrFormat(probePath, kStringUnits, W("%s\\InprocServer32"), classKey) != S_OK) return S_OK;

  HKEY probe = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, probePath, 0, KEY_ALL_ACCESS, &probe) == ERROR_SUCCESS) {
    // Another module serves the class in-process: leave its entries alone.
    RegCloseKey(probe);
    WCHAR localServer[kStringUnits] = {};
    if (WStrFormat(localServer, kStringUnits, W("%s\\LocalServer32"), classKey) == S_OK)
      DeleteKeyTree(HKEY_CLASSES_ROOT, localServer);
    return S_OK;
  }

  WCHAR progIdKey[kStringUnits] = {};
  WCHAR versionedProgIdKey[kStringUnits] = {};
  WidenAscii(progIdKey, kStringUnits, progId);
  WidenAscii(versionedProgIdKey, kStringUnits, versionedProgId);
  // Each tree is attempted whatever became of the one before.
  DeleteKeyTree(HKEY_CLASSES_ROOT, classKey);
  if (progIdKey[0] != 0) DeleteKeyTree(HKEY_CLASSES_ROOT, progIdKey);
  if (versionedProgIdKey[0] != 0) DeleteKeyTree(HKEY_CLASSES_ROOT, versionedProgIdKey);
  return S_OK;
}

LSTATUS DeleteKeyTree(HKEY parent, LPCWSTR subKeyName)
{
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(parent, subKeyName, 0, KEY_ALL_ACCESS, &key);
  if (status != ERROR_SUCCESS) return status;

  // Every successful deletion removes the first child, so index 0 always
  // names the next one.
  for (;;) {
    WCHAR childName[256];
    DWORD childLength = 256;
    FILETIME lastWrite;
    if (RegEnumKeyExW(key, 0, childName, &childLength, nullptr, nullptr, nullptr, &lastWrite) !=
        ERROR_SUCCESS) {
      break;
    }
    status = DeleteKeyTree(key, childName);
    if (status != ERROR_SUCCESS) {
      RegCloseKey(key);
      return status;
    }
  }
  RegCloseKey(key);
  return RegDeleteKeyW(parent, subKeyName);
}

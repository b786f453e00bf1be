#include "server/registration.h"

#include "com/unique.h"
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

HRESULT WriteRegistration()
{
  WCHAR modulePath[kStringUnits] = {};
  // A path that does not fit is not registered: a cut path would name some
  // other file, and COM would start that instead of this server.
  DWORD pathLength = GetModuleFileNameW(moduleInstance, modulePath, kStringUnits);
  if (pathLength == 0) return E_FAIL;
  if (pathLength >= kStringUnits) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

  UniqueTaskMem<LPOLESTR> clsidText;
  HRESULT hr = StringFromCLSID(*serverClassEntry.clsid, clsidText.Put());
  if (FAILED(hr)) return hr;
  WCHAR classKeyPath[kStringUnits] = {};
  hr = WStrFormat(classKeyPath, kStringUnits, W("CLSID\\%s"), clsidText.Get());
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;

  // COM hands the value to CreateProcess as a command line, which splits an
  // unquoted path at its first space and tries "C:\Program.exe" first; a
  // path with a space is therefore written in quotes. One without keeps its
  // plain form.
  bool hasSpace = false;
  for (DWORD i = 0; i < pathLength; ++i) hasSpace = hasSpace || modulePath[i] == W(' ');
  WCHAR value[kStringUnits + 2] = {};
  hr = WStrFormat(value, kStringUnits + 2, hasSpace ? W("\"%s\"") : W("%s"), modulePath);
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  size_t length = 0;
  hr = WStrLength(value, kStringUnits + 2, &length);
  if (FAILED(hr)) return hr;

  // The class key and its LocalServer32 one at a time, so that a failure
  // further on can take back exactly the keys this call created.
  UniqueKey classKey;
  DWORD classDisposition = 0;
  LSTATUS status =
      RegCreateKeyExW(HKEY_CLASSES_ROOT, classKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, classKey.Put(), &classDisposition);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  UniqueKey key;
  DWORD disposition = 0;
  status = RegCreateKeyExW(classKey.Get(), W("LocalServer32"), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, key.Put(), &disposition);
  if (status == ERROR_SUCCESS)
    status = RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                            static_cast<DWORD>((length + 1) * sizeof(WCHAR)));
  if (status == ERROR_SUCCESS) return S_OK;
  key.Reset();
  if (disposition == REG_CREATED_NEW_KEY) RegDeleteKeyW(classKey.Get(), W("LocalServer32"));
  classKey.Reset();
  if (classDisposition == REG_CREATED_NEW_KEY) RegDeleteKeyW(HKEY_CLASSES_ROOT, classKeyPath);
  return HRESULT_FROM_WIN32(status);
}

namespace {

// A tree that is gone, or was never there, is removed; anything else is
// the failure to remove it.
HRESULT Removed(LSTATUS status)
{
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK
                                                                    : HRESULT_FROM_WIN32(status);
}

}  // namespace

HRESULT RemoveRegistration(const CLSID& clsid, const char* progId, const char* versionedProgId)
{
  UniqueTaskMem<LPOLESTR> clsidText;
  HRESULT hr = StringFromCLSID(clsid, clsidText.Put());
  if (FAILED(hr)) return hr;
  WCHAR classKey[kStringUnits] = {};
  if (WStrFormat(classKey, kStringUnits, W("CLSID\\%s"), clsidText.Get()) != S_OK) return E_FAIL;

  WCHAR probePath[kStringUnits] = {};
  if (WStrFormat(probePath, kStringUnits, W("%s\\InprocServer32"), classKey) != S_OK)
    return E_FAIL;

  if (UniqueKey probe; RegOpenKeyExW(HKEY_CLASSES_ROOT, probePath, 0, KEY_ALL_ACCESS,
                                     probe.Put()) == ERROR_SUCCESS) {
    // Another module serves the class in-process: leave its entries alone.
    WCHAR localServer[kStringUnits] = {};
    if (WStrFormat(localServer, kStringUnits, W("%s\\LocalServer32"), classKey) != S_OK)
      return E_FAIL;
    return Removed(DeleteKeyTree(HKEY_CLASSES_ROOT, localServer));
  }

  WCHAR progIdKey[kStringUnits] = {};
  WCHAR versionedProgIdKey[kStringUnits] = {};
  WidenAscii(progIdKey, kStringUnits, progId);
  WidenAscii(versionedProgIdKey, kStringUnits, versionedProgId);
  // Each tree is attempted whatever became of the one before; the first
  // failure is the result.
  hr = Removed(DeleteKeyTree(HKEY_CLASSES_ROOT, classKey));
  for (const WCHAR* key : {progIdKey, versionedProgIdKey}) {
    if (key[0] == 0) continue;
    const HRESULT removed = Removed(DeleteKeyTree(HKEY_CLASSES_ROOT, key));
    if (SUCCEEDED(hr)) hr = removed;
  }
  return hr;
}

LSTATUS DeleteKeyTree(HKEY parent, LPCWSTR subKeyName)
{
  UniqueKey key;
  LSTATUS status = RegOpenKeyExW(parent, subKeyName, 0, KEY_ALL_ACCESS, key.Put());
  if (status != ERROR_SUCCESS) return status;

  // Every successful deletion removes the first child, so index 0 always
  // names the next one.
  for (;;) {
    WCHAR childName[256];
    DWORD childLength = 256;
    FILETIME lastWrite;
    if (RegEnumKeyExW(key.Get(), 0, childName, &childLength, nullptr, nullptr, nullptr,
                      &lastWrite) != ERROR_SUCCESS) {
      break;
    }
    status = DeleteKeyTree(key.Get(), childName);
    if (status != ERROR_SUCCESS) return status;
  }
  // The key is closed before it is deleted.
  key.Reset();
  return RegDeleteKeyW(parent, subKeyName);
}

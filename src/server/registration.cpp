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

void WriteRegistration()
{
  WCHAR modulePath[kStringUnits] = {};
  // A path that does not fit is not registered: a cut path would name some
  // other file, and COM would start that instead of this server.
  DWORD pathLength = GetModuleFileNameW(moduleInstance, modulePath, kStringUnits);
  if (pathLength == 0 || pathLength >= kStringUnits) return;

  UniqueTaskMem<LPOLESTR> clsidText;
  if (FAILED(StringFromCLSID(*serverClassEntry.clsid, clsidText.Put()))) return;
  WCHAR keyPath[kStringUnits] = {};
  if (WStrFormat(keyPath, kStringUnits, W("CLSID\\%s\\LocalServer32"), clsidText.Get()) != S_OK)
    return;

  // COM hands the value to CreateProcess as a command line, which splits an
  // unquoted path at its first space and tries "C:\Program.exe" first; a
  // path with a space is therefore written in quotes. One without keeps its
  // plain form.
  bool hasSpace = false;
  for (DWORD i = 0; i < pathLength; ++i) hasSpace = hasSpace || modulePath[i] == W(' ');
  WCHAR value[kStringUnits + 2] = {};
  if (WStrFormat(value, kStringUnits + 2, hasSpace ? W("\"%s\"") : W("%s"), modulePath) != S_OK)
    return;
  size_t length = 0;
  if (FAILED(WStrLength(value, kStringUnits + 2, &length))) return;

  UniqueKey key;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                 static_cast<DWORD>((length + 1) * sizeof(WCHAR)));
}

HRESULT RemoveRegistration(const CLSID& clsid, const char* progId, const char* versionedProgId)
{
  UniqueTaskMem<LPOLESTR> clsidText;
  if (FAILED(StringFromCLSID(clsid, clsidText.Put()))) return S_OK;
  WCHAR classKey[kStringUnits] = {};
  if (WStrFormat(classKey, kStringUnits, W("CLSID\\%s"), clsidText.Get()) != S_OK) return S_OK;

  WCHAR probePath[kStringUnits] = {};
  if (WStrFormat(probePath, kStringUnits, W("%s\\InprocServer32"), classKey) != S_OK) return S_OK;

  if (UniqueKey probe; RegOpenKeyExW(HKEY_CLASSES_ROOT, probePath, 0, KEY_ALL_ACCESS,
                                     probe.Put()) == ERROR_SUCCESS) {
    // Another module serves the class in-process: leave its entries alone.
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

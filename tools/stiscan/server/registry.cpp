#include "server/registry.h"

#include <vector>

#include "stibridge.h"

namespace stiscan {

RegistryText ReadRegistryText(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view,
                              std::wstring& text, bool expand)
{
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
    return RegistryText::kMissing;
  DWORD type = 0, size = 0;
  LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  const bool isText = type == REG_SZ || type == REG_EXPAND_SZ;
  // One unit more than the data, zero-filled: a value stored without its
  // terminator still ends.
  std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, 0);
  if (status == ERROR_SUCCESS && isText)
    status =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return RegistryText::kMissing;
  if (!isText) return RegistryText::kNotText;
  text = data.data();
  if (type == REG_EXPAND_SZ && expand) {
    const DWORD length = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    std::vector<wchar_t> expanded(length + 1, 0);
    if (length == 0 || ExpandEnvironmentStringsW(text.c_str(), expanded.data(), length) == 0)
      return RegistryText::kMissing;
    text = expanded.data();
  }
  return RegistryText::kRead;
}

bool RegisteredServer(std::wstring& value)
{
  wchar_t clsid[40] = {};
  StringFromGUID2(CLSID_CStiScannerComBridge, clsid, 40);
  return ReadRegistryText(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + clsid + L"\\LocalServer32",
                          nullptr, KEY_WOW64_64KEY, value) == RegistryText::kRead;
}

}  // namespace stiscan

#include "scanner/profile.h"

#include <windows.h>

namespace twainds {

namespace {

constexpr wchar_t kKey[] = L"Software\\stibridge\\TWAIN";
constexpr DWORD kUnits = 259;

// A string value of the key, or `fallback` when it is missing, empty, not
// a string, or longer than the server keeps.
std::wstring Value(HKEY key, const wchar_t* name, const std::wstring& fallback)
{
  wchar_t text[kUnits + 1] = {};
  DWORD type = 0, bytes = sizeof text - sizeof(wchar_t);
  if (key == nullptr ||
      RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return fallback;
  text[bytes / sizeof(wchar_t)] = L'\0';
  return text[0] != L'\0' ? std::wstring(text) : fallback;
}

std::wstring UserName()
{
  wchar_t name[kUnits + 1] = {};
  const DWORD length = GetEnvironmentVariableW(L"USERNAME", name, kUnits + 1);
  return length > 0 && length <= kUnits ? std::wstring(name, length) : std::wstring(L"user");
}

}  // namespace

Profile ReadProfile()
{
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    key = nullptr;
  Profile profile;
  profile.scanner = Value(key, L"Scanner", L"");
  profile.profile = Value(key, L"Profile", UserName());
  profile.qualifier = Value(key, L"Qualifier", L"TWAIN");
  profile.store = Value(key, L"Store", profile.profile);
  if (key != nullptr) RegCloseKey(key);
  return profile;
}

}  // namespace twainds

// What every cross-process test client shares, the TWAIN application too
// (which must not see the interface's header: both it and TWAIN's declare
// TW_IMAGEINFO): one "ok"/"FAIL" line per check, HRESULTs in hexadecimal,
// text for the report, and the e2e scenario's user.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

inline int& Failures()
{
  static int failures = 0;
  return failures;
}

inline void Check(bool passed, const char* name, const std::string& detail = {})
{
  if (passed) {
    std::printf("ok %s\n", name);
  } else {
    ++Failures();
    std::printf("FAIL %s: %s\n", name, detail.c_str());
  }
  std::fflush(stdout);
}

inline void Check(bool passed, const std::string& name, const std::string& detail = {})
{
  Check(passed, name.c_str(), detail);
}

inline std::string Hex(HRESULT hr)
{
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

inline std::string Narrow(const wchar_t* text)
{
  std::string out;
  for (; text != nullptr && *text != 0; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

// The user key the e2e scenario's scanner names for its settings.
constexpr wchar_t kE2eUserKey[] = L"Software\\StibridgeE2E\\Lab";

// The delete-after-scan option of profile "anna", as the user's tools set it.
inline void SetDeleteOption(DWORD on)
{
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kE2eUserKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    RegSetValueExW(key, L"anna_DeleteImageOnScan", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on),
                   sizeof on);
    RegCloseKey(key);
  }
}

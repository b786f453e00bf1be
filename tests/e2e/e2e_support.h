// What the cross-process test clients share: one "ok"/"FAIL" line per check,
// HRESULTs in hexadecimal, and text for the report.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

#include "stibridge.h"

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

// The parts of a session, each run by its own client process against a
// server started for it.
void Catalogue(IStiScannerComBridge* bridge);
void Session(IStiScannerComBridge* bridge);
// Prints the version resource and manifest of each file (file_versions.cpp).
int FileVersions(int count, char** files);
// Opens the e2e scenario's scanner as profile "anna" of store "ann".
bool OpenLabScanner(IStiScannerComBridge* bridge);

// bridge_client versions FILE...: what Windows reads of each file's version
// resource (GetFileVersionInfoW, VerQueryValueW) and its application
// manifest, one line per field, "<n>\t<field>\t<value>" with n the file's
// place in the list, so that paths need no quoting. A file without a
// version resource gets one line "<n>\terror\t<HRESULT>".
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

void Field(int n, const char* field, const std::string& value)
{
  std::printf("%d\t%s\t%s\n", n, field, value.c_str());
}

std::string Quad(DWORD high, DWORD low)
{
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", HIWORD(high), LOWORD(high), HIWORD(low),
                LOWORD(low));
  return text;
}

void VersionResource(int n, const wchar_t* file)
{
  DWORD unused = 0;
  const DWORD size = GetFileVersionInfoSizeW(file, &unused);
  std::vector<BYTE> block(size);
  if (size == 0 || !GetFileVersionInfoW(file, 0, size, block.data())) {
    Field(n, "error", Hex(HRESULT_FROM_WIN32(GetLastError())));
    return;
  }
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) &&
      length >= sizeof *info && info->dwSignature == VS_FFI_SIGNATURE) {
    Field(n, "fixed-file", Quad(info->dwFileVersionMS, info->dwFileVersionLS));
    Field(n, "fixed-product", Quad(info->dwProductVersionMS, info->dwProductVersionLS));
    Field(n, "type",
          info->dwFileType == VFT_APP   ? "app"
          : info->dwFileType == VFT_DLL ? "dll"
                                        : "other");
  }
  struct Translation {
    WORD language, codePage;
  }* translations = nullptr;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translations), &length) ||
      length < sizeof *translations) {
    return;
  }
  wchar_t prefix[64];
  std::swprintf(prefix, 64, L"\\StringFileInfo\\%04x%04x\\", translations->language,
                translations->codePage);
  for (const wchar_t* name : {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName",
                              L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
    wchar_t* text = nullptr;
    if (VerQueryValueW(block.data(), (std::wstring(prefix) + name).c_str(),
                       reinterpret_cast<void**>(&text), &length) &&
        text != nullptr) {
      Field(n, Narrow(name).c_str(), Narrow(text));
    }
  }
}

// The manifest a process is created with (resource 1 of RT_MANIFEST), on
// one line.
void Manifest(int n, const wchar_t* file)
{
  HMODULE module =
      LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return;
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
  const char* text = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (text != nullptr) {
    std::string line(text, SizeofResource(module, found));
    for (char& c : line)
      if (c == '\r' || c == '\n') c = ' ';
    Field(n, "manifest", line);
  }
  FreeLibrary(module);
}

}  // namespace

int FileVersions(int count, char** files)
{
  for (int n = 0; n < count; ++n) {
    wchar_t file[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, files[n], -1, file, MAX_PATH - 1);
    VersionResource(n, file);
    Manifest(n, file);
  }
  std::fflush(stdout);
  return 0;
}

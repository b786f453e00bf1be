#include "files/page_files.h"

#include "console/messages.h"
#include "files/file_names.h"

namespace stiscan {

namespace {

// The plain API takes paths shorter than MAX_PATH units with the NUL; a
// folder must leave room for an 8.3 name in it.
constexpr size_t kMostPlainFile = MAX_PATH - 1;
constexpr size_t kMostPlainFolder = MAX_PATH - 12 - 1;

// The most copies of one name that a pull looks for a free one among.
constexpr int kMostCopies = 9999;

// `path` (full) in the form the API takes at its length: the \\?\ form for
// a long one (\\?\UNC\server\share\... for a share), which the API takes up
// to 32767 units and does not parse further.
std::wstring ForApi(const std::wstring& path, size_t mostPlain)
{
  if (path.size() <= mostPlain || path.compare(0, 4, L"\\\\?\\") == 0) return path;
  if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

std::wstring FullPath(const std::wstring& path)
{
  const DWORD units = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (units == 0) return {};
  std::wstring full(units, L'\0');
  const DWORD written = GetFullPathNameW(path.c_str(), units, full.data(), nullptr);
  full.resize(written < units ? written : 0);
  return full;
}

// Makes `path` and the parents it lacks; 0 or the system's error.
DWORD MakeFolder(const std::wstring& path)
{
  if (CreateDirectoryW(ForApi(path, kMostPlainFolder).c_str(), nullptr)) return 0;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) return 0;
  const size_t parent = path.find_last_of(L'\\');
  if (error != ERROR_PATH_NOT_FOUND || parent == std::wstring::npos || parent < 3) return error;
  if (const DWORD made = MakeFolder(path.substr(0, parent))) return made;
  if (CreateDirectoryW(ForApi(path, kMostPlainFolder).c_str(), nullptr)) return 0;
  return GetLastError() == ERROR_ALREADY_EXISTS ? 0 : GetLastError();
}

bool WriteAll(HANDLE file, std::span<const unsigned char> bytes)
{
  const unsigned char* next = bytes.data();
  for (size_t left = bytes.size(); left > 0;) {
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file, next, chunk, &written, nullptr) || written == 0) return false;
    next += written;
    left -= written;
  }
  return true;
}

}  // namespace

bool PageFolder::Open(const std::string& folder, FileFailure& failure)
{
  given_ = folder;
  folder_ = FullPath(Widen(folder));
  while (folder_.size() > 3 && folder_.back() == L'\\') folder_.pop_back();
  const std::string what = "the folder " + Quoted(folder) + " could not be made";
  if (folder_.empty()) {
    failure = {what, GetLastError()};
    return false;
  }
  if (const DWORD error = MakeFolder(folder_)) {
    failure = {what, error};
    return false;
  }
  const DWORD attributes = GetFileAttributesW(ForApi(folder_, kMostPlainFolder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    failure = {what, attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY};
    return false;
  }
  return true;
}

namespace {

// Writes `bytes` whole into a new temporary file; 0, or the system's error
// (and nothing left behind). `made` says whether the file could be made at
// all, so that the failure is told as what it was.
DWORD WriteTemporary(const std::wstring& temporary, std::span<const unsigned char> bytes,
                     bool& made)
{
  const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  made = file != INVALID_HANDLE_VALUE;
  if (!made) return GetLastError();
  const bool written = WriteAll(file, bytes);
  const DWORD writeError = written ? 0 : GetLastError();
  if (!CloseHandle(file) || !written) {
    const DWORD error = written ? GetLastError() : writeError;
    DeleteFileW(temporary.c_str());
    return error != 0 ? error : ERROR_WRITE_FAULT;
  }
  return 0;
}

}  // namespace

bool PageFolder::Write(const std::wstring& itemName, int page, const std::wstring& extension,
                       std::span<const unsigned char> bytes, std::string& shown,
                       std::wstring& path, FileFailure& failure)
{
  const std::string separator =
      given_.empty() || given_.back() == '\\' || given_.back() == '/' ? "" : "\\";
  const auto nameOf = [&](int copy) {
    const std::u16string name =
        PageFileName(std::u16string(itemName.begin(), itemName.end()), page,
                     std::u16string(extension.begin(), extension.end()), copy);
    return std::wstring(name.begin(), name.end());
  };
  const auto fail = [&](const std::string& what, DWORD error) {
    failure = {"the file " + Quoted(shown) + " could not be " + what, error};
    return false;
  };
  shown = given_ + separator + Narrow(nameOf(1));

  // Written whole under a name of its own first, so that a failure (or an
  // end of this process) never leaves a page file that looks complete.
  const std::wstring temporary =
      ForApi(folder_ + L"\\~stiscan-" + std::to_wstring(GetCurrentProcessId()) + L".partial",
             kMostPlainFile);
  bool made = false;
  if (const DWORD error = WriteTemporary(temporary, bytes, made))
    return fail(made ? "written" : "made", error);
  for (int copy = 1; copy <= kMostCopies; ++copy) {
    const std::wstring name = nameOf(copy);
    path = folder_ + L"\\" + name;
    if (MoveFileExW(temporary.c_str(), ForApi(path, kMostPlainFile).c_str(), 0)) {
      shown = given_ + separator + Narrow(name);
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
      DeleteFileW(temporary.c_str());
      return fail("made", error);
    }
  }
  DeleteFileW(temporary.c_str());
  return fail("made under any free name", ERROR_FILE_EXISTS);
}

bool PageFolder::ReadOwn(const std::string& name, std::string& text, FileFailure& failure) const
{
  text.clear();
  const std::wstring path = ForApi(folder_ + L"\\" + Widen(name), kMostPlainFile);
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    failure = {"the file " + Quoted(given_ + "\\" + name) + " could not be read", error};
    return false;
  }
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0)
    text.append(buffer, got);
  if (!ok) failure = {"the file " + Quoted(given_ + "\\" + name) + " could not be read", GetLastError()};
  CloseHandle(file);
  return ok;
}

bool PageFolder::ReplaceOwn(const std::string& name, const std::string& text,
                            FileFailure& failure) const
{
  const std::wstring path = ForApi(folder_ + L"\\" + Widen(name), kMostPlainFile);
  const std::wstring temporary = path + L".partial";
  bool made = false;
  DWORD error = WriteTemporary(
      temporary, {reinterpret_cast<const unsigned char*>(text.data()), text.size()}, made);
  if (error == 0 && !MoveFileExW(temporary.c_str(), path.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
    DeleteFileW(temporary.c_str());
  }
  if (error == 0) return true;
  failure = {"the file " + Quoted(given_ + "\\" + name) + " could not be written", error};
  return false;
}

bool PageFolder::Remove(const std::wstring& path, FileFailure& failure)
{
  if (DeleteFileW(ForApi(path, kMostPlainFile).c_str())) return true;
  failure = {"the file " + Quoted(Narrow(path)) + " could not be removed", GetLastError()};
  return false;
}

}  // namespace stiscan

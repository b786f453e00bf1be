#include "files/folder.h"

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

// The most temporary names one file tries: a name taken is a leftover of an
// earlier process of the same number (Wine gives the numbers again once its
// server has ended), and the next one is free unless that process wrote many.
constexpr int kMostTemporaryTries = 10000;

// What the temporary files are called: the pattern, and its parts.
constexpr wchar_t kTemporaryPattern[] = L"~stiscan-*.partial";
constexpr wchar_t kTemporaryStart[] = L"~stiscan-";
constexpr wchar_t kTemporaryEnd[] = L".partial";

// `path` (full) in the form the API takes at its length: the \\?\ form for
// a long one (\\?\UNC\server\share\... for a share), which the API takes up
// to 32767 units and does not parse further.
std::wstring ForApi(const std::wstring& path, size_t mostPlain = kMostPlainFile)
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

bool Taken(DWORD error)
{
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}

// Whether nothing of the name `path` is there: 0 when nothing is,
// ERROR_FILE_EXISTS when something is, or the system's code of why that
// cannot be told (which is not taken to mean either).
DWORD Lookup(const std::wstring& path)
{
  if (GetFileAttributesW(ForApi(path).c_str()) != INVALID_FILE_ATTRIBUTES) return ERROR_FILE_EXISTS;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0
         : error != 0                                                   ? error
                                                                        : ERROR_GEN_FAILURE;
}

// The process number in a temporary file's name ("~stiscan-<process>-<n>.partial"),
// or 0 when the name is not one of them.
DWORD TemporaryOwner(const std::wstring& name)
{
  const size_t start = sizeof kTemporaryStart / sizeof(wchar_t) - 1;
  const size_t end = sizeof kTemporaryEnd / sizeof(wchar_t) - 1;
  if (name.size() <= start + end || name.compare(0, start, kTemporaryStart) != 0 ||
      name.compare(name.size() - end, end, kTemporaryEnd) != 0)
    return 0;
  const std::wstring middle = name.substr(start, name.size() - start - end);
  const size_t dash = middle.find(L'-');
  if (dash == 0 || dash == std::wstring::npos || dash + 1 == middle.size() || dash > 10) return 0;
  unsigned long long owner = 0;
  for (size_t i = 0; i < middle.size(); ++i) {
    if (i == dash) continue;
    if (middle[i] < L'0' || middle[i] > L'9') return 0;
    if (i < dash) owner = owner * 10 + static_cast<unsigned>(middle[i] - L'0');
  }
  return owner <= 0xFFFFFFFFull ? static_cast<DWORD>(owner) : 0;
}

// Whether process `id` runs (also one of another user's, which may not be
// opened).
bool Runs(DWORD id)
{
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return runs;
}

// The temporary files of this process, numbered (several threads make them).
volatile LONG temporaries = 0;

}  // namespace

bool OpenFile::Append(std::span<const unsigned char> bytes, FileFailure& failure)
{
  const unsigned char* next = bytes.data();
  for (size_t left = bytes.size(); left > 0;) {
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(handle_, next, chunk, &written, nullptr) || written == 0) {
      const DWORD error = GetLastError();
      failure = {"the file " + Quoted(shown_) + " could not be written",
                 error != 0 ? error : ERROR_WRITE_FAULT};
      return false;
    }
    next += written;
    left -= written;
    bytes_ += written;
  }
  return true;
}

bool OpenFile::Finish(TemporaryFile& file, FileFailure& failure)
{
  // What the file holds reaches the disk before the file takes its name:
  // a name is never given to a file that a power cut would leave empty.
  if (!FlushFileBuffers(handle_)) {
    const DWORD error = GetLastError();
    failure = {"the file " + Quoted(shown_) + " could not be written to the disk", error};
    return false;
  }
  LARGE_INTEGER size = {};
  if (GetFileSizeEx(handle_, &size)) bytes_ = size.QuadPart;
  const HANDLE handle = handle_;
  handle_ = INVALID_HANDLE_VALUE;
  if (!CloseHandle(handle)) {
    const DWORD error = GetLastError();
    failure = {"the file " + Quoted(shown_) + " could not be written", error};
    DeleteFileW(ForApi(path_).c_str());
    return false;
  }
  file = {path_, page_, extension_, bytes_};
  return true;
}

void OpenFile::Discard()
{
  if (handle_ == INVALID_HANDLE_VALUE) return;
  CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  DeleteFileW(ForApi(path_).c_str());
}

bool Folder::Open(const std::string& folder, FileFailure& failure)
{
  given_ = folder;
  folder_ = FullPath(Widen(folder));
  const DWORD fullPathError = folder_.empty() ? GetLastError() : 0;
  while (folder_.size() > 3 && folder_.back() == L'\\') folder_.pop_back();
  const std::string what = "the folder " + Quoted(folder) + " could not be made";
  if (folder_.empty()) {
    failure = {what, fullPathError};
    return false;
  }
  if (const DWORD error = MakeFolder(folder_)) {
    failure = {what, error};
    return false;
  }
  const DWORD attributes = GetFileAttributesW(ForApi(folder_, kMostPlainFolder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY;
    failure = {what, error};
    return false;
  }
  return true;
}

std::string Folder::Shown(const std::string& name) const
{
  const bool separated = given_.empty() || given_.back() == '\\' || given_.back() == '/';
  return given_ + (separated ? "" : "\\") + name;
}

std::wstring Folder::PathOf(const std::string& name) const
{
  return ForApi(folder_ + L"\\" + Widen(name));
}

bool Folder::Create(const std::wstring& itemName, int page, const std::wstring& extension,
                    OpenFile& file, FileFailure& failure) const
{
  file.Discard();
  const std::u16string shown = PageFileName(std::u16string(itemName.begin(), itemName.end()), page,
                                            std::u16string(extension.begin(), extension.end()), 1);
  file.shown_ = Shown(Narrow(std::wstring(shown.begin(), shown.end())));
  file.page_ = page;
  file.extension_ = extension;
  file.bytes_ = 0;
  // A name another process left is passed over (a new one is never written
  // over). Read too: an encoder may read back what it wrote (file_stream.h).
  DWORD error = ERROR_FILE_EXISTS;
  for (int tries = 0; tries < kMostTemporaryTries && Taken(error); ++tries) {
    file.path_ = folder_ + L"\\" + kTemporaryStart + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(InterlockedIncrement(&temporaries)) + kTemporaryEnd;
    file.handle_ = CreateFileW(ForApi(file.path_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.handle_ != INVALID_HANDLE_VALUE) return true;
    error = GetLastError();
  }
  failure = {"the file " + Quoted(file.shown_) + " could not be made", error};
  return false;
}

bool Folder::WriteTemporary(const std::wstring& itemName, int page, const std::wstring& extension,
                            std::span<const unsigned char> bytes, TemporaryFile& file,
                            FileFailure& failure) const
{
  OpenFile open;
  return Create(itemName, page, extension, open, failure) && open.Append(bytes, failure) &&
         open.Finish(file, failure);
}

bool Folder::Name(const std::wstring& itemName, std::vector<TemporaryFile>& files,
                  std::vector<NamedFile>& named, FileFailure& failure) const
{
  const std::u16string item(itemName.begin(), itemName.end());
  const auto nameOf = [&](const TemporaryFile& file, int copy) {
    const std::u16string name = PageFileName(
        item, file.page, std::u16string(file.extension.begin(), file.extension.end()), copy);
    return std::wstring(name.begin(), name.end());
  };
  // Those renamed go back to their temporary names. One that cannot stays
  // where it is, which its entry in `files` then says (the caller removes
  // it with the others): false, with `failure` set.
  const auto undo = [&]() {
    bool undone = true;
    for (size_t i = 0; i < named.size(); ++i) {
      if (MoveFileExW(ForApi(named[i].path).c_str(), ForApi(files[i].path).c_str(),
                      MOVEFILE_WRITE_THROUGH))
        continue;
      const DWORD error = GetLastError();
      if (undone)
        failure = {
            "the file " + Quoted(named[i].shown) + " could not be given back its temporary name",
            error};
      files[i].path = named[i].path;
      undone = false;
    }
    named.clear();
    return undone;
  };
  for (int copy = 1; copy <= kMostCopies; ++copy) {
    // Every name free, or this copy is passed over; a name that cannot be
    // looked up ends the naming, as it would any copy's.
    DWORD looked = 0;
    for (size_t i = 0; i < files.size() && looked == 0; ++i) {
      const std::wstring name = nameOf(files[i], copy);
      looked = Lookup(folder_ + L"\\" + name);
      if (looked != 0 && looked != ERROR_FILE_EXISTS) {
        failure = {"the name " + Quoted(Shown(Narrow(name))) + " could not be looked up", looked};
        return false;
      }
    }
    if (looked != 0) continue;
    named.clear();
    bool taken = false;
    for (size_t i = 0; i < files.size() && !taken; ++i) {
      const std::wstring name = nameOf(files[i], copy);
      NamedFile file{Shown(Narrow(name)), folder_ + L"\\" + name, files[i].bytes, files[i].page};
      if (MoveFileExW(ForApi(files[i].path).c_str(), ForApi(file.path).c_str(),
                      MOVEFILE_WRITE_THROUGH)) {
        named.push_back(file);
        continue;
      }
      const DWORD error = GetLastError();
      if (!undo()) return false;
      if (!Taken(error)) {
        failure = {"the file " + Quoted(file.shown) + " could not be made", error};
        return false;
      }
      taken = true;
    }
    if (!taken) return true;
  }
  failure = {
      "the files of the job " + Quoted(Narrow(itemName)) + " could not be made under any free name",
      ERROR_FILE_EXISTS};
  return false;
}

bool Folder::ReadOwn(const std::string& name, std::string& text, FileFailure& failure) const
{
  text.clear();
  const HANDLE file = CreateFileW(PathOf(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    failure = {"the file " + Quoted(Shown(name)) + " could not be read", error};
    return false;
  }
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0)
    text.append(buffer, got);
  if (!ok) failure = {"the file " + Quoted(Shown(name)) + " could not be read", GetLastError()};
  CloseHandle(file);
  return ok;
}

bool Folder::ReplaceOwn(const std::string& name, const std::string& text,
                        FileFailure& failure) const
{
  OpenFile open;
  TemporaryFile written;
  if (!Create(Widen(name), 0, L"", open, failure) ||
      !open.Append({reinterpret_cast<const unsigned char*>(text.data()), text.size()}, failure) ||
      !open.Finish(written, failure)) {
    failure.what = "the file " + Quoted(Shown(name)) + " could not be written";
    return false;
  }
  if (MoveFileExW(ForApi(written.path).c_str(), PathOf(name).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  failure = {"the file " + Quoted(Shown(name)) + " could not be written", GetLastError()};
  DeleteFileW(ForApi(written.path).c_str());
  return false;
}

bool Folder::Flush(const std::vector<std::wstring>& renamed, FileFailure& failure) const
{
  // Flushing asks for the right to write: to a folder, to add files to it.
  const HANDLE folder =
      CreateFileW(ForApi(folder_, kMostPlainFolder).c_str(), GENERIC_READ | FILE_ADD_FILE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  DWORD error = folder == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (folder != INVALID_HANDLE_VALUE) {
    if (!FlushFileBuffers(folder)) error = GetLastError();
    CloseHandle(folder);
  }
  if (error == 0) return true;
  if (error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED &&
      error != ERROR_INVALID_PARAMETER) {
    failure = {"the folder " + Quoted(given_) + " could not be written to the disk", error};
    return false;
  }
  for (const std::wstring& path : renamed) {
    const HANDLE file = CreateFileW(ForApi(path).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
    const DWORD notFlushed = flushed ? 0 : GetLastError();
    if (!flushed)
      failure = {"the file " + Quoted(Narrow(path)) + " could not be written to the disk",
                 notFlushed};
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!flushed) return false;
  }
  return true;
}

void Folder::RemoveLeftovers() const
{
  WIN32_FIND_DATAW found;
  const HANDLE search =
      FindFirstFileExW(ForApi(folder_ + L"\\" + kTemporaryPattern).c_str(), FindExInfoBasic, &found,
                       FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return;
  const DWORD self = GetCurrentProcessId();
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    const DWORD owner = TemporaryOwner(found.cFileName);
    // This process's own number: a leftover of an earlier process that had
    // it, as this one has made none yet.
    if (owner == 0 || (owner != self && Runs(owner))) continue;
    DeleteFileW(ForApi(folder_ + L"\\" + found.cFileName).c_str());
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

bool Folder::Remove(const std::wstring& path, FileFailure& failure)
{
  if (DeleteFileW(ForApi(path).c_str())) return true;
  failure = {"the file " + Quoted(Narrow(path)) + " could not be removed", GetLastError()};
  return false;
}

}  // namespace stiscan

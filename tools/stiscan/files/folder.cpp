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

// Whether nothing of the name `path` is there; false also when that cannot
// be told (the rename then says why).
bool Free(const std::wstring& path)
{
  if (GetFileAttributesW(ForApi(path).c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool Taken(DWORD error)
{
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
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
    failure = {"the file " + Quoted(shown_) + " could not be written to the disk", GetLastError()};
    return false;
  }
  LARGE_INTEGER size = {};
  if (GetFileSizeEx(handle_, &size)) bytes_ = size.QuadPart;
  const HANDLE handle = handle_;
  handle_ = INVALID_HANDLE_VALUE;
  if (!CloseHandle(handle)) {
    failure = {"the file " + Quoted(shown_) + " could not be written", GetLastError()};
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
  const std::wstring name = L"~stiscan-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(InterlockedIncrement(&temporaries)) + L".partial";
  file.path_ = folder_ + L"\\" + name;
  const std::u16string shown = PageFileName(std::u16string(itemName.begin(), itemName.end()), page,
                                            std::u16string(extension.begin(), extension.end()), 1);
  file.shown_ = Shown(Narrow(std::wstring(shown.begin(), shown.end())));
  file.page_ = page;
  file.extension_ = extension;
  file.bytes_ = 0;
  // Read too: an encoder may read back what it wrote (file_stream.h).
  file.handle_ = CreateFileW(ForApi(file.path_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file.handle_ != INVALID_HANDLE_VALUE) return true;
  failure = {"the file " + Quoted(file.shown_) + " could not be made", GetLastError()};
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

bool Folder::Name(const std::wstring& itemName, const std::vector<TemporaryFile>& files,
                  std::vector<NamedFile>& named, FileFailure& failure) const
{
  const std::u16string item(itemName.begin(), itemName.end());
  const auto nameOf = [&](const TemporaryFile& file, int copy) {
    const std::u16string name = PageFileName(
        item, file.page, std::u16string(file.extension.begin(), file.extension.end()), copy);
    return std::wstring(name.begin(), name.end());
  };
  // Those renamed go back to their temporary names.
  const auto undo = [&](size_t renamed) {
    for (size_t i = 0; i < renamed; ++i)
      MoveFileExW(ForApi(named[i].path).c_str(), ForApi(files[i].path).c_str(),
                  MOVEFILE_WRITE_THROUGH);
    named.clear();
  };
  for (int copy = 1; copy <= kMostCopies; ++copy) {
    bool free = true;
    for (size_t i = 0; i < files.size() && free; ++i)
      free = Free(folder_ + L"\\" + nameOf(files[i], copy));
    if (!free) continue;
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
      undo(named.size());
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

bool Folder::Remove(const std::wstring& path, FileFailure& failure)
{
  if (DeleteFileW(ForApi(path).c_str())) return true;
  failure = {"the file " + Quoted(Narrow(path)) + " could not be removed", GetLastError()};
  return false;
}

}  // namespace stiscan

// The Win32 shim of the TWAIN source's fuzz build (windows.h says what it
// is). Every function keeps the documented results the source relies on:
// GlobalSize is the size asked for, GlobalLock of a movable block counts,
// MultiByteToWideChar says how many units it needs, GetFullPathNameA
// resolves a relative name against the current folder, and so on.
#include "fuzz/twain_shim/shim.h"

#include <fcntl.h>
#include <sanitizer/asan_interface.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <set>
#include <unordered_map>
#include <vector>

#include "fuzz/fuzz_check.h"

namespace {

thread_local DWORD lastError = 0;

// --- global memory ---------------------------------------------------------

struct Block {
  unsigned char* data = nullptr;
  size_t size = 0;  // what was asked for: bytes past it are poisoned
  size_t held = 0;  // what `data` holds (a shrunk fixed block keeps its bytes)
  bool movable = false;
  int locks = 0;
};

// Keyed by handle: a fixed block's handle is its memory, a movable one's a
// byte of its own that nobody may touch.
std::unordered_map<void*, Block> blocks;
unsigned failAllocation = 0;
size_t badHandleCalls = 0;

// More than this is memory the fuzz run does not have.
constexpr size_t kLargestBlock = size_t(64) << 20;

unsigned char* Poisoned(size_t bytes, size_t usable)
{
  auto* at = static_cast<unsigned char*>(std::malloc(bytes > 0 ? bytes : 1));
  if (at != nullptr && usable < (bytes > 0 ? bytes : 1))
    ASAN_POISON_MEMORY_REGION(at + usable, (bytes > 0 ? bytes : 1) - usable);
  return at;
}

void Release(unsigned char* at, size_t held)
{
  ASAN_UNPOISON_MEMORY_REGION(at, held > 0 ? held : 1);
  std::free(at);
}

HGLOBAL Allocate(UINT flags, SIZE_T bytes)
{
  if (bytes > kLargestBlock) {
    lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  Block block;
  block.data = Poisoned(bytes, bytes);
  block.size = block.held = bytes;
  block.movable = (flags & GMEM_MOVEABLE) != 0;
  std::memset(block.data, (flags & GMEM_ZEROINIT) != 0 ? 0 : 0xA5, bytes);
  void* handle = block.data;
  if (block.movable) handle = Poisoned(1, 0);
  blocks[handle] = block;
  return handle;
}

Block* Find(HGLOBAL handle)
{
  auto found = blocks.find(handle);
  return found == blocks.end() ? nullptr : &found->second;
}

void FreeBlock(HGLOBAL handle)
{
  Block& block = blocks.at(handle);
  Release(block.data, block.held);
  if (block.movable) Release(static_cast<unsigned char*>(handle), 1);
  blocks.erase(handle);
}

// --- code pages ------------------------------------------------------------

UINT codePage = 1252;

// Windows-1252 from 0x80 to 0x9F; the five bytes it leaves undefined stand
// for the C1 controls of the same number, as Windows converts them.
const char16_t kHigh1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t From1252(unsigned char byte)
{
  return byte >= 0x80 && byte < 0xA0 ? kHigh1252[byte - 0x80] : byte;
}

bool To1252(char16_t unit, unsigned char& byte)
{
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
    byte = static_cast<unsigned char>(unit);
    return true;
  }
  for (int i = 0; i < 32; ++i) {
    if (kHigh1252[i] == unit) {
      byte = static_cast<unsigned char>(0x80 + i);
      return true;
    }
  }
  return false;
}

// UTF-8 to UTF-16 units; a malformed sequence is U+FFFD, as Windows makes it.
std::vector<char16_t> FromUtf8(const unsigned char* text, size_t bytes)
{
  std::vector<char16_t> units;
  for (size_t i = 0; i < bytes;) {
    const unsigned char lead = text[i];
    size_t more = 0;
    char32_t code = lead;
    if (lead >= 0x80) {
      if ((lead & 0xE0) == 0xC0) {
        more = 1;
        code = lead & 0x1F;
      } else if ((lead & 0xF0) == 0xE0) {
        more = 2;
        code = lead & 0x0F;
      } else if ((lead & 0xF8) == 0xF0) {
        more = 3;
        code = lead & 0x07;
      } else {
        units.push_back(0xFFFD);
        ++i;
        continue;
      }
    }
    size_t taken = 1;
    bool good = true;
    for (; taken <= more; ++taken) {
      if (i + taken >= bytes || (text[i + taken] & 0xC0) != 0x80) {
        good = false;
        break;
      }
      code = code << 6 | (text[i + taken] & 0x3F);
    }
    if (good &&
        ((more == 1 && code < 0x80) || (more == 2 && code < 0x800) ||
         (more == 3 && (code < 0x10000 || code > 0x10FFFF)) || (code >= 0xD800 && code <= 0xDFFF)))
      good = false;
    if (!good) {
      units.push_back(0xFFFD);
      i += taken;
      continue;
    }
    if (code >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(code));
    }
    i += more + 1;
  }
  return units;
}

void AppendUtf8(std::string& out, char32_t code)
{
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// --- files -----------------------------------------------------------------

std::string scratch;
constexpr char kCurrent[] = "C:\\work";
constexpr char kTemporary[] = "C:\\temp\\";

struct OpenFile {
  int fd = -1;
  std::string host;
  DWORD access = 0, share = 0;
  bool deleteOnClose = false;
};
std::map<uintptr_t, OpenFile> files;
uintptr_t nextFile = 0x1000;
std::set<std::string> deletePending;
// Whether anything was written to the scratch folder since it was emptied.
bool dirty = false;
// The files GetTempFileNameA made.
std::set<std::string> temporaries;

struct FileFault {
  unsigned nth = 0;
  DWORD error = 0;
};
FileFault fileFaults[static_cast<int>(twainshim::FileCall::kCount)];

bool Faulted(twainshim::FileCall call)
{
  FileFault& fault = fileFaults[static_cast<int>(call)];
  if (fault.nth == 0 || --fault.nth != 0) return false;
  lastError = fault.error;
  return true;
}

// `name` as a full Windows path: a relative one taken from the current
// folder, `.` and `..` resolved (never above the drive's root), and the
// trailing dots and spaces of each part dropped, as Windows does.
std::string FullPath(const std::string& name)
{
  std::string path = name;
  for (char& c : path)
    if (c == '/') c = '\\';
  std::string root, rest;
  const std::string current = std::string(kCurrent).substr(2) + "\\";
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
    root =
        std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])))) + ":";
    rest = path.substr(2);
    // Relative to the drive's current folder: drive C:'s is the process's.
    if (rest.empty() || rest[0] != '\\') rest = (root == "C:" ? current : "\\") + rest;
  } else if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    root = "\\\\";
    rest = path.substr(2);
  } else if (!path.empty() && path[0] == '\\') {
    root = "C:";
    rest = path;
  } else {
    root = "C:";
    rest = current + path;
  }
  std::vector<std::string> parts;
  bool endsInName = false;
  size_t at = 0;
  while (at <= rest.size()) {
    size_t end = rest.find('\\', at);
    if (end == std::string::npos) end = rest.size();
    std::string part = rest.substr(at, end - at);
    if (part != "." && part != "..")
      while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
    endsInName = false;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
      endsInName = true;
    }
    at = end + 1;
  }
  std::string full = root;
  for (const std::string& part : parts) full += (full == "\\\\" ? "" : "\\") + part;
  if (!endsInName) full += "\\";
  return full;
}

std::string Lower(std::string text)
{
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Where a full path lies here: drive C: is the scratch folder; the case of
// names does not count, as on Windows.
std::string Host(const std::string& full)
{
  if (full.size() < 3 || Lower(full.substr(0, 3)) != "c:\\") return {};
  std::string host = scratch + "/c";
  for (char c : Lower(full.substr(2))) host += c == '\\' ? '/' : c;
  while (host.size() > scratch.size() + 2 && host.back() == '/') host.pop_back();
  return host;
}

int OpenCount(const std::string& host, bool& allShareDelete)
{
  int count = 0;
  allShareDelete = true;
  for (const auto& [id, file] : files) {
    if (file.host != host) continue;
    ++count;
    allShareDelete = allShareDelete && (file.share & FILE_SHARE_DELETE) != 0;
  }
  return count;
}

OpenFile* FindFile(HANDLE handle)
{
  auto found = files.find(reinterpret_cast<uintptr_t>(handle));
  return found == files.end() ? nullptr : &found->second;
}

void Unlink(const std::string& host)
{
  ::unlink(host.c_str());
  deletePending.erase(host);
}

// --- windows ---------------------------------------------------------------

std::map<HWND, bool> windows;  // enabled or not
uintptr_t nextWindow = 0x10000;

}  // namespace

// --- the API ---------------------------------------------------------------

DWORD GetLastError()
{
  return lastError;
}

void SetLastError(DWORD error)
{
  lastError = error;
}

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes)
{
  if (failAllocation != 0 && --failAllocation == 0) {
    lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  return Allocate(flags, bytes);
}

HGLOBAL GlobalReAlloc(HGLOBAL memory, SIZE_T bytes, UINT flags)
{
  Block* block = Find(memory);
  if (block == nullptr) {
    ++badHandleCalls;
    lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if ((flags & GMEM_MODIFY) != 0 || bytes > kLargestBlock) {
    lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  const bool canMove = (block->movable && block->locks == 0) || (flags & GMEM_MOVEABLE) != 0;
  if (bytes <= block->size && !canMove) {
    // In place: the bytes past the new size are no longer the block's.
    ASAN_POISON_MEMORY_REGION(block->data + bytes, block->size - bytes);
    block->size = bytes;
    return memory;
  }
  if (!canMove) {
    lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  unsigned char* moved = Poisoned(bytes, bytes);
  std::memset(moved, (flags & GMEM_ZEROINIT) != 0 ? 0 : 0xA5, bytes);
  std::memcpy(moved, block->data, bytes < block->size ? bytes : block->size);
  Release(block->data, block->held);
  block->data = moved;
  block->size = block->held = bytes;
  if (block->movable) return memory;
  // A fixed block that moved has a new handle: its memory.
  Block kept = *block;
  blocks.erase(memory);
  blocks[moved] = kept;
  return moved;
}

HGLOBAL GlobalFree(HGLOBAL memory)
{
  if (memory == nullptr) return nullptr;
  if (Find(memory) == nullptr) {
    ++badHandleCalls;
    lastError = ERROR_INVALID_HANDLE;
    return memory;
  }
  FreeBlock(memory);
  return nullptr;
}

LPVOID GlobalLock(HGLOBAL memory)
{
  // What an application says is a handle may be none: only the source's
  // own frees and unlocks count against it.
  Block* block = Find(memory);
  if (block == nullptr) {
    lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (!block->movable) return block->data;
  // A movable block of no bytes is discarded: there is nothing to lock.
  if (block->size == 0) return nullptr;
  ++block->locks;
  return block->data;
}

BOOL GlobalUnlock(HGLOBAL memory)
{
  Block* block = Find(memory);
  if (block == nullptr) {
    ++badHandleCalls;
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (!block->movable) return TRUE;
  if (block->locks == 0) {
    lastError = ERROR_NOT_LOCKED;
    return FALSE;
  }
  --block->locks;
  lastError = NO_ERROR;
  return block->locks > 0;
}

SIZE_T GlobalSize(HGLOBAL memory)
{
  Block* block = Find(memory);
  if (block == nullptr) {
    lastError = ERROR_INVALID_HANDLE;
    return 0;
  }
  return block->size;
}

UINT GetACP()
{
  return codePage;
}

int MultiByteToWideChar(UINT page, DWORD flags, LPCSTR text, int bytes, LPWSTR wide, int units)
{
  if (page == CP_ACP) page = codePage;
  if (text == nullptr || bytes == 0 || units < 0 || (page != 1252 && page != CP_UTF8) ||
      (flags & ~MB_ERR_INVALID_CHARS) != 0) {
    lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const size_t length = bytes < 0 ? std::strlen(text) + 1 : static_cast<size_t>(bytes);
  const auto* at = reinterpret_cast<const unsigned char*>(text);
  std::vector<char16_t> converted;
  if (page == CP_UTF8) {
    converted = FromUtf8(at, length);
  } else {
    for (size_t i = 0; i < length; ++i) converted.push_back(From1252(at[i]));
  }
  if (units == 0) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<size_t>(units)) {
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  for (size_t i = 0; i < converted.size(); ++i) wide[i] = converted[i];
  return static_cast<int>(converted.size());
}

int WideCharToMultiByte(UINT page, DWORD flags, LPCWSTR wide, int units, LPSTR text, int bytes,
                        LPCSTR defaultChar, LPBOOL usedDefault)
{
  if (page == CP_ACP) page = codePage;
  // UTF-8 takes no flags and no default character.
  if (wide == nullptr || units == 0 || bytes < 0 || (page != 1252 && page != CP_UTF8) ||
      (page == CP_UTF8 && (flags != 0 || defaultChar != nullptr || usedDefault != nullptr)) ||
      (flags & ~WC_NO_BEST_FIT_CHARS) != 0) {
    lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  size_t length = 0;
  if (units < 0)
    while (wide[length] != 0) ++length;
  const size_t count = units < 0 ? length + 1 : static_cast<size_t>(units);
  std::string out;
  bool lost = false;
  for (size_t i = 0; i < count; ++i) {
    // The source keeps UTF-16 units in its wchar_t; anything wider is no
    // unit of it.
    FUZZ_CHECK(static_cast<uint32_t>(wide[i]) <= 0xFFFF,
               "WideCharToMultiByte got a wchar_t of 0x%X, no UTF-16 unit",
               static_cast<unsigned>(wide[i]));
    const char16_t unit = static_cast<char16_t>(wide[i]);
    if (page == CP_UTF8) {
      if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < count && wide[i + 1] >= 0xDC00 &&
          wide[i + 1] < 0xE000) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (wide[i + 1] - 0xDC00));
        ++i;
      } else {
        AppendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit);
      }
      continue;
    }
    unsigned char byte = 0;
    if (!To1252(unit, byte)) {
      byte = defaultChar != nullptr ? static_cast<unsigned char>(*defaultChar) : '?';
      lost = true;
    }
    out += static_cast<char>(byte);
  }
  if (usedDefault != nullptr) *usedDefault = lost ? TRUE : FALSE;
  if (bytes == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(bytes)) {
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(text, out.data(), out.size());
  return static_cast<int>(out.size());
}

LPSTR lstrcpynA(LPSTR to, LPCSTR from, int length)
{
  if (to == nullptr || from == nullptr || length <= 0) return to;
  int i = 0;
  for (; i + 1 < length && from[i] != '\0'; ++i) to[i] = from[i];
  to[i] = '\0';
  return to;
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES*, DWORD disposition,
                   DWORD flags, HANDLE)
{
  if (path == nullptr) {
    lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  if (Faulted(twainshim::FileCall::kCreate)) return INVALID_HANDLE_VALUE;
  const std::string host = Host(FullPath(path));
  struct stat status = {};
  const bool exists = !host.empty() && ::stat(host.c_str(), &status) == 0;
  const std::string folder = host.substr(0, host.rfind('/'));
  struct stat folderStatus = {};
  if (host.empty() || ::stat(folder.c_str(), &folderStatus) != 0 ||
      !S_ISDIR(folderStatus.st_mode)) {
    lastError = ERROR_PATH_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  if (exists && S_ISDIR(status.st_mode)) {
    lastError = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  // Sharing: an open handle that does not share, or one that this one
  // would not share with, refuses this one; a file whose deletion is
  // pending cannot be opened again.
  for (const auto& [id, file] : files) {
    if (file.host != host) continue;
    if (file.share == 0 || share == 0 || deletePending.count(host) != 0) {
      lastError = ERROR_SHARING_VIOLATION;
      return INVALID_HANDLE_VALUE;
    }
  }
  int mode = 0;
  switch (disposition) {
    case CREATE_NEW:
      if (exists) {
        lastError = ERROR_FILE_EXISTS;
        return INVALID_HANDLE_VALUE;
      }
      mode = O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      mode = O_CREAT | O_TRUNC;
      break;
    case OPEN_EXISTING:
      if (!exists) {
        lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
      }
      break;
    case OPEN_ALWAYS:
      mode = O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      if (!exists) {
        lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
      }
      mode = O_TRUNC;
      break;
    default:
      lastError = ERROR_INVALID_PARAMETER;
      return INVALID_HANDLE_VALUE;
  }
  const bool reads = (access & GENERIC_READ) != 0, writes = (access & GENERIC_WRITE) != 0;
  mode |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  dirty = true;
  const int fd = ::open(host.c_str(), mode | O_CLOEXEC, 0644);
  if (fd < 0) {
    lastError = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  OpenFile file;
  file.fd = fd;
  file.host = host;
  file.access = access;
  file.share = share;
  file.deleteOnClose = (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
  const uintptr_t id = nextFile;
  nextFile += 4;
  files[id] = file;
  lastError = exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                  ? ERROR_ALREADY_EXISTS
                  : NO_ERROR;
  return reinterpret_cast<HANDLE>(id);
}

BOOL WriteFile(HANDLE handle, LPCVOID bytes, DWORD size, LPDWORD written, OVERLAPPED*)
{
  OpenFile* file = FindFile(handle);
  if (written != nullptr) *written = 0;
  if (file == nullptr) {
    ++badHandleCalls;
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if ((file->access & GENERIC_WRITE) == 0) {
    lastError = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  // Every byte the caller says it hands over is read.
  FUZZ_CHECK(size == 0 || __asan_region_is_poisoned(const_cast<void*>(bytes), size) == nullptr,
             "WriteFile of %u bytes from memory that does not hold them", size);
  if (Faulted(twainshim::FileCall::kWrite)) return FALSE;
  std::vector<unsigned char> copy(static_cast<const unsigned char*>(bytes),
                                  static_cast<const unsigned char*>(bytes) + size);
  size_t done = 0;
  while (done < copy.size()) {
    const ssize_t now = ::write(file->fd, copy.data() + done, copy.size() - done);
    if (now <= 0) {
      lastError = ERROR_DISK_FULL;
      return FALSE;
    }
    done += static_cast<size_t>(now);
  }
  if (written != nullptr) *written = size;
  return TRUE;
}

BOOL ReadFile(HANDLE handle, LPVOID bytes, DWORD size, LPDWORD read, OVERLAPPED*)
{
  OpenFile* file = FindFile(handle);
  if (read != nullptr) *read = 0;
  if (file == nullptr) {
    ++badHandleCalls;
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if ((file->access & GENERIC_READ) == 0) {
    lastError = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  FUZZ_CHECK(size == 0 || __asan_region_is_poisoned(bytes, size) == nullptr,
             "ReadFile of %u bytes into memory that does not hold them", size);
  if (Faulted(twainshim::FileCall::kRead)) return FALSE;
  std::vector<unsigned char> copy(size);
  size_t done = 0;
  while (done < copy.size()) {
    const ssize_t now = ::read(file->fd, copy.data() + done, copy.size() - done);
    if (now < 0) {
      lastError = ERROR_ACCESS_DENIED;
      return FALSE;
    }
    if (now == 0) break;
    done += static_cast<size_t>(now);
  }
  if (done > 0) std::memcpy(bytes, copy.data(), done);
  if (read != nullptr) *read = static_cast<DWORD>(done);
  return TRUE;
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, LARGE_INTEGER* position, DWORD method)
{
  OpenFile* file = FindFile(handle);
  if (file == nullptr) {
    ++badHandleCalls;
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  const int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  const off_t at = ::lseek(file->fd, static_cast<off_t>(distance.QuadPart), whence);
  if (at < 0) {
    lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if (position != nullptr) position->QuadPart = at;
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE handle, LARGE_INTEGER* size)
{
  OpenFile* file = FindFile(handle);
  struct stat status = {};
  if (file == nullptr || ::fstat(file->fd, &status) != 0) {
    if (file == nullptr) ++badHandleCalls;
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  size->QuadPart = status.st_size;
  return TRUE;
}

BOOL SetEndOfFile(HANDLE handle)
{
  OpenFile* file = FindFile(handle);
  if (file == nullptr) {
    ++badHandleCalls;
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  const off_t at = ::lseek(file->fd, 0, SEEK_CUR);
  if ((file->access & GENERIC_WRITE) == 0 || at < 0 || ::ftruncate(file->fd, at) != 0) {
    lastError = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
  OpenFile* file = FindFile(handle);
  if (file == nullptr) {
    ++badHandleCalls;
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  ::close(file->fd);
  const std::string host = file->host;
  const bool deleteOnClose = file->deleteOnClose;
  files.erase(reinterpret_cast<uintptr_t>(handle));
  bool shareDelete = true;
  if ((deleteOnClose || deletePending.count(host) != 0) && OpenCount(host, shareDelete) == 0)
    Unlink(host);
  else if (deleteOnClose)
    deletePending.insert(host);
  return Faulted(twainshim::FileCall::kClose) ? FALSE : TRUE;
}

BOOL DeleteFileA(LPCSTR path)
{
  if (path == nullptr) {
    lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const std::string host = Host(FullPath(path));
  struct stat status = {};
  if (host.empty() || ::stat(host.c_str(), &status) != 0) {
    lastError = ERROR_FILE_NOT_FOUND;
    return FALSE;
  }
  if (S_ISDIR(status.st_mode)) {
    lastError = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  bool shareDelete = true;
  if (OpenCount(host, shareDelete) > 0) {
    if (!shareDelete) {
      lastError = ERROR_SHARING_VIOLATION;
      return FALSE;
    }
    deletePending.insert(host);
    return TRUE;
  }
  Unlink(host);
  return TRUE;
}

DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR full, LPSTR* filePart)
{
  if (name == nullptr || *name == '\0') {
    lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const std::string path = FullPath(name);
  if (path.size() + 1 > size) return static_cast<DWORD>(path.size() + 1);
  std::memcpy(full, path.c_str(), path.size() + 1);
  if (filePart != nullptr) {
    // A path that names a folder has no file part.
    const size_t last = path.rfind('\\');
    *filePart = last + 1 < path.size() ? full + last + 1 : nullptr;
  }
  return static_cast<DWORD>(path.size());
}

DWORD GetFileAttributesA(LPCSTR path)
{
  if (path == nullptr) {
    lastError = ERROR_INVALID_PARAMETER;
    return INVALID_FILE_ATTRIBUTES;
  }
  const std::string host = Host(FullPath(path));
  struct stat status = {};
  if (host.empty() || ::stat(host.c_str(), &status) != 0) {
    lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_FILE_ATTRIBUTES;
  }
  return S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

DWORD GetTempPathA(DWORD size, LPSTR path)
{
  if (Faulted(twainshim::FileCall::kTempPath)) return 0;
  const DWORD length = static_cast<DWORD>(std::strlen(kTemporary));
  if (length + 1 > size) return length + 1;
  std::memcpy(path, kTemporary, length + 1);
  return length;
}

UINT GetTempFileNameA(LPCSTR folder, LPCSTR prefix, UINT unique, LPSTR name)
{
  if (folder == nullptr || prefix == nullptr || name == nullptr) {
    lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (Faulted(twainshim::FileCall::kTempName)) return 0;
  std::string base = folder;
  if (!base.empty() && base.back() != '\\') base += '\\';
  base += std::string(prefix).substr(0, 3);
  // Made unique by trying numbers, each file created to hold its name.
  static UINT counter = 0;
  for (int tries = 0; tries < 0x10000; ++tries) {
    counter = counter % 0xFFFF + 1;
    const UINT number = unique != 0 ? unique : counter;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", number & 0xFFFF);
    const std::string candidate = base + hex + ".TMP";
    if (candidate.size() + 1 > MAX_PATH) {
      lastError = ERROR_INVALID_PARAMETER;
      return 0;
    }
    if (unique != 0) {
      std::memcpy(name, candidate.c_str(), candidate.size() + 1);
      return unique;
    }
    const std::string host = Host(FullPath(candidate));
    const std::string parent = host.substr(0, host.rfind('/'));
    struct stat status = {};
    if (host.empty() || ::stat(parent.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      lastError = ERROR_DIRECTORY;
      return 0;
    }
    dirty = true;
    const int fd = ::open(host.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) continue;
    ::close(fd);
    temporaries.insert(host);
    std::memcpy(name, candidate.c_str(), candidate.size() + 1);
    return number;
  }
  lastError = ERROR_FILE_EXISTS;
  return 0;
}

BOOL GetModuleHandleExW(DWORD, LPCWSTR, HMODULE* module)
{
  if (module != nullptr) *module = nullptr;
  lastError = ERROR_MOD_NOT_FOUND;
  return FALSE;
}

FARPROC GetProcAddress(HMODULE, LPCSTR)
{
  lastError = ERROR_MOD_NOT_FOUND;
  return nullptr;
}

int MessageBoxW(HWND, LPCWSTR, LPCWSTR, UINT)
{
  return IDOK;
}

BOOL IsWindow(HWND window)
{
  return windows.count(window) != 0 ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND window)
{
  const auto found = windows.find(window);
  return found != windows.end() && found->second ? TRUE : FALSE;
}

BOOL EnableWindow(HWND window, BOOL enable)
{
  const auto found = windows.find(window);
  if (found == windows.end()) return FALSE;
  const bool wasDisabled = !found->second;
  found->second = enable != FALSE;
  return wasDisabled ? TRUE : FALSE;
}

// --- the fuzz target's side --------------------------------------------------

namespace twainshim {

namespace {

void RemoveScratch()
{
  if (scratch.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
}

// Empties `folder`, keeping the folders named in `kept`.
void Empty(const std::string& folder, std::initializer_list<const char*> kept = {})
{
  std::error_code ignored;
  for (auto it = std::filesystem::directory_iterator(folder, ignored);
       it != std::filesystem::directory_iterator(); it.increment(ignored)) {
    bool keep = false;
    for (const char* name : kept) keep = keep || it->path().filename() == name;
    if (!keep) std::filesystem::remove_all(it->path(), ignored);
  }
}

}  // namespace

void Start()
{
  if (!scratch.empty()) return;
  // In memory where the machine has it: files come and go at every run.
  const char* temporary = std::getenv("TMPDIR");
  std::string base = temporary != nullptr && *temporary != '\0' ? temporary : "/tmp";
  struct stat status = {};
  if (::stat("/dev/shm", &status) == 0 && S_ISDIR(status.st_mode) &&
      ::access("/dev/shm", W_OK) == 0)
    base = "/dev/shm";
  std::string pattern = base + "/stibridge-twain-fuzz-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  FUZZ_CHECK(::mkdtemp(name.data()) != nullptr, "no scratch folder could be made");
  scratch = name.data();
  std::atexit(RemoveScratch);
  std::error_code ignored;
  std::filesystem::create_directories(scratch + "/c/work", ignored);
  std::filesystem::create_directories(scratch + "/c/temp", ignored);
  Reset();
}

void Reset()
{
  for (auto& [id, file] : files) ::close(file.fd);
  files.clear();
  deletePending.clear();
  temporaries.clear();
  while (!blocks.empty()) FreeBlock(blocks.begin()->first);
  windows.clear();
  failAllocation = 0;
  badHandleCalls = 0;
  for (FileFault& fault : fileFaults) fault = FileFault();
  codePage = 1252;
  lastError = 0;
  if (!dirty) return;
  Empty(scratch + "/c", {"work", "temp"});
  Empty(scratch + "/c/work");
  Empty(scratch + "/c/temp");
  dirty = false;
}

std::string HostPath(const std::string& path)
{
  return Host(FullPath(path));
}

void MakeFolder(const std::string& path)
{
  const std::string host = HostPath(path);
  std::error_code ignored;
  dirty = true;
  if (!host.empty()) std::filesystem::create_directories(host, ignored);
}

void RemoveFolder(const std::string& path)
{
  const std::string host = HostPath(path);
  std::error_code ignored;
  // Not the drive, nor the current and temporary folders.
  if (host.empty() || host == scratch + "/c" || host == scratch + "/c/work" ||
      host == scratch + "/c/temp")
    return;
  // An open file keeps its folder, as on Windows.
  for (const auto& [id, file] : files)
    if (file.host.compare(0, host.size() + 1, host + "/") == 0) return;
  std::filesystem::remove_all(host, ignored);
}

void UseCodePage(UINT page)
{
  codePage = page == CP_UTF8 ? CP_UTF8 : 1252;
}

void FailAllocation(unsigned nth)
{
  failAllocation = nth;
}

HGLOBAL AppAlloc(UINT flags, SIZE_T bytes)
{
  return Allocate(flags, bytes);
}

void FailFile(FileCall call, unsigned nth, DWORD error)
{
  fileFaults[static_cast<int>(call)] = FileFault{nth, error};
}

size_t LiveBlocks()
{
  return blocks.size();
}

bool IsBlock(HGLOBAL handle)
{
  return Find(handle) != nullptr;
}

size_t BlockSize(HGLOBAL handle)
{
  const Block* block = Find(handle);
  return block != nullptr ? block->size : 0;
}

int LockCount(HGLOBAL handle)
{
  const Block* block = Find(handle);
  return block != nullptr ? block->locks : 0;
}

size_t BadHandleCalls()
{
  return badHandleCalls;
}

size_t OpenFiles()
{
  return files.size();
}

size_t LiveWindows()
{
  return windows.size();
}

size_t TemporaryFiles()
{
  size_t count = 0;
  struct stat status = {};
  for (const std::string& host : temporaries) count += ::stat(host.c_str(), &status) == 0;
  return count;
}

HWND CreateWindowToken()
{
  HWND window = reinterpret_cast<HWND>(nextWindow);
  nextWindow += 0x10;
  windows[window] = true;
  return window;
}

void DestroyWindowToken(HWND window)
{
  windows.erase(window);
}

}  // namespace twainshim

DWORD GetCurrentThreadId()
{
  return 1;
}

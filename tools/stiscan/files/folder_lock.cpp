#include "files/folder_lock.h"

#include <iterator>

#include "console/messages.h"
#include "console/output.h"

namespace stiscan {

namespace {

// How long a lock file that refuses to be opened as access denied is given
// to go, try after try: a reader holds it for a moment.
constexpr DWORD kDeniedWaitsMs[] = {50, 100, 200};

}  // namespace

FolderLock::~FolderLock()
{
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

FolderLock::Outcome FolderLock::Take(const Folder& folder, const std::string& what,
                                     std::string& holder, FileFailure& failure)
{
  const std::wstring path = folder.PathOf(kFolderLockFile);
  // Others may read who holds it, no one may write or remove it, and it
  // goes with the last handle: the holder's, also when its process dies.
  // While it goes (its holder has let it go, and another reader still has
  // it open) it refuses to be opened as access denied, as a file of a
  // folder the user may not write to does for good: the first passes.
  DWORD error = 0;
  for (size_t tried = 0;; ++tried) {
    file_ =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    error = file_ == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (error != ERROR_ACCESS_DENIED || tried == std::size(kDeniedWaitsMs)) break;
    Sleep(kDeniedWaitsMs[tried]);
  }
  if (file_ != INVALID_HANDLE_VALUE) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::string text =
        Format("process %lu, %s, since %04u-%02u-%02u %02u:%02u:%02u\r\n",
               static_cast<unsigned long>(GetCurrentProcessId()), what.c_str(), now.wYear,
               now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    DWORD written = 0;
    SetEndOfFile(file_);
    WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return Outcome::kTaken;
  }
  if (error != ERROR_SHARING_VIOLATION) {
    failure = {"the file " + Quoted(folder.Shown(kFolderLockFile)) + " could not be made", error};
    return Outcome::kFailed;
  }
  // Held: read who holds it.
  const HANDLE held = CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  char text[512] = {};
  DWORD read = 0;
  if (held != INVALID_HANDLE_VALUE) {
    ReadFile(held, text, sizeof text - 1, &read, nullptr);
    CloseHandle(held);
  }
  holder.assign(text, read);
  while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\r')) holder.pop_back();
  if (holder.empty()) holder = "a process that has not said which";
  return Outcome::kHeld;
}

}  // namespace stiscan

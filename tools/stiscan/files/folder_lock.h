// One writer of a folder's list of pulled jobs at a time: a watch, or a pull
// that deletes, holds the folder's lock file open for as long as it runs,
// and no other program may open it for writing meanwhile. The file names
// its holder, and goes when the holder lets it go or ends.
#pragma once

#include <windows.h>

#include <string>

#include "files/folder.h"

namespace stiscan {

// The lock file's name in the folder.
constexpr char kFolderLockFile[] = "stiscan-pulled.lock";

class FolderLock {
 public:
  FolderLock() = default;
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  enum class Outcome { kTaken, kHeld, kFailed };
  // Takes the lock of `folder` for this process, running `what` (a few
  // words: "stiscan watch --pull"). kHeld when another process holds it:
  // `holder` then says which, as its file names it ("process 1234, stiscan
  // watch --pull, since 2026-12-09 10:15:02"). kFailed with `failure` set
  // when the file could not be made for another reason (access denied: a
  // folder the user may not write to).
  Outcome Take(const Folder& folder, const std::string& what, std::string& holder,
               FileFailure& failure);

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace stiscan

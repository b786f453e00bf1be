// The folder a pull writes into and the page files in it, through the wide
// file API: every name as the job gives it (file_names.h), paths of any
// length (the \\?\ form where a path is longer than the plain API takes),
// and never a file overwritten or a file left half written.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <vector>

namespace stiscan {

// A file system failure: what failed, in one clause, and the system's code.
struct FileFailure {
  std::string what;
  DWORD error = 0;
};

class PageFolder {
 public:
  // The folder `folder` (as the user gave it, relative or not), made with
  // whatever parents it lacks. False with `failure` set.
  bool Open(const std::string& folder, FileFailure& failure);

  // Writes `bytes` as page `page` of the job named `itemName`: first under a
  // temporary name, then renamed to the page's file name, or, when a file of
  // that name is there already (an earlier pull, or another job whose name
  // makes the same file name), to its next copy (" (2)", " (3)", ...). On
  // success `shown` is the file's path as the user gave the folder, `path`
  // the full one; on failure nothing is left behind.
  // Page 0 is the job's document, which holds all its pages.
  bool Write(const std::wstring& itemName, int page, const std::wstring& extension,
             std::span<const unsigned char> bytes, std::string& shown, std::wstring& path,
             FileFailure& failure);

  // A file of the folder's own by its name (`name`, ASCII): read whole (an
  // absent one reads as empty), or replaced whole, through a temporary file,
  // so that it is always the old or the new one.
  bool ReadOwn(const std::string& name, std::string& text, FileFailure& failure) const;
  bool ReplaceOwn(const std::string& name, const std::string& text, FileFailure& failure) const;

  // Removes a file that Write wrote; false with `failure` set.
  static bool Remove(const std::wstring& path, FileFailure& failure);

 private:
  std::string given_;    // as the user wrote it
  std::wstring folder_;  // full, without a closing backslash
};

}  // namespace stiscan

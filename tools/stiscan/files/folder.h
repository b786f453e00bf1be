// The folder a pull writes into, through the wide file API: paths of any
// length (the \\?\ form where a path is longer than the plain API takes),
// every file written whole under a temporary name and flushed to the disk
// before it takes its own name (file_names.h), and no file ever overwritten.
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

// A file written whole under a temporary name and flushed, waiting to take
// its own name.
struct TemporaryFile {
  std::wstring path;       // full, as the API takes it
  int page = 0;            // of its job; 0: the job's document
  std::wstring extension;  // of the name it is to take
  long long bytes = 0;
};

// A file that has taken its name.
struct NamedFile {
  std::string shown;  // as the user gave the folder
  std::wstring path;  // full
  long long bytes = 0;
  int page = 0;  // of its job; 0: the job's document
};

// A temporary file open for writing. One that is let go before Finish is
// removed.
class OpenFile {
 public:
  OpenFile() = default;
  ~OpenFile() { Discard(); }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Handle() const { return handle_; }
  const std::wstring& Path() const { return path_; }
  // The file as failures name it: by the name it is to take.
  const std::string& Shown() const { return shown_; }

  // Writes `bytes` at the end; false with `failure` set (the system's code,
  // ERROR_DISK_FULL for a full disk).
  bool Append(std::span<const unsigned char> bytes, FileFailure& failure);
  // Flushes the file to the disk (FlushFileBuffers) and closes it: `file`
  // is then the temporary file, ready to take its name.
  bool Finish(TemporaryFile& file, FileFailure& failure);
  // Closes and removes the file.
  void Discard();

 private:
  friend class Folder;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::wstring path_, extension_;
  std::string shown_;
  int page_ = 0;
  long long bytes_ = 0;
};

class Folder {
 public:
  // The folder `folder` (as the user gave it, relative or not), made with
  // whatever parents it lacks. False with `failure` set.
  bool Open(const std::string& folder, FileFailure& failure);
  const std::string& Given() const { return given_; }

  // A new temporary file in the folder ("~stiscan-<process>-<n>.partial"),
  // open for writing, for page `page` (0: the document) of the job named
  // `itemName`, whose name is to end in `extension`. Failures name the file
  // by the name it is to take.
  bool Create(const std::wstring& itemName, int page, const std::wstring& extension, OpenFile& file,
              FileFailure& failure) const;
  // Create, Append and Finish in one.
  bool WriteTemporary(const std::wstring& itemName, int page, const std::wstring& extension,
                      std::span<const unsigned char> bytes, TemporaryFile& file,
                      FileFailure& failure) const;

  // The files of the job named `itemName` take their names (file_names.h),
  // all with one copy number: the first (1, 2, 3, ...) under which none of
  // their names is taken. Each is renamed with MOVEFILE_WRITE_THROUGH and
  // never over a file that is there: when another program takes one of the
  // names meanwhile, those already renamed go back and the next copy is
  // tried. On success `named` holds them in the order given. On failure
  // (with `failure` set: also a name that could not be looked up, or a file
  // that could not be given back its temporary name) `files` says where
  // each file is, for the caller to remove them all: under its temporary
  // name, or, one that could not go back, under the name it took.
  bool Name(const std::wstring& itemName, std::vector<TemporaryFile>& files,
            std::vector<NamedFile>& named, FileFailure& failure) const;

  // A file of the folder's own by its name (`name`, ASCII): read whole (an
  // absent one reads as empty), or replaced whole, written under a
  // temporary name, flushed and renamed over the old one with
  // MOVEFILE_WRITE_THROUGH, so that it is always the old or the new one.
  bool ReadOwn(const std::string& name, std::string& text, FileFailure& failure) const;
  bool ReplaceOwn(const std::string& name, const std::string& text, FileFailure& failure) const;
  // The full path of a file of the folder's own, as the API takes it.
  std::wstring PathOf(const std::string& name) const;
  // How a file of the folder's own is shown: as the user gave the folder.
  std::string Shown(const std::string& name) const;

  // Removes a file (a temporary one, or one of a job that failed); false
  // with `failure` set.
  static bool Remove(const std::wstring& path, FileFailure& failure);

  // The names files took in the folder, to the disk: a rename alone gets
  // there when the file system gets to it, MOVEFILE_WRITE_THROUGH
  // notwithstanding (it speaks of moves that copy), so this comes before
  // anything is deleted on the scanner. The folder itself is flushed
  // (FlushFileBuffers on it, which Wine makes an fsync of the directory);
  // where the file system flushes no folder, each of `renamed` (full paths)
  // is opened and flushed instead, which on such a file system writes the
  // name with the file. False with `failure` set.
  bool Flush(const std::vector<std::wstring>& renamed, FileFailure& failure) const;

  // Removes the temporary files ("~stiscan-<process>-<n>.partial") that
  // processes no longer running left in the folder (killed, or the machine
  // stopped): called by the holder of the folder's lock, which no other
  // stiscan that could be writing one holds, before it makes one itself (a
  // file of its own process number is then an earlier process's). A file in
  // use is left alone.
  void RemoveLeftovers() const;

 private:
  std::string given_;    // as the user wrote it
  std::wstring folder_;  // full, without a closing backslash
};

}  // namespace stiscan

// What a pull makes of a job's pages, by --format: a PDF or a multi-page
// TIFF per job, written into its file page by page (never held whole), or a
// PNG, JPEG or BMP file per page; a file transfer's own BMP and TIFF files
// as the scanner delivered them. Every file is written under a temporary
// name and flushed to the disk; the job's commit step (job/commit.h) gives
// them their names. A page's file, or a document's page, is written on a
// thread of its own while the next page is read: one at most is in hand.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console/options.h"
#include "documents/image_files.h"
#include "documents/pdf_file.h"
#include "documents/wic_encoder.h"
#include "files/file_stream.h"
#include "files/folder.h"

namespace stiscan {

// Seconds on a steady clock.
double Seconds();

// What failed: a file's (the system's code) or an encoder's, and the page
// whose file it was when not the one at hand (0).
struct OutputFailure {
  std::string what;
  HRESULT hr = S_OK;
  bool file = false;
  int page = 0;
};

// Writes one file at a time on a thread of its own: a page's file of its
// own, or a document's next part.
class FileWriter {
 public:
  explicit FileWriter(const Folder& folder);
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Starts writing `bytes` (kept until written) as page `page` of the job
  // named `name` into a temporary file of its own; the one in hand before
  // must have been collected. Where no thread is to be had, the file is
  // written before it returns.
  void Start(const std::wstring& name, int page, const std::wstring& extension,
             std::vector<unsigned char>&& bytes);
  // Likewise appends `before`, `bytes` and `after` to `document`.
  void Append(OpenFile& document, int page, std::string&& before,
              std::vector<unsigned char>&& bytes, std::string&& after);
  // Waits for the one in hand, if any. False with `failure` set when it
  // could not be written; else a file of its own goes to `written`. Its
  // bytes go to `spare`.
  bool Collect(std::vector<TemporaryFile>& written, OutputFailure& failure,
               std::vector<unsigned char>& spare);
  // Seconds spent writing, on whichever thread.
  double Seconds() const { return seconds_; }

 private:
  struct Work;
  static DWORD WINAPI Run(void* work);
  void Begin(std::unique_ptr<Work> work);

  const Folder& folder_;
  std::unique_ptr<Work> work_;
  HANDLE thread_ = nullptr;
  double seconds_ = 0;
};

class JobOutput {
 public:
  JobOutput(const Options& options, const Folder& folder);
  ~JobOutput();
  JobOutput(const JobOutput&) = delete;
  JobOutput& operator=(const JobOutput&) = delete;

  // A file transfer: the driver's format code to ask for (5 BMP, 1 TIFF), and
  // whether its file is written as it came (bmp and tiff) rather than read
  // as a BMP and made into the format.
  DWORD DriverFormat() const;
  bool KeepsDriverFile() const;

  // Memory for the next page's bytes: that of a page whose file is
  // written (or none), so that page after page needs no new memory.
  std::vector<unsigned char> Memory() { return std::move(spare_); }
  // Takes back memory that a page no longer needs (the larger is kept).
  void Keep(std::vector<unsigned char>&& bytes)
  {
    if (bytes.capacity() > spare_.capacity()) spare_ = std::move(bytes);
  }

  // The job named `name` begins: `pages` pages, the first of `pageBytes`
  // uncompressed (the others are taken to be as large). Refused (false,
  // `failure` set) when its files could not hold it (document_limits.h) or
  // its document cannot be begun.
  bool Begin(const std::wstring& name, int pages, uint64_t pageBytes, OutputFailure& failure);
  // Whether a page after the first, of `pageBytes` uncompressed, fits the
  // job's files (WhyPageDoesNotFit): false with `failure` set when not.
  bool PageFits(uint64_t pageBytes, OutputFailure& failure) const;
  // Page `page` of the job: its file started (a format of one file per
  // page), or its part of the document written. A failure may be that of
  // the page before (`failure.page` says).
  bool Page(int page, Raster& raster, OutputFailure& failure);
  // A file transfer's page, written as the scanner delivered it, likewise.
  bool DriverFile(int page, std::vector<unsigned char>&& file, OutputFailure& failure);
  // The job's last page has come: every file of it is written and on the
  // disk (its document finished now); `files` gets them, under their
  // temporary names.
  bool End(std::vector<TemporaryFile>& files, OutputFailure& failure);
  // The job failed or was stopped: every file of it goes. How many were
  // removed; those that could not be go to `notRemoved`.
  size_t Drop(std::vector<FileFailure>* notRemoved = nullptr);

  // Where the time went: encoding the pages (and the documents), writing
  // the files (partly while the next page was read), and waiting for a
  // file to be written; and how many pages were encoded.
  double EncodeSeconds() const { return encodeSeconds_; }
  double WriteSeconds() const { return writer_.Seconds(); }
  double WaitSeconds() const { return waitSeconds_; }
  int EncodedPages() const { return encodedPages_; }

 private:
  bool Write(int page, const std::wstring& extension, std::vector<unsigned char>&& bytes,
             OutputFailure& failure);
  bool Collect(OutputFailure& failure);
  bool Encoded(bool ok, const EncodeFailure& failure, OutputFailure& out);
  void DropStream();

  const Options& options_;
  const Folder& folder_;
  FileWriter writer_;
  std::vector<unsigned char> spare_;
  WicEncoder encoder_;
  std::wstring name_;
  // The job's files written so far, and its document while it is written.
  std::vector<TemporaryFile> files_;
  OpenFile document_;
  PdfWriter pdf_;
  FileStream* stream_ = nullptr;
  int documentPages_ = 0;
  double encodeSeconds_ = 0, waitSeconds_ = 0;
  int encodedPages_ = 0;
};

}  // namespace stiscan

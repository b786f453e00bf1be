// What a pull makes of the pages that came over, by --format: a PDF or a
// multi-page TIFF per job (kept until the job's last page, so that a job
// that fails leaves no file), or a PNG, JPEG or BMP file per page; a file
// transfer's own BMP and TIFF files as the scanner delivered them. A page's
// file is written on a thread of its own while the next page is read; one
// file at most is in hand, and a job is over only once its files are written.
#pragma once

#include <windows.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "console/options.h"
#include "documents/image_files.h"
#include "documents/pdf_file.h"
#include "documents/wic_encoder.h"
#include "files/page_files.h"

namespace stiscan {

// Seconds on a steady clock.
double Seconds();

// A file written.
struct Written {
  std::string shown;  // as the user gave the folder
  std::wstring path;  // full
  long long bytes = 0;
  int page = 0;       // of its job; 0 for the job's document
};

// What failed: a file's (the system's code) or an encoder's, and the page
// whose file it was when not the one at hand (0).
struct OutputFailure {
  std::string what;
  HRESULT hr = S_OK;
  bool file = false;
  int page = 0;
};

// Writes one file at a time through `folder` on a thread of its own.
class FileWriter {
 public:
  explicit FileWriter(PageFolder& folder);
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Starts writing `bytes` (kept until written) as page `page` of the job
  // named `name`; the file in hand before must have been collected. Where
  // no thread is to be had, the file is written before it returns.
  void Start(const std::wstring& name, int page, const std::wstring& extension,
             std::vector<unsigned char>&& bytes);
  // Waits for the file in hand, if any. False with `failure` set when it
  // could not be written; else `written` gets it. Its bytes go to `spare`.
  bool Collect(std::vector<Written>& written, OutputFailure& failure,
               std::vector<unsigned char>& spare);
  // Seconds spent writing, on whichever thread.
  double Seconds() const { return seconds_; }

 private:
  struct Work;
  static DWORD WINAPI Run(void* work);

  PageFolder& folder_;
  std::unique_ptr<Work> work_;
  HANDLE thread_ = nullptr;
  double seconds_ = 0;
};

class PageOutput {
 public:
  PageOutput(const Options& options, PageFolder& folder);

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

  // Page `page` of the job named `name`. For a format of one file per page
  // its file is started (and the raster's bytes kept until it is written),
  // kept for the job's document otherwise. `written` gets the file of the
  // page before when that is done; a failure may be that page's
  // (`failure.page` says).
  bool Page(const std::wstring& name, int page, Raster& raster, std::vector<Written>& written,
            OutputFailure& failure);
  // A file transfer's page, written as the scanner delivered it, likewise.
  bool DriverFile(const std::wstring& name, int page, std::vector<unsigned char>&& file,
                  std::vector<Written>& written, OutputFailure& failure);
  // The job's last page has come: its files are written (its document, PDF
  // or TIFF, now).
  bool EndJob(const std::wstring& name, std::vector<Written>& written, OutputFailure& failure);
  // The job failed: what was kept of it goes; `written` gets the file that
  // was in hand if it was written, for the caller to remove with the others.
  void DropJob(std::vector<Written>& written);

  // Where the time went: encoding the pages (and the documents), writing
  // the files (partly while the next page was read), and waiting for a
  // file to be written; and how many pages were encoded.
  double EncodeSeconds() const { return encodeSeconds_; }
  double WriteSeconds() const { return writer_.Seconds(); }
  double WaitSeconds() const { return waitSeconds_; }
  int EncodedPages() const { return encodedPages_; }

 private:
  bool Write(const std::wstring& name, int page, const std::wstring& extension,
             std::vector<unsigned char>&& bytes, std::vector<Written>& written,
             OutputFailure& failure);
  bool Collect(std::vector<Written>& written, OutputFailure& failure);
  bool Encoded(bool ok, const EncodeFailure& failure, OutputFailure& out);

  const Options& options_;
  FileWriter writer_;
  std::vector<unsigned char> spare_;
  WicEncoder encoder_;
  std::vector<PdfImage> pdfPages_;
  bool tiffOpen_ = false;
  double encodeSeconds_ = 0, waitSeconds_ = 0;
  int encodedPages_ = 0;
};

}  // namespace stiscan

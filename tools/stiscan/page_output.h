// What a pull makes of the pages that came over, by --format: a PDF or a
// multi-page TIFF per job (kept until the job's last page, so that a job
// that fails leaves no file), or a PNG, JPEG or BMP file per page; a file
// transfer's own BMP and TIFF files as the scanner delivered them.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <vector>

#include "image_files.h"
#include "options.h"
#include "page_files.h"
#include "pdf_file.h"
#include "wic_encoder.h"

namespace stiscan {

// Seconds on a steady clock.
double Seconds();

// A file written.
struct Written {
  std::string shown;  // as the user gave the folder
  std::wstring path;  // full
  long long bytes = 0;
};

// What failed: a file's (the system's code) or an encoder's.
struct OutputFailure {
  std::string what;
  HRESULT hr = S_OK;
  bool file = false;
};

class PageOutput {
 public:
  PageOutput(const Options& options, PageFolder& folder);

  // A file transfer: the driver's format code to ask for (5 BMP, 1 TIFF), and
  // whether its file is written as it came (bmp and tiff) rather than read
  // as a BMP and made into the format.
  DWORD DriverFormat() const;
  bool KeepsDriverFile() const;

  // Page `page` of the job named `name`. Written now for a format of one
  // file per page (`written` gets it), kept for the job's document
  // otherwise.
  bool Page(const std::wstring& name, int page, const Raster& raster, std::vector<Written>& written,
            OutputFailure& failure);
  // A file transfer's page, written as the scanner delivered it.
  bool DriverFile(const std::wstring& name, int page, std::span<const unsigned char> file,
                  std::vector<Written>& written, OutputFailure& failure);
  // The job's last page has come: its document (PDF, TIFF) is written.
  bool EndJob(const std::wstring& name, std::vector<Written>& written, OutputFailure& failure);
  // The job failed: what was kept of it goes.
  void DropJob();

  // Where the time went: encoding the pages (and the documents), writing
  // the files; and how many pages were encoded.
  double EncodeSeconds() const { return encodeSeconds_; }
  double WriteSeconds() const { return writeSeconds_; }
  int EncodedPages() const { return encodedPages_; }

 private:
  bool Write(const std::wstring& name, int page, const std::wstring& extension,
             std::span<const unsigned char> bytes, std::vector<Written>& written,
             OutputFailure& failure);
  bool Encoded(bool ok, const EncodeFailure& failure, OutputFailure& out);

  const Options& options_;
  PageFolder& folder_;
  WicEncoder encoder_;
  std::vector<PdfImage> pdfPages_;
  bool tiffOpen_ = false;
  double encodeSeconds_ = 0, writeSeconds_ = 0;
  int encodedPages_ = 0;
};

}  // namespace stiscan

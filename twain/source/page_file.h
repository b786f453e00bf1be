// The files of pages that the source writes itself, row by row as the rows
// come over, never holding a page: a page cut to the frame (the scanner
// writes its pages whole), a JPEG (which the scanner does not write), and
// multi-page TIFF (which the scanner writes a job at a time, where a TWAIN
// application adds a page at each transfer). BMP and TIFF (uncompressed)
// are written here, JPEG through the platform's imaging component (WIC) in
// the application's process, with COM set up on the thread (jpeg_file.cpp).
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace twainds {

// The rows a writer is given: top-down, unpadded, 24 bits as R, G, B,
// 8 bits grey, 1 bit black and white most significant bit first with 0
// black.
struct RowShape {
  long width = 0, length = 0;
  int bits = 0;
  double xDpi = 0, yDpi = 0;
};

// Where a multi-page TIFF stands after its last page: what the next page
// is added to, if the file is still as it was left.
struct MultiPage {
  std::string path;
  ULONGLONG size = 0;       // the file's size after its last page
  ULONGLONG nextField = 0;  // where the last directory says where the next lies
  bool Open() const { return !path.empty(); }
};

class PageWriter {
 public:
  virtual ~PageWriter() = default;
  // `count` rows, the next ones of the page.
  virtual HRESULT Rows(const unsigned char* rows, long count) = 0;
  // The page complete. A writer let go without it takes its file back: a
  // new file is removed, a page being added to one is cut off again.
  virtual HRESULT Finish() = 0;
};

// A writer of the page `shape` into the file at `path` (ANSI code page) in
// `format` (TWFF_BMP, TWFF_TIFF, TWFF_JFIF or TWFF_TIFFMULTI). For
// TWFF_TIFFMULTI the page is added to `multiPage` when that names this
// path and the file is as it was left, else it starts the file; `multiPage`
// is where the file stands once Finish succeeded. Null with `hr` when the
// file cannot be made (`hr` HRESULT_FROM_WIN32 of the file system's error)
// or the format or shape is not one of these.
std::unique_ptr<PageWriter> WritePage(unsigned short format, const std::string& path,
                                      const RowShape& shape, MultiPage& multiPage, HRESULT& hr);

// WritePage's TWFF_JFIF writer (jpeg_file.cpp, the one that needs COM): null
// with `hr` when it cannot begin.
std::unique_ptr<PageWriter> WriteJpeg(const std::string& path, const RowShape& shape, HRESULT& hr);

}  // namespace twainds

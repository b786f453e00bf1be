// PDF documents of scanned pages, written page by page: one page per image,
// each page as large as the image at its resolution, the image's samples
// lossless (Flate, zlib) or as the JPEG encoder made them (DCT).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "documents/image_files.h"

namespace stiscan {

struct PdfImage {
  long width = 0, height = 0;
  double xDpi = 0, yDpi = 0;
  int bitsPerComponent = 8;  // 1 or 8
  int colours = 1;           // 1 (grey, black and white) or 3 (RGB)
  bool dct = false;          // `data` is a JPEG file; else Flate-compressed samples
  int predictorColumns = 0;  // Flate rows that start with a PNG filter byte: the width
  std::vector<unsigned char> data;
};

// The raster's samples as a Flate-compressed image: black and white as 1 bit
// (0 black), grey as 8, colour as R, G, B; rows of 8-bit samples carry the
// PNG "Sub" filter, which turns the smooth runs of a scan into small
// numbers. False when zlib fails.
bool FlateImage(const Raster& raster, PdfImage& out);

// A JPEG file of a page (as its encoder made it) as a DCT image.
PdfImage DctImage(const Raster& raster, std::vector<unsigned char>&& jpeg);

// The most bytes a PDF may have here: the cross-reference table gives every
// object's offset in ten digits.
constexpr uint64_t kMostPdfBytes = 9999999999ull;

// A document written as its pages come, never held whole: its header, the
// catalogue and the page tree first (the job's number of pages is known
// before its first page), then each page's objects as the page comes (its
// page, its content and its image), then the cross-reference table and the
// trailer. A page's size in points is its image's size at its resolution
// (72 dpi when the image says none). What it hands out, in order, is the
// document.
class PdfWriter {
 public:
  // The document's beginning, for `pages` pages.
  std::string Begin(size_t pages);
  // The next page's objects: `before` its image's data and `after` it.
  // False (nothing handed out) when the document would reach past
  // kMostPdfBytes, or all the pages begun with have come.
  bool Page(const PdfImage& image, std::string& before, std::string& after);
  // The cross-reference table and the trailer; false when fewer pages have
  // come than were begun with, or the table would reach past kMostPdfBytes.
  bool End(std::string& end);
  // The bytes handed out so far.
  uint64_t Size() const { return size_; }

 private:
  void Object(std::string& out, size_t number);

  uint64_t size_ = 0;
  size_t pages_ = 0, added_ = 0;
  std::vector<uint64_t> offsets_;  // of objects 1, 2, ...
};

}  // namespace stiscan

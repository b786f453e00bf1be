// PDF documents of scanned pages: one page per image, each page as large as
// the image at its resolution, the image's samples lossless (Flate, zlib) or
// as the JPEG encoder made them (DCT).
#pragma once

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

// The document: header, the catalogue, the page tree, a page, its content
// and its image per image, the cross-reference table and the trailer. A
// page's size in points is its image's size at its resolution (72 dpi when
// the image says none).
std::vector<unsigned char> PdfFile(const std::vector<PdfImage>& pages);

}  // namespace stiscan

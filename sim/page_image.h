// Page images of the simulated scanner: each page of a stored job is drawn
// from the job's description (size, depth, resolution) and encoded as the
// transfer asks — a DIB for a native transfer, BMP or TIFF bytes for a file
// transfer, plain rows for a memory transfer.
#pragma once

#include <vector>

#include "platform/win32.h"
#include "sim/scenario.h"

namespace sim {

struct PageImage {
  LONG width = 0;
  LONG height = 0;
  int bitsPerPixel = 24;  // 1, 8 or 24
  LONG dotsPerInch = 100;
  // Top-down rows without padding; 24-bit pixels in R, G, B order; 1-bit
  // pixels packed from the high bit, 0 is black.
  std::vector<BYTE> rows;

  size_t RowBytes() const { return (static_cast<size_t>(width) * bitsPerPixel + 7) / 8; }
};

// Dots per inch of the driver's resolution codes.
LONG DotsPerInch(LONG resolutionCode);

struct Rgb {
  BYTE r, g, b;
};

// The colour of one pixel of page `page` (from 1) of `job`, as RenderPage
// draws it (grey and black-and-white pages give equal r, g and b).
Rgb PageColour(const JobSpec& job, LONG page, LONG x, LONG y);

// Draws page `page` (from 1) of `job`: a frame, gradients and a band whose
// position depends on the page, so that pages differ and the image shows
// which way is up.
PageImage RenderPage(const JobSpec& job, LONG page);

// BITMAPINFOHEADER of the page as a bottom-up BI_RGB DIB.
BITMAPINFOHEADER DibHeader(const PageImage& image);
// What follows the header in a packed DIB: the palette (2 or 256 entries for
// 1 and 8 bits) and the bottom-up rows padded to 4 bytes, 24-bit as B, G, R.
std::vector<BYTE> DibData(const PageImage& image);
// A BMP file: file header, DIB header, DibData.
std::vector<BYTE> BmpFile(const PageImage& image);
// A little-endian baseline TIFF, uncompressed, one image file directory per
// page (one page: a plain TIFF; several: a multi-page TIFF).
std::vector<BYTE> TiffFile(const std::vector<PageImage>& pages);

}  // namespace sim

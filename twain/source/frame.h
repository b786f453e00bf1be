// The frame the application sets with DAT_IMAGELAYOUT, and the part of each
// page that it takes. A stored page cannot be scanned again in part: the
// source cuts the frame out of the page's pixels, at the page's own
// resolution, whichever way the page comes over.
#pragma once

#include <cstddef>

namespace twainds {

// A frame in inches from the top left corner of the scanner's area.
struct Frame {
  double left = 0, top = 0, right = 0, bottom = 0;
};

// Holds `frame` to the scanner's physical area (units.h: PhysicalArea);
// `clipped` says whether it reached past it. False when nothing of the
// frame lies within.
bool ClipToArea(Frame& frame, bool& clipped);

// A part of a page in its pixels: columns from `left`, rows from `top`
// counted top-down. An empty region has no width.
struct Region {
  long left = 0, top = 0, width = 0, length = 0;
  bool operator==(const Region&) const = default;
};

// The pixels of `frame` on a page of `width` by `length` pixels at `xDpi`
// and `yDpi` dots per inch, as far as the page has them: each edge at the
// pixel boundary nearest to it. Empty when the frame takes none of them.
Region RegionOf(const Frame& frame, long width, long length, double xDpi, double yDpi);

// The bytes of a row of `width` pixels: unpadded, and padded to 4 bytes as
// in a DIB.
size_t RowBytes(long width, int bitsPerPixel);
size_t DibRowBytes(long width, int bitsPerPixel);
// Whether a row of `width` pixels of `bitsPerPixel` bits is longer than the
// largest strip of a memory transfer (16 MiB): no page this source can
// bring over, and one whose sizes above would wrap on a 32-bit build.
bool RowTooLong(long width, int bitsPerPixel);

// Copies `width` pixels from pixel `left` on of a row of `rowBytes` bytes
// to the start of `to`, whose bits after the last pixel are 0. `to` may be
// the row itself or lie before it: the copy goes front to back.
void CopyPixels(const unsigned char* row, size_t rowBytes, long left, long width, int bitsPerPixel,
                unsigned char* to);

// Cuts `region` out of the packed DIB of `bytes` bytes at `dib` (header,
// palette, rows) where it lies: the region's rows move to the front and the
// header gives its size. The DIB's new size, or 0 when it is not a DIB of
// 1, 8 or 24 bits that holds the region whole.
size_t CropDib(unsigned char* dib, size_t bytes, const Region& region);

}  // namespace twainds

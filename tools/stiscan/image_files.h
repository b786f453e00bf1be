// Page images as files a standard viewer opens: BMP files made from what a
// native transfer delivers (a bitmap header and the DIB after it) or from the
// rows of a memory transfer (top-down, unpadded, 24-bit as R, G, B).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace stiscan {

constexpr size_t kBitmapInfoHeaderBytes = 40;

// The bytes of the palette that follows a bitmap header (none above 8 bits).
size_t PaletteBytes(const unsigned char* infoHeader);

// The size of the DIB after the header: palette and padded rows.
size_t DibBytes(const unsigned char* infoHeader);

// A BMP file of a 40-byte bitmap header and the DIB data after it; empty when
// the header is not one (biSize 40, 1/8/24 bits, BI_RGB) or the data is
// short.
std::vector<unsigned char> BmpFromDib(const unsigned char* infoHeader,
                                      const std::vector<unsigned char>& dib);

// A BMP file of top-down unpadded rows of 1, 8 (grey levels) or 24 bits per
// pixel; empty when the rows are short or the depth is another.
std::vector<unsigned char> BmpFromRows(long width, long height, int bitsPerPixel,
                                       const std::vector<unsigned char>& rows);

}  // namespace stiscan

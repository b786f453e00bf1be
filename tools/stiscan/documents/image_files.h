// A page as it came over, and its BMP file. A native transfer (a bitmap
// header and the DIB after it) and a file transfer of a BMP are held as the
// BMP file itself, whose rows every other format reads in place; a memory
// transfer's rows (top-down, unpadded, 24-bit as R, G, B) are held as they
// came, 24-bit turned to B, G, R where they lie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace stiscan {

constexpr size_t kBitmapInfoHeaderBytes = 40;
// The file header and the bitmap header before a BMP file's palette.
constexpr size_t kBmpHeadersBytes = 14 + kBitmapInfoHeaderBytes;

// The bytes of the palette that follows a bitmap header (none above 8 bits).
size_t PaletteBytes(const unsigned char* infoHeader);

// The size of the DIB after the header: palette and padded rows; 0 for a
// header that is not one of 1, 8 or 24 bits and a positive width, or whose
// page does not fit PageFits.
size_t DibBytes(const unsigned char* infoHeader);

// Whether a page of `bytes` can be held at all: sizes a driver states are
// counted in 64 bits, and one above half of what size_t counts (on the 32-bit
// build, 2 GiB) is refused rather than wrapped.
bool PageFits(uint64_t bytes);

// What a page's pixels are once its palette is read: black and white (1 bit,
// 0 black), grey levels (8 bits, 0 black), or colour (24 bits, B, G, R).
enum class Pixels { kBlackWhite, kGrey, kColour };

struct Raster {
  long width = 0, height = 0;
  int bitsPerPixel = 0;     // as stored: 1, 8 or 24
  double xDpi = 0, yDpi = 0;
  std::vector<unsigned char> bytes;  // the rows from `first` on; a whole BMP file when `isBmp`
  size_t first = 0;
  size_t stride = 0;
  bool bottomUp = false;
  bool isBmp = false;
  // 1 and 8 bits: B, G, R, 0 per entry, as in a DIB.
  std::vector<unsigned char> palette;

  size_t RowBytes() const { return (static_cast<size_t>(width) * bitsPerPixel + 7) / 8; }
  // Row `y` counted from the top.
  const unsigned char* Row(long y) const
  {
    const long stored = bottomUp ? height - 1 - y : y;
    return bytes.data() + first + static_cast<size_t>(stored) * stride;
  }
};

// The pixels a raster's palette makes: black and white for 1 bit whose
// entries are black and white (either way round), grey for 8 bits whose
// entries are the 256 grey levels, colour otherwise.
Pixels PixelsOf(const Raster& raster);

// Bits per pixel of PixelsOf: 1, 8 or 24.
int PlainBits(Pixels pixels);

// Row `y` (from the top) as PixelsOf says it is, into `out` of
// (width * PlainBits + 7) / 8 bytes: 1 bit with 0 black, grey levels, or
// B, G, R (a palette's colours looked up).
void PlainRow(const Raster& raster, Pixels pixels, long y, unsigned char* out);

// A BMP file's raster, the file kept whole: false when it is not a BMP of a
// 40-byte header, 1, 8 or 24 bits, BI_RGB, or its data is short. The
// resolution is the given one, written into the file's header too (a file
// of 0 dpi keeps its own).
bool RasterFromBmp(std::vector<unsigned char>&& file, double xDpi, double yDpi, Raster& out);

// The BMP file of a native transfer, made in `file` (whose memory is used
// again, page after page): the bitmap header and `dibBytes` (DibBytes) of
// room after it, filled by the reads at `kBmpHeadersBytes`.
void BmpForDib(const unsigned char* infoHeader, size_t dibBytes, std::vector<unsigned char>& file);

// The BMP file of a memory transfer's page, made in `file` likewise: its
// headers, the grey palette of 1 and 8 bits, and room for the rows, which
// PlaceRows puts in as they come; false for a depth of another kind or no
// width or height.
bool BmpForRows(long width, long height, int bitsPerPixel, double xDpi, double yDpi,
                std::vector<unsigned char>& file);
// Puts `count` top-down unpadded rows (24 bits as R, G, B) from row `first`
// (counted from the top) where the file of BmpForRows holds them: bottom-up,
// padded with zeros, 24 bits as B, G, R.
void PlaceRows(std::vector<unsigned char>& file, const unsigned char* rows, long first, long count);

// Top-down unpadded rows of 1, 8 (grey levels) or 24 bits (R, G, B), as a
// BMP file's raster (BmpForRows, PlaceRows); false when the rows are short
// or the depth is another.
bool RasterFromRows(long width, long height, int bitsPerPixel, double xDpi, double yDpi,
                    std::vector<unsigned char>&& rows, Raster& out);

// The raster as a BMP file: the file itself when it is one, else one made
// (bottom-up rows padded to 4 bytes, the palette, the resolution).
std::span<const unsigned char> BmpBytes(const Raster& raster, std::vector<unsigned char>& made);

}  // namespace stiscan

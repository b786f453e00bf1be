#include "documents/image_files.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace stiscan {

namespace {

uint32_t Read32(const unsigned char* p)
{
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t Read16(const unsigned char* p)
{
  return uint16_t(p[0] | p[1] << 8);
}

void Write32(unsigned char* p, uint32_t v)
{
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void Write16(unsigned char* p, uint16_t v)
{
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

// A page's bytes counted in 64 bits (what a driver states may not fit
// size_t): `rows` rows of pixels, each padded to 4 bytes as in a BMP, or to
// a byte as a memory transfer sends them.
uint64_t PageBytes(long width, int bitsPerPixel, uint64_t rows, bool padded)
{
  const uint64_t bits = static_cast<uint64_t>(width) * static_cast<uint64_t>(bitsPerPixel);
  return (padded ? (bits + 31) / 32 * 4 : (bits + 7) / 8) * rows;
}

size_t PaddedRow(long width, int bitsPerPixel)
{
  return (static_cast<size_t>(width) * static_cast<size_t>(bitsPerPixel) + 31) / 32 * 4;
}

bool ValidDepth(int bitsPerPixel)
{
  return bitsPerPixel == 1 || bitsPerPixel == 8 || bitsPerPixel == 24;
}

uint32_t PelsPerMetre(double dpi)
{
  return static_cast<uint32_t>(std::lround(dpi * 10000.0 / 254.0));
}

// The file header before a bitmap header at bytes 14..54.
void WriteFileHeader(unsigned char* file, size_t fileBytes, size_t paletteBytes)
{
  file[0] = 'B';
  file[1] = 'M';
  Write32(file + 2, static_cast<uint32_t>(fileBytes));
  Write32(file + 6, 0);
  Write32(file + 10, static_cast<uint32_t>(kBmpHeadersBytes + paletteBytes));
}

std::vector<unsigned char> GreyPalette(int bitsPerPixel)
{
  std::vector<unsigned char> palette;
  const size_t entries = size_t(1) << bitsPerPixel;
  for (size_t i = 0; i < entries; ++i) {
    const unsigned char level = static_cast<unsigned char>(entries == 2 ? i * 255 : i);
    palette.insert(palette.end(), {level, level, level, 0});
  }
  return palette;
}

bool IsGrey(const unsigned char* entry, unsigned level)
{
  return entry[0] == level && entry[1] == level && entry[2] == level;
}

}  // namespace

size_t PaletteBytes(const unsigned char* infoHeader)
{
  const uint16_t bits = Read16(infoHeader + 14);
  if (bits > 8) return 0;
  const uint32_t used = Read32(infoHeader + 32);
  return 4 * static_cast<size_t>(used != 0 && used <= (1u << bits) ? used : 1u << bits);
}

size_t DibBytes(const unsigned char* infoHeader)
{
  const long width = static_cast<int32_t>(Read32(infoHeader + 4));
  const long height = static_cast<int32_t>(Read32(infoHeader + 8));
  const int bits = Read16(infoHeader + 14);
  if (width <= 0 || height == 0 || !ValidDepth(bits)) return 0;
  const uint64_t rows =
      PageBytes(width, bits, static_cast<uint64_t>(height < 0 ? -int64_t{height} : height), true);
  return PageFits(rows) ? PaletteBytes(infoHeader) + static_cast<size_t>(rows) : 0;
}

bool PageFits(uint64_t bytes)
{
  return bytes <= std::numeric_limits<size_t>::max() / 2;
}

Pixels PixelsOf(const Raster& raster)
{
  const std::vector<unsigned char>& p = raster.palette;
  if (raster.bitsPerPixel == 1 && p.size() >= 8 &&
      ((IsGrey(&p[0], 0) && IsGrey(&p[4], 255)) || (IsGrey(&p[0], 255) && IsGrey(&p[4], 0))))
    return Pixels::kBlackWhite;
  if (raster.bitsPerPixel == 8 && p.size() == 1024) {
    bool grey = true;
    for (unsigned i = 0; i < 256 && grey; ++i) grey = IsGrey(&p[4 * i], i);
    if (grey) return Pixels::kGrey;
  }
  return Pixels::kColour;
}

int PlainBits(Pixels pixels)
{
  return pixels == Pixels::kBlackWhite ? 1 : pixels == Pixels::kGrey ? 8 : 24;
}

void PlainRow(const Raster& raster, Pixels pixels, long y, unsigned char* out)
{
  const unsigned char* row = raster.Row(y);
  const size_t bytes = raster.RowBytes();
  if (raster.bitsPerPixel == PlainBits(pixels)) {
    std::memcpy(out, row, bytes);
    // A palette whose first entry is white: the bits say the other way round.
    if (pixels == Pixels::kBlackWhite && raster.palette[0] != 0)
      for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(~out[i]);
    return;
  }
  // Colours of a palette (1 or 8 bits), looked up.
  const size_t entries = raster.palette.size() / 4;
  for (long x = 0; x < raster.width; ++x) {
    const size_t index =
        raster.bitsPerPixel == 8 ? row[x] : (row[x / 8] >> (7 - x % 8)) & 1u;
    const unsigned char* entry = index < entries ? &raster.palette[4 * index] : nullptr;
    for (int c = 0; c < 3; ++c) out[3 * x + c] = entry != nullptr ? entry[c] : 0;
  }
}

bool RasterFromBmp(std::vector<unsigned char>&& file, double xDpi, double yDpi, Raster& out)
{
  if (file.size() < kBmpHeadersBytes || file[0] != 'B' || file[1] != 'M') return false;
  unsigned char* header = file.data() + 14;
  const size_t dib = DibBytes(header);
  const size_t rowsAt = Read32(file.data() + 10);
  const size_t palette = PaletteBytes(header);
  if (Read32(header) != kBitmapInfoHeaderBytes || Read32(header + 16) != 0 || dib == 0 ||
      rowsAt < kBmpHeadersBytes + palette || rowsAt > file.size() ||
      file.size() - rowsAt < dib - palette) {
    return false;
  }
  Raster r;
  r.width = static_cast<int32_t>(Read32(header + 4));
  const long height = static_cast<int32_t>(Read32(header + 8));
  r.height = height < 0 ? -height : height;
  r.bitsPerPixel = Read16(header + 14);
  r.bottomUp = height > 0;
  r.stride = PaddedRow(r.width, r.bitsPerPixel);
  r.first = rowsAt;
  r.palette.assign(file.begin() + kBmpHeadersBytes,
                   file.begin() + static_cast<std::ptrdiff_t>(kBmpHeadersBytes + palette));
  if (xDpi > 0 && yDpi > 0) {
    Write32(header + 24, PelsPerMetre(xDpi));
    Write32(header + 28, PelsPerMetre(yDpi));
  }
  r.xDpi = static_cast<double>(Read32(header + 24)) * 0.0254;
  r.yDpi = static_cast<double>(Read32(header + 28)) * 0.0254;
  if (xDpi > 0 && yDpi > 0) r.xDpi = xDpi, r.yDpi = yDpi;
  r.isBmp = true;
  r.bytes = std::move(file);
  out = std::move(r);
  return true;
}

void BmpForDib(const unsigned char* infoHeader, size_t dibBytes, std::vector<unsigned char>& file)
{
  // Sized, not cleared: the reads fill every byte after the headers.
  file.resize(kBmpHeadersBytes + dibBytes);
  std::memcpy(file.data() + 14, infoHeader, kBitmapInfoHeaderBytes);
  WriteFileHeader(file.data(), file.size(), PaletteBytes(infoHeader));
}

namespace {

// Sizes `file` for a bottom-up BMP of the given page and writes its headers
// and palette; the rows after them are left as they were, for the caller to fill.
void BmpHeaders(long width, long height, int bitsPerPixel, double xDpi, double yDpi,
                const std::vector<unsigned char>& palette, std::vector<unsigned char>& file)
{
  const size_t rows = PaddedRow(width, bitsPerPixel) * static_cast<size_t>(height);
  file.resize(kBmpHeadersBytes + palette.size() + rows);
  std::memset(file.data(), 0, kBmpHeadersBytes);
  unsigned char* header = file.data() + 14;
  WriteFileHeader(file.data(), file.size(), palette.size());
  Write32(header, kBitmapInfoHeaderBytes);
  Write32(header + 4, static_cast<uint32_t>(width));
  Write32(header + 8, static_cast<uint32_t>(height));
  Write16(header + 12, 1);
  Write16(header + 14, static_cast<uint16_t>(bitsPerPixel));
  Write32(header + 20, static_cast<uint32_t>(rows));
  Write32(header + 24, PelsPerMetre(xDpi));
  Write32(header + 28, PelsPerMetre(yDpi));
  Write32(header + 32, static_cast<uint32_t>(palette.size() / 4));
  if (!palette.empty()) std::memcpy(file.data() + kBmpHeadersBytes, palette.data(), palette.size());
}

}  // namespace

bool BmpForRows(long width, long height, int bitsPerPixel, double xDpi, double yDpi,
                std::vector<unsigned char>& file)
{
  if (width <= 0 || height <= 0 || !ValidDepth(bitsPerPixel)) return false;
  if (!PageFits(PageBytes(width, bitsPerPixel, static_cast<uint64_t>(height), true)))
    return false;
  BmpHeaders(width, height, bitsPerPixel, xDpi, yDpi,
             bitsPerPixel == 24 ? std::vector<unsigned char>() : GreyPalette(bitsPerPixel), file);
  return true;
}

void PlaceRows(std::vector<unsigned char>& file, const unsigned char* rows, long first, long count)
{
  const unsigned char* header = file.data() + 14;
  const long width = static_cast<int32_t>(Read32(header + 4));
  const long height = static_cast<int32_t>(Read32(header + 8));
  const int bits = Read16(header + 14);
  const size_t plain = (static_cast<size_t>(width) * static_cast<size_t>(bits) + 7) / 8;
  const size_t padded = PaddedRow(width, bits);
  unsigned char* const rowsAt = file.data() + Read32(file.data() + 10);
  for (long y = first; y < first + count && y < height; ++y, rows += plain) {
    unsigned char* out = rowsAt + static_cast<size_t>(height - 1 - y) * padded;
    if (bits == 24) {
      for (size_t i = 0; i < plain; i += 3) {
        out[i] = rows[i + 2];
        out[i + 1] = rows[i + 1];
        out[i + 2] = rows[i];
      }
    } else {
      std::memcpy(out, rows, plain);
    }
    if (padded > plain) std::memset(out + plain, 0, padded - plain);
  }
}

bool RasterFromRows(long width, long height, int bitsPerPixel, double xDpi, double yDpi,
                    std::vector<unsigned char>&& rows, Raster& out)
{
  std::vector<unsigned char> file;
  if (!BmpForRows(width, height, bitsPerPixel, xDpi, yDpi, file)) return false;
  if (rows.size() < PageBytes(width, bitsPerPixel, static_cast<uint64_t>(height), false))
    return false;
  PlaceRows(file, rows.data(), 0, height);
  return RasterFromBmp(std::move(file), xDpi, yDpi, out);
}

std::span<const unsigned char> BmpBytes(const Raster& raster, std::vector<unsigned char>& made)
{
  if (raster.isBmp) return raster.bytes;
  BmpHeaders(raster.width, raster.height, raster.bitsPerPixel, raster.xDpi, raster.yDpi,
             raster.palette, made);
  const size_t padded = PaddedRow(raster.width, raster.bitsPerPixel);
  const size_t plain = raster.RowBytes();
  unsigned char* next = made.data() + kBmpHeadersBytes + raster.palette.size();
  for (long y = raster.height - 1; y >= 0; --y, next += padded) {
    std::memcpy(next, raster.Row(y), plain);
    std::memset(next + plain, 0, padded - plain);
  }
  return made;
}

}  // namespace stiscan

#include "image_files.h"

#include <cstring>
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

void Put32(std::vector<unsigned char>& out, uint32_t v)
{
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void Put16(std::vector<unsigned char>& out, uint16_t v)
{
  out.push_back(static_cast<unsigned char>(v));
  out.push_back(static_cast<unsigned char>(v >> 8));
}

size_t PaddedRow(long width, int bitsPerPixel)
{
  return (static_cast<size_t>(width) * static_cast<size_t>(bitsPerPixel) + 31) / 32 * 4;
}

// The 14-byte file header and the 40-byte bitmap header.
std::vector<unsigned char> Headers(long width, long height, int bitsPerPixel, size_t paletteBytes,
                                   size_t imageBytes)
{
  std::vector<unsigned char> out;
  const size_t offset = 14 + kBitmapInfoHeaderBytes + paletteBytes;
  out.push_back('B');
  out.push_back('M');
  Put32(out, static_cast<uint32_t>(offset + imageBytes));
  Put32(out, 0);
  Put32(out, static_cast<uint32_t>(offset));
  Put32(out, kBitmapInfoHeaderBytes);
  Put32(out, static_cast<uint32_t>(width));
  Put32(out, static_cast<uint32_t>(height));
  Put16(out, 1);
  Put16(out, static_cast<uint16_t>(bitsPerPixel));
  Put32(out, 0);  // BI_RGB
  Put32(out, static_cast<uint32_t>(imageBytes));
  Put32(out, 3937);  // 100 dpi in pixels per metre
  Put32(out, 3937);
  Put32(out, 0);
  Put32(out, 0);
  return out;
}

bool ValidDepth(int bitsPerPixel)
{
  return bitsPerPixel == 1 || bitsPerPixel == 8 || bitsPerPixel == 24;
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
  return PaletteBytes(infoHeader) +
         PaddedRow(width, bits) * static_cast<size_t>(height < 0 ? -height : height);
}

std::vector<unsigned char> BmpFromDib(const unsigned char* infoHeader,
                                      const std::vector<unsigned char>& dib)
{
  const size_t bytes = DibBytes(infoHeader);
  if (Read32(infoHeader) != kBitmapInfoHeaderBytes || Read32(infoHeader + 16) != 0 || bytes == 0 ||
      dib.size() < bytes) {
    return {};
  }
  const size_t palette = PaletteBytes(infoHeader);
  std::vector<unsigned char> out;
  out.push_back('B');
  out.push_back('M');
  Put32(out, static_cast<uint32_t>(14 + kBitmapInfoHeaderBytes + bytes));
  Put32(out, 0);
  Put32(out, static_cast<uint32_t>(14 + kBitmapInfoHeaderBytes + palette));
  out.insert(out.end(), infoHeader, infoHeader + kBitmapInfoHeaderBytes);
  out.insert(out.end(), dib.begin(), dib.begin() + static_cast<std::ptrdiff_t>(bytes));
  return out;
}

std::vector<unsigned char> BmpFromRows(long width, long height, int bitsPerPixel,
                                       const std::vector<unsigned char>& rows)
{
  if (width <= 0 || height <= 0 || !ValidDepth(bitsPerPixel)) return {};
  const size_t plain = (static_cast<size_t>(width) * static_cast<size_t>(bitsPerPixel) + 7) / 8;
  const size_t padded = PaddedRow(width, bitsPerPixel);
  if (rows.size() < plain * static_cast<size_t>(height)) return {};
  const size_t paletteEntries = bitsPerPixel == 24 ? 0 : size_t(1) << bitsPerPixel;
  std::vector<unsigned char> out = Headers(width, height, bitsPerPixel, 4 * paletteEntries,
                                           padded * static_cast<size_t>(height));
  // Grey levels for 8 bits; black and white for 1 bit.
  for (size_t i = 0; i < paletteEntries; ++i) {
    const unsigned char level = static_cast<unsigned char>(paletteEntries == 2 ? i * 255 : i);
    out.insert(out.end(), {level, level, level, 0});
  }
  // Bottom-up, each row padded to 4 bytes, 24-bit pixels as B, G, R.
  for (long y = height - 1; y >= 0; --y) {
    const unsigned char* row = rows.data() + plain * static_cast<size_t>(y);
    const size_t start = out.size();
    out.insert(out.end(), row, row + plain);
    if (bitsPerPixel == 24)
      for (size_t x = start; x + 2 < out.size(); x += 3) std::swap(out[x], out[x + 2]);
    out.resize(start + padded, 0);
  }
  return out;
}

}  // namespace stiscan

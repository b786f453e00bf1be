// A page's pixels as the test clients compare them: rows top-down without
// padding, 24-bit as R, G, B, fingerprinted as pixel_hash.h does, from what
// a transfer delivers (a DIB's rows, or rows as they are).
#pragma once

#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "pixel_hash.h"

// The rows of a DIB whose bits (after its palette) are at `bits`.
inline std::vector<unsigned char> DibRows(const BITMAPINFOHEADER& h, const unsigned char* bits)
{
  const long width = h.biWidth, height = std::labs(h.biHeight), bpp = h.biBitCount;
  const long padded = (width * bpp + 31) / 32 * 4, plain = (width * bpp + 7) / 8;
  std::vector<unsigned char> rows;
  for (long y = 0; y < height; ++y) {
    const unsigned char* row = bits + padded * (h.biHeight > 0 ? height - 1 - y : y);
    for (long x = 0; x < plain; ++x) rows.push_back(row[x]);
    if (bpp == 24)
      for (size_t x = rows.size() - plain; x < rows.size(); x += 3) std::swap(rows[x], rows[x + 2]);
  }
  return rows;
}

inline long PaletteBytes(const BITMAPINFOHEADER& h)
{
  if (h.biBitCount > 8) return 0;
  return 4L * (h.biClrUsed != 0 ? static_cast<long>(h.biClrUsed) : 1L << h.biBitCount);
}

inline std::string HashText(const std::vector<unsigned char>& rows)
{
  char text[24];
  std::snprintf(text, sizeof text, "%016" PRIx64, PixelHash(rows.data(), rows.size()));
  return text;
}

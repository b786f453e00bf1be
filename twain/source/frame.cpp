#include "source/frame.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "source/units.h"

namespace twainds {

bool ClipToArea(Frame& frame, bool& clipped)
{
  // An edge past the area by less than this is the area's edge as the
  // application's units and TW_FIX32's sixteen bits of fraction give it.
  constexpr double kSlack = 0.001;
  const Paper area = PhysicalArea();
  const Frame wanted = frame;
  frame.left = std::max(frame.left, 0.0);
  frame.top = std::max(frame.top, 0.0);
  frame.right = std::min(frame.right, area.width);
  frame.bottom = std::min(frame.bottom, area.height);
  clipped = wanted.left < -kSlack || wanted.top < -kSlack || wanted.right > area.width + kSlack ||
            wanted.bottom > area.height + kSlack;
  return frame.right > frame.left && frame.bottom > frame.top;
}

Region RegionOf(const Frame& frame, long width, long length, double xDpi, double yDpi)
{
  if (width <= 0 || length <= 0 || !(xDpi > 0) || !(yDpi > 0)) return {};
  const auto edge = [](double inches, double dpi, long most) {
    return static_cast<long>(std::clamp(std::round(inches * dpi), 0.0, static_cast<double>(most)));
  };
  const long left = edge(frame.left, xDpi, width), right = edge(frame.right, xDpi, width);
  const long top = edge(frame.top, yDpi, length), bottom = edge(frame.bottom, yDpi, length);
  if (right <= left || bottom <= top) return {};
  return {left, top, right - left, bottom - top};
}

size_t RowBytes(long width, int bitsPerPixel)
{
  return (static_cast<size_t>(width) * static_cast<size_t>(bitsPerPixel) + 7) / 8;
}

size_t DibRowBytes(long width, int bitsPerPixel)
{
  return (static_cast<size_t>(width) * static_cast<size_t>(bitsPerPixel) + 31) / 32 * 4;
}

bool RowTooLong(long width, int bitsPerPixel)
{
  constexpr unsigned long long kLargestRow = 16ull << 20;
  return width > 0 && bitsPerPixel > 0 &&
         (static_cast<unsigned long long>(width) * static_cast<unsigned long long>(bitsPerPixel) +
          31) / 32 * 4 >
             kLargestRow;
}

void CopyPixels(const unsigned char* row, size_t rowBytes, long left, long width, int bitsPerPixel,
                unsigned char* to)
{
  const size_t bytes = RowBytes(width, bitsPerPixel);
  const size_t firstBit = static_cast<size_t>(left) * static_cast<size_t>(bitsPerPixel);
  const size_t from = firstBit / 8;
  const unsigned shift = firstBit % 8;
  if (shift == 0) {
    std::memmove(to, row + from, bytes);
  } else {
    // Black and white from a pixel within a byte: each byte of the copy
    // is made of two of the row's.
    for (size_t i = 0; i < bytes; ++i) {
      const unsigned high = static_cast<unsigned>(row[from + i]) << shift;
      const unsigned low = from + i + 1 < rowBytes ? row[from + i + 1] >> (8 - shift) : 0;
      to[i] = static_cast<unsigned char>(high | low);
    }
  }
  const size_t spare = bytes * 8 - static_cast<size_t>(width) * bitsPerPixel;
  if (spare != 0) to[bytes - 1] &= static_cast<unsigned char>(0xFF << spare);
}

size_t CropDib(unsigned char* dib, size_t bytes, const Region& region)
{
  BITMAPINFOHEADER header;
  if (bytes < sizeof header) return 0;
  std::memcpy(&header, dib, sizeof header);
  const int bits = header.biBitCount;
  if (header.biSize != sizeof header || header.biCompression != BI_RGB ||
      (bits != 1 && bits != 8 && bits != 24) || header.biWidth <= 0 || header.biHeight == 0 ||
      header.biHeight == std::numeric_limits<LONG>::min() ||
      (bits <= 8 && header.biClrUsed > (1u << bits)))
    return 0;
  const long width = header.biWidth, length = std::labs(header.biHeight);
  if (region.width <= 0 || region.length <= 0 || region.left < 0 || region.top < 0 ||
      region.width > width - region.left || region.length > length - region.top)
    return 0;
  const size_t palette =
      bits > 8 ? 0 : 4 * static_cast<size_t>(header.biClrUsed != 0 ? header.biClrUsed : 1u << bits);
  const size_t start = sizeof header + palette;
  const size_t stride = DibRowBytes(width, bits), cutStride = DibRowBytes(region.width, bits);
  if (start > bytes || (bytes - start) / stride < static_cast<size_t>(length)) return 0;

  // Row after row from the lowest address up: each cut row lands at or
  // before the row it comes from, and ends before the next one begins.
  const bool bottomUp = header.biHeight > 0;
  const long first = bottomUp ? length - region.top - region.length : region.top;
  unsigned char* rows = dib + start;
  const size_t pixels = RowBytes(region.width, bits);
  for (long k = 0; k < region.length; ++k) {
    unsigned char* to = rows + static_cast<size_t>(k) * cutStride;
    CopyPixels(rows + static_cast<size_t>(first + k) * stride, RowBytes(width, bits), region.left,
               region.width, bits, to);
    std::memset(to + pixels, 0, cutStride - pixels);
  }
  header.biWidth = region.width;
  header.biHeight = bottomUp ? region.length : -region.length;
  header.biSizeImage = static_cast<DWORD>(cutStride * static_cast<size_t>(region.length));
  std::memcpy(dib, &header, sizeof header);
  return start + header.biSizeImage;
}

}  // namespace twainds

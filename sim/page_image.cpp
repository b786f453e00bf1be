#include "sim/page_image.h"

#include <cstring>

namespace sim {

namespace {

void Put32(std::vector<BYTE>& out, size_t at, uint32_t v)
{
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<BYTE>(v >> (8 * i));
}

void Append16(std::vector<BYTE>& out, uint32_t v)
{
  out.push_back(static_cast<BYTE>(v));
  out.push_back(static_cast<BYTE>(v >> 8));
}

void Append32(std::vector<BYTE>& out, uint32_t v)
{
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

size_t PaddedRowBytes(const PageImage& image)
{
  return ((image.RowBytes() + 3) / 4) * 4;
}

int PaletteEntries(const PageImage& image)
{
  return image.bitsPerPixel == 1 ? 2 : image.bitsPerPixel == 8 ? 256 : 0;
}

}  // namespace

LONG DotsPerInch(LONG resolutionCode)
{
  static const LONG table[] = {100, 200, 300, 400, 600, 150, 72};
  return resolutionCode >= 0 && resolutionCode < 7 ? table[resolutionCode] : 600;
}

Rgb PageColour(const JobSpec& job, LONG page, LONG x, LONG y)
{
  const LONG w = job.width, h = job.height;
  const LONG frame = 4;
  // A band across the page whose height position moves with the page number.
  const LONG bandTop = (h / 8) * ((page - 1) % 6 + 1);
  const LONG bandBottom = bandTop + h / 16 + 1;
  const bool edge = x < frame || y < frame || x >= w - frame || y >= h - frame;
  const bool band = y >= bandTop && y < bandBottom;
  if (job.deliveredDepth == 24) {
    if (band) return {255, 255, 255};
    if (edge) return {0, 0, 0};
    return {static_cast<BYTE>(x * 255 / (w > 1 ? w - 1 : 1)),
            static_cast<BYTE>(y * 255 / (h > 1 ? h - 1 : 1)),
            static_cast<BYTE>((page * 53 + ((x / 16 + y / 16) % 2) * 100) & 0xFF)};
  }
  if (job.deliveredDepth == 8) {
    BYTE v = static_cast<BYTE>((x + y) * 255 / (w + h > 2 ? w + h - 2 : 1));
    if (edge) v = 0;
    if (band) v = 255;
    return {v, v, v};
  }
  bool white = ((x / 8 + y / 8 + page) % 2) != 0;
  if (edge) white = false;
  if (band) white = true;
  const BYTE v = white ? 255 : 0;
  return {v, v, v};
}

PageImage RenderPage(const JobSpec& job, LONG page)
{
  PageImage image;
  image.width = job.width;
  image.height = job.height;
  image.bitsPerPixel = static_cast<int>(job.deliveredDepth);
  image.dotsPerInch = DotsPerInch(job.resolution);
  const size_t rowBytes = image.RowBytes();
  image.rows.assign(rowBytes * static_cast<size_t>(image.height), 0);
  for (LONG y = 0; y < image.height; ++y) {
    BYTE* row = image.rows.data() + static_cast<size_t>(y) * rowBytes;
    for (LONG x = 0; x < image.width; ++x) {
      const Rgb colour = PageColour(job, page, x, y);
      if (image.bitsPerPixel == 24) {
        row[3 * x] = colour.r;
        row[3 * x + 1] = colour.g;
        row[3 * x + 2] = colour.b;
      } else if (image.bitsPerPixel == 8) {
        row[x] = colour.r;
      } else if (colour.r != 0) {
        row[x / 8] = static_cast<BYTE>(row[x / 8] | (0x80 >> (x % 8)));
      }
    }
  }
  return image;
}

BITMAPINFOHEADER DibHeader(const PageImage& image)
{
  BITMAPINFOHEADER header{};
  header.biSize = sizeof(BITMAPINFOHEADER);
  header.biWidth = image.width;
  header.biHeight = image.height;
  header.biPlanes = 1;
  header.biBitCount = static_cast<WORD>(image.bitsPerPixel);
  header.biCompression = BI_RGB;
  header.biSizeImage =
      static_cast<DWORD>(PaddedRowBytes(image) * static_cast<size_t>(image.height));
  // Pixels per metre, rounded.
  header.biXPelsPerMeter = static_cast<LONG>((image.dotsPerInch * 10000 + 127) / 254);
  header.biYPelsPerMeter = header.biXPelsPerMeter;
  header.biClrUsed = static_cast<DWORD>(PaletteEntries(image));
  header.biClrImportant = 0;
  return header;
}

std::vector<BYTE> DibData(const PageImage& image)
{
  std::vector<BYTE> out;
  const int entries = PaletteEntries(image);
  for (int i = 0; i < entries; ++i) {
    BYTE v = static_cast<BYTE>(entries == 2 ? i * 255 : i);
    out.push_back(v);  // blue
    out.push_back(v);  // green
    out.push_back(v);  // red
    out.push_back(0);
  }
  const size_t rowBytes = image.RowBytes();
  const size_t padded = PaddedRowBytes(image);
  const size_t start = out.size();
  out.resize(start + padded * static_cast<size_t>(image.height), 0);
  for (LONG y = 0; y < image.height; ++y) {
    const BYTE* src = image.rows.data() + static_cast<size_t>(y) * rowBytes;
    BYTE* dst = out.data() + start + static_cast<size_t>(image.height - 1 - y) * padded;
    if (image.bitsPerPixel == 24) {
      for (LONG x = 0; x < image.width; ++x) {
        dst[3 * x] = src[3 * x + 2];
        dst[3 * x + 1] = src[3 * x + 1];
        dst[3 * x + 2] = src[3 * x];
      }
    } else {
      std::memcpy(dst, src, rowBytes);
    }
  }
  return out;
}

std::vector<BYTE> BmpFile(const PageImage& image)
{
  const BITMAPINFOHEADER header = DibHeader(image);
  const std::vector<BYTE> data = DibData(image);
  const size_t fileHeader = 14;
  const size_t paletteBytes = static_cast<size_t>(PaletteEntries(image)) * 4;
  std::vector<BYTE> out(fileHeader + sizeof header, 0);
  out[0] = 'B';
  out[1] = 'M';
  Put32(out, 2, static_cast<uint32_t>(fileHeader + sizeof header + data.size()));
  Put32(out, 10, static_cast<uint32_t>(fileHeader + sizeof header + paletteBytes));
  std::memcpy(out.data() + fileHeader, &header, sizeof header);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

std::vector<BYTE> TiffFile(const std::vector<PageImage>& pages)
{
  // Layout: header, then per page its strip, its bits-per-sample and
  // resolution values, and its directory; each directory links to the next.
  std::vector<BYTE> out = {'I', 'I', 42, 0, 0, 0, 0, 0};
  size_t linkAt = 4;  // where the offset of the next directory goes
  for (const PageImage& page : pages) {
    const uint32_t stripOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), page.rows.begin(), page.rows.end());
    if (out.size() % 2) out.push_back(0);

    const bool rgb = page.bitsPerPixel == 24;
    uint32_t bitsAt = 0;
    if (rgb) {
      bitsAt = static_cast<uint32_t>(out.size());
      Append16(out, 8);
      Append16(out, 8);
      Append16(out, 8);
      out.push_back(0);
      out.push_back(0);
    }
    const uint32_t resolutionAt = static_cast<uint32_t>(out.size());
    Append32(out, static_cast<uint32_t>(page.dotsPerInch));
    Append32(out, 1);

    struct Entry {
      uint16_t tag, type;
      uint32_t count, value;
    };
    const uint16_t kShort = 3, kLong = 4, kRational = 5;
    std::vector<Entry> entries = {
        {254, kLong, 1, pages.size() > 1 ? 2u : 0u},  // NewSubfileType: page of a multi-page file
        {256, kLong, 1, static_cast<uint32_t>(page.width)},
        {257, kLong, 1, static_cast<uint32_t>(page.height)},
        {258, kShort, rgb ? 3u : 1u, rgb ? bitsAt : static_cast<uint32_t>(page.bitsPerPixel)},
        {259, kShort, 1, 1},              // no compression
        {262, kShort, 1, rgb ? 2u : 1u},  // RGB, or 0 is black
        {273, kLong, 1, stripOffset},
        {277, kShort, 1, rgb ? 3u : 1u},
        {278, kLong, 1, static_cast<uint32_t>(page.height)},
        {279, kLong, 1, static_cast<uint32_t>(page.rows.size())},
        {282, kRational, 1, resolutionAt},
        {283, kRational, 1, resolutionAt},
        {296, kShort, 1, 2},  // inches
    };
    const uint32_t directoryAt = static_cast<uint32_t>(out.size());
    Put32(out, linkAt, directoryAt);
    Append16(out, static_cast<uint32_t>(entries.size()));
    for (const Entry& e : entries) {
      Append16(out, e.tag);
      Append16(out, e.type);
      Append32(out, e.count);
      if (e.type == kShort && e.count == 1) {
        Append16(out, e.value);
        Append16(out, 0);
      } else {
        Append32(out, e.value);
      }
    }
    linkAt = out.size();
    Append32(out, 0);
  }
  return out;
}

}  // namespace sim

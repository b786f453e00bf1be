// The BMP files stiscan writes of a page's rows, and the rows it reads back
// of them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "documents/image_files.h"
#include "unit/stiscan_rasters.h"

namespace {

using namespace stiscan;

uint32_t Read32(const std::vector<unsigned char>& b, size_t at)
{
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

TEST(StiscanImages, RowsBecomeABmpThatReadsBackAsTheSamePage)
{
  struct Case {
    long width, height;
    int bits;
    size_t palette, row;
    Pixels pixels;
  };
  const Case cases[] = {{3, 2, 24, 0, 12, Pixels::kColour},
                        {5, 2, 8, 1024, 8, Pixels::kGrey},
                        {9, 2, 1, 8, 4, Pixels::kBlackWhite}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    const size_t plain = (size_t(c.width) * size_t(c.bits) + 7) / 8;
    std::vector<unsigned char> rows(plain * size_t(c.height));
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<unsigned char>(i + 1);
    const std::vector<unsigned char> given = rows;
    Raster raster;
    ASSERT_TRUE(RasterFromRows(c.width, c.height, c.bits, 300, 300, std::move(rows), raster));
    EXPECT_EQ(PixelsOf(raster), c.pixels);
    std::vector<unsigned char> made;
    const std::span<const unsigned char> span = BmpBytes(raster, made);
    const std::vector<unsigned char> bmp(span.begin(), span.end());
    ASSERT_EQ(bmp.size(), 54 + c.palette + c.row * size_t(c.height));
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(Read32(bmp, 2), bmp.size());
    EXPECT_EQ(Read32(bmp, 10), 54 + c.palette);
    EXPECT_EQ(Read32(bmp, 18), uint32_t(c.width));
    EXPECT_EQ(Read32(bmp, 38), 11811u) << "300 dpi in pixels per metre";
    // The last row of the image is the first in the file; 24 bits as B, G, R.
    const unsigned char* first = bmp.data() + 54 + c.palette;
    const unsigned char* last = given.data() + plain * size_t(c.height - 1);
    if (c.bits == 24) {
      EXPECT_EQ(first[0], last[2]) << "blue first";
      EXPECT_EQ(first[2], last[0]);
    } else {
      EXPECT_EQ(std::memcmp(first, last, plain), 0);
    }
    if (c.row > plain) {
      EXPECT_EQ(first[c.row - 1], 0) << "padding is zero";
    }
    // Rows put in as the reads bring them, into the memory of a larger page
    // before: the same file.
    std::vector<unsigned char> inPieces(bmp.size() + 7, 0xEE);
    ASSERT_TRUE(BmpForRows(c.width, c.height, c.bits, 300, 300, inPieces));
    PlaceRows(inPieces, given.data(), 0, 1);
    PlaceRows(inPieces, given.data() + plain, 1, c.height - 1);
    EXPECT_EQ(inPieces, bmp);
    // The file read back (as a native or file transfer delivers it) is the
    // same page, row for row, and is its own BMP; a new resolution is written in.
    Raster back;
    ASSERT_TRUE(RasterFromBmp(std::vector<unsigned char>(bmp), 150, 150, back));
    EXPECT_EQ(PixelsOf(back), c.pixels);
    for (long y = 0; y < c.height; ++y)
      EXPECT_EQ(std::memcmp(back.Row(y), raster.Row(y), plain), 0) << "row " << y;
    std::vector<unsigned char> unused;
    const std::span<const unsigned char> same = BmpBytes(back, unused);
    EXPECT_TRUE(unused.empty() && same.data() == back.bytes.data());
    EXPECT_EQ(Read32(back.bytes, 38), 5906u) << "150 dpi";
    // The header a native transfer delivers makes room for its DIB.
    EXPECT_EQ(DibBytes(bmp.data() + 14), bmp.size() - 54);
    std::vector<unsigned char> dib(3, 0xEE);
    BmpForDib(bmp.data() + 14, DibBytes(bmp.data() + 14), dib);
    EXPECT_EQ(dib.size(), bmp.size());
    EXPECT_EQ(std::memcmp(dib.data(), bmp.data(), 14), 0) << "the file header";
    std::vector<unsigned char> shorter(bmp.begin(), bmp.end() - 1);
    EXPECT_FALSE(RasterFromBmp(std::move(shorter), 0, 0, back)) << "short data";
  }
  Raster raster;
  EXPECT_FALSE(RasterFromRows(3, 2, 16, 0, 0, std::vector<unsigned char>(12), raster));
  EXPECT_FALSE(RasterFromRows(3, 2, 24, 0, 0, std::vector<unsigned char>(17), raster));
  EXPECT_FALSE(RasterFromRows(0, 2, 24, 0, 0, {}, raster));
  EXPECT_FALSE(RasterFromBmp({'B', 'M', 0}, 0, 0, raster));
  // Sizes a driver states that no size_t holds are refused, not wrapped.
  EXPECT_FALSE(
      RasterFromRows(0x7fffffff, 0x7fffffff, 24, 0, 0, std::vector<unsigned char>(12), raster));
  unsigned char header[40] = {40};
  for (int i : {4, 8}) header[i] = header[i + 1] = header[i + 2] = 0xff, header[i + 3] = 0x7f;
  header[14] = 24;
  EXPECT_EQ(DibBytes(header), 0u);
  EXPECT_TRUE(PageFits(uint64_t{1} << 30));
  EXPECT_FALSE(PageFits(~uint64_t{0}));
}

TEST(StiscanImages, PalettesAreReadAsTheirPixels)
{
  // 1 bit whose first entry is white: the plain row says 0 for black.
  Raster inverted = CountingRaster(8, 1, 1, 0);
  inverted.palette = {255, 255, 255, 0, 0, 0, 0, 0};
  unsigned char bit = 0;
  EXPECT_EQ(PixelsOf(inverted), Pixels::kBlackWhite);
  PlainRow(inverted, Pixels::kBlackWhite, 0, &bit);
  EXPECT_EQ(bit, static_cast<unsigned char>(~1));
  // 8 bits of colours and 1 bit of two colours: B, G, R of each pixel.
  Raster coloured = CountingRaster(2, 1, 8, 0);
  coloured.palette[4 * 1 + 2] = 200;  // entry 1 red
  EXPECT_EQ(PixelsOf(coloured), Pixels::kColour);
  unsigned char bgr[6];
  PlainRow(coloured, Pixels::kColour, 0, bgr);
  EXPECT_EQ(std::vector<unsigned char>(bgr, bgr + 6),
            (std::vector<unsigned char>{1, 1, 200, 2, 2, 2}));
  Raster twoColours = CountingRaster(2, 1, 1, 0);
  twoColours.palette = {0, 0, 255, 0, 255, 0, 0, 0};  // red, blue
  twoColours.bytes[twoColours.first] = 0x40;          // red, blue
  EXPECT_EQ(PixelsOf(twoColours), Pixels::kColour);
  PlainRow(twoColours, Pixels::kColour, 0, bgr);
  EXPECT_EQ(std::vector<unsigned char>(bgr, bgr + 6),
            (std::vector<unsigned char>{0, 0, 255, 255, 0, 0}));
}

}  // namespace

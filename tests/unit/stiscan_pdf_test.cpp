// The PDF documents stiscan writes as their pages come, and the jobs whose
// files could not hold them.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "documents/document_limits.h"
#include "documents/image_files.h"
#include "documents/pdf_file.h"
#include "pdf_golden.h"
#include "unit/stiscan_rasters.h"

namespace {

using namespace stiscan;

// The object `number`'s text from its "N 0 obj" on, by the cross-reference table.
std::string PdfObject(const std::string& pdf, int number)
{
  const size_t table = std::stoul(pdf.substr(pdf.rfind("startxref") + 10));
  const size_t entry = table + pdf.substr(table).find('\n', 5) + 1 + 20 * size_t(number);
  const size_t at = std::stoul(pdf.substr(entry, 10));
  return pdf.substr(at, pdf.find("endobj", at) - at);
}

// A document as the writer hands it out, in order.
std::string StreamedPdf(const std::vector<PdfImage>& pages)
{
  PdfWriter writer;
  std::string pdf = writer.Begin(pages.size());
  for (const PdfImage& image : pages) {
    std::string before, after;
    EXPECT_TRUE(writer.Page(image, before, after));
    pdf += before + std::string(image.data.begin(), image.data.end()) + after;
    EXPECT_EQ(writer.Size(), pdf.size());
  }
  std::string end;
  EXPECT_TRUE(writer.End(end));
  return pdf + end;
}

// The documents the writer is held to: of every kind of page (colour, grey
// and black and white, Flate and DCT, each at its resolution), of one page
// and of many (two-digit object numbers), and of none. A Flate page's
// samples are a stand-in, so that the documents do not depend on zlib's
// version.
std::vector<std::vector<PdfImage>> HeldDocuments()
{
  const Raster colour = CountingRaster(31, 7, 24, 300), grey = CountingRaster(9, 40, 8, 150),
               bw = CountingRaster(70, 3, 1, 600);
  const auto flate = [](const Raster& raster) {
    PdfImage image;
    EXPECT_TRUE(FlateImage(raster, image));
    const std::string samples = "<samples of " + std::to_string(image.width) + " by " +
                                std::to_string(image.height) + ">";
    image.data.assign(samples.begin(), samples.end());
    return image;
  };
  const std::vector<unsigned char> jpeg = {0xFF, 0xD8, 0x00, 0x11, 0xFF, 0xD9};
  return {
      {flate(colour)},
      {flate(bw), flate(grey), flate(colour)},
      {DctImage(grey, std::vector(jpeg)), flate(bw)},
      std::vector<PdfImage>(12, flate(grey)),
      {},
  };
}
TEST(StiscanPdf, PagesAtTheirSizeWithTheirSamplesLossless)
{
  struct Case {
    long width, height;
    int bits;
    double dpi;
    const char* space;
    int bitsPerComponent;
    const char* mediaBox;
  };
  const Case cases[] = {{300, 150, 24, 300, "/DeviceRGB", 8, "[0 0 72 36]"},
                        {20, 10, 8, 200, "/DeviceGray", 8, "[0 0 7.2 3.6]"},
                        {17, 3, 1, 0, "/DeviceGray", 1, "[0 0 17 3]"}};  // no dpi: 72
  std::vector<PdfImage> images;
  std::vector<Raster> rasters;
  for (const Case& c : cases) {
    rasters.push_back(CountingRaster(c.width, c.height, c.bits, c.dpi));
    PdfImage image;
    ASSERT_TRUE(FlateImage(rasters.back(), image));
    images.push_back(std::move(image));
  }
  const std::string pdf = StreamedPdf(images);
  EXPECT_EQ(pdf.rfind("%PDF-1.4\n", 0), 0u);
  EXPECT_EQ(pdf.substr(pdf.size() - 6), "%%EOF\n");
  EXPECT_NE(PdfObject(pdf, 1).find("/Type /Catalog /Pages 2 0 R"), std::string::npos);
  EXPECT_NE(PdfObject(pdf, 2).find("/Count 3"), std::string::npos);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.bits);
    const int page = 3 + 3 * int(i);
    EXPECT_EQ(PdfObject(pdf, page).rfind(std::to_string(page) + " 0 obj", 0), 0u);
    EXPECT_NE(PdfObject(pdf, page).find(std::string("/MediaBox ") + c.mediaBox), std::string::npos)
        << PdfObject(pdf, page);
    const std::string image = PdfObject(pdf, page + 2);
    EXPECT_NE(image.find(c.space), std::string::npos);
    EXPECT_NE(image.find("/BitsPerComponent " + std::to_string(c.bitsPerComponent)),
              std::string::npos);
    // The stream inflated, each row's PNG filter undone, is the page's
    // rows, top-down, in R, G, B.
    std::smatch length;
    ASSERT_TRUE(std::regex_search(image, length, std::regex("/Length ([0-9]+) >>\nstream\n")));
    const size_t at = size_t(length.position(0) + length.length(0));
    std::vector<unsigned char> samples(size_t(c.width * c.height * 3 + c.height));
    uLongf got = samples.size();
    ASSERT_EQ(uncompress(samples.data(), &got, reinterpret_cast<const Bytef*>(image.data() + at),
                         std::stoul(length[1])),
              Z_OK);
    const Raster& r = rasters[i];
    const bool filtered = c.bits != 1;
    const size_t row = r.RowBytes() + (filtered ? 1 : 0), step = c.bits == 24 ? 3 : 1;
    ASSERT_EQ(got, row * size_t(c.height));
    for (long y = 0; y < c.height; ++y) {
      unsigned char* s = samples.data() + row * size_t(y);
      if (filtered) {
        EXPECT_EQ(s[0], 1) << "Sub";
        ++s;
        for (size_t x = step; x < r.RowBytes(); ++x)
          s[x] = static_cast<unsigned char>(s[x] + s[x - step]);
      }
      for (size_t x = 0; x < r.RowBytes(); ++x) {
        const size_t bgr = c.bits == 24 ? x - x % 3 + 2 - x % 3 : x;
        ASSERT_EQ(s[x], r.Row(y)[bgr]) << "row " << y << " byte " << x;
      }
    }
  }
  // A JPEG page is carried as it is, as DCT.
  const std::vector<unsigned char> jpeg = {0xFF, 0xD8, 0xFF, 0xD9};
  const std::string dct = StreamedPdf({DctImage(rasters[0], std::vector(jpeg))});
  EXPECT_NE(PdfObject(dct, 5).find("/Filter /DCTDecode /Length 4 >>\nstream\n\xFF\xD8\xFF\xD9"),
            std::string::npos);
}

// Written page by page, the documents are byte for byte the ones stiscan
// has always written (unit/golden/pdf_documents.golden, one after the
// other); and the writer hands out nothing that is not the document.
TEST(StiscanPdf, StreamedAsWrittenWhole)
{
  std::string documents;
  for (const std::vector<PdfImage>& pages : HeldDocuments()) documents += StreamedPdf(pages);
  const std::string golden(std::begin(kPdfGolden), std::end(kPdfGolden));
  const size_t differs = std::mismatch(documents.begin(), documents.end(), golden.begin(),
                                       golden.end()).first - documents.begin();
  EXPECT_EQ(documents.size(), golden.size());
  EXPECT_EQ(differs, documents.size()) << "written: " << documents.substr(differs, 60)
                                       << "\ngolden: " << golden.substr(differs, 60);

  // A page more than begun with, or one fewer, is refused.
  PdfImage page;
  ASSERT_TRUE(FlateImage(CountingRaster(70, 3, 1, 600), page));
  PdfWriter writer;
  writer.Begin(1);
  std::string before, after, end;
  EXPECT_FALSE(writer.End(end)) << "no page yet";
  EXPECT_TRUE(writer.Page(page, before, after));
  EXPECT_FALSE(writer.Page(page, before, after)) << "a second page of one";
  EXPECT_TRUE(writer.End(end));
}

// The size a job's files would reach, counted before its first page: what
// each format's offsets or header hold, and the message that says so.
TEST(StiscanPdf, JobsTheirFilesCannotHoldAreRefused)
{
  const uint64_t a4Colour = UncompressedPageBytes(2480, 3508, 24);
  EXPECT_EQ(a4Colour, 26099520u);
  EXPECT_EQ(UncompressedPageBytes(2481, 2, 1), 2u * 311u);
  EXPECT_EQ(UncompressedPageBytes(0, 10, 24), 0u);
  EXPECT_EQ(UncompressedPageBytes(0x7fffffff, 0x7fffffff, 24),
            uint64_t{0x7fffffff} * 3 * 0x7fffffff);
  struct Case {
    const char* format;
    bool driverFiles;
    uint64_t pages, pageBytes;
    const char* why;  // a part of the message; null: it fits
  };
  const Case cases[] = {
      {"tiff", false, 40, a4Colour, nullptr},   // 1 GB: fits
      {"tiff", false, 164, a4Colour, nullptr},  // 4.28e9 bytes: just fits
      {"tiff", false, 165, a4Colour, "4096 MB a TIFF file holds; pull it as PDF"},
      {"tiff", true, 1000, a4Colour, nullptr},  // the driver's files: one per page
      {"pdf", false, 165, a4Colour, nullptr},
      {"pdf", false, 400, a4Colour, "cross-reference table"},
      {"bmp", false, 1000, a4Colour, nullptr},
      {"bmp", false, 1, uint64_t{1} << 32, "more than a BMP file holds"},
      {"png", false, 1000, uint64_t{1} << 32, nullptr},
      {"tiff", false, 2, ~uint64_t{0}, "of TIFF"},  // counted without wrapping
  };
  for (const Case& c : cases) {
    const std::string why = WhyJobDoesNotFit(c.format, c.driverFiles, c.pages, c.pageBytes);
    if (c.why == nullptr)
      EXPECT_EQ(why, "") << c.format << " " << c.pages;
    else
      EXPECT_NE(why.find(c.why), std::string::npos) << c.format << " " << c.pages << ": " << why;
  }
  // Each later page, against what the job's document holds already: a
  // page larger than the first, which the count before it took as the size
  // of every page.
  const Case later[] = {
      // `pages` stands for the bytes written already.
      {"tiff", false, 4270000000u, a4Colour, "the TIFF would reach 4097 MB"},
      {"tiff", false, 4270000000u, 1000, nullptr},
      {"tiff", true, 4270000000u, a4Colour, nullptr},  // the driver's: a file per page
      {"bmp", false, 0, uint64_t{1} << 32, "more than a BMP file holds"},
      {"pdf", false, 9999999999u, a4Colour, nullptr},  // held to what its pages become
      {"tiff", false, ~uint64_t{0}, ~uint64_t{0}, "4096 MB a TIFF file holds"},
  };
  for (const Case& c : later) {
    const std::string why = WhyPageDoesNotFit(c.format, c.driverFiles, c.pages, c.pageBytes);
    if (c.why == nullptr)
      EXPECT_EQ(why, "") << c.format << " after " << c.pages;
    else
      EXPECT_NE(why.find(c.why), std::string::npos)
          << c.format << " after " << c.pages << ": " << why;
  }
}

}  // namespace

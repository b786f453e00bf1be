// stiscan's parts that need no Windows: the command line, the settings list
// in TWAIN names, the BMP and PDF files it writes, its text (UTF-16 and
// UTF-8, JSON, columns), the names of its page files, the list of jobs a
// watch has pulled and the doctor's checks.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <set>
#include <vector>

#include "console/display_width.h"
#include "console/json.h"
#include "console/options.h"
#include "console/text.h"
#include "doctor/doctor.h"
#include "documents/document_limits.h"
#include "documents/image_files.h"
#include "documents/pdf_file.h"
#include "files/file_names.h"
#include "job/pulled_jobs.h"
#include "server/twain_names.h"
#include "server/version.h"

namespace {

using namespace stiscan;

bool Parse(std::vector<const char*> words, Options& options, std::string& error)
{
  words.insert(words.begin(), "stiscan");
  return ParseOptions(static_cast<int>(words.size()), words.data(), options, error);
}

TEST(StiscanOptions, CommandsAndTheirOptions)
{
  struct Case {
    std::vector<const char*> words;
    bool ok;
  };
  const Case cases[] = {
      {{"devices"}, true},
      {{"devices", "--json"}, true},
      {{"jobs", "--device", "Lab MFP", "--json"}, true},
      {{"pull", "--all", "--transfer", "memory", "--chunk", "65536", "--out", "x", "--delete"},
       true},
      {{"pull", "--job", "a.tif", "--transfer", "file", "--format", "tiff"}, true},
      {{"pull", "--format", "png"}, true},
      {{"pull", "--format", "pdf", "--jpeg-quality", "75"}, true},
      {{"pull", "--format", "jpeg", "--jpeg-quality", "100"}, true},
      {{"watch", "--pull", "--out", "x", "--format", "tiff", "--delete", "--seconds", "9"}, true},
      {{"watch", "--pull"}, true},
      {{"settings", "--set", "pixel=rgb", "--title", "Q3 report"}, true},
      {{"watch", "--seconds", "5"}, true},
      {{"doctor", "--device", "Lab MFP", "--json"}, true},
      {{"--help"}, true},
      {{"pull", "--help"}, true},
      {{"--version"}, true},
      {{"jobs", "--profile", "ann", "--store", "ann", "--qualifier", "LAB"}, true},
      {{}, false},                               // no command
      {{"scan"}, false},                         // not a command
      {{"devices", "jobs"}, false},              // two commands
      {{"--json", "devices"}, false},            // option before its command
      {{"devices", "--device", "x"}, false},     // not an option of devices
      {{"watch", "--json"}, false},              // nor of watch
      {{"pull", "--job"}, false},                // value missing
      {{"pull", "--job", "a", "--all"}, false},  // exclusive
      {{"pull", "--transfer", "fax"}, false},
      {{"pull", "--format", "gif"}, false},
      {{"pull", "--jpeg-quality", "0"}, false},
      {{"pull", "--jpeg-quality", "101"}, false},
      {{"pull", "--format", "png", "--jpeg-quality", "80"}, false},  // no JPEG in a PNG
      {{"watch", "--out", "x"}, false},                              // a pull's option, no --pull
      {{"watch", "--format", "pdf"}, false},
      {{"pull", "--pull"}, false},
      {{"pull", "--chunk", "100"}, false},          // below 4096
      {{"pull", "--chunk", "99999999999"}, false},  // above the largest
      {{"pull", "--chunk", "64k"}, false},
      {{"watch", "--seconds", "0"}, false},
      {{"doctor", "--out", "x"}, false},
  };
  for (const Case& c : cases) {
    Options options;
    std::string error;
    std::string line;
    for (const char* w : c.words) line += std::string(w) + " ";
    EXPECT_EQ(Parse(c.words, options, error), c.ok) << line << ": " << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << line;
    }
  }
  Options options;
  std::string error;
  ASSERT_TRUE(Parse({"pull", "--chunk", "65536", "--transfer", "file"}, options, error));
  EXPECT_EQ(options.chunk, 65536);
  EXPECT_EQ(options.transfer, "file");
  EXPECT_EQ(options.format, "pdf");
  EXPECT_EQ(options.jpegQuality, 0);
  EXPECT_EQ(options.out, "scans");
  EXPECT_FALSE(options.version);
  ASSERT_TRUE(Parse({"--version"}, options, error));
  EXPECT_TRUE(options.version);
  EXPECT_FALSE(HelpText("").empty());
  EXPECT_NE(HelpText("").find("exit codes"), std::string::npos);
  for (const char* command : {"devices", "jobs", "pull", "settings", "watch", "doctor"})
    EXPECT_EQ(HelpText(command).rfind(std::string("stiscan ") + command, 0), 0u) << command;
  // The page files' naming rule is the user's to know.
  for (const char* command : {"pull", "watch"})
    for (const char* part :
         {"file names:", "CONIN$", "255 UTF-16 units", "never overwritten", "--jpeg-quality"})
      EXPECT_NE(HelpText(command).find(part), std::string::npos) << command << ": " << part;
  EXPECT_NE(HelpText("watch").find(kPulledJobsFile), std::string::npos);
}

TEST(StiscanVersion, ServerProgramAndLines)
{
  struct Case {
    const wchar_t* value;
    const wchar_t* program;
  };
  const Case cases[] = {
      {L"C:\\Program Files\\stibridge\\stibridge.exe",
       L"C:\\Program Files\\stibridge\\stibridge.exe"},
      {L"\"C:\\Program Files\\stibridge\\stibridge.exe\" -Embedding",
       L"C:\\Program Files\\stibridge\\stibridge.exe"},
      {L"  C:\\Program Files\\x\\STIBRIDGE.EXE /Automation",
       L"C:\\Program Files\\x\\STIBRIDGE.EXE"},
      {L"C:\\a.exe.d\\b.exe", L"C:\\a.exe.d\\b.exe"},  // ".exe" inside a folder name
      {L"C:\\server ", L"C:\\server"},                 // no .exe: the whole value
      {L"\"C:\\Program Files\\stibridge\\stibridge.exe\"",  // as /RegServer writes it there
       L"C:\\Program Files\\stibridge\\stibridge.exe"},
      {L"\"C:\\unclosed.exe", L""},
      {L"   ", L""},
      {L"", L""},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_TRUE(ServerProgramOf(cases[i].value) == cases[i].program) << "row " << i;

  InstalledServer server;
  EXPECT_EQ(VersionLines("1.0.0", server),
            "stiscan 1.0.0\nserver not registered (no LocalServer32 for its class)\n");
  server.state = InstalledServer::State::kUnreadable;
  server.program = "C:\\s.exe";
  server.problem = "0x80070002 (not found)";
  EXPECT_EQ(VersionLines("1.0.0", server),
            "stiscan 1.0.0\nserver version unknown: C:\\s.exe: 0x80070002 (not found)\n");
  server.state = InstalledServer::State::kRead;
  server.version = "1.0.0";
  EXPECT_EQ(VersionLines("1.0.0", server), "stiscan 1.0.0\nserver 1.0.0 (C:\\s.exe)\n");
  server.version = "1.0.10";
  EXPECT_EQ(VersionLines("1.0.1", server),
            "stiscan 1.0.1\nserver 1.0.10 (C:\\s.exe)\n"
            "the installed server (1.0.10) is not the version of stiscan (1.0.1)\n");
}

TEST(StiscanSettings, NamesAndNumbers)
{
  ScanSettings s;
  std::string error;
  ASSERT_TRUE(
      ApplySettingsList("pixel=rgb,paper=statement,resolution=300,format=tiff,option=on,"
                        "sizeflag=on",
                        s, error))
      << error;
  EXPECT_EQ(s.pixelType, 2);
  EXPECT_EQ(s.paperSize, 52);
  EXPECT_EQ(s.resolution, 300);
  EXPECT_EQ(s.fileFormat, 0);
  EXPECT_EQ(s.optionFlag, 1);
  EXPECT_EQ(s.sizeFlag, 1);
  ASSERT_TRUE(ApplySettingsList("pixel=1,,paper=9", s, error));
  EXPECT_EQ(s.pixelType, 1);
  EXPECT_EQ(s.paperSize, 9);
  for (const char* bad : {"pixel", "colour=rgb", "pixel=purple", "resolution=0", "resolution=-5",
                          "paper=99999", "format="}) {
    ScanSettings unchanged;
    EXPECT_FALSE(ApplySettingsList(bad, unchanged, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(PixelTypeName(2), "rgb");
  EXPECT_EQ(PaperSizeName(52), "statement");
  EXPECT_EQ(FileFormatName(6), "tiff-multi");
  EXPECT_EQ(FileFormatName(99), "99");
  EXPECT_EQ(ResolutionOfCode(4), 600);
  EXPECT_EQ(ResolutionOfCode(0), 100);
  EXPECT_EQ(ResolutionOfCode(9), 100);
}

uint32_t Read32(const std::vector<unsigned char>& b, size_t at)
{
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

// A raster of `bits` per pixel whose bytes count up from 1.
Raster CountingRaster(long width, long height, int bits, double dpi)
{
  const size_t plain = (size_t(width) * size_t(bits) + 7) / 8;
  std::vector<unsigned char> rows(plain * size_t(height));
  for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<unsigned char>(i + 1);
  Raster raster;
  EXPECT_TRUE(RasterFromRows(width, height, bits, dpi, dpi, std::move(rows), raster));
  return raster;
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

// The document as stiscan wrote it before its pages were streamed: the
// whole of it made in memory once the job's last page had come. Streamed
// documents are held to it byte for byte.
std::string WholePdf(const std::vector<PdfImage>& pages)
{
  std::string out;
  std::vector<size_t> offsets;
  const auto begin = [&](size_t number) {
    offsets.resize(number);
    offsets[number - 1] = out.size();
    out += std::to_string(number) + " 0 obj\n";
  };
  const auto number = [](double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", value);
    std::string s = text;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
  };
  out += "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  begin(1);
  out += "<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
  begin(2);
  std::string kids;
  for (size_t i = 0; i < pages.size(); ++i) kids += std::to_string(3 + 3 * i) + " 0 R ";
  out += "<< /Type /Pages /Kids [ " + kids + "] /Count " + std::to_string(pages.size()) +
         " >>\nendobj\n";
  for (size_t i = 0; i < pages.size(); ++i) {
    const PdfImage& image = pages[i];
    const size_t page = 3 + 3 * i, content = page + 1, xobject = page + 2;
    const double xDpi = image.xDpi > 0 ? image.xDpi : 72, yDpi = image.yDpi > 0 ? image.yDpi : 72;
    const std::string width = number(static_cast<double>(image.width) * 72.0 / xDpi);
    const std::string height = number(static_cast<double>(image.height) * 72.0 / yDpi);
    begin(page);
    out += "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + width + " " + height +
           "] /Resources << /XObject << /Im0 " + std::to_string(xobject) + " 0 R >> >> /Contents " +
           std::to_string(content) + " 0 R >>\nendobj\n";
    const std::string draw = "q " + width + " 0 0 " + height + " 0 0 cm /Im0 Do Q\n";
    begin(content);
    out += "<< /Length " + std::to_string(draw.size()) + " >>\nstream\n" + draw +
           "endstream\nendobj\n";
    begin(xobject);
    std::string dictionary = "<< /Type /XObject /Subtype /Image /Width " +
                             std::to_string(image.width) + " /Height " +
                             std::to_string(image.height) + " /ColorSpace " +
                             (image.colours == 3 ? "/DeviceRGB" : "/DeviceGray") +
                             " /BitsPerComponent " + std::to_string(image.bitsPerComponent);
    if (image.dct) {
      dictionary += " /Filter /DCTDecode";
    } else {
      dictionary += " /Filter /FlateDecode";
      if (image.predictorColumns > 0)
        dictionary += " /DecodeParms << /Predictor 15 /Colors " + std::to_string(image.colours) +
                      " /BitsPerComponent " + std::to_string(image.bitsPerComponent) +
                      " /Columns " + std::to_string(image.predictorColumns) + " >>";
    }
    out += dictionary + " /Length " + std::to_string(image.data.size()) + " >>\nstream\n";
    out.append(image.data.begin(), image.data.end());
    out += "\nendstream\nendobj\n";
  }
  const size_t xref = out.size();
  out += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    char entry[24];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    out += entry;
  }
  out += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
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

// Written page by page, a document is byte for byte the one that was made
// whole in memory, for documents of every kind of page, of one page and of
// many; and the writer hands out nothing that is not the document.
TEST(StiscanPdf, StreamedAsWrittenWhole)
{
  const Raster colour = CountingRaster(31, 7, 24, 300), grey = CountingRaster(9, 40, 8, 150),
               bw = CountingRaster(70, 3, 1, 600);
  const auto flate = [](const Raster& raster) {
    PdfImage image;
    EXPECT_TRUE(FlateImage(raster, image));
    return image;
  };
  const std::vector<unsigned char> jpeg = {0xFF, 0xD8, 0x00, 0x11, 0xFF, 0xD9};
  const std::vector<std::vector<PdfImage>> documents = {
      {flate(colour)},
      {flate(bw), flate(grey), flate(colour)},
      {DctImage(grey, std::vector(jpeg)), flate(bw)},
      std::vector<PdfImage>(12, flate(grey)),  // two-digit object numbers
      {},
  };
  for (size_t i = 0; i < documents.size(); ++i)
    EXPECT_EQ(StreamedPdf(documents[i]), WholePdf(documents[i])) << "document " << i;

  // A page more than begun with, or one fewer, is refused.
  PdfWriter writer;
  writer.Begin(1);
  std::string before, after, end;
  EXPECT_FALSE(writer.End(end)) << "no page yet";
  EXPECT_TRUE(writer.Page(flate(bw), before, after));
  EXPECT_FALSE(writer.Page(flate(bw), before, after)) << "a second page of one";
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

TEST(StiscanPulledJobs, KeptByNameAndTimeAndReadBack)
{
  const auto timed = [](const char* name, const char* time) {
    return JobIdentity{name, time, 1, 100};
  };
  const JobIdentity odd{std::string("a\tb%\n\x01.tif", 10), "", 2, 300};
  EXPECT_EQ(PulledJobs::Key(odd), "no time, 2 pages, 300 bytes\ta%09b%25%0A%01.tif");
  EXPECT_EQ(PulledJobs::Key(timed("x.tif", "2024-01-01 00:00:00")), "2024-01-01 00:00:00\tx.tif");
  PulledJobs jobs;
  jobs.Add(timed("scan0001.tif", "2024-03-05 09:15:00"), false);
  jobs.Add(odd, true);
  jobs.Add(timed("\xE8\xA6\x8B\xE7\xA9\x8D.tif", "2024-03-05 09:15:00"), true);
  EXPECT_EQ(jobs.Pending(), 2u);
  PulledJobs again;
  ASSERT_TRUE(again.Read(jobs.Text()));
  EXPECT_EQ(again.Text(), jobs.Text());
  EXPECT_EQ(again.Size(), 3u);
  EXPECT_TRUE(again.Contains(odd));
  EXPECT_TRUE(again.DeletionPending(odd));
  EXPECT_TRUE(again.Contains(timed("scan0001.tif", "2024-03-05 09:15:00")));
  EXPECT_FALSE(again.DeletionPending(timed("scan0001.tif", "2024-03-05 09:15:00")));
  // The same name at another time is another job; so is a job without time
  // of the same name but other pages.
  EXPECT_FALSE(again.Contains(timed("scan0001.tif", "2024-03-06 09:15:00")));
  EXPECT_FALSE(again.Contains({odd.name, "", 3, 300}));
  again.Deleted(odd);
  EXPECT_FALSE(again.DeletionPending(odd));
  EXPECT_TRUE(again.Contains(odd));
  EXPECT_EQ(again.Pending(), 1u);

  // Lists as earlier versions wrote them, and as an editor saves them.
  struct Read {
    const char* what;
    std::string text;
    bool ok;
    size_t size, pending;
  };
  const Read reads[] = {
      {"an earlier version's", "# stiscan watch --pull: ...\n2024-01-01 00:00:00\tx.tif\n\ty.tif\n",
       true, 2, 0},
      {"CR LF and blank lines", "# a comment\r\n\r\n2024-01-01 00:00:00\tx.tif\r\n", true, 1, 0},
      {"a byte-order mark", "\xEF\xBB\xBF# c\n2024-01-01 00:00:00\tx.tif\n", true, 1, 0},
      {"a byte-order mark before a job",
       "\xEF\xBB\xBF"
       "2024-01-01 00:00:00\tx.tif\n",
       true, 1, 0},
      {"pending alone", "#deletion pending\t2024-01-01 00:00:00\tx.tif\n", true, 1, 1},
      {"pending and pulled",
       "2024-01-01 00:00:00\tx.tif\n#deletion pending\t2024-01-01 00:00:00\tx.tif\n", true, 1, 1},
      {"no tab", "no tab\n", false, 0, 0},
      {"a bad escape", "t\tbad %G1\n", false, 0, 0},
      {"an escape cut", "t\tcut %4", false, 0, 0},
      {"two tabs", "t\ttwo\ttabs\n", false, 0, 0},
      {"a pending line without its job", "#deletion pending\tnothing\n", false, 0, 0},
      {"a mark inside", "2024\tx\xEF\xBB\xBF.tif\n", true, 1, 0},
  };
  for (const Read& r : reads) {
    PulledJobs list;
    EXPECT_EQ(list.Read(r.text), r.ok) << r.what;
    EXPECT_EQ(list.Size(), r.size) << r.what;
    EXPECT_EQ(list.Pending(), r.pending) << r.what;
  }
  // A list of an earlier version knows a job without time by its name.
  PulledJobs earlier;
  ASSERT_TRUE(earlier.Read("\ty.tif\n"));
  EXPECT_TRUE(earlier.Contains({"y.tif", "", 4, 999}));
  EXPECT_FALSE(earlier.Contains({"y.tif", "2024-01-01 00:00:00", 4, 999}));
}

// What the list holds of jobs that the scanner lists no longer: a job
// without time is forgotten, so that a later job of its name is pulled; a
// deletion pending is done; a job with a time stays known.
TEST(StiscanPulledJobs, JobsGoneFromTheScanner)
{
  const JobIdentity untimed{"scan.tif", "", 3, 1000}, timed{"a.tif", "2024-01-01 00:00:00", 1, 5},
      deleting{"b.tif", "2024-01-02 00:00:00", 1, 5};
  PulledJobs list;
  ASSERT_TRUE(list.Read("\tlegacy.tif\n"));
  list.Add(untimed, false);
  list.Add(timed, false);
  list.Add(deleting, true);
  // All listed: nothing changes.
  EXPECT_FALSE(list.Forget({untimed, timed, deleting, {"legacy.tif", "", 9, 9}}));
  EXPECT_EQ(list.Size(), 4u);
  EXPECT_EQ(list.Pending(), 1u);
  // None listed: the entries without time go, the pending deletion is done.
  EXPECT_TRUE(list.Forget({}));
  EXPECT_EQ(list.Size(), 2u);
  EXPECT_TRUE(list.Contains(timed));
  EXPECT_TRUE(list.Contains(deleting));
  EXPECT_EQ(list.Pending(), 0u);
  EXPECT_FALSE(list.Contains(untimed)) << "a later scan named alike is a new job";
  EXPECT_FALSE(list.Forget({}));
}

// A deletion pending is done without the job being pulled again only for
// the one job the scanner lists under the entry's exact key: a job without
// time, or one of a key the scanner lists twice, may be another job (the one
// pulled deleted at the panel, and another scanned alike), and its entry
// goes so that the job is pulled again.
TEST(StiscanPulledJobs, PendingDeletionsOfOneExactJobOnly)
{
  const JobIdentity timed{"a.tif", "2024-01-01 00:00:00", 1, 5}, scan{"Scan.tif", "", 1, 87878},
      scanOther{"Scan.tif", "", 2, 87878}, scanTimed{"Scan.tif", "2024-01-02 00:00:00", 1, 87878};
  struct Row {
    const char* what;
    std::string list;
    std::vector<JobIdentity> listed;
    std::vector<std::string> dropped;
    size_t pendingAfter, sizeAfter;
    std::set<std::string> keep = {};
  };
  const std::string legacy = "#deletion pending\t\tScan.tif\n";
  const auto pending = [](const JobIdentity& job) {
    return PulledJobs::Key(job) + "\n#deletion pending\t" + PulledJobs::Key(job) + "\n";
  };
  const Row rows[] = {
      {"a timed job listed once", pending(timed), {timed, scan}, {}, 1, 1},
      {"a timed job listed twice", pending(timed), {timed, scan, timed}, {"a.tif"}, 0, 0},
      {"a job without time listed alike", pending(scan), {timed, scan}, {"Scan.tif"}, 0, 0},
      {"a job without time listed with other pages", pending(scan), {scanOther}, {}, 1, 1},
      {"an earlier version's entry", legacy, {scanOther}, {"Scan.tif"}, 0, 0},
      {"an earlier version's entry, timed now", legacy, {scanTimed}, {}, 1, 1},
      {"pulled, listed twice", PulledJobs::Key(timed) + "\n", {timed, timed}, {}, 0, 1},
      {"nothing listed", pending(scan) + pending(timed), {}, {}, 2, 2},
      {"one a watch pulled itself", pending(scan), {scan}, {}, 1, 1, {PulledJobs::Key(scan)}},
  };
  for (const Row& row : rows) {
    PulledJobs list;
    ASSERT_TRUE(list.Read(row.list)) << row.what;
    EXPECT_EQ(list.DropUnsure(row.listed, row.keep), row.dropped) << row.what;
    EXPECT_EQ(list.Pending(), row.pendingAfter) << row.what;
    EXPECT_EQ(list.Size(), row.sizeAfter) << row.what;
  }
  // Whether a job is the one listed under its exact key.
  EXPECT_TRUE(PulledJobs::Unique(timed, {timed, scan, scanTimed}));
  EXPECT_FALSE(PulledJobs::Unique(timed, {timed, scan, timed}));
  EXPECT_FALSE(PulledJobs::Unique(scan, {scan}));
  EXPECT_FALSE(PulledJobs::Unique(timed, {}));
}

// What a BSTR may hold comes back unit for unit from stiscan's UTF-8, and
// leaves it as well-formed UTF-8 and valid JSON.
TEST(StiscanText, EveryBstrSurvivesAndMakesValidJson)
{
  const std::string kFffd = "\xEF\xBF\xBD";
  struct Case {
    const char* what;
    std::u16string units;
    std::string json;    // as JsonString writes it
    std::string strict;  // as standard output gets it
  };
  const Case cases[] = {
      {"ascii", u"scan0001.tif", "\"scan0001.tif\"", "scan0001.tif"},
      {"latin", u"B\u00FCro", "\"B\xC3\xBCro\"", "B\xC3\xBCro"},
      {"kanji", u"\u898B\u7A4D", "\"\xE8\xA6\x8B\xE7\xA9\x8D\"", "\xE8\xA6\x8B\xE7\xA9\x8D"},
      {"pair", u"\U0001F600", "\"\xF0\x9F\x98\x80\"", "\xF0\x9F\x98\x80"},
      {"lone high", std::u16string(u"a\xD800") + u'b', "\"a\\ud800b\"", "a" + kFffd + "b"},
      {"lone low", u"\xDC00", "\"\\udc00\"", "\xEF\xBF\xBD"},
      {"pair reversed", u"\xDC00\xD800", "\"\\udc00\\ud800\"", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"high at the end", u"x\xDBFF", "\"x\\udbff\"", "x\xEF\xBF\xBD"},
      {"nul", std::u16string(u"a\0b", 3), "\"a\\u0000b\"", std::string("a\0b", 3)},
      {"escapes", u"q\"\\\n\t\x1F", "\"q\\\"\\\\\\n\\t\\u001f\"", "q\"\\\n\t\x1F"},
      {"replacement of its own", u"\uFFFD", "\"\xEF\xBF\xBD\"", "\xEF\xBF\xBD"},
      {"empty", u"", "\"\"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = Utf8FromUtf16(c.units);
    EXPECT_EQ(Utf16FromUtf8(text), c.units);
    EXPECT_EQ(JsonString(text), c.json);
    EXPECT_EQ(StrictUtf8(text), c.strict);
  }
  // Bytes that are no UTF-8 (they do not come from the server, but from a
  // file or a terminal) each become U+FFFD, and JSON says so by an escape.
  for (const std::string bad : {"\xC3", "\xC0\x80", "\xE0\x80\x80", "\xF5\x80\x80\x80",
                                "\xF4\x90\x80\x80", "\x80", "\xE2\x82"}) {
    SCOPED_TRACE(bad);
    const std::u16string units = Utf16FromUtf8(bad);
    EXPECT_FALSE(units.empty());
    for (char16_t unit : units) EXPECT_EQ(unit, u'\uFFFD');
    EXPECT_EQ(JsonString(bad).find('\\'), 1u);
  }
  EXPECT_EQ(Printable("a\nb\x7F" + std::string(1, '\0')), "a" + kFffd + "b" + kFffd + kFffd);
  EXPECT_EQ(Printable(std::string("\xC2\x85") + "x"), kFffd + "x") << "C1 control";
}

TEST(StiscanText, ColumnsByDisplayWidth)
{
  struct Case {
    const char* text;
    int width;
  };
  const Case widths[] = {
      {"abc", 3},
      {"B\xC3\xBCro MFP", 8},
      {"\xE8\xA6\x8B\xE7\xA9\x8D\xE6\x9B\xB8", 6},  // 見積書
      {"e\xCC\x81", 1},                             // e and a combining acute
      {"\xE2\x80\xA6", 1},                          // … (ambiguous: one)
      {"\xEF\xBD\xB1", 1},                          // half-width katakana
      {"\xEF\xBC\xA1", 2},                          // full-width A
      {"\xED\x95\x9C", 2},                          // a Hangul syllable
      {"\xF0\x9F\x98\x80", 2},                      // an emoji
      {"\xF0\xA0\x80\x80", 2},                      // CJK extension B
      {"\xE2\x80\x8B", 0},                          // zero width space
  };
  for (const Case& c : widths) EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;

  struct Fit {
    const char* text;
    int columns;
    const char* cell;
  };
  const Fit fits[] = {
      {"abc", 5, "abc  "},
      {"abcdef", 4, "abc\xE2\x80\xA6"},
      {"\xE8\xA6\x8B\xE7\xA9\x8D\xE6\x9B\xB8", 6, "\xE8\xA6\x8B\xE7\xA9\x8D\xE6\x9B\xB8"},
      {"\xE8\xA6\x8B\xE7\xA9\x8D\xE6\x9B\xB8", 5, "\xE8\xA6\x8B\xE7\xA9\x8D\xE2\x80\xA6"},
      // A wide character that would reach past the cell stays out whole.
      {"\xE8\xA6\x8B\xE7\xA9\x8D\xE6\x9B\xB8", 4, "\xE8\xA6\x8B\xE2\x80\xA6 "},
      // The mark stays with its letter.
      {"e\xCC\x81xyz", 3, "e\xCC\x81x\xE2\x80\xA6"},
      {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 3, "\xF0\x9F\x98\x80\xE2\x80\xA6"},
  };
  for (const Fit& f : fits) {
    EXPECT_EQ(FitColumns(f.text, f.columns), f.cell) << f.text << " in " << f.columns;
    EXPECT_EQ(DisplayWidth(FitColumns(f.text, f.columns)), f.columns) << f.text;
  }
  EXPECT_EQ(RightAligned("42", 5), "   42");
  EXPECT_EQ(RightAligned("123456", 5), "123456");
}

TEST(StiscanFileNames, EveryCharacterWindowsAllowsIsKept)
{
  const std::u16string kanji144 = [] {
    std::u16string s;
    for (int i = 0; i < 48; ++i) s += u"\u8B70\u4E8B\u9332";  // 議事録
    return s;
  }();
  const std::u16string latin250(250, u'x');
  struct Case {
    const char* what;
    std::u16string item;
    int page, copy;
    std::u16string name;
  };
  const Case cases[] = {
      {"plain", u"scan0001.tif", 1, 1, u"scan0001-p1.bmp"},
      {"a document", u"scan0001.tif", 0, 1, u"scan0001.bmp"},
      {"a document's copy", u"scan0001.tif", 0, 3, u"scan0001 (3).bmp"},
      {"letters kept", u"Bestell\u00FCbersicht-Gr\u00FC\u00DFe.tif", 2, 1,
       u"Bestell\u00FCbersicht-Gr\u00FC\u00DFe-p2.bmp"},
      {"east asian kept", u"\u898B\u7A4D\u66F8-\u5831\u544A\u2026.tif", 1, 1,
       u"\u898B\u7A4D\u66F8-\u5831\u544A\u2026-p1.bmp"},
      {"forbidden", u"a/b\\c:d*e?.tif", 1, 1, u"a_b_c_d_e_-p1.bmp"},
      {"forbidden too", u"a|b<c>d\"e*.tif", 1, 1, u"a_b_c_d_e_-p1.bmp"},
      {"a copy", u"a|b<c>d\"e*.tif", 1, 2, u"a_b_c_d_e_ (2)-p1.bmp"},
      {"controls", std::u16string(u"t\0a\tb\x1F.tif", 10), 1, 1, u"t_a_b_-p1.bmp"},
      {"lone surrogate", u"x\xD800y.tif", 1, 1, u"x_y-p1.bmp"},
      {"pair kept", u"\U0001F600.tif", 1, 1, u"\U0001F600-p1.bmp"},
      {"several dots", u"v1.2 report.pdf.tif", 1, 1, u"v1.2 report.pdf-p1.bmp"},
      {"no extension", u"minutes", 1, 1, u"minutes-p1.bmp"},
      {"not an extension", u"v1.2/final", 1, 1, u"v1.2_final-p1.bmp"},
      {"long extension kept", u"notes.backup", 1, 1, u"notes.backup-p1.bmp"},
      {"only an extension", u".tif", 1, 1, u"job-p1.bmp"},
      {"trailing dot and blank", u"draft. .tif", 1, 1, u"draft. -p1.bmp"},
      {"device before a dot", u"COM1.scan.tif", 1, 1, u"_COM1.scan-p1.bmp"},
      {"device in any case", u"nul.x.tif", 1, 1, u"_nul.x-p1.bmp"},
      {"device and blanks", u"aux  .x.tif", 1, 1, u"_aux  .x-p1.bmp"},
      {"superscript digit", u"lpt\u00B9.x.tif", 1, 1, u"_lpt\u00B9.x-p1.bmp"},
      {"conin", u"CONIN$.a.tif", 1, 1, u"_CONIN$.a-p1.bmp"},
      {"device name alone is fine", u"CON.tif", 1, 1, u"CON-p1.bmp"},
      {"device as a document", u"CON.tif", 0, 1, u"_CON.bmp"},
      {"device as a document's copy", u"con.tif", 0, 3, u"_con (3).bmp"},
      {"device and blanks as a document", u"PRN .x.tif", 0, 1, u"_PRN .x.bmp"},
      {"a device's page copy", u"COM1.scan.tif", 2, 2, u"_COM1.scan (2)-p2.bmp"},
      {"not a device", u"COM10.x.tif", 1, 1, u"COM10.x-p1.bmp"},
      {"console", u"CONSOLE.x.tif", 1, 1, u"CONSOLE.x-p1.bmp"},
      // 250 + 7 units: cut to 255.
      {"long", latin250 + u".tif", 1, 1, std::u16string(248, u'x') + u"-p1.bmp"},
      {"long copy", latin250 + u".tif", 1, 12, std::u16string(243, u'x') + u" (12)-p1.bmp"},
      // 144 kanji are 432 bytes of UTF-8: 82 of them and the suffix make 253.
      {"long kanji", kanji144 + u".tif", 1, 1, kanji144.substr(0, 82) + u"-p1.bmp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::u16string name = PageFileName(c.item, c.page, u".bmp", c.copy);
    EXPECT_EQ(Utf8FromUtf16(name), Utf8FromUtf16(c.name));
    EXPECT_LE(name.size(), kMostNameUnits);
    EXPECT_LE(Utf8FromUtf16(name).size(), kMostNameBytes);
  }
  // A surrogate pair is never split by the cut.
  std::u16string emoji;
  for (int i = 0; i < 130; ++i) emoji += u"\U0001F600";
  const std::u16string cut = PageFileName(emoji, 1, u".tif", 1);
  EXPECT_EQ(cut, emoji.substr(0, 2 * 62) + u"-p1.tif");
}

// The first bytes of a program or DLL as the linker writes them: the DOS
// header, whose e_lfanew leads to "PE\0\0" and the file header.
std::vector<unsigned char> PeHead(unsigned machine, bool dll, size_t lfanew = 0x80)
{
  std::vector<unsigned char> head(lfanew + 24, 0);
  head[0] = 'M';
  head[1] = 'Z';
  head[0x3C] = static_cast<unsigned char>(lfanew);
  head[0x3D] = static_cast<unsigned char>(lfanew >> 8);
  std::memcpy(head.data() + lfanew, "PE\0\0", 4);
  head[lfanew + 4] = static_cast<unsigned char>(machine);
  head[lfanew + 5] = static_cast<unsigned char>(machine >> 8);
  head[lfanew + 23] = dll ? 0x20 : 0x00;  // IMAGE_FILE_DLL
  return head;
}

TEST(StiscanDoctor, ExecutableHeaders)
{
  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
    bool portable, dll;
    unsigned machine;
  };
  std::vector<unsigned char> cut = PeHead(kMachineX64, false);
  cut.pop_back();
  std::vector<unsigned char> noSignature = PeHead(kMachineX64, false);
  noSignature[0x81] = 'X';
  std::vector<unsigned char> beyond = PeHead(kMachineX64, false);
  beyond[0x3D] = 0x10;  // e_lfanew past the bytes read
  const Case cases[] = {
      {"x64 program", PeHead(kMachineX64, false), true, false, kMachineX64},
      {"x86 dll", PeHead(kMachineX86, true), true, true, kMachineX86},
      {"far header", PeHead(0xAA64, false, 0x400), true, false, 0xAA64},
      {"cut in the file header", cut, false, false, 0},
      {"no PE signature", noSignature, false, false, 0},
      {"offset beyond the bytes", beyond, false, false, 0},
      {"a text file", std::vector<unsigned char>(100, 'a'), false, false, 0},
      {"empty", {}, false, false, 0},
  };
  for (const Case& c : cases) {
    const ExecutableKind kind = ExecutableKindOf(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(kind.portable, c.portable) << c.what;
    EXPECT_EQ(kind.dll, c.dll) << c.what;
    EXPECT_EQ(kind.machine, c.machine) << c.what;
  }
}

// Facts of a machine on which a data source works: one accepted scanner and
// one that is not served.
DoctorFacts HealthyFacts()
{
  DoctorFacts f;
  f.classId = "{C}";
  f.interfaceId = "{I}";
  f.classKey = "HKLM\\Class";
  const std::vector<std::string> exports = {"DllCanUnloadNow", "DllGetClassObject",
                                            "DllRegisterServer", "DllUnregisterServer"};
  f.server = {"C:\\stibridge.exe", true, true, {true, kMachineX64, false}, false, {}};
  f.proxy32 = {"{P}", {"C:\\x86\\ps.dll", true, true, {true, kMachineX86, true}, true, exports}};
  f.proxy64 = {"{P}", {"C:\\x64\\ps.dll", true, true, {true, kMachineX64, true}, true, exports}};
  f.activation.state = ActivationFacts::State::kAnswered;
  f.activation.listed = true;
  f.activation.accepted = {"Lab MFP"};
  DeviceFacts lab;
  lab.key = "0001";
  lab.localName = "Lab MFP";
  lab.model = Model::kServed;
  lab.listed = true;
  lab.userDataKey = {ValueFacts::State::kRead, "Software\\Lab", 12};
  lab.filingPath = {ValueFacts::State::kRead, "C:\\Spool", 8};
  lab.folderExists = lab.userKeyExists = lab.pinSet = true;
  DeviceFacts wia;
  wia.key = "0000";
  wia.localName = "Lab MFP (WIA)";
  wia.model = Model::kWia;
  f.devices = {wia, lab};
  return f;
}

TEST(StiscanDoctor, FirstFailingCheckAndItsExitCode)
{
  using State = ActivationFacts::State;
  struct Case {
    const char* what;
    void (*breaks)(DoctorFacts&);
    const char* failing;  // the first failed check; null: none
    int exitCode;
    bool activationPossible;
  };
  const Case cases[] = {
      {"healthy", [](DoctorFacts&) {}, nullptr, 0, true},
      {"no PIN only warns", [](DoctorFacts& f) { f.devices[1].pinSet = false; }, nullptr, 0, true},
      {"a 32-bit server", [](DoctorFacts& f) { f.server.kind.machine = kMachineX86; },
       "registration", 5, false},
      {"x64 proxy in the 32-bit view", [](DoctorFacts& f) { f.proxy32 = f.proxy64; }, "proxy-x86",
       5, false},
      {"x64 proxy gone (32-bit stiscan)", [](DoctorFacts& f) { f.proxy64.file.exists = false; },
       "proxy-x64", 5, true},
      {"x64 proxy gone (64-bit stiscan)",
       [](DoctorFacts& f) {
         f.bits = 64;
         f.proxy64.file.exists = false;
       },
       "proxy-x64", 5, false},
      {"timed out", [](DoctorFacts& f) { f.activation.state = State::kTimedOut; }, "activation", 1,
       true},
      {"no interface",
       [](DoctorFacts& f) {
         f.activation.state = State::kFailed;
         f.activation.exitCode = 5;
       },
       "activation", 5, true},
      {"no list", [](DoctorFacts& f) { f.activation.listed = false; }, "scanners", 1, true},
      {"another --device", [](DoctorFacts& f) { f.deviceWanted = "Floor 2"; }, "scanners", 3, true},
      {"UserDataKey a number",
       [](DoctorFacts& f) { f.devices[1].userDataKey.state = ValueFacts::State::kNotText; },
       "device-values", 1, true},
      {"FilingPath too long for the server",
       [](DoctorFacts& f) { f.devices[1].filingPath.units = 260; }, "device-values", 1, true},
      {"no folder", [](DoctorFacts& f) { f.devices[1].folderExists = false; }, "device-values", 1,
       true},
      // The x86 proxy as the 64-bit doctor finds it in the 32-bit view.
      {"x86 proxy without DllGetClassObject (64-bit stiscan)",
       [](DoctorFacts& f) {
         f.bits = 64;
         f.proxy32.file.exports = {"DllCanUnloadNow"};
       },
       "proxy-x86", 5, true},
      {"x86 proxy's export table unreadable (64-bit stiscan)",
       [](DoctorFacts& f) {
         f.bits = 64;
         f.proxy32.file.exportsRead = false;
       },
       "proxy-x86", 5, true},
      {"x86 proxy class without a file (64-bit stiscan)",
       [](DoctorFacts& f) {
         f.bits = 64;
         f.proxy32.file = {};
       },
       "proxy-x86", 5, true},
      {"x64 proxy without exports (32-bit stiscan)",
       [](DoctorFacts& f) { f.proxy64.file.exports.clear(); }, "proxy-x64", 5, true},
      {"healthy from 64 bits", [](DoctorFacts& f) { f.bits = 64; }, nullptr, 0, true},
      // LocalServer32 with a space in its path: quoted it is sound, unquoted
      // COM may start C:\Program.exe instead, which only warns.
      {"server path with a space, quoted",
       [](DoctorFacts& f) {
         f.server.path = "C:\\Program Files\\stibridge.exe";
         f.serverValue = " \"C:\\Program Files\\stibridge.exe\"";
       },
       nullptr, 0, true},
      {"server path with a space, unquoted",
       [](DoctorFacts& f) {
         f.server.path = "C:\\Program Files\\stibridge.exe";
         f.serverValue = "C:\\Program Files\\stibridge.exe";
       },
       nullptr, 0, true},
  };
  for (const Case& c : cases) {
    DoctorFacts facts = HealthyFacts();
    c.breaks(facts);
    EXPECT_EQ(ActivationPossible(facts), c.activationPossible) << c.what;
    const std::vector<Check> checks = Diagnose(facts);
    const Check* failed = nullptr;
    for (const Check& check : checks) {
      if (check.status == Check::Status::kFailed && failed == nullptr) failed = &check;
      // Every check says what it found, and every one that failed what to do.
      EXPECT_FALSE(check.found.empty()) << c.what << ": " << check.id;
      EXPECT_EQ(check.remedy.empty(),
                check.status == Check::Status::kOk || check.status == Check::Status::kSkipped)
          << c.what << ": " << check.id;
    }
    EXPECT_EQ(failed == nullptr ? "" : failed->id, c.failing ? c.failing : "") << c.what;
    EXPECT_EQ(DoctorExitCode(checks), c.exitCode) << c.what;
    // Only the 32-bit stiscan, a data source's bitness, says that a data
    // source would work; the 64-bit one says who can tell.
    const std::string report = DoctorReport(checks, facts.bits, false);
    const std::string json = DoctorReport(checks, facts.bits, true);
    const char* verdict = c.failing          ? "A data source would not work"
                          : facts.bits == 32 ? "A data source would work"
                                             : "only the 32-bit stiscan doctor can tell";
    EXPECT_NE(report.find(verdict), std::string::npos) << c.what << ": " << report;
    EXPECT_EQ(report.find("A data source would work") != std::string::npos,
              !c.failing && facts.bits == 32)
        << c.what;
    const char* works = c.failing          ? "\"works\": false"
                        : facts.bits == 32 ? "\"works\": true"
                                           : "\"works\": null";
    EXPECT_EQ(json.rfind(std::string("{") + works, 0), 0u) << c.what << ": " << json;
    EXPECT_EQ(checks[0].status == Check::Status::kWarning,
              std::string(c.what) == "server path with a space, unquoted")
        << c.what << ": " << checks[0].found;
    if (!c.failing && facts.bits == 64) {
      EXPECT_NE(checks[1].found.find("cannot be tried from this 64-bit stiscan"), std::string::npos)
          << checks[1].found;
    }
  }
}

// A DLL as the linker lays it out: DOS header, PE header, the optional
// header of PE32 (or PE32+) whose first data directory names the export
// table, one section holding that table and its names.
std::vector<unsigned char> DllWithExports(const std::vector<std::string>& names, bool plus)
{
  const size_t lfanew = 0x80, optional = lfanew + 24, optionalBytes = plus ? 240 : 224;
  const size_t table = optional + optionalBytes, raw = 0x400;
  const uint32_t base = 0x2000;  // the section's address
  std::vector<unsigned char> bytes = PeHead(plus ? kMachineX64 : kMachineX86, true, lfanew);
  bytes.resize(raw, 0);
  const auto put16 = [&](size_t at, unsigned v) {
    bytes[at] = static_cast<unsigned char>(v);
    bytes[at + 1] = static_cast<unsigned char>(v >> 8);
  };
  const auto put32 = [&](size_t at, uint32_t v) {
    if (bytes.size() < at + 4) bytes.resize(at + 4, 0);
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  put16(lfanew + 6, 1);  // one section
  put16(lfanew + 20, static_cast<unsigned>(optionalBytes));
  put16(optional, plus ? 0x20B : 0x10B);
  const size_t directories = optional + (plus ? 112 : 96);
  put32(directories - 4, 16);  // NumberOfRvaAndSizes
  put32(directories, base);    // the export table, at the section's start
  // The section: virtual size, address, raw size, raw offset.
  put32(table + 8, 0x1000);
  put32(table + 12, base);
  put32(table + 16, 0x1000);
  put32(table + 20, static_cast<uint32_t>(raw));
  // The export directory, then the array of name addresses, then the names.
  const uint32_t list = base + 40;
  put32(raw + 24, static_cast<uint32_t>(names.size()));
  put32(raw + 32, list);
  uint32_t next = list + 4 * static_cast<uint32_t>(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    put32(raw + (list - base) + 4 * i, next);
    const size_t at = raw + (next - base);
    bytes.resize(std::max(bytes.size(), at + names[i].size() + 1), 0);
    std::memcpy(bytes.data() + at, names[i].c_str(), names[i].size() + 1);
    next += static_cast<uint32_t>(names[i].size() + 1);
  }
  bytes.resize(raw + 0x1000, 0);
  return bytes;
}

TEST(StiscanDoctor, ExportedNames)
{
  const std::vector<std::string> proxy = {"DllCanUnloadNow", "DllGetClassObject",
                                          "DllRegisterServer", "DllUnregisterServer"};
  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
    bool read;
    std::vector<std::string> names;
  };
  std::vector<unsigned char> noTable = DllWithExports({}, false);
  noTable[0x80 + 24 + 96] = noTable[0x80 + 24 + 97] = 0;  // no export directory
  std::vector<unsigned char> astray = DllWithExports(proxy, false);
  astray[0x80 + 24 + 96 + 2] = 0x7f;  // the table's address in no section
  std::vector<unsigned char> cut = DllWithExports(proxy, true);
  cut.resize(0x400 + 60);  // the names' array cut short
  std::vector<unsigned char> unterminated = DllWithExports({"DllGetClassObject"}, false);
  unterminated.resize(unterminated.size() - 0x1000 + 40 + 4 + 17);
  std::vector<unsigned char> magic = DllWithExports(proxy, false);
  magic[0x80 + 24] = 0x07;  // neither PE32 nor PE32+
  const Case cases[] = {
      {"a PE32 proxy", DllWithExports(proxy, false), true, proxy},
      {"a PE32+ proxy", DllWithExports(proxy, true), true, proxy},
      {"exports nothing", noTable, true, {}},
      {"an export table outside every section", astray, false, {}},
      {"cut in its names", cut, false, {}},
      {"a name without its end", unterminated, false, {}},
      {"an optional header of no kind", magic, false, {}},
      {"not a PE file", std::vector<unsigned char>(4096, 'x'), false, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> names = {"left over"};
    EXPECT_EQ(ExportedNames(c.bytes.data(), c.bytes.size(), names), c.read) << c.what;
    EXPECT_EQ(names, c.names) << c.what;
  }
}

}  // namespace

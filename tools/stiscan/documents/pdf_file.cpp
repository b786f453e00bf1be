#include "documents/pdf_file.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>

namespace stiscan {

namespace {

constexpr unsigned char kSubFilter = 1;

// The 8-bit rows of a page, each behind its filter byte, through zlib as
// they are made, so that the filtered page never exists whole.
class Deflater {
 public:
  explicit Deflater(std::vector<unsigned char>& out) : out_(out)
  {
    ok_ = deflateInit(&z_, Z_DEFAULT_COMPRESSION) == Z_OK;
  }
  ~Deflater() { deflateEnd(&z_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool Add(const unsigned char* bytes, size_t count, bool last)
  {
    if (!ok_) return false;
    z_.next_in = const_cast<unsigned char*>(bytes);
    z_.avail_in = static_cast<uInt>(count);
    for (;;) {
      z_.next_out = chunk_;
      z_.avail_out = sizeof chunk_;
      const int status = deflate(&z_, last ? Z_FINISH : Z_NO_FLUSH);
      if (status == Z_STREAM_ERROR) return ok_ = false;
      out_.insert(out_.end(), chunk_, chunk_ + (sizeof chunk_ - z_.avail_out));
      if (last ? status == Z_STREAM_END : z_.avail_out != 0) return true;
    }
  }

 private:
  z_stream z_ = {};
  unsigned char chunk_[64 * 1024];
  std::vector<unsigned char>& out_;
  bool ok_ = false;
};

std::string Number(double value)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", value);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

}  // namespace

bool FlateImage(const Raster& raster, PdfImage& out)
{
  const Pixels pixels = PixelsOf(raster);
  PdfImage image;
  image.width = raster.width;
  image.height = raster.height;
  image.xDpi = raster.xDpi;
  image.yDpi = raster.yDpi;
  image.bitsPerComponent = pixels == Pixels::kBlackWhite ? 1 : 8;
  image.colours = pixels == Pixels::kColour ? 3 : 1;
  const size_t rowBytes = (static_cast<size_t>(raster.width) * PlainBits(pixels) + 7) / 8;
  const bool filtered = pixels != Pixels::kBlackWhite;
  if (filtered) image.predictorColumns = static_cast<int>(raster.width);
  // A plain row, and the same after its filter byte.
  std::vector<unsigned char> plain(rowBytes), row(rowBytes + 1);
  Deflater deflater(image.data);
  const size_t step = static_cast<size_t>(image.colours);
  for (long y = 0; y < raster.height; ++y) {
    PlainRow(raster, pixels, y, plain.data());
    const bool last = y + 1 == raster.height;
    bool ok;
    if (!filtered) {
      ok = deflater.Add(plain.data(), rowBytes, last);
    } else {
      row[0] = kSubFilter;
      unsigned char* samples = row.data() + 1;
      if (pixels == Pixels::kColour) {
        for (size_t x = 0; x < rowBytes; x += 3) {  // B, G, R to R, G, B
          samples[x] = plain[x + 2];
          samples[x + 1] = plain[x + 1];
          samples[x + 2] = plain[x];
        }
      } else {
        std::memcpy(samples, plain.data(), rowBytes);
      }
      for (size_t x = rowBytes; x-- > step;)
        samples[x] = static_cast<unsigned char>(samples[x] - samples[x - step]);
      ok = deflater.Add(row.data(), row.size(), last);
    }
    if (!ok) return false;
  }
  out = std::move(image);
  return true;
}

PdfImage DctImage(const Raster& raster, std::vector<unsigned char>&& jpeg)
{
  PdfImage image;
  image.width = raster.width;
  image.height = raster.height;
  image.xDpi = raster.xDpi;
  image.yDpi = raster.yDpi;
  image.colours = PixelsOf(raster) == Pixels::kColour ? 3 : 1;
  image.dct = true;
  image.data = std::move(jpeg);
  return image;
}

void PdfWriter::Object(std::string& out, size_t number)
{
  offsets_.resize(number);
  offsets_[number - 1] = size_ + out.size();
  out += std::to_string(number) + " 0 obj\n";
}

std::string PdfWriter::Begin(size_t pages)
{
  // Objects: 1 the catalogue, 2 the page tree, then per page its page, its
  // content and its image.
  size_ = 0;
  pages_ = pages;
  added_ = 0;
  offsets_.clear();
  std::string out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  Object(out, 1);
  out += "<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
  Object(out, 2);
  std::string kids;
  for (size_t i = 0; i < pages; ++i) kids += std::to_string(3 + 3 * i) + " 0 R ";
  out += "<< /Type /Pages /Kids [ " + kids + "] /Count " + std::to_string(pages) + " >>\nendobj\n";
  size_ += out.size();
  return out;
}

bool PdfWriter::Page(const PdfImage& image, std::string& before, std::string& after)
{
  if (added_ >= pages_) return false;
  std::string out;
  const size_t page = 3 + 3 * added_, content = page + 1, xobject = page + 2;
  const double xDpi = image.xDpi > 0 ? image.xDpi : 72, yDpi = image.yDpi > 0 ? image.yDpi : 72;
  const std::string width = Number(static_cast<double>(image.width) * 72.0 / xDpi);
  const std::string height = Number(static_cast<double>(image.height) * 72.0 / yDpi);
  Object(out, page);
  out += "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + width + " " + height +
         "] /Resources << /XObject << /Im0 " + std::to_string(xobject) + " 0 R >> >> /Contents " +
         std::to_string(content) + " 0 R >>\nendobj\n";
  const std::string draw = "q " + width + " 0 0 " + height + " 0 0 cm /Im0 Do Q\n";
  Object(out, content);
  out +=
      "<< /Length " + std::to_string(draw.size()) + " >>\nstream\n" + draw + "endstream\nendobj\n";
  Object(out, xobject);
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
                    " /BitsPerComponent " + std::to_string(image.bitsPerComponent) + " /Columns " +
                    std::to_string(image.predictorColumns) + " >>";
  }
  out += dictionary + " /Length " + std::to_string(image.data.size()) + " >>\nstream\n";
  const std::string end = "\nendstream\nendobj\n";
  const uint64_t grown = out.size() + static_cast<uint64_t>(image.data.size()) + end.size();
  if (size_ + grown > kMostPdfBytes) {
    offsets_.resize(page - 1);
    return false;
  }
  size_ += grown;
  ++added_;
  before = std::move(out);
  after = end;
  return true;
}

bool PdfWriter::End(std::string& end)
{
  if (added_ != pages_) return false;
  std::string out = "xref\n0 " + std::to_string(offsets_.size() + 1) + "\n0000000000 65535 f \n";
  for (uint64_t offset : offsets_) {
    char entry[24];
    std::snprintf(entry, sizeof entry, "%010llu 00000 n \n",
                  static_cast<unsigned long long>(offset));
    out += entry;
  }
  out += "trailer\n<< /Size " + std::to_string(offsets_.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(size_) + "\n%%EOF\n";
  if (size_ + out.size() > kMostPdfBytes) return false;
  size_ += out.size();
  end = std::move(out);
  return true;
}

}  // namespace stiscan

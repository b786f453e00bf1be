#include "page_output.h"

namespace stiscan {

namespace {

constexpr DWORD kDriverBmp = 5, kDriverTiff = 1;

std::wstring ExtensionOf(const std::string& format)
{
  if (format == "pdf") return L".pdf";
  if (format == "tiff") return L".tif";
  if (format == "png") return L".png";
  if (format == "jpeg") return L".jpg";
  return L".bmp";
}

}  // namespace

double Seconds()
{
  static const double perSecond = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / perSecond;
}

PageOutput::PageOutput(const Options& options, PageFolder& folder)
    : options_(options), folder_(folder)
{
}

DWORD PageOutput::DriverFormat() const
{
  return options_.format == "tiff" ? kDriverTiff : kDriverBmp;
}

bool PageOutput::KeepsDriverFile() const
{
  return options_.transfer == "file" && (options_.format == "bmp" || options_.format == "tiff");
}

bool PageOutput::Encoded(bool ok, const EncodeFailure& failure, OutputFailure& out)
{
  if (!ok) out = {"the page could not be encoded: " + failure.what, failure.hr, false};
  return ok;
}

bool PageOutput::Write(const std::wstring& name, int page, const std::wstring& extension,
                       std::span<const unsigned char> bytes, std::vector<Written>& written,
                       OutputFailure& failure)
{
  const double started = Seconds();
  Written file;
  FileFailure fileFailure;
  const bool ok = folder_.Write(name, page, extension, bytes, file.shown, file.path, fileFailure);
  writeSeconds_ += Seconds() - started;
  if (!ok) {
    failure = {fileFailure.what, HRESULT_FROM_WIN32(fileFailure.error), true};
    return false;
  }
  file.bytes = static_cast<long long>(bytes.size());
  written.push_back(file);
  return true;
}

bool PageOutput::Page(const std::wstring& name, int page, const Raster& raster,
                      std::vector<Written>& written, OutputFailure& failure)
{
  const std::string& format = options_.format;
  if (format == "bmp") {
    std::vector<unsigned char> made;
    const double started = Seconds();
    const std::span<const unsigned char> bmp = BmpBytes(raster, made);
    encodeSeconds_ += Seconds() - started;
    ++encodedPages_;
    return Write(name, page, L".bmp", bmp, written, failure);
  }
  const double started = Seconds();
  EncodeFailure encodeFailure;
  bool ok = true;
  std::vector<unsigned char> file;
  if (format == "pdf") {
    PdfImage image;
    if (options_.jpegQuality > 0 && PixelsOf(raster) != Pixels::kBlackWhite) {
      ok = encoder_.Begin(Container::kJpeg, options_.jpegQuality, encodeFailure) &&
           encoder_.Add(raster, encodeFailure) && encoder_.Finish(file, encodeFailure);
      if (ok) image = DctImage(raster, std::move(file));
    } else if (!FlateImage(raster, image)) {
      encodeFailure = {"zlib failed", E_FAIL};
      ok = false;
    }
    if (ok) pdfPages_.push_back(std::move(image));
  } else if (format == "tiff") {
    // One TIFF per job, a frame per page.
    if (!tiffOpen_) ok = tiffOpen_ = encoder_.Begin(Container::kTiff, 0, encodeFailure);
    ok = ok && encoder_.Add(raster, encodeFailure);
  } else {
    const Container container = format == "png" ? Container::kPng : Container::kJpeg;
    ok = encoder_.Begin(container, options_.jpegQuality, encodeFailure) &&
         encoder_.Add(raster, encodeFailure) && encoder_.Finish(file, encodeFailure);
  }
  encodeSeconds_ += Seconds() - started;
  ++encodedPages_;
  if (!Encoded(ok, encodeFailure, failure)) return false;
  if (format == "pdf" || format == "tiff") return true;
  return Write(name, page, ExtensionOf(format), file, written, failure);
}

bool PageOutput::DriverFile(const std::wstring& name, int page,
                            std::span<const unsigned char> file, std::vector<Written>& written,
                            OutputFailure& failure)
{
  return Write(name, page, ExtensionOf(options_.format), file, written, failure);
}

bool PageOutput::EndJob(const std::wstring& name, std::vector<Written>& written,
                        OutputFailure& failure)
{
  std::vector<unsigned char> file;
  const double started = Seconds();
  if (options_.format == "pdf") {
    file = PdfFile(pdfPages_);
    pdfPages_.clear();
  } else if (options_.format == "tiff" && tiffOpen_) {
    tiffOpen_ = false;
    EncodeFailure encodeFailure;
    if (!Encoded(encoder_.Finish(file, encodeFailure), encodeFailure, failure)) return false;
  } else {
    return true;
  }
  encodeSeconds_ += Seconds() - started;
  return Write(name, 0, ExtensionOf(options_.format), file, written, failure);
}

void PageOutput::DropJob()
{
  pdfPages_.clear();
  encoder_.Discard();
  tiffOpen_ = false;
}

}  // namespace stiscan

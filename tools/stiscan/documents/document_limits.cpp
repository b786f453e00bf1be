#include "documents/document_limits.h"

#include <cstdio>

#include "documents/pdf_file.h"

namespace stiscan {

namespace {

// What a page costs beyond its samples: a TIFF frame's directory, a PDF
// page's objects and its share of the cross-reference table, a BMP's
// headers and palette.
constexpr uint64_t kPageOverhead = 4096;

std::string Megabytes(uint64_t bytes)
{
  char text[48];
  std::snprintf(text, sizeof text, "%.0f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

// a × b, or the largest count when it does not fit 64 bits.
uint64_t Times(uint64_t a, uint64_t b)
{
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

uint64_t Plus(uint64_t a, uint64_t b)
{
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

}  // namespace

uint64_t UncompressedPageBytes(long width, long height, int bitsPerPixel)
{
  if (width <= 0 || height <= 0 || bitsPerPixel <= 0) return 0;
  const uint64_t row =
      (Times(static_cast<uint64_t>(width), static_cast<uint64_t>(bitsPerPixel)) + 7) / 8;
  return Times(row, static_cast<uint64_t>(height));
}

std::string WhyJobDoesNotFit(const std::string& format, bool driverFiles, uint64_t pages,
                             uint64_t pageBytes)
{
  const uint64_t page = Plus(pageBytes, kPageOverhead);
  if (format == "bmp" || (driverFiles && format == "tiff")) {
    // A file per page: each page must fit one.
    const uint64_t most = format == "bmp" ? kMostBmpBytes : kMostTiffBytes;
    if (page <= most) return {};
    return "a page of " + Megabytes(pageBytes) + " is more than a " +
           (format == "bmp" ? std::string("BMP") : std::string("TIFF")) + " file holds (" +
           Megabytes(most + 1) + ")";
  }
  if (format == "tiff") {
    const uint64_t whole = Times(pages, page);
    if (whole <= kMostTiffBytes) return {};
    return "its " + std::to_string(pages) + " pages make up to " + Megabytes(whole) +
           " of TIFF, more than the " + Megabytes(kMostTiffBytes + 1) +
           " a TIFF file holds; pull it as PDF (--format pdf)";
  }
  if (format == "pdf") {
    // Flate makes a page at most a thousandth larger than its samples.
    const uint64_t whole = Times(pages, Plus(page, pageBytes / 1000));
    if (whole <= kMostPdfBytes) return {};
    return "its " + std::to_string(pages) + " pages make up to " + Megabytes(whole) +
           " of PDF, more than the " + Megabytes(kMostPdfBytes) +
           " whose offsets a PDF's cross-reference table holds";
  }
  return {};
}

std::string WhyPageDoesNotFit(const std::string& format, bool driverFiles, uint64_t written,
                              uint64_t pageBytes)
{
  if (format == "pdf") return {};
  if (format != "tiff" || driverFiles) return WhyJobDoesNotFit(format, driverFiles, 1, pageBytes);
  const uint64_t whole = Plus(written, Plus(pageBytes, kPageOverhead));
  if (whole <= kMostTiffBytes) return {};
  return "with its page of " + Megabytes(pageBytes) + " the TIFF would reach " + Megabytes(whole) +
         ", more than the " + Megabytes(kMostTiffBytes + 1) +
         " a TIFF file holds; pull it as PDF (--format pdf)";
}

}  // namespace stiscan

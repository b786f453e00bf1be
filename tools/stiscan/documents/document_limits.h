// How large a file of each format can grow: a job whose files could not
// hold it is refused before its first page is read, rather than written
// into a file that wraps its own offsets.
#pragma once

#include <cstdint>
#include <string>

namespace stiscan {

// The most bytes of a classic TIFF, whose offsets count 32 bits.
constexpr uint64_t kMostTiffBytes = 0xFFFFFFFFull;
// The most bytes of a BMP file, whose header counts 32 bits.
constexpr uint64_t kMostBmpBytes = 0xFFFFFFFFull;

// The bytes of one page's samples, uncompressed: `width` × `height` pixels
// of `bitsPerPixel`, rows padded to a byte; 0 for a page of no size.
uint64_t UncompressedPageBytes(long width, long height, int bitsPerPixel);

// Why a job of `pages` pages of `pageBytes` (UncompressedPageBytes) each
// does not fit its files in `format` (pdf, tiff, png, jpeg, bmp; a file
// transfer's own files when `driverFiles`), counted as if nothing were
// compressed (Wine's TIFF encoder compresses nothing); empty when it fits.
std::string WhyJobDoesNotFit(const std::string& format, bool driverFiles, uint64_t pages,
                             uint64_t pageBytes);

// Why a later page of `pageBytes` does not fit the job's files, `written`
// bytes of its document (a TIFF) being on the disk already: what the count
// before the first page could not know, a page larger than the first. A
// TIFF would pass its 4 GB; a file of its own (BMP, the scanner's TIFF)
// holds no such page. Empty when it fits (a PDF's pages are counted as the
// document is written, on their compressed size).
std::string WhyPageDoesNotFit(const std::string& format, bool driverFiles, uint64_t written,
                              uint64_t pageBytes);

}  // namespace stiscan

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

}  // namespace stiscan

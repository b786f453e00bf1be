// The file of a page that the source writes itself, for a page cut to the
// frame (the scanner writes its pages whole): from the packed DIB the
// source builds, a BMP as it is, or a TIFF (uncompressed) or JPEG through
// the platform's imaging component (WIC) in the application's process.
// COM must be set up on the thread.
#pragma once

#include <windows.h>

#include <vector>

namespace twainds {

// The file in `format` (TWFF_BMP, TWFF_TIFF or TWFF_JFIF) of the packed DIB
// of `bytes` bytes at `dib` (a DIB of 1, 8 or 24 bits, as CropDib leaves
// it), at `dpi` dots per inch. E_INVALIDARG for another format.
HRESULT PageFile(unsigned short format, const unsigned char* dib, size_t bytes, double dpi,
                 std::vector<unsigned char>& file);

}  // namespace twainds

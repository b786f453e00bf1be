// The TWAIN values of the scan settings by name, for people: pixel types,
// paper sizes, file formats, and the "name=value,..." list that
// `stiscan settings --set` takes.
#pragma once

#include <optional>
#include <string>

namespace stiscan {

struct NamedValue {
  const char* name;
  short value;
};

// The name of a value (or the number when the table has no name for it).
std::string PixelTypeName(short value);
std::string PaperSizeName(short value);
std::string FileFormatName(short value);

// The scan settings in the client's terms.
struct ScanSettings {
  short pixelType = 0, paperSize = 0, resolution = 0, fileFormat = 0, optionFlag = 0;
  short sizeFlag = 0;  // input only: the second code of a paper size that has two
};

// Applies "pixel=rgb,paper=a4,resolution=300,format=tiff,option=on" (any
// subset, in any order; numbers are accepted for every value) to `settings`.
// False with a sentence in `error` for an unknown key or value.
bool ApplySettingsList(const std::string& list, ScanSettings& settings, std::string& error);

// Dots per inch of a stored job's resolution code.
int ResolutionOfCode(int code);

}  // namespace stiscan

#include "server/twain_names.h"

#include <cstdlib>
#include <iterator>

namespace stiscan {

namespace {

constexpr NamedValue kPixelTypes[] = {{"bw", 0}, {"grey", 1}, {"gray", 1}, {"rgb", 2}};
constexpr NamedValue kPaperSizes[] = {{"none", 0},       {"a4", 1},  {"letter", 3},
                                      {"legal", 4},      {"a5", 5},  {"ledger", 9},
                                      {"executive", 10}, {"a3", 11}, {"statement", 52}};
constexpr NamedValue kFileFormats[] = {
    {"tiff", 0}, {"bmp", 2}, {"jpeg", 4}, {"jfif", 4}, {"tiff-multi", 6}};
constexpr NamedValue kSwitches[] = {{"off", 0}, {"on", 1}, {"no", 0}, {"yes", 1}};

template <size_t N>
std::string NameOf(const NamedValue (&table)[N], short value)
{
  for (const NamedValue& entry : table)
    if (entry.value == value) return entry.name;
  return std::to_string(value);
}

// A name of the table, or a whole number in the 16-bit range.
template <size_t N>
std::optional<short> ValueOf(const NamedValue (&table)[N], const std::string& text)
{
  for (const NamedValue& entry : table)
    if (text == entry.name) return entry.value;
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const long number = std::strtol(text.c_str(), &end, 10);
  if (*end != 0 || number < -32768 || number > 32767) return std::nullopt;
  return static_cast<short>(number);
}

constexpr NamedValue kNoNames[] = {{"", 0}};

}  // namespace

std::string PixelTypeName(short value)
{
  return NameOf(kPixelTypes, value);
}

std::string PaperSizeName(short value)
{
  return NameOf(kPaperSizes, value);
}

std::string FileFormatName(short value)
{
  return NameOf(kFileFormats, value);
}

bool ApplySettingsList(const std::string& list, ScanSettings& settings, std::string& error)
{
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(start, end - start);
    start = end + 1;
    if (item.empty()) continue;
    const size_t equals = item.find('=');
    if (equals == std::string::npos) {
      error = "\"" + item + "\" is not a name=value pair.";
      return false;
    }
    const std::string key = item.substr(0, equals), text = item.substr(equals + 1);
    std::optional<short> value;
    short* field = nullptr;
    if (key == "pixel") {
      value = ValueOf(kPixelTypes, text);
      field = &settings.pixelType;
    } else if (key == "paper") {
      value = ValueOf(kPaperSizes, text);
      field = &settings.paperSize;
    } else if (key == "resolution") {
      value = ValueOf(kNoNames, text);
      field = &settings.resolution;
    } else if (key == "format") {
      value = ValueOf(kFileFormats, text);
      field = &settings.fileFormat;
    } else if (key == "option") {
      value = ValueOf(kSwitches, text);
      field = &settings.optionFlag;
    } else if (key == "sizeflag") {
      value = ValueOf(kSwitches, text);
      field = &settings.sizeFlag;
    } else {
      error =
          "\"" + key + "\" is not a setting (pixel, paper, resolution, format, option, sizeflag).";
      return false;
    }
    if (!value || (field == &settings.resolution && *value <= 0)) {
      error = "\"" + text + "\" is not a value of " + key + ".";
      return false;
    }
    *field = *value;
  }
  return true;
}

int ResolutionOfCode(int code)
{
  static constexpr int kDpi[] = {100, 200, 300, 400, 600, 150, 72};
  return code >= 1 && code < static_cast<int>(std::size(kDpi)) ? kDpi[code] : 100;
}

}  // namespace stiscan

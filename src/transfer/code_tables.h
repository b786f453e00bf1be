// Translations between the driver's codes and the client's TWAIN values, as
// data. Each table is read row by row; the first row that matches decides,
// and a value that no row names takes the table's `otherwise`. The tables
// are not inverses of each other: a client value can go out as a code that
// reads back as another value, and some codes read differently in different
// places (the item's stored file format, the image resolution).
#pragma once

#include <optional>
#include <span>

#include "platform/win32.h"

namespace code_tables {

// Driver codes `low` to `high` give `value`.
struct DecodeRow {
  LONG low;
  LONG high;
  SHORT value;
};
struct DecodeTable {
  std::span<const DecodeRow> rows;
  // Empty: a code that no row names gives nothing (the caller's value stays).
  std::optional<SHORT> otherwise;
};
std::optional<SHORT> Decode(const DecodeTable& table, LONG code);

// Client value `value` goes out as `code`.
struct EncodeRow {
  SHORT value;
  LONG code;
};
struct EncodeTable {
  std::span<const EncodeRow> rows;
  LONG otherwise;
};
LONG Encode(const EncodeTable& table, SHORT value);

// Paper sizes have two driver codes where the size flag picks the second.
struct PaperRow {
  SHORT paperSize;
  LONG code;
  LONG flaggedCode;
};
LONG EncodePaperSize(SHORT paperSize, SHORT sizeFlag);

// WIA data type to TWAIN pixel type (item information and scan settings).
extern const DecodeTable kPixelTypeFromDataType;
// Scan settings, driver to client.
extern const DecodeTable kResolutionFromCode;
extern const DecodeTable kPaperSizeFromCode;
extern const DecodeTable kFileFormatFromCode;
extern const DecodeTable kOptionFromCode;
// The stored file format of an item: four codes, nothing for the others.
extern const DecodeTable kItemFileFormatFromCode;
// Image information: the resolution in dots per inch, 100 by default.
extern const DecodeTable kImageResolutionFromCode;

// Scan settings, client to driver.
extern const EncodeTable kDataTypeFromPixelType;
extern const EncodeTable kCodeFromFileFormat;
extern const EncodeTable kCodeFromResolution;
extern const EncodeTable kCodeFromOption;

}  // namespace code_tables

#include "transfer/code_tables.h"

#include <limits>

namespace code_tables {

namespace {

// A row for one code.
constexpr DecodeRow One(LONG code, SHORT value)
{
  return {code, code, value};
}

constexpr LONG kLowest = std::numeric_limits<LONG>::min();
constexpr LONG kHighest = std::numeric_limits<LONG>::max();

// TWAIN pixel types.
constexpr SHORT kBlackWhite = 0, kGrey = 1, kRgb = 2;
// TWAIN ICAP_SUPPORTEDSIZES codes.
constexpr SHORT kNone = 0, kA4 = 1, kUsLetter = 3, kUsLegal = 4, kA5 = 5, kUsLedger = 9,
                kUsExecutive = 10, kA3 = 11, kUsStatement = 52;
// TWAIN ICAP_IMAGEFILEFORMAT codes.
constexpr SHORT kTiff = 0, kBmp = 2, kJfif = 4, kTiffMulti = 6;

constexpr DecodeRow kPixelTypeRows[] = {One(2, kGrey), One(3, kRgb)};
constexpr DecodeRow kResolutionRows[] = {One(0, 100), One(1, 200), One(2, 300), One(3, 400),
                                         One(4, 600), One(5, 150), One(6, 72)};
constexpr DecodeRow kPaperSizeRows[] = {{kLowest, -1, kUsLetter},
                                        One(0, kNone),
                                        {1, 2, kUsStatement},
                                        {3, 5, kUsLetter},
                                        One(6, kUsLegal),
                                        One(7, kUsExecutive),
                                        {8, 9, kA5},
                                        {10, 11, kA4},
                                        One(12, kA3),
                                        {13, kHighest, kUsLetter}};
constexpr DecodeRow kFileFormatRows[] = {One(0, kJfif), One(1, kTiff), One(2, kTiffMulti)};
constexpr DecodeRow kOptionRows[] = {One(1, 1)};
constexpr DecodeRow kItemFileFormatRows[] = {One(0, kJfif), One(1, kTiff), One(2, kTiffMulti),
                                             One(5, kBmp)};
constexpr DecodeRow kImageResolutionRows[] = {One(1, 200), One(2, 300), One(3, 400),
                                              One(4, 600), One(5, 150), One(6, 72)};

constexpr EncodeRow kDataTypeRows[] = {{kRgb, 3}};
constexpr EncodeRow kFileFormatCodeRows[] = {{kTiff, 1}, {kBmp, 5}, {kJfif, 0}};
constexpr EncodeRow kResolutionCodeRows[] = {{72, 6},  {100, 0}, {150, 5},
                                             {200, 1}, {300, 2}, {400, 3}};
constexpr EncodeRow kOptionCodeRows[] = {{0, 0}};

constexpr PaperRow kPaperRows[] = {
    {kNone, 0, 0},     {kA4, 10, 11},        {kUsLegal, 6, 6}, {kA5, 8, 9},
    {kUsLedger, 7, 7}, {kUsExecutive, 7, 7}, {kA3, 12, 12},    {kUsStatement, 3, 2},
};
constexpr LONG kPaperOtherwise = 0;

}  // namespace

const DecodeTable kPixelTypeFromDataType{kPixelTypeRows, kBlackWhite};
const DecodeTable kResolutionFromCode{kResolutionRows, 600};
const DecodeTable kPaperSizeFromCode{kPaperSizeRows, kUsLetter};
const DecodeTable kFileFormatFromCode{kFileFormatRows, kBmp};
const DecodeTable kOptionFromCode{kOptionRows, 0};
const DecodeTable kItemFileFormatFromCode{kItemFileFormatRows, std::nullopt};
const DecodeTable kImageResolutionFromCode{kImageResolutionRows, 100};

const EncodeTable kDataTypeFromPixelType{kDataTypeRows, 0};
const EncodeTable kCodeFromFileFormat{kFileFormatCodeRows, 2};
const EncodeTable kCodeFromResolution{kResolutionCodeRows, 4};
const EncodeTable kCodeFromOption{kOptionCodeRows, 1};

std::optional<SHORT> Decode(const DecodeTable& table, LONG code)
{
  for (const DecodeRow& row : table.rows)
    if (code >= row.low && code <= row.high) return row.value;
  return table.otherwise;
}

LONG Encode(const EncodeTable& table, SHORT value)
{
  for (const EncodeRow& row : table.rows)
    if (row.value == value) return row.code;
  return table.otherwise;
}

LONG EncodePaperSize(SHORT paperSize, SHORT sizeFlag)
{
  for (const PaperRow& row : kPaperRows)
    if (row.paperSize == paperSize) return sizeFlag != 0 ? row.flaggedCode : row.code;
  return kPaperOtherwise;
}

}  // namespace code_tables

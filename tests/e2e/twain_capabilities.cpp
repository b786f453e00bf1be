// Capability negotiation in state 4, for every capability the source lists,
// in every container type it takes: what each one answers, what setting it
// does (to the scanner, for its settings), constraints, resets, and what a
// bad container gets.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "twain_client.h"

namespace {

// A container as the application reads it, with twain.h's structures.
struct Got {
  TW_UINT16 rc = 0, cc = 0, conType = 0, itemType = 0;
  std::vector<TW_UINT32> items;
  std::vector<std::wstring> texts;
  TW_UINT32 currentIndex = 0, defaultIndex = 0;
  TW_UINT32 minValue = 0, maxValue = 0, stepSize = 0, defaultValue = 0, currentValue = 0;
};

size_t Width(TW_UINT16 type)
{
  return type == TWTY_INT16 || type == TWTY_UINT16 || type == TWTY_BOOL ? 2 : 4;
}

std::wstring Widened(const std::string& text)
{
  std::wstring wide(text.size(), L'\0');
  const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                        wide.data(), static_cast<int>(wide.size()));
  wide.resize(units > 0 ? static_cast<size_t>(units) : 0);
  return wide;
}

TW_UINT32 ItemAt(const TW_UINT8* list, TW_UINT16 type, size_t i)
{
  TW_UINT32 value = 0;
  std::memcpy(&value, list + i * Width(type), Width(type));
  return value;
}

Got Ask(TwainApp& twain, TW_UINT16 cap, TW_UINT16 message)
{
  Got got;
  TW_CAPABILITY capability = {cap, TWON_DONTCARE16, nullptr};
  got.rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, message, &capability);
  got.cc = twain.Condition();
  got.conType = capability.ConType;
  if (got.rc != TWRC_SUCCESS || capability.hContainer == nullptr) return got;
  void* at = GlobalLock(capability.hContainer);
  switch (capability.ConType) {
    case TWON_ONEVALUE: {
      const auto* one = static_cast<TW_ONEVALUE*>(at);
      got.itemType = one->ItemType;
      got.items.push_back(Width(one->ItemType) == 2 ? one->Item & 0xFFFF : one->Item);
      break;
    }
    case TWON_ENUMERATION: {
      const auto* list = static_cast<TW_ENUMERATION*>(at);
      got.itemType = list->ItemType;
      got.currentIndex = list->CurrentIndex;
      got.defaultIndex = list->DefaultIndex;
      for (size_t i = 0; i < list->NumItems; ++i)
        got.items.push_back(ItemAt(list->ItemList, list->ItemType, i));
      break;
    }
    case TWON_RANGE: {
      const auto* range = static_cast<TW_RANGE*>(at);
      got.itemType = range->ItemType;
      got.minValue = range->MinValue;
      got.maxValue = range->MaxValue;
      got.stepSize = range->StepSize;
      got.defaultValue = range->DefaultValue;
      got.currentValue = range->CurrentValue;
      break;
    }
    case TWON_ARRAY: {
      const auto* array = static_cast<TW_ARRAY*>(at);
      got.itemType = array->ItemType;
      for (size_t i = 0; i < array->NumItems; ++i) {
        if (array->ItemType == TWTY_UNI512) {
          const auto* text = reinterpret_cast<const wchar_t*>(array->ItemList + i * 1024);
          got.texts.emplace_back(text, wcsnlen(text, 512));
        } else if (array->ItemType == TWTY_STR255) {
          const auto* text = reinterpret_cast<const char*>(array->ItemList + i * 256);
          got.texts.push_back(Widened(std::string(text, strnlen(text, 256))));
        } else {
          got.items.push_back(ItemAt(array->ItemList, array->ItemType, i));
        }
      }
      break;
    }
    default:
      break;
  }
  GlobalUnlock(capability.hContainer);
  GlobalFree(capability.hContainer);
  return got;
}

TW_UINT32 Fix(double value)
{
  const TW_FIX32 fix = Fixed(value);
  TW_UINT32 raw = 0;
  std::memcpy(&raw, &fix, sizeof fix);
  return raw;
}

double Unfix(TW_UINT32 raw)
{
  TW_FIX32 fix;
  std::memcpy(&fix, &raw, sizeof fix);
  return fix.Whole + fix.Frac / 65536.0;
}

// Sets with a container the test makes itself: any kind, any size.
TW_UINT16 SetWith(TwainApp& twain, TW_UINT16 cap, TW_UINT16 conType, const void* bytes, size_t size,
                  TW_UINT16 message = MSG_SET)
{
  TW_CAPABILITY capability = {cap, conType, GlobalAlloc(GHND, size)};
  std::memcpy(GlobalLock(capability.hContainer), bytes, size);
  GlobalUnlock(capability.hContainer);
  const TW_UINT16 rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, message, &capability);
  GlobalFree(capability.hContainer);
  return rc;
}

// An enumeration of 16-bit items.
TW_UINT16 SetList(TwainApp& twain, TW_UINT16 cap, const std::vector<TW_UINT16>& items,
                  TW_UINT32 currentIndex, TW_UINT16 message = MSG_SET)
{
  std::vector<unsigned char> bytes(14 + 2 * items.size());
  const TW_UINT16 type = TWTY_UINT16;
  const TW_UINT32 count = static_cast<TW_UINT32>(items.size());
  std::memcpy(&bytes[0], &type, 2);
  std::memcpy(&bytes[2], &count, 4);
  std::memcpy(&bytes[6], &currentIndex, 4);
  std::memcpy(&bytes[10], &currentIndex, 4);
  std::memcpy(&bytes[14], items.data(), 2 * items.size());
  return SetWith(twain, cap, TWON_ENUMERATION, bytes.data(), bytes.size(), message);
}

TW_UINT16 SetRange(TwainApp& twain, TW_UINT16 cap, double low, double high, double current,
                   TW_UINT16 message)
{
  TW_RANGE range = {TWTY_FIX32, Fix(low), Fix(high), Fix(1), Fix(current), Fix(current)};
  return SetWith(twain, cap, TWON_RANGE, &range, sizeof range, message);
}

std::string Listed(const std::vector<TW_UINT32>& items)
{
  std::string text;
  for (TW_UINT32 item : items) text += std::to_string(item) + " ";
  return text;
}

// Every capability the source lists: how it answers MSG_GET (the
// containers of TWAIN 2.x, to an application of 2.x), which operations it
// has, a value MSG_SET takes and one it refuses (kNone: a boolean, which
// takes any value).
struct Row {
  const char* name;
  TW_UINT16 cap, itemType, getConType;
  TW_UINT32 operations;  // MSG_QUERYSUPPORT's answer
  TW_UINT32 good, bad;   // settable ones only
};
constexpr TW_UINT32 kReadOnly = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
constexpr TW_UINT32 kOneValue = kReadOnly | TWQC_SET | TWQC_RESET;
constexpr TW_UINT32 kListed = kOneValue | TWQC_SETCONSTRAINT | TWQC_CONSTRAINABLE;
constexpr TW_UINT32 kNone = 0xFFFFFFFF;
constexpr TW_UINT16 E = TWON_ENUMERATION, O = TWON_ONEVALUE;

const Row kRows[] = {
    {"xfercount", CAP_XFERCOUNT, TWTY_INT16, O, kOneValue, 3, 0xFFFE},
    {"uicontrollable", CAP_UICONTROLLABLE, TWTY_BOOL, E, kReadOnly, 0, 0},
    {"deviceonline", CAP_DEVICEONLINE, TWTY_BOOL, E, kReadOnly, 0, 0},
    {"indicators", CAP_INDICATORS, TWTY_BOOL, E, kListed, 0, kNone},
    {"feederenabled", CAP_FEEDERENABLED, TWTY_BOOL, E, kListed, 1, 0},
    {"autofeed", CAP_AUTOFEED, TWTY_BOOL, E, kListed, 1, 0},
    {"feederloaded", CAP_FEEDERLOADED, TWTY_BOOL, E, kReadOnly, 0, 0},
    {"paperdetectable", CAP_PAPERDETECTABLE, TWTY_BOOL, E, kReadOnly, 0, 0},
    {"jobcontrol", CAP_JOBCONTROL, TWTY_UINT16, E, kListed, TWJC_JSIC, TWJC_JSIS},
    {"xfermech", ICAP_XFERMECH, TWTY_UINT16, E, kListed, TWSX_MEMORY, 7},
    {"pixeltype", ICAP_PIXELTYPE, TWTY_UINT16, E, kListed, TWPT_BW, 9},
    // The pixel type is colour again after the row above reset it: 24 bits,
    // every channel counted; 8 is a channel's.
    {"bitdepth", ICAP_BITDEPTH, TWTY_UINT16, E, kListed, 24, 8},
    {"xresolution", ICAP_XRESOLUTION, TWTY_FIX32, E, kListed, Fix(200), Fix(1000)},
    {"yresolution", ICAP_YRESOLUTION, TWTY_FIX32, E, kListed, Fix(150), Fix(10)},
    {"xnativeresolution", ICAP_XNATIVERESOLUTION, TWTY_FIX32, O, kReadOnly, 0, 0},
    {"ynativeresolution", ICAP_YNATIVERESOLUTION, TWTY_FIX32, O, kReadOnly, 0, 0},
    {"units", ICAP_UNITS, TWTY_UINT16, E, kListed, TWUN_CENTIMETERS, TWUN_PIXELS},
    {"compression", ICAP_COMPRESSION, TWTY_UINT16, E, kListed, TWCP_NONE, 1},
    {"imagefileformat", ICAP_IMAGEFILEFORMAT, TWTY_UINT16, E, kListed, TWFF_TIFF, 99},
    {"supportedsizes", ICAP_SUPPORTEDSIZES, TWTY_UINT16, E, kListed, TWSS_USLEGAL, TWSS_USLEDGER},
    {"physicalwidth", ICAP_PHYSICALWIDTH, TWTY_FIX32, O, kReadOnly, 0, 0},
    {"physicalheight", ICAP_PHYSICALHEIGHT, TWTY_FIX32, O, kReadOnly, 0, 0},
    {"pixelflavor", ICAP_PIXELFLAVOR, TWTY_UINT16, E, kListed, TWPF_CHOCOLATE, TWPF_VANILLA},
    {"planarchunky", ICAP_PLANARCHUNKY, TWTY_UINT16, E, kListed, TWPC_CHUNKY, TWPC_PLANAR},
    {"bitorder", ICAP_BITORDER, TWTY_UINT16, E, kListed, TWBO_MSBFIRST, TWBO_LSBFIRST},
    {"extimageinfo", ICAP_EXTIMAGEINFO, TWTY_BOOL, E, kListed, 1, kNone},
    {"language", CAP_LANGUAGE, TWTY_UINT16, E, kOneValue, TWLG_GERMAN, TWLG_SPANISH},
};

// The arrays: read-only lists.
struct ArrayRow {
  TW_UINT16 cap, itemType;
};
const ArrayRow kArrays[] = {{CAP_SUPPORTEDCAPS, TWTY_UINT16},
                            {CAP_SUPPORTEDDATS, TWTY_UINT32},
                            {ICAP_SUPPORTEDEXTIMAGEINFO, TWTY_UINT16},
                            {STIBRIDGE_CAP_JOBS, TWTY_STR255}};

// The scanner's settings, through another client: which of them a row
// changes, and what it must read there after the row's good value. The file
// format of transfers is the application's, not the scanner's.
int SettingOf(TW_UINT16 cap)
{
  switch (cap) {
    case ICAP_PIXELTYPE:
      return 0;
    case ICAP_SUPPORTEDSIZES:
      return 1;
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION:
      return 2;
    default:
      return -1;
  }
}

short Stored(int setting)
{
  short settings[4] = {-1, -1, -1, -1};
  StoredSettings(settings);
  return settings[setting];
}

void CheckRow(TwainApp& twain, const Row& row)
{
  const std::string name = std::string("twain-cap-") + row.name;
  Got support = Ask(twain, row.cap, MSG_QUERYSUPPORT);
  Check(support.rc == TWRC_SUCCESS && support.conType == TWON_ONEVALUE &&
            support.itemType == TWTY_INT32 && support.items.size() == 1 &&
            support.items[0] == row.operations,
        name + "-querysupport", "rc " + std::to_string(support.rc) + " " + Listed(support.items));

  const Got current = Ask(twain, row.cap, MSG_GETCURRENT);
  const Got fallback = Ask(twain, row.cap, MSG_GETDEFAULT);
  const Got all = Ask(twain, row.cap, MSG_GET);
  Check(current.rc == TWRC_SUCCESS && current.conType == TWON_ONEVALUE &&
            current.itemType == row.itemType && fallback.rc == TWRC_SUCCESS &&
            fallback.conType == TWON_ONEVALUE && fallback.itemType == row.itemType,
        name + "-getcurrent-getdefault-one-value",
        "rc " + std::to_string(current.rc) + "/" + std::to_string(fallback.rc) + " types " +
            std::to_string(current.itemType) + "/" + std::to_string(fallback.itemType));
  bool consistent = all.rc == TWRC_SUCCESS && all.cc == TWCC_SUCCESS &&
                    all.conType == row.getConType && all.itemType == row.itemType &&
                    !current.items.empty() && !fallback.items.empty();
  if (consistent && all.conType == TWON_ENUMERATION)
    consistent =
        all.currentIndex < all.items.size() && all.items[all.currentIndex] == current.items[0] &&
        all.defaultIndex < all.items.size() && all.items[all.defaultIndex] == fallback.items[0];
  if (consistent && all.conType == TWON_RANGE)
    consistent = all.currentValue == current.items[0] && all.defaultValue == fallback.items[0] &&
                 Unfix(all.minValue) <= Unfix(all.currentValue) &&
                 Unfix(all.currentValue) <= Unfix(all.maxValue) && Unfix(all.stepSize) > 0;
  if (consistent && all.conType == TWON_ONEVALUE)
    consistent = all.items.size() == 1 && all.items[0] == current.items[0];
  Check(consistent, name + "-get-container",
        "rc " + std::to_string(all.rc) + " con " + std::to_string(all.conType) + " type " +
            std::to_string(all.itemType) + " items " + Listed(all.items));

  if (row.operations == kReadOnly) {
    TW_UINT16 rc =
        SetOne(twain, row.cap, row.itemType, current.items.empty() ? 0 : current.items[0]);
    std::string detail;
    twain.Expect(rc, TWRC_FAILURE, TWCC_CAPBADOPERATION, name + "-set-refused");
    TW_CAPABILITY capability = {row.cap, TWON_DONTCARE16, nullptr};
    rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &capability);
    twain.Expect(rc, TWRC_FAILURE, TWCC_CAPBADOPERATION, name + "-reset-refused");
    return;
  }
  std::string detail;
  TW_UINT16 rc = SetOne(twain, row.cap, row.itemType, row.good);
  const bool taken = twain.Answered(rc, TWRC_SUCCESS, TWCC_SUCCESS, &detail);
  Got after = Ask(twain, row.cap, MSG_GETCURRENT);
  Check(taken && after.items.size() == 1 && after.items[0] == row.good, name + "-set-one-value",
        detail + " now " + Listed(after.items));
  const int setting = SettingOf(row.cap);
  if (setting >= 0) {
    // Straight to the scanner's settings, which another client reads.
    const short want = row.itemType == TWTY_FIX32 ? static_cast<short>(std::lround(Unfix(row.good)))
                                                  : static_cast<short>(row.good);
    Check(Stored(setting) == want, name + "-set-reaches-the-scanner",
          "the scanner keeps " + std::to_string(Stored(setting)));
  }
  if (row.bad != kNone) {
    rc = SetOne(twain, row.cap, row.itemType, row.bad);
    const bool refused = twain.Answered(rc, TWRC_FAILURE, TWCC_BADVALUE, &detail);
    after = Ask(twain, row.cap, MSG_GETCURRENT);
    Check(refused && after.items.size() == 1 && after.items[0] == row.good,
          name + "-bad-value-refused-and-nothing-changed", detail + " now " + Listed(after.items));
  }
  TW_CAPABILITY capability = {row.cap, TWON_DONTCARE16, nullptr};
  rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &capability);
  bool reset =
      rc == TWRC_SUCCESS && capability.ConType == TWON_ONEVALUE && capability.hContainer != nullptr;
  if (capability.hContainer != nullptr) GlobalFree(capability.hContainer);
  after = Ask(twain, row.cap, MSG_GETCURRENT);
  Check(reset && after.items == fallback.items, name + "-reset-to-default",
        "rc " + std::to_string(rc) + " now " + Listed(after.items) + "default " +
            Listed(fallback.items));
}

// Constraints: enumerations and ranges in MSG_SET and MSG_SETCONSTRAINT.
void Constraints(TwainApp& twain)
{
  std::string detail;
  // Palette is not a pixel type the source has: left out, and the
  // application told to look.
  TW_UINT16 rc = SetList(twain, ICAP_PIXELTYPE, {TWPT_BW, TWPT_PALETTE, TWPT_RGB}, 0);
  bool answered = twain.Answered(rc, TWRC_CHECKSTATUS, TWCC_SUCCESS, &detail);
  Got got = Ask(twain, ICAP_PIXELTYPE, MSG_GET);
  Check(answered && got.items == std::vector<TW_UINT32>{TWPT_BW, TWPT_RGB} &&
            got.items[got.currentIndex] == TWPT_BW,
        "twain-constrain-enumeration-drops-what-it-lacks", detail + " " + Listed(got.items));
  rc = SetList(twain, ICAP_PIXELTYPE, {TWPT_RGB}, 0, MSG_SETCONSTRAINT);
  const TW_UINT16 outside = SetOne(twain, ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW);
  answered = twain.Answered(outside, TWRC_FAILURE, TWCC_BADVALUE, &detail);
  got = Ask(twain, ICAP_PIXELTYPE, MSG_GET);
  Check(rc == TWRC_SUCCESS && got.items == std::vector<TW_UINT32>{TWPT_RGB} && answered,
        "twain-setconstraint-limits-set", detail + " " + Listed(got.items));
  rc = SetList(twain, ICAP_PIXELTYPE, {TWPT_CMY}, 0);
  answered = twain.Answered(rc, TWRC_FAILURE, TWCC_BADVALUE, &detail);
  got = Ask(twain, ICAP_PIXELTYPE, MSG_GET);
  Check(answered && got.items == std::vector<TW_UINT32>{TWPT_RGB},
        "twain-constraint-of-nothing-refused-and-kept", detail + " " + Listed(got.items));
  TW_CAPABILITY capability = {ICAP_PIXELTYPE, TWON_DONTCARE16, nullptr};
  twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &capability);
  GlobalFree(capability.hContainer);
  got = Ask(twain, ICAP_PIXELTYPE, MSG_GET);
  Check(got.items == std::vector<TW_UINT32>{TWPT_BW, TWPT_GRAY, TWPT_RGB},
        "twain-reset-lifts-constraint", Listed(got.items));

  // A range asked for takes the resolutions within it: an enumeration of
  // them, as every set of the scanner's resolutions is.
  rc = SetRange(twain, ICAP_XRESOLUTION, 150, 300, 300, MSG_SETCONSTRAINT);
  const TW_UINT16 above = SetOne(twain, ICAP_XRESOLUTION, TWTY_FIX32, Fix(600));
  answered = twain.Answered(above, TWRC_FAILURE, TWCC_BADVALUE, &detail);
  got = Ask(twain, ICAP_XRESOLUTION, MSG_GET);
  Check(rc == TWRC_SUCCESS && got.conType == TWON_ENUMERATION &&
            got.items == std::vector<TW_UINT32>{Fix(150), Fix(200), Fix(300)} && answered,
        "twain-constrain-range", detail + " " + Listed(got.items));
  // Between two of the scanner's resolutions: the nearer one, and look.
  rc = SetOne(twain, ICAP_XRESOLUTION, TWTY_FIX32, Fix(280));
  answered = twain.Answered(rc, TWRC_CHECKSTATUS, TWCC_SUCCESS, &detail);
  got = Ask(twain, ICAP_YRESOLUTION, MSG_GETCURRENT);
  Check(answered && got.items.size() == 1 && Unfix(got.items[0]) == 300 && Stored(2) == 300,
        "twain-resolution-between-takes-nearest-for-both", detail);
  capability = {ICAP_XRESOLUTION, TWON_DONTCARE16, nullptr};
  twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &capability);
  GlobalFree(capability.hContainer);

  // What has no constraint takes none.
  rc = SetList(twain, CAP_XFERCOUNT, {1}, 0, MSG_SETCONSTRAINT);
  twain.Expect(rc, TWRC_FAILURE, TWCC_CAPBADOPERATION,
               "twain-one-value-capability-not-constrainable");
}

// Containers that are not what they say.
void BadContainers(TwainApp& twain)
{
  std::string detail;
  // An enumeration that claims 1000 items in the room of 3.
  unsigned char bytes[20] = {};
  const TW_UINT16 type = TWTY_UINT16;
  const TW_UINT32 count = 1000;
  std::memcpy(bytes, &type, 2);
  std::memcpy(bytes + 2, &count, 4);
  TW_UINT16 rc = SetWith(twain, ICAP_XFERMECH, TWON_ENUMERATION, bytes, sizeof bytes);
  const bool refused = twain.Answered(rc, TWRC_FAILURE, TWCC_BADVALUE, &detail);
  Got got = Ask(twain, ICAP_XFERMECH, MSG_GETCURRENT);
  Check(refused && got.items.size() == 1 && got.items[0] == TWSX_NATIVE,
        "twain-cap-count-beyond-container-refused", detail);
  // An item type other than the capability's.
  rc = SetOne(twain, ICAP_XRESOLUTION, TWTY_UINT16, 200);
  twain.Expect(rc, TWRC_FAILURE, TWCC_BADVALUE, "twain-cap-wrong-item-type");
  // An array where one value is taken.
  rc = SetWith(twain, ICAP_XFERMECH, TWON_ARRAY, bytes, sizeof bytes);
  twain.Expect(rc, TWRC_FAILURE, TWCC_BADVALUE, "twain-cap-wrong-container");
  TW_CAPABILITY capability = {ICAP_XFERMECH, TWON_ONEVALUE, nullptr};
  rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
  twain.Expect(rc, TWRC_FAILURE, TWCC_BADVALUE, "twain-cap-no-container");
  rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_GET, nullptr);
  twain.Expect(rc, TWRC_FAILURE, TWCC_BADVALUE, "twain-cap-null-data");
  got = Ask(twain, 0x7777, MSG_GET);
  Check(got.rc == TWRC_FAILURE && got.cc == TWCC_CAPUNSUPPORTED, "twain-cap-unknown",
        "rc " + std::to_string(got.rc) + " cc " + std::to_string(got.cc));
}

void SupportedCaps(TwainApp& twain)
{
  const Got got = Ask(twain, CAP_SUPPORTEDCAPS, MSG_GET);
  bool listed = got.rc == TWRC_SUCCESS && got.conType == TWON_ARRAY && got.itemType == TWTY_UINT16;
  for (const Row& row : kRows)
    listed = listed && std::find(got.items.begin(), got.items.end(), row.cap) != got.items.end();
  listed = listed &&
           std::find(got.items.begin(), got.items.end(), STIBRIDGE_CAP_JOBS) != got.items.end();
  for (const ArrayRow& row : kArrays)
    listed = listed && std::find(got.items.begin(), got.items.end(), row.cap) != got.items.end();
  Check(listed, "twain-cap-supportedcaps-lists-every-one", Listed(got.items));
  std::string detail;
  const TW_UINT16 rc = SetOne(twain, CAP_SUPPORTEDCAPS, TWTY_UINT16, 1);
  twain.Expect(rc, TWRC_FAILURE, TWCC_CAPBADOPERATION, "twain-cap-supportedcaps-read-only");
}

// Lengths and resolutions follow ICAP_UNITS.
void Units(TwainApp& twain)
{
  SetOne(twain, ICAP_UNITS, TWTY_UINT16, TWUN_CENTIMETERS);
  const Got width = Ask(twain, ICAP_PHYSICALWIDTH, MSG_GETCURRENT);
  const Got resolution = Ask(twain, ICAP_XRESOLUTION, MSG_GETCURRENT);
  SetOne(twain, ICAP_UNITS, TWTY_UINT16, TWUN_INCHES);
  Check(width.items.size() == 1 && std::fabs(Unfix(width.items[0]) - 29.7) < 0.01 &&
            resolution.items.size() == 1 &&
            std::fabs(Unfix(resolution.items[0]) - 300 / 2.54) < 0.01,
        "twain-units-centimetres",
        std::to_string(width.items.empty() ? 0 : Unfix(width.items[0])) + " cm, " +
            std::to_string(resolution.items.empty() ? 0 : Unfix(resolution.items[0])) + " per cm");
}

// MSG_RESETALL: every capability at its default, and the scanner's
// settings of the user's jobs as they were (only a MSG_SET writes them).
void ResetAll(TwainApp& twain)
{
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_FILE);
  SetOne(twain, ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW);
  SetList(twain, ICAP_UNITS, {TWUN_INCHES, TWUN_POINTS}, 1);
  TW_CAPABILITY capability = {CAP_SUPPORTEDCAPS, TWON_DONTCARE16, nullptr};
  const TW_UINT16 rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, &capability);
  const Got mechanism = Ask(twain, ICAP_XFERMECH, MSG_GETCURRENT);
  const Got pixel = Ask(twain, ICAP_PIXELTYPE, MSG_GETCURRENT);
  const Got units = Ask(twain, ICAP_UNITS, MSG_GET);
  Check(rc == TWRC_SUCCESS && mechanism.items == std::vector<TW_UINT32>{TWSX_NATIVE} &&
            pixel.items == std::vector<TW_UINT32>{TWPT_RGB} && units.items.size() == 5 &&
            units.items[units.currentIndex] == TWUN_INCHES && Stored(0) == TWPT_BW,
        "twain-cap-resetall", "rc " + std::to_string(rc) + " units " + Listed(units.items) +
                                  " the scanner keeps pixel type " + std::to_string(Stored(0)));
}

// CAP_LANGUAGE: the four languages of the source's texts, the user's (this
// process's, where the source runs) the default. One value chooses; an
// enumeration is no constraint of it, and a language it lacks is refused.
void Languages(TwainApp& twain)
{
  TW_UINT32 user = TWLG_ENGLISH_USA;
  switch (PRIMARYLANGID(GetUserDefaultUILanguage())) {
    case LANG_GERMAN:
      user = TWLG_GERMAN;
      break;
    case LANG_FRENCH:
      user = TWLG_FRENCH;
      break;
    case LANG_JAPANESE:
      user = TWLG_JAPANESE;
      break;
  }
  const Got all = Ask(twain, CAP_LANGUAGE, MSG_GET);
  Check(all.conType == TWON_ENUMERATION &&
            all.items == std::vector<TW_UINT32>{TWLG_ENGLISH_USA, TWLG_GERMAN, TWLG_FRENCH,
                                                TWLG_JAPANESE} &&
            all.items[all.defaultIndex] == user && all.items[all.currentIndex] == user,
        "twain-language-lists-four-the-users-by-default", Listed(all.items));
  std::string detail;
  TW_UINT16 rc = SetOne(twain, CAP_LANGUAGE, TWTY_UINT16, TWLG_FRENCH);
  Got current = Ask(twain, CAP_LANGUAGE, MSG_GETCURRENT);
  Check(rc == TWRC_SUCCESS && current.items == std::vector<TW_UINT32>{TWLG_FRENCH},
        "twain-language-set-french", Listed(current.items));
  // Each asked, then its condition read, in turn.
  struct Refusal {
    const char* name;
    TW_UINT16 cc;
    TW_UINT16 (*ask)(TwainApp&);
  };
  const Refusal refusals[] = {
      {"enumeration", TWCC_BADVALUE,
       [](TwainApp& app) { return SetList(app, CAP_LANGUAGE, {TWLG_GERMAN, TWLG_FRENCH}, 0); }},
      {"setconstraint", TWCC_CAPBADOPERATION,
       [](TwainApp& app) {
         return SetList(app, CAP_LANGUAGE, {TWLG_GERMAN}, 0, MSG_SETCONSTRAINT);
       }},
      {"english-of-no-country", TWCC_BADVALUE,
       [](TwainApp& app) { return SetOne(app, CAP_LANGUAGE, TWTY_UINT16, TWLG_ENGLISH); }}};
  for (const Refusal& refusal : refusals) {
    const bool refused = twain.Answered(refusal.ask(twain), TWRC_FAILURE, refusal.cc, &detail);
    current = Ask(twain, CAP_LANGUAGE, MSG_GETCURRENT);
    Check(refused && current.items == std::vector<TW_UINT32>{TWLG_FRENCH},
          std::string("twain-language-refuses-") + refusal.name, detail);
  }
  TW_CAPABILITY capability = {CAP_LANGUAGE, TWON_DONTCARE16, nullptr};
  rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &capability);
  GlobalFree(capability.hContainer);
  current = Ask(twain, CAP_LANGUAGE, MSG_GETCURRENT);
  Check(rc == TWRC_SUCCESS && current.items == std::vector<TW_UINT32>{user},
        "twain-language-reset-to-the-users", Listed(current.items));
}

// This source's own capability: the jobs to bring over.
void JobNames(TwainApp& twain)
{
  std::string detail;
  Got support = Ask(twain, STIBRIDGE_CAP_JOBS, MSG_QUERYSUPPORT);
  Got all = Ask(twain, STIBRIDGE_CAP_JOBS, MSG_GET);
  Got named = Ask(twain, STIBRIDGE_CAP_JOBS, MSG_GETCURRENT);
  const std::vector<std::wstring> takeable = {L"multi.tif", L"grey.bmp", L"mine.tif", L"users.tif",
                                              L"logo.gif"};
  Check(support.items == std::vector<TW_UINT32>{kOneValue} && all.conType == TWON_ARRAY &&
            all.itemType == TWTY_STR255 && all.texts == takeable && named.rc == TWRC_SUCCESS &&
            named.itemType == TWTY_STR255 && named.texts.empty(),
        "twain-jobs-capability-lists-the-users-ready-jobs",
        std::to_string(all.texts.size()) + " listed");
  TW_UINT16 rc = NameJobs(twain, {L"logo.gif", L"grey.bmp"});
  const bool taken = twain.Answered(rc, TWRC_SUCCESS, TWCC_SUCCESS, &detail);
  named = Ask(twain, STIBRIDGE_CAP_JOBS, MSG_GETCURRENT);
  Check(taken && named.texts == std::vector<std::wstring>{L"logo.gif", L"grey.bmp"},
        "twain-jobs-capability-names", detail);
  // Another user's job, one still being scanned, one that is not there.
  for (const wchar_t* refused : {L"foreign.tif", L"busy.tif", L"nothing.tif"}) {
    rc = NameJobs(twain, {L"mine.tif", refused});
    const bool answered = twain.Answered(rc, TWRC_FAILURE, TWCC_BADVALUE, &detail);
    named = Ask(twain, STIBRIDGE_CAP_JOBS, MSG_GETCURRENT);
    Check(answered && named.texts == std::vector<std::wstring>{L"logo.gif", L"grey.bmp"},
          "twain-jobs-capability-refuses " + Narrow(refused), detail);
  }
  // One name in the ANSI code page, in a one-value container.
  struct {
    TW_UINT16 type;
    TW_STR255 name;
  } one = {TWTY_STR255, "mine.tif"};
  rc = SetWith(twain, STIBRIDGE_CAP_JOBS, TWON_ONEVALUE, &one, sizeof one);
  named = Ask(twain, STIBRIDGE_CAP_JOBS, MSG_GETCURRENT);
  Check(rc == TWRC_SUCCESS && named.texts == std::vector<std::wstring>{L"mine.tif"},
        "twain-jobs-capability-one-ansi-name", "rc " + std::to_string(rc));
  TW_CAPABILITY capability = {STIBRIDGE_CAP_JOBS, TWON_DONTCARE16, nullptr};
  rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &capability);
  GlobalFree(capability.hContainer);
  named = Ask(twain, STIBRIDGE_CAP_JOBS, MSG_GETCURRENT);
  Check(rc == TWRC_SUCCESS && named.texts.empty(), "twain-jobs-capability-reset",
        "rc " + std::to_string(rc));
}

// CAP_SUPPORTEDDATS lists exactly the operations the source answers: every
// data argument type of both groups, asked straight of the source in state
// 4 by a few messages without data, is one it knows (any answer but
// TWCC_BADPROTOCOL) if and only if the list has it.
void SupportedDats(TwainApp& twain)
{
  const Got got = Ask(twain, CAP_SUPPORTEDDATS, MSG_GET);
  std::vector<TW_UINT32> answered;
  for (TW_UINT32 group : {DG_CONTROL, DG_IMAGE})
    for (TW_UINT16 dat = 1; dat < 0x500; ++dat) {
      bool known = false;
      for (TW_UINT16 message : {MSG_GET, MSG_SET, MSG_ENABLEDS, MSG_ENDXFER, MSG_PROCESSEVENT}) {
        // MSG_ENABLEDS without data is refused before it does anything.
        if (twain.Direct(group, dat, message, nullptr) == TWRC_SUCCESS ||
            twain.Condition() != TWCC_BADPROTOCOL)
          known = true;
      }
      if (known) answered.push_back(group << 16 | dat);
    }
  std::vector<TW_UINT32> listed = got.items;
  std::sort(listed.begin(), listed.end());
  Check(got.rc == TWRC_SUCCESS && got.conType == TWON_ARRAY && got.itemType == TWTY_UINT32 &&
            listed == answered,
        "twain-cap-supporteddats-lists-what-it-answers",
        "listed " + Listed(listed) + "answered " + Listed(answered));
}

// The capability's name in a row, else its number.
std::string NameOf(TW_UINT16 cap)
{
  for (const Row& row : kRows)
    if (row.cap == cap) return row.name;
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", cap);
  return text;
}

}  // namespace

// Every capability CAP_SUPPORTEDCAPS lists, by every message it takes: the
// container of TWAIN 2.x and the item type each answers, and every value
// MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT and MSG_RESET answered sets back
// with success, as certification and an application restoring its saved
// settings do. Then everything back to its default.
void Sweep(TwainApp& twain, const std::string& label)
{
  const Got caps = Ask(twain, CAP_SUPPORTEDCAPS, MSG_GET);
  Check(caps.rc == TWRC_SUCCESS && !caps.items.empty(), "twain-sweep-" + label + "-caps-listed");
  for (TW_UINT32 id : caps.items) {
    const TW_UINT16 cap = static_cast<TW_UINT16>(id);
    const std::string name = "twain-sweep-" + label + "-" + NameOf(cap);
    const Row* row = nullptr;
    for (const Row& r : kRows)
      if (r.cap == cap) row = &r;
    const ArrayRow* array = nullptr;
    for (const ArrayRow& a : kArrays)
      if (a.cap == cap) array = &a;
    const Got support = Ask(twain, cap, MSG_QUERYSUPPORT);
    const TW_UINT32 operations = support.items.empty() ? 0 : support.items[0];
    bool containers = support.rc == TWRC_SUCCESS && (operations & TWQC_GET) != 0;
    std::string detail;
    std::vector<TW_UINT32> values;
    struct Asked {
      TW_UINT16 message;
      TW_UINT32 bit;
    };
    for (const Asked& asked : {Asked{MSG_GET, TWQC_GET}, Asked{MSG_GETCURRENT, TWQC_GETCURRENT},
                               Asked{MSG_GETDEFAULT, TWQC_GETDEFAULT}, Asked{MSG_RESET, TWQC_RESET}}) {
      if ((operations & asked.bit) == 0) continue;
      const Got got = Ask(twain, cap, asked.message);
      TW_UINT16 want = array != nullptr ? TWON_ARRAY : TWON_ONEVALUE;
      if (asked.message == MSG_GET && row != nullptr) want = row->getConType;
      const TW_UINT16 type = row != nullptr ? row->itemType : array != nullptr ? array->itemType : 0;
      const bool fits = got.rc == TWRC_SUCCESS &&
                        (got.conType == want ||
                         (row == nullptr && array == nullptr &&
                          (got.conType == TWON_ONEVALUE || got.conType == TWON_ENUMERATION))) &&
                        (type == 0 || got.itemType == type);
      if (!fits)
        detail += "message " + std::to_string(asked.message) + ": rc " + std::to_string(got.rc) +
                  " con " + std::to_string(got.conType) + " type " + std::to_string(got.itemType) +
                  "; ";
      containers = containers && fits;
      for (TW_UINT32 value : got.items)
        if (std::find(values.begin(), values.end(), value) == values.end()) values.push_back(value);
    }
    Check(containers, name + "-containers", detail);
    if ((operations & TWQC_SET) == 0 || array != nullptr) continue;
    const TW_UINT16 type = row != nullptr ? row->itemType : Ask(twain, cap, MSG_GETCURRENT).itemType;
    std::string refused;
    for (TW_UINT32 value : values) {
      const TW_UINT16 rc = SetOne(twain, cap, type, value);
      if (rc != TWRC_SUCCESS)
        refused += std::to_string(value) + ": rc " + std::to_string(rc) + " cc " +
                   std::to_string(twain.Condition()) + "; ";
    }
    Check(refused.empty() && !values.empty(), name + "-sets-back-" + std::to_string(values.size()),
          refused);
  }
  TW_CAPABILITY capability = {CAP_SUPPORTEDCAPS, TWON_DONTCARE16, nullptr};
  const TW_UINT16 rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, &capability);
  Check(rc == TWRC_SUCCESS, "twain-sweep-" + label + "-resetall", std::to_string(rc));
}

TW_FIX32 Fixed(double value)
{
  const long fixed = std::lround(value * 65536.0);
  return {static_cast<TW_INT16>(fixed >> 16), static_cast<TW_UINT16>(fixed & 0xFFFF)};
}

double Number(const TW_FIX32& fix)
{
  return fix.Whole + fix.Frac / 65536.0;
}

TW_UINT16 SetOne(TwainApp& twain, TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 value)
{
  TW_ONEVALUE one = {itemType, value};
  return SetWith(twain, cap, TWON_ONEVALUE, &one, sizeof one);
}

TW_UINT16 NameJobs(TwainApp& twain, const std::vector<std::wstring>& names)
{
  std::vector<unsigned char> bytes(6 + 1024 * names.size(), 0);
  const TW_UINT16 type = TWTY_UNI512;
  const TW_UINT32 count = static_cast<TW_UINT32>(names.size());
  std::memcpy(&bytes[0], &type, 2);
  std::memcpy(&bytes[2], &count, 4);
  for (size_t i = 0; i < names.size(); ++i)
    std::memcpy(&bytes[6 + 1024 * i], names[i].c_str(), 2 * names[i].size());
  return SetWith(twain, STIBRIDGE_CAP_JOBS, TWON_ARRAY, bytes.data(), bytes.size());
}

std::vector<std::wstring> TakeableJobs(TwainApp& twain)
{
  return Ask(twain, STIBRIDGE_CAP_JOBS, MSG_GET).texts;
}

void CapabilityChecks(TwainApp& twain)
{
  for (const Row& row : kRows) CheckRow(twain, row);
  const Got online = Ask(twain, CAP_DEVICEONLINE, MSG_GETCURRENT);
  Check(online.items == std::vector<TW_UINT32>{1}, "twain-cap-deviceonline-true",
        Listed(online.items));
  SupportedCaps(twain);
  SupportedDats(twain);
  Constraints(twain);
  BadContainers(twain);
  Units(twain);
  ResetAll(twain);
  JobNames(twain);
  Languages(twain);
}

// The capabilities of this source: what each one's values are, where they
// come from, and how one is made current. The scanner's settings of the
// user's jobs (pixel type, resolution, paper size) are read through the
// server and written by an application's MSG_SET only; a reset makes the
// default the value in effect here and leaves the scanner's as it was.
#include <cmath>
#include <functional>
#include <memory>
#include <optional>

#include "protocol/custom.h"
#include "source/language.h"
#include "source/session.h"
#include "source/units.h"

namespace twainds {

namespace {

// A value that is what it is: read-only, or settable to itself only.
class Fixed : public Capability {
 public:
  Fixed(TW_UINT16 id, TW_UINT16 type, Shape shape, Raw value, bool settable)
      : Capability(id, type, shape), value_(value), settable_(settable)
  {
  }
  Result Current(Raw& value) override { return value = value_, Done(); }
  Result Default(Raw& value) override { return value = value_, Done(); }
  std::vector<Raw> Values() override { return {value_}; }
  bool Choosable(Raw value) override { return settable_ && value == value_; }
  Result Apply(Raw) override { return Done(); }
  bool Settable() const override { return settable_; }

 private:
  Raw value_;
  bool settable_;
};

// A read-only value that is worked out when asked for (a boolean's MSG_GET
// is an enumeration of it alone).
class Reported : public Capability {
 public:
  Reported(TW_UINT16 id, TW_UINT16 type, std::function<Result(Raw&)> read)
      : Capability(id, type, type == TWTY_BOOL ? Shape::kEnumeration : Shape::kOneValue),
        read_(std::move(read))
  {
  }
  Result Current(Raw& value) override { return read_(value); }
  Result Default(Raw& value) override { return read_(value); }

 private:
  std::function<Result(Raw&)> read_;
};

// A choice the source keeps itself.
class Choice : public Capability {
 public:
  Choice(TW_UINT16 id, TW_UINT16 type, Shape shape, std::vector<Raw> values, Raw fallback,
         std::function<Raw()> get, std::function<Result(Raw)> set)
      : Capability(id, type, shape),
        values_(std::move(values)),
        fallback_(fallback),
        get_(std::move(get)),
        set_(std::move(set))
  {
  }
  Result Current(Raw& value) override { return value = get_(), Done(); }
  Result Default(Raw& value) override { return value = fallback_, Done(); }
  std::vector<Raw> Values() override { return values_; }
  bool Choosable(Raw value) override
  {
    for (Raw v : values_)
      if (v == value) return true;
    return false;
  }
  Result Apply(Raw value) override { return set_(value); }
  bool Settable() const override { return true; }

 private:
  std::vector<Raw> values_;
  Raw fallback_;
  std::function<Raw()> get_;
  std::function<Result(Raw)> set_;
};

// CAP_XFERCOUNT: -1 (every image) or how many, 1 to 32767. 0 asks for
// nothing, which TWAIN makes -1 with TWRC_CHECKSTATUS.
class TransferCount : public Capability {
 public:
  explicit TransferCount(Choices& choices)
      : Capability(CAP_XFERCOUNT, TWTY_INT16, Shape::kOneValue), choices_(choices)
  {
  }
  Result Current(Raw& value) override
  {
    return value = Masked(TWTY_INT16, static_cast<Raw>(choices_.transferCount)), Done();
  }
  Result Default(Raw& value) override { return value = 0xFFFF, Done(); }
  bool Choosable(Raw value) override { return Signed16(value) == -1 || Signed16(value) > 0; }
  bool Instead(Raw value, const std::vector<Raw>&, Raw& instead) override
  {
    instead = 0xFFFF;
    return Signed16(value) == 0;
  }
  Result Apply(Raw value) override { return choices_.transferCount = Signed16(value), Done(); }
  bool Settable() const override { return true; }

 private:
  Choices& choices_;
};

// One of the scanner's settings of the user's jobs, in TWAIN's values. A
// value set is written to the scanner and read back: what the scanner made
// of it is what the application is told. A value the scanner reports but
// cannot keep (grey, US letter: its codes have none for them) is the
// value in effect for this session only, as is the default after a reset:
// the scanner's own setting stays as it was.
class Setting : public Capability {
 public:
  struct Codes {
    short ScanSettings::*field;
    std::vector<short> values;  // what the scanner reports, in order
    std::vector<short> kept;    // what it keeps when set
    short fallback;             // the default
  };
  // A value held for the session; capabilities of one setting (both
  // resolutions) share it.
  using Held = std::shared_ptr<std::optional<short>>;
  Setting(Session& session, TW_UINT16 id, TW_UINT16 itemType, Shape shape, Codes codes,
          Held held = std::make_shared<std::optional<short>>())
      : Capability(id, itemType, shape),
        session_(session),
        codes_(std::move(codes)),
        held_(std::move(held))
  {
  }
  Result Current(Raw& value) override
  {
    if (*held_) return value = ToRaw(**held_), Done();
    ScanSettings settings;
    if (FAILED(session_.Scanner().ReadSettings(settings))) return Failed(TWCC_OPERATIONERROR);
    value = ToRaw(settings.*codes_.field);
    return Done();
  }
  Result Default(Raw& value) override { return value = ToRaw(codes_.fallback), Done(); }
  std::vector<Raw> Values() override
  {
    std::vector<Raw> values;
    for (short code : codes_.values) values.push_back(ToRaw(code));
    return values;
  }
  bool Choosable(Raw value) override
  {
    for (short code : codes_.values)
      if (ToRaw(code) == value) return true;
    return false;
  }
  Result Apply(Raw value) override
  {
    const short wanted = FromRaw(value);
    if (!Kept(wanted)) return Restore(value);
    ScanSettings settings;
    Connection& scanner = session_.Scanner();
    if (FAILED(scanner.ReadSettings(settings))) return Failed(TWCC_OPERATIONERROR);
    settings.*codes_.field = wanted;
    if (FAILED(scanner.WriteSettings(session_.Title(), settings)) ||
        FAILED(scanner.ReadSettings(settings)))
      return Failed(TWCC_OPERATIONERROR);
    held_->reset();
    return Done(settings.*codes_.field == wanted ? TWRC_SUCCESS : TWRC_CHECKSTATUS);
  }
  Result Restore(Raw value) override
  {
    *held_ = FromRaw(value);
    return Done();
  }
  bool Settable() const override { return true; }

 protected:
  virtual Raw ToRaw(short code) { return static_cast<TW_UINT16>(code); }
  virtual short FromRaw(Raw value) { return static_cast<short>(value); }
  Session& session_;

 private:
  bool Kept(short code) const
  {
    for (short kept : codes_.kept)
      if (kept == code) return true;
    return false;
  }

  Codes codes_;
  // The value in effect here and not at the scanner, until the next value
  // the scanner keeps is set.
  Held held_;
};

// ICAP_XRESOLUTION, ICAP_YRESOLUTION: one setting of the scanner's, in the
// application's units. The scanner's resolutions are a set of seven: an
// enumeration; a value between two is taken as the nearer one
// (TWRC_CHECKSTATUS), one outside them is refused.
class Resolution : public Setting {
 public:
  Resolution(Session& session, TW_UINT16 id, Held held)
      : Setting(session, id, TWTY_FIX32, Shape::kEnumeration,
                Codes{&ScanSettings::resolution, Dots(), Dots(), 300}, std::move(held))
  {
  }
  // TWAIN 1.x's range, by one unit.
  Raw Step() override { return Fix32(1); }
  // A value within what TW_FIX32's sixteen bits of fraction make of one of
  // the resolutions in these units is that resolution.
  Raw Plain(Raw value) const override
  {
    const double perInch = Units();
    const double dpi = FromFix32(value) * perInch;
    const int nearest = NearestDots(dpi);
    const double slack = std::max(0.01, perInch / 65536.0);
    return std::fabs(nearest - dpi) <= slack ? Fix32(nearest / perInch) : value;
  }
  bool Instead(Raw value, const std::vector<Raw>& allowed, Raw& instead) override
  {
    if (!Within(TWTY_FIX32, allowed, value)) return false;
    instead = Nearest(TWTY_FIX32, allowed, value);
    return true;
  }

 protected:
  Raw ToRaw(short dpi) override { return Fix32(dpi / Units()); }
  short FromRaw(Raw value) override
  {
    return static_cast<short>(NearestDots(FromFix32(value) * Units()));
  }

 private:
  static std::vector<short> Dots()
  {
    std::vector<short> dots;
    for (int dpi : Resolutions()) dots.push_back(static_cast<short>(dpi));
    return dots;
  }
  static int NearestDots(double dpi)
  {
    int best = Resolutions().front();
    for (int r : Resolutions())
      if (std::fabs(r - dpi) < std::fabs(best - dpi)) best = r;
    return best;
  }
  double Units() const { return UnitsPerInch(session_.Negotiated().units); }
};

// ICAP_BITDEPTH: the bits of a pixel of the pixel type in effect, every
// channel counted (TWAIN 2.x): 1 for black and white, 8 for grey, 24 for
// colour. An application of TWAIN 1.x counts a channel: 8 for colour.
class BitDepth : public Capability {
 public:
  explicit BitDepth(Session& session)
      : Capability(ICAP_BITDEPTH, TWTY_UINT16, Shape::kEnumeration), session_(session)
  {
  }
  Result Current(Raw& value) override
  {
    Raw pixelType = 0;
    const Result result = session_.CapabilityValue(ICAP_PIXELTYPE, pixelType);
    if (result.rc != TWRC_SUCCESS) return result;
    value = pixelType == TWPT_BW ? 1 : pixelType == TWPT_RGB && session_.Twain2() ? 24 : 8;
    return Done();
  }
  // The default is the depth of the pixel type in effect.
  Result Default(Raw& value) override { return Current(value); }
  std::vector<Raw> Values() override
  {
    return session_.Twain2() ? std::vector<Raw>{1, 8, 24} : std::vector<Raw>{1, 8};
  }
  bool Choosable(Raw value) override
  {
    Raw depth = 0;
    return Current(depth).rc == TWRC_SUCCESS && value == depth;
  }
  Result Apply(Raw) override { return Done(); }
  bool Settable() const override { return true; }

 private:
  Session& session_;
};

// ICAP_IMAGEFILEFORMAT: the format of file and memory-file transfers, the
// one DAT_SETUPFILEXFER names too. Multi-page TIFF adds each page to the
// file until the application names another, which a memory-file transfer
// (a file a page) cannot: it is not offered there.
class FileFormat : public Capability {
 public:
  explicit FileFormat(Choices& choices)
      : Capability(ICAP_IMAGEFILEFORMAT, TWTY_UINT16, Shape::kEnumeration), choices_(choices)
  {
  }
  Result Current(Raw& value) override { return value = choices_.fileFormat, Done(); }
  Result Default(Raw& value) override { return value = TWFF_BMP, Done(); }
  std::vector<Raw> Values() override { return {TWFF_TIFF, TWFF_BMP, TWFF_JFIF, TWFF_TIFFMULTI}; }
  bool Choosable(Raw value) override { return FileFormatFits(value, choices_.mechanism); }
  Result Apply(Raw value) override
  {
    choices_.fileFormat = static_cast<TW_UINT16>(value);
    return Done();
  }
  bool Settable() const override { return true; }

 private:
  Choices& choices_;
};

// CAP_LANGUAGE: the language of the source's windows and messages, one of
// those its string tables have, as TWAIN's codes. MSG_GET lists them; the
// default is the user's language where the source has it, else English.
// MSG_SET takes one value (an enumeration is no constraint here), and the
// choice ends with the session.
class Language : public Capability {
 public:
  Language() : Capability(CAP_LANGUAGE, TWTY_UINT16, Shape::kEnumeration) {}
  Result Current(Raw& value) override { return value = Code(TextLanguage()), Done(); }
  Result Default(Raw& value) override { return value = Code(DefaultTextLanguage()), Done(); }
  std::vector<Raw> Values() override
  {
    std::vector<Raw> values;
    for (LANGID language : TextLanguages()) values.push_back(Code(language));
    return values;
  }
  bool Choosable(Raw value) override { return Table(value) != 0; }
  Result Apply(Raw value) override { return ChooseTextLanguage(Table(value)), Done(); }
  Result Restore(Raw) override { return ChooseTextLanguage(0), Done(); }
  bool Settable() const override { return true; }
  bool Constrainable() const override { return false; }

 private:
  struct Pair {
    TW_UINT16 code;
    WORD primary;
  };
  static constexpr Pair kPairs[] = {{TWLG_ENGLISH_USA, LANG_ENGLISH},
                                    {TWLG_GERMAN, LANG_GERMAN},
                                    {TWLG_FRENCH, LANG_FRENCH},
                                    {TWLG_JAPANESE, LANG_JAPANESE}};
  static Raw Code(LANGID language)
  {
    for (const Pair& pair : kPairs)
      if (pair.primary == PRIMARYLANGID(language)) return pair.code;
    return TWLG_ENGLISH_USA;
  }
  // The table's language of a TWAIN code; 0 for one it does not have.
  static LANGID Table(Raw code)
  {
    for (LANGID language : TextLanguages())
      if (Code(language) == code) return language;
    return 0;
  }
};

// ICAP_PHYSICALWIDTH, ICAP_PHYSICALHEIGHT: the scanner's largest area.
Result Physical(Session& session, bool width, Raw& value)
{
  const Paper area = PhysicalArea();
  value = Fix32((width ? area.width : area.height) * UnitsPerInch(session.Negotiated().units));
  return Done();
}

std::vector<Raw> Raws(std::initializer_list<Raw> values)
{
  return values;
}

// A boolean the source keeps: FALSE or TRUE.
std::unique_ptr<Capability> Flag(TW_UINT16 id, bool fallback, bool& kept)
{
  return std::make_unique<Choice>(
      id, TWTY_BOOL, Shape::kEnumeration, Raws({0, 1}), fallback ? 1 : 0,
      [&kept] { return Raw(kept ? 1 : 0); },
      [&kept](Raw v) {
        kept = v != 0;
        return Done();
      });
}

}  // namespace

bool FileFormatFits(Raw format, TW_UINT16 mechanism)
{
  switch (format) {
    case TWFF_TIFF:
    case TWFF_BMP:
    case TWFF_JFIF:
      return true;
    case TWFF_TIFFMULTI:
      return mechanism != TWSX_MEMFILE;
    default:
      return false;
  }
}

void Session::AddCapabilities()
{
  Negotiation& n = negotiation_;
  Choices& c = choices_;
  n.AddListed(CAP_SUPPORTEDCAPS);
  n.AddListed(CAP_SUPPORTEDDATS);
  n.AddListed(ICAP_SUPPORTEDEXTIMAGEINFO);
  n.AddListed(STIBRIDGE_CAP_JOBS);
  n.Add(std::make_unique<TransferCount>(c));
  n.Add(std::make_unique<Fixed>(CAP_UICONTROLLABLE, TWTY_BOOL, Shape::kEnumeration, 1, false));
  n.Add(std::make_unique<Reported>(CAP_DEVICEONLINE, TWTY_BOOL, [this](Raw& value) {
    value = SUCCEEDED(connection_.Online()) ? 1 : 0;
    return Done();
  }));
  n.Add(Flag(CAP_INDICATORS, true, c.indicators));
  n.Add(std::make_unique<Language>());

  // The stored jobs are the pages of a document feeder: it is always in
  // use (there is no flatbed to turn to), feeds them itself, and can tell
  // whether one is there to take.
  n.Add(std::make_unique<Fixed>(CAP_FEEDERENABLED, TWTY_BOOL, Shape::kEnumeration, 1, true));
  n.Add(std::make_unique<Fixed>(CAP_AUTOFEED, TWTY_BOOL, Shape::kEnumeration, 1, true));
  n.Add(std::make_unique<Fixed>(CAP_PAPERDETECTABLE, TWTY_BOOL, Shape::kEnumeration, 1, false));
  n.Add(std::make_unique<Reported>(CAP_FEEDERLOADED, TWTY_BOOL, [this](Raw& value) {
    const Result result = FeederLoaded(value);
    return result;
  }));
  // Where one job ends: told through TW_PENDINGXFERS.EOJ. Stored jobs have
  // no separator sheet to bring over or leave out, so both ways of going on
  // are the same here.
  n.Add(std::make_unique<Choice>(
      CAP_JOBCONTROL, TWTY_UINT16, Shape::kEnumeration, Raws({TWJC_NONE, TWJC_JSIC, TWJC_JSXC}),
      TWJC_NONE, [&c] { return Raw(c.jobControl); },
      [&c](Raw v) {
        c.jobControl = static_cast<TW_UINT16>(v);
        return Done();
      }));

  n.Add(std::make_unique<Choice>(
      ICAP_XFERMECH, TWTY_UINT16, Shape::kEnumeration,
      Raws({TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY, TWSX_MEMFILE}), TWSX_NATIVE,
      [&c] { return Raw(c.mechanism); },
      [this, &c](Raw v) {
        c.mechanism = static_cast<TW_UINT16>(v);
        // A memory-file transfer has no multi-page file to add to.
        if (FileFormatFits(c.fileFormat, c.mechanism)) return Done();
        c.fileFormat = TWFF_TIFF;
        negotiation_.Unconstrain(ICAP_IMAGEFILEFORMAT);
        return Done(TWRC_CHECKSTATUS);
      }));
  std::vector<Raw> units;
  for (TW_UINT16 unit : SupportedUnits()) units.push_back(unit);
  n.Add(std::make_unique<Choice>(
      ICAP_UNITS, TWTY_UINT16, Shape::kEnumeration, units, TWUN_INCHES,
      [&c] { return Raw(c.units); },
      [&c](Raw v) {
        c.units = static_cast<TW_UINT16>(v);
        return Done();
      }));
  n.Add(std::make_unique<Setting>(
      *this, ICAP_PIXELTYPE, TWTY_UINT16, Shape::kEnumeration,
      Setting::Codes{&ScanSettings::pixelType,
                     {TWPT_BW, TWPT_GRAY, TWPT_RGB},
                     {TWPT_BW, TWPT_RGB},
                     TWPT_RGB}));
  n.Add(std::make_unique<BitDepth>(*this));
  // One setting of the scanner's for both directions.
  const auto resolution = std::make_shared<std::optional<short>>();
  n.Add(std::make_unique<Resolution>(*this, ICAP_XRESOLUTION, resolution));
  n.Add(std::make_unique<Resolution>(*this, ICAP_YRESOLUTION, resolution));
  // The scanner's optical resolution is not to be had through the server:
  // the highest it offers.
  for (TW_UINT16 id : {ICAP_XNATIVERESOLUTION, ICAP_YNATIVERESOLUTION})
    n.Add(std::make_unique<Reported>(id, TWTY_FIX32, [this](Raw& value) {
      value = Fix32(Resolutions().back() / UnitsPerInch(choices_.units));
      return Done();
    }));
  n.Add(std::make_unique<Setting>(
      *this, ICAP_SUPPORTEDSIZES, TWTY_UINT16, Shape::kEnumeration,
      Setting::Codes{&ScanSettings::paperSize,
                     {TWSS_NONE, TWSS_A4, TWSS_USLETTER, TWSS_USLEGAL, TWSS_A5, TWSS_USEXECUTIVE,
                      TWSS_A3, TWSS_USSTATEMENT},
                     {TWSS_NONE, TWSS_A4, TWSS_USLEGAL, TWSS_A5, TWSS_USEXECUTIVE, TWSS_A3,
                      TWSS_USSTATEMENT},
                     TWSS_NONE}));
  n.Add(std::make_unique<FileFormat>(c));
  n.Add(
      std::make_unique<Fixed>(ICAP_COMPRESSION, TWTY_UINT16, Shape::kEnumeration, TWCP_NONE, true));
  n.Add(std::make_unique<Fixed>(ICAP_PIXELFLAVOR, TWTY_UINT16, Shape::kEnumeration, TWPF_CHOCOLATE,
                                true));
  n.Add(std::make_unique<Fixed>(ICAP_PLANARCHUNKY, TWTY_UINT16, Shape::kEnumeration, TWPC_CHUNKY,
                                true));
  n.Add(std::make_unique<Fixed>(ICAP_BITORDER, TWTY_UINT16, Shape::kEnumeration, TWBO_MSBFIRST,
                                true));
  n.Add(std::make_unique<Reported>(ICAP_PHYSICALWIDTH, TWTY_FIX32,
                                   [this](Raw& value) { return Physical(*this, true, value); }));
  n.Add(std::make_unique<Reported>(ICAP_PHYSICALHEIGHT, TWTY_FIX32,
                                   [this](Raw& value) { return Physical(*this, false, value); }));
  // DAT_EXTIMAGEINFO answers whether or not the application asked for it
  // here.
  n.Add(Flag(ICAP_EXTIMAGEINFO, false, c.extendedInfo));
}

}  // namespace twainds

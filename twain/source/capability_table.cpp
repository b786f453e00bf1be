// The capabilities of this source: what each one's values are, where they
// come from, and how one is made current. The scanner's settings of the
// user's jobs (pixel type, resolution, paper size, file format) are read and
// written through the server every time, never kept here.
#include <cmath>
#include <functional>
#include <memory>

#include "protocol/custom.h"
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

// A read-only value that is worked out when asked for.
class Reported : public Capability {
 public:
  Reported(TW_UINT16 id, TW_UINT16 type, std::function<Result(Raw&)> read)
      : Capability(id, type, Shape::kOneValue), read_(std::move(read))
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
         std::function<Raw()> get, std::function<void(Raw)> set)
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
  Result Apply(Raw value) override { return set_(value), Done(); }
  bool Settable() const override { return true; }

 private:
  std::vector<Raw> values_;
  Raw fallback_;
  std::function<Raw()> get_;
  std::function<void(Raw)> set_;
};

// CAP_XFERCOUNT: -1 (every image) or how many, 1 to 32767.
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
  Result Apply(Raw value) override { return choices_.transferCount = Signed16(value), Done(); }
  bool Settable() const override { return true; }

 private:
  Choices& choices_;
};

// One of the scanner's settings of the user's jobs, in TWAIN's values.
// Values the scanner reports but does not keep when set (grey, US letter)
// are listed while they are in effect and cannot be chosen. A value set is
// read back: what the scanner made of it is what the application is told.
class Setting : public Capability {
 public:
  struct Codes {
    short ScanSettings::*field;
    std::vector<short> values;     // what the scanner reports, in order
    std::vector<short> choosable;  // what it keeps when set
  };
  Setting(Session& session, TW_UINT16 id, TW_UINT16 itemType, Shape shape, Codes codes)
      : Capability(id, itemType, shape), session_(session), codes_(std::move(codes))
  {
  }
  Result Current(Raw& value) override
  {
    ScanSettings settings;
    if (FAILED(session_.Scanner().ReadSettings(settings))) return Failed(TWCC_OPERATIONERROR);
    value = ToRaw(settings.*codes_.field);
    return Done();
  }
  Result Default(Raw& value) override
  {
    value = ToRaw(session_.Defaults().*codes_.field);
    return Done();
  }
  std::vector<Raw> Values() override
  {
    std::vector<Raw> values;
    for (short code : codes_.values) values.push_back(ToRaw(code));
    return values;
  }
  bool Choosable(Raw value) override
  {
    for (short code : codes_.choosable)
      if (ToRaw(code) == value) return true;
    return false;
  }
  Result Apply(Raw value) override
  {
    const short wanted = FromRaw(value);
    ScanSettings settings;
    Connection& scanner = session_.Scanner();
    if (FAILED(scanner.ReadSettings(settings))) return Failed(TWCC_OPERATIONERROR);
    settings.*codes_.field = wanted;
    if (FAILED(scanner.WriteSettings(session_.Title(), settings)) ||
        FAILED(scanner.ReadSettings(settings)))
      return Failed(TWCC_OPERATIONERROR);
    return Done(settings.*codes_.field == wanted ? TWRC_SUCCESS : TWRC_CHECKSTATUS);
  }
  bool Settable() const override { return true; }

 protected:
  virtual Raw ToRaw(short code) { return static_cast<TW_UINT16>(code); }
  virtual short FromRaw(Raw value) { return static_cast<short>(value); }
  Session& session_;

 private:
  Codes codes_;
};

// ICAP_XRESOLUTION, ICAP_YRESOLUTION: one setting of the scanner's, in the
// application's units per inch; a range from the lowest to the highest.
class Resolution : public Setting {
 public:
  Resolution(Session& session, TW_UINT16 id)
      : Setting(session, id, TWTY_FIX32, Shape::kRange,
                Codes{&ScanSettings::resolution, Dots(), Dots()})
  {
  }
  Raw Step() override { return Fix32(1); }

 protected:
  Raw ToRaw(short dpi) override { return Fix32(dpi / Units()); }
  short FromRaw(Raw value) override
  {
    // The scanner's resolution nearest to the value: for a value that is
    // one of them, that one.
    const double dpi = FromFix32(value) * Units();
    int best = Resolutions().front();
    for (int r : Resolutions())
      if (std::abs(r - dpi) < std::abs(best - dpi)) best = r;
    return static_cast<short>(best);
  }

 private:
  static std::vector<short> Dots()
  {
    std::vector<short> dots;
    for (int dpi : Resolutions()) dots.push_back(static_cast<short>(dpi));
    return dots;
  }
  double Units() { return UnitsPerInch(session_.Negotiated().units); }
};

// ICAP_BITDEPTH: the depth of a sample of the pixel type in effect (1 for
// black and white, 8 for grey and for each of red, green and blue).
class BitDepth : public Capability {
 public:
  explicit BitDepth(Session& session)
      : Capability(ICAP_BITDEPTH, TWTY_UINT16, Shape::kEnumeration), session_(session)
  {
  }
  Result Current(Raw& value) override
  {
    ScanSettings settings;
    if (FAILED(session_.Scanner().ReadSettings(settings))) return Failed(TWCC_OPERATIONERROR);
    value = settings.pixelType == TWPT_BW ? 1 : 8;
    return Done();
  }
  // The default is the depth of the pixel type in effect.
  Result Default(Raw& value) override { return Current(value); }
  std::vector<Raw> Values() override { return {1, 8}; }
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

}  // namespace

void Session::AddCapabilities()
{
  Negotiation& n = negotiation_;
  Choices& c = choices_;
  n.AddListed(CAP_SUPPORTEDCAPS);
  n.AddListed(STIBRIDGE_CAP_JOBS);
  n.Add(std::make_unique<TransferCount>(c));
  n.Add(std::make_unique<Fixed>(CAP_UICONTROLLABLE, TWTY_BOOL, Shape::kOneValue, 1, false));
  n.Add(std::make_unique<Reported>(CAP_DEVICEONLINE, TWTY_BOOL, [this](Raw& value) {
    value = SUCCEEDED(connection_.Online()) ? 1 : 0;
    return Done();
  }));
  n.Add(std::make_unique<Choice>(
      CAP_INDICATORS, TWTY_BOOL, Shape::kOneValue, Raws({0, 1}), 1,
      [&c] { return Raw(c.indicators ? 1 : 0); }, [&c](Raw v) { c.indicators = v != 0; }));
  n.Add(std::make_unique<Choice>(
      ICAP_XFERMECH, TWTY_UINT16, Shape::kEnumeration, Raws({TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY}),
      TWSX_NATIVE, [&c] { return Raw(c.mechanism); },
      [&c](Raw v) { c.mechanism = static_cast<TW_UINT16>(v); }));
  std::vector<Raw> units;
  for (TW_UINT16 unit : SupportedUnits()) units.push_back(unit);
  n.Add(std::make_unique<Choice>(
      ICAP_UNITS, TWTY_UINT16, Shape::kEnumeration, units, TWUN_INCHES,
      [&c] { return Raw(c.units); }, [&c](Raw v) { c.units = static_cast<TW_UINT16>(v); }));
  n.Add(std::make_unique<Setting>(
      *this, ICAP_PIXELTYPE, TWTY_UINT16, Shape::kEnumeration,
      Setting::Codes{
          &ScanSettings::pixelType, {TWPT_BW, TWPT_GRAY, TWPT_RGB}, {TWPT_BW, TWPT_RGB}}));
  n.Add(std::make_unique<BitDepth>(*this));
  n.Add(std::make_unique<Resolution>(*this, ICAP_XRESOLUTION));
  n.Add(std::make_unique<Resolution>(*this, ICAP_YRESOLUTION));
  n.Add(std::make_unique<Setting>(
      *this, ICAP_SUPPORTEDSIZES, TWTY_UINT16, Shape::kEnumeration,
      Setting::Codes{&ScanSettings::paperSize,
                     {TWSS_NONE, TWSS_A4, TWSS_USLETTER, TWSS_USLEGAL, TWSS_A5, TWSS_USEXECUTIVE,
                      TWSS_A3, TWSS_USSTATEMENT},
                     {TWSS_NONE, TWSS_A4, TWSS_USLEGAL, TWSS_A5, TWSS_USEXECUTIVE, TWSS_A3,
                      TWSS_USSTATEMENT}}));
  n.Add(
      std::make_unique<Setting>(*this, ICAP_IMAGEFILEFORMAT, TWTY_UINT16, Shape::kEnumeration,
                                Setting::Codes{&ScanSettings::fileFormat,
                                               {TWFF_TIFF, TWFF_BMP, TWFF_JFIF, TWFF_TIFFMULTI},
                                               {TWFF_TIFF, TWFF_BMP, TWFF_JFIF, TWFF_TIFFMULTI}}));
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
}

}  // namespace twainds

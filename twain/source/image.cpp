// DG_IMAGE / DAT_IMAGEINFO and DAT_IMAGELAYOUT: the page at hand as it
// comes over (cut to the frame the application set), and where on the
// paper it lies.
#include <cmath>
#include <cstring>

#include "source/session.h"
#include "source/units.h"

namespace twainds {

namespace {

TW_FIX32 Fixed(double value)
{
  const Raw raw = Fix32(value);
  TW_FIX32 fix;
  std::memcpy(&fix, &raw, sizeof fix);
  return fix;
}

double Number(const TW_FIX32& fix)
{
  return fix.Whole + fix.Frac / 65536.0;
}

// A frame in inches, in `units`.
TW_FRAME FrameOf(const Frame& inches, TW_UINT16 units)
{
  const double perInch = UnitsPerInch(units);
  TW_FRAME frame = {};
  frame.Left = Fixed(inches.left * perInch);
  frame.Top = Fixed(inches.top * perInch);
  frame.Right = Fixed(inches.right * perInch);
  frame.Bottom = Fixed(inches.bottom * perInch);
  return frame;
}

// The frame of a paper size from the top left corner, in `units`.
TW_FRAME FrameOf(const Paper& paper, TW_UINT16 units)
{
  return FrameOf(Frame{0, 0, paper.width, paper.height}, units);
}

// The area of a paper size; the largest for TWSS_NONE, which asks for no
// particular one.
Paper AreaOf(TW_UINT16 size)
{
  Paper paper;
  return PaperOf(size, paper) ? paper : PhysicalArea();
}

}  // namespace

HRESULT Session::PageAtHand(TW_IMAGEINFO& page, Region& region)
{
  const HRESULT hr = walk_.Describe(page);
  if (FAILED(hr)) return hr;
  // The scanner described a page that no transfer can hold a row of.
  if (RowTooLong(page.ImageWidth, page.BitsPerPixel)) return E_FAIL;
  region = choices_.frame ? RegionOf(*choices_.frame, page.ImageWidth, page.ImageLength,
                                     Number(page.XResolution), Number(page.YResolution))
                          : Region{0, 0, page.ImageWidth, page.ImageLength};
  return S_OK;
}

Result Session::ImageInfo(TW_MEMREF data)
{
  auto* info = static_cast<TW_IMAGEINFO*>(data);
  if (info == nullptr) return Failed(TWCC_BADVALUE);
  Region region;
  TW_IMAGEINFO page;
  const HRESULT hr = PageAtHand(page, region);
  if (FAILED(hr)) return ScannerFailure(hr);
  // A frame that takes nothing of this page leaves nothing to describe.
  if (region.width <= 0) return Failed(TWCC_BADVALUE);
  *info = page;
  info->ImageWidth = region.width;
  info->ImageLength = region.length;
  // Pixels per ICAP_UNITS, as every other length and resolution.
  const double perInch = UnitsPerInch(choices_.units);
  info->XResolution = Fixed(Number(page.XResolution) / perInch);
  info->YResolution = Fixed(Number(page.YResolution) / perInch);
  return Done();
}

HRESULT Session::TransferredFrame(TW_FRAME& frame)
{
  TW_IMAGEINFO info;
  Region region;
  const HRESULT hr = PageAtHand(info, region);
  if (FAILED(hr)) return hr;
  const double x = Number(info.XResolution), y = Number(info.YResolution);
  frame = region.width > 0 || !choices_.frame
              ? FrameOf(Frame{x > 0 ? region.left / x : 0, y > 0 ? region.top / y : 0,
                              x > 0 ? (region.left + region.width) / x : 0,
                              y > 0 ? (region.top + region.length) / y : 0},
                        choices_.units)
              : FrameOf(*choices_.frame, choices_.units);
  return S_OK;
}

Result Session::SetFrame(const TW_FRAME& set)
{
  const double perInch = UnitsPerInch(choices_.units);
  Frame frame = {Number(set.Left) / perInch, Number(set.Top) / perInch, Number(set.Right) / perInch,
                 Number(set.Bottom) / perInch};
  const Paper area = {frame.right - frame.left, frame.bottom - frame.top};
  if (!(area.width > 0) || !(area.height > 0)) return Failed(TWCC_BADVALUE);
  // The frame of a paper size from the paper's corner is that size: the
  // scanner is told it (when it keeps it), and pages come whole, as they
  // were scanned.
  TW_UINT16 size = TWSS_NONE;
  if (std::fabs(frame.left) < 0.01 && std::fabs(frame.top) < 0.01 && SizeOfFrame(area, size)) {
    ::twainds::Capability* sizes = negotiation_.Find(ICAP_SUPPORTEDSIZES);
    Raw current = 0;
    const Result now = sizes->Current(current);
    if (now.rc == TWRC_FAILURE) return now;
    if (current == size || sizes->Choosable(size)) {
      const Result result = current == size ? Done() : sizes->Apply(size);
      if (result.rc != TWRC_FAILURE) choices_.frame.reset();
      return result;
    }
  }
  // Any other frame is cut out of every page, within the scanner's area.
  bool clipped = false;
  if (!ClipToArea(frame, clipped)) return Failed(TWCC_BADVALUE);
  choices_.frame = frame;
  return Done(clipped ? TWRC_CHECKSTATUS : TWRC_SUCCESS);
}

Result Session::ImageLayout(TW_UINT16 message, TW_MEMREF data)
{
  auto* layout = static_cast<TW_IMAGELAYOUT*>(data);
  if (layout == nullptr) return Failed(TWCC_BADVALUE);
  const TW_UINT16 units = choices_.units;
  Result result = Done();
  if (message == MSG_SET) {
    result = SetFrame(layout->Frame);
    if (result.rc == TWRC_FAILURE) return result;
  } else if (message == MSG_RESET) {
    // The default paper size, the scanner's setting left as it is.
    ::twainds::Capability* sizes = negotiation_.Find(ICAP_SUPPORTEDSIZES);
    Raw fallback = 0;
    result = sizes->Default(fallback);
    if (result.rc == TWRC_SUCCESS) result = sizes->Restore(fallback);
    if (result.rc == TWRC_FAILURE) return result;
    negotiation_.Unconstrain(ICAP_SUPPORTEDSIZES);
    choices_.frame.reset();
  }

  layout->FrameNumber = 1;
  if (message == MSG_GETDEFAULT) {
    Raw fallback = 0;
    negotiation_.Find(ICAP_SUPPORTEDSIZES)->Default(fallback);
    layout->Frame = FrameOf(AreaOf(static_cast<TW_UINT16>(fallback)), units);
    layout->DocumentNumber = 1;
    layout->PageNumber = 1;
    return result;
  }
  if (state == State::kReady || state == State::kTransferring) {
    // The page at hand: the part of it that comes over, at its resolution
    // (the frame as set when it takes nothing of the page).
    const HRESULT hr = TransferredFrame(layout->Frame);
    if (FAILED(hr)) return ScannerFailure(hr);
    layout->DocumentNumber = static_cast<TW_UINT32>(walk_.JobNumber());
    layout->PageNumber = static_cast<TW_UINT32>(walk_.Page());
    return result;
  }
  if (choices_.frame) {
    layout->Frame = FrameOf(*choices_.frame, units);
  } else {
    Raw size = 0;
    const Result now = CapabilityValue(ICAP_SUPPORTEDSIZES, size);
    if (now.rc != TWRC_SUCCESS) return now;
    layout->Frame = FrameOf(AreaOf(static_cast<TW_UINT16>(size)), units);
  }
  layout->DocumentNumber = 1;
  layout->PageNumber = 1;
  return result;
}

}  // namespace twainds

// DG_IMAGE / DAT_IMAGEINFO and DAT_IMAGELAYOUT: the page at hand as the
// scanner describes it, and where on the paper it lies.
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

// The frame of a paper size from the top left corner, in `units`.
TW_FRAME FrameOf(const Paper& paper, TW_UINT16 units)
{
  TW_FRAME frame = {};
  frame.Left = Fixed(0);
  frame.Top = Fixed(0);
  frame.Right = Fixed(paper.width * UnitsPerInch(units));
  frame.Bottom = Fixed(paper.height * UnitsPerInch(units));
  return frame;
}

// The area of a paper size; the largest for TWSS_NONE, which asks for no
// particular one.
Paper AreaOf(TW_UINT16 size)
{
  Paper paper;
  return PaperOf(size, paper) ? paper : PhysicalArea();
}

}  // namespace

Result Session::ImageInfo(TW_MEMREF data)
{
  auto* info = static_cast<TW_IMAGEINFO*>(data);
  if (info == nullptr) return Failed(TWCC_BADVALUE);
  const HRESULT hr = walk_.Describe(*info);
  return FAILED(hr) ? ScannerFailure(hr) : Done();
}

Result Session::ImageLayout(TW_UINT16 message, TW_MEMREF data)
{
  auto* layout = static_cast<TW_IMAGELAYOUT*>(data);
  if (layout == nullptr) return Failed(TWCC_BADVALUE);
  const TW_UINT16 units = choices_.units;
  Result result = Done();
  ::twainds::Capability* sizes = negotiation_.Find(ICAP_SUPPORTEDSIZES);

  if (message == MSG_SET) {
    // A frame is taken when it is one of the paper sizes the scanner keeps,
    // from the paper's corner: the scanner is told the size. Any other
    // frame is not what the scanner can be asked for; the frame in effect
    // stays, and the application is told to look.
    const double perInch = UnitsPerInch(units);
    const double left = Number(layout->Frame.Left) / perInch,
                 top = Number(layout->Frame.Top) / perInch;
    const Paper frame = {Number(layout->Frame.Right) / perInch - left,
                         Number(layout->Frame.Bottom) / perInch - top};
    if (frame.width <= 0 || frame.height <= 0) return Failed(TWCC_BADVALUE);
    TW_UINT16 size = TWSS_NONE;
    if (std::fabs(left) < 0.01 && std::fabs(top) < 0.01 && SizeOfFrame(frame, size) &&
        sizes->Choosable(size)) {
      result = sizes->Apply(size);
      if (result.rc == TWRC_FAILURE) return result;
    } else {
      result = Done(TWRC_CHECKSTATUS);
    }
  } else if (message == MSG_RESET) {
    result = sizes->Apply(defaults_.paperSize);
    if (result.rc == TWRC_FAILURE) return result;
  }

  layout->FrameNumber = 1;
  if (message == MSG_GETDEFAULT) {
    layout->Frame = FrameOf(AreaOf(defaults_.paperSize), units);
    layout->DocumentNumber = 1;
    layout->PageNumber = 1;
    return result;
  }
  if (state == State::kReady || state == State::kTransferring) {
    // The page at hand: its pixels at its resolution.
    TW_IMAGEINFO info;
    const HRESULT hr = walk_.Describe(info);
    if (FAILED(hr)) return ScannerFailure(hr);
    const double x = Number(info.XResolution), y = Number(info.YResolution);
    const Paper page = {x > 0 ? info.ImageWidth / x : 0, y > 0 ? info.ImageLength / y : 0};
    layout->Frame = FrameOf(page, units);
    layout->DocumentNumber = static_cast<TW_UINT32>(walk_.JobNumber());
    layout->PageNumber = static_cast<TW_UINT32>(walk_.Page());
    return result;
  }
  ScanSettings settings;
  const HRESULT hr = connection_.ReadSettings(settings);
  if (FAILED(hr)) return ScannerFailure(hr);
  layout->Frame = FrameOf(AreaOf(settings.paperSize), units);
  layout->DocumentNumber = 1;
  layout->PageNumber = 1;
  return result;
}

}  // namespace twainds

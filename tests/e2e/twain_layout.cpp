// The frame pages are cut to (DAT_IMAGELAYOUT) in state 4: paper sizes,
// frames taken as they are, held to the scanner's area or refused, in other
// units, and MSG_RESET.
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "twain_client.h"

// The frame pages are cut to, in inches (twain_parts.py's TWAIN_FRAME).
TW_FRAME Inches(double left, double top, double right, double bottom)
{
  return {Fixed(left), Fixed(top), Fixed(right), Fixed(bottom)};
}
const TW_FRAME kFrame = Inches(0.03, 0.02, 0.35, 0.25);

namespace {

std::string Text(const TW_FRAME& frame)
{
  char text[96];
  std::snprintf(text, sizeof text, "%.4f,%.4f,%.4f,%.4f", Number(frame.Left), Number(frame.Top),
                Number(frame.Right), Number(frame.Bottom));
  return text;
}

// Whether two frames are the same to a thousandth of their units.
bool Same(const TW_FRAME& a, const TW_FRAME& b)
{
  const auto alike = [](const TW_FIX32& x, const TW_FIX32& y) {
    return std::fabs(Number(x) - Number(y)) < 0.001;
  };
  return alike(a.Left, b.Left) && alike(a.Top, b.Top) && alike(a.Right, b.Right) &&
         alike(a.Bottom, b.Bottom);
}

TW_FRAME LayoutNow(TwainApp& twain)
{
  TW_IMAGELAYOUT layout = {};
  twain.Source(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout);
  return layout.Frame;
}

}  // namespace

TW_UINT16 SetLayout(TwainApp& twain, const TW_FRAME& frame, TW_FRAME* answered)
{
  TW_IMAGELAYOUT layout = {};
  layout.Frame = frame;
  const TW_UINT16 rc = twain.Source(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout);
  if (answered != nullptr) *answered = layout.Frame;
  return rc;
}

// State 4: where the page lies. The frame of a paper size sets the
// scanner's paper size; any other frame is what every page is cut to, held
// to the scanner's area (A3), in the application's units, until a paper
// size or MSG_RESET brings the whole page back.
void LayoutChecks(TwainApp& twain)
{
  std::string detail;
  TW_FRAME now = LayoutNow(twain);
  Check(now.Right.Whole == 8 && now.Bottom.Whole == 11, "twain-layout-a4", Text(now));
  TW_UINT16 rc = SetLayout(twain, Inches(0, 0, 8.5, 14));
  short settings[4] = {};
  StoredSettings(settings);
  Check(rc == TWRC_SUCCESS && settings[1] == TWSS_USLEGAL, "twain-layout-set-paper-size",
        "rc " + std::to_string(rc) + " paper " + std::to_string(settings[1]));

  // Frames taken as they are, and frames held to the area (A3 is
  // 11.69 x 16.54 inches); each reads back, and leaves the paper size.
  struct FrameRow {
    const char* name;
    TW_FRAME set, effect;
    TW_UINT16 rc;
  };
  for (const FrameRow& row : std::vector<FrameRow>{
           {"inch-square", Inches(1, 1, 2, 2), Inches(1, 1, 2, 2), TWRC_SUCCESS},
           {"corner", Inches(0, 0, 2, 2), Inches(0, 0, 2, 2), TWRC_SUCCESS},
           {"past-the-area", Inches(-1, 1, 20, 2), Inches(0, 1, 297 / 25.4, 2), TWRC_CHECKSTATUS},
           {"past-the-foot", Inches(1, 16, 2, 18), Inches(1, 16, 2, 420 / 25.4),
            TWRC_CHECKSTATUS}}) {
    TW_FRAME answered = {};
    rc = SetLayout(twain, row.set, &answered);
    const bool right = twain.Answered(rc, row.rc, TWCC_SUCCESS, &detail);
    now = LayoutNow(twain);
    StoredSettings(settings);
    Check(
        right && Same(answered, row.effect) && Same(now, row.effect) && settings[1] == TWSS_USLEGAL,
        std::string("twain-layout-frame-") + row.name,
        detail + ", answered " + Text(answered) + ", then " + Text(now));
  }
  // In other units, both ways.
  SetOne(twain, ICAP_UNITS, TWTY_UINT16, TWUN_CENTIMETERS);
  const TW_FRAME inCm = LayoutNow(twain);
  rc = SetLayout(twain, {Fixed(1.27), Fixed(2.54), Fixed(3.81), Fixed(5.08)});
  SetOne(twain, ICAP_UNITS, TWTY_UINT16, TWUN_INCHES);
  now = LayoutNow(twain);
  Check(Same(inCm, {Fixed(2.54), Fixed(16 * 2.54), Fixed(5.08), Fixed(420 / 10.0)}) &&
            rc == TWRC_SUCCESS && Same(now, Inches(0.5, 1, 1.5, 2)),
        "twain-layout-frame-in-units", Text(inCm) + " cm, then " + Text(now));
  // Frames that take nothing: refused, and the frame in effect stays.
  for (const auto& [name, frame] :
       std::vector<std::pair<const char*, TW_FRAME>>{{"empty", Inches(1, 1, -1, 2)},
                                                     {"upside-down", Inches(1, 2, 2, 1)},
                                                     {"beyond-the-area", Inches(12, 1, 13, 2)}}) {
    rc = SetLayout(twain, frame);
    const bool refused = twain.Answered(rc, TWRC_FAILURE, TWCC_BADVALUE, &detail);
    now = LayoutNow(twain);
    Check(refused && Same(now, Inches(0.5, 1, 1.5, 2)), std::string("twain-layout-refuses-") + name,
          detail + ", then " + Text(now));
  }
  // A paper size chosen brings the whole page back: its frame.
  SetOne(twain, ICAP_SUPPORTEDSIZES, TWTY_UINT16, TWSS_A5);
  now = LayoutNow(twain);
  Check(Same(now, Inches(0, 0, 148 / 25.4, 210 / 25.4)), "twain-layout-paper-size-ends-frame",
        Text(now));
  // A reset brings the default back (no paper size: the scanner's whole
  // area, A3) and leaves the scanner's paper size as it was.
  SetLayout(twain, kFrame);
  TW_IMAGELAYOUT layout = {};
  rc = twain.Source(DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, &layout);
  StoredSettings(settings);
  Check(rc == TWRC_SUCCESS && settings[1] == TWSS_A5 &&
            Same(layout.Frame, Inches(0, 0, 297 / 25.4, 420 / 25.4)) &&
            Same(LayoutNow(twain), layout.Frame),
        "twain-layout-reset", "paper " + std::to_string(settings[1]) + ", " + Text(layout.Frame));
}

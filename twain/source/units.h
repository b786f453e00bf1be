// Lengths and resolutions in the application's ICAP_UNITS, paper sizes,
// and the scanner's resolutions.
#pragma once

#include <vector>

#include "protocol/twain2.h"

namespace twainds {

// The units this source converts to: inches, centimetres, picas, points
// and twips. Pixels are not among them: a length in pixels would need a
// resolution, and a resolution in pixels means nothing.
const std::vector<TW_UINT16>& SupportedUnits();
// How many `units` make an inch.
double UnitsPerInch(TW_UINT16 units);

// The scanner's resolutions in dots per inch, ascending.
const std::vector<int>& Resolutions();

// A paper size in inches.
struct Paper {
  double width = 0, height = 0;
};
// The size of an ICAP_SUPPORTEDSIZES code; false for one without a size
// (TWSS_NONE) or one this source does not know.
bool PaperOf(TW_UINT16 size, Paper& paper);
// The largest area the scanner takes: A3.
Paper PhysicalArea();
// The paper size whose area `frame` (in inches, from the top left corner)
// is, to a hundredth of an inch; false when there is none.
bool SizeOfFrame(const Paper& frame, TW_UINT16& size);

}  // namespace twainds

#include "source/units.h"

#include <cmath>

namespace twainds {

namespace {

struct SizeEntry {
  TW_UINT16 size;
  Paper paper;
};

// ISO sizes from their millimetres, US sizes in inches.
constexpr double kMm = 1 / 25.4;
const SizeEntry kSizes[] = {
    {TWSS_A4, {210 * kMm, 297 * kMm}}, {TWSS_USLETTER, {8.5, 11}},
    {TWSS_USLEGAL, {8.5, 14}},         {TWSS_A5, {148 * kMm, 210 * kMm}},
    {TWSS_USLEDGER, {11, 17}},         {TWSS_USEXECUTIVE, {7.25, 10.5}},
    {TWSS_A3, {297 * kMm, 420 * kMm}}, {TWSS_USSTATEMENT, {5.5, 8.5}},
};

}  // namespace

const std::vector<TW_UINT16>& SupportedUnits()
{
  static const std::vector<TW_UINT16> units = {TWUN_INCHES, TWUN_CENTIMETERS, TWUN_PICAS,
                                               TWUN_POINTS, TWUN_TWIPS};
  return units;
}

double UnitsPerInch(TW_UINT16 units)
{
  switch (units) {
    case TWUN_CENTIMETERS:
      return 2.54;
    case TWUN_PICAS:
      return 6;
    case TWUN_POINTS:
      return 72;
    case TWUN_TWIPS:
      return 1440;
    default:
      return 1;
  }
}

const std::vector<int>& Resolutions()
{
  static const std::vector<int> dpi = {72, 100, 150, 200, 300, 400, 600};
  return dpi;
}

bool PaperOf(TW_UINT16 size, Paper& paper)
{
  for (const SizeEntry& entry : kSizes) {
    if (entry.size == size) {
      paper = entry.paper;
      return true;
    }
  }
  return false;
}

Paper PhysicalArea()
{
  return {297 * kMm, 420 * kMm};
}

bool SizeOfFrame(const Paper& frame, TW_UINT16& size)
{
  for (const SizeEntry& entry : kSizes) {
    if (std::fabs(entry.paper.width - frame.width) < 0.01 &&
        std::fabs(entry.paper.height - frame.height) < 0.01) {
      size = entry.size;
      return true;
    }
  }
  return false;
}

}  // namespace twainds

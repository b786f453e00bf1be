// The simulator's scenario reader: any byte string gives either a message
// or a scenario that keeps the promises the reader makes (counts and
// numbers within their bounds, dates that exist, known fault targets and
// modes), and a failed read leaves the caller's scenario as it was. The UTF-8 conversions beside
// the reader give back any well-formed UTF-8 text unchanged.
//
// Input: the JSON text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "protocol/driver_protocol.h"
#include "sim/scenario.h"

namespace {

bool IsLeapYear(int year)
{
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month)
{
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// 0 is Sunday, counted by whole days from Monday 1 January 1601.
int DayOfWeek(int year, int month, int day)
{
  auto leapYearsUpTo = [](long long y) { return y / 4 - y / 100 + y / 400; };
  long long days = 365LL * (year - 1601) + leapYearsUpTo(year - 1) - leapYearsUpTo(1600);
  for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
  days += day - 1;
  return static_cast<int>((days + 1) % 7);
}

void CheckTime(const SYSTEMTIME& t, const std::string& where)
{
  FUZZ_CHECK(t.wYear >= 1601 && t.wYear <= 9999, "%s: year %u", where.c_str(), t.wYear);
  FUZZ_CHECK(t.wMonth >= 1 && t.wMonth <= 12, "%s: month %u", where.c_str(), t.wMonth);
  FUZZ_CHECK(t.wDay >= 1 && t.wDay <= DaysInMonth(t.wYear, t.wMonth), "%s: day %u of %u-%02u",
             where.c_str(), t.wDay, t.wYear, t.wMonth);
  FUZZ_CHECK(t.wHour <= 23 && t.wMinute <= 59 && t.wSecond <= 59 && t.wMilliseconds == 0,
             "%s: time of day %u:%u:%u.%u", where.c_str(), t.wHour, t.wMinute, t.wSecond,
             t.wMilliseconds);
  FUZZ_CHECK(t.wDayOfWeek == DayOfWeek(t.wYear, t.wMonth, t.wDay),
             "%s: %u-%02u-%02u is weekday %d, not %u", where.c_str(), t.wYear, t.wMonth, t.wDay,
             DayOfWeek(t.wYear, t.wMonth, t.wDay), t.wDayOfWeek);
}

// The reader's longest item name, in UTF-16 units.
constexpr size_t kLongestItemName = 1024;

void CheckJob(const sim::JobSpec& job, const std::string& where)
{
  FUZZ_CHECK(job.pages >= 1 && job.pages <= 1000, "%s: %d pages", where.c_str(), job.pages);
  FUZZ_CHECK(job.width >= 1 && job.width <= 20000 && job.height >= 1 && job.height <= 20000,
             "%s: %d x %d", where.c_str(), job.width, job.height);
  FUZZ_CHECK(job.deliveredDepth == 1 || job.deliveredDepth == 8 || job.deliveredDepth == 24,
             "%s: delivered depth %d", where.c_str(), job.deliveredDepth);
  FUZZ_CHECK(!job.itemName.empty() && job.itemName.size() <= kLongestItemName,
             "%s: item name of %zu units", where.c_str(), job.itemName.size());
  if (job.hasTime) CheckTime(job.time, where + ".time");
  if (job.deletedAfterMs) {
    FUZZ_CHECK(*job.deletedAfterMs <= 86400000, "%s: deleted after %u ms", where.c_str(),
               *job.deletedAfterMs);
    FUZZ_CHECK(!job.arrivesAfterMs || *job.deletedAfterMs > *job.arrivesAfterMs,
               "%s: deleted at %u ms, before it arrives at %u ms", where.c_str(),
               *job.deletedAfterMs, *job.arrivesAfterMs);
  }
}

void CheckDevice(const sim::DeviceSpec& device, const std::string& where)
{
  FUZZ_CHECK(device.index <= 99, "%s: index %u", where.c_str(), device.index);
  for (const sim::DeviceValueSpec& value : device.deviceData) {
    FUZZ_CHECK(value.type == REG_SZ || value.type == REG_DWORD, "%s: device value of type %u",
               where.c_str(), value.type);
  }
  for (size_t i = 0; i < device.jobs.size(); ++i)
    CheckJob(device.jobs[i], where + ".jobs[" + std::to_string(i) + "]");
}

bool IsFaultTarget(DWORD target)
{
  if (target >= STISIM_TARGET_LOCK && target <= STISIM_TARGET_DEVICE_VALUE) return true;
  for (driver::EscapeCode code : driver::kAllEscapeCodes)
    if (target == static_cast<DWORD>(code)) return true;
  return false;
}

void CheckScenario(const sim::Scenario& scenario)
{
  FUZZ_CHECK(scenario.devices.size() <= 100, "%zu devices", scenario.devices.size());
  for (size_t i = 0; i < scenario.devices.size(); ++i) {
    CheckDevice(scenario.devices[i], "devices[" + std::to_string(i) + "]");
    for (size_t j = 0; j < i; ++j)
      FUZZ_CHECK(scenario.devices[i].index != scenario.devices[j].index,
                 "devices %zu and %zu share index %u", j, i, scenario.devices[i].index);
  }
  if (scenario.launch) {
    FUZZ_CHECK(scenario.launch->device < scenario.devices.size(),
               "launch names device position %u of %zu", scenario.launch->device,
               scenario.devices.size());
  }
  for (size_t i = 0; i < scenario.faults.size(); ++i) {
    const StiSimFault& fault = scenario.faults[i];
    FUZZ_CHECK(IsFaultTarget(fault.target), "faults[%zu]: target %u", i, fault.target);
    FUZZ_CHECK(fault.mode >= STISIM_FAULT_FAIL && fault.mode <= STISIM_FAULT_MISMATCH,
               "faults[%zu]: mode %u", i, fault.mode);
  }
}

// Whether `text` is well-formed UTF-8: shortest forms only, no surrogates,
// nothing above U+10FFFF.
bool IsWellFormedUtf8(const std::string& text)
{
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    uint32_t cp = 0;
    uint32_t smallest = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, cp = c & 0x1F, smallest = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, cp = c & 0x0F, smallest = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, cp = c & 0x07, smallest = 0x10000;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const std::string json(reinterpret_cast<const char*>(data), size);

  sim::Scenario scenario;
  scenario.name = "kept";
  std::string error;
  if (sim::ParseScenario(json, scenario, error)) {
    FUZZ_CHECK(error.empty(), "a scenario that was read comes with a message: %s", error.c_str());
    CheckScenario(scenario);
  } else {
    FUZZ_CHECK(!error.empty(), "a scenario that was refused comes without a message");
    FUZZ_CHECK(scenario.name == "kept" && scenario.devices.empty(),
               "a refused scenario changed the caller's one");
  }

  const sim::Text text = sim::Utf8ToText(json);
  const std::string back = sim::TextToUtf8(text);
  if (IsWellFormedUtf8(json))
    FUZZ_CHECK(back == json, "well-formed UTF-8 did not survive the trip through UTF-16");
  return 0;
}

#include "allowed_results.h"

#include <stierr.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace soak {

namespace {

constexpr HRESULT kCut = static_cast<HRESULT>(0x8007007A);       // a string did not fit
constexpr HRESULT kTooLarge = static_cast<HRESULT>(0x80070216);  // a count over 32 bits
// GetImageInfo's answer when its reply buffer cannot be had.
constexpr HRESULT kNoReplyBuffer = 2;

const HRESULT kLockFailures[] = {STIERR_DEVICE_LOCKED, kDeviceFailure};
// What the simulated driver answers an escape with when it fails: an injected
// failure or time-out, or its own refusal (a job another client deleted, a
// block it no longer knows, a format it cannot write, a buffer too small).
const HRESULT kDriverFailures[] = {kDeviceFailure,
                                   HRESULT_FROM_WIN32(ERROR_TIMEOUT),
                                   STIERR_OBJECTNOTFOUND,
                                   E_INVALIDARG,
                                   E_ACCESSDENIED,
                                   HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER),
                                   STIERR_UNSUPPORTED,
                                   E_OUTOFMEMORY};
const HRESULT kUnlockFailures[] = {kDeviceFailure};

struct Rule {
  const char* method;
  std::vector<HRESULT> own;
  unsigned passes;
};

// The answers each method gives of its own, and whose failures it passes on.
const std::vector<Rule>& Rules()
{
  const unsigned lock = kLockFailure, driver = kDriverFailure, unlock = kUnlockFailure;
  static const std::vector<Rule> rules = {
      {"CoCreateInstance", {S_OK}, kOwnOnly},
      {"CreateInstance", {S_OK}, kOwnOnly},
      {"Reserved1", {S_OK}, kOwnOnly},
      {"Reserved2", {S_OK}, kOwnOnly},
      {"SetPagesRemaining", {S_OK}, kOwnOnly},
      {"InitializeSti", {S_OK}, kOwnOnly},
      {"SelectLaunchDevice", {S_OK, E_FAIL, E_OUTOFMEMORY}, kOwnOnly},
      {"AdvancePage",
       {S_OK, S_FALSE, E_FAIL, E_OUTOFMEMORY, kNoReplyBuffer},
       lock | driver | unlock},
      {"RefreshItemList", {S_OK, E_FAIL, E_OUTOFMEMORY}, lock | unlock},
      {"GetItemPreview", {S_OK, S_FALSE, E_FAIL}, lock | driver | unlock},
      {"DeleteItem", {S_OK, E_FAIL}, lock | driver | unlock},
      {"EnumerateDevices", {S_OK, E_FAIL, E_OUTOFMEMORY, kCut}, kOwnOnly},
      {"SelectDeviceByName", {S_OK, E_FAIL}, kOwnOnly},
      {"OpenDevice", {S_OK, E_FAIL, E_OUTOFMEMORY}, lock | unlock},
      {"ReleaseItemList", {S_OK, E_FAIL}, lock | driver | unlock},
      {"GetImageInfo", {S_OK, S_FALSE, E_FAIL, E_OUTOFMEMORY, kNoReplyBuffer}, driver | unlock},
      {"PrepareTransfer", {S_OK, S_FALSE, E_FAIL, kCut}, kOwnOnly},
      {"RegisterEvents", {S_OK, E_FAIL}, driver | unlock},
      {"UnregisterEvents", {S_OK, E_FAIL}, lock | driver | unlock},
      {"SetSelection", {S_OK, E_FAIL, E_INVALIDARG, E_OUTOFMEMORY}, kOwnOnly},
      {"SelectItemByName", {S_OK, E_FAIL, E_OUTOFMEMORY}, kOwnOnly},
      {"GetDeleteImageOnScan", {S_OK, S_FALSE, kCut}, kOwnOnly},
      {"GetItemFlag", {S_OK}, kOwnOnly},
      {"SendScanSettings", {S_OK, E_FAIL}, driver | unlock},
      {"GetScanSettings", {S_OK, E_FAIL}, lock | driver | unlock},
      {"SetScanSettings", {S_OK, E_FAIL}, kOwnOnly},
      {"BeginAccess", {S_OK, E_FAIL}, kOwnOnly},
      {"EndAccess", {S_OK, E_FAIL}, kOwnOnly},
      {"GetCurrentItemFormat", {S_OK, E_FAIL}, kOwnOnly},
      {"GetItemInfo", {S_OK, E_FAIL, E_OUTOFMEMORY}, kOwnOnly},
      {"GetItemTime", {S_OK, E_FAIL}, kOwnOnly},
      // GetImageInfo's answers when it describes the page first.
      {"GetImageByteCount",
       {S_OK, S_FALSE, E_FAIL, E_OUTOFMEMORY, kNoReplyBuffer, kTooLarge},
       driver | unlock},
      {"GetCapabilityFlag", {S_OK}, kOwnOnly},
      {"GetLastItemIndex", {S_OK}, kOwnOnly},
      {"Close", {S_OK}, kOwnOnly},
      {"ApplyUserPin", {S_OK, E_FAIL}, driver | unlock},
      {"FindItemNameByDriverValue", {S_OK, E_FAIL, kCut}, kOwnOnly},
      {"GetDeviceFamily", {S_OK}, kOwnOnly},
      {"ReleaseScanSettings", {S_OK, E_FAIL}, lock | driver | unlock},
      {"ReleaseCapabilities", {S_OK, E_FAIL}, lock | driver | unlock},
      {"GetCurrentItemName", {S_OK, E_FAIL}, kOwnOnly},
      // The reads report the driver through their status word.
      {"ReadImageData", {S_OK, E_FAIL}, kOwnOnly},
      {"ReadItemString", {S_OK, E_FAIL, E_OUTOFMEMORY}, unlock},
      {"GetPagePosition", {S_OK}, kOwnOnly},
      {"QueryTransferSize", {S_OK, E_FAIL}, kOwnOnly},
      {"ReadImageHeader", {S_OK, E_FAIL}, kOwnOnly},
      {"GetServerFileName", {S_OK, E_FAIL}, kOwnOnly},
  };
  return rules;
}

template <size_t N>
bool In(const HRESULT (&set)[N], HRESULT hr)
{
  for (HRESULT h : set)
    if (h == hr) return true;
  return false;
}

}  // namespace

std::string HexCode(HRESULT hr)
{
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

bool Allowed(const char* method, HRESULT hr)
{
  for (const Rule& rule : Rules()) {
    if (std::strcmp(rule.method, method) != 0) continue;
    for (HRESULT own : rule.own)
      if (own == hr) return true;
    return ((rule.passes & kLockFailure) && In(kLockFailures, hr)) ||
           ((rule.passes & kDriverFailure) && In(kDriverFailures, hr)) ||
           ((rule.passes & kUnlockFailure) && In(kUnlockFailures, hr));
  }
  return false;
}

HRESULT Ledger::Note(const char* method, HRESULT hr)
{
  ++calls_;
  static const std::pair<const char*, int> kInOutStrings[] = {
      {"EnumerateDevices", 1},   {"GetItemInfo", 1},       {"GetItemPreview", 2},
      {"GetCurrentItemName", 1}, {"GetServerFileName", 1},
  };
  for (const auto& [name, count] : kInOutStrings)
    if (std::strcmp(method, name) == 0) inOutStrings_ += count;
  ++results_[{method, hr}];
  if (!Allowed(method, hr)) Violation(method, hr, "not an answer of this method");
  return hr;
}

void Ledger::Violation(const char* method, HRESULT hr, const std::string& detail)
{
  ++violations_;
  std::printf("violation %s %s %s\n", method, HexCode(hr).c_str(), detail.c_str());
  std::fflush(stdout);
}

void Ledger::Expect(bool condition, const char* method, HRESULT hr, const std::string& detail)
{
  if (!condition) Violation(method, hr, detail);
}

void Ledger::PrintResults() const
{
  for (const auto& [key, count] : results_)
    std::printf("results %s %s %ld\n", key.first.c_str(), HexCode(key.second).c_str(), count);
  std::fflush(stdout);
}

}  // namespace soak

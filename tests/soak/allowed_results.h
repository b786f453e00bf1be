// The results each method of the interface may answer, and the book of what
// a soak client got: every call's result is counted per method, and a result
// that the method may not answer (or a status or out-value that contradicts
// it) is a violation, printed as it happens.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <utility>

namespace soak {

// The soak scenario's "fail": a device that is not working.
constexpr HRESULT kDeviceFailure = static_cast<HRESULT>(0x8007001F);

// Which failures of the driver's side a method passes on as they are.
enum Passes : unsigned {
  kOwnOnly = 0,
  kLockFailure = 1,    // the device lock's failure (time-out, or the device failing)
  kDriverFailure = 2,  // an escape's failure, the driver's own code
  kUnlockFailure = 4,  // the unlock's failure
};

// True when `method` may answer `hr`. Unknown methods allow nothing.
bool Allowed(const char* method, HRESULT hr);

class Ledger {
 public:
  // Counts the result and reports it as a violation unless the method may
  // answer it. Returns hr.
  HRESULT Note(const char* method, HRESULT hr);
  // A status word or out-value that contradicts the result.
  void Violation(const char* method, HRESULT hr, const std::string& detail);
  // Checks `condition`; a violation of `method` with `detail` when false.
  void Expect(bool condition, const char* method, HRESULT hr, const std::string& detail);

  long Calls() const { return calls_; }
  // The [in, out] BSTR* parameters of the calls noted: Wine 8's stub keeps
  // an 8-byte holder of each (with its 24-byte list node) for the server's
  // life, which the soak's memory bound allows for.
  long InOutStrings() const { return inOutStrings_; }
  long Violations() const { return violations_; }
  // "results <method> <hresult> <count>" lines, one per method and result.
  void PrintResults() const;

 private:
  long calls_ = 0;
  long inOutStrings_ = 0;
  long violations_ = 0;
  std::map<std::pair<std::string, HRESULT>, long> results_;
};

std::string HexCode(HRESULT hr);

}  // namespace soak

// The scanner's signals while the job window is open: the named events
// "JobEnded", "ItemDeleted" and "ItemAdded" that the server makes, opened
// from this process and waited on by the thread pool, each signal a
// message posted to the window. The application's thread never waits.
#pragma once

#include <windows.h>

#include <array>

namespace twainds {

class ScannerSignals {
 public:
  ScannerSignals() = default;
  ~ScannerSignals() { Stop(); }
  ScannerSignals(const ScannerSignals&) = delete;
  ScannerSignals& operator=(const ScannerSignals&) = delete;

  // Each signal of the events posts `message` to `window`. False when not
  // every event could be opened and waited on (nothing is then waited on).
  bool Start(HWND window, UINT message);
  // No wait left and no callback running when it returns.
  void Stop();

 private:
  static void CALLBACK Signalled(void* context, BOOLEAN timedOut);
  struct Wait {
    HANDLE event = nullptr, wait = nullptr;
  };
  std::array<Wait, 3> waits_ = {};
  HWND window_ = nullptr;
  UINT message_ = 0;
};

}  // namespace twainds

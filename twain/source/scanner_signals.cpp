#include "source/scanner_signals.h"

namespace twainds {

namespace {

constexpr const wchar_t* kNames[] = {L"JobEnded", L"ItemDeleted", L"ItemAdded"};

}  // namespace

void CALLBACK ScannerSignals::Signalled(void* context, BOOLEAN)
{
  const auto* signals = static_cast<const ScannerSignals*>(context);
  PostMessageW(signals->window_, signals->message_, 0, 0);
}

bool ScannerSignals::Start(HWND window, UINT message)
{
  Stop();
  window_ = window;
  message_ = message;
  // The events are auto-reset: the pool's wait takes each signal and waits
  // again.
  for (size_t i = 0; i < waits_.size(); ++i) {
    Wait& wait = waits_[i];
    wait.event = OpenEventW(SYNCHRONIZE, FALSE, kNames[i]);
    if (wait.event == nullptr || !RegisterWaitForSingleObject(&wait.wait, wait.event, Signalled,
                                                              this, INFINITE, WT_EXECUTEDEFAULT)) {
      wait.wait = nullptr;
      Stop();
      return false;
    }
  }
  return true;
}

void ScannerSignals::Stop()
{
  for (Wait& wait : waits_) {
    // INVALID_HANDLE_VALUE: back only once a callback under way has ended,
    // so that none posts to a window that is going, or reads this object.
    if (wait.wait != nullptr) UnregisterWaitEx(wait.wait, INVALID_HANDLE_VALUE);
    if (wait.event != nullptr) CloseHandle(wait.event);
    wait = {};
  }
}

}  // namespace twainds

// The progress indicator (CAP_INDICATORS): a small window of the source's
// own that says which page of which job comes over, shown from
// MSG_XFERREADY until nothing is pending, whether or not the source's own
// window is shown, with a Cancel button. A click on Cancel is kept until
// the transfers take it (Cancelled); it can come while the source waits
// on the server, whose calls dispatch the thread's messages.
#pragma once

#include <windows.h>

#include <string>

namespace twainds {

class Indicator {
 public:
  Indicator() = default;
  ~Indicator() { Hide(); }
  Indicator(const Indicator&) = delete;
  Indicator& operator=(const Indicator&) = delete;

  // Shown (made the first time) with `text`, owned by `owner` and centred
  // on `centre` (the screen's work area without one).
  void Show(HWND owner, HWND centre, const std::wstring& text);
  void Hide();
  HWND Window() const { return window_; }
  // The user clicked Cancel since the walk began; Forget starts afresh.
  bool Cancelled() const { return cancelled_; }
  void Forget() { cancelled_ = false; }
  // The window's keyboard (Esc is Cancel), from the application's loop.
  bool Message(MSG* message);

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  bool cancelled_ = false;
};

}  // namespace twainds

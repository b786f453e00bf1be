// The progress indicator (CAP_INDICATORS): a small window that says which
// page of which job comes over, shown from MSG_XFERREADY until nothing is
// pending, whether or not the source's own window is shown.
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

  void Show(HWND parent, const std::wstring& text);
  void Hide();
  HWND Window() const { return window_; }

 private:
  HWND window_ = nullptr;
};

}  // namespace twainds

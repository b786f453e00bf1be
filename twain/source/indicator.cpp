#include "source/indicator.h"

namespace twainds {

// The window's title, by which a user (and the tests) know it.
constexpr wchar_t kTitle[] = L"stibridge: transferring";

void Indicator::Show(HWND parent, const std::wstring& text)
{
  if (window_ == nullptr) {
    // A static control as a window of its own: it draws its text and
    // needs no window procedure of this module's, which the application's
    // message loop could outlive.
    window_ = CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", kTitle,
                              WS_POPUP | WS_CAPTION | WS_VISIBLE | SS_CENTER | SS_CENTERIMAGE,
                              CW_USEDEFAULT, CW_USEDEFAULT, 360, 90,
                              IsWindow(parent) ? parent : nullptr, nullptr, nullptr, nullptr);
    if (window_ == nullptr) return;
  }
  // The text is the window's title, which a static control also draws.
  SetWindowTextW(window_, (std::wstring(kTitle) + L" " + text).c_str());
}

void Indicator::Hide()
{
  if (window_ != nullptr) DestroyWindow(window_);
  window_ = nullptr;
}

}  // namespace twainds

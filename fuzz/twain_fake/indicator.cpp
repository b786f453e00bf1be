// The stand-in of the source's progress indicator (source/indicator.h) in
// its fuzz build: a window token of the shim's while it is shown. The
// user's Cancel comes as the window's WM_COMMAND IDCANCEL through
// MSG_PROCESSEVENT, as Esc does to the real one.
#include "source/indicator.h"

#include "fuzz/twain_fake/fake_scanner.h"
#include "fuzz/twain_shim/shim.h"

namespace twainds {

void Indicator::Show(HWND, HWND, const std::wstring&)
{
  if (window_ == nullptr) window_ = twainshim::CreateWindowToken();
  twainfake::Fake().indicator = window_;
}

void Indicator::Hide()
{
  if (window_ != nullptr) twainshim::DestroyWindowToken(window_);
  window_ = nullptr;
  twainfake::Fake().indicator = nullptr;
}

bool Indicator::Message(MSG* message)
{
  if (window_ == nullptr || message == nullptr || message->hwnd != window_) return false;
  if (message->message == WM_COMMAND && LOWORD(message->wParam) == IDCANCEL) cancelled_ = true;
  return true;
}

INT_PTR CALLBACK Indicator::Procedure(HWND, UINT, WPARAM, LPARAM)
{
  return FALSE;
}

}  // namespace twainds

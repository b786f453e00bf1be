// The stand-in of the source's progress indicator (source/indicator.h) in
// its fuzz build: a window token of the shim's while it is shown.
#include "source/indicator.h"

#include "fuzz/twain_shim/shim.h"

namespace twainds {

void Indicator::Show(HWND, const std::wstring&)
{
  if (window_ == nullptr) window_ = twainshim::CreateWindowToken();
}

void Indicator::Hide()
{
  if (window_ != nullptr) twainshim::DestroyWindowToken(window_);
  window_ = nullptr;
}

}  // namespace twainds

#include "source/indicator.h"

#include "source/indicator_ids.h"
#include "source/strings.h"

namespace twainds {

namespace {

// Puts `window` in the middle of `centre`, or of the screen's work area
// where there is no such window (a pop-up made without a place goes to the
// screen's corner), kept on the screen.
void Centre(HWND window, HWND centre)
{
  RECT area = {}, own = {};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  RECT on = area;
  if (centre != nullptr && IsWindow(centre) && IsWindowVisible(centre) && !IsIconic(centre))
    GetWindowRect(centre, &on);
  GetWindowRect(window, &own);
  const int width = own.right - own.left, height = own.bottom - own.top;
  int x = on.left + (on.right - on.left - width) / 2;
  int y = on.top + (on.bottom - on.top - height) / 2;
  if (x + width > area.right) x = area.right - width;
  if (y + height > area.bottom) y = area.bottom - height;
  if (x < area.left) x = area.left;
  if (y < area.top) y = area.top;
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

INT_PTR CALLBACK Indicator::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
  auto* self = reinterpret_cast<Indicator*>(GetWindowLongPtrW(window, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(window, DWLP_USER, lParam);
      SetWindowTextW(window, Text(IDS_INDICATOR_TITLE).c_str());
      SetDlgItemTextW(window, IDCANCEL, Text(IDS_INDICATOR_CANCEL).c_str());
      return TRUE;
    case WM_COMMAND:
      // Cancel, Esc, or the window's close: the transfers stop at the next
      // strip or page.
      if (LOWORD(wParam) == IDCANCEL && self != nullptr && !self->cancelled_) {
        self->cancelled_ = true;
        SetDlgItemTextW(window, IDC_INDICATOR_TEXT, Text(IDS_INDICATOR_CANCELLING).c_str());
        EnableWindow(GetDlgItem(window, IDCANCEL), FALSE);
      }
      return TRUE;
    case WM_CLOSE:
      SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      return TRUE;
    default:
      return FALSE;
  }
}

void Indicator::Show(HWND owner, HWND centre, const std::wstring& text)
{
  const bool made = window_ == nullptr;
  if (made) {
    window_ = CreateDialogParamW(SourceModule(), MAKEINTRESOURCEW(IDD_INDICATOR),
                                 IsWindow(owner) ? owner : nullptr, &Indicator::Procedure,
                                 reinterpret_cast<LPARAM>(this));
    if (window_ == nullptr) return;
    Centre(window_, centre);
  }
  // Once cancelled, the window says so until it goes.
  if (!cancelled_) SetDlgItemTextW(window_, IDC_INDICATOR_TEXT, text.c_str());
  if (made) ShowWindow(window_, SW_SHOWNOACTIVATE);
}

void Indicator::Hide()
{
  if (window_ != nullptr) DestroyWindow(window_);
  window_ = nullptr;
}

bool Indicator::Message(MSG* message)
{
  return window_ != nullptr && message != nullptr &&
         (message->hwnd == window_ || IsChild(window_, message->hwnd)) &&
         IsDialogMessageW(window_, message);
}

}  // namespace twainds

// The source's own window (ShowUI TRUE): the jobs it lists, the one chosen
// brought over with a progress indicator, and Cancel asking to close.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "twain_client.h"

namespace {

// A top-level window of this thread whose title begins with `title`.
struct TitleSearch {
  const wchar_t* title;
  HWND found;
};

BOOL CALLBACK Titled(HWND window, LPARAM data)
{
  auto* search = reinterpret_cast<TitleSearch*>(data);
  wchar_t text[128] = {};
  GetWindowTextW(window, text, 128);
  if (std::wcsncmp(text, search->title, std::wcslen(search->title)) != 0) return TRUE;
  search->found = window;
  return FALSE;
}

HWND WindowTitled(const wchar_t* title)
{
  TitleSearch search = {title, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), Titled, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

// The source's own window (ShowUI TRUE), with its progress indicator.
void Window(TwainApp& twain)
{
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE);
  TW_UINT16 rc = Enable(twain, true);
  HWND dialog = WindowTitled(L"stibridge: stored jobs");
  HWND list = dialog != nullptr ? GetDlgItem(dialog, 101) : nullptr;
  const int rows = list != nullptr ? ListView_GetItemCount(list) : -1;
  int busy = -1, grey = -1;
  for (int row = 0; row < rows; ++row) {
    wchar_t text[64] = {};
    ListView_GetItemText(list, row, 0, text, 64);
    if (std::wcscmp(text, L"busy.tif") == 0) busy = row;
    if (std::wcscmp(text, L"grey.bmp") == 0) grey = row;
  }
  // multi.tif is gone (deleted after scan); foreign.tif is not the user's.
  Check(rc == TWRC_SUCCESS && rows == 5 && busy >= 0 && grey >= 0, "twain-window-lists-jobs",
        "rc " + std::to_string(rc) + ", " + std::to_string(rows) + " rows");
  if (busy < 0 || grey < 0) return;
  ListView_SetItemState(list, busy, LVIS_SELECTED, LVIS_SELECTED);
  Check(ListView_GetSelectedCount(list) == 0, "twain-window-job-being-scanned-not-chosen");
  ListView_SetItemState(list, grey, LVIS_SELECTED, LVIS_SELECTED);
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
  const TW_UINT16 message = twain.Await(10000);
  const bool waiting = !IsWindowEnabled(dialog);
  const bool indicated = WindowTitled(L"stibridge: transferring") != nullptr;
  Check(message == MSG_XFERREADY && waiting && indicated, "twain-window-transfer",
        "message " + std::to_string(message) + (waiting ? "" : ", window not waiting") +
            (indicated ? "" : ", no progress indicator"));
  if (message != MSG_XFERREADY) return;
  const std::string fingerprint = TransferPage(twain, TWSX_NATIVE, rc);
  std::printf("pixels grey.bmp 1 native %s\n", fingerprint.empty() ? "none" : fingerprint.c_str());
  const TW_UINT16 left = EndTransfer(twain);
  Check(left == 0 && IsWindowEnabled(dialog) && WindowTitled(L"stibridge: transferring") == nullptr,
        "twain-window-back-after-transfers", std::to_string(left) + " left");
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
  const TW_UINT16 close = twain.Await(10000);
  rc = Disable(twain);
  Check(close == MSG_CLOSEDSREQ && rc == TWRC_SUCCESS && !IsWindow(dialog),
        "twain-window-cancel-asks-to-close", "message " + std::to_string(close));
}

#include "twain_window.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>

#include "twain_client.h"
#include "twain_page.h"

namespace twainwindow {

namespace {

// What the poster thread posts to the application's window, its time in
// wParam (microseconds since the round began).
constexpr UINT kStamp = WM_APP + 41;
constexpr DWORD kPostEveryMs = 5;

TwainApp twain;
bool opened = false;
WNDPROC applicationProcedure = nullptr;

LARGE_INTEGER frequency;
LARGE_INTEGER began;

double SinceBegan()
{
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - began.QuadPart) * 1e6 /
         static_cast<double>(frequency.QuadPart);
}

std::atomic<bool> posting{false};
std::atomic<int> posted{0};
int dispatched = 0;
double longestWait = 0;

// The application's window procedure with the stamps taken out: wherever
// they are dispatched (this loop, or a modal loop COM runs while the
// source waits for the server), their wait is measured.
LRESULT CALLBACK Stamped(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
  if (message == kStamp) {
    longestWait = std::max(longestWait, SinceBegan() - static_cast<double>(wParam));
    ++dispatched;
    return 0;
  }
  return CallWindowProcW(applicationProcedure, window, message, wParam, lParam);
}

DWORD WINAPI Poster(void*)
{
  while (posting.load()) {
    if (PostMessageW(twain.window, kStamp, static_cast<WPARAM>(SinceBegan()), 0)) ++posted;
    Sleep(kPostEveryMs);
  }
  return 0;
}

// The source's job window of this thread, once shown: its list.
HWND JobList()
{
  HWND window = JobWindow();
  return window != nullptr && IsWindowVisible(window) ? GetDlgItem(window, kJobList) : nullptr;
}

// The application's loop for a while: every message to the source first.
void Pump(DWORD ms)
{
  const ULONGLONG until = GetTickCount64() + ms;
  do {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TW_EVENT event = {};
      event.pEvent = &message;
      if (twain.Source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) == TWRC_DSEVENT) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  } while (GetTickCount64() < until);
}

}  // namespace

std::string Open()
{
  QueryPerformanceFrequency(&frequency);
  twainpage::UseBenchProfile();
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  if (!twain.Load()) return "twain_32.dll or its DSM_Entry not found";
  if (!twain.OpenManager()) return "MSG_OPENDSM failed";
  if (!twain.OpenSource()) return "the manager lists no stibridge, or MSG_OPENDS failed";
  opened = true;
  applicationProcedure = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(twain.window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Stamped)));
  return {};
}

std::string Round(int jobs, unsigned limitMs, Times& times)
{
  times = Times();
  longestWait = 0;
  dispatched = 0;
  posted = 0;
  Pump(50);
  QueryPerformanceCounter(&began);
  posting = true;
  HANDLE poster = CreateThread(nullptr, 0, Poster, nullptr, 0, nullptr);
  if (poster == nullptr) return "no poster thread";
  TW_USERINTERFACE ui = {TRUE, FALSE, twain.window};
  const TW_UINT16 rc = twain.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
  std::string failed;
  if (rc != TWRC_SUCCESS) failed = "MSG_ENABLEDS: rc " + std::to_string(rc);
  HWND list = nullptr;
  int count = 0;
  while (failed.empty()) {
    list = JobList();
    count = list != nullptr ? ListView_GetItemCount(list) : 0;
    const int page = list != nullptr ? ListView_GetCountPerPage(list) : 0;
    if (times.firstUs == 0 && list != nullptr && count >= std::min(jobs, std::max(page, 1)))
      times.firstUs = SinceBegan();
    if (count >= jobs) break;
    if (SinceBegan() > limitMs * 1000.0) {
      failed = "the list showed " + std::to_string(count) + " of " + std::to_string(jobs) +
               " jobs within " + std::to_string(limitMs) + " ms";
      break;
    }
    Pump(1);
  }
  times.listUs = SinceBegan();
  times.listed = count;
  while (failed.empty()) {
    times.pictured = PicturedRows(list);
    if (times.pictured >= count) break;
    if (SinceBegan() > limitMs * 1000.0) {
      failed = std::to_string(times.pictured) + " of " + std::to_string(count) +
               " pictures within " + std::to_string(limitMs) + " ms";
      break;
    }
    Pump(5);
  }
  times.thumbnailsUs = SinceBegan();
  posting = false;
  WaitForSingleObject(poster, INFINITE);
  CloseHandle(poster);
  // The stamps still queued were posted within the round: their wait counts.
  Pump(20);
  times.longestWaitUs = longestWait;
  times.posted = posted.load();
  times.dispatched = dispatched;
  if (rc == TWRC_SUCCESS) twain.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
  return failed;
}

void Close()
{
  if (opened) {
    SetWindowLongPtrW(twain.window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(applicationProcedure));
    twain.CloseSource();
  }
  twain.CloseManager();
  twain.Unload();
}

}  // namespace twainwindow

// The application's side of the manager: loading it, its window, opening
// and closing, and the message loop that hands every message to the source.
#include <windows.h>
#include <commctrl.h>

#include <cstring>

#include "twain_client.h"

namespace {

constexpr wchar_t kWindowClass[] = L"stibridge-twain-client";

// What the window's procedure did when the source let the thread's
// messages through while it waited for the server.
TwainApp* reentered = nullptr;

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
  if (message != TwainApp::kReenter || reentered == nullptr)
    return DefWindowProcW(window, message, wParam, lParam);
  TwainApp& twain = *reentered;
  ++twain.reentry.calls;
  // Only while the application waits in a call of the source's.
  if (!twain.reentry.armed) return 0;
  TW_USERINTERFACE ui = {FALSE, FALSE, window};
  twain.reentry.enable = twain.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
  twain.reentry.condition = twain.Condition();
  ++twain.reentry.during;
  return 0;
}

void Copy(char* into, size_t size, const char* text)
{
  std::memset(into, 0, size);
  std::strncpy(into, text, size - 1);
}

// The source's job window among this thread's windows: the one with the
// list of jobs.
BOOL CALLBACK WithJobs(HWND window, LPARAM data)
{
  if (GetDlgItem(window, kJobList) == nullptr) return TRUE;
  *reinterpret_cast<HWND*>(data) = window;
  return FALSE;
}

}  // namespace

HWND JobWindow()
{
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), WithJobs, reinterpret_cast<LPARAM>(&found));
  return found;
}

int PicturedRows(HWND list)
{
  const int count = ListView_GetItemCount(list);
  int pictured = 0;
  for (int row = 0; row < count; ++row) {
    LVITEMW item = {};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    if (ListView_GetItem(list, &item) && item.iImage > 0) ++pictured;
  }
  return pictured;
}

std::wstring SourcePath()
{
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows) + (sizeof(void*) == 8 ? L"\\twain_64\\" : L"\\twain_32\\") +
         kSourceModule;
}

bool TwainApp::Load()
{
  manager_ = LoadLibraryW(L"twain_32.dll");
  entry_ = manager_ != nullptr ? reinterpret_cast<DSMENTRYPROC>(
                                     reinterpret_cast<void*>(GetProcAddress(manager_, "DSM_Entry")))
                               : nullptr;
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProcedure;
  reentered = this;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassW(&windowClass);
  window = CreateWindowW(kWindowClass, L"twain_client", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200,
                         nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  // The application as it introduces itself: a TWAIN 2 application.
  app.Id = 0;
  app.Version.MajorNum = 1;
  app.Version.Language = TWLG_ENGLISH_USA;
  app.Version.Country = TWCY_USA;
  Copy(app.Version.Info, sizeof app.Version.Info, "e2e");
  app.ProtocolMajor = STIBRIDGE_PROTOCOLMAJOR;
  app.ProtocolMinor = STIBRIDGE_PROTOCOLMINOR;
  app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
  Copy(app.Manufacturer, sizeof app.Manufacturer, "stibridge tests");
  Copy(app.ProductFamily, sizeof app.ProductFamily, "e2e");
  Copy(app.ProductName, sizeof app.ProductName, "Quarterly scans");
  // The source's module, for the operations that go straight to it: where
  // Wine's manager loads it from.
  sourceModule_ = LoadLibraryW(SourcePath().c_str());
  direct_ = sourceModule_ != nullptr ? reinterpret_cast<DSENTRYPROC>(reinterpret_cast<void*>(
                                           GetProcAddress(sourceModule_, "DS_Entry")))
                                     : nullptr;
  return entry_ != nullptr && window != nullptr;
}

void TwainApp::Unload()
{
  if (window != nullptr) DestroyWindow(window);
  window = nullptr;
  // The manager and the source stay loaded: Wine's manager never lets a
  // source go itself, and a source's window may still be on its way out.
}

TW_UINT16 TwainApp::Source(TW_UINT32 group, TW_UINT16 dat, TW_UINT16 message, void* data)
{
  return entry_(&app, &source, group, dat, message, data);
}

TW_UINT16 TwainApp::Manager(TW_UINT16 dat, TW_UINT16 message, void* data)
{
  return entry_(&app, nullptr, DG_CONTROL, dat, message, data);
}

TW_UINT16 TwainApp::Direct(TW_UINT32 group, TW_UINT16 dat, TW_UINT16 message, void* data)
{
  return DirectAs(&app, group, dat, message, data);
}

TW_UINT16 TwainApp::DirectAs(TW_IDENTITY* origin, TW_UINT32 group, TW_UINT16 dat,
                             TW_UINT16 message, void* data)
{
  if (direct_ == nullptr) {
    HMODULE loaded = GetModuleHandleW(SourcePath().c_str());
    direct_ = loaded != nullptr ? reinterpret_cast<DSENTRYPROC>(
                                      reinterpret_cast<void*>(GetProcAddress(loaded, "DS_Entry")))
                                : nullptr;
  }
  if (direct_ == nullptr) {
    Check(false, "twain-source-module-loaded", "no DS_Entry of a loaded sane.ds");
    return TWRC_FAILURE;
  }
  return direct_(origin, group, dat, message, data);
}

TW_UINT16 TwainApp::Condition()
{
  TW_STATUS status = {};
  status.ConditionCode = 0xFFFF;
  return Source(DG_CONTROL, DAT_STATUS, MSG_GET, &status) == TWRC_SUCCESS ? status.ConditionCode
                                                                          : 0xFFFF;
}

bool TwainApp::Answered(TW_UINT16 rc, TW_UINT16 wantRc, TW_UINT16 wantCc, std::string* detail)
{
  const TW_UINT16 cc = Condition();
  if (detail != nullptr)
    *detail = "rc " + std::to_string(rc) + " cc " + std::to_string(cc) + ", expected rc " +
              std::to_string(wantRc) + " cc " + std::to_string(wantCc);
  return rc == wantRc && cc == wantCc;
}

void TwainApp::Expect(TW_UINT16 rc, TW_UINT16 wantRc, TW_UINT16 wantCc, const std::string& name)
{
  std::string detail;
  const bool answered = Answered(rc, wantRc, wantCc, &detail);
  Check(answered, name, detail);
}

bool TwainApp::OpenManager()
{
  return Manager(DAT_PARENT, MSG_OPENDSM, &window) == TWRC_SUCCESS;
}

void TwainApp::CloseManager()
{
  Manager(DAT_PARENT, MSG_CLOSEDSM, &window);
}

bool TwainApp::OpenSource()
{
  // Found by its name among the sources the manager lists.
  TW_IDENTITY listed = {};
  bool found = false;
  for (TW_UINT16 rc = Manager(DAT_IDENTITY, MSG_GETFIRST, &listed); rc == TWRC_SUCCESS;
       rc = Manager(DAT_IDENTITY, MSG_GETNEXT, &listed)) {
    if (std::strcmp(listed.ProductName, "stibridge") == 0) {
      source = listed;
      found = true;
    }
  }
  Check(found, "twain-source-listed", "the manager lists no source named stibridge");
  return found && Manager(DAT_IDENTITY, MSG_OPENDS, &source) == TWRC_SUCCESS;
}

bool TwainApp::CloseSource()
{
  return Manager(DAT_IDENTITY, MSG_CLOSEDS, &source) == TWRC_SUCCESS;
}

TW_UINT16 TwainApp::Await(DWORD ms)
{
  const ULONGLONG deadline = GetTickCount64() + ms;
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TW_EVENT event = {};
      event.pEvent = &message;
      event.TWMessage = MSG_NULL;
      const TW_UINT16 rc = Source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
      if (rc == TWRC_DSEVENT) {
        if (event.TWMessage != MSG_NULL) return event.TWMessage;
        continue;
      }
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return MSG_NULL;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
  }
}

#include "twain_page.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "protocol/custom.h"
#include "protocol/twain2.h"

namespace twainpage {

namespace {

// What the bench scenario installs, as the source's user values name it.
const wchar_t* const kProfile[][2] = {{L"Scanner", L"Bench MFP"},
                                      {L"Profile", L"bench"},
                                      {L"Qualifier", L"BENCH"},
                                      {L"Store", L"ann"}};

DSMENTRYPROC entry = nullptr;
HWND window = nullptr;
TW_IDENTITY app = {}, source = {};
TW_UINT32 buffer = 0;
std::vector<unsigned char> strip;

double Now()
{
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

TW_UINT16 Source(TW_UINT32 group, TW_UINT16 dat, TW_UINT16 message, void* data)
{
  return entry(&app, &source, group, dat, message, data);
}

std::string Said(const char* what, TW_UINT16 rc)
{
  TW_STATUS status = {};
  Source(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
  return std::string(what) + ": rc " + std::to_string(rc) + " cc " +
         std::to_string(status.ConditionCode);
}

// Sets a capability from a one-value container of `bytes`.
TW_UINT16 Set(TW_UINT16 cap, const void* bytes, size_t size)
{
  TW_CAPABILITY capability = {cap, TWON_ONEVALUE, GlobalAlloc(GHND, size)};
  if (capability.hContainer == nullptr) return TWRC_FAILURE;
  std::memcpy(GlobalLock(capability.hContainer), bytes, size);
  GlobalUnlock(capability.hContainer);
  const TW_UINT16 rc = Source(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
  GlobalFree(capability.hContainer);
  return rc;
}

TW_UINT16 SetOne(TW_UINT16 cap, TW_UINT16 type, TW_UINT32 value)
{
  TW_ONEVALUE one = {type, value};
  return Set(cap, &one, sizeof one);
}

// The application's loop until the source's message comes (MSG_NULL when
// none came within `ms`).
TW_UINT16 Await(DWORD ms)
{
  const ULONGLONG deadline = GetTickCount64() + ms;
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TW_EVENT event = {&message, MSG_NULL};
      if (Source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) == TWRC_DSEVENT) {
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

}  // namespace

std::string Open(const char* job)
{
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\stibridge\\TWAIN", 0, nullptr, 0, KEY_ALL_ACCESS,
                  nullptr, &key, nullptr);
  for (const auto& value : kProfile)
    RegSetValueExW(key, value[0], 0, REG_SZ, reinterpret_cast<const BYTE*>(value[1]),
                   static_cast<DWORD>((lstrlenW(value[1]) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);

  HMODULE manager = LoadLibraryW(L"twain_32.dll");
  entry = manager != nullptr ? reinterpret_cast<DSMENTRYPROC>(
                                   reinterpret_cast<void*>(GetProcAddress(manager, "DSM_Entry")))
                             : nullptr;
  if (entry == nullptr) return "twain_32.dll or its DSM_Entry not found";
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"stibridge-bench-twain";
  RegisterClassW(&windowClass);
  window = CreateWindowW(windowClass.lpszClassName, L"bench", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                         nullptr, nullptr, windowClass.hInstance, nullptr);
  app.Version.MajorNum = 1;
  app.Version.Language = TWLG_ENGLISH_USA;
  app.Version.Country = TWCY_USA;
  app.ProtocolMajor = STIBRIDGE_PROTOCOLMAJOR;
  app.ProtocolMinor = STIBRIDGE_PROTOCOLMINOR;
  app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
  lstrcpynA(app.ProductName, "stibridge bench", sizeof app.ProductName);
  TW_UINT16 rc = entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &window);
  if (rc != TWRC_SUCCESS) return "MSG_OPENDSM: rc " + std::to_string(rc);
  lstrcpynA(source.ProductName, "stibridge", sizeof source.ProductName);
  rc = entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source);
  if (rc != TWRC_SUCCESS) return "MSG_OPENDS: rc " + std::to_string(rc);

  struct {
    TW_UINT16 type;
    TW_STR32 name;
  } named = {TWTY_STR32, {}};
  lstrcpynA(named.name, job, sizeof named.name);
  if ((rc = Set(STIBRIDGE_CAP_JOBS, &named, sizeof named)) != TWRC_SUCCESS)
    return Said("naming the job", rc);
  if ((rc = SetOne(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY)) != TWRC_SUCCESS)
    return Said("ICAP_XFERMECH", rc);
  if ((rc = SetOne(CAP_INDICATORS, TWTY_BOOL, FALSE)) != TWRC_SUCCESS)
    return Said("CAP_INDICATORS", rc);
  TW_SETUPMEMXFER setup = {};
  if ((rc = Source(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup)) != TWRC_SUCCESS)
    return Said("DAT_SETUPMEMXFER", rc);
  buffer = setup.Preferred;
  strip.assign(buffer, 0);
  return {};
}

unsigned long Buffer()
{
  return buffer;
}

std::string Page(Times& times)
{
  const double started = Now();
  TW_USERINTERFACE ui = {FALSE, FALSE, window};
  TW_UINT16 rc = Source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
  if (rc != TWRC_SUCCESS) return Said("MSG_ENABLEDS", rc);
  const TW_UINT16 message = Await(60000);
  if (message != MSG_XFERREADY) return "no MSG_XFERREADY: " + std::to_string(message);
  const double transfer = Now();
  TW_IMAGEINFO info = {};
  if ((rc = Source(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info)) != TWRC_SUCCESS)
    return Said("DAT_IMAGEINFO", rc);
  times.bytes = 0;
  times.strips = 0;
  do {
    TW_IMAGEMEMXFER memory = {};
    memory.Memory = {TWMF_APPOWNS | TWMF_POINTER, buffer, strip.data()};
    rc = Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &memory);
    times.bytes += memory.BytesWritten;
    ++times.strips;
  } while (rc == TWRC_SUCCESS);
  times.transferUs = Now() - transfer;
  if (rc != TWRC_XFERDONE) return Said("DAT_IMAGEMEMXFER", rc);
  TW_PENDINGXFERS pending = {};
  rc = Source(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
  times.pageUs = Now() - started;
  if (rc != TWRC_SUCCESS || pending.Count != 0)
    return Said("MSG_ENDXFER", rc) + ", " + std::to_string(pending.Count) + " left";
  if ((rc = Source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui)) != TWRC_SUCCESS)
    return Said("MSG_DISABLEDS", rc);
  return {};
}

void Close()
{
  if (entry == nullptr) return;
  entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source);
  entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &window);
}

}  // namespace twainpage

#include "twain_page.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "twain_client.h"

namespace twainpage {

namespace {

// What the bench scenario installs, as the source's user values name it.
const wchar_t* const kProfile[][2] = {{L"Scanner", L"Bench MFP"},
                                      {L"Profile", L"bench"},
                                      {L"Qualifier", L"BENCH"},
                                      {L"Store", L"ann"}};

// The tests' TWAIN application (tests/e2e/twain_manager.cpp): the manager,
// its window and its loop.
TwainApp twain;
bool opened = false;
TW_UINT32 buffer = 0;
std::vector<unsigned char> strip;

double Now()
{
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

std::string Said(const char* what, TW_UINT16 rc)
{
  return std::string(what) + ": rc " + std::to_string(rc) + " cc " +
         std::to_string(twain.Condition());
}

// Sets a capability from a one-value container of `bytes`.
TW_UINT16 Set(TW_UINT16 cap, const void* bytes, size_t size)
{
  TW_CAPABILITY capability = {cap, TWON_ONEVALUE, GlobalAlloc(GHND, size)};
  if (capability.hContainer == nullptr) return TWRC_FAILURE;
  std::memcpy(GlobalLock(capability.hContainer), bytes, size);
  GlobalUnlock(capability.hContainer);
  const TW_UINT16 rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
  GlobalFree(capability.hContainer);
  return rc;
}

TW_UINT16 SetValue(TW_UINT16 cap, TW_UINT16 type, TW_UINT32 value)
{
  TW_ONEVALUE one = {type, value};
  return Set(cap, &one, sizeof one);
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

  if (!twain.Load()) return "twain_32.dll or its DSM_Entry not found";
  if (!twain.OpenManager()) return "MSG_OPENDSM failed";
  if (!twain.OpenSource()) return "the manager lists no stibridge, or MSG_OPENDS failed";
  opened = true;
  struct {
    TW_UINT16 type;
    TW_STR32 name;
  } named = {TWTY_STR32, {}};
  lstrcpynA(named.name, job, sizeof named.name);
  TW_UINT16 rc;
  if ((rc = Set(STIBRIDGE_CAP_JOBS, &named, sizeof named)) != TWRC_SUCCESS)
    return Said("naming the job", rc);
  if ((rc = SetValue(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY)) != TWRC_SUCCESS)
    return Said("ICAP_XFERMECH", rc);
  if ((rc = SetValue(CAP_INDICATORS, TWTY_BOOL, FALSE)) != TWRC_SUCCESS)
    return Said("CAP_INDICATORS", rc);
  TW_SETUPMEMXFER setup = {};
  if ((rc = twain.Source(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup)) != TWRC_SUCCESS)
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
  TW_USERINTERFACE ui = {FALSE, FALSE, twain.window};
  TW_UINT16 rc = twain.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
  if (rc != TWRC_SUCCESS) return Said("MSG_ENABLEDS", rc);
  const TW_UINT16 message = twain.Await(60000);
  if (message != MSG_XFERREADY) return "no MSG_XFERREADY: " + std::to_string(message);
  const double transfer = Now();
  TW_IMAGEINFO info = {};
  if ((rc = twain.Source(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info)) != TWRC_SUCCESS)
    return Said("DAT_IMAGEINFO", rc);
  times.bytes = 0;
  times.strips = 0;
  do {
    TW_IMAGEMEMXFER memory = {};
    memory.Memory = {TWMF_APPOWNS | TWMF_POINTER, buffer, strip.data()};
    rc = twain.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &memory);
    times.bytes += memory.BytesWritten;
    ++times.strips;
  } while (rc == TWRC_SUCCESS);
  times.transferUs = Now() - transfer;
  if (rc != TWRC_XFERDONE) return Said("DAT_IMAGEMEMXFER", rc);
  TW_PENDINGXFERS pending = {};
  rc = twain.Source(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
  times.pageUs = Now() - started;
  if (rc != TWRC_SUCCESS || pending.Count != 0)
    return Said("MSG_ENDXFER", rc) + ", " + std::to_string(pending.Count) + " left";
  if ((rc = twain.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui)) != TWRC_SUCCESS)
    return Said("MSG_DISABLEDS", rc);
  return {};
}

void Close()
{
  if (opened) twain.CloseSource();
  twain.CloseManager();
  twain.Unload();
}

}  // namespace twainpage

#include "twain_page.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
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
Mechanism inUse = Mechanism::kMemory;
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

// What the page's header says matches the page described: `bytes` get
// the DIB's size (header, palette and rows).
bool DibMatches(const BITMAPINFOHEADER& header, const TW_IMAGEINFO& info, size_t held,
                double& bytes)
{
  const size_t palette =
      header.biBitCount <= 8
          ? 4 * (header.biClrUsed != 0 ? header.biClrUsed : 1u << header.biBitCount)
          : 0;
  const size_t stride = (static_cast<size_t>(info.ImageWidth) * info.BitsPerPixel + 31) / 32 * 4;
  bytes = static_cast<double>(sizeof header + palette + header.biSizeImage);
  return header.biSize == sizeof header && header.biWidth == info.ImageWidth &&
         std::labs(header.biHeight) == info.ImageLength && header.biBitCount == info.BitsPerPixel &&
         header.biSizeImage == stride * static_cast<size_t>(info.ImageLength) &&
         held >= sizeof header + palette + header.biSizeImage;
}

// A native transfer: the DIB in global memory, which the application
// frees (after the clock stops).
TW_UINT16 Native(const TW_IMAGEINFO& info, Times& times, HGLOBAL& dib)
{
  TW_HANDLE handle = nullptr;
  const TW_UINT16 rc = twain.Source(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle);
  dib = static_cast<HGLOBAL>(handle);
  times.strips = 1;
  if (rc == TWRC_XFERDONE && dib != nullptr) {
    BITMAPINFOHEADER header = {};
    const auto* bytes = static_cast<const unsigned char*>(GlobalLock(dib));
    if (bytes != nullptr) {
      std::memcpy(&header, bytes, sizeof header);
      GlobalUnlock(dib);
    }
    times.whole = bytes != nullptr && DibMatches(header, info, GlobalSize(dib), times.bytes);
  }
  return rc;
}

// A memory transfer: strips of rows in the application's buffer.
TW_UINT16 Memory(const TW_IMAGEINFO& info, Times& times)
{
  TW_UINT16 rc;
  do {
    TW_IMAGEMEMXFER memory = {};
    memory.Memory = {TWMF_APPOWNS | TWMF_POINTER, buffer, strip.data()};
    rc = twain.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &memory);
    times.bytes += memory.BytesWritten;
    ++times.strips;
  } while (rc == TWRC_SUCCESS);
  const double row =
      static_cast<double>((static_cast<size_t>(info.ImageWidth) * info.BitsPerPixel + 7) / 8);
  times.whole = times.bytes == row * info.ImageLength;
  return rc;
}

// A memory-file transfer: the file's bytes in the application's buffer.
// The file is whole when it is the BMP of the page described, as long as
// its header says.
TW_UINT16 MemoryFile(const TW_IMAGEINFO& info, Times& times)
{
  unsigned char head[14 + sizeof(BITMAPINFOHEADER)] = {};
  size_t headBytes = 0;
  TW_UINT16 rc;
  do {
    TW_IMAGEMEMXFER memory = {};
    memory.Memory = {TWMF_APPOWNS | TWMF_POINTER, buffer, strip.data()};
    rc = twain.Source(DG_IMAGE, DAT_IMAGEMEMFILEXFER, MSG_GET, &memory);
    const size_t now = std::min<size_t>(memory.BytesWritten, sizeof head - headBytes);
    if (rc == TWRC_SUCCESS || rc == TWRC_XFERDONE) std::memcpy(head + headBytes, strip.data(), now);
    headBytes += now;
    times.bytes += memory.BytesWritten;
    ++times.strips;
  } while (rc == TWRC_SUCCESS);
  BITMAPINFOHEADER header = {};
  std::memcpy(&header, head + 14, sizeof header);
  DWORD fileBytes = 0;
  std::memcpy(&fileBytes, head + 2, sizeof fileBytes);
  double dib = 0;
  times.whole = headBytes == sizeof head && head[0] == 'B' && head[1] == 'M' &&
                fileBytes == times.bytes && DibMatches(header, info, ~size_t{0}, dib) &&
                times.bytes == dib + 14;
  return rc;
}

}  // namespace

const char* NameOf(Mechanism mechanism)
{
  switch (mechanism) {
    case Mechanism::kNative:
      return "native";
    case Mechanism::kMemory:
      return "memory";
    case Mechanism::kMemoryFile:
      return "memfile";
  }
  return "?";
}

bool Named(const std::string& name, Mechanism& mechanism)
{
  for (Mechanism m : {Mechanism::kNative, Mechanism::kMemory, Mechanism::kMemoryFile})
    if (name == NameOf(m)) {
      mechanism = m;
      return true;
    }
  return false;
}

void UseBenchProfile()
{
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\stibridge\\TWAIN", 0, nullptr, 0, KEY_ALL_ACCESS,
                  nullptr, &key, nullptr);
  for (const auto& value : kProfile)
    RegSetValueExW(key, value[0], 0, REG_SZ, reinterpret_cast<const BYTE*>(value[1]),
                   static_cast<DWORD>((lstrlenW(value[1]) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

std::string Open(const char* job)
{
  UseBenchProfile();

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
  if ((rc = SetValue(CAP_INDICATORS, TWTY_BOOL, FALSE)) != TWRC_SUCCESS)
    return Said("CAP_INDICATORS", rc);
  TW_SETUPMEMXFER setup = {};
  if ((rc = twain.Source(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup)) != TWRC_SUCCESS)
    return Said("DAT_SETUPMEMXFER", rc);
  buffer = setup.Preferred;
  strip.assign(buffer, 0);
  return {};
}

std::string Use(Mechanism mechanism)
{
  static const TW_UINT16 kMechanisms[] = {TWSX_NATIVE, TWSX_MEMORY, TWSX_MEMFILE};
  TW_UINT16 rc = SetValue(ICAP_XFERMECH, TWTY_UINT16, kMechanisms[static_cast<int>(mechanism)]);
  if (rc != TWRC_SUCCESS) return Said("ICAP_XFERMECH", rc);
  inUse = mechanism;
  if (mechanism != Mechanism::kMemoryFile) return {};
  // The file's name means nothing to a memory file; its format is the one
  // the scanner keeps the page in, so that the scanner's own file comes.
  TW_SETUPFILEXFER setup = {};
  lstrcpynA(setup.FileName, "bench.bmp", sizeof setup.FileName);
  setup.Format = TWFF_BMP;
  if ((rc = twain.Source(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup)) != TWRC_SUCCESS)
    return Said("DAT_SETUPFILEXFER", rc);
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
  times.whole = false;
  HGLOBAL dib = nullptr;
  switch (inUse) {
    case Mechanism::kNative:
      rc = Native(info, times, dib);
      break;
    case Mechanism::kMemory:
      rc = Memory(info, times);
      break;
    case Mechanism::kMemoryFile:
      rc = MemoryFile(info, times);
      break;
  }
  times.transferUs = Now() - transfer;
  if (rc != TWRC_XFERDONE) {
    if (dib != nullptr) GlobalFree(dib);
    return Said(NameOf(inUse), rc);
  }
  TW_PENDINGXFERS pending = {};
  rc = twain.Source(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
  times.pageUs = Now() - started;
  // The application's own work with the page, after the clock.
  if (dib != nullptr) GlobalFree(dib);
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

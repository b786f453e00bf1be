// Pages brought over by each transfer mechanism, as an application would:
// a DIB in global memory, strips of rows in buffers of its own (pointers
// and handles by turns), files in BMP and TIFF. What comes over is reduced
// to rows top-down to be fingerprinted (dib_rows.h), so that every
// mechanism's page can be held to the page the simulator draws. And the
// server killed in the middle of a memory transfer.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>

#include "dib_rows.h"
#include "twain_client.h"

namespace {

// The progress indicator: a window of this thread titled `title`, and the
// text of its line (indicator_ids.h's IDC_INDICATOR_TEXT).
constexpr int kIndicatorText = 201;

BOOL CALLBACK TitledExactly(HWND window, LPARAM data)
{
  auto* search = reinterpret_cast<std::pair<const wchar_t*, HWND>*>(data);
  wchar_t text[128] = {};
  GetWindowTextW(window, text, 128);
  if (std::wcscmp(text, search->first) != 0) return TRUE;
  search->second = window;
  return FALSE;
}

HWND IndicatorTitled(const wchar_t* title)
{
  std::pair<const wchar_t*, HWND> search = {title, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), TitledExactly, reinterpret_cast<LPARAM>(&search));
  return search.second;
}

// Every window's title, for a failure's detail.
BOOL CALLBACK AddTitle(HWND window, LPARAM data)
{
  wchar_t text[128] = {};
  GetWindowTextW(window, text, 128);
  *reinterpret_cast<std::wstring*>(data) += std::wstring(text) + L"; ";
  return TRUE;
}

std::wstring LineOf(HWND indicator)
{
  wchar_t text[256] = {};
  GetDlgItemTextW(indicator, kIndicatorText, text, 256);
  return text;
}

void ClickCancel(HWND indicator)
{
  SendMessageW(indicator, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(indicator, IDCANCEL)));
}

bool StillStored(const char* job)
{
  const std::vector<std::string> jobs = StoredJobs();
  return std::find(jobs.begin(), jobs.end(), job) != jobs.end();
}

std::vector<unsigned char> FileBytes(const std::string& name)
{
  std::ifstream in(name, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

uint32_t At32(const std::vector<unsigned char>& bytes, size_t at)
{
  uint32_t value = 0;
  if (at + 4 <= bytes.size()) std::memcpy(&value, &bytes[at], 4);
  return value;
}

uint16_t At16(const std::vector<unsigned char>& bytes, size_t at)
{
  uint16_t value = 0;
  if (at + 2 <= bytes.size()) std::memcpy(&value, &bytes[at], 2);
  return value;
}

// A BMP file's rows.
std::vector<unsigned char> BmpRows(const std::vector<unsigned char>& file, Size& size)
{
  if (file.size() < 54 || file[0] != 'B' || file[1] != 'M') return {};
  BITMAPINFOHEADER header;
  std::memcpy(&header, &file[14], sizeof header);
  size = {header.biWidth, std::labs(header.biHeight)};
  return DibRows(header, file.data() + At32(file, 10));
}

// The rows of the page of an uncompressed TIFF of one strip a page whose
// directory lies at `directory`, as the scanner and the source write one:
// its strip is the rows as they are. `next` gets where the next page's
// directory lies (0: none).
std::vector<unsigned char> TiffPage(const std::vector<unsigned char>& file, size_t directory,
                                    Size& size, size_t& next)
{
  next = 0;
  if (directory == 0 || directory + 2 > file.size()) return {};
  next = At32(file, directory + 2 + 12 * static_cast<size_t>(At16(file, directory)));
  uint32_t offset = 0, bytes = 0, compression = 0;
  for (size_t i = 0; i < At16(file, directory); ++i) {
    const size_t entry = directory + 2 + 12 * i;
    const uint16_t tag = At16(file, entry);
    const uint32_t value =
        At16(file, entry + 2) == 3 ? At16(file, entry + 8) : At32(file, entry + 8);
    if (tag == 256) size.width = static_cast<long>(value);
    if (tag == 257) size.length = static_cast<long>(value);
    if (tag == 259) compression = value;
    if (tag == 273) offset = value;
    if (tag == 279) bytes = value;
  }
  if (compression != 1 || offset == 0 || offset + static_cast<size_t>(bytes) > file.size())
    return {};
  return std::vector<unsigned char>(file.begin() + offset, file.begin() + offset + bytes);
}

std::vector<unsigned char> TiffRows(const std::vector<unsigned char>& file, Size& size)
{
  if (file.size() < 8 || file[0] != 'I' || file[1] != 'I' || At16(file, 2) != 42) return {};
  size_t next = 0;
  return TiffPage(file, At32(file, 4), size, next);
}

// A JPEG file's size, from its frame header; zero when it is no JPEG.
Size JpegSize(const std::vector<unsigned char>& file)
{
  if (file.size() < 4 || file[0] != 0xFF || file[1] != 0xD8) return {};
  for (size_t at = 2; at + 9 <= file.size() && file[at] == 0xFF;) {
    const unsigned marker = file[at + 1];
    if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2)
      return {file[at + 7] << 8 | file[at + 8], file[at + 5] << 8 | file[at + 6]};
    at += 2 + (file[at + 2] << 8 | file[at + 3]);
  }
  return {};
}

std::string Native(TwainApp& twain, TW_UINT16& rc, Size& size)
{
  TW_HANDLE dib = nullptr;
  rc = twain.Source(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib);
  if (rc != TWRC_XFERDONE || dib == nullptr) return {};
  const auto* bytes = static_cast<const unsigned char*>(GlobalLock(dib));
  const auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(bytes);
  size = {header->biWidth, std::labs(header->biHeight)};
  std::string fingerprint;
  if (GlobalSize(dib) >= sizeof *header + PaletteBytes(*header) + header->biSizeImage)
    fingerprint = HashText(DibRows(*header, bytes + sizeof *header + PaletteBytes(*header)));
  GlobalUnlock(dib);
  GlobalFree(dib);
  return fingerprint;
}

std::string Memory(TwainApp& twain, TW_UINT16& rc, Size& came)
{
  TW_IMAGEINFO info = {};
  TW_SETUPMEMXFER setup = {};
  twain.Source(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
  twain.Source(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
  const size_t row = (static_cast<size_t>(info.ImageWidth) * info.BitsPerPixel + 7) / 8;
  if (setup.MinBufSize != row || row == 0) {
    Check(false, "twain-memory-setup-one-row",
          std::to_string(setup.MinBufSize) + " for rows of " + std::to_string(row));
    return {};
  }
  // Seven rows a strip: several strips a page, the last a short one.
  const size_t size = 7 * row;
  std::vector<unsigned char> rows(row * static_cast<size_t>(info.ImageLength));
  std::vector<unsigned char> own(size);
  HGLOBAL handle = GlobalAlloc(GHND, size);
  size_t done = 0;
  bool orderly = true;
  rc = TWRC_SUCCESS;
  for (int strip = 0; rc == TWRC_SUCCESS && strip < 100000; ++strip) {
    TW_IMAGEMEMXFER transfer = {};
    const bool byHandle = strip % 2 == 1;
    transfer.Memory.Flags = TWMF_APPOWNS | (byHandle ? TWMF_HANDLE : TWMF_POINTER);
    transfer.Memory.Length = static_cast<TW_UINT32>(size);
    transfer.Memory.TheMem = byHandle ? static_cast<TW_MEMREF>(handle) : own.data();
    rc = twain.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &transfer);
    if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE) break;
    orderly = orderly && transfer.BytesPerRow == row && transfer.YOffset * row == done &&
              transfer.Columns == static_cast<TW_UINT32>(info.ImageWidth) &&
              transfer.BytesWritten == transfer.Rows * row &&
              done + transfer.BytesWritten <= rows.size();
    if (!orderly) break;
    const unsigned char* from =
        byHandle ? static_cast<const unsigned char*>(GlobalLock(handle)) : own.data();
    std::memcpy(rows.data() + done, from, transfer.BytesWritten);
    if (byHandle) GlobalUnlock(handle);
    done += transfer.BytesWritten;
  }
  // Once the last rows came, another strip is out of sequence: the
  // application ends the page.
  if (rc == TWRC_XFERDONE) {
    TW_IMAGEMEMXFER after = {};
    after.Memory = {TWMF_APPOWNS | TWMF_POINTER, static_cast<TW_UINT32>(size), own.data()};
    const TW_UINT16 again = twain.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &after);
    orderly = orderly && twain.Answered(again, TWRC_FAILURE, TWCC_SEQERROR);
  }
  GlobalFree(handle);
  Check(orderly, "twain-memory-strips-in-order", "strip after " + std::to_string(done) + " bytes");
  if (rc != TWRC_XFERDONE || done != rows.size()) return {};
  came = {info.ImageWidth, static_cast<long>(done / row)};
  return HashText(rows);
}

std::string File(TwainApp& twain, TW_UINT16& rc, const std::string& name, TW_UINT16 format,
                 Size& size)
{
  TW_SETUPFILEXFER setup = {};
  std::strncpy(setup.FileName, name.c_str(), sizeof setup.FileName - 1);
  setup.Format = format;
  const TW_UINT16 set = twain.Source(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
  Check(set == TWRC_SUCCESS, "twain-file-setup", "rc " + std::to_string(set));
  DeleteFileA(name.c_str());
  rc = twain.Source(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
  const std::vector<unsigned char> file = FileBytes(name);
  DeleteFileA(name.c_str());
  if (rc != TWRC_XFERDONE) {
    // A failed transfer leaves no file.
    Check(file.empty(), "twain-failed-file-transfer-leaves-no-file", name);
    return {};
  }
  if (format == TWFF_JFIF) {
    size = JpegSize(file);
    return {};
  }
  const std::vector<unsigned char> rows =
      format == TWFF_TIFF ? TiffRows(file, size) : BmpRows(file, size);
  return rows.empty() ? std::string() : HashText(rows);
}

// A file's bytes in the application's buffers (pointers and handles by
// turns, 64 KiB each), in the format DAT_SETUPFILEXFER names; once the last
// came, another is refused as out of sequence.
std::string MemoryFile(TwainApp& twain, TW_UINT16& rc, TW_UINT16 format, Size& size)
{
  TW_SETUPFILEXFER setup = {};
  std::strncpy(setup.FileName, "unused", sizeof setup.FileName - 1);
  setup.Format = format;
  const TW_UINT16 set = twain.Source(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
  Check(set == TWRC_SUCCESS, "twain-memfile-setup", "rc " + std::to_string(set));
  constexpr size_t kBuffer = 64 << 10;
  std::vector<unsigned char> file, own(kBuffer);
  HGLOBAL handle = GlobalAlloc(GHND, kBuffer);
  bool orderly = true;
  rc = TWRC_SUCCESS;
  for (int strip = 0; rc == TWRC_SUCCESS && strip < 100000; ++strip) {
    TW_IMAGEMEMXFER transfer = {};
    const bool byHandle = strip % 2 == 1;
    transfer.Memory.Flags = TWMF_APPOWNS | (byHandle ? TWMF_HANDLE : TWMF_POINTER);
    transfer.Memory.Length = kBuffer;
    transfer.Memory.TheMem = byHandle ? static_cast<TW_MEMREF>(handle) : own.data();
    rc = twain.Source(DG_IMAGE, DAT_IMAGEMEMFILEXFER, MSG_GET, &transfer);
    if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE) break;
    orderly = orderly && transfer.BytesWritten > 0 && transfer.BytesWritten <= kBuffer &&
              transfer.Rows == TWON_DONTCARE32;
    if (!orderly) break;
    const unsigned char* from =
        byHandle ? static_cast<const unsigned char*>(GlobalLock(handle)) : own.data();
    file.insert(file.end(), from, from + transfer.BytesWritten);
    if (byHandle) GlobalUnlock(handle);
  }
  if (rc == TWRC_XFERDONE) {
    TW_IMAGEMEMXFER after = {};
    after.Memory = {TWMF_APPOWNS | TWMF_POINTER, static_cast<TW_UINT32>(kBuffer), own.data()};
    const TW_UINT16 again = twain.Source(DG_IMAGE, DAT_IMAGEMEMFILEXFER, MSG_GET, &after);
    orderly = orderly && twain.Answered(again, TWRC_FAILURE, TWCC_SEQERROR);
  }
  GlobalFree(handle);
  Check(orderly, "twain-memfile-strips-in-order", std::to_string(file.size()) + " bytes");
  if (rc != TWRC_XFERDONE) return {};
  if (format == TWFF_JFIF) {
    size = JpegSize(file);
    return {};
  }
  const std::vector<unsigned char> rows =
      format == TWFF_TIFF ? TiffRows(file, size) : BmpRows(file, size);
  return rows.empty() ? std::string() : HashText(rows);
}

}  // namespace

std::string TransferPage(TwainApp& twain, TW_UINT16 mechanism, TW_UINT16& rc,
                         const std::string& fileName, TW_UINT16 fileFormat, Size* size)
{
  Size came;
  if (size == nullptr) size = &came;
  *size = {};
  switch (mechanism) {
    case TWSX_NATIVE:
      return Native(twain, rc, *size);
    case TWSX_MEMORY:
      return Memory(twain, rc, *size);
    case TWSX_MEMFILE:
      return MemoryFile(twain, rc, fileFormat, *size);
    default:
      return File(twain, rc, fileName, fileFormat, *size);
  }
}

std::vector<std::pair<std::string, Size>> TiffPages(const std::string& name)
{
  const std::vector<unsigned char> file = FileBytes(name);
  std::vector<std::pair<std::string, Size>> pages;
  if (file.size() < 8 || file[0] != 'I' || file[1] != 'I' || At16(file, 2) != 42) return pages;
  for (size_t directory = At32(file, 4); directory != 0 && pages.size() < 1000;) {
    Size size;
    const std::vector<unsigned char> rows = TiffPage(file, directory, size, directory);
    pages.emplace_back(rows.empty() ? std::string() : HashText(rows), size);
  }
  return pages;
}

std::vector<unsigned char> FileOf(const std::string& name)
{
  return FileBytes(name);
}

Size JpegSizeOf(const std::vector<unsigned char>& file)
{
  return JpegSize(file);
}

std::string ScratchFile(const char* name)
{
  char folder[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, folder);
  return std::string(folder) + name;
}

int TransferAll(TwainApp& twain, TW_UINT16 mechanism, const std::string& how,
                const std::vector<std::string>& jobs)
{
  int pages = 0;
  for (TW_UINT16 count = 1; count > 0 && pages < 100; ++pages) {
    TW_IMAGELAYOUT layout = {};
    twain.Source(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout);
    const size_t job = layout.DocumentNumber;
    const std::string item = job >= 1 && job <= jobs.size() ? jobs[job - 1] : "?";
    // Files by turns in BMP and TIFF.
    const bool files = mechanism == TWSX_FILE || mechanism == TWSX_MEMFILE;
    const bool tiff = files && pages % 2 == 1;
    const std::string mode = !files ? how : how + (tiff ? "-tiff" : "-bmp");
    // What came over is the size the page was said to have.
    TW_IMAGEINFO info = {};
    twain.Source(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
    TW_UINT16 rc = 0;
    Size size;
    const std::string fingerprint =
        TransferPage(twain, mechanism, rc, ScratchFile(tiff ? "page.tif" : "page.bmp"),
                     tiff ? TWFF_TIFF : TWFF_BMP, &size);
    const Size said = {info.ImageWidth, info.ImageLength};
    Check(!fingerprint.empty() && size == said,
          "twain-" + mode + "-" + item + "-p" + std::to_string(layout.PageNumber),
          "rc " + std::to_string(rc) + " cc " + std::to_string(twain.Condition()) + ", " +
              std::to_string(size.width) + "x" + std::to_string(size.length) + " where " +
              std::to_string(said.width) + "x" + std::to_string(said.length) + " was said");
    std::printf("pixels %s %u %s %s\n", item.c_str(), static_cast<unsigned>(layout.PageNumber),
                mode.c_str(), fingerprint.empty() ? "none" : fingerprint.c_str());
    TW_PENDINGXFERS pending = {};
    twain.Source(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
    count = pending.Count;
  }
  std::fflush(stdout);
  return pages;
}

TW_UINT16 Enable(TwainApp& twain, bool showUI)
{
  TW_USERINTERFACE ui = {static_cast<TW_BOOL>(showUI ? TRUE : FALSE), FALSE, twain.window};
  return twain.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
}

TW_UINT16 Disable(TwainApp& twain)
{
  TW_USERINTERFACE ui = {FALSE, FALSE, twain.window};
  return twain.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
}

TW_UINT16 EndTransfer(TwainApp& twain, TW_UINT16 message)
{
  TW_PENDINGXFERS pending = {};
  pending.Count = 0xFFFF;
  const TW_UINT16 rc = twain.Source(DG_CONTROL, DAT_PENDINGXFERS, message, &pending);
  return rc == TWRC_SUCCESS ? pending.Count : 0xFFFF;
}

namespace {

int KillServers()
{
  int killed = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"stibridge.exe") != 0) continue;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
    if (process != nullptr && TerminateProcess(process, 1)) {
      WaitForSingleObject(process, 10000);
      ++killed;
    }
    if (process != nullptr) CloseHandle(process);
  }
  CloseHandle(snapshot);
  return killed;
}

}  // namespace

// The server killed in the middle of a memory transfer: the transfer
// fails, the source asks to be closed, and the application closes it
// without hanging.
void KilledServer(TwainApp& twain)
{
  const ULONGLONG started = GetTickCount64();
  const bool opened = twain.OpenSource();
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY);
  Enable(twain, false);
  twain.Await(10000);
  std::vector<unsigned char> buffer(400);
  TW_IMAGEMEMXFER strip = {};
  strip.Memory = {TWMF_APPOWNS | TWMF_POINTER, 400, buffer.data()};
  const TW_UINT16 first = twain.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip);
  const int killed = KillServers();
  TW_UINT16 rc = twain.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip);
  std::string detail;
  const bool failed = twain.Answered(rc, TWRC_FAILURE, TWCC_OPERATIONERROR, &detail);
  Check(opened && first == TWRC_SUCCESS && killed >= 1 && failed,
        "twain-killed-server-fails-the-transfer",
        detail + ", " + std::to_string(killed) + " servers killed");
  const TW_UINT16 message = twain.Await(10000);
  Check(message == MSG_CLOSEDSREQ, "twain-killed-server-asks-to-close",
        "message " + std::to_string(message));
  TW_CAPABILITY online = {CAP_DEVICEONLINE, TWON_DONTCARE16, nullptr};
  rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &online);
  TW_UINT32 value = 99;
  if (rc == TWRC_SUCCESS) {
    value = static_cast<TW_ONEVALUE*>(GlobalLock(online.hContainer))->Item & 0xFFFF;
    GlobalUnlock(online.hContainer);
    GlobalFree(online.hContainer);
  }
  Check(value == 0, "twain-killed-server-device-offline", std::to_string(value));
  const TW_UINT16 left = EndTransfer(twain);
  const TW_UINT16 disabled = Disable(twain);
  const bool closed = twain.CloseSource();
  const double seconds = (GetTickCount64() - started) / 1000.0;
  Check(left == 0 && disabled == TWRC_SUCCESS && closed && seconds < 30,
        "twain-killed-server-closes",
        std::to_string(left) + " left, closed " + std::to_string(closed) + " after " +
            std::to_string(seconds) + " s");
}

// The progress indicator (CAP_INDICATORS TRUE) in the application's
// language (German), in the middle of the application's window or of the
// screen, saying which job and page of how many; its Cancel between two
// pages and between two strips of one: TWRC_CANCEL, the source in state 7
// until MSG_ENDXFER ends every transfer, and the job, with the user's
// delete-after-scan on, still stored.
void IndicatorChecks(TwainApp& twain)
{
  SetDeleteOption(1);
  SetOne(twain, CAP_INDICATORS, TWTY_BOOL, TRUE);
  SetOne(twain, CAP_LANGUAGE, TWTY_UINT16, TWLG_GERMAN);
  const wchar_t* title = L"stibridge: \u00dcbertragung";
  struct Case {
    const char* name;
    TW_UINT16 mechanism;
  };
  for (const Case& each : {Case{"between-pages", TWSX_NATIVE}, Case{"between-strips", TWSX_MEMORY}}) {
    const std::string name = std::string("twain-indicator-cancel-") + each.name;
    SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, each.mechanism);
    NameJobs(twain, {L"multi.tif"});
    Enable(twain, false);
    const TW_UINT16 ready = twain.Await(10000);
    HWND indicator = IndicatorTitled(title);
    const std::wstring first = LineOf(indicator);
    // Where it stands, in the middle of the application's window (or,
    // hidden, of the screen's work area).
    RECT area = {}, own = {};
    if (IsWindowVisible(twain.window))
      GetWindowRect(twain.window, &area);
    else
      SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    if (indicator != nullptr) GetWindowRect(indicator, &own);
    std::wstring titles;
    if (indicator == nullptr)
      EnumThreadWindows(GetCurrentThreadId(), AddTitle, reinterpret_cast<LPARAM>(&titles));
    TW_UINT16 rc = 0;
    std::vector<unsigned char> buffer(400);
    TW_IMAGEMEMXFER strip = {};
    strip.Memory = {TWMF_APPOWNS | TWMF_POINTER, 400, buffer.data()};
    TW_UINT16 left = 0;
    if (each.mechanism == TWSX_NATIVE) {
      // The first page whole, then Cancel before the second.
      TransferPage(twain, TWSX_NATIVE, rc);
      left = EndTransfer(twain);
      Check(indicator != nullptr && LineOf(indicator) ==
                                        L"Auftrag 1 von 1, Seite 2 von 2: multi.tif",
            "twain-indicator-german-second-page", Narrow(LineOf(indicator).c_str()));
    } else {
      rc = twain.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip);
      left = rc == TWRC_SUCCESS ? 2 : 0;
    }
    if (indicator != nullptr) ClickCancel(indicator);
    TW_HANDLE dib = nullptr;
    const TW_UINT16 cancelled =
        each.mechanism == TWSX_NATIVE
            ? twain.Source(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib)
            : twain.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip);
    // State 7: the page is not to be had again, only ended.
    const TW_UINT16 again = twain.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip);
    const TW_UINT16 againCc = twain.Condition();
    const TW_UINT16 after = EndTransfer(twain);
    const bool gone = IndicatorTitled(title) == nullptr;
    Disable(twain);
    Check(ready == MSG_XFERREADY && left == 1 + (each.mechanism == TWSX_MEMORY) &&
              cancelled == TWRC_CANCEL && dib == nullptr && again == TWRC_FAILURE &&
              againCc == TWCC_SEQERROR && after == 0 && gone && StillStored("multi.tif"),
          name + "-and-keeps-the-job",
          "ready " + std::to_string(ready) + ", left " + std::to_string(left) + ", rc " +
              std::to_string(cancelled) + ", again " + std::to_string(again) + "/" +
              std::to_string(againCc) + ", after " + std::to_string(after) +
              (gone ? "" : ", indicator still there") +
              (StillStored("multi.tif") ? "" : ", job deleted"));
    if (each.mechanism != TWSX_NATIVE) continue;
    const long dx = (own.left + own.right) / 2 - (area.left + area.right) / 2;
    const long dy = (own.top + own.bottom) / 2 - (area.top + area.bottom) / 2;
    Check(first == L"Auftrag 1 von 1, Seite 1 von 2: multi.tif",
          "twain-indicator-german-job-and-page", Narrow((first + L" windows: " + titles).c_str()));
    Check(indicator != nullptr && std::labs(dx) <= 2 && std::labs(dy) <= 2,
          "twain-indicator-centred", std::to_string(dx) + "," + std::to_string(dy));
  }
  TW_CAPABILITY capability = {STIBRIDGE_CAP_JOBS, TWON_DONTCARE16, nullptr};
  twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &capability);
  GlobalFree(capability.hContainer);
  capability = {CAP_LANGUAGE, TWON_DONTCARE16, nullptr};
  twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &capability);
  GlobalFree(capability.hContainer);
  SetOne(twain, CAP_INDICATORS, TWTY_BOOL, FALSE);
  SetDeleteOption(0);
}

namespace {

// Answers the message boxes that come up on `thread` (a dialog titled
// "stibridge") for as long as `watching`: each one's text kept, then OK.
struct BoxAnswerer {
  DWORD thread = 0;
  volatile LONG watching = 1;
  std::vector<std::wstring> texts;
};

BOOL CALLBACK AnswerBox(HWND window, LPARAM data)
{
  auto* answerer = reinterpret_cast<BoxAnswerer*>(data);
  wchar_t title[64] = {}, kind[16] = {};
  GetWindowTextW(window, title, 64);
  GetClassNameW(window, kind, 16);
  if (std::wcscmp(title, L"stibridge") != 0 || std::wcscmp(kind, L"#32770") != 0 ||
      !IsWindowVisible(window))
    return TRUE;
  wchar_t text[1024] = {};
  GetDlgItemTextW(window, 0xFFFF, text, 1024);
  answerer->texts.push_back(text);
  PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  ShowWindow(window, SW_HIDE);
  return FALSE;
}

DWORD WINAPI AnswerBoxes(void* data)
{
  auto* answerer = static_cast<BoxAnswerer*>(data);
  while (answerer->watching != 0) {
    EnumThreadWindows(answerer->thread, AnswerBox, reinterpret_cast<LPARAM>(answerer));
    Sleep(50);
  }
  return 0;
}

}  // namespace

// A server stopped while the source is open: MSG_ENABLEDS with the
// source's window asked for shows the user a message that says so and
// what to try, over the application's window, and fails with the
// condition an application gets without it; with the window hidden, no
// message.
void StoppedServerMessage(TwainApp& twain)
{
  const bool opened = twain.OpenSource();
  const int killed = KillServers();
  BoxAnswerer answerer;
  answerer.thread = GetCurrentThreadId();
  HANDLE thread = CreateThread(nullptr, 0, AnswerBoxes, &answerer, 0, nullptr);
  std::string detail;
  TW_UINT16 rc = Enable(twain, true);
  const bool failed = twain.Answered(rc, TWRC_FAILURE, TWCC_OPERATIONERROR, &detail);
  const size_t shown = answerer.texts.size();
  rc = Enable(twain, false);
  const bool hiddenFailed = twain.Answered(rc, TWRC_FAILURE, TWCC_OPERATIONERROR, &detail);
  Sleep(300);
  InterlockedExchange(&answerer.watching, 0);
  WaitForSingleObject(thread, 5000);
  CloseHandle(thread);
  const std::wstring text = shown > 0 ? answerer.texts[0] : L"";
  Check(opened && killed >= 1 && failed && shown == 1 &&
            text.find(L"server") != std::wstring::npos &&
            text.find(L"\"stiscan doctor\"") != std::wstring::npos,
        "twain-stopped-server-shows-its-message-and-enableds-fails", detail + " " + Narrow(text.c_str()));
  Check(hiddenFailed && answerer.texts.size() == 1, "twain-stopped-server-no-message-without-window",
        detail + " " + std::to_string(answerer.texts.size()) + " messages");
  twain.Await(2000);
  twain.CloseSource();
}

// The TWAIN application of the tests (twain_client.h), 32-bit or 64-bit.
// Exit code: the number of failed checks.
//
// Usage: twain_client <part>
//   full    on a thread in a single-threaded apartment: the source from
//           state 1 to 7 and back, its operations refused in every state
//           where they do not belong, every capability, the frame, native,
//           memory and file transfers of every job, whole and cut to the
//           frame, cancelling, delete-after-scan, its window, and at the
//           end the server killed in the middle of a transfer
//   pixels  on a thread in a multithreaded apartment: every job by every
//           transfer, and nothing else (the runs under the driver's
//           conducts)
//   scan <folder>
//           the demo's TWAIN application: the sources the manager lists,
//           then every job the source offers the user, each page a BMP file
//           in <folder> (<job>-p<page>.bmp) by the source's file transfer
//   sweep   every capability by every message, every value set back, with
//           the scanner's settings at grey and US letter (its scenario)
//   bigpage an A3 colour page at 600 dpi by file transfer, whole and cut,
//           within the application's memory (its scenario)
//   window  the source's window following the scanner, with jobs whose
//           pictures cannot be had (its scenario)
//   window-empty
//           the source's window over an empty store, in English and German
//   window-columns
//           the source's window's column titles at the screen's resolution
//   managers the source opened through Wine's manager while another one is
//           loaded, and DAT_STATUS after a failed MSG_OPENDS
//   identify <path> <version>
//           the source installed at <path>, loaded as a manager that finds
//           it there loads it: it is a source of this bitness and says it
//           is stibridge of that version (the package's cases)
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <tuple>

#include "twain_client.h"

namespace {

struct Op {
  TW_UINT32 group;
  TW_UINT16 dat, message;
  const char* name;
};
constexpr TW_UINT32 C = DG_CONTROL, I = DG_IMAGE;

// What each state refuses as out of sequence.
const std::vector<Op> kRefusedIn3 = {
    {C, DAT_USERINTERFACE, MSG_ENABLEDS, "enableds"}, {C, DAT_IDENTITY, MSG_CLOSEDS, "closeds"},
    {C, DAT_CAPABILITY, MSG_GET, "capability-get"},   {C, DAT_PENDINGXFERS, MSG_ENDXFER, "endxfer"},
    {I, DAT_IMAGEINFO, MSG_GET, "imageinfo"},         {I, DAT_IMAGENATIVEXFER, MSG_GET, "native"},
    {C, DAT_EVENT, MSG_PROCESSEVENT, "processevent"}};
const std::vector<Op> kRefusedIn4 = {{C, DAT_USERINTERFACE, MSG_DISABLEDS, "disableds"},
                                     {C, DAT_PENDINGXFERS, MSG_ENDXFER, "endxfer"},
                                     {C, DAT_PENDINGXFERS, MSG_RESET, "pending-reset"},
                                     {C, DAT_EVENT, MSG_PROCESSEVENT, "processevent"},
                                     {I, DAT_IMAGEINFO, MSG_GET, "imageinfo"},
                                     {I, DAT_IMAGENATIVEXFER, MSG_GET, "native"},
                                     {I, DAT_IMAGEMEMXFER, MSG_GET, "memory"},
                                     {I, DAT_IMAGEFILEXFER, MSG_GET, "file"},
                                     {I, DAT_IMAGEMEMFILEXFER, MSG_GET, "memfile"},
                                     {I, DAT_EXTIMAGEINFO, MSG_GET, "extimageinfo"},
                                     {C, DAT_XFERGROUP, MSG_SET, "xfergroup-set"}};
const std::vector<Op> kRefusedIn5 = {{C, DAT_USERINTERFACE, MSG_ENABLEDS, "enableds"},
                                     {C, DAT_IDENTITY, MSG_CLOSEDS, "closeds"},
                                     {C, DAT_CAPABILITY, MSG_SET, "capability-set"},
                                     {C, DAT_CAPABILITY, MSG_RESET, "capability-reset"},
                                     {C, DAT_PENDINGXFERS, MSG_ENDXFER, "endxfer"},
                                     {C, DAT_PENDINGXFERS, MSG_RESET, "pending-reset"},
                                     {I, DAT_IMAGEINFO, MSG_GET, "imageinfo"},
                                     {I, DAT_IMAGELAYOUT, MSG_SET, "layout-set"},
                                     {C, DAT_SETUPFILEXFER, MSG_RESET, "setupfile-reset"},
                                     {I, DAT_IMAGENATIVEXFER, MSG_GET, "native"},
                                     {C, DAT_ENTRYPOINT, MSG_SET, "entrypoint"}};
const std::vector<Op> kRefusedIn6 = {{C, DAT_USERINTERFACE, MSG_ENABLEDS, "enableds"},
                                     {C, DAT_USERINTERFACE, MSG_DISABLEDS, "disableds"},
                                     {C, DAT_IDENTITY, MSG_CLOSEDS, "closeds"},
                                     {C, DAT_CAPABILITY, MSG_SET, "capability-set"},
                                     {C, DAT_CAPABILITY, MSG_RESETALL, "capability-resetall"},
                                     {I, DAT_IMAGELAYOUT, MSG_SET, "layout-set"},
                                     {C, DAT_SETUPFILEXFER, MSG_RESET, "setupfile-reset"},
                                     {C, DAT_ENTRYPOINT, MSG_SET, "entrypoint"}};
const std::vector<Op> kRefusedIn7 = {{C, DAT_USERINTERFACE, MSG_DISABLEDS, "disableds"},
                                     {C, DAT_PENDINGXFERS, MSG_RESET, "pending-reset"},
                                     {I, DAT_IMAGENATIVEXFER, MSG_GET, "native"},
                                     {I, DAT_IMAGEFILEXFER, MSG_GET, "file"},
                                     {C, DAT_SETUPMEMXFER, MSG_GET, "setupmem"},
                                     {C, DAT_SETUPFILEXFER, MSG_SET, "setupfile-set"},
                                     {C, DAT_XFERGROUP, MSG_GET, "xfergroup-get"},
                                     {C, DAT_CAPABILITY, MSG_SET, "capability-set"},
                                     {C, DAT_IDENTITY, MSG_CLOSEDS, "closeds"},
                                     {I, DAT_IMAGELAYOUT, MSG_GET, "layout-get"}};

// Room for any operation's data, zeroed before each: what the source
// answers must come from its state, not from the data.
alignas(8) unsigned char scratch[8192];

// The jobs of the session scenario that the user may take, in the
// scanner's order.
const std::vector<std::string> kJobs = {"multi.tif", "grey.bmp", "mine.tif", "users.tif",
                                        "logo.gif"};

void Refused(TwainApp& twain, int state, const std::vector<Op>& ops)
{
  for (const Op& op : ops) {
    std::memset(scratch, 0, sizeof scratch);
    // Straight to the source: Wine's manager forgets a source whose
    // MSG_CLOSEDS failed.
    const TW_UINT16 rc = twain.Direct(op.group, op.dat, op.message, scratch);
    std::string detail = "rc " + std::to_string(rc);
    const bool refused =
        state == 3 ? rc == TWRC_FAILURE : twain.Answered(rc, TWRC_FAILURE, TWCC_SEQERROR, &detail);
    Check(refused, "twain-state" + std::to_string(state) + "-refuses-" + op.name, detail);
  }
  // The condition is to be had in every state: a manager asks for it when
  // MSG_OPENDS failed.
  if (state == 3) {
    TW_STATUS status = {};
    status.ConditionCode = 0xFFFF;
    const TW_UINT16 rc = twain.Direct(C, DAT_STATUS, MSG_GET, &status);
    Check(rc == TWRC_SUCCESS && status.ConditionCode != 0xFFFF, "twain-state3-status-answers",
          "rc " + std::to_string(rc));
  }
}

bool Stored(const char* job)
{
  const std::vector<std::string> jobs = StoredJobs();
  return std::find(jobs.begin(), jobs.end(), job) != jobs.end();
}

void Identity(TwainApp& twain)
{
  TW_IDENTITY identity = {};
  identity.Id = 77;
  const TW_UINT16 rc = twain.Direct(DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity);
  Check(rc == TWRC_SUCCESS && identity.Id == 77 &&
            std::strcmp(identity.ProductName, "stibridge") == 0 && identity.ProtocolMajor == 2 &&
            (identity.SupportedGroups & (DG_IMAGE | DF_DS2)) == (DG_IMAGE | DF_DS2),
        "twain-identity",
        std::string(identity.ProductName) + " protocol " + std::to_string(identity.ProtocolMajor));
}

// Another thread of the application's, which sends its window a message
// once `go` is set.
struct Sender {
  HANDLE go;
  HWND window;
};

DWORD WINAPI SendReenter(void* data)
{
  auto* sender = static_cast<Sender*>(data);
  WaitForSingleObject(sender->go, INFINITE);
  SendMessageW(sender->window, TwainApp::kReenter, 0, 0);
  return 0;
}

// State 4: what a source that is open answers, bad input included.
void OpenChecks(TwainApp& twain)
{
  Refused(twain, 4, kRefusedIn4);
  std::string detail;
  for (const Op& op : std::vector<Op>{{I, DAT_PALETTE8, MSG_GET, "palette8"},
                                      {I, DAT_JPEGCOMPRESSION, MSG_GET, "jpegcompression"},
                                      {C, 0x7777, MSG_GET, "unknown-dat"},
                                      {C, DAT_CAPABILITY, 0x0009, "capability-gethelp"}}) {
    std::memset(scratch, 0, sizeof scratch);
    const TW_UINT16 rc = twain.Source(op.group, op.dat, op.message, scratch);
    twain.Expect(rc, TWRC_FAILURE, TWCC_BADPROTOCOL, std::string("twain-badprotocol-") + op.name);
  }
  // The condition is the last operation's, until it is read.
  twain.Source(I, DAT_PALETTE8, MSG_GET, scratch);
  Check(twain.Condition() == TWCC_BADPROTOCOL && twain.Condition() == TWCC_SUCCESS,
        "twain-status-read-once");
  for (const Op& op : std::vector<Op>{{C, DAT_USERINTERFACE, MSG_ENABLEDS, "enableds"},
                                      {I, DAT_IMAGELAYOUT, MSG_GET, "layout-get"},
                                      {C, DAT_SETUPMEMXFER, MSG_GET, "setupmem"},
                                      {C, DAT_SETUPFILEXFER, MSG_GET, "setupfile"},
                                      {C, DAT_PENDINGXFERS, MSG_GET, "pending-get"},
                                      {C, DAT_XFERGROUP, MSG_GET, "xfergroup"}}) {
    const TW_UINT16 rc = twain.Source(op.group, op.dat, op.message, nullptr);
    twain.Expect(rc, TWRC_FAILURE, TWCC_BADVALUE, std::string("twain-null-data-") + op.name);
  }
  // The application calls the source again while the source waits for the
  // server (a message sent from another thread is handled in any wait of
  // the thread's): refused as out of sequence, and the source stays in
  // state 4 (MSG_DISABLEDS is out of sequence there).
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Sender sender = {go, twain.window};
  HANDLE thread = CreateThread(nullptr, 0, SendReenter, &sender, 0, nullptr);
  twain.reentry.armed = true;
  SetEvent(go);
  TW_CAPABILITY jobs = {STIBRIDGE_CAP_JOBS, TWON_DONTCARE16, nullptr};
  TW_UINT16 rc = twain.Source(C, DAT_CAPABILITY, MSG_GET, &jobs);
  twain.reentry.armed = false;
  GlobalFree(jobs.hContainer);
  while (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) twain.Await(50);
  CloseHandle(thread);
  CloseHandle(go);
  TW_USERINTERFACE ui = {FALSE, FALSE, twain.window};
  const TW_UINT16 disable = twain.Source(C, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
  Check(rc == TWRC_SUCCESS && twain.reentry.during == 1 && twain.reentry.enable == TWRC_FAILURE &&
            twain.reentry.condition == TWCC_SEQERROR && disable == TWRC_FAILURE,
        "twain-reentered-while-waiting-refused",
        std::to_string(twain.reentry.during) + " of " + std::to_string(twain.reentry.calls) +
            " calls while waiting, rc " + std::to_string(twain.reentry.enable) + " cc " +
            std::to_string(twain.reentry.condition));
  // A second application: the source takes one.
  TW_IDENTITY second = twain.source;
  rc = twain.Direct(C, DAT_IDENTITY, MSG_OPENDS, &second);
  twain.Expect(rc, TWRC_FAILURE, TWCC_MAXCONNECTIONS, "twain-one-application");

  TW_SETUPMEMXFER memory = {};
  rc = twain.Source(C, DAT_SETUPMEMXFER, MSG_GET, &memory);
  Check(rc == TWRC_SUCCESS && memory.MinBufSize > 0 && memory.Preferred >= memory.MinBufSize &&
            memory.MaxBufSize == TWON_DONTCARE32,
        "twain-setupmem",
        std::to_string(memory.MinBufSize) + "/" + std::to_string(memory.Preferred));
  TW_UINT32 group = 0;
  rc = twain.Source(C, DAT_XFERGROUP, MSG_GET, &group);
  Check(rc == TWRC_SUCCESS && group == DG_IMAGE, "twain-xfergroup", std::to_string(group));

  // The file of a file transfer: its default, a folder that is not there,
  // a name no file can have, a format there is not.
  TW_SETUPFILEXFER file = {};
  rc = twain.Source(C, DAT_SETUPFILEXFER, MSG_GETDEFAULT, &file);
  Check(
      rc == TWRC_SUCCESS && std::strcmp(file.FileName, "TWAIN.TMP") == 0 && file.Format == TWFF_BMP,
      "twain-setupfile-default", file.FileName);
  const std::string good = ScratchFile("good.tif");
  for (const auto& [name, format, why] :
       std::vector<std::tuple<std::string, TW_UINT16, const char*>>{
           {"Z:\\no\\such\\folder\\page.bmp", TWFF_BMP, "missing-folder"},
           {ScratchFile("bad|name.bmp"), TWFF_BMP, "bad-character"},
           {ScratchFile(""), TWFF_BMP, "a-folder"},
           {good, 99, "unknown-format"}}) {
    file = {};
    std::strncpy(file.FileName, name.c_str(), sizeof file.FileName - 1);
    file.Format = format;
    rc = twain.Source(C, DAT_SETUPFILEXFER, MSG_SET, &file);
    const bool refused = twain.Answered(rc, TWRC_FAILURE, TWCC_BADVALUE, &detail);
    TW_SETUPFILEXFER now = {};
    twain.Source(C, DAT_SETUPFILEXFER, MSG_GET, &now);
    Check(refused && std::strcmp(now.FileName, "TWAIN.TMP") == 0,
          std::string("twain-setupfile-refuses-") + why, detail);
  }
  file = {};
  std::strncpy(file.FileName, good.c_str(), sizeof file.FileName - 1);
  file.Format = TWFF_TIFF;
  rc = twain.Source(C, DAT_SETUPFILEXFER, MSG_SET, &file);
  TW_SETUPFILEXFER now = {};
  twain.Source(C, DAT_SETUPFILEXFER, MSG_GET, &now);
  const TW_UINT16 reset = twain.Source(C, DAT_SETUPFILEXFER, MSG_RESET, &file);
  Check(rc == TWRC_SUCCESS && good == now.FileName && now.Format == TWFF_TIFF &&
            reset == TWRC_SUCCESS && std::strcmp(file.FileName, "TWAIN.TMP") == 0,
        "twain-setupfile-set-and-reset", now.FileName);
  // Multi-page TIFF, which the source writes itself a page at a time.
  file = {};
  std::strncpy(file.FileName, good.c_str(), sizeof file.FileName - 1);
  file.Format = TWFF_TIFFMULTI;
  rc = twain.Source(C, DAT_SETUPFILEXFER, MSG_SET, &file);
  twain.Source(C, DAT_SETUPFILEXFER, MSG_RESET, &file);
  Check(rc == TWRC_SUCCESS, "twain-setupfile-takes-multipage-tiff", std::to_string(rc));

  LayoutChecks(twain);
}

// One cycle of states 4 to 7 and back by one mechanism, every job.
void Cycle(TwainApp& twain, TW_UINT16 mechanism, const std::string& how, bool refusals)
{
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, mechanism);
  TW_UINT16 rc = Enable(twain, false);
  const TW_UINT16 message = twain.Await(10000);
  Check(rc == TWRC_SUCCESS && message == MSG_XFERREADY, "twain-" + how + "-xferready",
        "rc " + std::to_string(rc) + " message " + std::to_string(message));
  if (message != MSG_XFERREADY) return;
  TW_PENDINGXFERS pending = {};
  twain.Source(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending);
  Check(pending.Count == 6, "twain-" + how + "-pending-every-page", std::to_string(pending.Count));
  if (refusals) Refused(twain, 6, kRefusedIn6);
  const int pages = TransferAll(twain, mechanism, how, kJobs);
  Check(pages == 6, "twain-" + how + "-every-page", std::to_string(pages) + " pages");
  if (refusals) Refused(twain, 5, kRefusedIn5);
  rc = Disable(twain);
  Check(rc == TWRC_SUCCESS, "twain-" + how + "-disableds", std::to_string(rc));
}

// A manager's entry point (DAT_ENTRYPOINT, which Wine's manager never
// sends): the source's messages go through its DSM_Entry, and what the
// source hands out comes from its memory functions. These forward to Wine's
// manager and to global memory, and count.
// It can also refuse every message (as a manager that cannot reach the
// application would), or, as a TWAIN 2 manager that calls the application
// back at once, let the application ask the source for the page's
// description from inside the callback.
struct EntryCounts {
  DSMENTRYPROC manager = nullptr;
  int readyMessages = 0, allocations = 0;
  bool refuse = false;
  TwainApp* callingBack = nullptr;
  TW_UINT16 infoRc = 0xFFFF, infoCc = 0xFFFF;
  TW_IMAGEINFO info = {};
} entryCounts;

TW_UINT16 PASCAL CountingEntry(pTW_IDENTITY origin, pTW_IDENTITY destination, TW_UINT32 group,
                               TW_UINT16 dat, TW_UINT16 message, TW_MEMREF data)
{
  if (dat == DAT_NULL && message == MSG_XFERREADY) ++entryCounts.readyMessages;
  if (dat == DAT_NULL && entryCounts.refuse) return TWRC_FAILURE;
  if (dat == DAT_NULL && message == MSG_XFERREADY && entryCounts.callingBack != nullptr) {
    TwainApp& twain = *entryCounts.callingBack;
    entryCounts.infoRc = twain.Direct(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &entryCounts.info);
    entryCounts.infoCc = twain.Condition();
  }
  return entryCounts.manager(origin, destination, group, dat, message, data);
}

TW_HANDLE PASCAL CountingAllocate(TW_UINT32 size)
{
  ++entryCounts.allocations;
  return GlobalAlloc(GHND, size);
}

void PASCAL GlobalMemoryFree(TW_HANDLE handle)
{
  GlobalFree(handle);
}

TW_MEMREF PASCAL GlobalMemoryLock(TW_HANDLE handle)
{
  return GlobalLock(handle);
}

void PASCAL GlobalMemoryUnlock(TW_HANDLE handle)
{
  GlobalUnlock(handle);
}

// The memory cycle with the source given an entry point.
void EntryPoint(TwainApp& twain)
{
  entryCounts.manager = reinterpret_cast<DSMENTRYPROC>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"twain_32.dll"), "DSM_Entry")));
  TW_ENTRYPOINT entry = {sizeof entry,     CountingEntry,    CountingAllocate,
                         GlobalMemoryFree, GlobalMemoryLock, GlobalMemoryUnlock};
  TW_ENTRYPOINT shortEntry = entry;
  shortEntry.Size = 4;
  twain.Expect(twain.Direct(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &shortEntry), TWRC_FAILURE,
               TWCC_BADVALUE, "twain-entrypoint-short-refused");
  const TW_UINT16 rc = twain.Direct(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &entry);
  TW_CAPABILITY count = {CAP_XFERCOUNT, TWON_DONTCARE16, nullptr};
  twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &count);
  GlobalFree(count.hContainer);
  Cycle(twain, TWSX_MEMORY, "memory", false);
  Check(rc == TWRC_SUCCESS && entryCounts.readyMessages == 1 && entryCounts.allocations > 0,
        "twain-entrypoint-used",
        "rc " + std::to_string(rc) + ", " + std::to_string(entryCounts.readyMessages) +
            " MSG_XFERREADY, " + std::to_string(entryCounts.allocations) + " allocations");
}

// The source's messages through the entry point of a manager that refuses
// them: MSG_ENABLEDS fails and the source is open, not waiting to be asked
// for a transfer nobody heard of. Then through one that calls the
// application back at once: the application may ask the source from
// inside its callback.
void Notices(TwainApp& twain)
{
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE);
  entryCounts.refuse = true;
  TW_UINT16 rc = Enable(twain, false);
  std::string detail;
  const bool failed = twain.Answered(rc, TWRC_FAILURE, TWCC_OPERATIONERROR, &detail);
  entryCounts.refuse = false;
  const TW_UINT16 message = twain.Await(500);
  const TW_UINT16 disable = Disable(twain);
  const TW_UINT16 seq = twain.Condition();
  Check(failed && message == MSG_NULL && disable == TWRC_FAILURE && seq == TWCC_SEQERROR,
        "twain-notice-refused-enable-fails",
        detail + ", message " + std::to_string(message) + ", then disable rc " +
            std::to_string(disable) + " cc " + std::to_string(seq));
  entryCounts.callingBack = &twain;
  rc = Enable(twain, false);
  entryCounts.callingBack = nullptr;
  const TW_UINT16 ready = twain.Await(10000);
  EndTransfer(twain, MSG_RESET);
  Disable(twain);
  Check(rc == TWRC_SUCCESS && ready == MSG_XFERREADY && entryCounts.infoRc == TWRC_SUCCESS &&
            entryCounts.infoCc == TWCC_SUCCESS && entryCounts.info.ImageWidth > 0,
        "twain-callback-imageinfo",
        "rc " + std::to_string(rc) + ", in the callback rc " + std::to_string(entryCounts.infoRc) +
            " cc " + std::to_string(entryCounts.infoCc));
}

// Cancelling: the rest of a page (MSG_ENDXFER in state 7), the rest of the
// transfers (MSG_RESET), and CAP_XFERCOUNT.
void Cancelling(TwainApp& twain)
{
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY);
  Enable(twain, false);
  twain.Await(10000);
  std::vector<unsigned char> buffer(64 << 10);
  TW_IMAGEMEMXFER strip = {};
  strip.Memory = {TWMF_APPOWNS | TWMF_POINTER, 1, buffer.data()};
  TW_UINT16 rc = twain.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip);
  std::string detail;
  twain.Expect(rc, TWRC_FAILURE, TWCC_BADVALUE, "twain-memory-buffer-below-a-row");
  // A handle that holds less than its length claims.
  HGLOBAL small = GlobalAlloc(GHND, 200);
  strip.Memory = {TWMF_APPOWNS | TWMF_HANDLE, 400, small};
  rc = twain.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip);
  GlobalFree(small);
  twain.Expect(rc, TWRC_FAILURE, TWCC_BADVALUE, "twain-memory-handle-smaller-than-its-length");
  strip.Memory = {TWMF_APPOWNS | TWMF_POINTER, 400, buffer.data()};
  rc = twain.Source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip);
  Check(rc == TWRC_SUCCESS && strip.Rows == 1, "twain-memory-first-strip",
        "rc " + std::to_string(rc) + " rows " + std::to_string(strip.Rows));
  Refused(twain, 7, kRefusedIn7);
  const TW_UINT16 left = EndTransfer(twain);
  const TW_UINT16 none = EndTransfer(twain, MSG_RESET);
  const TW_UINT16 after = EndTransfer(twain);
  Check(left == 5 && none == 0 && after == 0xFFFF && twain.Condition() == TWCC_SEQERROR,
        "twain-reset-ends-every-transfer",
        std::to_string(left) + " then " + std::to_string(none) + " then " + std::to_string(after));
  Disable(twain);

  SetOne(twain, CAP_XFERCOUNT, TWTY_INT16, 2);
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE);
  Enable(twain, false);
  twain.Await(10000);
  TW_PENDINGXFERS pending = {};
  twain.Source(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending);
  const int pages = TransferAll(twain, TWSX_NATIVE, "native", kJobs);
  Check(pending.Count == 2 && pages == 2, "twain-xfercount-two",
        std::to_string(pending.Count) + " pending, " + std::to_string(pages) + " pages");
  Disable(twain);
  SetOne(twain, CAP_XFERCOUNT, TWTY_INT16, 0xFFFF);
}

// Every job cut to the frame by each transfer: what comes is the frame's
// part of each page (twain_parts.py holds it to the simulator's), of the size
// DAT_IMAGEINFO gave.
void Cut(TwainApp& twain)
{
  const TW_UINT16 rc = SetLayout(twain, kFrame);
  Check(rc == TWRC_SUCCESS, "twain-crop-frame-set", std::to_string(rc));
  Cycle(twain, TWSX_NATIVE, "crop-native", false);
  Cycle(twain, TWSX_MEMORY, "crop-memory", false);
  Cycle(twain, TWSX_FILE, "crop-file", false);
  Cycle(twain, TWSX_MEMFILE, "crop-memfile", false);
  TW_IMAGELAYOUT layout = {};
  twain.Source(DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, &layout);
}

// Delete-after-scan: a job goes when the application ended its last page,
// and not when its transfers were reset, one of them failed or a page came
// cut to a frame.
void DeleteAfterScan(TwainApp& twain)
{
  SetDeleteOption(1);
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_FILE);
  const std::string name = ScratchFile("delete.bmp");

  NameJobs(twain, {L"multi.tif"});
  Enable(twain, false);
  twain.Await(10000);
  TW_UINT16 rc = 0;
  TransferPage(twain, TWSX_FILE, rc, name);
  EndTransfer(twain);
  EndTransfer(twain, MSG_RESET);
  Disable(twain);
  Check(Stored("multi.tif"), "twain-delete-not-after-reset");

  // By memory transfer, each page asked for once more after its last rows
  // (out of sequence, which leaves the page whole).
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY);
  NameJobs(twain, {L"multi.tif"});
  Enable(twain, false);
  twain.Await(10000);
  TransferPage(twain, TWSX_MEMORY, rc);
  EndTransfer(twain);
  TransferPage(twain, TWSX_MEMORY, rc);
  const bool keptUntilEnded = rc == TWRC_XFERDONE && Stored("multi.tif");
  EndTransfer(twain);
  Disable(twain);
  Check(keptUntilEnded && !Stored("multi.tif"), "twain-delete-after-last-endxfer",
        "rc " + std::to_string(rc));
  // A file that cannot be written (its folder gone since it was named):
  // the transfer fails, and the job stays.
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_FILE);
  NameJobs(twain, {L"users.tif"});
  Enable(twain, false);
  twain.Await(10000);
  const std::string gone = ScratchFile("gone");
  CreateDirectoryA(gone.c_str(), nullptr);
  TW_SETUPFILEXFER setup = {};
  std::strncpy(setup.FileName, (gone + "\\page.bmp").c_str(), sizeof setup.FileName - 1);
  setup.Format = TWFF_BMP;
  twain.Source(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
  RemoveDirectoryA(gone.c_str());
  rc = twain.Source(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
  std::string detail;
  const bool failed = twain.Answered(rc, TWRC_FAILURE, TWCC_FILEWRITEERROR, &detail);
  const TW_UINT16 left = EndTransfer(twain);
  Check(failed && left == 0 && Stored("users.tif"), "twain-delete-not-after-failed-transfer",
        detail + ", " + std::to_string(left) + " left");
  Disable(twain);

  // A page cut to the frame (columns 12 to 66 and rows 8 to 47 of the 67 x
  // 48 at 400 dpi) leaves the rest of its job unseen: the job stays. The
  // source writes the file itself, here a JPEG (black and white as grey).
  SetLayout(twain, kFrame);
  NameJobs(twain, {L"mine.tif"});
  Enable(twain, false);
  twain.Await(10000);
  Size size;
  TransferPage(twain, TWSX_FILE, rc, ScratchFile("cut.jpg"), TWFF_JFIF, &size);
  const TW_UINT16 cutLeft = EndTransfer(twain);
  Disable(twain);
  Check(rc == TWRC_XFERDONE && size == Size{55, 40} && cutLeft == 0 && Stored("mine.tif"),
        "twain-delete-not-after-cut-page",
        "rc " + std::to_string(rc) + ", " + std::to_string(size.width) + "x" +
            std::to_string(size.length) + ", " + std::to_string(cutLeft) + " left");
  // A frame that takes nothing of the page: neither its description nor its
  // transfer is to be had, and the job stays.
  SetLayout(twain, Inches(0.5, 0, 0.6, 0.1));
  NameJobs(twain, {L"users.tif"});
  Enable(twain, false);
  twain.Await(10000);
  TW_IMAGEINFO info = {};
  rc = twain.Source(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
  bool refused = twain.Answered(rc, TWRC_FAILURE, TWCC_BADVALUE, &detail);
  TransferPage(twain, TWSX_FILE, rc, name);
  refused = refused && twain.Answered(rc, TWRC_FAILURE, TWCC_BADVALUE, &detail);
  const TW_UINT16 outsideLeft = EndTransfer(twain);
  Disable(twain);
  Check(refused && outsideLeft == 0 && Stored("users.tif"), "twain-frame-outside-page-refused",
        detail + ", " + std::to_string(outsideLeft) + " left");
  TW_IMAGELAYOUT layout = {};
  twain.Source(DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, &layout);
  TW_CAPABILITY capability = {STIBRIDGE_CAP_JOBS, TWON_DONTCARE16, nullptr};
  twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &capability);
  GlobalFree(capability.hContainer);
  SetDeleteOption(0);
}

// Who the source opens the scanner as: the e2e scenario's user, on the Lab
// MFP or the scanner named.
void Profile(const wchar_t* scanner = L"Lab MFP")
{
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\stibridge\\TWAIN", 0, nullptr, 0, KEY_ALL_ACCESS,
                  nullptr, &key, nullptr);
  for (const auto& [name, value] :
       std::vector<std::pair<const wchar_t*, const wchar_t*>>{{L"Scanner", scanner},
                                                              {L"Profile", L"anna"},
                                                              {L"Qualifier", L"LAB"},
                                                              {L"Store", L"ann"}})
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>((std::wcslen(value) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void Full()
{
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Profile();
  SetDeleteOption(0);
  TwainApp twain;
  if (!twain.Load()) {
    Check(false, "twain-manager-loaded", "twain_32.dll, its DSM_Entry or the source not loaded");
    return;
  }
  StoreOpen();
  Identity(twain);
  Refused(twain, 3, kRefusedIn3);
  Check(twain.OpenManager(), "twain-open-manager");
  Check(twain.OpenSource(), "twain-open-source");
  OpenChecks(twain);
  OtherThreadChecks(twain);
  CapabilityChecks(twain);
  Sweep(twain, "default");
  SetOne(twain, CAP_INDICATORS, TWTY_BOOL, FALSE);
  UnitsAgree(twain);
  Feeder(twain);
  FileFormats(twain);
  Cycle(twain, TWSX_NATIVE, "native", true);
  EntryPoint(twain);
  Notices(twain);
  Cycle(twain, TWSX_FILE, "file", false);
  Cycle(twain, TWSX_MEMFILE, "memfile", false);
  Cut(twain);
  Cancelling(twain);
  IndicatorChecks(twain);
  DeleteAfterScan(twain);
  SetOne(twain, CAP_INDICATORS, TWTY_BOOL, TRUE);
  Window(twain);
  Check(twain.CloseSource(), "twain-close-source");
  Refused(twain, 3, {{C, DAT_USERINTERFACE, MSG_ENABLEDS, "enableds-after-close"}});
  KilledServer(twain);
  twain.CloseManager();
  twain.Unload();
  StoreClose();
  CoUninitialize();
}

void Pixels()
{
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  Profile();
  TwainApp twain;
  if (!twain.Load() || !twain.OpenManager() || !twain.OpenSource()) {
    Check(false, "twain-source-opened");
    return;
  }
  SetOne(twain, CAP_INDICATORS, TWTY_BOOL, FALSE);
  Cycle(twain, TWSX_NATIVE, "native", false);
  Cycle(twain, TWSX_MEMORY, "memory", false);
  Cycle(twain, TWSX_FILE, "file", false);
  Cycle(twain, TWSX_MEMFILE, "memfile", false);
  Check(twain.CloseSource(), "twain-close-source");
  twain.CloseManager();
  twain.Unload();
  CoUninitialize();
}

// The folder of this program, where the tests' other manager lies.
std::wstring ProgramFolder()
{
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

// In a process where another manager (the tests' own TWAINDSM.dll, which
// only counts) is loaded beside Wine's: what DAT_STATUS says in state 3
// after MSG_OPENDS failed, a second application's refused MSG_OPENDS that
// leaves the first one's condition alone, and the source's message to the
// application through the manager that opened it.
void Managers()
{
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  HMODULE other = LoadLibraryW((ProgramFolder() + L"TWAINDSM.dll").c_str());
  using Calls = int(__cdecl*)();
  const auto calls =
      other != nullptr
          ? reinterpret_cast<Calls>(reinterpret_cast<void*>(GetProcAddress(other, "ManagerCalls")))
          : nullptr;
  Check(calls != nullptr && GetModuleHandleW(L"TWAINDSM.dll") == other,
        "twain-other-manager-loaded");
  TwainApp twain;
  if (calls == nullptr || !twain.Load() || !twain.OpenManager()) {
    Check(false, "twain-manager-opened");
    return;
  }
  // A scanner the server does not have.
  Profile(L"No such MFP");
  const bool opened = twain.OpenSource();
  TW_STATUS status = {};
  status.ConditionCode = 0xFFFF;
  TW_UINT16 rc = twain.Direct(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
  Check(!opened && rc == TWRC_SUCCESS && status.ConditionCode == TWCC_CHECKDEVICEONLINE,
        "twain-status-after-failed-open",
        "rc " + std::to_string(rc) + " cc " + std::to_string(status.ConditionCode));
  Profile();
  if (!twain.OpenSource()) {
    Check(false, "twain-open-source");
    return;
  }
  // The application's own condition, then another application's refused
  // MSG_OPENDS: each asks for its own.
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, 77);
  TW_IDENTITY second = twain.app, identity = twain.source;
  second.Id = twain.app.Id + 1000;
  const TW_UINT16 refused = twain.DirectAs(&second, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity);
  TW_STATUS mine = {}, theirs = {};
  twain.Direct(DG_CONTROL, DAT_STATUS, MSG_GET, &mine);
  twain.DirectAs(&second, DG_CONTROL, DAT_STATUS, MSG_GET, &theirs);
  Check(refused == TWRC_FAILURE && mine.ConditionCode == TWCC_BADVALUE &&
            theirs.ConditionCode == TWCC_MAXCONNECTIONS,
        "twain-refused-open-keeps-condition",
        "mine " + std::to_string(mine.ConditionCode) + ", theirs " +
            std::to_string(theirs.ConditionCode));
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE);
  SetOne(twain, CAP_INDICATORS, TWTY_BOOL, FALSE);
  rc = Enable(twain, false);
  const TW_UINT16 message = twain.Await(10000);
  Check(rc == TWRC_SUCCESS && message == MSG_XFERREADY && calls() == 0,
        "twain-notice-through-the-opening-manager",
        "rc " + std::to_string(rc) + ", message " + std::to_string(message) + ", " +
            std::to_string(calls()) + " calls to the other manager");
  EndTransfer(twain, MSG_RESET);
  Disable(twain);
  Check(twain.CloseSource(), "twain-close-source");
  twain.CloseManager();
  twain.Unload();
  CoUninitialize();
}

// The source opened in a part of its own: `part` runs in state 4.
void Opened(void (*part)(TwainApp&))
{
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Profile();
  TwainApp twain;
  if (!twain.Load() || !twain.OpenManager() || !twain.OpenSource()) {
    Check(false, "twain-source-opened");
    return;
  }
  part(twain);
  Check(twain.CloseSource(), "twain-close-source");
  twain.CloseManager();
  twain.Unload();
  CoUninitialize();
}

// A job's item name as a file's: without its extension, and with the
// characters no file name may hold replaced.
std::string FileStem(const std::wstring& job)
{
  std::string stem = Narrow(job.c_str());
  stem = stem.substr(0, stem.find_last_of('.'));
  for (char& c : stem)
    if (std::strchr("\\/:*?\"<>|", c) != nullptr || static_cast<unsigned char>(c) < 32) c = '_';
  return stem.empty() ? "job" : stem;
}

void Scan(const std::string& folder)
{
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  TwainApp twain;
  if (!twain.Load() || !twain.OpenManager()) {
    Check(false, "twain-manager-opened", "twain_32.dll or its DSM_Entry not loaded");
    return;
  }
  TW_IDENTITY listed = {};
  for (TW_UINT16 rc = twain.Manager(DAT_IDENTITY, MSG_GETFIRST, &listed); rc == TWRC_SUCCESS;
       rc = twain.Manager(DAT_IDENTITY, MSG_GETNEXT, &listed))
    std::printf("source: %s (%s, %s %s, TWAIN %u.%u)\n", listed.ProductName, listed.ProductFamily,
                listed.Manufacturer, listed.Version.Info, listed.ProtocolMajor,
                listed.ProtocolMinor);
  if (!twain.OpenSource()) {
    Check(false, "twain-open-source", "rc " + std::to_string(twain.Condition()));
    twain.CloseManager();
    return;
  }
  SetOne(twain, ICAP_XFERMECH, TWTY_UINT16, TWSX_FILE);
  SetOne(twain, CAP_INDICATORS, TWTY_BOOL, FALSE);
  const std::vector<std::wstring> jobs = TakeableJobs(twain);
  int pages = 0, written = 0;
  TW_UINT16 rc = Enable(twain, false);
  const TW_UINT16 message = rc == TWRC_SUCCESS ? twain.Await(30000) : MSG_NULL;
  if (message != MSG_XFERREADY)
    Check(false, "twain-scan-ready",
          "rc " + std::to_string(rc) + " cc " + std::to_string(twain.Condition()) + " message " +
              std::to_string(message));
  for (TW_UINT16 left = message == MSG_XFERREADY ? 1 : 0; left > 0 && pages < 10000; ++pages) {
    TW_IMAGELAYOUT layout = {};
    TW_IMAGEINFO info = {};
    twain.Source(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout);
    twain.Source(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
    const size_t job = layout.DocumentNumber;
    const std::string page = (job >= 1 && job <= jobs.size() ? FileStem(jobs[job - 1]) : "job") +
                             "-p" + std::to_string(layout.PageNumber);
    const std::string name = folder + "\\" + page + ".bmp";
    TW_SETUPFILEXFER setup = {};
    std::strncpy(setup.FileName, name.c_str(), sizeof setup.FileName - 1);
    setup.Format = TWFF_BMP;
    rc = name.size() < sizeof setup.FileName
             ? twain.Source(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup)
             : TWRC_FAILURE;
    if (rc == TWRC_SUCCESS) rc = twain.Source(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
    if (rc == TWRC_XFERDONE) {
      ++written;
      std::printf("%s: %ld x %ld pixels, %d bits, %s\n", page.c_str(),
                  static_cast<long>(info.ImageWidth), static_cast<long>(info.ImageLength),
                  info.BitsPerPixel, name.c_str());
    } else {
      Check(false, "twain-scan-" + page,
            "rc " + std::to_string(rc) + " cc " + std::to_string(twain.Condition()));
    }
    left = EndTransfer(twain);
  }
  Disable(twain);
  std::printf("%d of %d pages written\n", written, pages);
  twain.CloseSource();
  twain.CloseManager();
  twain.Unload();
  CoUninitialize();
}

void Identify(const char* path, const char* version)
{
  HMODULE module = LoadLibraryA(path);
  auto entry = module != nullptr ? reinterpret_cast<DSENTRYPROC>(
                                       reinterpret_cast<void*>(GetProcAddress(module, "DS_Entry")))
                                 : nullptr;
  TW_IDENTITY app = {}, identity = {};
  const TW_UINT16 rc =
      entry != nullptr ? entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity) : TWRC_FAILURE;
  Check(rc == TWRC_SUCCESS && std::strcmp(identity.ProductName, "stibridge") == 0 &&
            std::strcmp(identity.Version.Info, version) == 0,
        "twain-installed-source-identity",
        std::string(path) + (module == nullptr
                                 ? ": not loaded, error " + std::to_string(GetLastError())
                                 : ": rc " + std::to_string(rc) + ", " + identity.ProductName +
                                       " " + identity.Version.Info));
}

}  // namespace

// A server that stops while the source is open, in a process of its own:
// the source opens from the manager's state 3 (StoppedServerMessage).
void Stopped()
{
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Profile();
  TwainApp twain;
  if (!twain.Load() || !twain.OpenManager()) {
    Check(false, "twain-stopped-manager-opened");
    return;
  }
  StoppedServerMessage(twain);
  twain.CloseManager();
  twain.Unload();
  CoUninitialize();
}

int main(int argc, char** argv)
{
  const std::string part = argc > 1 ? argv[1] : "full";
  if (part == "pixels")
    Pixels();
  else if (part == "scan" && argc == 3)
    Scan(argv[2]);
  else if (part == "identify" && argc == 4)
    Identify(argv[2], argv[3]);
  else if (part == "sweep")
    Opened([](TwainApp& twain) { Sweep(twain, "grey-letter"); });
  else if (part == "bigpage")
    Opened(BigPage);
  else if (part == "managers")
    Managers();
  else if (part == "stopped")
    Stopped();
  else if (part == "picture" && argc == 3)
    Picture(argv[2], 30000);
  else if (part == "window")
    Opened(WindowFollows);
  else if (part == "window-empty")
    Opened(WindowEmpty);
  else if (part == "window-columns")
    Opened(WindowColumns);
  else if (part == "window-title")
    Opened(WindowTitle);
  else
    Full();
  return Failures();
}

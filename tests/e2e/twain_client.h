// The TWAIN application of the tests: it loads the manager (Wine's
// twain_32.dll), opens the data source through it and drives it from state
// 1 to 7 and back, as any TWAIN application would, with a window and a
// message loop on its one thread. Each check is a line (e2e_basics.h); each
// page brought over is a line "pixels <item> <page> <how> <fingerprint>".
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "e2e_basics.h"
#include "protocol/custom.h"
#include "protocol/twain2.h"
#include "twain_store.h"

class TwainApp {
 public:
  // The manager loaded, its DSM_Entry found, and the application's window.
  bool Load();
  void Unload();

  // An operation on the source, through the manager.
  TW_UINT16 Source(TW_UINT32 group, TW_UINT16 dat, TW_UINT16 message, void* data);
  // An operation on the manager itself.
  TW_UINT16 Manager(TW_UINT16 dat, TW_UINT16 message, void* data);
  // An operation straight to the source's DS_Entry, past the manager: in
  // state 3, and where Wine's manager would act on its own (it forgets a
  // source whose MSG_CLOSEDS failed).
  TW_UINT16 Direct(TW_UINT32 group, TW_UINT16 dat, TW_UINT16 message, void* data);
  // The same as another application would (its own identity).
  TW_UINT16 DirectAs(TW_IDENTITY* origin, TW_UINT32 group, TW_UINT16 dat, TW_UINT16 message,
                     void* data);
  // The source's condition code (DAT_STATUS through the manager).
  TW_UINT16 Condition();
  // Whether `rc` and then the condition code are the ones expected; when
  // not, `detail` says what came.
  bool Answered(TW_UINT16 rc, TW_UINT16 wantRc, TW_UINT16 wantCc, std::string* detail = nullptr);
  // The same as a check of its own.
  void Expect(TW_UINT16 rc, TW_UINT16 wantRc, TW_UINT16 wantCc, const std::string& name);

  bool OpenManager();
  bool OpenSource();
  bool CloseSource();
  void CloseManager();
  // The loop of the application's thread: every message goes to the source
  // first (MSG_PROCESSEVENT). Returns the source's message (MSG_XFERREADY,
  // MSG_CLOSEDSREQ) within `ms`, or MSG_NULL.
  TW_UINT16 Await(DWORD ms);

  // A message that makes the window's procedure call the source again
  // (MSG_ENABLEDS, then DAT_STATUS) while `armed`, as an application's
  // window may while the source waits for the server: what it got back.
  static constexpr UINT kReenter = WM_APP + 1;
  struct {
    bool armed = false;
    int calls = 0, during = 0;
    TW_UINT16 enable = 0, condition = 0;
  } reentry;

  HWND window = nullptr;
  TW_IDENTITY app = {};
  TW_IDENTITY source = {};

 private:
  HMODULE manager_ = nullptr;
  HMODULE sourceModule_ = nullptr;
  DSMENTRYPROC entry_ = nullptr;
  DSENTRYPROC direct_ = nullptr;
};

// The module name the tests install the source under (Wine's manager
// loads only sane.ds and gphoto2.ds), and where: the Windows folder's
// twain_32 or twain_64, by the application's bitness.
constexpr wchar_t kSourceModule[] = L"sane.ds";
std::wstring SourcePath();

// The source's job window (twain/source/job_dialog_ids.h): its list's
// control, in which each job's image index is 0 until its picture is
// shown; the window among this thread's, null without one; the rows of
// `list` shown with their picture.
constexpr int kJobList = 101;
HWND JobWindow();
int PicturedRows(HWND list);

// Parts of the run (twain_capabilities.cpp, twain_layout.cpp,
// twain_window.cpp, twain_transfers.cpp, twain_threads.cpp).
void CapabilityChecks(TwainApp& twain);
// Every capability listed, every message, every value set back
// (twain_capabilities.cpp); `label` names the rows.
void Sweep(TwainApp& twain, const std::string& label);
void LayoutChecks(TwainApp& twain);
void Window(TwainApp& twain);
// The source's window, its previews shown, as a PNG at `path`
// (twain_picture.cpp; scripts/screenshots).
void Picture(const std::string& path, DWORD waitMs);
// The window against scenarios of its own: the list following the
// scanner, pictures that cannot be had; an empty store, and in German.
void WindowFollows(TwainApp& twain);
void WindowEmpty(TwainApp& twain);
// The column titles at the screen's resolution (the run's).
void WindowColumns(TwainApp& twain);
// The window's title, as a line "title <hex>", in the prefix's language.
void WindowTitle(TwainApp& twain);
void KilledServer(TwainApp& twain);
// The progress indicator, in German, and its Cancel (twain_transfers.cpp).
void IndicatorChecks(TwainApp& twain);
// MSG_ENABLEDS against a stopped server (twain_transfers.cpp).
void StoppedServerMessage(TwainApp& twain);
// Triplets from a thread other than the one that opened the source
// (twain_threads.cpp).
void OtherThreadChecks(TwainApp& twain);

// State 4 to 5 and back (MSG_ENABLEDS, MSG_DISABLEDS), and the end of a
// transfer (DAT_PENDINGXFERS): the pending transfers left, 0xFFFF when it
// failed.
TW_UINT16 Enable(TwainApp& twain, bool showUI);
TW_UINT16 Disable(TwainApp& twain);
TW_UINT16 EndTransfer(TwainApp& twain, TW_UINT16 message = MSG_ENDXFER);

// A frame in inches; the frame pages are cut to; DAT_IMAGELAYOUT MSG_SET,
// with the frame the source answered in `answered`.
TW_FRAME Inches(double left, double top, double right, double bottom);
extern const TW_FRAME kFrame;
TW_UINT16 SetLayout(TwainApp& twain, const TW_FRAME& frame, TW_FRAME* answered = nullptr);
// Brings every pending page over by `mechanism` (TWSX_): the pages' count.
// `how` names the transfer in the pixel lines, `jobs` the item names of the
// jobs in the order they come (DAT_IMAGELAYOUT's document numbers).
int TransferAll(TwainApp& twain, TW_UINT16 mechanism, const std::string& how,
                const std::vector<std::string>& jobs);
// The size in pixels of what a transfer brought.
struct Size {
  long width = 0, length = 0;
  bool operator==(const Size&) const = default;
};
// One page by the mechanism negotiated: its rows' fingerprint, empty when it
// did not come over; `rc` gets the transfer's return code, `size` (when
// given) the image's size as it came (a JPEG's too, which has no
// fingerprint).
std::string TransferPage(TwainApp& twain, TW_UINT16 mechanism, TW_UINT16& rc,
                         const std::string& fileName = {}, TW_UINT16 fileFormat = TWFF_BMP,
                         Size* size = nullptr);
// A file of that name in the temporary folder.
std::string ScratchFile(const char* name);
// Each page of the TIFF file `name`: its rows' fingerprint and its size.
std::vector<std::pair<std::string, Size>> TiffPages(const std::string& name);
// A file's bytes, and the size of a JPEG in them.
std::vector<unsigned char> FileOf(const std::string& name);
Size JpegSizeOf(const std::vector<unsigned char>& file);
// Parts of the run (twain_documents.cpp): the application's units in every
// length and resolution of a page at hand; the stored jobs as a document
// feeder (CAP_XFERCOUNT, job separation, extended image information);
// files the source writes (JPEG, multi-page TIFF); a large page's file
// transfer within the application's memory.
void UnitsAgree(TwainApp& twain);
void Feeder(TwainApp& twain);
void FileFormats(TwainApp& twain);
void BigPage(TwainApp& twain);

// TW_FIX32 from and to a number.
TW_FIX32 Fixed(double value);
double Number(const TW_FIX32& fix);
// Sets a capability to one value.
TW_UINT16 SetOne(TwainApp& twain, TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 value);
// Names the jobs to bring over (this source's own capability).
TW_UINT16 NameJobs(TwainApp& twain, const std::vector<std::wstring>& names);
// The jobs the source can bring over now, in the scanner's order: with
// none named, the jobs of a walk, DAT_IMAGELAYOUT's document numbers.
std::vector<std::wstring> TakeableJobs(TwainApp& twain);

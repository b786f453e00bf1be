// One open data source: from MSG_OPENDS to MSG_CLOSEDS, its state (4 to 7),
// the condition code of its last operation, its connection to the scanner
// server, what the application negotiated, and the walk over the pages.
// Each triplet's handler is a member; the table that says in which states
// a triplet may come is triplets.cpp.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/containers.h"
#include "scanner/apartment.h"
#include "scanner/connection.h"
#include "source/capability.h"
#include "source/frame.h"
#include "source/indicator.h"
#include "source/manager.h"
#include "source/page_file.h"
#include "source/walk.h"

namespace twainds {

class JobDialog;

// This source as it introduces itself (DAT_IDENTITY); the Id stays the
// manager's.
void IntroduceSource(TW_IDENTITY& identity);

// The states of a source that is open (TWAIN's 4 to 7); 3 is a source that
// is loaded and not open, which has no session.
enum class State { kOpen = 4, kEnabled = 5, kReady = 6, kTransferring = 7 };

// What the module keeps whether or not a source is open: the manager's
// entry point and memory functions (DAT_ENTRYPOINT comes before MSG_OPENDS).
struct Module {
  Module() = default;
  // At the end of the process (or of a module that a manager unloads while
  // a source is still open) calls to the server would run under the
  // loader lock: an open session is left as it is.
  ~Module() { static_cast<void>(session.release()); }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  Memory memory;
  Manager manager;
  std::unique_ptr<class Session> session;
  // Sessions opened so far: tells one session from the next.
  unsigned long sessions = 0;
  // The condition of an operation no session answered (MSG_OPENDS that
  // failed, one refused while another application had the source).
  TW_UINT16 condition = TWCC_SUCCESS;
  // Where the call under way came from (entry.cpp), and how many calls of
  // DS_Entry are under way (a call made from the application's callback
  // runs inside another).
  const void* caller = nullptr;
  int calls = 0;

  // A message to the application: after the call under way, or at once
  // when none is (the source's window acts between calls too).
  void Notify(TW_UINT16 message)
  {
    if (calls > 0)
      manager.Queue(message);
    else
      manager.Send(message);
  }
  // An operation runs (and may be waiting on the server, while the
  // thread's messages are dispatched): only what is safe then may come in.
  bool busy = false;
};

// What the application negotiated that the source keeps itself; the
// scanner's own settings are asked of the scanner every time.
struct Choices {
  TW_UINT16 mechanism = TWSX_NATIVE;
  TW_UINT16 units = TWUN_INCHES;
  bool indicators = true;
  int transferCount = -1;
  TW_UINT16 jobControl = TWJC_NONE;
  bool extendedInfo = false;
  std::vector<std::wstring> jobs;  // the custom capability's names; none: every job
  // The file of a file transfer, as MSG_SET named it and as a full path
  // (a relative name is taken from the folder current when it was set).
  std::string fileName = "TWAIN.TMP", filePath;
  // Of file and memory-file transfers (ICAP_IMAGEFILEFORMAT).
  TW_UINT16 fileFormat = TWFF_BMP;
  // The frame that every page is cut to; none: pages come whole.
  std::optional<Frame> frame;
};

// Whether file transfers by `mechanism` write `format` (TWFF_).
bool FileFormatFits(Raw format, TW_UINT16 mechanism);

class Session {
 public:
  explicit Session(Module& module);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // MSG_OPENDS: the scanner opened as the user's profile names it.
  Result Open(const TW_IDENTITY& application, TW_IDENTITY& source);

  State state = State::kOpen;
  TW_UINT16 condition = TWCC_SUCCESS;

  // DG_CONTROL
  Result Capability(TW_UINT16 message, TW_MEMREF data);
  Result Enable(TW_MEMREF data);
  Result Disable(TW_MEMREF data);
  Result ProcessEvent(TW_MEMREF data);
  Result PendingTransfers(TW_UINT16 message, TW_MEMREF data);
  Result SetupMemory(TW_MEMREF data);
  Result SetupFile(TW_UINT16 message, TW_MEMREF data);
  Result TransferGroup(TW_UINT16 message, TW_MEMREF data);
  // DG_IMAGE
  Result ImageInfo(TW_MEMREF data);
  Result ImageLayout(TW_UINT16 message, TW_MEMREF data);
  Result NativeTransfer(TW_MEMREF data);
  Result MemoryTransfer(TW_MEMREF data);
  Result FileTransfer(TW_MEMREF data);
  Result MemoryFileTransfer(TW_MEMREF data);
  Result ExtendedInfo(TW_MEMREF data);

  // After each operation: a server that died under it ends the session's
  // use for the application (MSG_CLOSEDSREQ, once).
  void AfterOperation();
  // Whether `origin` is the application that opened the session (a null
  // one is taken to be).
  bool Serves(const TW_IDENTITY* origin) const
  {
    return origin == nullptr || origin->Id == applicationId_;
  }
  // The application could not be told of the transfers offered: they are
  // taken back, the source enabled again (its window shown) or open.
  // Whether the MSG_ENABLEDS that offered them is to fail.
  bool Withdraw();

  // The job dialog's answers (ShowUI TRUE).
  void Chosen(const std::vector<Job>& jobs);
  void Cancelled();
  // The job dialog, while the source is enabled with ShowUI TRUE.
  JobDialog* Dialog() { return dialog_.get(); }
  // The job dialog's list made anew from a fresh listing (a signal of the
  // scanner's, its timer, its Refresh button). False when that cannot be
  // now (an operation or a walk is under way): to be asked again later.
  bool Relist(bool fresh = true);
  // Whether the window's listing has jobs still to read: the window asks
  // for them with Relist(false), a few at a time, so that the
  // application's thread is never held long.
  bool Listing() const { return listing_.active; }

  // What the capabilities read and change.
  Connection& Scanner() { return connection_; }
  // The application speaks TWAIN 2.x.
  bool Twain2() const { return negotiation_.Twain2(); }
  // The value in effect of a capability of the table.
  Result CapabilityValue(TW_UINT16 id, Raw& value);
  // CAP_FEEDERLOADED: whether a job is there to take.
  Result FeederLoaded(Raw& value);
  Choices& Negotiated() { return choices_; }
  const std::wstring& Title() const { return title_; }
  // The jobs as last listed: afresh while no walk is on (a listing would
  // change the scanner's numbering under a walk).
  HRESULT Jobs(std::vector<Job>& jobs);

 private:
  void AddCapabilities();
  // The full path of the file transfer's default file name.
  void ResolveFileName();
  // A multi-page file a file transfer adds pages to is done with: the next
  // page of that format starts a file of its own.
  void EndMultiPageFile();
  // This source's own capability: the jobs to bring over.
  Result JobNames(TW_UINT16 message, TW_CAPABILITY& capability);
  // Enters state 6 and tells the application; false when nothing is pending.
  bool Offer(const std::vector<Job>& jobs);
  // Back to state 5 once nothing is pending.
  void Settle();
  // The progress indicator says where the walk stands.
  void ShowProgress();
  // The user clicked Cancel on the indicator: the transfer under way (or
  // the next one) ends with TWRC_CANCEL in state 7, its job stays whole on
  // the scanner, and the MSG_ENDXFER after it ends every transfer.
  bool CancelAsked() const { return choices_.indicators && indicator_.Cancelled(); }
  Result CancelTransfer();
  // The jobs a source without its window transfers.
  std::vector<Job> JobsToTransfer(const std::vector<Job>& listed) const;
  // MSG_ENABLEDS with the window asked for found no server or scanner: the
  // user is told which, and what to try.
  void TellUnreachable();
  // Failures of the scanner as TWAIN conditions.
  Result ScannerFailure(HRESULT hr);
  // The page at hand as the scanner describes it, and the part of it that
  // the frame takes (all of it without a frame; empty when the frame takes
  // nothing of it).
  HRESULT PageAtHand(TW_IMAGEINFO& page, Region& region);
  // DAT_IMAGELAYOUT's MSG_SET: the frame of a paper size sets that size,
  // any other is the frame pages are cut to.
  Result SetFrame(const TW_FRAME& frame);
  // The part of the page at hand that comes over, on the paper, in the
  // application's units.
  HRESULT TransferredFrame(TW_FRAME& frame);
  // Where a transfer of the page at hand cuts it: `cut` when the frame
  // takes less than the whole page, `region` what it takes (`page` is
  // described only under a frame). TWCC_BADVALUE when it takes nothing.
  Result Framed(TW_IMAGEINFO& page, Region& region, bool& cut);
  // A native transfer of the page at hand begun: its DIB's header, and the
  // bytes that follow it.
  HRESULT BeginDib(BITMAPINFOHEADER& header, size_t& rest);
  // The rows of a memory transfer that the application does not get (above
  // and below the frame), read and let go.
  HRESULT SkipRows(long rows, size_t rowBytes, bool& done);

  Module& module_;
  Apartment apartment_;
  Connection connection_;
  Negotiation negotiation_;
  Walk walk_;
  Choices choices_;
  std::wstring title_;
  TW_UINT32 applicationId_ = 0;
  std::vector<Job> listed_;
  bool listedValid_ = false;
  bool closeRequested_ = false;
  std::unique_ptr<JobDialog> dialog_;
  Indicator indicator_;
  // The window's listing, read a few jobs at a time: the jobs read so far,
  // the index to read next, the indices the scanner has.
  struct WindowListing {
    bool active = false, opening = false;
    int next = 0, count = 0;
    std::vector<Job> jobs;
  };
  WindowListing listing_;
  // The next `jobs` jobs of the window's listing read (a listing begun
  // first when `fresh` or none is under way: for the window's `opening`,
  // whose list then grows as the jobs are read); at the end the window's
  // list is made of them and they are what the session knows.
  HRESULT ListStep(bool fresh, int jobs, bool opening = false);
  // A listing under way given up where it stands (a walk begins, the
  // window goes): what was read is what the session knows.
  void EndWindowListing();
  // The application's window (TW_USERINTERFACE's hParent), which the
  // indicator is centred on; whether the user cancelled the transfers.
  HWND parent_ = nullptr;
  bool userCancelled_ = false;
  // The memory transfer in progress (state 7): rows given so far, rows of
  // the page read so far, and the page's rows as read when the application
  // gets part of each; whether its last rows were given.
  long rowsDone_ = 0, rowsRead_ = 0;
  std::vector<unsigned char> strip_;
  bool memoryTransfer_ = false, memoryDone_ = false;
  // The memory-file transfer in progress (state 7): the file's bytes come
  // straight from the scanner's file, or from one the source wrote to a
  // temporary file of its own (deleted when it is closed).
  struct MemoryFile {
    bool active = false, done = false, direct = false, cut = false;
    size_t total = 0, sent = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
  };
  MemoryFile memoryFile_;
  void EndMemoryFile();
  // Where the multi-page TIFF of file transfers stands.
  MultiPage multiPage_;
  // The page's file of `format` written to `path`: the scanner's own
  // (`scanner`: a BMP or TIFF of a whole page), else the source's from
  // the rows. `fileFailed` tells a failure of the file from one of the
  // scanner's.
  HRESULT WritePageFile(TW_UINT16 format, const std::string& path, const TW_IMAGEINFO& page,
                        const Region& region, bool scanner, bool& fileFailed);
  // The rows of `region` of the page at hand, top-down, handed on in strips
  // of about a MiB as the scanner's memory transfer brings them.
  HRESULT ReadRegion(const TW_IMAGEINFO& page, const Region& region,
                     const std::function<HRESULT(const unsigned char*, long)>& take);
};

// Marks the session busy for as long as it lives, and keeps the user's
// hands off its window meanwhile (a call to the server dispatches the
// thread's messages while it waits).
class Busy {
 public:
  explicit Busy(Module& module);
  ~Busy();
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  Module& module_;
  bool wasBusy_;
  HWND disabled_ = nullptr;
};

}  // namespace twainds

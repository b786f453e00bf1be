// One open data source: from MSG_OPENDS to MSG_CLOSEDS, its state (4 to 7),
// the condition code of its last operation, its connection to the scanner
// server, what the application negotiated, and the walk over the pages.
// Each triplet's handler is a member; the table that says in which states
// a triplet may come is triplets.cpp.
#pragma once

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
  TW_UINT16 condition = TWCC_SUCCESS;  // of an operation no session answered
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
  std::vector<std::wstring> jobs;  // the custom capability's names; none: every job
  std::string fileName = "TWAIN.TMP";
  TW_UINT16 fileFormat = TWFF_BMP;
  // The frame that every page is cut to; none: pages come whole.
  std::optional<Frame> frame;
};

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

  // After each operation: a server that died under it ends the session's
  // use for the application (MSG_CLOSEDSREQ, once).
  void AfterOperation();

  // The job dialog's answers (ShowUI TRUE).
  void Chosen(const std::vector<Job>& jobs);
  void Cancelled();
  // The job dialog, while the source is enabled with ShowUI TRUE.
  JobDialog* Dialog() { return dialog_.get(); }

  // What the capabilities read and change.
  Connection& Scanner() { return connection_; }
  Choices& Negotiated() { return choices_; }
  const ScanSettings& Defaults() const { return defaults_; }
  const std::wstring& Title() const { return title_; }
  // The jobs as last listed: afresh while no walk is on (a listing would
  // change the scanner's numbering under a walk).
  HRESULT Jobs(std::vector<Job>& jobs);

 private:
  void AddCapabilities();
  // This source's own capability: the jobs to bring over.
  Result JobNames(TW_UINT16 message, TW_CAPABILITY& capability);
  // Enters state 6 and tells the application; false when nothing is pending.
  bool Offer(const std::vector<Job>& jobs);
  // Back to state 5 once nothing is pending.
  void Settle();
  // The progress indicator says where the walk stands.
  void ShowProgress();
  // The jobs a source without its window transfers.
  std::vector<Job> JobsToTransfer(const std::vector<Job>& listed) const;
  // Failures of the scanner as TWAIN conditions.
  Result ScannerFailure(HRESULT hr);
  // The page at hand as the scanner describes it, and the part of it that
  // the frame takes (all of it without a frame; empty when the frame takes
  // nothing of it).
  HRESULT PageAtHand(TW_IMAGEINFO& page, Region& region);
  // DAT_IMAGELAYOUT's MSG_SET: the frame of a paper size sets that size,
  // any other is the frame pages are cut to.
  Result SetFrame(const TW_FRAME& frame);
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
  ScanSettings defaults_;
  std::wstring title_;
  std::vector<Job> listed_;
  bool listedValid_ = false;
  bool closeRequested_ = false;
  std::unique_ptr<JobDialog> dialog_;
  Indicator indicator_;
  // The memory transfer in progress (state 7): rows given so far, rows of
  // the page read so far, and the page's rows as read when the application
  // gets part of each.
  long rowsDone_ = 0, rowsRead_ = 0;
  std::vector<unsigned char> strip_;
  bool memoryTransfer_ = false;
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

// The source's own window (ShowUI TRUE): the stored jobs the user may
// take, each with the picture of its first page and its document, pages,
// type, resolution and time, those still being scanned greyed. A modeless
// dialog of the application's thread: its messages come through
// MSG_PROCESSEVENT. Transfer (or Enter, or a double click) starts the walk
// over the chosen jobs (MSG_XFERREADY); Cancel (or Esc) asks the
// application to close the source (MSG_CLOSEDSREQ).
//
// While it is open the list follows the scanner: each of the scanner's
// signals (a job ended, one deleted) lists the jobs anew, as the Refresh
// button does, and where the signals cannot be had a timer does every few
// seconds. What the user chose stays chosen, by the jobs' names.
//
// The pictures come from a thread of their own (thumbnails.h) and fill in
// as they come; a tile's picture is the job's thumbnail file scaled to fit
// kTileSide pixels square with its aspect kept, centred.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "scanner/connection.h"

struct _IMAGELIST;  // commctrl.h's HIMAGELIST

namespace twainds {

class Session;
class ScannerSignals;
class Thumbnails;

class JobDialog {
 public:
  // The window, shown; null when it could not be made.
  static std::unique_ptr<JobDialog> Create(Session& session, HWND parent,
                                           const std::vector<Job>& jobs);
  ~JobDialog();
  JobDialog(const JobDialog&) = delete;
  JobDialog& operator=(const JobDialog&) = delete;

  HWND Window() const { return window_; }
  // Whether `message` was the window's.
  bool Message(MSG* message);
  // Lists `jobs` anew, what was chosen kept chosen. Asks the scanner for the
  // user's delete-after-scan option: only while the source is busy.
  void Refill(const std::vector<Job>& jobs);
  // `jobs`, listed after those shown, added below them (the listing goes
  // on a few jobs at a time).
  void Append(const std::vector<Job>& jobs);
  // Whether the user may choose now; Enabled() is what was said last.
  void Enable(bool on);
  bool Enabled() const { return enabled_; }
  // The session's listing has more jobs to read: the window asks for them
  // once the application's thread has seen to its other messages.
  void GoOn();

 private:
  explicit JobDialog(Session& session);
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Initialise();
  void SizeColumns();
  INT_PTR Notified(NMHDR* header);
  void Transfer();
  void ChooseAllReady();
  void UpdateChosen();
  // Lists the jobs anew now (or, not `fresh`, the listing under way goes
  // on), or as soon as the source is free.
  void Refresh(bool fresh = true);
  void Pictures();
  // The row of jobs_[at], inserted at that place; its picture asked for.
  int InsertRow(size_t at);
  // The job of a row, or null.
  const Job* JobOf(int row) const;
  static std::wstring KeyOf(const Job& job);

  Session& session_;
  HWND window_ = nullptr;
  HWND list_ = nullptr;
  ::_IMAGELIST* images_ = nullptr;
  std::vector<Job> jobs_;
  bool enabled_ = true;
  bool filled_ = false;
  bool polling_ = false;
  // A fresh listing was asked for while the source could not list: the
  // retry lists afresh rather than going on.
  bool freshWanted_ = false;
  // The scanner signals the server's events for this window.
  bool registered_ = false;
  // The image of each job's picture (0: the placeholder), and the jobs
  // whose picture has been asked for, by KeyOf.
  std::map<std::wstring, int> imageOf_;
  std::set<std::wstring> asked_;
  std::unique_ptr<ScannerSignals> signals_;
  std::unique_ptr<Thumbnails> thumbnails_;
};

}  // namespace twainds

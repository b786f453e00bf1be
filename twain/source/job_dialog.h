// The source's own window (ShowUI TRUE): the stored jobs the user may
// take, with their document, pages, type, resolution and time, those still
// being scanned greyed. A modeless dialog of the application's thread: its
// messages come through MSG_PROCESSEVENT. Transfer starts the walk over the
// chosen jobs (MSG_XFERREADY); Cancel asks the application to close the
// source (MSG_CLOSEDSREQ).
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "scanner/connection.h"

namespace twainds {

class Session;

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
  // Lists `jobs` anew.
  void Refill(const std::vector<Job>& jobs);
  // Whether the user may choose now; Enabled() is what was said last.
  void Enable(bool on);
  bool Enabled() const { return enabled_; }

 private:
  explicit JobDialog(Session& session) : session_(session) {}
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Notified(NMHDR* header);
  void Transfer();
  void UpdateButton();

  Session& session_;
  HWND window_ = nullptr;
  HWND list_ = nullptr;
  std::vector<Job> jobs_;
  bool enabled_ = true;
};

}  // namespace twainds

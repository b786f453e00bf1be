// The stand-in of the source's job window (source/job_dialog.h) in its fuzz
// build: a window token of the shim's, and a user whose acts arrive as the
// window's messages through MSG_PROCESSEVENT. A WM_COMMAND of IDOK takes
// the jobs whose bits its lParam sets (the rows of the list, in order) and
// transfers them; IDCANCEL and WM_CLOSE cancel. A disabled window takes no
// act, as a real one takes no click. A listing that goes on (GoOn) reads
// its next jobs at the window's next message, as the real window's posted
// message does. The window's pictures and the
// scanner's signals (thumbnails.cpp, scanner_signals.cpp) have no part
// here: their classes are empty stand-ins.
#include "source/job_dialog.h"

#include "fuzz/twain_fake/fake_scanner.h"
#include "fuzz/twain_shim/shim.h"
#include "source/session.h"

namespace twainds {

class ScannerSignals {};
class Thumbnails {};

namespace {
// A listing goes on at the window's next message (one window at a time).
bool goOn = false;
}  // namespace

JobDialog::JobDialog(Session& session) : session_(session) {}

std::unique_ptr<JobDialog> JobDialog::Create(Session& session, HWND, const std::vector<Job>& jobs)
{
  if (twainfake::Fake().dialogFails) return nullptr;
  std::unique_ptr<JobDialog> dialog(new JobDialog(session));
  goOn = false;
  dialog->window_ = twainshim::CreateWindowToken();
  twainfake::Fake().dialog = dialog->window_;
  dialog->Refill(jobs);
  return dialog;
}

JobDialog::~JobDialog()
{
  if (twainfake::Fake().dialog == window_) twainfake::Fake().dialog = nullptr;
  twainshim::DestroyWindowToken(window_);
}

bool JobDialog::Message(MSG* message)
{
  if (window_ == nullptr || message->hwnd != window_) return false;
  if (!IsWindowEnabled(window_)) return true;
  if (goOn) {
    goOn = false;
    session_.Relist(false);
  }
  if (message->message == WM_COMMAND && LOWORD(message->wParam) == IDOK) {
    std::vector<Job> chosen;
    for (size_t row = 0; row < jobs_.size() && row < 8 * sizeof(LPARAM); ++row)
      if ((static_cast<ULONG_PTR>(message->lParam) >> row & 1) != 0 && jobs_[row].Takeable())
        chosen.push_back(jobs_[row]);
    session_.Chosen(chosen);
  } else if ((message->message == WM_COMMAND && LOWORD(message->wParam) == IDCANCEL) ||
             message->message == WM_CLOSE) {
    session_.Cancelled();
  }
  return true;
}

void JobDialog::Refill(const std::vector<Job>& jobs)
{
  // What the user sees: the user's jobs, and those still being scanned.
  jobs_.clear();
  for (const Job& job : jobs)
    if (job.yours || !job.ready) jobs_.push_back(job);
}

void JobDialog::Append(const std::vector<Job>& jobs)
{
  for (const Job& job : jobs)
    if (job.yours || !job.ready) jobs_.push_back(job);
}

void JobDialog::GoOn()
{
  goOn = true;
}

void JobDialog::Enable(bool on)
{
  enabled_ = on;
  EnableWindow(window_, on ? TRUE : FALSE);
}

}  // namespace twainds

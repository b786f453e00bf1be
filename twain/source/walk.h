// The pending transfers: the pages of the chosen jobs, one TWAIN transfer
// each, job after job, as many as CAP_XFERCOUNT lets the application have.
// A job is walked on its own, so that the scanner deletes it (when the
// user's option says so) right after the application ended its last page
// with MSG_ENDXFER, and only when every page of it came over whole.
#pragma once

#include <string>
#include <vector>

#include "protocol/twain2.h"
#include "scanner/connection.h"

namespace twainds {

class Walk {
 public:
  explicit Walk(Connection& connection) : connection_(connection) {}

  // Starts over `jobs`, at most `count` transfers (-1: all). False when
  // none of them has a page to give.
  bool Start(const std::vector<Job>& jobs, int count);
  bool Active() const { return active_; }
  // Transfers still to come, the page at hand included.
  int Pending() const;

  const Job& CurrentJob() const { return jobs_[at_]; }
  int Page() const { return page_; }
  // The job's number in this walk, from 1 (DAT_IMAGELAYOUT's document).
  int JobNumber() const { return static_cast<int>(at_) + 1; }
  // The jobs of this walk, and the pages of the one at hand.
  int JobCount() const { return static_cast<int>(jobs_.size()); }
  int PagesInJob() const { return pagesInJob_; }

  // The page at hand described; asked of the scanner once per page.
  HRESULT Describe(TW_IMAGEINFO& info);
  // Prepares the page's transfer, after checking that the scanner's walk
  // stands where this one does.
  HRESULT Begin(Mechanism mechanism, short fileFormat);

  // The page at hand came over whole.
  void Transferred() { pageWhole_ = true; }
  // A transfer of the page failed or was cut short: its job is no longer
  // whole, and is not deleted.
  void Broken() { jobWhole_ = false; }
  // The page at hand came over cut to a frame: the rest of it did not, so
  // its job is not deleted either.
  void Cropped() { jobWhole_ = false; }

  // MSG_ENDXFER: the page at hand is done with (or skipped, when it did not
  // come over whole), and the walk goes on to the next page or job.
  // `jobEnded` says whether that page was its job's last.
  HRESULT End(bool& jobEnded);
  // Ends the walk where it stands: nothing more comes, nothing is deleted.
  void Stop();

 private:
  bool SelectFrom(size_t index);

  Connection& connection_;
  std::vector<Job> jobs_;
  size_t at_ = 0;
  int page_ = 1;
  int pagesInJob_ = 0;
  int count_ = -1;  // transfers the application still takes; -1 all
  bool active_ = false;
  bool pageWhole_ = false, jobWhole_ = true;
  bool described_ = false;
  ImageInfoBytes info_ = {};
};

}  // namespace twainds

// The one commit step of a job, the same for `pull` and `watch --pull`:
//   1. its files, written and flushed under temporary names (the job's
//      output), take their names: one copy number for all of them, each
//      renamed with write-through and never over a file that is there;
//   2. the job enters the folder's list of pulled jobs (written the same
//      way), as still to be deleted when it is to be;
//   3. once the walk is over, the folder is flushed (so that the names the
//      files and the list took are on the disk), and the jobs to be deleted
//      are deleted on the scanner, one by one;
//   4. the scanner's list is read again, and each deletion is confirmed.
// A job whose files are not all on the disk, or that is not in the list, is
// never deleted. A deletion that did not happen is reported with the job and
// the reason and stays in the list as "pulled, deletion pending", for the
// next sweep or pull to try again.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "console/options.h"
#include "files/folder.h"
#include "job/job.h"
#include "job/pulled_jobs.h"
#include "job/walk.h"
#include "server/connection.h"

namespace stiscan {

class JobCommit {
 public:
  // `list`: the folder's list of pulled jobs (read by the caller), which the
  // commit step keeps; null when there is none to keep (a pull that does
  // not delete). `deleting`: --delete.
  JobCommit(const Options& options, const Folder& folder, PulledJobs* list, bool deleting);

  // Steps 1 and 2, for a job whose last page has come, with its files. The
  // job is then pulled, or failed (reported, its files removed). A job
  // whose files took their names but that could not enter the list keeps
  // its files, is reported and is not deleted.
  void Commit(Job& job, std::vector<TemporaryFile>& files);

  // Steps 3 and 4 on `c` for the jobs among `jobs` whose deletion is
  // pending: those committed, and those known from the list. Each deletion
  // is reported when it did not happen. Returns S_OK, or the HRESULT of a
  // server that is gone (the deletions not confirmed then stay pending).
  // The jobs' indices are those of `c`'s list before; they are stale after.
  HRESULT Delete(Connection& c, std::vector<Job>& jobs);
  // The deletions pending among `jobs` cannot be tried (`why`): each is
  // reported, and stays pending.
  void CannotDelete(std::vector<Job>& jobs, const std::string& why);

  // Whether every job committed entered the list (or there is none to keep).
  bool ListKept() const { return listKept_; }
  // Says what befell a job's deletion once only (a watch tries again at
  // every sweep): the keys of the jobs already told of go into `said`.
  void SayOnce(std::set<std::string>* said) { said_ = said; }

 private:
  bool WriteList(std::string& failure);
  void Say(const Job& job, const std::string& what);

  const Options& options_;
  const Folder& folder_;
  PulledJobs* list_;
  bool deleting_;
  bool listKept_ = true;
  std::set<std::string>* said_ = nullptr;
};

// The folder's list held to what the scanner lists now, when `listing` is
// complete: the entries of jobs it lists no longer forgotten
// (PulledJobs::Forget), and, for a pull or watch that deletes, the pending
// deletions it no longer matches by one exact key dropped, each with a note
// (PulledJobs::DropUnsure), but those of `keep` (a watch's own, pulled
// again once already). Whether the list changed (and is to be written).
bool Reconcile(PulledJobs& list, const Listing& listing, bool deleting,
               const std::set<std::string>& keep = {});

}  // namespace stiscan

#include "job/commit.h"

#include <set>

#include "console/messages.h"
#include "console/output.h"
#include "console/text.h"
#include "job/walk.h"

namespace stiscan {

namespace {

std::string Described(const FileFailure& failure)
{
  return failure.what + ": " + DescribeHresult(HRESULT_FROM_WIN32(failure.error), Source::kSystem);
}

std::string Names(const std::vector<Job*>& jobs)
{
  std::string names;
  for (const Job* job : jobs) names += (names.empty() ? "" : ", ") + Quoted(Narrow(job->name));
  return names;
}

}  // namespace

JobCommit::JobCommit(const Options& options, const Folder& folder, PulledJobs* list, bool deleting)
    : options_(options), folder_(folder), list_(list), deleting_(deleting)
{
}

bool JobCommit::WriteList(std::string& failure)
{
  if (list_ == nullptr) return true;
  FileFailure written;
  if (folder_.ReplaceOwn(kPulledJobsFile, list_->Text(), written)) return true;
  failure = Described(written);
  return false;
}

void JobCommit::Commit(Job& job, std::vector<TemporaryFile>& files)
{
  // 1. The files take their names, all with one copy number.
  std::vector<NamedFile> named;
  FileFailure failure;
  if (!folder_.Name(job.name, files, named, failure)) {
    size_t removed = 0;
    for (const TemporaryFile& file : files) {
      FileFailure notRemoved;
      removed += Folder::Remove(file.path, notRemoved) ? 1 : 0;
    }
    job.state = Job::State::kFailed;
    job.pages = 0;
    Note("job " + Quoted(Narrow(job.name)) + ": " + Described(failure) +
         Format("; its %zu file%s already written %s removed", removed, removed == 1 ? "" : "s",
                removed == 1 ? "was" : "were"));
    return;
  }
  job.files = named;
  job.state = Job::State::kPulled;
  if (!options_.json && !OutIsConsole())
    for (const NamedFile& file : named)
      Out("job: " + Printable(Narrow(job.name)) + " -> " + Printable(file.shown) +
          Format(" (%lld bytes)\n", file.bytes));

  // 2. The job enters the list, on the disk before any deletion.
  if (list_ == nullptr) return;
  list_->Add(job.identity, deleting_);
  std::string why;
  if (!WriteList(why)) {
    // Its files are whole and on the disk, and stay; but nothing on the
    // disk records them, so the job is not deleted, now or later.
    list_->Add(job.identity, false);
    listKept_ = false;
    Note("job " + Quoted(Narrow(job.name)) + ": pulled, but " + why +
         (deleting_ ? "; it is not deleted from the scanner" : ""));
    return;
  }
  if (deleting_) job.deletion = Job::Deletion::kPending;
}

void JobCommit::Say(const Job& job, const std::string& what)
{
  if (said_ != nullptr && !said_->insert(PulledJobs::Key(job.identity)).second) return;
  Note("job " + Quoted(Narrow(job.name)) + ": " + what);
}

void JobCommit::CannotDelete(std::vector<Job>& jobs, const std::string& why)
{
  for (const Job& job : jobs)
    if (job.deletion == Job::Deletion::kPending)
      Say(job, "not deleted from the scanner: " + why + "; it stays in " +
                   std::string(kPulledJobsFile) +
                   " as pulled, deletion pending, and is tried again by the next sweep or pull "
                   "--delete");
}

HRESULT JobCommit::Delete(Connection& c, std::vector<Job>& jobs)
{
  std::vector<Job*> pending;
  for (Job& job : jobs)
    if (job.deletion == Job::Deletion::kPending) pending.push_back(&job);
  if (pending.empty()) return S_OK;

  // As a data source does: only when the user's delete-after-scan option is
  // on. An option the server does not give (S_FALSE, nothing written: it
  // could not open the user's settings) is not known, which is not off.
  int on = -1;
  HRESULT hr = c->GetDeleteImageOnScan(&on);
  if (ServerGone(hr)) {
    CannotDelete(jobs, "the scanner server was lost (" + DescribeHresult(hr) + ")");
    return hr;
  }
  if (on != 0 && on != 1) {
    CannotDelete(jobs, "your delete-after-scan option could not be read (" +
                           (hr == S_FALSE ? std::string("the server answered S_FALSE without it: "
                                                        "your settings' key was not to be opened")
                                          : DescribeHresult(hr)) +
                           ")");
    return S_OK;
  }
  std::string why;
  if (on == 0) {
    for (Job* job : pending) {
      job->deletion = Job::Deletion::kOptionOff;
      if (list_ != nullptr) list_->Deleted(job->identity);
    }
    Note((pending.size() == 1 ? "the job " : "the jobs ") + Names(pending) +
         (pending.size() == 1 ? " is" : " are") +
         " not deleted from the scanner: your delete-after-scan option is off");
    if (!WriteList(why)) {
      listKept_ = false;
      Note(why);
    }
    return S_OK;
  }

  // The names the files took, and the list's, reach the disk first.
  std::vector<std::wstring> renamed = {folder_.PathOf(kPulledJobsFile)};
  for (const Job* job : pending)
    for (const NamedFile& file : job->files) renamed.push_back(file.path);
  FileFailure notFlushed;
  if (!folder_.Flush(renamed, notFlushed)) {
    CannotDelete(jobs, Described(notFlushed));
    return S_OK;
  }

  // 3. Each job deleted on its own, so that each has its own result.
  std::vector<HRESULT> results(pending.size(), S_OK);
  for (size_t i = 0; i < pending.size(); ++i) {
    if (pending[i]->index < 0) continue;  // the scanner lists it no longer
    results[i] = c->DeleteItem(pending[i]->index);
    if (ServerGone(results[i])) {
      CannotDelete(jobs, "the scanner server was lost (" + DescribeHresult(results[i]) + ")");
      return results[i];
    }
  }

  // 4. The scanner's list, read again, says which are gone.
  for (Job& job : jobs) job.index = -1;
  hr = c.Refresh();
  if (FAILED(hr)) {
    CannotDelete(jobs, "the scanner's list could not be read again to confirm it (" +
                           DescribeHresult(hr) + ")");
    return ServerGone(hr) ? hr : S_OK;
  }
  std::set<std::string> listed;
  bool complete = true;
  for (int index = 0; index < c.JobCount(); ++index) {
    std::wstring name;
    if (c.ItemName(index, name))
      listed.insert(PulledJobs::Key(IdentityOf(c, index, name)));
    else
      complete = false;
  }
  c->SetPagesRemaining(0);
  for (size_t i = 0; i < pending.size(); ++i) {
    Job& job = *pending[i];
    const bool stays = listed.count(PulledJobs::Key(job.identity)) != 0;
    if (!stays && complete) {
      job.deletion = Job::Deletion::kDone;
      if (list_ != nullptr) list_->Deleted(job.identity);
      continue;
    }
    const std::string reason =
        FAILED(results[i]) ? DescribeHresult(results[i])
        : stays            ? std::string("the scanner still lists it")
                : std::string("the scanner's list could not be read whole to confirm it");
    std::vector<Job> one = {job};
    CannotDelete(one, reason);
  }
  if (!WriteList(why)) {
    listKept_ = false;
    Note(why);
  }
  return S_OK;
}

bool Reconcile(PulledJobs& list, const Listing& listing, bool deleting,
               const std::set<std::string>& keep)
{
  if (!listing.complete) return false;
  bool changed = list.Forget(listing.jobs);
  if (!deleting) return changed;
  for (const std::string& name : list.DropUnsure(listing.jobs, keep)) {
    Note("job " + Quoted(name) +
         ": its deletion pending is given up: the scanner stores no time for it, or more than "
         "one job of its name and time, so the job it lists may be another; it is pulled "
         "again instead");
    changed = true;
  }
  return changed;
}

}  // namespace stiscan

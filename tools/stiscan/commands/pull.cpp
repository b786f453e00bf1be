// pull: the stored jobs chosen, walked page by page and written as documents
// into a folder, each through the one commit step (job/commit.h); a server
// that dies on the way is replaced by a new one, which the walk goes on
// with. With --delete the folder's list of pulled jobs is kept, and the jobs
// are deleted on the scanner once all is on the disk. The exit code says
// whether every job came over and every deletion happened.
#include <memory>

#include "commands/commands.h"
#include "console/json.h"
#include "console/output.h"
#include "console/text.h"
#include "files/folder_lock.h"
#include "job/commit.h"
#include "job/walk.h"

namespace stiscan {

namespace {

// How many times one pull starts over with a new server after its server
// died: a driver that takes its server down on every job must not keep the
// pull going for ever.
constexpr int kMostRestarts = 2;

std::string JsonNames(const std::vector<const Job*>& jobs)
{
  std::string json = "[";
  for (size_t i = 0; i < jobs.size(); ++i)
    json += (i == 0 ? "" : ", ") + JsonString(Narrow(jobs[i]->name));
  return json + "]";
}

std::string Counted(size_t count, const char* one, const char* many)
{
  return Format("%zu %s", count, count == 1 ? one : many);
}

}  // namespace

int Pull(const Options& options)
{
  ComScope com;
  auto c = std::make_unique<Connection>();
  if (int code = c->OpenJobs(options)) return code;
  std::vector<Job> jobs;
  Listing listing;
  if (int code = ChooseJobs(*c, options, jobs, &listing)) return code;
  if (jobs.empty()) {
    Out("No job you may access is stored on " + Quoted(Narrow(c->DeviceName())) + ".\n");
    return kExitSuccess;
  }
  Folder folder;
  FileFailure folderFailure;
  if (!folder.Open(options.out, folderFailure))
    return Fail(folderFailure.what, HRESULT_FROM_WIN32(folderFailure.error), Source::kSystem);

  // With --delete, the folder's list of pulled jobs records what each
  // deletion rests on, and holds the deletions still pending from before:
  // those jobs are deleted now rather than pulled again.
  FolderLock lock;
  PulledJobs list;
  bool listKept = true;
  if (options.deleteAfter) {
    std::string holder;
    switch (lock.Take(folder, "stiscan pull --delete", holder, folderFailure)) {
      case FolderLock::Outcome::kTaken:
        break;
      case FolderLock::Outcome::kHeld:
        return Fail("the folder " + Quoted(options.out) + " is in use by another stiscan (" +
                        Printable(holder) + "), which keeps its list of pulled jobs",
                    kExitNoDevice);
      case FolderLock::Outcome::kFailed:
        return Fail(folderFailure.what, HRESULT_FROM_WIN32(folderFailure.error), Source::kSystem);
    }
    folder.RemoveLeftovers();
    std::string text;
    if (!folder.ReadOwn(kPulledJobsFile, text, folderFailure))
      return Fail(folderFailure.what, HRESULT_FROM_WIN32(folderFailure.error), Source::kSystem);
    if (!list.Read(text))
      return Fail("the file " + Quoted(folder.Shown(kPulledJobsFile)) +
                      " is not stiscan's list of pulled jobs; move it away",
                  kExitFailure);
    if (Reconcile(list, listing, true)) {
      FileFailure written;
      if (!folder.ReplaceOwn(kPulledJobsFile, list.Text(), written)) {
        Fail(written.what, HRESULT_FROM_WIN32(written.error), Source::kSystem);
        listKept = false;
      }
    }
    // A job whose deletion is pending is deleted rather than pulled again;
    // one the scanner's whole list could not be read to tell from another
    // is left as it is.
    for (Job& job : jobs) {
      if (!list.DeletionPending(job.identity)) continue;
      if (!listing.complete || !PulledJobs::Unique(job.identity, listing.jobs)) {
        job.state = Job::State::kNotReady;
        job.notReady =
            "its deletion is pending, and the scanner's list, which could not be read whole, does "
            "not tell it from every other job";
        continue;
      }
      job.state = Job::State::kKnown;
      job.deletion = Job::Deletion::kPending;
    }
  }
  for (const Job& job : jobs)
    if (job.state == Job::State::kNotReady)
      Note("job " + Quoted(Narrow(job.name)) + ": not pulled: " + job.notReady);

  // Ctrl+C ends the pull at its next read: the job it was in leaves no file.
  JobOutput output(options, folder);
  Puller puller(options, output, StopEvent());
  JobCommit commit(options, folder, options.deleteAfter ? &list : nullptr, options.deleteAfter);
  puller.OnEnded([&](Job& job, std::vector<TemporaryFile>& files) { commit.Commit(job, files); });
  const double started = Seconds();
  for (int restarts = 0;; ++restarts) {
    const HRESULT gone = puller.Walk(*c, jobs);
    if (gone == S_OK) break;
    if (gone == kPullInterrupted) {
      for (Job& job : jobs)
        if (job.state == Job::State::kWaiting)
          puller.FailJob(job, 0, ScannerFailure("not attempted, the pull was stopped", S_OK));
      break;
    }
    c->Abandon();
    c.reset();
    std::vector<Job*> waiting;
    bool deletions = false;
    for (Job& job : jobs) {
      if (job.state == Job::State::kWaiting) waiting.push_back(&job);
      deletions = deletions || job.deletion == Job::Deletion::kPending;
    }
    if (waiting.empty() && !deletions) break;
    if (restarts == kMostRestarts) {
      for (Job* job : waiting)
        puller.FailJob(*job, 0,
                       ScannerFailure(Format("not attempted, the scanner server having ended %d "
                                             "times in this pull",
                                             kMostRestarts + 1),
                                      S_OK));
      break;
    }
    auto fresh = std::make_unique<Connection>();
    if (fresh->OpenJobs(options) != 0) {
      for (Job* job : waiting)
        puller.FailJob(*job, 0,
                       ScannerFailure("not attempted, no new scanner server being reached", S_OK));
      break;
    }
    c = std::move(fresh);
    FindAgain(*c, jobs, puller);
  }
  const double seconds = Seconds() - started;
  if (options.deleteAfter) {
    if (c != nullptr)
      commit.Delete(*c, jobs);
    else
      commit.CannotDelete(jobs, "the scanner server was lost and no new one was reached");
  }

  std::vector<const Job*> failed, notReady, pending;
  size_t pulled = 0, deleted = 0;
  int pages = 0;
  long long bytes = 0;
  for (const Job& job : jobs) {
    if (job.state == Job::State::kFailed) failed.push_back(&job);
    if (job.state == Job::State::kNotReady) notReady.push_back(&job);
    if (job.deletion == Job::Deletion::kPending) pending.push_back(&job);
    if (job.deletion == Job::Deletion::kDone) ++deleted;
    if (job.state != Job::State::kPulled) continue;
    ++pulled;
    pages += job.pages;
    for (const NamedFile& file : job.files) bytes += file.bytes;
  }
  const int exitCode =
      failed.empty() && notReady.empty() && pending.empty() && commit.ListKept() && listKept
          ? kExitSuccess
          : kExitTransferFailed;

  if (puller.Terminal()) Out("\n");
  if (options.json) {
    std::string json = Format("{\"pages\": %d, \"bytes\": %lld, \"seconds\": %.3f, \"reads\": %lld",
                              pages, bytes, seconds, puller.Reads());
    json +=
        ", \"format\": " + JsonString(options.format) + ", \"times\": {" + puller.TimesJson() + "}";
    json += Format(", \"jobs\": %zu, \"failed\": %zu, \"notReady\": %zu, \"deleted\": %zu", pulled,
                   failed.size(), notReady.size(), deleted);
    json += ", \"files\": [";
    bool first = true;
    for (const Job& job : jobs) {
      if (job.state != Job::State::kPulled) continue;
      for (const NamedFile& file : job.files) {
        json += (first ? "" : ", ") + JsonString(file.shown);
        first = false;
      }
    }
    json += "], \"failedJobs\": " + JsonNames(failed) +
            ", \"notReadyJobs\": " + JsonNames(notReady) +
            ", \"deletionPending\": " + JsonNames(pending);
    Out(json + "}\n");
  } else {
    const double megabytes = static_cast<double>(bytes) / (1024.0 * 1024.0);
    std::string summary =
        Format("Pulled %d page%s of %zu job%s (%.2f MB) in %.2f s, %.2f MB/s, into ", pages,
               pages == 1 ? "" : "s", pulled, pulled == 1 ? "" : "s", megabytes, seconds,
               seconds > 0 ? megabytes / seconds : 0.0) +
        Printable(options.out);
    if (deleted > 0) summary += "; " + Counted(deleted, "job", "jobs") + " deleted";
    if (!failed.empty()) summary += "; " + Counted(failed.size(), "job", "jobs") + " failed";
    if (!notReady.empty()) summary += "; " + Counted(notReady.size(), "job", "jobs") + " not ready";
    if (!pending.empty())
      summary += "; " + Counted(pending.size(), "deletion", "deletions") + " pending";
    Out(summary + ".\n");
  }
  return exitCode;
}

}  // namespace stiscan

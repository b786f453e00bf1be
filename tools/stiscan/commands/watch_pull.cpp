// watch --pull: a scan-to-folder. Every job of the user's that the scanner
// stores is pulled into the folder once: those there at the start, then each
// as the scanner signals "JobEnded"; each through the one commit step
// (job/commit.h). What was pulled is kept in the folder's list
// (job/pulled_jobs.h), so that a watch started again pulls nothing twice and
// tries again the deletions that did not happen. One watch per folder (its
// lock file). A server that ends or dies is reached again; Ctrl+C or the end
// of --seconds end the watch at a point where no file is half written.
#include <windows.h>

#include <map>
#include <memory>
#include <set>

#include "commands/commands.h"
#include "console/output.h"
#include "console/text.h"
#include "files/folder_lock.h"
#include "job/commit.h"
#include "job/pulled_jobs.h"
#include "job/walk.h"

namespace stiscan {

namespace {

// How often an idle watch looks for new jobs by itself, and how long it
// waits before it tries to reach a server again.
constexpr DWORD kHeartbeatMs = 2000;
constexpr DWORD kReconnectMs = 5000;

// What Serve answers when the watch cannot go on (its exit code is set).
constexpr HRESULT kCannotWatch = E_UNEXPECTED;

// How many servers may end during one job before the watch gives it up: a
// driver that takes its server down on a job must not do so for ever.
constexpr int kMostServersLost = 3;

class FolderWatch {
 public:
  FolderWatch(const Options& options, Folder& folder, PulledJobs& pulled)
      : options_(options), folder_(folder), pulled_(pulled), stop_(StopEvent())
  {
    deadline_ = options.secondsGiven
                    ? GetTickCount64() + 1000ull * static_cast<ULONGLONG>(options.seconds)
                    : ~0ull;
  }

  // Until Ctrl+C or the deadline; the exit code.
  int Run()
  {
    ComScope com;
    for (bool first = true; !Over(); first = false) {
      auto c = std::make_unique<Connection>();
      if (const int code = c->OpenJobs(options_)) {
        // What no second try changes (no such scanner, a server not
        // registered) ends the watch at once.
        if (first || code == kExitUsage || code == kExitNoDevice) return code;
        Note("the scanner server is not to be reached; the watch tries again in " +
             Format("%lu s", kReconnectMs / 1000));
        Wait(nullptr, kReconnectMs);
        continue;
      }
      if (first)
        Out("Pulling every job of yours on " + Quoted(Narrow(c->DeviceName())) + " into " +
            Quoted(options_.out) + " as it ends, " +
            (options_.secondsGiven ? Format("for %d seconds", options_.seconds)
                                   : std::string("until Ctrl+C")) +
            ".\n");
      const HRESULT hr = Serve(*c);
      if (hr == kCannotWatch) return exitCode_;
      if (hr == kPullInterrupted) break;
      if (ServerGone(hr)) {
        c->Abandon();
        Note("the scanner server ended (" + DescribeHresult(hr) + "); the watch reaches it again");
      }
    }
    const size_t pending = pulled_.Pending();
    std::string summary = Format("Pulled %d job%s (%d page%s) into ", jobs_, jobs_ == 1 ? "" : "s",
                                 pages_, pages_ == 1 ? "" : "s") +
                          Printable(options_.out);
    if (!failed_.empty())
      summary += Format("; %zu job%s failed", failed_.size(), failed_.size() == 1 ? "" : "s");
    if (!notReady_.empty())
      summary +=
          Format("; %zu job%s not ready", notReady_.size(), notReady_.size() == 1 ? "" : "s");
    if (pending > 0)
      summary += Format("; %zu deletion%s pending", pending, pending == 1 ? "" : "s");
    Out(summary + ".\n");
    return failed_.empty() && pending == 0 && listKept_ ? kExitSuccess : kExitTransferFailed;
  }

 private:
  bool Over() const
  {
    return WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0 || GetTickCount64() >= deadline_;
  }

  // Waits for `event` (or none), the stop event, the deadline or `most` ms;
  // whether `event` came.
  bool Wait(HANDLE event, DWORD most)
  {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline_) return false;
    const DWORD ms = deadline_ - now < most ? static_cast<DWORD>(deadline_ - now) : most;
    HANDLE handles[2] = {stop_, event};
    return WaitForMultipleObjects(event != nullptr ? 2 : 1, handles, FALSE, ms) ==
           WAIT_OBJECT_0 + 1;
  }

  // Pulls what is new on `c`, then again at every "JobEnded", until the
  // watch is over (kPullInterrupted), cannot go on (kCannotWatch, its exit
  // code set) or the server is gone (its HRESULT).
  HRESULT Serve(Connection& c)
  {
    HRESULT hr = c->RegisterEvents();
    if (ServerGone(hr)) return hr;
    if (FAILED(hr)) {
      exitCode_ = Fail("the scanner's signals could not be registered; the watch cannot watch", hr);
      return kCannotWatch;
    }
    // The server made the named event; this process waits on it itself.
    HANDLE jobEnded = OpenEventW(SYNCHRONIZE, FALSE, L"JobEnded");
    if (jobEnded == nullptr) {
      exitCode_ =
          Fail("the scanner's \"JobEnded\" event could not be opened; the watch cannot watch",
               HRESULT_FROM_WIN32(GetLastError()));
      c->UnregisterEvents();
      return kCannotWatch;
    }
    // "JobEnded" resets as one waiter wakes, and every program of the
    // machine that registered for it waits on the same event: a data source
    // may take the signal. So the watch also looks for itself every few
    // seconds (the refresh tells too whether the server is still there).
    for (hr = Sweep(c); SUCCEEDED(hr) && !Over();) {
      Wait(jobEnded, kHeartbeatMs);
      if (!Over()) hr = Sweep(c);
    }
    CloseHandle(jobEnded);
    if (SUCCEEDED(hr) || hr == kPullInterrupted) c->UnregisterEvents();
    return Over() && !ServerGone(hr) ? kPullInterrupted : hr;
  }

  bool WriteList()
  {
    FileFailure failure;
    if (folder_.ReplaceOwn(kPulledJobsFile, pulled_.Text(), failure)) return true;
    Fail(failure.what, HRESULT_FROM_WIN32(failure.error), Source::kSystem);
    return false;
  }

  // The jobs of the user's that are neither pulled nor failed in this
  // watch, pulled; the deletions pending, tried.
  HRESULT Sweep(Connection& c)
  {
    HRESULT hr = c.Refresh();
    if (FAILED(hr)) return ServerGone(hr) ? hr : S_OK;
    std::vector<Job> found, jobs;
    Listing listing;
    if (ChooseJobs(c, options_, found, &listing) != 0) return S_OK;
    // A pending deletion that the scanner's list does not tie to one job is
    // given up and its job pulled again, but once in a watch: the entry of a
    // job this watch pulled is kept, and its job neither pulled nor deleted
    // again (a deletion refused would have it pulled at every sweep).
    if (Reconcile(pulled_, listing, options_.deleteAfter, pulledHere_))
      listKept_ = WriteList() && listKept_;
    for (Job& job : found) {
      const std::string key = PulledJobs::Key(job.identity);
      if (pulled_.Contains(job.identity)) {
        // Pulled before: only its deletion may be left to do, when the
        // scanner's whole list ties it to this one job.
        if (!options_.deleteAfter || !pulled_.DeletionPending(job.identity)) continue;
        if (!listing.complete || !PulledJobs::Unique(job.identity, listing.jobs)) {
          if (listing.complete && said_.insert(key).second)
            Note("job " + Quoted(Narrow(job.name)) +
                 ": not deleted from the scanner: the scanner stores no time for it, or more "
                 "than one job of its name and time, so the job it lists may be another; it "
                 "stays in the folder's list as pulled, deletion pending");
          continue;
        }
        job.state = Job::State::kKnown;
        job.deletion = Job::Deletion::kPending;
      } else if (failed_.count(key) != 0) {
        continue;
      } else if (job.state == Job::State::kNotReady) {
        if (notReady_.insert(key).second)
          Note("job " + Quoted(Narrow(job.name)) + ": not pulled yet: " + job.notReady);
        continue;
      }
      notReady_.erase(key);
      jobs.push_back(job);
    }
    if (jobs.empty()) return S_OK;
    JobOutput output(options_, folder_);
    Puller puller(options_, output, stop_);
    JobCommit commit(options_, folder_, &pulled_, options_.deleteAfter);
    commit.SayOnce(&said_);
    puller.OnEnded([&](Job& job, std::vector<TemporaryFile>& files) {
      commit.Commit(job, files);
      if (job.state != Job::State::kPulled) return;
      ++jobs_;
      pages_ += job.pages;
      pulledHere_.insert(PulledJobs::Key(job.identity));
    });
    hr = puller.Walk(c, jobs);
    for (const Job& job : jobs) {
      const std::string key = PulledJobs::Key(job.identity);
      if (job.state == Job::State::kNotReady) notReady_.insert(key);
      if (job.state != Job::State::kFailed || hr == kPullInterrupted) continue;
      // A job cut short by its server's end is tried again with the next
      // server, unless its servers end with it every time.
      if (!ServerGone(hr) || ++lostWith_[key] >= kMostServersLost) failed_.insert(key);
    }
    listKept_ = listKept_ && commit.ListKept();
    // What came over whole is deleted now, also when the watch was stopped
    // meanwhile: its files are on the disk.
    if (options_.deleteAfter) {
      if (ServerGone(hr)) {
        commit.CannotDelete(jobs, "the scanner server was lost (" + DescribeHresult(hr) + ")");
      } else {
        const HRESULT deleted = commit.Delete(c, jobs);
        if (ServerGone(deleted)) return deleted;
      }
    }
    return hr;
  }

  const Options& options_;
  Folder& folder_;
  PulledJobs& pulled_;
  HANDLE stop_;
  ULONGLONG deadline_;
  std::set<std::string> failed_;         // keys of the jobs that failed in this watch
  std::set<std::string> notReady_;       // and of those not ready, told once
  std::set<std::string> said_;           // and of those whose deletion was told of
  std::set<std::string> pulledHere_;     // and of those pulled in this watch
  std::map<std::string, int> lostWith_;  // how often a job's server ended during it
  int jobs_ = 0, pages_ = 0;
  bool listKept_ = true;
  int exitCode_ = kExitFailure;
};

}  // namespace

int WatchAndPull(const Options& options)
{
  Folder folder;
  FileFailure failure;
  if (!folder.Open(options.out, failure))
    return Fail(failure.what, HRESULT_FROM_WIN32(failure.error), Source::kSystem);
  // One watch per folder: a second one would pull every job again and
  // write over the first one's list.
  FolderLock lock;
  std::string holder;
  switch (lock.Take(folder, "stiscan watch --pull", holder, failure)) {
    case FolderLock::Outcome::kTaken:
      break;
    case FolderLock::Outcome::kHeld:
      return Fail("the folder " + Quoted(options.out) + " is watched by another stiscan (" +
                      Printable(holder) + "); one watch per folder",
                  kExitNoDevice);
    case FolderLock::Outcome::kFailed:
      return Fail(failure.what, HRESULT_FROM_WIN32(failure.error), Source::kSystem);
  }
  folder.RemoveLeftovers();
  std::string text;
  if (!folder.ReadOwn(kPulledJobsFile, text, failure))
    return Fail(failure.what, HRESULT_FROM_WIN32(failure.error), Source::kSystem);
  PulledJobs pulled;
  if (!pulled.Read(text))
    return Fail("the file " + Quoted(folder.Shown(kPulledJobsFile)) +
                    " is not stiscan's list of pulled jobs; move it away",
                kExitFailure);
  return FolderWatch(options, folder, pulled).Run();
}

}  // namespace stiscan

// watch --pull: a scan-to-folder. Every job of the user's that the scanner
// stores is pulled into the folder once: those there at the start, then each
// as the scanner signals "JobEnded". What was pulled is kept in the folder
// (pulled_jobs.h), so that a watch started again pulls nothing twice. A
// server that ends or dies is reached again; Ctrl+C or the end of --seconds
// end the watch at a point where no file is half written.
#include <windows.h>

#include <memory>
#include <set>

#include "commands/commands.h"
#include "console/output.h"
#include "console/text.h"
#include "job/pulled_jobs.h"
#include "job/walk.h"

namespace stiscan {

namespace {

// How often an idle watch looks for new jobs by itself, and how long it
// waits before it tries to reach a server again.
constexpr DWORD kHeartbeatMs = 2000;
constexpr DWORD kReconnectMs = 5000;

class FolderWatch {
 public:
  FolderWatch(const Options& options, PageFolder& folder, PulledJobs& pulled)
      : options_(options), folder_(folder), pulled_(pulled), stop_(StopEvent())
  {
    deadline_ = options.secondsGiven
                    ? GetTickCount64() + 1000ull * static_cast<ULONGLONG>(options.seconds)
                    : ~0ull;
  }

  // Until Ctrl+C or the deadline; the exit code.
  int Run()
  {
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
      if (hr == kPullInterrupted) break;
      if (ServerGone(hr)) {
        c->Abandon();
        Note("the scanner server ended (" + DescribeHresult(hr) + "); the watch reaches it again");
      }
    }
    Out(Format("Pulled %d job%s (%d page%s) into ", jobs_, jobs_ == 1 ? "" : "s", pages_,
               pages_ == 1 ? "" : "s") +
        Printable(options_.out) +
        (failed_.empty() ? std::string(".\n")
                         : Format("; %zu job%s failed.\n", failed_.size(),
                                  failed_.size() == 1 ? "" : "s")));
    return failed_.empty() && stateWritten_ ? kExitSuccess : kExitTransferFailed;
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
  // watch is over (S_OK or kPullInterrupted) or the server is gone (its
  // HRESULT).
  HRESULT Serve(Connection& c)
  {
    HRESULT hr = c->RegisterEvents();
    if (ServerGone(hr)) return hr;
    if (FAILED(hr)) {
      Fail("the scanner's signals could not be registered", hr);
      return kPullInterrupted;
    }
    // The server made the named event; this process waits on it itself.
    HANDLE jobEnded = OpenEventW(SYNCHRONIZE, FALSE, L"JobEnded");
    if (jobEnded == nullptr) {
      Fail("the scanner's \"JobEnded\" event could not be opened",
           HRESULT_FROM_WIN32(GetLastError()));
      return kPullInterrupted;
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
    if (SUCCEEDED(hr)) c->UnregisterEvents();
    return Over() && !ServerGone(hr) ? kPullInterrupted : hr;
  }

  // The jobs of the user's that are neither pulled nor failed in this
  // watch, pulled.
  HRESULT Sweep(Connection& c)
  {
    HRESULT hr = c.Refresh();
    if (FAILED(hr)) return ServerGone(hr) ? hr : S_OK;
    std::vector<Job> found, jobs;
    if (ChooseJobs(c, options_, found) != 0) return S_OK;
    std::vector<std::string> keys;
    for (Job& job : found) {
      job.time = JobTime(c, job.index);
      const std::string key = PulledJobs::Key(Narrow(job.name), job.time);
      if (pulled_.Contains(key) || failed_.count(key) != 0) continue;
      jobs.push_back(job);
    }
    if (jobs.empty()) return S_OK;
    Puller puller(options_, folder_, stop_);
    puller.OnPulled([this](const Job& job) {
      // Kept at once: a watch that ends right after still knows it.
      pulled_.Add(PulledJobs::Key(Narrow(job.name), job.time));
      FileFailure failure;
      stateWritten_ = folder_.ReplaceOwn(kPulledJobsFile, pulled_.Text(), failure);
      if (!stateWritten_)
        Fail(failure.what, HRESULT_FROM_WIN32(failure.error), Source::kSystem);
      ++jobs_;
    });
    hr = puller.Walk(c, jobs);
    pages_ += puller.Pages();
    for (const Job& job : jobs)
      if (job.state == Job::State::kFailed && hr != kPullInterrupted)
        failed_.insert(PulledJobs::Key(Narrow(job.name), job.time));
    if (options_.deleteAfter && SUCCEEDED(hr)) {
      const HRESULT deleted = DeletePulled(c, jobs);
      if (FAILED(deleted))
        Fail("the jobs that came over could not be deleted from the scanner", deleted);
      if (ServerGone(deleted)) return deleted;
    }
    return hr;
  }

  const Options& options_;
  PageFolder& folder_;
  PulledJobs& pulled_;
  HANDLE stop_;
  ULONGLONG deadline_;
  std::set<std::string> failed_;  // keys of the jobs that failed in this watch
  int jobs_ = 0, pages_ = 0;
  bool stateWritten_ = true;
};

}  // namespace

int WatchAndPull(const Options& options)
{
  PageFolder folder;
  FileFailure failure;
  if (!folder.Open(options.out, failure))
    return Fail(failure.what, HRESULT_FROM_WIN32(failure.error), Source::kSystem);
  std::string text;
  if (!folder.ReadOwn(kPulledJobsFile, text, failure))
    return Fail(failure.what, HRESULT_FROM_WIN32(failure.error), Source::kSystem);
  PulledJobs pulled;
  if (!pulled.Read(text))
    return Fail("the file " + Quoted(std::string(kPulledJobsFile)) + " in " +
                    Quoted(options.out) + " is not stiscan's list of pulled jobs; move it away",
                kExitFailure);
  return FolderWatch(options, folder, pulled).Run();
}

}  // namespace stiscan

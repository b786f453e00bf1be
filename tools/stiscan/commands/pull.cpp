// pull: the stored jobs chosen, walked page by page and written as documents
// into a folder; a server that dies on the way is replaced by a new one,
// which the walk goes on with. The exit code says whether every job came over.
#include <memory>

#include "commands/commands.h"
#include "console/json.h"
#include "console/output.h"
#include "console/text.h"
#include "job/walk.h"

namespace stiscan {

namespace {

// How many times one pull starts over with a new server after its server
// died: a driver that takes its server down on every job must not keep the
// pull going for ever.
constexpr int kMostRestarts = 2;

}  // namespace

int Pull(const Options& options)
{
  auto c = std::make_unique<Connection>();
  if (int code = c->OpenJobs(options)) return code;
  std::vector<Job> jobs;
  if (int code = ChooseJobs(*c, options, jobs)) return code;
  if (jobs.empty()) {
    Out("No job you may access is stored on " + Quoted(Narrow(c->DeviceName())) + ".\n");
    return kExitSuccess;
  }
  PageFolder folder;
  FileFailure folderFailure;
  if (!folder.Open(options.out, folderFailure)) {
    Fail(folderFailure.what, HRESULT_FROM_WIN32(folderFailure.error), Source::kSystem);
    return kExitFailure;
  }

  // Ctrl+C ends the pull at its next read: the job it was in leaves no file.
  Puller puller(options, folder, StopEvent());
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
    for (Job& job : jobs)
      if (job.state == Job::State::kWaiting) waiting.push_back(&job);
    if (waiting.empty() && !options.deleteAfter) break;
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

  int exitCode = kExitSuccess;
  std::vector<const Job*> failed;
  size_t pulled = 0;
  for (const Job& job : jobs) {
    if (job.state == Job::State::kFailed) failed.push_back(&job);
    if (job.state == Job::State::kPulled) ++pulled;
  }
  if (!failed.empty()) exitCode = kExitTransferFailed;
  if (options.deleteAfter && c != nullptr) {
    const HRESULT hr = DeletePulled(*c, jobs);
    if (FAILED(hr)) {
      Fail("the jobs that came over could not be deleted from the scanner", hr);
      if (exitCode == kExitSuccess) exitCode = kExitFailure;
    }
  }

  if (puller.Terminal()) Out("\n");
  if (options.json) {
    std::string json = Format("{\"pages\": %d, \"bytes\": %lld, \"seconds\": %.3f, \"reads\": %lld",
                              puller.Pages(), puller.Bytes(), seconds, puller.Reads());
    json +=
        ", \"format\": " + JsonString(options.format) + ", \"times\": {" + puller.TimesJson() + "}";
    json += Format(", \"jobs\": %zu, \"failed\": %zu, \"files\": [", pulled, failed.size());
    bool first = true;
    for (const Job& job : jobs) {
      for (const Written& file : job.files) {
        json += (first ? "" : ", ") + JsonString(file.shown);
        first = false;
      }
    }
    json += "], \"failedJobs\": [";
    for (size_t i = 0; i < failed.size(); ++i)
      json += (i == 0 ? "" : ", ") + JsonString(Narrow(failed[i]->name));
    Out(json + "]}\n");
  } else {
    const double megabytes = static_cast<double>(puller.Bytes()) / (1024.0 * 1024.0);
    std::string summary =
        Format("Pulled %d page%s of %zu job%s (%.2f MB) in %.2f s, %.2f MB/s, into ",
               puller.Pages(), puller.Pages() == 1 ? "" : "s", pulled, pulled == 1 ? "" : "s",
               megabytes, seconds, seconds > 0 ? megabytes / seconds : 0.0) +
        Printable(options.out);
    if (!failed.empty())
      summary += Format("; %zu job%s failed", failed.size(), failed.size() == 1 ? "" : "s");
    Out(summary + ".\n");
  }
  return exitCode;
}

}  // namespace stiscan

// The page walk of a data source: the chosen jobs selected, then page by
// page, each page brought over by the transfer the user asked for and
// handed to the job's output; what `stiscan pull` does once and `stiscan
// watch --pull` at every sweep. A job whose last page has come goes to the
// commit step (commit.h); a job that fails is reported and leaves no file.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "console/messages.h"
#include "console/options.h"
#include "documents/job_output.h"
#include "job/job.h"
#include "server/connection.h"
#include "stibridge.h"

namespace stiscan {

// What a walk answers when it stopped because the stop event was set.
constexpr HRESULT kPullInterrupted = E_ABORT;

// A failure of one page: what failed, and the code that says why: an
// HRESULT (a file's from the system, else the scanner's), a TWAIN status, or
// neither.
struct PageFailure {
  std::string what;
  HRESULT hr = S_OK;
  int status = 0;
  Source source = Source::kScanner;
  std::string meaning;  // instead of the HRESULT's usual one
  int page = 0;         // the page it was of, when not the one at hand (an earlier page's file)

  bool Failed() const { return !what.empty(); }
  std::string Described() const;
};

PageFailure ScannerFailure(const std::string& what, HRESULT hr, int status = 0);

// What the scanner lists: every job, whoever's, as the folder's list knows
// it. Complete unless a job's name could not be read; only a complete
// listing says that a job is gone.
struct Listing {
  std::vector<JobIdentity> jobs;
  bool complete = true;
};

class Puller {
 public:
  // `stop`: an event that, once set, ends the walk at the next read; the
  // job it was in fails and leaves no file behind.
  Puller(const Options& options, JobOutput& output, HANDLE stop = nullptr);

  // Walks the waiting jobs on `c`: selects them, then page by page. A job
  // whose last page has come goes to the call given to OnEnded with its
  // files, written and on the disk under temporary names; a job the walk
  // ends before is not ready. Returns S_OK when the walk is over,
  // kPullInterrupted when the stop event ended it, or the HRESULT of a
  // server that died.
  HRESULT Walk(Connection& c, std::vector<Job>& jobs);
  void OnEnded(std::function<void(Job&, std::vector<TemporaryFile>&)> call)
  {
    onEnded_ = std::move(call);
  }

  // Reports a job as failed, with the page (0: the job as a whole) and the
  // failure, and removes its files written so far.
  void FailJob(Job& job, int page, const PageFailure& failure);

  long long Reads() const { return reads_; }
  bool Terminal() const { return terminal_; }
  // The times of the pull's parts, as JSON members: its reads (the first
  // read of each page apart, in which the scanner makes the page), the
  // reads of a native transfer's bitmap headers, its other calls, the
  // encoding and the writing of the files (on a thread of their own), and
  // how long the pull waited for a file to be written.
  std::string TimesJson() const;

 private:
  PageFailure PullPage(Connection& c, Job& job, int page, int pages);
  PageFailure Transfer(Connection& c, const std::wstring& itemName, const TW_IMAGEINFO& info,
                       Raster& raster, std::vector<unsigned char>& bytes);
  PageFailure Read(Connection& c, STI_TRANSFER_REQUEST& request, unsigned char* out, size_t total,
                   size_t useful, const std::function<void(size_t, size_t)>& place = {});
  bool Stopped() const;
  void EndJob(Job& job);
  void Progress(const Job& job, int page);

  const Options& options_;
  JobOutput& output_;
  HANDLE stop_;
  size_t chunk_;
  int mechanism_ = 0;
  bool terminal_ = false;
  std::wstring name_;
  // The walk's progress: pages read so far, of how many.
  int read_ = 0, total_ = 0;
  long long reads_ = 0;
  double readSeconds_ = 0, firstReadSeconds_ = 0, headerSeconds_ = 0, callSeconds_ = 0;
  double placeSeconds_ = 0;
  // The room a memory transfer's reads land in, kept from page to page.
  std::vector<unsigned char> rows_;
  std::function<void(Job&, std::vector<TemporaryFile>&)> onEnded_;
};

// The jobs to pull: the one the options name, or every one of this user's,
// each with its identity; a job the scanner gives no page count yet is
// reported and not ready. `listing` (when given) gets every job the scanner
// lists. Prints and returns the exit code when there is none to pull by
// that name, else 0.
int ChooseJobs(Connection& c, const Options& options, std::vector<Job>& jobs,
               Listing* listing = nullptr);

// After a new server: each job's index in its list, by name (the first of a
// name not given to an earlier job). A waiting job that is gone fails; a job
// pulled or known before that is gone has nothing left to delete.
void FindAgain(Connection& c, std::vector<Job>& jobs, Puller& puller);

// The time the scanner stored job `index` at, or empty.
std::string JobTime(Connection& c, int index);

// Job `index` as the folder's list knows it, its item name `name`.
JobIdentity IdentityOf(Connection& c, int index, const std::wstring& name);

}  // namespace stiscan

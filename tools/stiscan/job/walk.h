// The page walk of a data source, writing the pages as documents: what
// `stiscan pull` does once and `stiscan watch --pull` does at every job's end.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "console/messages.h"
#include "console/options.h"
#include "documents/page_output.h"
#include "files/page_files.h"
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

// One job of a pull.
struct Job {
  std::wstring name;
  std::string time;  // as the scanner stored it, "YYYY-MM-DD HH:MM:SS" (or empty)
  int index = -1;    // in the item list of the connection in use
  enum class State { kWaiting, kPulled, kFailed } state = State::kWaiting;
  std::vector<Written> files;
};

class Puller {
 public:
  // `stop`: an event that, once set, ends the walk at the next read; the
  // job it was in fails and leaves no file behind.
  Puller(const Options& options, PageFolder& folder, HANDLE stop = nullptr);

  // Walks the waiting jobs on `c`: selects them, then page by page. Returns
  // S_OK when the walk is over, kPullInterrupted when the stop event ended
  // it, or the HRESULT of a server that died.
  HRESULT Walk(Connection& c, std::vector<Job>& jobs);
  // Called as each job has come over whole.
  void OnPulled(std::function<void(const Job&)> call) { onPulled_ = std::move(call); }

  // Reports a job as failed, with the page (0: the job as a whole) and the
  // failure, and removes its files already written.
  void FailJob(Job& job, int page, const PageFailure& failure);

  int Pages() const { return pages_; }
  long long Bytes() const { return bytes_; }
  long long Reads() const { return reads_; }
  bool Terminal() const { return terminal_; }
  // The times of the pull's parts, as JSON members: its reads (the first
  // read of each page apart, in which the scanner makes the page), the
  // reads of a native transfer's bitmap headers, its other calls, the
  // encoding and the writing of the files (on a thread of their own), and
  // how long the pull waited for a file to be written.
  std::string TimesJson() const;

 private:
  PageFailure PullPage(Connection& c, Job& job, int page);
  PageFailure Transfer(Connection& c, const std::wstring& itemName, const TW_IMAGEINFO& info,
                       Raster& raster, std::vector<unsigned char>& bytes);
  PageFailure Read(Connection& c, STI_TRANSFER_REQUEST& request, unsigned char* out, size_t total,
                   size_t useful, const std::function<void(size_t, size_t)>& place = {});
  bool Stopped() const;
  void Written(Job& job, std::vector<stiscan::Written>& files);

  const Options& options_;
  PageFolder& folder_;
  PageOutput output_;
  HANDLE stop_;
  size_t chunk_;
  int mechanism_ = 0;
  bool terminal_ = false;
  std::wstring name_;
  int pages_ = 0, total_ = 0;
  long long bytes_ = 0, reads_ = 0;
  double readSeconds_ = 0, firstReadSeconds_ = 0, headerSeconds_ = 0, callSeconds_ = 0;
  double placeSeconds_ = 0;
  // The room a memory transfer's reads land in, kept from page to page.
  std::vector<unsigned char> rows_;
  std::function<void(const Job&)> onPulled_;
};

// The jobs to pull: the one the options name, or every one of this user's.
// Prints and returns the exit code when there is none to pull by that
// name, else 0.
int ChooseJobs(Connection& c, const Options& options, std::vector<Job>& jobs);

// Lets the scanner delete the jobs that came over whole (and only those),
// when the user's delete-after-scan option is on: the deletion step of the
// walk, on a selection of them alone.
HRESULT DeletePulled(Connection& c, const std::vector<Job>& jobs);

// After a new server: each job's index in its list, by name (the first of a
// name not given to an earlier job). A waiting job that is gone fails.
void FindAgain(Connection& c, std::vector<Job>& jobs, Puller& puller);

// The time the scanner stored job `index` at, or empty.
std::string JobTime(Connection& c, int index);

}  // namespace stiscan

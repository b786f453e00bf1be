// The scanner server as the TWAIN source's fuzz build reaches it: the
// source's scanner/ layer (Connection, Apartment, ReadProfile) answered in
// process by a deterministic stand-in whose jobs, pages, settings, conduct
// and failures the fuzz input describes. It writes every byte a read asks
// for, so that a buffer smaller than the source says it is shows, and it
// notes every call that the server's order does not allow.
#pragma once

#include <string>
#include <vector>

#include "scanner/connection.h"

namespace twainfake {

// The calls of the scanner layer, for faults.
enum class Call {
  kApartment,
  kOpen,
  kOnline,
  kReadSettings,
  kWriteSettings,
  kListJobs,
  kSelectJob,
  kPosition,
  kDescribe,
  kAdvance,
  kEndWalk,
  kBeginTransfer,
  kTransferSize,
  kReadHeader,
  kRead,
  kCount
};

struct Job {
  std::wstring name, document;  // UTF-16 units in wchar_t, as the source keeps them
  int pages = 1;
  int pixelType = 2;  // TWPT_
  bool ready = true, yours = true, timed = false;
  // Every page of the job: pixels, bits a pixel (1, 8 or 24), dots per inch.
  long width = 8, length = 8;
  int bits = 24, dpi = 300;
  bool deleted = false;
};

// Where the scanner departs from what it should do: what the source must
// cope with.
struct Conduct {
  int sizeDelta = 0;       // a transfer's size says this many bytes more
  bool endsEarly = false;  // a transfer says it is done halfway
  bool neverDone = false;  // ... or never
  int headerLie = 0;       // a native transfer's header: 0 true, else one field wrong
  int infoLie = 0;         // a page's description: 0 true, else one field wrong
  bool renames = false;    // the walk's position names another job
  int pagesDelta = 0;      // a job selected counts this many pages more
  bool keepsGrey = false;  // written settings the scanner keeps as asked
  bool keepsLetter = false;
};

struct Fault {
  Call call = Call::kOpen;
  unsigned skip = 0;   // calls that pass first
  unsigned times = 1;  // calls that fail then; 0: every one
  HRESULT hr = E_FAIL;
  unsigned seen = 0;
};

struct Scanner {
  std::vector<Job> jobs;
  twainds::ScanSettings settings;
  bool deleteOption = false;  // the user's option: a job transferred whole is deleted
  Conduct conduct;
  std::vector<Fault> faults;
  int goneAfter = -1;         // the server dies after this many calls; -1 never
  bool openReaches = true;    // a failed Open made the server's object first
  bool dialogFails = false;   // the job window cannot be made
  bool imagingFails = false;  // no JPEG encoder

  // What the rules read: calls out of the server's order, apartments
  // entered and not left, and the job window.
  std::vector<std::string> breaches;
  int apartments = 0;
  HWND dialog = nullptr;
  HWND indicator = nullptr;  // the progress indicator's, while it is shown
};

Scanner& Fake();
// A scanner with no jobs, no faults and nothing noted.
void ResetFake();

}  // namespace twainfake

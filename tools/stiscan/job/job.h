// One job of a pull, or of a watch's sweep, from its choice to its deletion
// on the scanner.
#pragma once

#include <string>
#include <vector>

#include "files/folder.h"
#include "job/pulled_jobs.h"

namespace stiscan {

struct Job {
  std::wstring name;     // its item name, as the interface gives it
  JobIdentity identity;  // as the folder's list knows it
  int index = -1;        // in the item list of the connection in use
  enum class State {
    kWaiting,   // chosen, not walked yet
    kNotReady,  // not pulled: the scanner gives it no page count yet, or its walk ended before it
    kPulled,    // its files named and on the disk: the commit step's first part is done
    kFailed,    // reported; none of its files is left
    kKnown,     // pulled before (the folder's list holds it); here only to be deleted
  } state = State::kWaiting;
  std::string notReady;  // why, when not ready
  // The pages that came over: counted here alone, once per page written.
  int pages = 0;
  std::vector<NamedFile> files;  // once pulled
  enum class Deletion {
    kNone,       // not asked for (no --delete), or not to be done: the job is not in the list
    kPending,    // to be done, and so recorded in the list
    kDone,       // done, and confirmed by the scanner's list
    kOptionOff,  // not done: the user's delete-after-scan option is off
  } deletion = Deletion::kNone;
};

}  // namespace stiscan

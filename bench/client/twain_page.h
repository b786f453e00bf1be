// The bench client as a TWAIN application: one page of a stored job through
// the data source by memory transfer, as an application takes it, through
// Wine's manager (the source installed as sane.ds, run_bench.py). Kept apart
// from the interface's header: TWAIN's header declares TW_IMAGEINFO too.
#pragma once

#include <string>

namespace twainpage {

struct Times {
  // MSG_ENABLEDS to the MSG_ENDXFER that ends the page: what the
  // application waits for.
  double pageUs = 0;
  // DAT_IMAGEINFO to the strip that ends the page.
  double transferUs = 0;
  double bytes = 0;
  int strips = 0;
};

// The manager loaded, the source open on the bench scanner, the job named,
// memory transfer chosen and the progress indicator off. Empty, or what
// failed.
std::string Open(const char* job);
// The buffer the source prefers (DAT_SETUPMEMXFER), which the application
// gives it.
unsigned long Buffer();
// The job's one page, from MSG_ENABLEDS to MSG_DISABLEDS. Empty, or what
// failed.
std::string Page(Times& times);
void Close();

}  // namespace twainpage

// The bench client as a TWAIN application that opens the source's own
// window (ShowUI TRUE) over a store of many jobs, each with its preview:
// how soon the list shows, how soon the last picture does, and how long
// the application's own messages wait meanwhile. Kept apart from the
// interface's header, as twain_page.h is.
#pragma once

#include <string>

namespace twainwindow {

struct Times {
  // From MSG_ENABLEDS to the window shown with as many jobs as its list
  // shows at once (or every job, where fewer).
  double firstUs = 0;
  // From MSG_ENABLEDS to the window shown with every job listed.
  double listUs = 0;
  // From MSG_ENABLEDS to the last job's picture shown (every job has one).
  double thumbnailsUs = 0;
  // The longest a message posted to the application's window waited to
  // be dispatched, from MSG_ENABLEDS to the last picture.
  double longestWaitUs = 0;
  // The messages posted and dispatched meanwhile.
  int posted = 0, dispatched = 0;
  // Jobs listed, and those shown with their picture.
  int listed = 0, pictured = 0;
};

// The manager loaded and the source open on the bench scanner. Empty, or
// what failed.
std::string Open();
// One opening of the window over `jobs` listed jobs: MSG_ENABLEDS, the
// list and its pictures awaited (`limitMs` at most), MSG_DISABLEDS.
// Empty, or what failed.
std::string Round(int jobs, unsigned limitMs, Times& times);
void Close();

}  // namespace twainwindow

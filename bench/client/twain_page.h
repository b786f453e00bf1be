// The bench client as a TWAIN application: one page of a stored job through
// the data source by native, memory or memory-file transfer, as an
// application takes it, through Wine's manager (the source installed as
// sane.ds, run_bench.py). Kept apart from the interface's header: TWAIN's
// header declares TW_IMAGEINFO too.
#pragma once

#include <string>

namespace twainpage {

// The transfers measured, by their names in the results.
enum class Mechanism { kNative, kMemory, kMemoryFile };
const char* NameOf(Mechanism mechanism);
// The mechanism of a name; false for none.
bool Named(const std::string& name, Mechanism& mechanism);

struct Times {
  // MSG_ENABLEDS to the MSG_ENDXFER that ends the page: what the
  // application waits for.
  double pageUs = 0;
  // DAT_IMAGEINFO to the transfer's end: the native transfer's return, or
  // the strip that ends the page (memory) or the file (memory file).
  double transferUs = 0;
  // What came over: the DIB (its header, palette and rows), the rows, or
  // the file's bytes.
  double bytes = 0;
  // The strips of a memory or memory-file transfer; 1 for a native one.
  int strips = 0;
  // What the page came over as agrees with DAT_IMAGEINFO: a DIB of its
  // size and depth; rows of its size; a BMP file that says its own size.
  bool whole = false;
};

// The source's user values name the bench scanner and its user.
void UseBenchProfile();
// The manager loaded, the source open on the bench scanner, the job named
// and the progress indicator off. Empty, or what failed.
std::string Open(const char* job);
// Negotiates `mechanism` (ICAP_XFERMECH; a memory file in BMP, the
// scanner's own format of the page). Empty, or what failed.
std::string Use(Mechanism mechanism);
// The buffer the source prefers (DAT_SETUPMEMXFER), which the application
// gives it in memory and memory-file transfers.
unsigned long Buffer();
// The job's one page by the mechanism in use, from MSG_ENABLEDS to
// MSG_DISABLEDS. Empty, or what failed.
std::string Page(Times& times);
void Close();

}  // namespace twainpage

// One full session of a soak client against the server, with its random
// choices, and what the sessions of one client share: the random numbers and
// the ledger of results.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "allowed_results.h"
#include "stibridge.h"

namespace soak {

// The soak scanner's settings live under this user key; the clients use
// profile "soak" of store "ann" with qualifier "SOAK".
constexpr wchar_t kUserKey[] = L"Software\\StibridgeSoak\\Lab";

// Jobs whose document name starts with this may be deleted by a session on
// purpose; every other stored job must outlive the soak.
constexpr char kScratchPrefix[] = "scratch-";

class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 2 + 1) {}
  uint32_t Next();
  int Below(int n) { return n <= 0 ? 0 : static_cast<int>(Next() % static_cast<uint32_t>(n)); }
  bool Chance(int percent) { return Below(100) < percent; }

 private:
  uint64_t state_;
};

// Objects come from CoCreateInstance, as a data source makes them, unless a
// class object is given here: then from its CreateInstance. A client that
// holds the class object keeps Wine from tearing down the server's stub of it
// after every creation (see README.md: a race in that teardown can hang the
// server's thread).
void UseClassObject(IClassFactory* factory);

// A new object, its creation noted in the ledger; null when it failed.
IStiScannerComBridge* CreateBridge(Ledger& ledger);

// Writes the user's settings the sessions rely on: the job-name prefix (so
// that the server never writes its defaults), delete-after-scan on, a PIN.
bool PrepareUserSettings();

// Runs one session: create, open, list, previews, settings, selection and the
// page walk by the three transfers, sometimes a deletion, close, release.
// Returns false when the object could not be created.
bool RunSession(Random& random, Ledger& ledger);

// The document names of the jobs the device stores, as the longest of
// several clean listings (random faults may cut or empty one listing).
// Prints "job <name>" lines and "jobs <count>".
int ListStoredJobs(Ledger& ledger);

}  // namespace soak

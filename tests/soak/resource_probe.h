// Resource accounting of the server from a client: many open/close sessions
// on one server, with the server's handles counted every so often.
#pragma once

#include <windows.h>

#include "allowed_results.h"

namespace soak {

struct HandleCounts {
  long total = -1;   // every handle the process holds
  long events = -1;  // of them, event handles
  long named = -1;   // of those, handles of the bridge's named events
  long keys = -1;    // registry keys
  long other = -1;   // everything else
  // What GetProcessHandleCount answers for the process, and for the calling
  // process itself (-1: it failed).
  long reported = -1;
  long reportedOwn = -1;
};

// The process id of the first running process whose executable is `exe`
// (0: none).
DWORD FindProcess(const wchar_t* exe);

// The handles of process `pid`, from the system's handle list.
HandleCounts CountHandles(DWORD pid);

// `sessions` sessions of InitializeSti, selection, OpenDevice, RegisterEvents,
// RefreshItemList, GetScanSettings, a selection, one page read,
// UnregisterEvents, Close and Release, on one server kept alive by an object
// held for the whole run. After a first session and then every `every`
// sessions a line "checkpoint <sessions> handles <n> events <n> named <n>
// keys <n> other <n> reported <n> own <n>" is printed; with `wait` the client then waits for a
// line on its input (the runner samples the server's memory meanwhile).
// Returns the number of violations.
// How much of the session to run: everything, or only up to creating the
// object, opening the device, or registering the events (each then closes
// and releases), to tell which step a growth belongs to. Without `close`
// every session releases its object without Close.
enum class SessionDepth { Create, Open, Events, Full };

long RunResourceSessions(int sessions, int every, bool wait, SessionDepth depth, bool close,
                         Ledger& ledger);

}  // namespace soak

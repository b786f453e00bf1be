// stiscan doctor --windows-probe: what differs between Windows and Wine in
// the server's dealings with its clients, measured once on a machine and
// printed as one JSON object to attach to a report. It activates the server
// from this stiscan and from the stiscan of the other bitness (given by
// --other-stiscan, else stiscan64.exe or stiscan32.exe beside this one),
// reads what the server learned of each caller (server/probe_record.h),
// takes the server through its way out once with a creation in the middle,
// and kills a client that holds an object to see how long the object lives
// (up to --seconds, 420 by default: COM's own rundown takes about six
// minutes). The JSON is documented in docs/integration-guide.md.
//
// It changes nothing on the machine: it makes the server's objects and lets
// them go, opens no scanner, and its record lives as long as it runs.
#pragma once

#include "console/options.h"

namespace stiscan {

// The probe's exit code: 0 when every step ran (whatever it found), 1 when
// the record could not be made or the server could not be activated.
// --probe-part client and holder are the parts it runs in other processes.
int WindowsProbe(const Options& options);

}  // namespace stiscan

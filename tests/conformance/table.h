// The conformance table: one list of calls on IStiScannerComBridge that runs
// unchanged in-process (the native build, bridge objects made the way the
// class factory makes them) and from a 32-bit or 64-bit client through the
// proxy to the 64-bit server. Each row makes one call and records every
// result the caller can observe; a row may name the fields whose difference
// across the process boundary the interface makes unavoidable, and why.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "recorder.h"

namespace conformance {

// Where bridge objects come from.
class Host {
 public:
  virtual ~Host() = default;
  // A new bridge object with one reference, or a failure.
  virtual HRESULT Create(IStiScannerComBridge** bridge) = 0;
  // A buffer of `bytes` that lives until the run ends and whose end, where
  // the platform allows, is followed by memory the process cannot write: a
  // proxy that writes past what the caller gave it (an [out] buffer of a
  // negative size_is, cleared when the call fails) faults there instead of
  // overwriting the client's heap.
  virtual unsigned char* EdgeBuffer(size_t bytes) = 0;
};

// The objects a run holds at once: a sequence that needs a second object (a
// second SetSelection changes the process-wide selection count) uses one.
inline constexpr int kObjects = 4;

class Calls {
 public:
  Calls(Host& host, Recorder& record) : host(host), record(record) {}

  Host& host;
  Recorder& record;
  IStiScannerComBridge* objects[kObjects] = {};
};

struct Row {
  std::string label;
  std::string method;  // the slot the row calls, by its name in the interface
  std::string call;    // the call as written, with its arguments
  // Fields that may differ across the process boundary (comma-separated;
  // a trailing '*' matches a prefix), and the reason. Empty: none may.
  std::string mayDiffer;
  std::string why;
  int object;  // index into Calls::objects
  std::function<void(Calls&, IStiScannerComBridge*)> body;
};

std::vector<Row> Table();

// The per-user keys of the scenario's scanners, which the server keeps in
// HKEY_CURRENT_USER of its own process: deleted before a run, and one of
// them given a PIN and the delete-after-scan option.
void PrepareUserKeys();

// Runs every row in order and ends the record; releases objects that the
// table left (it leaves none). Returns the number of rows.
int RunTable(Host& host, Recorder& record);

}  // namespace conformance

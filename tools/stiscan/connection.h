// The server as a data source reaches it: COM starts it (or hands over the
// running one), and the connection selects and opens a scanner with the
// user's profile strings, in the order the server expects.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "options.h"
#include "stibridge.h"

namespace stiscan {

class Connection {
 public:
  Connection() = default;
  // Closes what was opened and releases the object; the server ends when its
  // last object is gone.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // A new bridge object in the server. Prints and returns the exit code on
  // failure, else 0.
  int Create();
  IStiScannerComBridge* operator->() const { return bridge_; }
  IStiScannerComBridge* Get() const { return bridge_; }

  // The names of the scanners the server accepts, as it lists them.
  HRESULT ListDevices(std::vector<std::wstring>& names);

  // Selects the scanner the options name (or the only one) and opens it with
  // the profile strings, then sends the user's PIN. Prints and returns the
  // exit code on failure, else 0.
  int Open(const Options& options);
  // Create, Open, then the stored jobs' list; `count` is how many are
  // listed. Prints and returns the exit code on failure, else 0.
  int OpenJobs(const Options& options, int& count);
  // Whether the current user may preview (and so pull) job `index`: the
  // server's owner check.
  bool MayPreview(int index) const;
  const std::wstring& DeviceName() const { return deviceName_; }
  const std::wstring& Profile() const { return profile_; }
  const std::wstring& Qualifier() const { return qualifier_; }

 private:
  IStiScannerComBridge* bridge_ = nullptr;
  bool comStarted_ = false;
  bool opened_ = false;
  std::wstring deviceName_, profile_, qualifier_, store_;
};

}  // namespace stiscan

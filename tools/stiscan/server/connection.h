// The server as a data source reaches it: COM starts it (or hands over the
// running one), and the connection selects and opens a scanner with the
// user's profile strings, in the order the server expects.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "console/options.h"
#include "stibridge.h"

namespace stiscan {

// Whether `hr` is what a call answers when the server process is gone
// (ended, crashed or killed) under the caller's feet.
bool ServerGone(HRESULT hr);

// Failures of a creation that reached a server on its way out, or one that
// died: COM fetched the class object of a server whose last client had just
// let go, and the server was gone before the creation arrived; or the
// server was killed and COM still hands out its class object. Windows then
// starts a new server by itself; under Wine the client has to ask again,
// and a killed server's class object is handed out for about two seconds.
bool MetAnEndingServer(HRESULT hr);

// How stiscan asks COM for the server, as a data source does: the 64-bit
// server always (by COM's rule a 32-bit client is otherwise given a 32-bit
// server of the class when one is registered).
constexpr DWORD kServerContext = CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER;

// The waits between tries: about four seconds in all, which covers the two
// seconds that Wine hands out a killed server's class object.
constexpr DWORD kRetryWaitsMs[] = {250, 500, 1000, 2000};

// The local names in EnumerateDevices' list, each followed by ";".
std::vector<std::wstring> SplitDeviceList(const wchar_t* list);

// COM on the calling thread for as long as it lives. A command holds one
// around all it does, so that what it makes through COM besides the server's
// objects (the imaging component's factory) lives within one initialisation,
// whatever becomes of the connections it opens and closes meanwhile.
class ComScope {
 public:
  ComScope() : started_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComScope()
  {
    if (SUCCEEDED(started_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT started_;
};

class Connection {
 public:
  Connection() = default;
  // Closes what was opened and releases the object; the server ends when its
  // last object is gone.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Each of the three makes a new bridge object in the server and takes the
  // first steps on it. When they meet a server that has just ended (COM
  // handed out the class object of a server on its way out, or of one that
  // died and is still registered), the object is let go and everything is
  // asked again, after 0.25, 0.5, 1 and 2 s, until a new server answers;
  // standard error says so. Each prints and returns the exit code on
  // failure, else 0.
  //
  // List: the scanners the server accepts, as Devices() gives them.
  int List();
  // List, then selects the scanner the options name (or the only one) and
  // opens it with the profile strings, then sends the user's PIN.
  int Open(const Options& options);
  // Open, then the stored jobs' list; JobCount() is how many are listed.
  int OpenJobs(const Options& options);

  // The stored jobs' list asked for again; JobCount() follows it.
  HRESULT Refresh();

  // The server died under this connection: the object is let go without
  // being closed.
  void Abandon() { opened_ = false; }

  IStiScannerComBridge* operator->() const { return bridge_; }
  IStiScannerComBridge* Get() const { return bridge_; }

  const std::vector<std::wstring>& Devices() const { return devices_; }
  int JobCount() const { return jobCount_; }
  // The server's owner check, GetItemPreview, on job `index`: `preview`
  // whether it gave the preview (S_OK), the result whether the job is the
  // current user's and usable (then the user may pull it). The check answers
  // S_FALSE for a job that is not; a failure after it (a thumbnail path too
  // long for the server, a document name of 260 units or more) still means
  // the job is the user's.
  bool IsYours(int index, bool* preview = nullptr) const;
  // The item name of job `index` (the interface names an item only as the
  // current one of a selection, so this selects it); false when the server
  // does not say.
  bool ItemName(int index, std::wstring& name) const;
  const std::wstring& DeviceName() const { return deviceName_; }
  const std::wstring& Profile() const { return profile_; }
  const std::wstring& Qualifier() const { return qualifier_; }

 private:
  // What the steps come to: empty `what` when they all went well.
  struct Outcome {
    std::string what;
    HRESULT hr = S_OK;
    ExitCode code = kExitSuccess;  // when no HRESULT says it
    bool retry = false;            // a server that has just ended
  };
  enum class Steps { kList, kOpen, kJobs };

  int Connect(Steps steps, const Options* options);
  Outcome Attempt(Steps steps, const Options* options);
  Outcome SelectAndOpen(const Options& options);
  void Release();

  IStiScannerComBridge* bridge_ = nullptr;
  bool comStarted_ = false;
  bool opened_ = false;
  std::vector<std::wstring> devices_;
  int jobCount_ = 0;
  std::wstring deviceName_, profile_, qualifier_, store_;
};

}  // namespace stiscan

// The scanner server as this data source reaches it: the class
// CStiScannerComBridge as a local server, and the calls of
// IStiScannerComBridge in the order the server expects them. Nothing here
// knows TWAIN's structures (the server's header and TWAIN's both declare
// TW_IMAGEINFO, so the two never meet in one file): the source's side gets
// plain values, and the image information as the 42 bytes it is.
#pragma once

#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "scanner/profile.h"

struct IStiScannerComBridge;

namespace twainds {

// The scan settings of the user's jobs, in TWAIN's terms (pixel type,
// ICAP_SUPPORTEDSIZES code, dots per inch, ICAP_IMAGEFILEFORMAT code) and
// the scanner's on/off option, which TWAIN has no name for.
struct ScanSettings {
  short pixelType = 0, paperSize = 0, resolution = 0, fileFormat = 0, option = 0;
};

// A stored job as the scanner lists it.
struct Job {
  int index = 0;
  std::wstring name, document;
  int pages = 0;
  int pixelType = -1;  // TWPT_ value; -1 unknown
  int dpi = 0;         // 0 unknown
  SYSTEMTIME time = {};
  bool timed = false;
  bool ready = false;  // scanned to its end at the scanner
  bool yours = false;  // the user may take it (known only once it is ready)
  bool alone = true;   // no other job of its name: a transfer names its job by name alone
  // The file of its first page's picture, as the scanner names it (empty:
  // none named).
  std::wstring thumbnail;
  // Whether its pages can be brought over (a transfer request carries at
  // most 259 units of the name).
  bool Takeable() const { return ready && yours && alone && pages > 0 && name.size() < 260; }
};

// TW_IMAGEINFO, as the server hands it over.
using ImageInfoBytes = std::array<unsigned char, 42>;

// The transfer mechanisms, with the numbers of ICAP_XFERMECH.
enum class Mechanism { kNative = 0, kFile = 1, kMemory = 2 };

class Connection {
 public:
  Connection() = default;
  ~Connection() { Close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Creates the server's object and opens the scanner the profile names as
  // its user (select, open, PIN). COM must be set up on the thread.
  HRESULT Open(const Profile& profile);
  // Closes the scanner and lets the object go; safe without a server.
  void Close();
  bool IsOpen() const { return bridge_ != nullptr; }
  // The server died under the connection: no call reaches it any more.
  bool Gone() const { return gone_; }
  // Whether the last Open reached the server (its object was made): a
  // failure after that is the scanner's, before it the server's.
  bool ServerReached() const { return serverReached_; }
  const std::wstring& ScannerName() const { return scanner_; }
  // The user the scanner was opened for (the profile's name).
  const std::wstring& UserName() const { return user_; }

  // Whether the scanner answers: it begins access to the user's store.
  HRESULT Online();

  HRESULT ReadSettings(ScanSettings& settings);
  // Writes every setting at once under a job name made of `title`.
  HRESULT WriteSettings(const std::wstring& title, const ScanSettings& settings);

  // Every stored job, in the scanner's order. It lists afresh: indices of
  // an earlier listing are no longer to be used.
  HRESULT ListJobs(std::vector<Job>& jobs);
  // The same a few jobs at a time (the source's window shows the first ones
  // at once and the rest as they come): begun (the scanner lists afresh;
  // `count` gets the indices to read), each index in turn (S_FALSE for one
  // without a name, which is left out), ended over the jobs read (what the
  // reads left on the server undone, the names that come more than once
  // marked). Nothing else may use the server between the first and the
  // last: a walk would lose its selection.
  HRESULT StartListing(int& count);
  HRESULT ReadJob(int index, Job& job);
  HRESULT EndListing(std::vector<Job>& jobs);
  // A ready job of the user's, by its index in the last listing: the file
  // of its picture. S_FALSE for a job that is not ready or not the user's
  // (`path` then stays as it was).
  HRESULT ItemPreview(int index, std::wstring& path);
  // Whether the user's option deletes jobs from the scanner once they are
  // transferred whole (off where the scanner does not say).
  HRESULT DeleteAfterScan(bool& on);
  // The scanner signals the named events "JobEnded" and "ItemDeleted" (the
  // server makes them, with "ItemAdded") until UnregisterEvents.
  HRESULT RegisterEvents();
  HRESULT UnregisterEvents();

  // The page walk over one job: selected, and its first page described.
  HRESULT SelectJob(int index, int& pages);
  // The walk's page: the job's item name and the page within it.
  HRESULT Position(std::wstring& item, int& page);
  // The walk's page described (by the scanner itself from a second page on).
  HRESULT DescribePage(ImageInfoBytes& info);
  // One page on; at the job's end its deletion when `deleteWhenDone` and the
  // user's option are both on. `left` gets the pages left.
  HRESULT Advance(bool deleteWhenDone, int& left);
  // Ends the walk where it stands: nothing more is transferred or deleted.
  HRESULT EndWalk();

  // A transfer of the walk's page: prepared, then read. `fileFormat` is
  // the ICAP_IMAGEFILEFORMAT code a file transfer asks for.
  HRESULT BeginTransfer(Mechanism mechanism, short fileFormat);
  // The bytes the transfer delivers.
  HRESULT TransferSize(int& bytes);
  // A native transfer's bitmap header.
  HRESULT ReadHeader(BITMAPINFOHEADER& header);
  // One read of up to `bytes` bytes into `buffer`: S_OK and `done` when it
  // was the last, E_FAIL when the scanner failed it.
  HRESULT Read(void* buffer, int bytes, bool& done);
  // The whole transfer, `bytes` of it (TransferSize), into `buffer`.
  HRESULT ReadWhole(void* buffer, size_t bytes);

 private:
  // Every call's result passes here: a server that is gone is noted.
  HRESULT Seen(HRESULT hr);
  HRESULT SelectScanner(const Profile& profile);

  IStiScannerComBridge* bridge_ = nullptr;
  bool gone_ = false;
  bool opened_ = false;
  bool serverReached_ = false;
  std::wstring scanner_, user_;
  // The transfer request's parts for the page at hand.
  Mechanism mechanism_ = Mechanism::kNative;
  short fileFormat_ = 0;
  bool formatChanged_ = false;
  std::array<wchar_t, 260> itemName_ = {};
  int page_ = 1;
};

}  // namespace twainds

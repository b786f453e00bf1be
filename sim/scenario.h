// A scenario: the simulated machine described by a hand-editable JSON file —
// the STI devices with their registry records and drivers, the jobs stored on
// each device, the users' records, the launching device, and faults.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/sim_api.h"

namespace sim {

using Text = std::basic_string<WCHAR>;

// One property record as the scenario gives it: an identifier and a 32-bit
// value (16-bit for the depth).
struct PropertySpec {
  DWORD id = 0;
  LONG value = 0;
};

struct JobSpec {
  Text itemName;
  Text documentName;  // may hold NULs: the record's BSTR keeps the whole length
  Text owner;         // security identifier, string form
  Text itemId;
  // The record carries a null pointer instead of the text.
  bool documentNameNull = false;
  bool ownerNull = false;
  bool itemIdNull = false;
  LONG state = 2;
  LONG pages = 1;
  LONG width = 200;
  LONG height = 280;
  LONG dataType = 3;         // WIA data type: 0 b/w, 2 grey, 3 colour
  LONG depth = 24;           // what the depth record says
  LONG deliveredDepth = 24;  // bits per pixel of the images the driver delivers
  LONG resolution = 1;       // the driver's resolution code
  LONG fileFormat = 1;       // the driver's file-format code
  LONG planar = 0;
  std::optional<LONG> compression = 0;  // absent: no compression record
  std::optional<LONG> itemSize;         // absent: the size of the item's pages
  SYSTEMTIME time{};
  bool hasTime = true;
  std::vector<PropertySpec> extraProperties;  // appended after the standard ones
  std::vector<DWORD> omitProperties;
  bool deletable = true;
  // The job is scanned at the device this long after the scenario is loaded
  // in the process: until then it is not stored; when it arrives the driver
  // signals "JobEnded" from a thread of its own. Absent: stored from the start.
  std::optional<DWORD> arrivesAfterMs;
  // The job is deleted at the device's panel this long after the scenario is
  // loaded in the process (after it arrived): it is no longer stored, and the
  // driver signals "ItemDeleted" from a thread of its own, as for DeleteItem.
  std::optional<DWORD> deletedAfterMs;
  // What an installation leaves where the job's thumbnail path points: a
  // small picture of its first page, nothing, or bytes that are no picture.
  enum class Thumbnail { Written, Missing, Corrupt };
  Thumbnail thumbnail = Thumbnail::Written;
};

struct DeviceValueSpec {
  Text name;
  DWORD type = REG_SZ;  // REG_SZ or REG_DWORD
  Text text;
  DWORD number = 0;
};

struct UserSpec {
  Text storeId;
  Text pin;
};

struct DeviceSpec {
  DWORD index = 0;  // NNNN of the class key (before an in-process load's offset)
  Text description;
  Text localName;
  Text vendor;
  Text port;
  Text propProvider;
  DWORD deviceType = 0x00010000;  // scanner, subtype 0
  DWORD capabilities = 0;
  DWORD hardwareConfig = 1;
  bool attached = true;
  std::vector<DeviceValueSpec> deviceData;
  std::vector<PropertySpec> settings;
  std::vector<PropertySpec> capabilityProperties;
  Text jobName;  // the settings block's job name as the driver first hands it out
  std::vector<UserSpec> users;
  std::optional<Text> driverValue;  // item identifier named by value 16
  bool requireLock = true;
  std::vector<JobSpec> jobs;
  // Not read from a scenario: set when the process serves an installed
  // scenario that keeps its deletions (Scenario::keepDeletions).
  bool keepDeletions = false;
};

struct LaunchSpec {
  DWORD device = 0;  // scenario position
  DWORD eventCode = 0;
  Text eventName;
};

// Random faults: every lock and escape (and unlock, when asked) meets one of
// `modes` with probability `rate`, drawn from `seed` and the call's place in
// the process's sequence of such calls, so that the same sequence of calls
// meets the same faults again.
struct ChaosSpec {
  unsigned long long seed = 0;
  double rate = 0;
  std::vector<DWORD> modes;  // STISIM_FAULT_*
  bool locks = true;
  bool escapes = true;
  bool unlocks = false;
  // How long an injected lock time-out waits; absent: the lock's own wait.
  std::optional<DWORD> lockTimeoutMs;
  // How long an injected escape time-out waits.
  DWORD delayMs = 0;
  HRESULT result = E_FAIL;  // what "fail" answers
  LONG countDelta = 1;      // "mismatch": counts off by 1 to this, up or down
};

// How the driver (and STI) use the freedoms the protocol leaves them. Every
// member's first value is what the simulator has always done; a scenario
// without "conduct" gets all of them.
struct ConductSpec {
  // The size word after an ItemTransfer data read: the bytes delivered; the
  // value the caller set (the buffer's size); 0; the whole transfer's size;
  // what is still to come; a value above the buffer's size.
  enum class DataSizeWord { Delivered, Untouched, Zero, Total, Remaining, Beyond };
  // The out-values of StiCreateInstanceW, GetDeviceList, GetDeviceInfo,
  // CreateDevice and GetDeviceValue when the call fails: emptied as each
  // always was, or left as the caller had them.
  enum class FailedOut { Emptied, Kept };
  // Blocks handed out live until they are handed back (or the next load), or
  // are bound to the device object that handed them out: when that object
  // is released the driver reclaims them (user records included, one per
  // store and object).
  enum class Blocks { Kept, Bound };
  // A block handed back gives its address to the next block of its kind.
  enum class Addresses { Fresh, Reused };
  // The item name of an ItemTransfer request is read up to its terminator,
  // or as the whole 520-byte buffer the protocol promises.
  enum class RequestName { Terminated, Whole };
  // What an item list header holds after FreeDriverBlock took its list.
  enum class FreedList { Emptied, Untouched, Scribbled };
  // What the driver writes where the bridge reads nothing: the bytes of
  // blocks and records outside their fields, the thumbnail slot, and the size
  // word after escapes that answer nothing in it.
  enum class Discarded { Plain, Scribbled };
  // An escape that fails (by an injected "fail") has written nothing, or has
  // already handed out its block (pointer slot, item list header, driver
  // value) and takes it back again, reclaimed, before it answers the failure.
  enum class FailedEscape { Clean, Partial };
  // The pointer a QueryDriverValue hands out stays valid for the caller to
  // free, or the driver frees it itself at the next query through the same
  // device object (the caller's earlier pointer is dead then).
  enum class DriverValue { Kept, Reclaimed };
  // Event registrations live until they are undone, or are bound to the
  // device object they were made through: dropped (never signalled again)
  // when that object is released, and undone only through it.
  enum class Registrations { Kept, Bound };

  DataSizeWord dataSizeWord = DataSizeWord::Delivered;
  FailedOut failedOut = FailedOut::Emptied;
  Blocks blocks = Blocks::Kept;
  Addresses addresses = Addresses::Fresh;
  RequestName requestName = RequestName::Terminated;
  FreedList freedList = FreedList::Emptied;
  Discarded discarded = Discarded::Plain;
  FailedEscape failedEscape = FailedEscape::Clean;
  DriverValue driverValue = DriverValue::Kept;
  Registrations registrations = Registrations::Kept;
};

struct Scenario {
  std::string name;
  std::vector<DeviceSpec> devices;
  std::optional<LaunchSpec> launch;
  std::vector<StiSimFault> faults;
  DWORD lockTimeoutOverride = 0;
  std::optional<ChaosSpec> chaos;
  // How many journal entries the process keeps in memory; absent: all.
  std::optional<DWORD> journalLimit;
  ConductSpec conduct;
  // An installed scenario's deleted jobs stay deleted for the processes
  // that load it later (a scanner's store outlives the server); absent or
  // false: every process starts from the scenario's jobs.
  bool keepDeletions = false;
  // The journal file also counts, after every change, the STI objects alive
  // and the driver's blocks handed out and not yet taken back.
  bool census = false;
};

// Parses a scenario; on failure returns false with a message in `error`.
bool ParseScenario(const std::string& json, Scenario& scenario, std::string& error);

// The scenario of sim/scenarios/default.json, compiled in.
const char* DefaultScenarioJson();

Text Utf8ToText(const std::string& utf8);
std::string TextToUtf8(const Text& text);

}  // namespace sim

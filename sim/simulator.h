// The simulated machine of one process: the devices of the loaded scenario
// (each with its lock and its driver), the injected faults, the journal, the
// launch information and where the scenario came from.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/driver.h"
#include "sim/scenario.h"
#include "sim/sim_api.h"

namespace sim {

// The imaging device class and the registry keys the simulator uses.
inline constexpr const WCHAR* kClassGuid = W("{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}");
inline constexpr const WCHAR* kClassKeyPath =
    W("System\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}");
inline constexpr const WCHAR* kConfigKeyPath = W("Software\\stibridge\\Simulator");
// Where the processes of an installed scenario that keeps its deletions
// record them: a value "<device index>:<itemId>" per deleted job.
inline constexpr const WCHAR* kDeletedKeyPath = W("Software\\stibridge\\Simulator\\Deleted");

// The deletions recorded there: one more, whether one is, and none (a new
// installation starts from the scenario's jobs).
void RecordDeletion(DWORD deviceIndex, const Text& itemId);
bool WasDeleted(DWORD deviceIndex, const Text& itemId);
void ForgetDeletions();
// Marks the device keys a scenario load installed, and for which use.
inline constexpr const WCHAR* kTagValue = W("StiSimulatorTag");
inline constexpr const WCHAR* kTagInstalled = W("installed");
inline constexpr const WCHAR* kTagInProcess = W("inproc");
inline constexpr DWORD kInProcessIndexBase = 100;

// The device lock of STI: held by one device object at a time, shared by all
// device objects of the same device in the process.
class DeviceLock {
 public:
  // S_OK once `holder` holds the lock (again); STIERR_DEVICE_LOCKED when
  // another holder kept it for `timeoutMs`.
  HRESULT Acquire(const void* holder, DWORD timeoutMs);
  HRESULT Release(const void* holder);
  bool HeldBy(const void* holder);

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  const void* holder_ = nullptr;
  int depth_ = 0;
};

struct SimDevice {
  SimDevice(DWORD position, const DeviceSpec& spec, Text internalName, const ConductSpec& conduct)
      : position(position), spec(spec), internalName(std::move(internalName)), driver(spec, conduct)
  {
  }
  const DWORD position;
  const DeviceSpec spec;
  const Text internalName;
  DeviceLock lock;
  Driver driver;
};

class Journal {
 public:
  void Add(const StiSimJournalEntry& entry);
  DWORD Count();
  bool At(DWORD index, StiSimJournalEntry& entry);
  // A line for the file only (nothing when there is no file).
  void AddFileLine(const std::string& line);
  void Clear();
  // Also appends every entry, as a line, to this file (null: none).
  void SetFile(const Text& path);
  // Keeps only the last `entries` in memory (the file gets every one); none
  // keeps them all.
  void SetLimit(std::optional<DWORD> entries);
  bool Limited();

 private:
  std::mutex mutex_;
  std::deque<StiSimJournalEntry> entries_;
  std::optional<DWORD> limit_;
  FILE* file_ = nullptr;
};

class FaultTable {
 public:
  void Set(const std::vector<StiSimFault>& faults);
  void Add(const StiSimFault& fault);
  // The fault that this call meets, if any (each matching call is counted).
  std::optional<StiSimFault> Take(DWORD target, DWORD device, DWORD operation);

 private:
  struct Active {
    StiSimFault spec;
    DWORD seen = 0;
  };
  std::mutex mutex_;
  std::vector<Active> faults_;
};

// The random faults of a scenario's "chaos" member. Each lock, escape or
// unlock that chaos covers takes the next number of the sequence; the number
// and the seed alone decide whether the call meets a fault, and which.
class Chaos {
 public:
  // Replaces the settings (none: no random faults) and restarts the sequence.
  void Set(const std::optional<ChaosSpec>& spec);
  // The fault that this call meets, if any. `target` is STISIM_TARGET_LOCK,
  // STISIM_TARGET_UNLOCK or an escape code; `lockWait` is what the lock
  // itself would wait, for an injected lock time-out without a wait of its own.
  std::optional<StiSimFault> Draw(DWORD target, DWORD lockWait);
  // Faults injected since the last Set.
  DWORD Injected();

 private:
  std::mutex mutex_;
  std::optional<ChaosSpec> spec_;
  unsigned long long calls_ = 0;
  DWORD injected_ = 0;
};

class Simulator {
 public:
  // The process's simulator; Get also loads the configured scenario on first
  // use, Instance does not (for loads of the test interface).
  static Simulator& Get();
  static Simulator& Instance();

  enum class Use { InProcess, Installed };
  HRESULT Load(const Scenario& scenario, Use use);
  HRESULT LoadFile(const Text& path, Use use);
  // Writes the thumbnail files of the loaded scenario's jobs, as its
  // installation does; on failure the reason is the last error.
  HRESULT WriteThumbnails();
  std::string LastError();
  void SetLastError(const std::string& error);

  std::shared_ptr<SimDevice> FindDevice(const WCHAR* internalName);
  std::shared_ptr<SimDevice> DeviceAt(DWORD position);
  DWORD DeviceCount();
  // The tag of the device keys this process lists.
  Text Tag();

  std::optional<LaunchSpec> Launch();
  void SetLaunch(std::optional<LaunchSpec> launch);

  DWORD LockTimeout(DWORD requested) const;
  void SetLockTimeoutOverride(DWORD ms) { lockOverride_ = ms; }
  // The mode of the last device object created.
  DWORD LastCreateMode() const { return lastCreateMode_; }
  void NoteCreateMode(DWORD mode) { lastCreateMode_ = mode; }

  // The loaded scenario's conduct of STI and the driver.
  ConductSpec Conduct();
  // Counts a breach (the journal entry is the caller's); the count starts
  // anew with each load.
  void NoteBreach() { ++breaches_; }
  DWORD Breaches() const { return breaches_; }

  // STI objects of the process alive now, by STISIM_OBJECT_* kind: each
  // object counts itself in and out. Under a scenario with "census", every
  // change of these counts or of the blocks the drivers have handed out is
  // followed by a census line in the journal file, with what the
  // simulator's own heap holds where it has one (the Windows build).
  void CountObject(DWORD kind, int change);
  LONG LiveObjects(DWORD kind) const;
  void NoteCensus();

  Journal journal;
  FaultTable faults;
  Chaos chaos;

 private:
  Simulator() = default;
  void LoadConfigured();

  std::mutex configMutex_;
  std::mutex mutex_;
  std::atomic<bool> loaded_{false};
  Text tag_;
  std::vector<std::shared_ptr<SimDevice>> devices_;
  std::optional<LaunchSpec> launch_;
  std::string lastError_;
  std::atomic<DWORD> lockOverride_{0};
  std::atomic<DWORD> lastCreateMode_{0};
  ConductSpec conduct_;
  std::atomic<DWORD> breaches_{0};
  std::atomic<LONG> liveRoots_{0};
  std::atomic<LONG> liveDevices_{0};
  std::atomic<bool> census_{false};
  // The simulator's heap as the census last walked it (a walk takes a while:
  // at most four a second).
  std::mutex heapMutex_;
  std::chrono::steady_clock::time_point heapWalked_{};
  size_t heapBytes_ = 0;
};

// Device records in the registry (device_records.cpp).
struct DeviceRecord {
  Text internalName;
  Text vendor, description, port, propProvider, localName;
  DWORD deviceType = 0, capabilities = 0, hardwareConfig = 0;
  bool attached = true;
};
// The internal name of the class key's subkey NNNN.
Text InternalName(DWORD index);
// True for "{6BDD1FC6-...}\NNNN" (four digits), the only names STI knows.
bool IsInternalName(const WCHAR* name);
HRESULT InstallDeviceRecords(const Scenario& scenario, DWORD indexBase, const Text& tag);
void RemoveDeviceRecords(const Text& tag);
bool ReadDeviceRecord(const WCHAR* internalName, DeviceRecord& record);
std::vector<DeviceRecord> ReadDeviceRecords(const Text& tag);
// STI_DEVICE_INFORMATIONW records and their strings in one LocalAlloc block.
STI_DEVICE_INFORMATIONW* PackDeviceRecords(const std::vector<DeviceRecord>& records);

// Bounded copy into a caller's buffer of `capacity` units; false if cut.
bool CopyText(const Text& text, WCHAR* buffer, DWORD capacity);
size_t TextLength(const WCHAR* text, size_t limit);

}  // namespace sim

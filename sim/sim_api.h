// The simulator's test interface: load scenarios, inject faults, shorten the
// lock wait, read the journal and look at the driver's state. Exported from
// sti.dll on Windows (the unit tests link its import library, so the tests and
// the bridge under test share one simulator); plain functions of the static
// library natively. Nothing here is part of STI.
#pragma once

#include "platform/win32.h"

#if defined(_WIN32) && defined(STIBRIDGE_SIM_BUILDING)
#define STISIM_EXPORT __declspec(dllexport)
#define STISIM_API extern "C" __declspec(dllexport)
#elif defined(_WIN32)
#define STISIM_EXPORT
#define STISIM_API extern "C" __declspec(dllimport)
#else
#define STISIM_EXPORT
#define STISIM_API extern "C"
#endif

// Fault targets besides the escape codes (4101..4122).
#define STISIM_TARGET_LOCK 1u
#define STISIM_TARGET_UNLOCK 2u
#define STISIM_TARGET_CREATE_DEVICE 3u
#define STISIM_TARGET_DEVICE_LIST 4u
#define STISIM_TARGET_DEVICE_INFO 5u
#define STISIM_TARGET_DEVICE_VALUE 6u
#define STISIM_TARGET_CREATE_INSTANCE 7u

// Fault modes.
#define STISIM_FAULT_FAIL 1u      // answer `result` without doing anything
#define STISIM_FAULT_TIMEOUT 2u   // wait `delayMs` (the lock: its time-out), then time out
#define STISIM_FAULT_EMPTY 3u     // succeed, but hand out no block / no data
#define STISIM_FAULT_MISMATCH 4u  // succeed with counts off by `countDelta`

#define STISIM_ANY 0xFFFFFFFFu

struct StiSimFault {
  DWORD target;     // escape code or STISIM_TARGET_*
  DWORD mode;       // STISIM_FAULT_*
  HRESULT result;   // for STISIM_FAULT_FAIL
  DWORD delayMs;    // for STISIM_FAULT_TIMEOUT on escapes
  LONG countDelta;  // for STISIM_FAULT_MISMATCH
  DWORD skip;       // matching calls to let through first
  DWORD times;      // matching calls to affect; 0 = every one
  DWORD device;     // scenario position of the device, or STISIM_ANY
  DWORD operation;  // ItemTransfer only: the request's operation, or STISIM_ANY
};

// Journal entry kinds.
#define STISIM_JOURNAL_LOCK 1u
#define STISIM_JOURNAL_ESCAPE 2u
#define STISIM_JOURNAL_UNLOCK 3u
// A breach of the protocol by the caller, found by the driver: `breach` holds
// its STISIM_BREACH_* kind and `code` the escape it came with.
#define STISIM_JOURNAL_BREACH 4u

// Breaches: what no caller may do, whatever the driver's conduct.
#define STISIM_BREACH_DEAD_BLOCK 1u  // a block reclaimed with its device object, in an escape
#define STISIM_BREACH_FOREIGN_HAND_BACK \
  2u  // a bound block handed back through another device object
#define STISIM_BREACH_SECOND_HAND_BACK 3u  // a block handed back that the driver has taken already
#define STISIM_BREACH_RETURNED_BLOCK \
  4u  // a block (or a record of a list) handed back, in an escape
#define STISIM_BREACH_REQUEST_NAME \
  5u  // a request's item name not in 260 zero-filled units, terminated

struct StiSimJournalEntry {
  DWORD kind;        // STISIM_JOURNAL_*
  DWORD device;      // scenario position of the device
  DWORD object;      // serial number of the device object (1, 2, ... per process)
  DWORD code;        // escape code; the requested time-out for a lock
  DWORD inSize;      // escape input size
  DWORD outSize;     // escape output size
  DWORD sizeBefore;  // size word before the escape
  DWORD sizeAfter;   // size word after the escape
  BOOL hasSizeWord;  // whether the caller passed a size word
  DWORD operation;   // ItemTransfer: the request's operation (STISIM_ANY otherwise)
  HRESULT result;
  DWORD elapsedMs;  // time spent in the call (the lock's wait)
  DWORD chaos;      // the mode (STISIM_FAULT_*) of a random fault the call met; 0 for none
  DWORD breach;     // STISIM_JOURNAL_BREACH: the STISIM_BREACH_* kind; 0 otherwise
};

// Blocks the driver has handed out and not taken back, by kind.
#define STISIM_BLOCK_CAPABILITIES 0u
#define STISIM_BLOCK_SETTINGS 2u
#define STISIM_BLOCK_ITEM_LIST 4u
#define STISIM_BLOCK_USER_RECORD 8u

// STI objects.
#define STISIM_OBJECT_ROOT 1u    // IStillImageW, from StiCreateInstanceW
#define STISIM_OBJECT_DEVICE 2u  // IStiDevice, from CreateDevice

// Scenarios. A load replaces the whole simulated machine: device records in
// the registry, drivers, stored jobs, faults, launch, journal. In-process loads
// install their device keys as 0100 + index, tagged for this process's use, so
// that they never touch the devices an installed scenario put in the same
// registry. Parse errors are E_INVALIDARG; StiSimLastError tells why.
STISIM_API HRESULT StiSimLoadScenarioJson(const char* utf8Json);
STISIM_API HRESULT StiSimLoadScenarioFile(LPCWSTR path);
STISIM_API HRESULT StiSimLoadDefaultScenario();
// The default scenario with its member "conduct" set to `conductJson` (a
// JSON object).
STISIM_API HRESULT StiSimLoadDefaultScenarioUnder(const char* conductJson);
STISIM_API DWORD StiSimLastError(char* buffer, DWORD capacity);

// Installs a scenario for other processes (the server started by COM): writes
// HKLM\Software\stibridge\Simulator "Scenario" = path and "Journal" =
// journalPath (may be null) and installs the device records as 0000 + index.
// It also writes the thumbnail files of the scenario's jobs (as
// StiSimWriteThumbnails); one that cannot be written fails the installation.
STISIM_API HRESULT StiSimInstallScenario(LPCWSTR path, LPCWSTR journalPath);

// Writes the thumbnail file of every job of the loaded scenario where the
// bridge's thumbnail path points (the device's "FilingPath" folder), as an
// installation does: a picture of the first page, or none, or bytes that are
// no picture, as each job's "thumbnail" says. E_FAIL when a file cannot be
// written; StiSimLastError tells which and why.
STISIM_API HRESULT StiSimWriteThumbnails();

// The device's internal name ("{6BDD1FC6-...}\NNNN") by scenario position.
STISIM_API HRESULT StiSimDeviceInternalName(DWORD device, LPWSTR buffer, DWORD capacity);
STISIM_API DWORD StiSimDeviceCount();

// Faults add to those of the scenario; ClearFaults removes all.
STISIM_API HRESULT StiSimAddFault(const StiSimFault* fault);
STISIM_API void StiSimClearFaults();

// Random faults (the scenario's "chaos" member) injected since the last load.
STISIM_API DWORD StiSimChaosInjected();

// Every LockDevice waits `milliseconds` instead of what it asked for; 0
// restores the requested time-outs.
STISIM_API void StiSimSetLockTimeoutOverride(DWORD milliseconds);

// The device whose event launched the client, or STISIM_ANY for none.
STISIM_API HRESULT StiSimSetLaunch(DWORD device, DWORD eventCode, LPCWSTR eventName);

// The mode (STI_DEVICE_CREATE_*) of the last device object created; 0 before any.
STISIM_API DWORD StiSimLastCreateMode();

// Breaches since the last load (each is also a journal entry); the name of a
// breach kind, or null.
STISIM_API DWORD StiSimBreachCount();
STISIM_API const char* StiSimBreachName(DWORD kind);

STISIM_API DWORD StiSimJournalCount();
STISIM_API BOOL StiSimJournalAt(DWORD index, StiSimJournalEntry* entry);
STISIM_API void StiSimClearJournal();

// Driver state, by scenario position of the device.
STISIM_API LONG StiSimOutstandingBlocks(DWORD device, DWORD kind);
// STI objects of the kind (STISIM_OBJECT_*) alive in this process; every
// scenario load leaves the count as it was.
STISIM_API LONG StiSimLiveObjects(DWORD kind);
STISIM_API LONG StiSimStoredItemCount(DWORD device);
STISIM_API LONG StiSimAccessCount(DWORD device);
STISIM_API LONG StiSimEventRegistrations(DWORD device, DWORD kind);
// What the last SetScanSettings and SetUserRecord delivered.
STISIM_API HRESULT StiSimLastSettingsValue(DWORD device, DWORD property, LONG* value);
STISIM_API HRESULT StiSimLastJobName(DWORD device, LPWSTR buffer, DWORD capacity);
STISIM_API HRESULT StiSimLastStoreId(DWORD device, LPWSTR buffer, DWORD capacity);
STISIM_API HRESULT StiSimLastPin(DWORD device, LPWSTR buffer, DWORD capacity);
// Signals every event registered for `kind`, from a thread of the driver's
// own when `ownThread` is set (as a device would when a job ends by itself).
STISIM_API HRESULT StiSimRaiseEvent(DWORD device, DWORD kind, BOOL ownThread);

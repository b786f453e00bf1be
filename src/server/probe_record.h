// The record of what the server learns of its callers, for `stiscan doctor
// --windows-probe`: the things that differ between Windows and Wine and
// that only the server sees (which process the platform names as the
// caller of CreateInstance and of the first direct call, what impersonating
// the client answers and the owner check's verdicts, whether its class
// object could be suspended on its way out, how many objects live and how
// many the watch over dead clients cut off).
//
// The probe makes a named section of the session with this layout and the
// server fills it while it exists; the server never makes it, and without
// it records nothing (one failing OpenFileMapping per creation and per
// first direct call). The layout is the same for 32- and 64-bit programs:
// fixed-width fields only. This header is the server's and the probe's
// both (stiscan includes it), and holds nothing but the layout.
#pragma once

#include <cstdint>

namespace probe_record {

inline constexpr char16_t kName[] = u"stibridge windows probe {2C6F1A4E-7D93-4B58-A1E0-5F38C2D97B16}";
inline constexpr uint32_t kMagic = 0x50425453;  // "STBP"
inline constexpr uint32_t kVersion = 1;

// A verdict of the owner check: not asked, refused, admitted.
inline constexpr int32_t kNotAsked = -1;

// What the platform names as the caller of one call, every way the server
// can ask, and what the watch over dead clients holds for the object then.
struct Learned {
  uint32_t calls;             // how many calls were recorded here (the last one's values)
  int32_t rpcStatus;          // I_RpcBindingInqLocalClientPID's status
  uint32_t rpcProcess;        // and the process it names
  int32_t callerThreadResult; // CoGetCallerTID's result
  uint32_t callerThread;      // the thread it names
  uint32_t callerThreadProcess;
  int32_t callingProcessInfo;  // CoGetCallContext for ICallingProcessInfo (not relied on)
  uint32_t callingProcessInfoProcess;
  uint32_t watched[4];         // the processes the watch holds for the object
  uint32_t watchedCount;       // how many (more than 4: the first 4 are listed)
};

struct Record {
  uint32_t magic;
  uint32_t version;
  // Written by the probe.
  uint32_t probeProcess;
  char16_t foreignSid[80];  // the owner SID of a job of somebody else's
  char16_t ownSid[80];      // the probe's own user SID
  // Written by the server.
  uint32_t serverProcess;
  uint32_t serverBits;
  uint32_t underWine;
  Learned creation;     // in CreateInstance
  Learned directCall;   // in the first direct call (InitializeSti)
  int32_t impersonation;  // CoImpersonateClient's answer in the owner check
  int32_t foreignVerdict; // the owner check for foreignSid: 1 admitted, 0 refused
  int32_t ownVerdict;     // and for ownSid
  uint32_t wayOuts;       // how many times the server began its way out
  int32_t suspendResult;  // CoSuspendClassObjects' result then
  int32_t liveObjects;    // the server's objects now
  uint32_t cutOff;        // objects the watch cut off from their dead clients
};

static_assert(sizeof(char16_t) == 2, "UTF-16");

}  // namespace probe_record

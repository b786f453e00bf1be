#include "server/entry.h"

#include "server/class_factory.h"
#include "server/command_line.h"
#include "server/lifetime.h"
#include "server/probe_notes.h"
#include "server/registration.h"
#include "server/stub_anchors.h"

bool ActOnSwitches(LPSTR commandTail, bool* failed)
{
  bool earlyExit = false;
  bool anyFailed = false;
  char* cursor = commandTail;
  while (char* token = NextSwitchToken(&cursor)) {
    switch (ClassifySwitch(token)) {
      case ServerSwitch::Unregister:
        anyFailed = FAILED(RemoveRegistration(*serverClassEntry.clsid, serverClassEntry.progId,
                                              serverClassEntry.versionedProgId)) ||
                    anyFailed;
        earlyExit = true;
        break;
      case ServerSwitch::Register:
        anyFailed = FAILED(WriteRegistration()) || anyFailed;
        earlyExit = true;
        break;
      case ServerSwitch::Embedding:
        if (failed != nullptr) *failed = anyFailed;
        return earlyExit;
      case ServerSwitch::Other:
        break;
    }
  }
  if (failed != nullptr) *failed = anyFailed;
  return earlyExit;
}

namespace {

DWORD idleEndMilliseconds = kIdleEndMilliseconds;

bool InUse()
{
  return objectCount > 0 || serverLockCount > 0;
}

// The serving loop's own thread timer: it wakes the loop at the end of a
// spell that the loop waits for. Once rung it rings again each period until
// set anew or cancelled; the loop judges every ring by the clock, so a ring
// that comes late, early or once too often changes nothing.
class Alarm {
 public:
  Alarm() = default;
  Alarm(const Alarm&) = delete;
  Alarm& operator=(const Alarm&) = delete;
  ~Alarm() { Cancel(); }

  // Rings `milliseconds` from now, instead of when it was set to before.
  // False when the thread's timer could not be set.
  bool In(ULONGLONG milliseconds)
  {
    const UINT wait = milliseconds > kLongestWait ? kLongestWait : static_cast<UINT>(milliseconds);
    const UINT_PTR set = SetTimer(nullptr, id, wait, nullptr);
    if (set == 0) return false;
    id = set;
    return true;
  }
  void Cancel()
  {
    if (id != 0) KillTimer(nullptr, id);
    id = 0;
  }
  bool Set() const { return id != 0; }
  bool Rang(const MSG& message) const
  {
    return id != 0 && message.hwnd == nullptr && message.wParam == id;
  }

 private:
  // A day: the idle spell is far shorter, and a later ring just sets it again.
  static constexpr ULONGLONG kLongestWait = 24ull * 60 * 60 * 1000;
  UINT_PTR id = 0;
};

// Serves calls until the server may end. Every message but a timer's is a
// call (COM delivers calls to the thread as messages), and the loop waits in
// GetMessageW, so that serving costs one wait per call; the spells it waits
// for end with a ring of its Alarm.
//
// A quit (the last object went, or the last lock) starts the way out, unless
// an object or a lock exists by the time the loop takes it (a client created
// one meanwhile): the counts decide, not the message. So does a spell without
// an object, a lock or a call, for a server that nobody will ever use (one
// that COM started for a client that died before creating anything, or for a
// client that another server served): the way out starts early enough that
// the server has ended idleEndMilliseconds after it was last used (or after
// its process started).
//
// The way out, when the server has no object and no lock. A client is handed
// the class object by COM's activation service and calls it a moment later;
// the steps below keep a client that was handed this server from meeting one
// that has gone:
//   1. the class object is suspended (an activation service that can suspend
//      starts a new server for a new client instead; Wine's cannot);
//   2. calls already on their way are answered, until a quiet spell; a call
//      that leaves an object or a lock ends the way out at once: the class
//      object is resumed and the server serves on;
//   3. the class object is withdrawn, and what still arrives during another
//      quiet spell is answered too: an activation service that cannot suspend
//      may have handed the class object out until now, and a call that
//      arrives then is from a client on its way to create an object, so the
//      class object is published again (and resumed) before that call is
//      answered. If the call leaves an object or a lock the server serves on;
//      if nothing comes of it, the way out starts over;
//   4. the server ends.
class ServingLoop {
 public:
  ServingLoop(ULONGLONG started, ULONGLONG idleFrom)
      : started(started),
        idleSince(idleFrom),
        idleLimit(idleEndMilliseconds > kWayOutMilliseconds
                      ? idleEndMilliseconds - kWayOutMilliseconds
                      : 0)
  {
  }

  // The exit code: 0, kExitQueueFailed, or kExitRepublishFailed.
  int Run()
  {
    if (!Wake(0)) return kExitQueueFailed;
    MSG message;
    while (!ended && !failed) {
      const BOOL got = GetMessageW(&message, nullptr, 0, 0);
      if (got == -1) {
        // The queue itself failed; taking the next message again would spin
        // forever, and a server that cannot receive calls has nothing left
        // to do.
        failed = true;
      } else if (got == 0) {
        OnQuit();
      } else if (message.message == WM_TIMER) {
        // A timer's message is no call. One that is not the loop's own goes
        // to its procedure (a periodic check of the server's).
        if (alarm.Rang(message))
          OnAlarm();
        else
          DispatchMessageW(&message);
      } else {
        OnCall(message);
      }
    }
    if (failed) return kExitQueueFailed;
    return republishFailed ? kExitRepublishFailed : 0;
  }

 private:
  enum class Phase { Serving, Suspended, Withdrawn };

  ULONGLONG Now() const { return GetTickCount64(); }

  // Rings after `milliseconds`; a timer that cannot be set leaves the loop
  // as a failed queue does (it could not end a spell any more).
  bool Wake(ULONGLONG milliseconds)
  {
    if (alarm.In(milliseconds)) return true;
    failed = true;
    return false;
  }

  void OnCall(const MSG& message)
  {
    if (phase == Phase::Withdrawn && !publishedAgain) PublishAgain();
    DispatchMessageW(&message);
    // A call is use too: the idle spell starts again after it.
    idleSince = quietSince = Now();
    used = true;
    switch (phase) {
      case Phase::Serving:
        // Nothing in use and nothing set to wake the loop: the idle spell
        // needs the alarm (set once per spell, not per call).
        if (!InUse() && !alarm.Set()) Wake(idleLimit);
        break;
      case Phase::Suspended:
      case Phase::Withdrawn:
        if (InUse()) ServeOn();
        break;
    }
  }

  // Whether a spell of `length` that began at `since` lasts beyond `now`;
  // the alarm is then set for its end.
  bool SpellGoesOn(ULONGLONG since, ULONGLONG length, ULONGLONG now)
  {
    if (now - since >= length) return false;
    Wake(since + length - now);
    return true;
  }

  void OnQuit()
  {
    // On the way out the counts decide; while serving, a quit that finds an
    // object or a lock came before a client created it.
    if (phase != Phase::Serving || InUse()) return;
    StartWayOut();
  }

  void OnAlarm()
  {
    const ULONGLONG now = Now();
    switch (phase) {
      case Phase::Serving:
        if (InUse()) {
          // An object or a lock: no spell to wait for until it goes.
          used = true;
          alarm.Cancel();
          return;
        }
        if (!used && !graceOver) {
          if (SpellGoesOn(started, kSecondServerGraceMilliseconds, now)) return;
          graceOver = true;
          // Nobody reached this server, and another one is published: the
          // clients are the other's.
          if (!IsThePublishedServer()) {
            StartWayOut();
            return;
          }
        }
        if (SpellGoesOn(idleSince, idleLimit, now)) return;
        StartWayOut();
        return;
      case Phase::Suspended:
        if (InUse()) {
          ServeOn();
          return;
        }
        if (SpellGoesOn(quietSince, kSuspendedQuietMilliseconds, now)) return;
        WithdrawClassObjects();
        phase = Phase::Withdrawn;
        publishedAgain = false;
        quietSince = now;
        Wake(kWithdrawnQuietMilliseconds);
        return;
      case Phase::Withdrawn:
        if (InUse()) {
          // An object or a lock that no call brought (none can, across
          // processes): publish again all the same.
          if (!publishedAgain) PublishAgain();
          ServeOn();
          return;
        }
        if (SpellGoesOn(quietSince, kWithdrawnQuietMilliseconds, now)) return;
        if (!publishedAgain) {
          ended = true;
          return;
        }
        // Called while withdrawn, but nothing came of it: out again, from
        // the start.
        StartWayOut();
        return;
    }
  }

  void StartWayOut()
  {
    probe_notes::AtWayOut(CoSuspendClassObjects());
    phase = Phase::Suspended;
    quietSince = Now();
    Wake(kSuspendedQuietMilliseconds);
  }

  // Back to serving: from the suspended step the class object is resumed;
  // from the withdrawn one it was published again (and resumed) for the
  // call that came, or its failure recorded.
  void ServeOn()
  {
    if (phase == Phase::Suspended) CoResumeClassObjects();
    phase = Phase::Serving;
    idleSince = Now();
  }

  // The class object published again (and so resumed) for a call that
  // arrived while it was withdrawn. One that cannot be published is reported
  // by the exit code; the next call tries again, and the call is answered
  // either way.
  void PublishAgain()
  {
    if (PublishClassObjects())
      publishedAgain = true;
    else
      republishFailed = true;
  }

  const ULONGLONG started;
  ULONGLONG idleSince;
  const ULONGLONG idleLimit;
  // Until the first call, and until the grace has passed, whether another
  // server is the published one is asked once more at the grace's end.
  bool used = false;
  bool graceOver = false;
  Phase phase = Phase::Serving;
  // On the way out: when the last call was answered, or the step began.
  ULONGLONG quietSince = 0;
  bool publishedAgain = false;
  bool republishFailed = false;
  bool ended = false;
  bool failed = false;
  Alarm alarm;
};

}  // namespace

void SetIdleEndForTesting(DWORD milliseconds)
{
  idleEndMilliseconds = milliseconds != 0 ? milliseconds : kIdleEndMilliseconds;
}

int ServerMain(HINSTANCE instance, LPSTR commandTail, ULONGLONG sinceProcessStart)
{
  const ULONGLONG started = GetTickCount64();
  const ULONGLONG startUp = sinceProcessStart < kLongestStartUpMilliseconds ? sinceProcessStart : 0;
  const ULONGLONG processStarted = started > startUp ? started - startUp : started;
  // Without COM there is nothing to serve, and nobody to tell but the exit
  // code.
  if (FAILED(CoInitialize(nullptr))) return kExitComFailed;
  mainThreadId = GetCurrentThreadId();
  moduleInstance = instance;

  bool registrationFailed = false;
  if (commandTail != nullptr && ActOnSwitches(commandTail, &registrationFailed)) {
    CoUninitialize();
    return registrationFailed ? kExitRegistrationFailed : 0;
  }

  if (!RegisterClassObjects()) {
    // Without a published class object nothing can ever post the quit
    // message: end now instead of waiting forever.
    CoUninitialize();
    return kExitNotPublished;
  }

  StubAnchors anchors;
  anchors.Hold(serverClassEntry.classObject);
  const int exitCode = ServingLoop(started, processStarted).Run();

  WithdrawClassObjects();
  anchors.Release();
  if (serverClassEntry.classObject != nullptr) {
    serverClassEntry.classObject->Release();
    serverClassEntry.classObject = nullptr;
  }
  CoUninitialize();
  return exitCode;
}

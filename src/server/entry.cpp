#include "server/entry.h"

#include "server/class_factory.h"
#include "server/command_line.h"
#include "server/lifetime.h"
#include "server/registration.h"
#include "server/stub_anchors.h"

bool ActOnSwitches(LPSTR commandTail)
{
  bool earlyExit = false;
  char* cursor = commandTail;
  while (char* token = NextSwitchToken(&cursor)) {
    switch (ClassifySwitch(token)) {
      case ServerSwitch::Unregister:
        RemoveRegistration(*serverClassEntry.clsid, serverClassEntry.progId,
                           serverClassEntry.versionedProgId);
        earlyExit = true;
        break;
      case ServerSwitch::Register:
        WriteRegistration();
        earlyExit = true;
        break;
      case ServerSwitch::Embedding:
        return earlyExit;
      case ServerSwitch::Other:
        break;
    }
  }
  return earlyExit;
}

namespace {

DWORD idleEndMilliseconds = kIdleEndMilliseconds;

enum class Taken { Message, Quit, TimedOut, QueueFailed };

// The next message of the thread's queue, waiting at most `milliseconds`
// (INFINITE: as long as it takes).
Taken TakeMessage(MSG& message, DWORD milliseconds)
{
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  for (;;) {
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
      return message.message == WM_QUIT ? Taken::Quit : Taken::Message;
    DWORD wait = INFINITE;
    if (milliseconds != INFINITE) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return Taken::TimedOut;
      wait = static_cast<DWORD>(deadline - now);
    }
    // A failing wait means the queue itself failed; waiting again would
    // spin forever, and a server that cannot receive calls has nothing left
    // to do.
    if (MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
        WAIT_FAILED)
      return Taken::QueueFailed;
  }
}

bool InUse()
{
  return objectCount > 0 || serverLockCount > 0;
}

enum class Drained { Quiet, QueueFailed };

// Answers every call that arrives until `quietMilliseconds` pass without
// one. A quit among them is dropped: the counts decide afterwards. With
// `beforeEachCall`, that is run before each call is answered.
template <typename BeforeCall>
Drained Drain(DWORD quietMilliseconds, BeforeCall beforeEachCall)
{
  MSG message;
  for (;;) {
    switch (TakeMessage(message, quietMilliseconds)) {
      case Taken::QueueFailed:
        return Drained::QueueFailed;
      case Taken::TimedOut:
        return Drained::Quiet;
      case Taken::Quit:
        break;
      case Taken::Message:
        beforeEachCall();
        DispatchMessageW(&message);
        break;
    }
  }
}

enum class Ending { End, ServeOn, QueueFailed };

// The way out, when the server has no object and no lock. A client is handed
// the class object by COM's activation service and calls it a moment later;
// the order below leaves no moment in which a client can be handed a server
// that is going:
//   1. stop being handed out (the class object is suspended: the activation
//      service starts a new server for a new client instead);
//   2. answer every call already on its way, until a quiet spell;
//   3. if an object or a lock appeared meanwhile, publish again and serve on;
//   4. otherwise withdraw the class object, and answer what still arrives
//      for another quiet spell: an activation service that cannot suspend
//      (Wine's does not) may have handed the class object out until now, and
//      a call that arrives then is from a client on its way to create an
//      object, so the class object is published again before that call is
//      answered, and the way out starts over;
//   5. end.
Ending EndServing()
{
  for (;;) {
    CoSuspendClassObjects();
    if (Drain(kSuspendedQuietMilliseconds, [] {}) == Drained::QueueFailed)
      return Ending::QueueFailed;
    if (InUse()) {
      CoResumeClassObjects();
      return Ending::ServeOn;
    }

    WithdrawClassObjects();
    bool calledAgain = false;
    Drained drained = Drain(kWithdrawnQuietMilliseconds, [&] {
      if (calledAgain) return;
      calledAgain = true;
      PublishClassObjects();
    });
    if (drained == Drained::QueueFailed) return Ending::QueueFailed;
    if (InUse()) {
      // Published again: the call that arrived made an object or took a lock
      // (an object made in any other way would have needed a call too).
      if (!calledAgain) PublishClassObjects();
      return Ending::ServeOn;
    }
    if (!calledAgain) return Ending::End;
    // Called while withdrawn, but nothing came of it: out again, from the
    // start.
  }
}

// Serves calls until the server may end. A quit (the last object went, or
// the last lock) starts the way out; so does a spell without an object, a
// lock or a call, for a server that nobody will ever use (one that COM
// started for a client that died before creating anything, or for a client
// that another server served): the way out starts early enough that the
// server has ended idleEndMilliseconds after it was last used (or its
// process started: `idleFrom`). Returns false when the message queue failed.
bool Serve(ULONGLONG started, ULONGLONG idleFrom)
{
  const DWORD idleLimit =
      idleEndMilliseconds > kWayOutMilliseconds ? idleEndMilliseconds - kWayOutMilliseconds : 0;
  ULONGLONG idleSince = idleFrom;
  // Until the first call, and until the grace has passed, whether another
  // server is the published one is asked once more at the grace's end.
  bool used = false;
  bool graceOver = false;
  MSG message;
  for (;;) {
    DWORD wait = INFINITE;
    if (!InUse()) {
      ULONGLONG until = idleSince + idleLimit;
      if (!used && !graceOver) until = started + kSecondServerGraceMilliseconds;
      const ULONGLONG now = GetTickCount64();
      wait = now >= until ? 0 : static_cast<DWORD>(until - now);
    }
    switch (TakeMessage(message, wait)) {
      case Taken::QueueFailed:
        return false;
      case Taken::Message:
        DispatchMessageW(&message);
        // A call is use too: the idle spell starts again after it.
        idleSince = GetTickCount64();
        used = true;
        continue;
      case Taken::TimedOut:
        if (InUse()) {
          used = true;
          continue;
        }
        if (!used && !graceOver) {
          graceOver = true;
          // Nobody reached this server, and another one is published: the
          // clients are the other's.
          if (IsThePublishedServer()) continue;
          break;
        }
        if (GetTickCount64() - idleSince < idleLimit) continue;
        break;
      case Taken::Quit:
        break;
    }
    switch (EndServing()) {
      case Ending::End:
        return true;
      case Ending::QueueFailed:
        return false;
      case Ending::ServeOn:
        idleSince = GetTickCount64();
        break;
    }
  }
}

}  // namespace

void SetIdleEndForTesting(DWORD milliseconds)
{
  idleEndMilliseconds = milliseconds != 0 ? milliseconds : kIdleEndMilliseconds;
}

int ServerMain(HINSTANCE instance, LPSTR commandTail, ULONGLONG sinceProcessStart)
{
  const ULONGLONG started = GetTickCount64();
  const ULONGLONG startUp =
      sinceProcessStart < kLongestStartUpMilliseconds ? sinceProcessStart : 0;
  const ULONGLONG processStarted = started > startUp ? started - startUp : started;
  if (FAILED(CoInitialize(nullptr))) return 0;
  mainThreadId = GetCurrentThreadId();
  moduleInstance = instance;

  if (commandTail != nullptr && ActOnSwitches(commandTail)) {
    CoUninitialize();
    return 0;
  }

  if (!RegisterClassObjects()) {
    // Without a published class object nothing can ever post the quit
    // message: end now instead of waiting forever.
    CoUninitialize();
    return kExitNotPublished;
  }

  StubAnchors anchors;
  anchors.Hold(serverClassEntry.classObject);
  const bool queueHealthy = Serve(started, processStarted);

  WithdrawClassObjects();
  anchors.Release();
  if (serverClassEntry.classObject != nullptr) {
    serverClassEntry.classObject->Release();
    serverClassEntry.classObject = nullptr;
  }
  CoUninitialize();
  return queueHealthy ? 0 : kExitQueueFailed;
}

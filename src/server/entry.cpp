#include "server/entry.h"

#include "server/class_factory.h"
#include "server/command_line.h"
#include "server/lifetime.h"
#include "server/registration.h"

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

// Dispatches until WM_QUIT. Returns false when the queue failed.
bool RunMessageLoop()
{
  MSG message;
  for (;;) {
    BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) return true;
    // -1 means the queue itself failed; retrying would spin forever, and a
    // server that cannot receive calls has nothing left to do.
    if (got == -1) return false;
    DispatchMessageW(&message);
  }
}

// How long the server goes on answering calls after the quit, with its class
// object still published, before it withdraws the class object and ends: it
// ends only after this long without a call. COM's activation service hands a
// client this server's class object until it is withdrawn, and the client's
// calls on it (fetching the class object, then creating) reach the server a
// moment later each. A client that releases its last object and creates the
// next one at once (a data source closing and reopening the scanner), or a
// second client starting just then, would otherwise meet a server that has
// gone.
constexpr DWORD kLingerMilliseconds = 250;

// Answers calls until kLingerMilliseconds pass without one. A WM_QUIT among
// them is dropped: the counts decide afterwards whether the server ends.
void Linger()
{
  ULONGLONG deadline = GetTickCount64() + kLingerMilliseconds;
  MSG message;
  while (GetTickCount64() < deadline) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) continue;
      DispatchMessageW(&message);
      deadline = GetTickCount64() + kLingerMilliseconds;
    }
    Sleep(5);
  }
}

}  // namespace

int ServerMain(HINSTANCE instance, LPSTR commandTail)
{
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

  bool queueHealthy = RunMessageLoop();
  // A client given an object while the server lingered keeps it serving; the
  // object's last release posts the quit again.
  while (queueHealthy) {
    Linger();
    if (objectCount <= 0 && serverLockCount <= 0) break;
    queueHealthy = RunMessageLoop();
  }

  WithdrawClassObjects();
  if (serverClassEntry.classObject != nullptr) {
    serverClassEntry.classObject->Release();
    serverClassEntry.classObject = nullptr;
  }
  CoUninitialize();
  return queueHealthy ? 0 : kExitQueueFailed;
}

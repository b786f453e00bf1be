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

  if (serverClassEntry.registrationCookie != 0) {
    CoRevokeClassObject(serverClassEntry.registrationCookie);
    serverClassEntry.registrationCookie = 0;
  }
  if (serverClassEntry.classObject != nullptr) {
    serverClassEntry.classObject->Release();
    serverClassEntry.classObject = nullptr;
  }
  CoUninitialize();
  return queueHealthy ? 0 : kExitQueueFailed;
}

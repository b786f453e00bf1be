// The watch over the processes of the server's clients. COM releases the
// references of a client that dies only through its own rundown: Windows
// runs it some minutes later, Wine never. Until then the dead client's
// objects live, each keeping its scanner, the driver's blocks and the
// server itself. The watch learns, while CreateInstance serves the call,
// which processes may have made it, and once every one of them has ended it
// cuts the object off from COM (CoDisconnectObject): the references the
// dead client held go, and the object ends as one released without Close.
//
// An object whose client cannot be learned is left to COM. One that COM
// (or the client) releases first is simply forgotten; one already cut off
// is cut off once. An object that its client handed on to another process
// goes when its client goes.
#pragma once

#include "platform/win32.h"

// How often the watch looks at the processes it watches, while it watches
// any: a dead client's objects go within this long (and the server, if they
// were its last, the way out later).
constexpr UINT kClientWatchMilliseconds = 2000;

namespace client_watch {

// Called by the class factory inside CreateInstance, for the object it
// hands out (its identity): watches the processes that may have made the
// call on the object's behalf.
void Watch(IUnknown* object);

// The object is being destroyed: it is no longer watched.
void Forget(IUnknown* object);

// Looks at the watched processes now and cuts off every object whose
// possible clients have all ended (run by the timer).
void Check();

// Objects and processes watched now.
size_t WatchedObjects();
size_t WatchedProcesses();

// What the watch asks of the system; tests replace it. Null restores the
// real one (the platform's processes and timer, and CoDisconnectObject).
struct System {
  void (*callingProcesses)(std::vector<platform_client::ClientProcess>& processes);
  bool (*hasEnded)(HANDLE process);
  void (*closeProcess)(HANDLE process);
  void (*startTicks)(UINT milliseconds, void (*tick)());
  void (*stopTicks)();
  void (*disconnect)(IUnknown* object);
};
void SetSystemForTesting(const System* system);

}  // namespace client_watch

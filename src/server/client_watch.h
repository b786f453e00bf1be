// The watch over the processes of the server's clients. COM releases the
// references of a client that dies only through its own rundown: Windows
// runs it some minutes later (about six), Wine never. Until then the dead
// client's objects live, each keeping its scanner, the driver's blocks and
// the server itself. The watch learns which processes may have made an
// object, and once every one of them has ended it cuts the object off from
// COM (CoDisconnectObject): the references the dead client held go, and the
// object ends as one released without Close.
//
// It learns them twice. While CreateInstance serves the call: under Wine
// every process connected to the server then (the caller among them);
// on Windows COM's activation service makes that call, so nothing. Then at
// the object's first direct call (InitializeSti), where the platform names
// the caller exactly (platform_client::DirectCaller): that process alone is
// the object's client from then on.
//
// An object whose client cannot be learned is left to COM. One that COM
// (or the client) releases first is simply forgotten; one already cut off
// is cut off once. An object that its client handed on to another process
// goes when its client goes.
//
// Server locks (IClassFactory::LockServer) are counted per client where the
// platform names the caller: a client's unlock takes back only its own
// locks (an extra one cancels nobody else's), and the locks of a client
// that has ended are dropped at the next look. Windows carries a client's
// LockServer to the server; Wine 8's proxy answers E_NOTIMPL and sends
// nothing. A lock whose caller cannot be named counts as before: for the
// server as a whole, until an unlock from anybody.
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

// Called in an object's first direct call (InitializeSti): where the
// platform names the caller exactly, it becomes the object's one client.
// Nothing once an exact client is known, or where none is named.
void LearnCaller(IUnknown* object);

// IClassFactory::LockServer, counted for its caller where the platform
// names it (see above).
void LockServer(BOOL lock);

// The object is being destroyed: it is no longer watched.
void Forget(IUnknown* object);

// Looks at the watched processes now, cuts off every object whose possible
// clients have all ended, and drops the locks of ended clients (run by the
// timer).
void Check();

// The processes the watch holds for `object` (none when it is not watched).
std::vector<DWORD> ClientsOf(IUnknown* object);

// Objects and processes watched now, and the locks counted for clients.
size_t WatchedObjects();
size_t WatchedProcesses();
LONG ClientLocks();

// What the watch asks of the system; tests replace it. Null restores the
// real one (the platform's processes and timer, and CoDisconnectObject).
struct System {
  void (*callingProcesses)(std::vector<platform_client::ClientProcess>& processes);
  bool (*directCaller)(platform_client::ClientProcess& process);
  bool (*hasEnded)(HANDLE process);
  void (*closeProcess)(HANDLE process);
  void (*startTicks)(UINT milliseconds, void (*tick)());
  void (*stopTicks)();
  void (*disconnect)(IUnknown* object);
};
void SetSystemForTesting(const System* system);

}  // namespace client_watch

// Stubs the server keeps for as long as it serves, of its class object and of
// its one interface. Under Wine, when the last stub of an interface goes (a
// client released the last object, or the last class object it held), the
// apartment's own thread unregisters the interface from the RPC runtime and
// waits there for the calls in progress on it to complete; a call counts as
// on the interface its connection was first bound to, and calls to this
// apartment are answered only by this thread, so a call of another client
// that arrived meanwhile is never answered and the server stops answering
// anybody. Keeping one stub of each interface for the server's life means
// none of them is ever unregistered while it serves. Elsewhere they cost one
// table-strong marshal each.
#pragma once

#include "platform/win32.h"

class StubAnchors {
 public:
  StubAnchors() = default;
  StubAnchors(const StubAnchors&) = delete;
  StubAnchors& operator=(const StubAnchors&) = delete;

  // Keeps a stub of `classObject` and one of the bridge interface (on an
  // object of its own that serves no call). A stub that cannot be kept (no
  // proxy of the interface is registered, say) is done without: the server
  // serves all the same.
  void Hold(IClassFactory* classObject);

  // Lets go of both, and cuts every stub of the class object off: a client
  // that still holds it is refused from then on. The serving loop has ended,
  // so no call of this thread's apartment is in progress that the stubs
  // would wait for.
  void Release();

 private:
  IClassFactory* classObject = nullptr;
  void* classObjectKept = nullptr;
  IStiScannerComBridge* bridgeAnchor = nullptr;
  void* bridgeKept = nullptr;
};

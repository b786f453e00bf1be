// The portable subset has no remoting: no other process reaches its objects,
// so there is no stub to keep and none to cut off.
#include "platform/posix/posix_internal.h"
#include "platform/remoting.h"

namespace platform_remoting {

HRESULT KeepStub(IUnknown*, REFIID, void** kept)
{
  if (kept != nullptr) *kept = nullptr;
  return S_FALSE;
}

void ReleaseKeptStub(IUnknown*, void*) {}

void DisconnectStubs(IUnknown*) {}

}  // namespace platform_remoting

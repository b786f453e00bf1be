// The portable subset has no remoting and no other process: no stub to keep
// or cut off, and every name is this process's.
#include "platform/posix/posix_internal.h"
#include "platform/server_support.h"

namespace platform_server {

HRESULT KeepStub(IUnknown*, REFIID, void** kept)
{
  if (kept != nullptr) *kept = nullptr;
  return S_FALSE;
}

void ReleaseKeptStub(IUnknown*, void*) {}

void DisconnectStubs(IUnknown*) {}

bool ClaimName(const WCHAR*)
{
  return true;
}

void ReleaseName() {}

SECURITY_ATTRIBUTES* UserObjectSecurity()
{
  return nullptr;
}

void* OpenSharedRecord(const WCHAR*, size_t)
{
  return nullptr;
}

ULONGLONG MillisecondsSinceProcessStart()
{
  return 0;
}

}  // namespace platform_server

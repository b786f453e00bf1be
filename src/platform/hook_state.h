// What the test hooks of hooks.h have set, for the code that honours them.
#pragma once

#include "platform/win32.h"

namespace platform_hooks::state {

// True when the current allocation is to fail (and counts it).
bool TakeAllocationFailure();

// True when opening or creating `subKey` is to be refused.
bool IsRegistryKeyDenied(const WCHAR* subKey);

// The module path set by the hook, or null.
const WCHAR* ModulePath();

// Whether token groups are set, and whether `sidText` is among them.
bool TokenGroupsSet();
bool TokenHasGroup(const WCHAR* sidText);

// The client impersonation of SetClientImpersonation: whether it is set,
// what CoImpersonateClient answers, and the thread's impersonation.
bool ClientImpersonationSet();
HRESULT ClientImpersonationAnswer();
void SetThreadImpersonating(bool impersonating);
bool ThreadImpersonating();
// The client token's user SID (text) and its groups, while impersonating.
const WCHAR* ClientUser();
bool ClientHasGroup(const WCHAR* sidText);

// Whether the host is to be taken for Windows.
bool HostTreatedAsWindows();

}  // namespace platform_hooks::state

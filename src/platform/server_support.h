// What the server needs of the system for its own life beyond the calls of
// the Win32 subset: of COM's remoting, a stub kept for as long as the server
// likes and stubs cut off from their clients; a name that one server
// process at a time holds while it is published; and the security of the
// named objects it makes for its clients. The
// portable subset has no remoting and no other process (nothing can reach
// it from outside), so there the stubs are nothing and the name is always
// this process's.
#pragma once

namespace platform_server {

// Marshals interface `iid` of `object` table-strong in the calling thread's
// apartment and keeps the marshal in `*kept`, so that the interface's stub
// lives until ReleaseKeptStub. S_FALSE where there is no remoting (`*kept`
// null); the marshal's failure otherwise.
HRESULT KeepStub(IUnknown* object, REFIID iid, void** kept);

// Cuts `object`'s stubs off from their clients (CoDisconnectObject: a call
// that arrives afterwards is refused with CO_E_OBJNOTCONNECTED at once; the
// stubs themselves go once the calls in progress on them have returned, and
// the call to cut them off does not wait for that), then lets go of what
// KeepStub kept (null: nothing was kept).
void ReleaseKeptStub(IUnknown* object, void* kept);

// Cuts `object`'s stubs off from their clients, as ReleaseKeptStub does.
void DisconnectStubs(IUnknown* object);

// Claims `name` (a named mutex of the session) for this process's main
// thread: true when it holds it now (already, or now; also when the name
// could not be made, so that a server never ends for want of it), false when
// another process holds it. A holder that died leaves it to the next claim.
bool ClaimName(const WCHAR* name);

// Gives a name claimed by ClaimName up; nothing when none is held.
void ReleaseName();

// The security attributes of the named kernel objects the server makes for
// its clients (the events of RegisterEvents): full access for the user the
// process runs as and for SYSTEM, and a medium integrity label. An object
// made with the token's defaults by an elevated server admits only
// Administrators and SYSTEM and carries a high label, so that a server of
// the same user that is not elevated (and the user's data sources) could
// neither make nor open it while the first one ran. Made once; null where
// the platform has no object security (the portable subset) or where they
// cannot be made, and the system's defaults then apply.
SECURITY_ATTRIBUTES* UserObjectSecurity();

// The named section `name` of the session, `bytes` long, mapped for reading
// and writing when another process made it (stiscan doctor --windows-probe
// makes its record so); null when there is none, or where the platform has
// no sections (the portable subset). It stays mapped for the process's life.
void* OpenSharedRecord(const WCHAR* name, size_t bytes);

// How long ago this process was created, in milliseconds (0 where that
// cannot be told): a process may take seconds to reach its first line of
// code on a loaded machine.
ULONGLONG MillisecondsSinceProcessStart();

}  // namespace platform_server

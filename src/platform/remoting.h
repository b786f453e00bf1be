// What the server needs of COM's remoting beyond activation: a stub kept for
// as long as the server likes, and stubs cut off without waiting for calls in
// progress. The portable subset has no remoting (no other process can reach
// it), so there these do nothing.
#pragma once

namespace platform_remoting {

// Marshals interface `iid` of `object` table-strong in the calling thread's
// apartment and keeps the marshal in `*kept`, so that the interface's stub
// lives until ReleaseKeptStub. S_FALSE where there is no remoting (`*kept`
// null); the marshal's failure otherwise.
HRESULT KeepStub(IUnknown* object, REFIID iid, void** kept);

// Cuts `object`'s stubs off from their clients without waiting for calls in
// progress, then lets go of what KeepStub kept (null: nothing was kept).
void ReleaseKeptStub(IUnknown* object, void* kept);

// Cuts `object`'s stubs off from their clients without waiting for calls in
// progress.
void DisconnectStubs(IUnknown* object);

}  // namespace platform_remoting

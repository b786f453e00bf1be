// Server lifetime: the process-wide counts of live objects and server locks,
// and the two quit tests that end the main thread's message loop when no
// object lives and no lock is held.
#pragma once

#include "platform/win32.h"

extern LONG volatile objectCount;
extern LONG volatile serverLockCount;
extern DWORD mainThreadId;

// Counted by the object base's constructor and destructor; the destructor's
// count runs the object-destruction quit test.
void CountObjectCreated();
void CountObjectDestroyed();

// The server-lock count and its quit test (IClassFactory::LockServer). An
// unlock without a lock leaves the count at 0 (and passes the quit test when
// no object lives).
void CountServerLock(BOOL lock);

// Takes up to `count` locks off the server-lock count (never below 0), then
// runs LockServer's quit test; 0 runs the test alone. For the locks of a
// client that has ended, and for an unlock that is not counted.
void DropServerLocks(LONG count);

// What a passing quit test does: post WM_QUIT to mainThreadId. Tests may
// replace it to observe quit decisions without a message loop; null restores
// the real one.
using QuitAction = void (*)();
void SetQuitActionForTesting(QuitAction action);

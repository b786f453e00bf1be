#include "server/lifetime.h"

#include "server/probe_notes.h"

LONG volatile objectCount = 0;
LONG volatile serverLockCount = 0;
DWORD mainThreadId = 0;

namespace {

void PostQuitToMainThread()
{
  PostThreadMessageW(mainThreadId, WM_QUIT, 0, 0);
}

QuitAction quitAction = PostQuitToMainThread;

}  // namespace

void SetQuitActionForTesting(QuitAction action)
{
  quitAction = action != nullptr ? action : PostQuitToMainThread;
}

void CountObjectCreated()
{
  probe_notes::ObjectsNow(InterlockedIncrement(&objectCount));
}

void CountObjectDestroyed()
{
  // Judged by the result of our own decrement; the lock count is a plain
  // read. A negative lock count (more unlocks than locks) counts as no lock.
  const LONG left = InterlockedDecrement(&objectCount);
  probe_notes::ObjectsNow(left);
  if (left == 0 && serverLockCount <= 0) quitAction();
}

void CountServerLock(BOOL lock)
{
  if (lock) {
    InterlockedIncrement(&serverLockCount);
    if (objectCount == 0 && serverLockCount <= 0) quitAction();
    return;
  }
  // An unlock without a lock is not counted: a count below 0 would swallow
  // a later lock, and the server could quit while a client holds one.
  DropServerLocks(1);
}

void DropServerLocks(LONG count)
{
  for (LONG taken = 0; taken < count; ++taken) {
    LONG held = serverLockCount;
    while (held > 0) {
      const LONG seen = InterlockedCompareExchange(&serverLockCount, held - 1, held);
      if (seen == held) break;
      held = seen;
    }
    if (held <= 0) break;
  }
  if (objectCount == 0 && serverLockCount <= 0) quitAction();
}

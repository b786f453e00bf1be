// Thread identity, last-error value, time, and the per-thread message queues
// with their timers.
//
// Thread ids come from a process-wide counter and are never reused, so a
// message posted to a thread that has gone cannot reach a newer one. A thread
// is known from its first GetCurrentThreadId call (nobody can name it
// before) until it exits. Its queue is created lazily, by whichever comes
// first: its own first message call or the first message posted to it.
// Windows creates the queue only on the thread's own first message call and
// fails earlier posts; code written for Windows waits for that anyway, so the
// more forgiving rule here changes nothing for it.
#include "platform/posix/posix_internal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct ThreadTimer {
  UINT_PTR id;
  std::chrono::milliseconds period;
  TIMERPROC procedure;
  Clock::time_point due;
};

struct MessageQueue {
  std::deque<MSG> messages;
  bool quitPosted = false;
  int quitCode = 0;
  std::vector<ThreadTimer> timers;
};

struct Threads {
  std::mutex lock;
  std::condition_variable arrived;
  std::unordered_set<DWORD> alive;
  std::unordered_map<DWORD, std::unique_ptr<MessageQueue>> queues;
};

Threads& AllThreads()
{
  // Never destroyed: threads may end after static destruction has begun.
  static Threads* threads = new Threads;
  return *threads;
}

std::atomic<DWORD> nextThreadId{4};
// Timer ids of the whole process, never 0.
std::atomic<UINT_PTR> nextTimerId{1};
thread_local DWORD lastError = 0;

// Forgets the thread's id and queue when the thread ends.
struct ThreadIdentity {
  DWORD id;
  ThreadIdentity() : id(nextThreadId.fetch_add(4))
  {
    std::lock_guard<std::mutex> guard(AllThreads().lock);
    AllThreads().alive.insert(id);
  }
  ~ThreadIdentity()
  {
    std::lock_guard<std::mutex> guard(AllThreads().lock);
    AllThreads().alive.erase(id);
    AllThreads().queues.erase(id);
  }
};

// The queue of a live thread, created on first use; the caller holds the lock.
MessageQueue& QueueOf(DWORD id)
{
  auto& slot = AllThreads().queues[id];
  if (!slot) slot = std::make_unique<MessageQueue>();
  return *slot;
}

bool InRange(UINT message, UINT first, UINT last)
{
  if (first == 0 && last == 0) return true;
  // WM_QUIT is always retrieved, whatever the filter.
  return message == WM_QUIT || (message >= first && message <= last);
}

// Takes the first message within the filter, or the quit that PostQuitMessage
// left once no other message is waiting, or else the WM_TIMER of a timer
// that is due (the one due first); the caller holds the lock.
bool TakeMessage(MessageQueue& queue, MSG* out, UINT first, UINT last, bool remove)
{
  for (auto it = queue.messages.begin(); it != queue.messages.end(); ++it) {
    if (!InRange(it->message, first, last)) continue;
    *out = *it;
    if (remove) queue.messages.erase(it);
    return true;
  }
  if (queue.quitPosted) {
    *out = MSG{};
    out->message = WM_QUIT;
    out->wParam = WPARAM(queue.quitCode);
    out->time = GetTickCount();
    if (remove) queue.quitPosted = false;
    return true;
  }
  if (!InRange(WM_TIMER, first, last) || queue.timers.empty()) return false;
  const Clock::time_point now = Clock::now();
  ThreadTimer* due = nullptr;
  for (ThreadTimer& timer : queue.timers)
    if (timer.due <= now && (due == nullptr || timer.due < due->due)) due = &timer;
  if (due == nullptr) return false;
  *out = MSG{};
  out->message = WM_TIMER;
  out->wParam = WPARAM(due->id);
  out->lParam = LPARAM(reinterpret_cast<LONG_PTR>(due->procedure));
  out->time = GetTickCount();
  if (remove) due->due = now + due->period;
  return true;
}

// When the first of the queue's timers is due (none: the end of time).
Clock::time_point NextTimerDue(const MessageQueue& queue)
{
  Clock::time_point next = Clock::time_point::max();
  for (const ThreadTimer& timer : queue.timers)
    if (timer.due < next) next = timer.due;
  return next;
}

}  // namespace

DWORD GetCurrentThreadId()
{
  thread_local ThreadIdentity identity;
  return identity.id;
}

DWORD GetCurrentProcessId()
{
  return DWORD(getpid());
}

DWORD GetLastError()
{
  return lastError;
}

void SetLastError(DWORD error)
{
  lastError = error;
}

void Sleep(DWORD milliseconds)
{
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

ULONGLONG GetTickCount64()
{
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return ULONGLONG(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

DWORD GetTickCount()
{
  return DWORD(GetTickCount64());
}

BOOL GetMessageW(LPMSG message, HWND window, UINT first, UINT last)
{
  if (message == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (window != nullptr) {
    // The portable subset has no windows.
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  DWORD self = GetCurrentThreadId();
  std::unique_lock<std::mutex> guard(AllThreads().lock);
  for (;;) {
    MessageQueue& queue = QueueOf(self);
    if (TakeMessage(queue, message, first, last, true))
      return message->message == WM_QUIT ? FALSE : TRUE;
    const Clock::time_point due = NextTimerDue(queue);
    if (due == Clock::time_point::max())
      AllThreads().arrived.wait(guard);
    else
      AllThreads().arrived.wait_until(guard, due);
  }
}

BOOL PeekMessageW(LPMSG message, HWND window, UINT first, UINT last, UINT removal)
{
  if (message == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (window != nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  DWORD self = GetCurrentThreadId();
  std::lock_guard<std::mutex> guard(AllThreads().lock);
  return TakeMessage(QueueOf(self), message, first, last, (removal & PM_REMOVE) != 0) ? TRUE
                                                                                      : FALSE;
}

LRESULT DispatchMessageW(const MSG* message)
{
  // Thread messages have no window, hence no window procedure to call; a
  // timer's procedure is called for its WM_TIMER.
  if (message != nullptr && message->message == WM_TIMER && message->lParam != 0) {
    auto procedure = reinterpret_cast<TIMERPROC>(message->lParam);
    procedure(message->hwnd, WM_TIMER, UINT_PTR(message->wParam), GetTickCount());
  }
  return 0;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC procedure)
{
  if (window != nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  const std::chrono::milliseconds period(milliseconds < USER_TIMER_MINIMUM ? USER_TIMER_MINIMUM
                                                                           : milliseconds);
  const DWORD self = GetCurrentThreadId();
  std::lock_guard<std::mutex> guard(AllThreads().lock);
  MessageQueue& queue = QueueOf(self);
  ThreadTimer* timer = nullptr;
  for (ThreadTimer& held : queue.timers)
    if (held.id == id) timer = &held;
  if (timer == nullptr) {
    queue.timers.push_back(ThreadTimer{nextTimerId.fetch_add(1), period, procedure, {}});
    timer = &queue.timers.back();
  }
  timer->period = period;
  timer->procedure = procedure;
  // The thread's own: it is not waiting now, and its next wait sees the time.
  timer->due = Clock::now() + period;
  return timer->id;
}

BOOL KillTimer(HWND window, UINT_PTR id)
{
  if (window != nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  const DWORD self = GetCurrentThreadId();
  std::lock_guard<std::mutex> guard(AllThreads().lock);
  std::vector<ThreadTimer>& timers = QueueOf(self).timers;
  for (auto it = timers.begin(); it != timers.end(); ++it) {
    if (it->id != id) continue;
    timers.erase(it);
    return TRUE;
  }
  return FALSE;
}

BOOL TranslateMessage(const MSG*)
{
  return FALSE;
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam)
{
  MSG posted{};
  posted.message = message;
  posted.wParam = wParam;
  posted.lParam = lParam;
  posted.time = GetTickCount();
  {
    std::lock_guard<std::mutex> guard(AllThreads().lock);
    if (AllThreads().alive.count(threadId) == 0) {
      SetLastError(ERROR_INVALID_THREAD_ID);
      return FALSE;
    }
    QueueOf(threadId).messages.push_back(posted);
  }
  AllThreads().arrived.notify_all();
  return TRUE;
}

void PostQuitMessage(int exitCode)
{
  DWORD self = GetCurrentThreadId();
  std::lock_guard<std::mutex> guard(AllThreads().lock);
  MessageQueue& queue = QueueOf(self);
  queue.quitPosted = true;
  queue.quitCode = exitCode;
}

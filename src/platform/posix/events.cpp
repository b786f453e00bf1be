// Events, the process token, and their handles. Handle values are small numbers from a table, not
// addresses, so a stale or invented handle is reported as ERROR_INVALID_HANDLE
// instead of being dereferenced. Each handle carries the access it was opened
// with; an event lives while any handle refers to it, and its name is free
// again once the last handle is closed. Names are compared exactly (Windows
// object names are case-sensitive) in one process-local namespace.
#include "platform/posix/posix_internal.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

using posix_internal::Text;

struct Event {
  bool manualReset = false;
  bool signaled = false;
  Text name;
  int handles = 0;
  std::condition_variable changed;
};

// A handle refers to an event, or (event empty) to the process token.
struct HandleEntry {
  std::shared_ptr<Event> event;
  DWORD access;
};

struct Objects {
  std::mutex lock;
  std::unordered_map<uintptr_t, HandleEntry> handles;
  std::map<Text, std::shared_ptr<Event>> names;
  uintptr_t nextHandle = 0x1000;
};

Objects& Table()
{
  static Objects* objects = new Objects;
  return *objects;
}

// Issues a handle for `event` (null: the process token); the caller holds
// the lock.
HANDLE Issue(const std::shared_ptr<Event>& event, DWORD access)
{
  uintptr_t value = Table().nextHandle;
  Table().nextHandle += 4;
  Table().handles[value] = HandleEntry{event, access};
  if (event) ++event->handles;
  return reinterpret_cast<HANDLE>(value);
}

// The entry of `handle` when it names an event (or, with `token`, the
// process token) and was opened with every right in `needed`; otherwise null
// with ERROR_INVALID_HANDLE or ERROR_ACCESS_DENIED. The caller holds the
// lock.
HandleEntry* Find(HANDLE handle, DWORD needed, bool token = false)
{
  auto found = Table().handles.find(reinterpret_cast<uintptr_t>(handle));
  if (found == Table().handles.end() || (found->second.event == nullptr) != token) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((found->second.access & needed) != needed) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return &found->second;
}

BOOL ChangeState(HANDLE handle, bool signaled)
{
  std::lock_guard<std::mutex> guard(Table().lock);
  HandleEntry* entry = Find(handle, EVENT_MODIFY_STATE);
  if (entry == nullptr) return FALSE;
  entry->event->signaled = signaled;
  if (signaled) entry->event->changed.notify_all();
  return TRUE;
}

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
  std::lock_guard<std::mutex> guard(Table().lock);
  Text key = name != nullptr ? Text(name) : Text();
  if (!key.empty()) {
    auto existing = Table().names.find(key);
    if (existing != Table().names.end()) {
      // The existing event keeps its own reset mode and state.
      HANDLE handle = Issue(existing->second, EVENT_ALL_ACCESS);
      SetLastError(ERROR_ALREADY_EXISTS);
      return handle;
    }
  }
  auto event = std::make_shared<Event>();
  event->manualReset = manualReset != FALSE;
  event->signaled = initialState != FALSE;
  event->name = key;
  if (!key.empty()) Table().names[key] = event;
  HANDLE handle = Issue(event, EVENT_ALL_ACCESS);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

HANDLE OpenEventW(DWORD access, BOOL, LPCWSTR name)
{
  if (name == nullptr || name[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(Table().lock);
  auto existing = Table().names.find(Text(name));
  if (existing == Table().names.end()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return Issue(existing->second, access);
}

BOOL SetEvent(HANDLE event)
{
  return ChangeState(event, true);
}

BOOL ResetEvent(HANDLE event)
{
  return ChangeState(event, false);
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
  std::unique_lock<std::mutex> guard(Table().lock);
  HandleEntry* entry = Find(object, SYNCHRONIZE);
  if (entry == nullptr) return WAIT_FAILED;
  // Holding the event itself keeps it alive if another thread closes the
  // handle while this one waits, as a kernel wait does.
  std::shared_ptr<Event> event = entry->event;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!event->signaled) {
    if (milliseconds == INFINITE) {
      event->changed.wait(guard);
    } else if (event->changed.wait_until(guard, deadline) == std::cv_status::timeout &&
               !event->signaled) {
      return WAIT_TIMEOUT;
    }
  }
  // An auto-reset event releases exactly one waiter: the first to see it
  // signaled resets it.
  if (!event->manualReset) event->signaled = false;
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE object)
{
  std::lock_guard<std::mutex> guard(Table().lock);
  auto found = Table().handles.find(reinterpret_cast<uintptr_t>(object));
  if (found == Table().handles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::shared_ptr<Event> event = found->second.event;
  Table().handles.erase(found);
  if (event && --event->handles == 0 && !event->name.empty()) Table().names.erase(event->name);
  return TRUE;
}

namespace posix_internal {

HANDLE IssueTokenHandle(DWORD access)
{
  std::lock_guard<std::mutex> guard(Table().lock);
  return Issue(nullptr, access);
}

bool IsTokenHandle(HANDLE handle, DWORD needed)
{
  std::lock_guard<std::mutex> guard(Table().lock);
  return Find(handle, needed, true) != nullptr;
}

}  // namespace posix_internal

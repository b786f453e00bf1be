// Named events the driver signals: "JobEnded" when a job has ended and
// "ItemDeleted" when a stored item is deleted. The client opens them by name
// from its own process; the bridge creates them, hands two of them to the
// driver, and never waits on them, signals them or closes them.
#include "bridge/bridge.h"
#include "bridge/escape.h"

using driver::EscapeCode;
using driver::EventKind;

static_assert(sizeof(HANDLE) == 8, "the driver takes the 64-bit handle value");

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::RegisterEvents()
{
  if (device == nullptr) return E_FAIL;
  // Auto-reset and unsignalled, in the local namespace. An event that exists
  // already (made by the client or another bridge object) is opened with the
  // reset mode and state it has. Made so that the user's processes of
  // either elevation (another server, the data sources) may open them.
  SECURITY_ATTRIBUTES* security = platform_server::UserObjectSecurity();
  jobEndedEvent = CreateEventW(security, FALSE, FALSE, W("JobEnded"));
  if (jobEndedEvent == nullptr) return E_FAIL;
  itemDeletedEvent = CreateEventW(security, FALSE, FALSE, W("ItemDeleted"));
  if (itemDeletedEvent == nullptr) return E_FAIL;
  itemAddedEvent = CreateEventW(security, FALSE, FALSE, W("ItemAdded"));
  if (itemAddedEvent == nullptr) return E_FAIL;
  // Never closed: the watch over the clients' processes, which looks
  // through the process's handles, need not look at them.
  for (HANDLE event : {jobEndedEvent, itemDeletedEvent, itemAddedEvent})
    platform_client::NoteLastingHandle(event);

  DriverTransaction transaction(device);
  if (!transaction.Locked()) return E_FAIL;
  HRESULT jobEnded =
      transaction.Escape(EscapeCode::RegisterEvent, &jobEndedEvent, sizeof(HANDLE), &jobEndedCookie,
                         sizeof(jobEndedCookie), static_cast<DWORD>(EventKind::JobEnded));
  HRESULT itemDeleted = transaction.Escape(
      EscapeCode::RegisterEvent, &itemDeletedEvent, sizeof(HANDLE), &itemDeletedCookie,
      sizeof(itemDeletedCookie), static_cast<DWORD>(EventKind::ItemDeleted));
  // A registration the driver took lives with the object it was made
  // through: that object is kept until the registrations are undone or
  // Close runs, even when a later OpenDevice replaces `device`.
  if (SUCCEEDED(jobEnded) || SUCCEEDED(itemDeleted)) eventSource.Hold(device);
  return transaction.Result();
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::UnregisterEvents()
{
  // The registrations are undone through the object they were made
  // through; without any, through `device`.
  IStiDevice* target = eventSource ? eventSource.Get() : device;
  if (target == nullptr) return E_FAIL;
  DriverTransaction transaction(target);
  if (!transaction.Locked()) {
    DWORD lastError = 0;
    target->GetLastError(&lastError);
    return transaction.LockResult();
  }
  HRESULT jobEnded =
      transaction.Escape(EscapeCode::UnregisterEvent, &jobEndedCookie, sizeof(jobEndedCookie),
                         nullptr, 0, static_cast<DWORD>(EventKind::JobEnded));
  HRESULT itemDeleted =
      transaction.Escape(EscapeCode::UnregisterEvent, &itemDeletedCookie, sizeof(itemDeletedCookie),
                         nullptr, 0, static_cast<DWORD>(EventKind::ItemDeleted));
  HRESULT result = transaction.Result();
  // Once both are undone nothing of the object is in use for them.
  if (SUCCEEDED(jobEnded) && SUCCEEDED(itemDeleted)) eventSource.Drop();
  return result;
}

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
  // reset mode and state it has.
  jobEndedEvent = CreateEventW(nullptr, FALSE, FALSE, W("JobEnded"));
  if (jobEndedEvent == nullptr) return E_FAIL;
  itemDeletedEvent = CreateEventW(nullptr, FALSE, FALSE, W("ItemDeleted"));
  if (itemDeletedEvent == nullptr) return E_FAIL;
  itemAddedEvent = CreateEventW(nullptr, FALSE, FALSE, W("ItemAdded"));
  if (itemAddedEvent == nullptr) return E_FAIL;

  DriverTransaction transaction(device);
  if (!transaction.Locked()) return E_FAIL;
  transaction.Escape(EscapeCode::RegisterEvent, &jobEndedEvent, sizeof(HANDLE), &jobEndedCookie,
                     sizeof(jobEndedCookie), static_cast<DWORD>(EventKind::JobEnded));
  transaction.Escape(EscapeCode::RegisterEvent, &itemDeletedEvent, sizeof(HANDLE),
                     &itemDeletedCookie, sizeof(itemDeletedCookie),
                     static_cast<DWORD>(EventKind::ItemDeleted));
  return transaction.Result();
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::UnregisterEvents()
{
  if (device == nullptr) return E_FAIL;
  DriverTransaction transaction(device);
  if (!transaction.Locked()) {
    DWORD lastError = 0;
    device->GetLastError(&lastError);
    return transaction.LockResult();
  }
  transaction.Escape(EscapeCode::UnregisterEvent, &jobEndedCookie, sizeof(jobEndedCookie), nullptr,
                     0, static_cast<DWORD>(EventKind::JobEnded));
  transaction.Escape(EscapeCode::UnregisterEvent, &itemDeletedCookie, sizeof(itemDeletedCookie),
                     nullptr, 0, static_cast<DWORD>(EventKind::ItemDeleted));
  return transaction.Result();
}

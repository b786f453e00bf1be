#include "scanner/apartment.h"

#include <objbase.h>

namespace twainds {

HRESULT Apartment::Enter()
{
  if (initialised_) return S_OK;
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // S_FALSE: the thread was in a single-threaded apartment already; it
  // counts as an initialisation all the same and is undone at the end.
  if (hr == S_OK || hr == S_FALSE) {
    initialised_ = true;
    thread_ = GetCurrentThreadId();
    return S_OK;
  }
  // A multithreaded apartment of the application's: used as it is.
  if (hr == RPC_E_CHANGED_MODE) {
    thread_ = GetCurrentThreadId();
    return S_OK;
  }
  return hr;
}

void Apartment::Leave()
{
  if (!OnItsThread()) return;
  if (initialised_) CoUninitialize();
  initialised_ = false;
  thread_ = 0;
}

bool Apartment::OnItsThread() const
{
  return thread_ == 0 || thread_ == GetCurrentThreadId();
}

}  // namespace twainds

#include "bridge/escape.h"

DriverTransaction::DriverTransaction(IStiDevice* stiDevice) : device(stiDevice), lockResult(E_FAIL)
{
  if (device == nullptr) return;
  lockResult = device->LockDevice(kLockTimeoutMs);
  locked = SUCCEEDED(lockResult);
}

DriverTransaction::~DriverTransaction()
{
  Unlock();
}

HRESULT DriverTransaction::Escape(driver::EscapeCode code, void* in, DWORD inSize, void* out,
                                  DWORD outSize, DWORD sizeWord, DWORD* sizeWordAfter)
{
  // Transactions never nest and escapes go only inside a lock.
  if (!locked) return E_FAIL;
  DWORD actual = sizeWord;
  HRESULT hr =
      device->Escape(static_cast<STI_RAW_CONTROL_CODE>(code), in, inSize, out, outSize, &actual);
  if (sizeWordAfter != nullptr) *sizeWordAfter = actual;
  if (FAILED(hr)) lastEscapeFailure = hr;
  return hr;
}

HRESULT DriverTransaction::Unlock()
{
  if (!locked) return S_OK;
  locked = false;
  unlockResult = device->UnLockDevice();
  return unlockResult;
}

HRESULT DriverTransaction::Result()
{
  Unlock();
  if (FAILED(unlockResult)) return unlockResult;
  if (FAILED(lastEscapeFailure)) return lastEscapeFailure;
  return S_OK;
}

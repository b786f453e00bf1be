// The one locked exchange with the scanner's driver. Every operation that
// talks to the driver runs it: lock the device (4000 ms), send its escapes,
// unlock whatever the escapes returned. Without a device object there is no
// lock; when the lock fails no escape is sent and nothing is unlocked.
#pragma once

#include "protocol/driver_protocol.h"

class DriverTransaction {
 public:
  static constexpr DWORD kLockTimeoutMs = 4000;

  // Takes the device lock. `device` may be null: the transaction is then not
  // locked and LockResult() is E_FAIL.
  explicit DriverTransaction(IStiDevice* device);

  // Unlocks if the caller has not: the lock never outlives the operation.
  ~DriverTransaction();

  bool Locked() const { return locked; }
  // S_OK once locked; the lock's own failure, or E_FAIL without a device.
  HRESULT LockResult() const { return lockResult; }

  // One escape. The size word is set to `sizeWord` before the call; the
  // driver's value after it is stored in `*sizeWordAfter` when given.
  HRESULT Escape(driver::EscapeCode code, void* in, DWORD inSize, void* out, DWORD outSize,
                 DWORD sizeWord = 0, DWORD* sizeWordAfter = nullptr);

  // Unlocks and returns the unlock's result (S_OK when not locked).
  HRESULT Unlock();

  // The usual result: a failing unlock wins, otherwise the last failing
  // escape, otherwise S_OK. Unlocks first if still locked.
  HRESULT Result();

  DriverTransaction(const DriverTransaction&) = delete;
  DriverTransaction& operator=(const DriverTransaction&) = delete;

 private:
  IStiDevice* device;
  HRESULT lockResult;
  bool locked = false;
  HRESULT unlockResult = S_OK;
  HRESULT lastEscapeFailure = S_OK;
};

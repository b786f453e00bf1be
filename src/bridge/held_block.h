// What the bridge holds of a device object: a block the driver handed out
// through it, or the event registrations made through it. A driver may bind
// such things to the object (reclaim its blocks, drop its registrations when
// it goes), so the object lives, with a reference of the holder's own, for
// exactly as long as the thing is held, and a block goes back through the
// object that handed it out. After a second OpenDevice, or one whose device
// creation failed, that object is no longer `device`.
//
// Like the other fields that Close lets go in its fixed order, a holder is a
// plain field: Close lets it go (also when the object's destructor runs
// Close for a client that never called it).
#pragma once

#include "bridge/escape.h"

// One counted reference to a device object, or none.
class DeviceReference {
 public:
  DeviceReference() = default;
  DeviceReference(const DeviceReference&) = delete;
  DeviceReference& operator=(const DeviceReference&) = delete;

  IStiDevice* Get() const { return device; }
  explicit operator bool() const { return device != nullptr; }

  // Refers to `object` (null: to none), letting go of the one referred to
  // before.
  void Hold(IStiDevice* object)
  {
    if (object != nullptr) object->AddRef();
    Drop();
    device = object;
  }

  void Drop()
  {
    if (device != nullptr) device->Release();
    device = nullptr;
  }

 private:
  IStiDevice* device = nullptr;
};

// A driver block and the device object it came through, held and forgotten
// together: while the block is held its object lives, and once it is
// forgotten nothing of it is kept.
template <typename Block>
class HeldBlock {
 public:
  HeldBlock() = default;
  HeldBlock(const HeldBlock&) = delete;
  HeldBlock& operator=(const HeldBlock&) = delete;

  Block* Get() const { return block; }
  Block* operator->() const { return block; }
  explicit operator bool() const { return block != nullptr; }
  IStiDevice* Source() const { return source.Get(); }

  // Takes `handedOut`, which the driver handed out through `device`. Null
  // holds nothing (and forgets what was held).
  void Hold(Block* handedOut, IStiDevice* device)
  {
    if (handedOut == nullptr || device == nullptr) {
      Forget();
      return;
    }
    source.Hold(device);
    block = handedOut;
  }

  // The block is not the bridge's to use any more (handed back, or its
  // device is gone): it is forgotten and its object let go.
  void Forget()
  {
    block = nullptr;
    source.Drop();
  }

  // Hands the block back with FreeDriverBlock through the object that handed
  // it out, the kind in the size word. Once the driver has it back it is
  // forgotten; one the driver refuses stays held. E_FAIL when nothing is
  // held; otherwise the lock's failure, or the transaction's result.
  // `askLastError`: a failed lock is followed by GetLastError, whose answer
  // is not looked at.
  HRESULT HandBack(driver::BlockKind kind, bool askLastError = false)
  {
    if (block == nullptr) return E_FAIL;
    IStiDevice* device = source.Get();
    HRESULT result;
    HRESULT escaped;
    {
      DriverTransaction transaction(device);
      if (!transaction.Locked()) {
        DWORD lastError = 0;
        if (askLastError) device->GetLastError(&lastError);
        return transaction.LockResult();
      }
      escaped = transaction.Escape(driver::EscapeCode::FreeDriverBlock, block, sizeof(Block),
                                   nullptr, 0, static_cast<DWORD>(kind));
      result = transaction.Result();
    }
    if (SUCCEEDED(escaped)) Forget();
    return result;
  }

 private:
  Block* block = nullptr;
  DeviceReference source;
};

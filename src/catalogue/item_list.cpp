// The list of jobs stored on the device: fetched into a header the bridge
// owns, handed back to the driver, and the access bracket around the client's
// work on the store. Deletion goes to the driver too; the bridge's list
// changes only with the next refresh.
#include <cstring>

#include "bridge/bridge.h"
#include "bridge/escape.h"
#include "bridge/locked_block.h"

using driver::BlockKind;
using driver::EscapeCode;

namespace {

// The store identifier travels as the input data itself: the input pointer
// is its first character and the size is that of a pointer.
constexpr DWORD kStoreIdInputSize = 8;

}  // namespace

driver::ItemRecord* CStiScannerComBridge::ItemAt(int index) const
{
  // A negative index is answered as one past the end: nothing outside the
  // driver's array is read.
  if (itemList == nullptr || itemList->items == nullptr || index < 0 || index >= itemList->count)
    return nullptr;
  return itemList->items[index];
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::RefreshItemList(int* count)
{
  if (count == nullptr) return E_POINTER;
  if (device == nullptr) return E_FAIL;
  // A device created by SelectLaunchDevice has no store identifier yet; the
  // driver would read the list's input through a null pointer.
  if (storeId == nullptr) return E_FAIL;

  // The previous records are not handed back here: they are the driver's,
  // and ReleaseItemList is how a client returns them. The bridge no longer
  // uses them, so their device object need not live on for them. From now
  // on an index of the selection may name another job.
  heldList.Forget();
  listRefreshedSinceSelection = true;
  FreeLockedBlock(itemListMem, itemList);
  if (!AllocateLockedBlock(itemListMem, itemList, sizeof(driver::ItemListHeader)))
    return E_OUTOFMEMORY;

  DriverTransaction transaction(device);
  if (!transaction.Locked()) return transaction.LockResult();
  HRESULT result = E_FAIL;
  if (SUCCEEDED(transaction.Escape(EscapeCode::GetItemList, storeId, kStoreIdInputSize, itemList,
                                   sizeof(driver::ItemListHeader)))) {
    heldList.Hold(itemList, device);
    *count = itemList->count;
    result = S_OK;
  } else {
    // Nothing a failed escape left in the header is a list: it reads as an
    // empty one.
    std::memset(itemList, 0, sizeof(driver::ItemListHeader));
  }
  HRESULT unlocked = transaction.Unlock();
  return FAILED(unlocked) ? unlocked : result;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::ReleaseItemList()
{
  // Only a list the driver delivered, and has not taken back, goes back, and
  // through the device object that handed it out: a list handed back once
  // is never handed back again.
  if (itemList == nullptr || !heldList) return E_FAIL;
  HRESULT result = heldList.HandBack(BlockKind::ItemList);
  // The driver has its records back, whatever it left in the header: the
  // bridge forgets them, and the header stays allocated as an empty list
  // until the next refresh or Close.
  if (!heldList) std::memset(itemList, 0, sizeof(driver::ItemListHeader));
  return result;
}

namespace {

// BeginAccess and EndAccess differ only in their code, and answer every
// failure alike.
HRESULT SendAccess(IStiDevice* device, WCHAR* storeId, EscapeCode code)
{
  if (device == nullptr || storeId == nullptr) return E_FAIL;
  DriverTransaction transaction(device);
  if (!transaction.Locked()) return E_FAIL;
  transaction.Escape(code, storeId, kStoreIdInputSize, nullptr, 0);
  return FAILED(transaction.Result()) ? E_FAIL : S_OK;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::BeginAccess()
{
  return SendAccess(device, storeId, EscapeCode::BeginAccess);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::EndAccess()
{
  return SendAccess(device, storeId, EscapeCode::EndAccess);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::DeleteItem(int index)
{
  if (itemList == nullptr) return E_FAIL;
  // An index outside the list, or an empty entry, names no record: nothing
  // is sent.
  driver::ItemRecord* record = ItemAt(index);
  if (record == nullptr) return E_FAIL;
  if (device == nullptr) return E_FAIL;
  DriverTransaction transaction(device);
  if (!transaction.Locked()) return transaction.LockResult();
  transaction.Escape(EscapeCode::DeleteItem, record, sizeof(driver::ItemRecord), nullptr, 0);
  return transaction.Result();
}

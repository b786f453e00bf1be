// Questions about one stored job, answered from the records that the last
// refresh handed over (nothing is sent to the driver), and the lookup of the
// job that the driver's value 16 names.
#include <cstring>

#include "bridge/bridge.h"
#include "bridge/escape.h"
#include "com/bstr.h"
#include "com/unique.h"
#include "com/wide_string.h"
#include "transfer/code_tables.h"

using driver::EscapeCode;
using driver::PropertyRecord;
namespace property = driver::property;

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemFlag(int index, int* flag)
{
  if (flag == nullptr) return E_POINTER;
  const driver::ItemRecord* record = ItemAt(index);
  *flag = record != nullptr && record->state == driver::kItemStateReady ? 1 : 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemInfo(int index, BSTR* documentName, int*,
                                                            int* pixelType, int* resolution,
                                                            int* pages, int* itemSize)
{
  if (documentName == nullptr || pixelType == nullptr || resolution == nullptr ||
      pages == nullptr || itemSize == nullptr) {
    return E_POINTER;
  }
  const driver::ItemRecord* record = ItemAt(index);
  if (record == nullptr || record->properties == nullptr || record->propertyCount == 0)
    return E_FAIL;

  // The copy keeps the name's own length, embedded NULs included. It is made
  // before any out-value is written, so that a name that cannot be copied
  // leaves the caller's values as they were.
  UniqueBstr name(SysAllocStringLen(record->documentName, SysStringLen(record->documentName)));
  if (!name) return E_OUTOFMEMORY;

  // Every record is visited: a later record of an identifier overwrites an
  // earlier one, and an absent property leaves its out-value alone.
  driver::ForEachProperty(record->properties, record->propertyCount, [&](PropertyRecord& p) {
    switch (p.Identifier()) {
      case property::kDataType:
        *pixelType = *code_tables::Decode(code_tables::kPixelTypeFromDataType, p.Int32());
        break;
      case property::kXResolution:
        *resolution = p.Int32();
        break;
      case property::kPages:
        *pages = p.Int32();
        break;
      case property::kItemSize:
        *itemSize = p.Int32();
        break;
    }
  });
  ReplaceBstr(documentName, name.Detach());
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemTime(int index, SYSTEMTIME* time)
{
  if (time == nullptr) return E_POINTER;
  const driver::ItemRecord* record = ItemAt(index);
  if (record == nullptr) return E_FAIL;
  const PropertyRecord* stamp =
      driver::FindProperty(record->properties, record->propertyCount, property::kItemTime);
  // A vector without elements has nothing to read, whatever its pointer says.
  if (stamp != nullptr && stamp->VectorElements() != nullptr && stamp->VectorCount() != 0)
    std::memcpy(time, stamp->VectorElements(), sizeof(SYSTEMTIME));
  return S_OK;
}

HRESULT CStiScannerComBridge::QueryDriverValue(LONG selector, void** value)
{
  if (value == nullptr) return E_POINTER;
  if (device == nullptr) return E_FAIL;
  DriverTransaction transaction(device);
  if (!transaction.Locked()) return transaction.LockResult();

  // The driver writes the new pointer into a slot that holds the field's
  // value; only a query that succeeds puts what it wrote into the field, so
  // that nothing a failed one left there is ever freed or used. The value it
  // replaces is not freed: whether an earlier value stays valid is the
  // driver's business, and a driver that reclaims its earlier values itself
  // would have it freed twice. For the same reason a query that reached the
  // driver and failed forgets the earlier value too: the driver may have
  // reclaimed it before it failed, and a value leaked is harmless where one
  // freed twice is not. Close frees the value held then.
  void* slot = driverValue;
  HRESULT result = transaction.Escape(EscapeCode::QueryDriverValue, &selector, sizeof(selector),
                                      &slot, sizeof(slot));
  driverValue = SUCCEEDED(result) ? slot : nullptr;
  if (SUCCEEDED(result) && driverValue != nullptr) {
    *value = driverValue;
    result = S_OK;
  }
  HRESULT unlocked = transaction.Unlock();
  return FAILED(unlocked) ? unlocked : result;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::FindItemNameByDriverValue(WCHAR* name)
{
  if (name == nullptr) return E_FAIL;
  void* value = nullptr;
  // A virtual call: QueryDriverValue is the one entry the bridge adds to its
  // nondelegating table.
  if (FAILED(QueryDriverValue(driver::kDriverValueItemIdentifier, &value)) || value == nullptr)
    return E_FAIL;
  int count = 0;
  if (FAILED(static_cast<IStiScannerComBridge*>(this)->RefreshItemList(&count))) return E_FAIL;

  const auto* wanted = static_cast<const WCHAR*>(value);
  for (int index = 0; index < count; ++index) {
    const driver::ItemRecord* record = ItemAt(index);
    if (record == nullptr || record->itemIdentifier == nullptr) continue;
    if (lstrcmpW(wanted, record->itemIdentifier) != 0) continue;
    const WCHAR* itemName = record->itemName != nullptr ? record->itemName : W("");
    return WStrCopy(name, kStringUnits, itemName);
  }
  return E_FAIL;
}

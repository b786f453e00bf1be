// Previews of stored jobs: the document name and the thumbnail path, only for
// jobs whose owner the caller's token holds (catalogue/owner_check.h), and the
// driver asked to make the thumbnail.
#include "bridge/bridge.h"
#include "bridge/escape.h"
#include "catalogue/owner_check.h"
#include "com/bstr.h"
#include "com/unique.h"
#include "com/wide_string.h"

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemPreview(int index, BSTR* documentName,
                                                               BSTR* thumbnailPath)
{
  if (documentName == nullptr || thumbnailPath == nullptr) return E_POINTER;
  if (device == nullptr || itemList == nullptr) return E_FAIL;

  int flag = 0;
  static_cast<IStiScannerComBridge*>(this)->GetItemFlag(index, &flag);
  // A flag of 1 means the index names a record.
  if (flag == 0) return S_FALSE;
  driver::ItemRecord* record = ItemAt(index);
  if (!CheckCallerOwns(record->ownerSid).holds) return S_FALSE;

  // The document name is given only when the job carries a time stamp with a
  // value; otherwise it stays empty.
  WCHAR name[kStringUnits] = {};
  HRESULT formatted = S_OK;
  driver::ForEachProperty(
      record->properties, record->propertyCount, [&](const driver::PropertyRecord& p) {
        if (p.Identifier() != driver::property::kItemTime || p.VectorCount() == 0 ||
            p.VectorElements() == nullptr) {
          return;
        }
        formatted = WStrFormatBytes(name, kStringBytes, W("%s"), record->documentName);
      });
  if (formatted != S_OK) return E_FAIL;
  ReplaceBstr(documentName, SysAllocString(name));

  WCHAR path[kStringUnits] = {};
  if (FAILED(BuildThumbnailPath(index, path))) return E_FAIL;
  ReplaceBstr(thumbnailPath, SysAllocString(path));

  DriverTransaction transaction(device);
  if (!transaction.Locked()) return transaction.LockResult();
  // What the driver writes into the slot is of no use to the bridge.
  ULONGLONG discarded = 0;
  HRESULT made = transaction.Escape(driver::EscapeCode::ItemThumbnail, record,
                                    sizeof(driver::ItemRecord), &discarded, sizeof(discarded));
  HRESULT unlocked = transaction.Unlock();
  return FAILED(made) ? made : unlocked;
}

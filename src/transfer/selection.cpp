// Selection and the page walk: which stored jobs are brought over, in what
// order, and where the walk stands (pages left over the whole selection, the
// current item, the page within it). At the end of a walk the selected jobs
// can be deleted from the device.
#include <algorithm>
#include <cstring>

#include "bridge/bridge.h"
#include "com/bstr.h"

namespace {

// The Win32 counters are signed 32-bit and, like the driver's, wrap rather
// than trap: sums go through unsigned arithmetic.
LONG WrappingAdd(LONG a, LONG b)
{
  return static_cast<LONG>(static_cast<DWORD>(a) + static_cast<DWORD>(b));
}

// The item's depth: its last WIA_IPA_DEPTH record as signed 16 bits, 0
// without one.
// Whether two NUL-terminated texts hold the same units (an identity, so no
// locale's notion of equal).
bool SameText(const WCHAR* a, const WCHAR* b)
{
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

LONG ItemDepth(const driver::ItemRecord& item)
{
  const driver::PropertyRecord* depth =
      driver::FindLastProperty(item.properties, item.propertyCount, driver::property::kDepth);
  return depth != nullptr ? depth->Int16() : 0;
}

}  // namespace

driver::ItemRecord* CStiScannerComBridge::CurrentItem() const
{
  if (selection == nullptr || selectionCursor < 0 || selectionCursor >= selectionEntries)
    return nullptr;
  return ItemAt(SelectionArray()[selectionCursor]);
}

LONG CStiScannerComBridge::PagesOfItem(int index) const
{
  const driver::ItemRecord* item = ItemAt(index);
  if (item == nullptr) return 0;
  const driver::PropertyRecord* pages =
      driver::FindProperty(item->properties, item->propertyCount, driver::property::kPages);
  return pages != nullptr ? pages->Int32() : 0;
}

HRESULT CStiScannerComBridge::ProvideSelection(int entries)
{
  if (selection == nullptr || selectionCapacity < entries) {
    // Blocks of at least one entry: an empty selection still has an array.
    const SIZE_T slots = static_cast<SIZE_T>(entries > 0 ? entries : 1);
    HGLOBAL block = GlobalAlloc(GPTR, sizeof(LONG) * slots);
    HGLOBAL identifiers = GlobalAlloc(GPTR, sizeof(WCHAR*) * slots);
    if (block == nullptr || identifiers == nullptr) {
      GlobalFree(block);
      GlobalFree(identifiers);
      return E_OUTOFMEMORY;
    }
    FreeSelection();
    selection = block;
    selectedIdentifiers = identifiers;
    selectionCapacity = entries;
  } else {
    WCHAR** identifiers = SelectedIdentifiers();
    for (LONG i = 0; i < selectionEntries; ++i) {
      GlobalFree(identifiers[i]);
      identifiers[i] = nullptr;
    }
  }
  selectionEntries = entries;
  selectionDeleted = 0;
  listRefreshedSinceSelection = false;
  return S_OK;
}

void CStiScannerComBridge::FreeSelection()
{
  if (WCHAR** identifiers = SelectedIdentifiers())
    for (LONG i = 0; i < selectionEntries; ++i) GlobalFree(identifiers[i]);
  GlobalFree(selectedIdentifiers);
  selectedIdentifiers = nullptr;
  GlobalFree(selection);
  selection = nullptr;
  selectionEntries = selectionCapacity = 0;
}

void CStiScannerComBridge::RememberSelectedItems()
{
  WCHAR** identifiers = SelectedIdentifiers();
  for (LONG i = 0; i < selectionEntries; ++i) {
    const driver::ItemRecord* item = ItemAt(SelectionArray()[i]);
    if (item == nullptr || item->itemIdentifier == nullptr) continue;
    // Without memory for the copy the position cannot be recognised after a
    // refresh, and is then not deleted: a job left on the device is safe.
    const SIZE_T bytes = (static_cast<SIZE_T>(lstrlenW(item->itemIdentifier)) + 1) * sizeof(WCHAR);
    auto* copy = static_cast<WCHAR*>(GlobalAlloc(GMEM_FIXED, bytes));
    if (copy != nullptr) std::memcpy(copy, item->itemIdentifier, bytes);
    identifiers[i] = copy;
  }
}

bool CStiScannerComBridge::StillNamesSelectedItem(LONG position) const
{
  if (!listRefreshedSinceSelection) return true;
  const WCHAR* selected = SelectedIdentifiers()[position];
  const driver::ItemRecord* item = ItemAt(SelectionArray()[position]);
  if (selected == nullptr || item == nullptr || item->itemIdentifier == nullptr) return false;
  return SameText(selected, item->itemIdentifier);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SetSelection(int* indices, int count)
{
  if (indices == nullptr) return E_FAIL;
  if (count < 0) return E_INVALIDARG;
  // A held array is used again; one too small for `count` is replaced.
  HRESULT hr = ProvideSelection(count);
  if (FAILED(hr)) return hr;
  LONG* entries = SelectionArray();
  for (int i = 0; i < count; ++i) {
    entries[i] = indices[i];
    // Added to what is left of an earlier selection, not reset.
    pagesRemaining = WrappingAdd(pagesRemaining, PagesOfItem(indices[i]));
  }
  RememberSelectedItems();
  selectionCursor = 0;
  InterlockedExchange(&selectionCount, count);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SelectItemByName(int checkDepth, int* pages,
                                                                 LPWSTR name, int depth)
{
  if (pages == nullptr || name == nullptr) return E_POINTER;
  if (itemList == nullptr || itemList->items == nullptr) return E_FAIL;
  FreeSelection();
  HRESULT hr = ProvideSelection(1);
  if (FAILED(hr)) return hr;

  // Only the first item of that name counts, even when it fails the checks.
  int found = -1;
  for (int index = 0; index < itemList->count && found < 0; ++index) {
    const driver::ItemRecord* item = ItemAt(index);
    if (item != nullptr && lstrcmpW(item->itemName != nullptr ? item->itemName : W(""), name) == 0)
      found = index;
  }
  LONG pageCount = 0;
  bool selected = false;
  if (found >= 0) {
    int flag = 0;
    static_cast<IStiScannerComBridge*>(this)->GetItemFlag(found, &flag);
    if (flag != 0 && (checkDepth == 0 || ItemDepth(*ItemAt(found)) == depth)) {
      pageCount = PagesOfItem(found);
      SelectionArray()[0] = found;
      selected = true;
    }
  }
  // The array keeps its one entry, 0, when nothing was selected; but the
  // selection holds only an item that really was: no current item, and
  // nothing for the deletion step (item 0 is somebody's stored job).
  if (!selected) selectionEntries = 0;
  RememberSelectedItems();
  selectionCursor = 0;
  pagesRemaining = pageCount;
  *pages = pageCount;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::AdvancePage(int mode, int* pagesLeft,
                                                            int deleteWhenDone)
{
  if (pagesLeft == nullptr) return E_POINTER;
  IStiScannerComBridge* self = this;
  int deleteOption = 0;
  self->GetDeleteImageOnScan(&deleteOption);
  // Receives the image information of the new page; nobody reads it.
  TW_IMAGEINFO scratch = {};

  HRESULT result = S_OK;
  if (mode == 0) {
    if (pagesRemaining <= 0) {
      pagesRemaining = 0;
    } else {
      --pagesRemaining;
      if (pageInItem == pagesInItem) {
        // Past the item's last page: on to the next item, whose stored
        // records give its page count (pageInItem still holds the old page
        // during the call).
        ++selectionCursor;
        if (pagesRemaining > 0) result = self->GetImageInfo(&scratch, 0);
        pageInItem = 1;
      } else {
        // The next page of this item: the driver describes it.
        pageInItem = WrappingAdd(pageInItem, 1);
        result = self->GetImageInfo(&scratch, 1);
      }
      *pagesLeft = pagesRemaining;
    }
  } else if (mode == 1) {
    *pagesLeft = pagesRemaining;
  }

  // The deletion step, on every call once the walk is over. The count is the
  // process's (set by any object's SetSelection); the positions never go
  // past the items this object really selected (entries left over in a
  // reused array, or the empty entry of a name that matched nothing, are
  // never deleted), and a position handed to deletion once is not handed
  // again: later calls would otherwise delete whatever jobs the same indices
  // name after the client refreshed its list. For the same reason a position
  // first reached after a refresh (another object raised the count since) is
  // deleted only while its index still names the item selected there.
  if (pagesRemaining == 0 && deleteOption == 1 && deleteWhenDone != 0) {
    const LONG shared = selectionCount;
    const LONG positions = std::min(shared, selection != nullptr ? selectionEntries : 0);
    for (LONG i = selectionDeleted; i < positions; ++i) {
      if (!StillNamesSelectedItem(i)) continue;
      lastItemIndex = SelectionArray()[i];
      result = self->DeleteItem(lastItemIndex);
    }
    selectionDeleted = std::max(selectionDeleted, positions);
  }
  return result;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetCurrentItemName(BSTR* name, int* page)
{
  if (name == nullptr || page == nullptr) return E_POINTER;
  const driver::ItemRecord* item = CurrentItem();
  if (item == nullptr) return E_FAIL;
  ReplaceBstr(name, SysAllocStringLen(item->itemName, SysStringLen(item->itemName)));
  *page = pageInItem;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetPagePosition(int* page, int* pages)
{
  if (page == nullptr || pages == nullptr) return E_POINTER;
  *page = pageInItem;
  *pages = pagesInItem;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SetPagesRemaining(int pages)
{
  pagesRemaining = pages;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetLastItemIndex(int* index)
{
  if (index == nullptr) return E_POINTER;
  *index = lastItemIndex;
  return S_OK;
}

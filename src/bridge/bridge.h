// CStiScannerComBridge: the one COM class of the server. Each client gets its
// own object: the state of one conversation with one scanner, and the
// IStiScannerComBridge interface whose methods are the whole service.
#pragma once

#include "bridge/held_block.h"
#include "protocol/driver_protocol.h"
#include "com/unknown.h"

class CStiScannerComBridge : public CUnknown, public IStiScannerComBridge {
 public:
  CStiScannerComBridge();

  HRESULT STDMETHODCALLTYPE NondelegatingQueryInterface(REFIID iid, void** object) override;

  CUNKNOWN_DELEGATING_IUNKNOWN

  // IStiScannerComBridge, in slot order.
  HRESULT STDMETHODCALLTYPE Reserved1() override;
  HRESULT STDMETHODCALLTYPE Reserved2() override;
  HRESULT STDMETHODCALLTYPE SetPagesRemaining(int pages) override;
  HRESULT STDMETHODCALLTYPE InitializeSti() override;
  HRESULT STDMETHODCALLTYPE SelectLaunchDevice() override;
  HRESULT STDMETHODCALLTYPE AdvancePage(int mode, int* pagesLeft, int deleteWhenDone) override;
  HRESULT STDMETHODCALLTYPE RefreshItemList(int* count) override;
  HRESULT STDMETHODCALLTYPE GetItemPreview(int index, BSTR* documentName,
                                           BSTR* thumbnailPath) override;
  HRESULT STDMETHODCALLTYPE DeleteItem(int index) override;
  HRESULT STDMETHODCALLTYPE EnumerateDevices(int* count, BSTR* names) override;
  HRESULT STDMETHODCALLTYPE SelectDeviceByName(LPWSTR name, int* family) override;
  HRESULT STDMETHODCALLTYPE OpenDevice(LPWSTR profileQualifier, LPWSTR profileName,
                                       LPWSTR storeId) override;
  HRESULT STDMETHODCALLTYPE ReleaseItemList() override;
  HRESULT STDMETHODCALLTYPE GetImageInfo(TW_IMAGEINFO* info, int refresh) override;
  HRESULT STDMETHODCALLTYPE PrepareTransfer(int spare1, int spare2, int mechanism, int spare3,
                                            int spare4, int value, int fileFormat, int spare5,
                                            int* status) override;
  HRESULT STDMETHODCALLTYPE RegisterEvents() override;
  HRESULT STDMETHODCALLTYPE UnregisterEvents() override;
  HRESULT STDMETHODCALLTYPE SetSelection(int* indices, int count) override;
  HRESULT STDMETHODCALLTYPE SelectItemByName(int checkDepth, int* pages, LPWSTR name,
                                             int depth) override;
  HRESULT STDMETHODCALLTYPE GetDeleteImageOnScan(int* on) override;
  HRESULT STDMETHODCALLTYPE GetItemFlag(int index, int* flag) override;
  HRESULT STDMETHODCALLTYPE SendScanSettings() override;
  HRESULT STDMETHODCALLTYPE GetScanSettings(short* pixelType, short* paperSize, short* resolution,
                                            short* fileFormat, short* optionFlag) override;
  HRESULT STDMETHODCALLTYPE SetScanSettings(LPWSTR jobName, short pixelType, short paperSize,
                                            short resolution, short fileFormat, short sizeFlag,
                                            short optionFlag) override;
  HRESULT STDMETHODCALLTYPE BeginAccess() override;
  HRESULT STDMETHODCALLTYPE EndAccess() override;
  HRESULT STDMETHODCALLTYPE GetCurrentItemFormat(short* fileFormat) override;
  HRESULT STDMETHODCALLTYPE GetItemInfo(int index, BSTR* documentName, int* ignored, int* pixelType,
                                        int* resolution, int* pages, int* itemSize) override;
  HRESULT STDMETHODCALLTYPE GetItemTime(int index, SYSTEMTIME* time) override;
  HRESULT STDMETHODCALLTYPE GetImageByteCount(int* count) override;
  HRESULT STDMETHODCALLTYPE GetCapabilityFlag(int* flag) override;
  HRESULT STDMETHODCALLTYPE GetLastItemIndex(int* index) override;
  HRESULT STDMETHODCALLTYPE Close() override;
  HRESULT STDMETHODCALLTYPE ApplyUserPin() override;
  HRESULT STDMETHODCALLTYPE FindItemNameByDriverValue(WCHAR* name) override;
  HRESULT STDMETHODCALLTYPE GetDeviceFamily(int* family) override;
  HRESULT STDMETHODCALLTYPE ReleaseScanSettings() override;
  HRESULT STDMETHODCALLTYPE ReleaseCapabilities() override;
  HRESULT STDMETHODCALLTYPE GetCurrentItemName(BSTR* name, int* page) override;
  HRESULT STDMETHODCALLTYPE ReadImageData(STI_TRANSFER_REQUEST* request, BYTE* buffer,
                                          int bufferSize, int* status) override;
  HRESULT STDMETHODCALLTYPE ReadItemString(STI_TRANSFER_REQUEST* request, BSTR* text, int* length,
                                           int* status) override;
  HRESULT STDMETHODCALLTYPE GetPagePosition(int* page, int* pages) override;
  HRESULT STDMETHODCALLTYPE QueryTransferSize(STI_TRANSFER_REQUEST* request, int* size,
                                              int* status) override;
  HRESULT STDMETHODCALLTYPE ReadImageHeader(STI_TRANSFER_REQUEST* request, BYTE* header,
                                            int headerSize, int* status) override;
  HRESULT STDMETHODCALLTYPE GetServerFileName(BSTR* name) override;

  // The one operation the bridge adds to its nondelegating table; reached
  // only from FindItemNameByDriverValue.
  virtual HRESULT QueryDriverValue(LONG selector, void** value);

  // Shared by every bridge object of the process: set by SetSelection, read
  // by the deletion step at the end of a page walk.
  static LONG volatile selectionCount;

 protected:
  // Hands back whatever Close would (nothing after a Close); the event
  // handles stay open, as they do after Close.
  ~CStiScannerComBridge() override;

 private:
  // The unit suite looks at the object's state through this one door.
  friend struct BridgeTestAccess;

  // Device discovery and open.
  HRESULT ProvideLaunchBuffer();
  HRESULT FetchDeviceInfo(LPWSTR internalName);
  HRESULT CreateSelectedDevice();
  HRESULT ProbeCapabilities();
  HRESULT CopyProfileStrings(LPCWSTR qualifier, LPCWSTR name, LPCWSTR store);

  // Stored-job catalogue.
  // The record at `index` of the item list, or null for an index outside the
  // list (negative ones included), an empty entry, or no list at all.
  driver::ItemRecord* ItemAt(int index) const;
  HRESULT BuildThumbnailPath(int index, WCHAR* path);

  // Per-user settings in the key that the device value "UserDataKey" names.
  BOOL OpenUserKey();
  HRESULT GetJobNamePrefix(WCHAR* prefix);
  HRESULT WriteUserDefaults(HKEY key, const WCHAR* prefixName);
  HRESULT SetUserPin(const WCHAR* pin);

  // Selection and page walk.
  LONG* SelectionArray() const { return static_cast<LONG*>(selection); }
  WCHAR** SelectedIdentifiers() const { return static_cast<WCHAR**>(selectedIdentifiers); }
  // The item at `selectionCursor` in the selection, or null when there is
  // no selection, the cursor lies outside its entries, or the list holds no
  // record at that index.
  driver::ItemRecord* CurrentItem() const;
  LONG PagesOfItem(int index) const;
  // Makes `selection` hold at least `entries` (a held array that is large
  // enough is used again as it is) and the selection `entries` long; the
  // identifiers of the selection before are let go.
  HRESULT ProvideSelection(int entries);
  // Frees the selection's array and its identifiers.
  void FreeSelection();
  // Keeps, for each position of the selection, the identifier of the item
  // its index names in the list now.
  void RememberSelectedItems();
  // Whether the index at `position` still names the item that was selected
  // there: always while the list is the one of the selection; after a
  // refresh, only while its record carries the identifier it had then.
  bool StillNamesSelectedItem(LONG position) const;

  IStillImageW* stillImage = nullptr;
  IStiDevice* device = nullptr;
  STI_DEVICE_INFORMATIONW* deviceInfo = nullptr;
  DWORD deviceSelected = 0;
  HGLOBAL launchNameMem = nullptr;
  WCHAR* launchName = nullptr;
  driver::ItemListHeader* itemList = nullptr;
  HGLOBAL itemListMem = nullptr;
  WCHAR* profileName = nullptr;
  WCHAR* profileQualifier = nullptr;
  WCHAR* storeId = nullptr;
  // The driver's blocks, each with the device object that handed it out
  // (bridge/held_block.h). `heldList` is the header while it holds a list
  // the driver delivered and has not taken back.
  HeldBlock<driver::SettingsBlock> scanSettings;
  HeldBlock<driver::CapabilityBlock> capabilities;
  HeldBlock<driver::ItemListHeader> heldList;
  STI_DEVICE_INFORMATIONW* deviceList = nullptr;
  DWORD deviceCount = 0;
  HANDLE itemDeletedEvent = nullptr;
  HANDLE jobEndedEvent = nullptr;
  HANDLE itemAddedEvent = nullptr;
  LONG jobEndedCookie = -1;
  LONG itemDeletedCookie = -1;
  // The device object the live event registrations were made through: a
  // driver may drop an object's registrations when the object goes, so it
  // lives until they are unregistered or Close runs.
  DeviceReference eventSource;
  void* driverValue = nullptr;
  LONG pagesRemaining = 0;
  HGLOBAL selection = nullptr;
  // How many entries the last selection wrote, and how many the block in
  // `selection` holds (a reused block may hold more: what lies past the
  // selection is left over from an earlier one and is never used).
  LONG selectionEntries = 0;
  LONG selectionCapacity = 0;
  // How many of the selection's positions the deletion step has handled:
  // each selected item is handed to deletion at most once, however often
  // the walk's end is reached again (after a refresh the same indices name
  // other jobs). A new selection starts again from 0.
  LONG selectionDeleted = 0;
  // A global block of one pointer per entry that `selection` holds: a copy
  // (global memory) of the identifier of the item each selected index named
  // when it was selected, or null where it named no record, or one without
  // an identifier. With `listRefreshedSinceSelection` it keeps the deletion
  // step from deleting a job that an index names only since a refresh.
  HGLOBAL selectedIdentifiers = nullptr;
  bool listRefreshedSinceSelection = false;
  LONG selectionCursor = 0;
  TW_IMAGEINFO* imageInfo = nullptr;
  LONG pageInItem = 1;
  LONG pagesInItem = 0;
  DWORD capabilityFlag = 0;
  LONG lastItemIndex = -1;
  HeldBlock<driver::UserRecord> userRecord;
  HKEY userDataKey = nullptr;
  LONG deviceFamily = -1;
};

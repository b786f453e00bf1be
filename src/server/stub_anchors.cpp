#include "server/stub_anchors.h"

#include <new>

namespace {

// Something for the bridge interface's stub to stand on: it answers no call
// (nobody is ever handed it), and it is not one of the server's objects, so
// it keeps nothing alive but its stub.
class CInterfaceAnchor final : public IStiScannerComBridge {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
  {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IStiScannerComBridge)) {
      *object = static_cast<IStiScannerComBridge*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override
  {
    return static_cast<ULONG>(InterlockedIncrement(&refCount));
  }
  ULONG STDMETHODCALLTYPE Release() override
  {
    LONG count = InterlockedDecrement(&refCount);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }

  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE Reserved2() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE SetPagesRemaining(int) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE InitializeSti() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE SelectLaunchDevice() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE AdvancePage(int, int*, int) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE RefreshItemList(int*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE GetItemPreview(int, BSTR*, BSTR*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE DeleteItem(int) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE EnumerateDevices(int*, BSTR*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE SelectDeviceByName(LPWSTR, int*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE OpenDevice(LPWSTR, LPWSTR, LPWSTR) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE ReleaseItemList() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE GetImageInfo(TW_IMAGEINFO*, int) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE PrepareTransfer(int, int, int, int, int, int, int, int, int*) override
  {
    return E_UNEXPECTED;
  }
  HRESULT STDMETHODCALLTYPE RegisterEvents() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE UnregisterEvents() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE SetSelection(int*, int) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE SelectItemByName(int, int*, LPWSTR, int) override
  {
    return E_UNEXPECTED;
  }
  HRESULT STDMETHODCALLTYPE GetDeleteImageOnScan(int*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE GetItemFlag(int, int*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE SendScanSettings() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE GetScanSettings(short*, short*, short*, short*, short*) override
  {
    return E_UNEXPECTED;
  }
  HRESULT STDMETHODCALLTYPE SetScanSettings(LPWSTR, short, short, short, short, short,
                                            short) override
  {
    return E_UNEXPECTED;
  }
  HRESULT STDMETHODCALLTYPE BeginAccess() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE EndAccess() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE GetCurrentItemFormat(short*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE GetItemInfo(int, BSTR*, int*, int*, int*, int*, int*) override
  {
    return E_UNEXPECTED;
  }
  HRESULT STDMETHODCALLTYPE GetItemTime(int, SYSTEMTIME*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE GetImageByteCount(int*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE GetCapabilityFlag(int*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE GetLastItemIndex(int*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE Close() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE ApplyUserPin() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE FindItemNameByDriverValue(WCHAR*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE GetDeviceFamily(int*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE ReleaseScanSettings() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE ReleaseCapabilities() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE GetCurrentItemName(BSTR*, int*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE ReadImageData(STI_TRANSFER_REQUEST*, BYTE*, int, int*) override
  {
    return E_UNEXPECTED;
  }
  HRESULT STDMETHODCALLTYPE ReadItemString(STI_TRANSFER_REQUEST*, BSTR*, int*, int*) override
  {
    return E_UNEXPECTED;
  }
  HRESULT STDMETHODCALLTYPE GetPagePosition(int*, int*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE QueryTransferSize(STI_TRANSFER_REQUEST*, int*, int*) override
  {
    return E_UNEXPECTED;
  }
  HRESULT STDMETHODCALLTYPE ReadImageHeader(STI_TRANSFER_REQUEST*, BYTE*, int, int*) override
  {
    return E_UNEXPECTED;
  }
  HRESULT STDMETHODCALLTYPE GetServerFileName(BSTR*) override { return E_UNEXPECTED; }

 private:
  LONG volatile refCount = 1;
};

}  // namespace

void StubAnchors::Hold(IClassFactory* factory)
{
  if (factory != nullptr) {
    classObject = factory;
    classObject->AddRef();
    platform_server::KeepStub(classObject, IID_IClassFactory, &classObjectKept);
  }
  auto* anchor = new (std::nothrow) CInterfaceAnchor();
  if (anchor == nullptr) return;
  if (platform_server::KeepStub(anchor, IID_IStiScannerComBridge, &bridgeKept) == S_OK) {
    bridgeAnchor = anchor;
  } else {
    anchor->Release();
  }
}

void StubAnchors::Release()
{
  if (bridgeAnchor != nullptr) {
    platform_server::ReleaseKeptStub(bridgeAnchor, bridgeKept);
    bridgeAnchor->Release();
    bridgeAnchor = nullptr;
    bridgeKept = nullptr;
  }
  if (classObject != nullptr) {
    platform_server::ReleaseKeptStub(classObject, classObjectKept);
    classObject->Release();
    classObject = nullptr;
    classObjectKept = nullptr;
  }
}

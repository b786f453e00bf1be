// Connection close: the driver's blocks go back through the release methods,
// access to the stored jobs ends, both STI objects are released and every
// block the bridge allocated for the connection is freed.
#include "bridge/bridge.h"
#include "bridge/escape.h"
#include "bridge/locked_block.h"

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::Close()
{
  // A block may be held from a device object that `device` no longer is (a
  // second open, or one whose device creation failed): it goes back through
  // its own object, so the release methods run whenever anything is held.
  if (device != nullptr || scanSettings || heldList || capabilities) {
    // Through the interface, as a client would call them; each fails
    // without effect when what it needs is absent, and none can stop Close.
    IStiScannerComBridge* self = this;
    self->ReleaseScanSettings();
    self->ReleaseItemList();
    self->ReleaseCapabilities();
    self->EndAccess();
    // A block whose hand-back failed (its lock timed out, the driver was
    // busy) is still the driver's to take: Close is the last chance to give
    // it back before it is forgotten below, so each gets one more attempt.
    // A block the driver has taken is never held, so none goes back twice.
    if (scanSettings) self->ReleaseScanSettings();
    if (heldList) self->ReleaseItemList();
    if (capabilities) self->ReleaseCapabilities();
  }
  if (device != nullptr) {
    device->Release();
    device = nullptr;
  }
  // The driver's blocks are not the bridge's to use any more once their
  // device is gone: forget them (one the driver refused to take back
  // included), so that a reopened connection fetches new ones instead of
  // touching these, and let their device objects go. The event
  // registrations are not undone here; their object is let go too, and a
  // driver that binds registrations to it drops them now.
  scanSettings.Forget();
  capabilities.Forget();
  heldList.Forget();
  userRecord.Forget();
  eventSource.Drop();

  LocalFree(deviceInfo);
  deviceInfo = nullptr;
  GlobalFree(profileName);
  GlobalFree(profileQualifier);
  GlobalFree(storeId);
  profileName = profileQualifier = storeId = nullptr;
  FreeLockedBlock(launchNameMem, launchName);
  LocalFree(deviceList);
  deviceList = nullptr;
  if (stillImage != nullptr) {
    stillImage->Release();
    stillImage = nullptr;
  }
  FreeLockedBlock(itemListMem, itemList);
  GlobalFree(driverValue);
  driverValue = nullptr;
  FreeSelection();
  GlobalFree(imageInfo);
  imageInfo = nullptr;
  if (userDataKey != nullptr) {
    RegCloseKey(userDataKey);
    userDataKey = nullptr;
  }
  return S_OK;
}

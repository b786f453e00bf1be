// The unit suite's view of a bridge object's private state, and a bridge
// created the way the class factory creates it.
#pragma once

#include "bridge/bridge.h"
#include "server/class_factory.h"

struct BridgeTestAccess {
  static CStiScannerComBridge* Object(IStiScannerComBridge* bridge)
  {
    return static_cast<CStiScannerComBridge*>(bridge);
  }
  static const WCHAR* ProfileName(IStiScannerComBridge* b) { return Object(b)->profileName; }
  static const WCHAR* ProfileQualifier(IStiScannerComBridge* b)
  {
    return Object(b)->profileQualifier;
  }
  static const WCHAR* StoreId(IStiScannerComBridge* b) { return Object(b)->storeId; }
  static IStiDevice* Device(IStiScannerComBridge* b) { return Object(b)->device; }
  static STI_DEVICE_INFORMATIONW* DeviceInfo(IStiScannerComBridge* b)
  {
    return Object(b)->deviceInfo;
  }
  static DWORD DeviceSelected(IStiScannerComBridge* b) { return Object(b)->deviceSelected; }
  static DWORD CapabilityFlag(IStiScannerComBridge* b) { return Object(b)->capabilityFlag; }
  static driver::UserRecord* UserRecord(IStiScannerComBridge* b)
  {
    return Object(b)->userRecord.Get();
  }
  static LONG JobEndedCookie(IStiScannerComBridge* b) { return Object(b)->jobEndedCookie; }
  static LONG ItemDeletedCookie(IStiScannerComBridge* b) { return Object(b)->itemDeletedCookie; }
  static HANDLE JobEndedEvent(IStiScannerComBridge* b) { return Object(b)->jobEndedEvent; }
  static driver::ItemListHeader* ItemList(IStiScannerComBridge* b) { return Object(b)->itemList; }
  static void* DriverValue(IStiScannerComBridge* b) { return Object(b)->driverValue; }
  static HKEY UserDataKey(IStiScannerComBridge* b) { return Object(b)->userDataKey; }
  // Swaps the device object in and out, for paths that need a user record
  // without a device.
  static IStiDevice* SwapDevice(IStiScannerComBridge* b, IStiDevice* device)
  {
    IStiDevice* old = Object(b)->device;
    Object(b)->device = device;
    return old;
  }

  static LONG PagesRemaining(IStiScannerComBridge* b) { return Object(b)->pagesRemaining; }
  static LONG SelectionCursor(IStiScannerComBridge* b) { return Object(b)->selectionCursor; }
  static LONG SelectionEntries(IStiScannerComBridge* b) { return Object(b)->selectionEntries; }
  static LONG SelectionCapacity(IStiScannerComBridge* b) { return Object(b)->selectionCapacity; }
  static LONG SelectionAt(IStiScannerComBridge* b, int i) { return Object(b)->SelectionArray()[i]; }
  static driver::SettingsBlock* ScanSettings(IStiScannerComBridge* b)
  {
    return Object(b)->scanSettings.Get();
  }
  static driver::CapabilityBlock* Capabilities(IStiScannerComBridge* b)
  {
    return Object(b)->capabilities.Get();
  }
  static TW_IMAGEINFO* ImageInfo(IStiScannerComBridge* b) { return Object(b)->imageInfo; }
  static void SetSelectionCount(LONG count) { CStiScannerComBridge::selectionCount = count; }
  static LONG SelectionCount() { return CStiScannerComBridge::selectionCount; }

  static HRESULT BuildThumbnailPath(IStiScannerComBridge* b, int index, WCHAR* path)
  {
    return Object(b)->BuildThumbnailPath(index, path);
  }
  static HRESULT GetJobNamePrefix(IStiScannerComBridge* b, WCHAR* prefix)
  {
    return Object(b)->GetJobNamePrefix(prefix);
  }
  static HRESULT QueryDriverValue(IStiScannerComBridge* b, LONG selector, void** value)
  {
    return Object(b)->QueryDriverValue(selector, value);
  }
};

inline IStiScannerComBridge* NewBridge()
{
  CUnknown* object = nullptr;
  if (FAILED(CreateBridgeObject(nullptr, &object))) return nullptr;
  IStiScannerComBridge* bridge = nullptr;
  object->NondelegatingQueryInterface(IID_IStiScannerComBridge, reinterpret_cast<void**>(&bridge));
  object->NondelegatingRelease();
  return bridge;
}

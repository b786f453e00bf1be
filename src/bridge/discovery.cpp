// Device discovery and selection: the STI root object, the device that
// launched the client, the list of served devices, and the family code.
#include "bridge/bridge.h"
#include "bridge/locked_block.h"
#include "bridge/model_table.h"
#include "com/bstr.h"
#include "com/unique.h"
#include "com/wide_string.h"
#include "server/client_watch.h"
#include "server/probe_notes.h"

namespace {

constexpr SIZE_T kLaunchBufferBytes = 520;

}  // namespace

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::InitializeSti()
{
  // The first call of every conversation, and the first that comes from
  // the client itself rather than through COM's activation: where the
  // platform names its caller, the watch learns the client here.
  client_watch::LearnCaller(NondelegatingUnknown());
  probe_notes::AtFirstDirectCall(NondelegatingUnknown());
  // The field itself receives the object: where a failing call leaves it as
  // it was, the root object held before stays in use. One that is replaced,
  // by a new object or by an emptied field, is released rather than leaked.
  IStillImageW* previous = stillImage;
  HRESULT hr = StiCreateInstanceW(
      GetModuleHandleW(nullptr), STI_VERSION_REAL | STI_VERSION_FLAG_UNICODE, &stillImage, nullptr);
  if (previous != nullptr && previous != stillImage) previous->Release();
  return hr;
}

HRESULT CStiScannerComBridge::ProvideLaunchBuffer()
{
  if (launchName != nullptr) return S_OK;
  return AllocateLockedBlock(launchNameMem, launchName, kLaunchBufferBytes) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CStiScannerComBridge::FetchDeviceInfo(LPWSTR internalName)
{
  // STI writes into the field's own slot: a failing call that leaves the
  // slot alone leaves the earlier selection in use. A record that is
  // replaced (or emptied by the call) is freed.
  STI_DEVICE_INFORMATIONW* previous = deviceInfo;
  void* slot = deviceInfo;
  HRESULT hr = stillImage->GetDeviceInfo(internalName, &slot);
  deviceInfo = static_cast<STI_DEVICE_INFORMATIONW*>(slot);
  if (previous != nullptr && previous != deviceInfo) LocalFree(previous);
  return hr;
}

HRESULT CStiScannerComBridge::CreateSelectedDevice()
{
  // The new object takes the field; the bridge's reference to the one held
  // before goes, whether a new object or a failing call that emptied the
  // field replaced it. Blocks that object handed out keep it alive with
  // references of their own until they are handed back.
  IStiDevice* previous = device;
  HRESULT hr = stillImage->CreateDevice(deviceInfo->szDeviceInternalName, STI_DEVICE_CREATE_STATUS,
                                        &device, nullptr);
  if (previous != nullptr && previous != device) previous->Release();
  return hr;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SelectLaunchDevice()
{
  if (stillImage == nullptr) return E_FAIL;
  HRESULT hr = ProvideLaunchBuffer();
  if (FAILED(hr)) return hr;

  WCHAR launchDevice[STI_MAX_INTERNAL_NAME_LENGTH] = {};
  DWORD eventCode = 0;
  HRESULT pending;
  if (SUCCEEDED(stillImage->GetSTILaunchInformation(launchDevice, &eventCode, launchName))) {
    pending = FetchDeviceInfo(launchDevice);
    deviceSelected = 1;
  } else {
    DWORD count = 0;
    UniqueLocal<> list;
    hr = stillImage->GetDeviceList(StiDeviceTypeDefault, STIEDFL_ALLDEVICES, &count, list.Put());
    if (FAILED(hr)) return hr;
    if (!list) return E_FAIL;
    pending = hr;
    auto* entries = static_cast<STI_DEVICE_INFORMATIONW*>(list.Get());
    for (DWORD i = 0; i < count; ++i) {
      deviceFamily = FamilyCode(ClassifyDevice(entries[i].pszDeviceDescription));
      if (deviceFamily == -1) continue;
      pending = FetchDeviceInfo(entries[i].szDeviceInternalName);
      deviceSelected = 1;
      break;
    }
  }

  // A failed GetDeviceInfo is reported as its code, and no device object is
  // created: the field may still hold the previous selection's record (the
  // platform may leave it as it was), which is not the device asked for.
  if (FAILED(pending)) return pending;
  if (deviceSelected == 1 && deviceInfo != nullptr) return CreateSelectedDevice();
  return pending;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::EnumerateDevices(int* count, BSTR* names)
{
  if (count == nullptr || names == nullptr || stillImage == nullptr) return E_FAIL;
  HRESULT hr = ProvideLaunchBuffer();
  if (FAILED(hr)) return hr;

  WCHAR launchDevice[STI_MAX_INTERNAL_NAME_LENGTH] = {};
  DWORD eventCode = 0;
  if (SUCCEEDED(stillImage->GetSTILaunchInformation(launchDevice, &eventCode, launchName))) {
    *count = 1;
    hr = FetchDeviceInfo(launchDevice);
    if (SUCCEEDED(hr)) deviceSelected = 1;
    return hr;
  }

  // The list of an earlier enumeration that no selection consumed is freed
  // before the new one replaces it.
  LocalFree(deviceList);
  deviceList = nullptr;
  void* list = nullptr;
  DWORD listed = 0;
  HRESULT listResult =
      stillImage->GetDeviceList(StiDeviceTypeDefault, STIEDFL_ALLDEVICES, &listed, &list);
  deviceCount = listed;
  deviceList = static_cast<STI_DEVICE_INFORMATIONW*>(list);
  if (FAILED(listResult)) return listResult;
  if (deviceList == nullptr) return E_FAIL;

  const int limit = *count;
  deviceFamily = -1;
  WCHAR text[kStringUnits] = {};
  int namesListed = 0;
  DWORD lastMatch = 0;
  bool cut = false;
  for (DWORD i = 0; i < deviceCount; ++i) {
    const LONG family = FamilyCode(ClassifyDevice(deviceList[i].pszDeviceDescription));
    // WIA entries and devices of no served model are passed over and leave
    // the family of an entry listed before them as it is.
    if (family == -1) continue;
    deviceFamily = family;
    const WCHAR* localName =
        deviceList[i].pszLocalName != nullptr ? deviceList[i].pszLocalName : W("");
    HRESULT added = namesListed == 0 ? WStrCopy(text, kStringUnits, localName)
                                     : WStrAppend(text, kStringUnits, localName);
    if (added != S_OK) cut = true;
    if (WStrAppend(text, kStringUnits, W(";")) != S_OK) cut = true;
    ++namesListed;
    lastMatch = i;
    if (namesListed == limit) break;
  }

  BSTR listText = SysAllocString(text);
  if (listText == nullptr) return E_OUTOFMEMORY;
  ReplaceBstr(names, listText);
  *count = namesListed;

  if (namesListed == 1) {
    hr = FetchDeviceInfo(deviceList[lastMatch].szDeviceInternalName);
    if (SUCCEEDED(hr)) deviceSelected = 1;
    return hr;
  }
  if (namesListed == 0) return listResult;
  return cut ? kStringCut : S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SelectDeviceByName(LPWSTR name, int* family)
{
  if (deviceSelected == 1) return S_OK;
  if (family == nullptr) return E_POINTER;
  if (stillImage == nullptr || deviceList == nullptr || name == nullptr) return E_FAIL;

  HRESULT hr = S_OK;
  for (DWORD i = 0; i < deviceCount; ++i) {
    if (deviceList[i].pszLocalName == nullptr || StrCmpW(deviceList[i].pszLocalName, name) != 0)
      continue;
    deviceFamily = FamilyOfNamedDevice(deviceList[i].pszDeviceDescription);
    hr = FetchDeviceInfo(deviceList[i].szDeviceInternalName);
    if (SUCCEEDED(hr)) deviceSelected = 1;
    break;
  }

  // The list is consumed either way: a client whose name was not on it
  // enumerates again.
  LocalFree(deviceList);
  deviceList = nullptr;
  *family = deviceFamily;
  return hr;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetDeviceFamily(int* family)
{
  if (family == nullptr) return E_POINTER;
  *family = deviceFamily;
  return S_OK;
}

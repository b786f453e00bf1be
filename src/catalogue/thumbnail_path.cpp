// The path of a stored job's thumbnail: a ".tmb" file in the folder that the
// installed device's "FilingPath" names, with a file name made from the
// item's name. The bridge neither opens nor tests the file.
#include "bridge/bridge.h"
#include "com/unique.h"
#include "com/wide_string.h"

namespace {

// The device's registry data under the imaging device class keys.
constexpr WCHAR kClassKeyPath[] = W("System\\CurrentControlSet\\Control\\Class");
constexpr WCHAR kDeviceDataKey[] = W("DeviceData");
constexpr WCHAR kFilingPathValue[] = W("FilingPath");
constexpr WCHAR kThumbnailSuffix[] = W(".tmb");

// Turns the last '.' of the whole path into '_'. The folder counts too: a
// name without a dot under a folder with one changes the folder's.
void ReplaceLastDot(WCHAR* path)
{
  size_t length = 0;
  WStrLength(path, kStringUnits, &length);
  while (length > 0) {
    if (path[--length] == W('.')) {
      path[length] = W('_');
      return;
    }
  }
}

}  // namespace

HRESULT CStiScannerComBridge::BuildThumbnailPath(int index, WCHAR* path)
{
  const driver::ItemRecord* record = ItemAt(index);
  if (record == nullptr || deviceInfo == nullptr || path == nullptr) return E_FAIL;

  WCHAR keyPath[kStringUnits] = {};
  HRESULT hr = WStrFormat(keyPath, kStringUnits, W("%s\\%s\\%s"), kClassKeyPath,
                          deviceInfo->szDeviceInternalName, kDeviceDataKey);
  if (FAILED(hr)) return hr;

  // The folder is read into 260 units with one more kept as a terminator, so
  // that data filling all 520 bytes offered ends at 260 units instead of
  // being read past.
  WCHAR folder[kStringUnits + 1] = {};
  {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
      return E_FAIL;
    DWORD size = kStringBytes;
    if (RegQueryValueExW(key.Get(), kFilingPathValue, nullptr, nullptr,
                         reinterpret_cast<BYTE*>(folder), &size) != ERROR_SUCCESS) {
      return E_FAIL;
    }
  }

  WCHAR joined[kStringUnits] = {};
  hr = WStrFormat(joined, kStringUnits, W("%s\\%s"), folder, record->itemName);
  if (FAILED(hr)) return hr;
  WStrCopy(path, kStringUnits, joined);
  ReplaceLastDot(path);
  return WStrAppend(path, kStringUnits, kThumbnailSuffix);
}

// Device records of the imaging class key: what a driver's installation
// writes for each STI device, and what the STI root object lists.
#include <algorithm>
#include <cstring>

#include "sim/simulator.h"

namespace sim {

namespace {

const DWORD kGuidLength = 38;  // "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"

WCHAR Fold(WCHAR c)
{
  return (c >= W('a') && c <= W('z')) ? WCHAR(c - 32) : c;
}

bool IsIndexName(const WCHAR* name)
{
  for (int i = 0; i < 4; ++i)
    if (name[i] < W('0') || name[i] > W('9')) return false;
  return name[4] == 0;
}

LSTATUS SetString(HKEY key, const WCHAR* name, const Text& value)
{
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

LSTATUS SetDword(HKEY key, const WCHAR* name, DWORD value)
{
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value);
}

bool GetString(HKEY key, const WCHAR* name, Text& value)
{
  WCHAR buffer[261] = {};
  DWORD size = 520;
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
      ERROR_SUCCESS)
    return false;
  value = Text(buffer, TextLength(buffer, size / sizeof(WCHAR)));
  return true;
}

DWORD GetDword(HKEY key, const WCHAR* name, DWORD fallback)
{
  DWORD value = 0, size = sizeof value, type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD)
    return fallback;
  return value;
}

Text IndexName(DWORD index)
{
  WCHAR digits[5] = {};
  for (int i = 3; i >= 0; --i) {
    digits[i] = static_cast<WCHAR>(W('0') + index % 10);
    index /= 10;
  }
  return Text(digits, 4);
}

// The four-digit subkeys of the class key.
std::vector<Text> DeviceKeys()
{
  std::vector<Text> names;
  HKEY classKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKeyPath, 0, KEY_READ, &classKey) != ERROR_SUCCESS)
    return names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256] = {};
    DWORD length = 256;
    LSTATUS status = RegEnumKeyExW(classKey, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) continue;
    if (IsIndexName(name)) names.emplace_back(name);
  }
  RegCloseKey(classKey);
  std::sort(names.begin(), names.end());
  return names;
}

bool ReadRecordFromKey(HKEY key, const Text& internalName, DeviceRecord& record)
{
  DeviceRecord out;
  out.internalName = internalName;
  if (!GetString(key, W("DriverDesc"), out.description)) return false;
  GetString(key, W("FriendlyName"), out.localName);
  GetString(key, W("Vendor"), out.vendor);
  GetString(key, W("PortName"), out.port);
  GetString(key, W("PropertyPages"), out.propProvider);
  out.deviceType = GetDword(key, W("DeviceType"), 0x00010000);
  out.capabilities = GetDword(key, W("Capabilities"), 0);
  out.hardwareConfig = GetDword(key, W("HardwareConfig"), 0);
  out.attached = GetDword(key, W("Attached"), 1) != 0;
  record = out;
  return true;
}

}  // namespace

Text InternalName(DWORD index)
{
  return Text(kClassGuid) + W("\\") + IndexName(index);
}

bool IsInternalName(const WCHAR* name)
{
  if (name == nullptr || TextLength(name, STI_MAX_INTERNAL_NAME_LENGTH) != kGuidLength + 5)
    return false;
  for (DWORD i = 0; i < kGuidLength; ++i)
    if (Fold(name[i]) != Fold(kClassGuid[i])) return false;
  return name[kGuidLength] == W('\\') && IsIndexName(name + kGuidLength + 1);
}

HRESULT InstallDeviceRecords(const Scenario& scenario, DWORD indexBase, const Text& tag)
{
  for (const DeviceSpec& device : scenario.devices) {
    const Text path = Text(kClassKeyPath) + W("\\") + IndexName(indexBase + device.index);
    HKEY key = nullptr;
    LSTATUS status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    SetString(key, W("DriverDesc"), device.description);
    SetString(key, W("FriendlyName"), device.localName);
    SetString(key, W("Vendor"), device.vendor);
    SetString(key, W("PortName"), device.port);
    SetString(key, W("PropertyPages"), device.propProvider);
    SetDword(key, W("DeviceType"), device.deviceType);
    SetDword(key, W("Capabilities"), device.capabilities);
    SetDword(key, W("HardwareConfig"), device.hardwareConfig);
    SetDword(key, W("Attached"), device.attached ? 1 : 0);
    status = SetString(key, kTagValue, tag);
    HKEY data = nullptr;
    if (status == ERROR_SUCCESS)
      status = RegCreateKeyExW(key, W("DeviceData"), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_ALL_ACCESS, nullptr, &data, nullptr);
    if (status == ERROR_SUCCESS) {
      for (const DeviceValueSpec& value : device.deviceData) {
        LSTATUS s = value.type == REG_SZ ? SetString(data, value.name.c_str(), value.text)
                                         : SetDword(data, value.name.c_str(), value.number);
        if (s != ERROR_SUCCESS) status = s;
      }
      RegCloseKey(data);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  }
  return S_OK;
}

void RemoveDeviceRecords(const Text& tag)
{
  HKEY classKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKeyPath, 0, KEY_ALL_ACCESS, &classKey) !=
      ERROR_SUCCESS)
    return;
  for (const Text& name : DeviceKeys()) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(classKey, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
    Text found;
    bool ours = GetString(key, kTagValue, found) && found == tag;
    RegCloseKey(key);
    if (!ours) continue;
    RegDeleteKeyW(classKey, (name + W("\\DeviceData")).c_str());
    RegDeleteKeyW(classKey, name.c_str());
  }
  RegCloseKey(classKey);
}

bool ReadDeviceRecord(const WCHAR* internalName, DeviceRecord& record)
{
  if (!IsInternalName(internalName)) return false;
  const Text name(internalName);
  const Text path = Text(kClassKeyPath) + name.substr(kGuidLength);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  // The name as the class key spells it, whatever case the caller used.
  bool found = ReadRecordFromKey(key, Text(kClassGuid) + name.substr(kGuidLength), record);
  RegCloseKey(key);
  return found;
}

std::vector<DeviceRecord> ReadDeviceRecords(const Text& tag)
{
  std::vector<DeviceRecord> records;
  for (const Text& name : DeviceKeys()) {
    const Text path = Text(kClassKeyPath) + W("\\") + name;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
      continue;
    // Keys that another use of the simulator installed in the same registry
    // are not this process's devices; keys without a tag are listed.
    Text found;
    DeviceRecord record;
    if ((!GetString(key, kTagValue, found) || found == tag) &&
        ReadRecordFromKey(key, Text(kClassGuid) + W("\\") + name, record))
      records.push_back(record);
    RegCloseKey(key);
  }
  return records;
}

STI_DEVICE_INFORMATIONW* PackDeviceRecords(const std::vector<DeviceRecord>& records)
{
  if (records.empty()) return nullptr;
  size_t bytes = records.size() * sizeof(STI_DEVICE_INFORMATIONW);
  for (const DeviceRecord& r : records)
    bytes += (r.vendor.size() + r.description.size() + r.port.size() + r.propProvider.size() +
              r.localName.size() + 5) *
             sizeof(WCHAR);
  auto* block = static_cast<STI_DEVICE_INFORMATIONW*>(LocalAlloc(LPTR, bytes));
  if (block == nullptr) return nullptr;
  auto* text = reinterpret_cast<WCHAR*>(block + records.size());
  auto place = [&](const Text& value) {
    WCHAR* at = text;
    std::memcpy(at, value.c_str(), (value.size() + 1) * sizeof(WCHAR));
    text += value.size() + 1;
    return at;
  };
  for (size_t i = 0; i < records.size(); ++i) {
    const DeviceRecord& r = records[i];
    STI_DEVICE_INFORMATIONW& info = block[i];
    info.dwSize = sizeof(STI_DEVICE_INFORMATIONW);
    info.DeviceType = r.deviceType;
    CopyText(r.internalName, info.szDeviceInternalName, STI_MAX_INTERNAL_NAME_LENGTH);
    info.DeviceCapabilities.dwGeneric = r.capabilities;
    info.dwHardwareConfiguration = r.hardwareConfig;
    info.pszVendorDescription = place(r.vendor);
    info.pszDeviceDescription = place(r.description);
    info.pszPortName = place(r.port);
    info.pszPropProvider = place(r.propProvider);
    info.pszLocalName = place(r.localName);
  }
  return block;
}

}  // namespace sim

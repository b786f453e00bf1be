#include "bridge/model_table.h"

namespace {

const WCHAR* const kWiaTexts[] = {
    W("Tarvo Alder 5100MFP WIA"),
    W("Tarvo Alder 5200MFP WIA"),
    W("Tarvo Alder 3300MFP WIA"),
    W("Tarvo Cedar/Max WIA Scanner"),
    W("Tarvo Quartz 7101/7102/7103 WIA Scanner"),
    W("Tarvo Quartz WIA Scanner"),
};

const WCHAR* const kFamily2Texts[] = {
    W("Tarvo Alder 5100MFP TWAIN"),
    W("Tarvo Alder 5200MFP TWAIN"),
};

const WCHAR* const kFamily0Texts[] = {
    W("Tarvo Alder 3300MFP TWAIN"),
    W("Tarvo Quartz 7101/7102/7103 TWAIN Scanner"),
    W("Tarvo Quartz TWAIN Scanner"),
    W("Tarvo Cedar/Max TWAIN Scanner"),
};

template <size_t N>
bool ContainsAny(LPCWSTR description, const WCHAR* const (&texts)[N])
{
  for (const WCHAR* text : texts)
    if (StrStrIW(description, text) != nullptr) return true;
  return false;
}

}  // namespace

DeviceClass ClassifyDevice(LPCWSTR description)
{
  if (description == nullptr) return DeviceClass::NotAccepted;
  if (ContainsAny(description, kWiaTexts)) return DeviceClass::Wia;
  if (ContainsAny(description, kFamily2Texts)) return DeviceClass::Family2;
  if (ContainsAny(description, kFamily0Texts)) return DeviceClass::Family0;
  return DeviceClass::NotAccepted;
}

LONG FamilyOfNamedDevice(LPCWSTR description)
{
  return description != nullptr && ContainsAny(description, kFamily2Texts) ? 2 : 0;
}

LONG FamilyCode(DeviceClass deviceClass)
{
  switch (deviceClass) {
    case DeviceClass::Family2:
      return 2;
    case DeviceClass::Family0:
      return 0;
    case DeviceClass::Wia:
    case DeviceClass::NotAccepted:
      break;
  }
  return -1;
}

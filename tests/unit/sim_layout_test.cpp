// The driver's block layouts and the STI declarations, checked against the
// documented 64-bit offsets and the platform's slot order.
#include <cstddef>

#include "sim/tests/sim_test_support.h"

using namespace simtest;

namespace {

struct FieldOffset {
  const char* field;
  size_t actual;
  size_t documented;
};

TEST(SimLayout, BlockFieldsSitAtTheDocumentedOffsets)
{
  using namespace driver;
  const FieldOffset fields[] = {
      {"property identifier", offsetof(PropertyRecord, identifier), 8},
      {"property type tag", offsetof(PropertyRecord, type), 24},
      {"property value", offsetof(PropertyRecord, value), 32},
      {"list count", offsetof(ItemListHeader, count), 0},
      {"list items", offsetof(ItemListHeader, items), 8},
      {"item name", offsetof(ItemRecord, itemName), 8},
      {"document name", offsetof(ItemRecord, documentName), 16},
      {"owner", offsetof(ItemRecord, ownerSid), 24},
      {"item identifier", offsetof(ItemRecord, itemIdentifier), 32},
      {"state", offsetof(ItemRecord, state), 40},
      {"item property count", offsetof(ItemRecord, propertyCount), 44},
      {"item properties", offsetof(ItemRecord, properties), 48},
      {"job name", offsetof(SettingsBlock, jobName), 8},
      {"store identifier", offsetof(SettingsBlock, storeId), 16},
      {"settings property count", offsetof(SettingsBlock, propertyCount), 24},
      {"settings properties", offsetof(SettingsBlock, properties), 32},
      {"user property count", offsetof(UserRecord, propertyCount), 16},
      {"user properties", offsetof(UserRecord, properties), 24},
      {"operation", offsetof(RequestBlock, operation), 0},
      {"format code", offsetof(RequestBlock, formatCode), 4},
      {"page", offsetof(RequestBlock, page), 8},
      {"page count", offsetof(RequestBlock, pageCount), 12},
      {"value", offsetof(RequestBlock, value), 16},
      {"format changed", offsetof(RequestBlock, formatChanged), 20},
      {"item name pointer", offsetof(RequestBlock, itemName), 24},
      {"client request item name", offsetof(STI_TRANSFER_REQUEST, itemName), 24},
  };
  for (const FieldOffset& f : fields) EXPECT_EQ(f.actual, f.documented) << f.field;

  EXPECT_EQ(sizeof(PropertyRecord), 88u);
  EXPECT_EQ(sizeof(ItemListHeader), 16u);
  EXPECT_EQ(sizeof(ItemRecord), 56u);
  EXPECT_EQ(sizeof(SettingsBlock), 40u);
  EXPECT_EQ(sizeof(UserRecord), 32u);
  EXPECT_EQ(sizeof(RequestBlock), 32u);
  EXPECT_EQ(sizeof(STI_TRANSFER_REQUEST), 32u);
  EXPECT_EQ(kPagePropertyBytes, 1584u);
}

TEST(SimLayout, PropertyAccessorsReadWhatTheBytesHold)
{
  driver::PropertyRecord record;
  record.MakeInt32(4112, 0x12345678);
  BYTE raw[88];
  std::memcpy(raw, &record, sizeof raw);
  DWORD id;
  LONG value;
  std::memcpy(&id, raw + 8, 4);
  std::memcpy(&value, raw + 32, 4);
  EXPECT_EQ(id, 4112u);
  EXPECT_EQ(value, 0x12345678);
  EXPECT_EQ(raw[24], VT_I4);
  // A 16-bit property is the low half of the value.
  EXPECT_EQ(record.Int16(), 0x5678);

  BSTR pin = SysAllocString(W("1234"));
  record.MakeBstr(38946, pin);
  EXPECT_EQ(record.Bstr(), pin);
  record.SetBstr(nullptr);
  EXPECT_EQ(record.Bstr(), nullptr);
  EXPECT_EQ(record.Identifier(), 38946u);
  SysFreeString(pin);

  SYSTEMTIME time{};
  record.MakeVector(4100, VT_UI2, 8, &time);
  std::memcpy(raw, &record, sizeof raw);
  DWORD count;
  void* elements;
  std::memcpy(&count, raw + 32, 4);
  std::memcpy(&elements, raw + 40, 8);
  EXPECT_EQ(count, 8u);
  EXPECT_EQ(elements, &time);
  EXPECT_EQ(record.VectorElements(), &time);
}

TEST(SimLayout, FindPropertyTakesTheFirstMatchAndNothingFromAnEmptyArray)
{
  driver::PropertyRecord records[3];
  records[0].MakeInt32(1, 10);
  records[1].MakeInt32(2, 20);
  records[2].MakeInt32(2, 30);
  EXPECT_EQ(driver::FindProperty(records, 3, 2), &records[1]);
  EXPECT_EQ(driver::FindProperty(records, 0, 1), nullptr);
  EXPECT_EQ(driver::FindProperty(nullptr, 3, 1), nullptr);
  EXPECT_EQ(driver::FindProperty(records, 3, 7), nullptr);
  EXPECT_EQ(driver::FindLastProperty(records, 3, 2), &records[2]);
  EXPECT_EQ(driver::FindLastProperty(records, 0, 2), nullptr);
  EXPECT_EQ(driver::FindLastProperty(nullptr, 3, 2), nullptr);
  LONG sum = 0;
  driver::ForEachProperty(records, 3, [&](driver::PropertyRecord& r) { sum += r.Int32(); });
  EXPECT_EQ(sum, 60);
}

TEST(SimLayout, EscapeCodesHaveTheirNames)
{
  EXPECT_EQ(std::size(driver::kAllEscapeCodes), 15u);
  EXPECT_STREQ(driver::EscapeCodeName(4101), "ItemThumbnail");
  EXPECT_STREQ(driver::EscapeCodeName(4122), "GetItemList");
  EXPECT_EQ(driver::EscapeCodeName(4102), nullptr);
  EXPECT_EQ(driver::EscapeCodeName(0), nullptr);
}

TEST(SimLayout, DeviceInformationRecordHasThePlatformLayout)
{
  EXPECT_EQ(offsetof(STI_DEVICE_INFORMATIONW, szDeviceInternalName), 8u);
  EXPECT_EQ(offsetof(STI_DEVICE_INFORMATIONW, DeviceCapabilities), 264u);
  EXPECT_EQ(offsetof(STI_DEVICE_INFORMATIONW, pszVendorDescription), 272u);
  EXPECT_EQ(offsetof(STI_DEVICE_INFORMATIONW, pszDeviceDescription), 280u);
  EXPECT_EQ(offsetof(STI_DEVICE_INFORMATIONW, pszLocalName), 304u);
  EXPECT_EQ(sizeof(STI_DEVICE_INFORMATIONW), 312u);
}

// Calls a method by its slot in the virtual table, as a caller compiled
// against the platform's C declarations would.
template <typename Fn>
Fn Slot(void* object, int slot)
{
  return reinterpret_cast<Fn>((*static_cast<void***>(object))[slot]);
}

class SimSlotTest : public SimTest {};

TEST_F(SimSlotTest, InterfacesKeepThePlatformSlotOrder)
{
  using GetValueFn = HRESULT(STDMETHODCALLTYPE*)(void*, LPWSTR, LPWSTR, LPDWORD, LPBYTE, LPDWORD);
  using CreateFn = HRESULT(STDMETHODCALLTYPE*)(void*, LPWSTR, DWORD, IStiDevice**, IUnknown*);
  using LockFn = HRESULT(STDMETHODCALLTYPE*)(void*, DWORD);
  using UnlockFn = HRESULT(STDMETHODCALLTYPE*)(void*);
  using EscapeFn = HRESULT(STDMETHODCALLTYPE*)(void*, DWORD, void*, DWORD, void*, DWORD, DWORD*);

  Text name = InternalName(kLabDevice);
  WCHAR data[64] = {};
  DWORD type = 0, size = sizeof data;
  EXPECT_EQ(Slot<GetValueFn>(sti, 7)(sti, name.data(), const_cast<LPWSTR>(W("UserDataKey")), &type,
                                     reinterpret_cast<BYTE*>(data), &size),
            S_OK);
  EXPECT_EQ(Text(data), Text(W("Software\\Tarvo\\Scan\\Lab")));

  IStiDevice* device = nullptr;
  ASSERT_EQ(Slot<CreateFn>(sti, 6)(sti, name.data(), STI_DEVICE_CREATE_STATUS, &device, nullptr),
            S_OK);
  EXPECT_EQ(Slot<LockFn>(device, 10)(device, 100), S_OK);
  LONG selector = 16;
  void* value = nullptr;
  DWORD word = 0;
  EXPECT_EQ(Slot<EscapeFn>(device, 8)(device, 4115, &selector, 4, &value, 8, &word), S_OK);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(Text(static_cast<WCHAR*>(value)), Text(W("JOB-0003")));
  GlobalFree(value);
  EXPECT_EQ(Slot<UnlockFn>(device, 11)(device), S_OK);
  device->Release();
}

}  // namespace

// The simulator's STI root object: device records from the registry, device
// information, device creation, device values and launch information.
#include "sim/tests/sim_test_support.h"

using namespace simtest;

namespace {

const char* kSmallScenario = R"({
  "devices": [
    { "index": 5, "description": "Tarvo Quartz TWAIN Scanner", "localName": "Annex",
      "deviceData": { "FilingPath": "D:\\Spool", "Retries": 3 } },
    { "index": 2, "description": "Camera", "localName": "Cam", "deviceType": 131072,
      "attached": false }
  ]
})";

class SimRootTest : public SimTest {};

TEST(SimScenario, StiCreateInstanceChecksItsArguments)
{
  ASSERT_EQ(StiSimLoadDefaultScenario(), S_OK);
  IStillImageW* sti = nullptr;
  EXPECT_EQ(StiCreateInstanceW(nullptr, STI_VERSION_REAL, nullptr, nullptr), E_INVALIDARG);
  IUnknown* outer = reinterpret_cast<IUnknown*>(&sti);
  EXPECT_EQ(StiCreateInstanceW(nullptr, STI_VERSION_REAL, &sti, outer), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(sti, nullptr);
  EXPECT_TRUE(FAILED(StiCreateInstanceW(nullptr, 1, &sti, nullptr)));
  EXPECT_EQ(sti, nullptr);
}

TEST(SimScenario, MalformedScenariosAreRefusedWithAReason)
{
  struct Case {
    const char* json;
    const char* reason;
  };
  const Case cases[] = {
      {"{", "parse"},
      {R"({"devices": [{"index": 1, "desciption": "x"}]})", "desciption"},
      {R"({"devices": [{"index": 1}, {"index": 1}]})", "index used twice"},
      {R"({"devices": [{"index": 1, "jobs": [{"itemName": "a", "deliveredDepth": 12}]}]})",
       "deliveredDepth"},
      {R"({"faults": [{"target": "lok", "mode": "fail"}]})", "target"},
      {R"({"faults": [{"target": 4122, "mode": "sometimes"}]})", "mode"},
      {R"({"launch": {"device": 3}})", "launch.device"},
      {R"({"conduct": {"blocks": "sometimes"}})", "conduct.blocks"},
      {R"({"conduct": {"sizeWord": "zero"}})", "sizeWord"},
  };
  ASSERT_EQ(StiSimLoadScenarioJson(kSmallScenario), S_OK);
  for (const Case& c : cases) {
    EXPECT_EQ(StiSimLoadScenarioJson(c.json), E_INVALIDARG) << c.json;
    char reason[256];
    StiSimLastError(reason, sizeof reason);
    EXPECT_NE(std::string(reason).find(c.reason), std::string::npos) << reason;
  }
  // A refused scenario leaves the loaded one in place.
  EXPECT_EQ(StiSimDeviceCount(), 2u);
  EXPECT_EQ(StiSimLoadScenarioJson(nullptr), E_INVALIDARG);
}

TEST_F(SimRootTest, DeviceListHoldsEveryDeviceInIndexOrderInOneLocalBlock)
{
  DWORD count = 0;
  void* buffer = nullptr;
  ASSERT_EQ(sti->GetDeviceList(StiDeviceTypeDefault, STIEDFL_ALLDEVICES, &count, &buffer), S_OK);
  ASSERT_EQ(count, 4u);
  auto* list = static_cast<STI_DEVICE_INFORMATIONW*>(buffer);
  const WCHAR* descriptions[] = {W("Tarvo Alder 5100MFP WIA"), W("Tarvo Alder 5100MFP TWAIN"),
                                 W("Generic PhotoScan 200 Flatbed"),
                                 W("Tarvo Quartz TWAIN Scanner")};
  const WCHAR* names[] = {W("Lab MFP (WIA)"), W("Lab MFP"), W("Reception flatbed"), W("Floor 2")};
  for (DWORD i = 0; i < count; ++i) {
    EXPECT_EQ(list[i].dwSize, sizeof(STI_DEVICE_INFORMATIONW));
    EXPECT_EQ(Text(list[i].pszDeviceDescription), Text(descriptions[i]));
    EXPECT_EQ(Text(list[i].pszLocalName), Text(names[i]));
    EXPECT_EQ(Text(list[i].szDeviceInternalName), InternalName(i));
    EXPECT_EQ(GET_STIDEVICE_TYPE(list[i].DeviceType), StiDeviceTypeScanner);
  }
  EXPECT_EQ(InternalName(1), Text(W("{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0101")));
  // Records and strings are one block: one free releases all of it.
  EXPECT_EQ(LocalFree(buffer), nullptr);

  EXPECT_EQ(sti->GetDeviceList(0, 0, nullptr, &buffer), E_INVALIDARG);
  EXPECT_EQ(sti->GetDeviceList(0, 0, &count, nullptr), E_INVALIDARG);
}

TEST_F(SimRootTest, DeviceListFiltersByTypeAndAttachment)
{
  ASSERT_EQ(StiSimLoadScenarioJson(kSmallScenario), S_OK);
  struct Case {
    DWORD type, flags, expected;
  };
  const Case cases[] = {{StiDeviceTypeDefault, STIEDFL_ALLDEVICES, 2},
                        {StiDeviceTypeScanner, STIEDFL_ALLDEVICES, 1},
                        {StiDeviceTypeDigitalCamera, STIEDFL_ALLDEVICES, 1},
                        {StiDeviceTypeDefault, STIEDFL_ATTACHEDONLY, 1},
                        {StiDeviceTypeStreamingVideo, STIEDFL_ALLDEVICES, 0}};
  for (const Case& c : cases) {
    DWORD count = 99;
    void* buffer = nullptr;
    EXPECT_EQ(sti->GetDeviceList(c.type, c.flags, &count, &buffer), S_OK);
    EXPECT_EQ(count, c.expected) << c.type << "/" << c.flags;
    EXPECT_EQ(buffer == nullptr, c.expected == 0);
    LocalFree(buffer);
  }
}

TEST_F(SimRootTest, ReloadingReplacesTheDeviceRecordsAndLeavesForeignKeysUnlisted)
{
  ASSERT_EQ(StiSimLoadScenarioJson(kSmallScenario), S_OK);
  // A device that an installed scenario left in the same registry.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                            W("System\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-"
                              "08002BE2092F}\\0198"),
                            0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const WCHAR desc[] = W("Foreign");
  const WCHAR tag[] = W("someone-else");
  RegSetValueExW(key, W("DriverDesc"), 0, REG_SZ, reinterpret_cast<const BYTE*>(desc), sizeof desc);
  RegSetValueExW(key, W("StiSimulatorTag"), 0, REG_SZ, reinterpret_cast<const BYTE*>(tag),
                 sizeof tag);
  RegCloseKey(key);

  DWORD count = 0;
  void* buffer = nullptr;
  ASSERT_EQ(sti->GetDeviceList(0, 0, &count, &buffer), S_OK);
  ASSERT_EQ(count, 2u);
  auto* list = static_cast<STI_DEVICE_INFORMATIONW*>(buffer);
  EXPECT_EQ(Text(list[0].pszLocalName), Text(W("Cam")));  // index 2 before index 5
  EXPECT_EQ(Text(list[1].pszLocalName), Text(W("Annex")));
  LocalFree(buffer);

  ASSERT_EQ(StiSimLoadDefaultScenario(), S_OK);
  ASSERT_EQ(sti->GetDeviceList(0, 0, &count, &buffer), S_OK);
  EXPECT_EQ(count, 4u);
  LocalFree(buffer);
  RegDeleteKeyW(
      HKEY_LOCAL_MACHINE,
      W("System\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"
        "\\0198"));
}

TEST_F(SimRootTest, DeviceInfoAnswersKnownNamesOnly)
{
  Text name = InternalName(kFloorDevice);
  void* buffer = nullptr;
  ASSERT_EQ(sti->GetDeviceInfo(name.data(), &buffer), S_OK);
  auto* info = static_cast<STI_DEVICE_INFORMATIONW*>(buffer);
  EXPECT_EQ(Text(info->pszLocalName), Text(W("Floor 2")));
  EXPECT_EQ(Text(info->szDeviceInternalName), name);
  LocalFree(buffer);

  // The class part may come in lower case; the record names it as listed.
  Text lower = name;
  for (WCHAR& c : lower)
    if (c >= W('A') && c <= W('F')) c = static_cast<WCHAR>(c + 32);
  ASSERT_EQ(sti->GetDeviceInfo(lower.data(), &buffer), S_OK);
  EXPECT_EQ(Text(static_cast<STI_DEVICE_INFORMATIONW*>(buffer)->szDeviceInternalName), name);
  LocalFree(buffer);

  Text bad[] = {name + W("\\DeviceData"), name.substr(0, name.size() - 1),
                Text(W("{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0150")), Text(W("")),
                Text(300, W('x'))};
  for (Text& n : bad) {
    buffer = reinterpret_cast<void*>(1);
    EXPECT_TRUE(FAILED(sti->GetDeviceInfo(n.data(), &buffer)));
    EXPECT_EQ(buffer, nullptr);
  }
  EXPECT_EQ(sti->GetDeviceInfo(nullptr, &buffer), E_INVALIDARG);
  EXPECT_EQ(sti->GetDeviceInfo(name.data(), nullptr), E_INVALIDARG);
}

TEST_F(SimRootTest, CreateDeviceInStatusModeAndRefusesWhatItCannotServe)
{
  Text name = InternalName(kLabDevice);
  IStiDevice* device = nullptr;
  ASSERT_EQ(sti->CreateDevice(name.data(), STI_DEVICE_CREATE_STATUS, &device, nullptr), S_OK);
  IUnknown* unknown = nullptr;
  EXPECT_EQ(device->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  unknown->Release();
  device->Release();

  Text unknownName = InternalName(kLabDevice);
  unknownName.back() = W('9');
  EXPECT_EQ(sti->CreateDevice(unknownName.data(), 1, &device, nullptr), STIERR_INVALID_DEVICE_NAME);
  EXPECT_EQ(sti->CreateDevice(name.data(), 0, &device, nullptr), E_INVALIDARG);
  EXPECT_EQ(sti->CreateDevice(name.data(), 0x10001, &device, nullptr), E_INVALIDARG);
  EXPECT_EQ(sti->CreateDevice(name.data(), 1, &device, reinterpret_cast<IUnknown*>(sti)),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(sti->CreateDevice(nullptr, 1, &device, nullptr), E_INVALIDARG);
  EXPECT_EQ(sti->CreateDevice(name.data(), 1, nullptr, nullptr), E_INVALIDARG);
}

TEST_F(SimRootTest, DeviceValuesComeFromTheDeviceDataKey)
{
  ASSERT_EQ(StiSimLoadScenarioJson(kSmallScenario), S_OK);
  Text name = InternalName(0);
  WCHAR text[64] = {};
  DWORD type = 0, size = sizeof text;
  ASSERT_EQ(sti->GetDeviceValue(name.data(), const_cast<LPWSTR>(W("FilingPath")), &type,
                                reinterpret_cast<BYTE*>(text), &size),
            S_OK);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(Text(text), Text(W("D:\\Spool")));
  EXPECT_EQ(size, sizeof(W("D:\\Spool")));

  DWORD number = 0;
  size = sizeof number;
  ASSERT_EQ(sti->GetDeviceValue(name.data(), const_cast<LPWSTR>(W("Retries")), &type,
                                reinterpret_cast<BYTE*>(&number), &size),
            S_OK);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(number, 3u);

  size = 4;
  EXPECT_EQ(sti->GetDeviceValue(name.data(), const_cast<LPWSTR>(W("FilingPath")), &type,
                                reinterpret_cast<BYTE*>(text), &size),
            HRESULT_FROM_WIN32(ERROR_MORE_DATA));
  size = sizeof text;
  EXPECT_EQ(sti->GetDeviceValue(name.data(), const_cast<LPWSTR>(W("Missing")), &type,
                                reinterpret_cast<BYTE*>(text), &size),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(sti->GetDeviceValue(name.data(), nullptr, &type, nullptr, &size), E_INVALIDARG);

  const WCHAR stored[] = W("E:\\Other");
  ASSERT_EQ(sti->SetDeviceValue(name.data(), const_cast<LPWSTR>(W("FilingPath")), REG_SZ,
                                reinterpret_cast<BYTE*>(const_cast<WCHAR*>(stored)), sizeof stored),
            S_OK);
  size = sizeof text;
  ASSERT_EQ(sti->GetDeviceValue(name.data(), const_cast<LPWSTR>(W("FilingPath")), &type,
                                reinterpret_cast<BYTE*>(text), &size),
            S_OK);
  EXPECT_EQ(Text(text), Text(stored));
}

TEST_F(SimRootTest, LaunchInformationOnlyWhenALaunchIsConfigured)
{
  WCHAR name[STI_MAX_INTERNAL_NAME_LENGTH] = {};
  WCHAR event[260] = {};
  DWORD code = 7;
  EXPECT_TRUE(FAILED(sti->GetSTILaunchInformation(name, &code, event)));
  EXPECT_EQ(code, 7u);

  ASSERT_EQ(StiSimSetLaunch(kFloorDevice, 2, W("{A6C5A715-8C6E-11D2-977A-0000F87A926F}")), S_OK);
  ASSERT_EQ(sti->GetSTILaunchInformation(name, &code, event), S_OK);
  EXPECT_EQ(Text(name), InternalName(kFloorDevice));
  EXPECT_EQ(code, 2u);
  EXPECT_EQ(Text(event), Text(W("{A6C5A715-8C6E-11D2-977A-0000F87A926F}")));
  EXPECT_EQ(sti->GetSTILaunchInformation(nullptr, &code, event), E_INVALIDARG);

  EXPECT_EQ(StiSimSetLaunch(STISIM_ANY, 0, nullptr), S_OK);
  EXPECT_TRUE(FAILED(sti->GetSTILaunchInformation(name, &code, event)));
  EXPECT_EQ(StiSimSetLaunch(17, 0, nullptr), E_INVALIDARG);
}

TEST_F(SimRootTest, RootObjectFaultsAreInjectedOnDemand)
{
  DWORD count = 0;
  void* buffer = nullptr;
  StiSimFault fail = Fault(STISIM_TARGET_DEVICE_LIST, STISIM_FAULT_FAIL, E_OUTOFMEMORY);
  fail.times = 1;
  ASSERT_EQ(StiSimAddFault(&fail), S_OK);
  EXPECT_EQ(sti->GetDeviceList(0, 0, &count, &buffer), E_OUTOFMEMORY);
  // Only once.
  ASSERT_EQ(sti->GetDeviceList(0, 0, &count, &buffer), S_OK);
  LocalFree(buffer);

  StiSimFault empty = Fault(STISIM_TARGET_DEVICE_LIST, STISIM_FAULT_EMPTY);
  empty.times = 1;
  StiSimAddFault(&empty);
  EXPECT_EQ(sti->GetDeviceList(0, 0, &count, &buffer), S_OK);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(count, 0u);

  // More records claimed than real ones: the extra record is all zero.
  StiSimFault more = Fault(STISIM_TARGET_DEVICE_LIST, STISIM_FAULT_MISMATCH);
  more.times = 1;
  StiSimAddFault(&more);
  ASSERT_EQ(sti->GetDeviceList(0, 0, &count, &buffer), S_OK);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(Text(static_cast<STI_DEVICE_INFORMATIONW*>(buffer)[4].pszLocalName), Text());
  LocalFree(buffer);

  StiSimFault create = Fault(STISIM_TARGET_CREATE_DEVICE, STISIM_FAULT_EMPTY);
  StiSimAddFault(&create);
  IStiDevice* device = reinterpret_cast<IStiDevice*>(1);
  Text name = InternalName(kLabDevice);
  EXPECT_EQ(sti->CreateDevice(name.data(), 1, &device, nullptr), S_OK);
  EXPECT_EQ(device, nullptr);

  StiSimClearFaults();
  // A conduct that keeps the out-values of failing calls as the caller had
  // them; the default empties them.
  for (const bool kept : {false, true}) {
    ASSERT_EQ(StiSimLoadScenarioJson(kept ? R"({"conduct": {"failedOut": "kept"}})" : "{}"), S_OK);
    for (DWORD target : {STISIM_TARGET_DEVICE_INFO, STISIM_TARGET_CREATE_DEVICE,
                         STISIM_TARGET_DEVICE_LIST, STISIM_TARGET_CREATE_INSTANCE}) {
      StiSimFault failing = Fault(target, STISIM_FAULT_FAIL, STIERR_DEVICE_NOTREADY);
      failing.times = 1;
      ASSERT_EQ(StiSimAddFault(&failing), S_OK);
      void* const earlier = reinterpret_cast<void*>(0x1234);
      void* out = earlier;
      HRESULT hr = E_NOTIMPL;
      if (target == STISIM_TARGET_DEVICE_INFO)
        hr = sti->GetDeviceInfo(name.data(), &out);
      else if (target == STISIM_TARGET_CREATE_DEVICE)
        hr = sti->CreateDevice(name.data(), 1, reinterpret_cast<IStiDevice**>(&out), nullptr);
      else if (target == STISIM_TARGET_DEVICE_LIST)
        hr = sti->GetDeviceList(0, 0, &count, &out);
      else
        hr = StiCreateInstanceW(nullptr, STI_VERSION_REAL, reinterpret_cast<IStillImageW**>(&out),
                                nullptr);
      EXPECT_EQ(hr, STIERR_DEVICE_NOTREADY) << target;
      EXPECT_EQ(out, kept ? earlier : nullptr) << target;
    }
  }

  StiSimFault bad{};
  EXPECT_EQ(StiSimAddFault(&bad), E_INVALIDARG);
  EXPECT_EQ(StiSimAddFault(nullptr), E_INVALIDARG);
}

}  // namespace

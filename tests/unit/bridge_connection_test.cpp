// Device discovery, selection, open and events, on the simulated STI stack
// and driver, asserted on the driver's journal.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "bridge/model_table.h"
#include "sim/sim_api.h"
#include "sim/tests/sim_test_support.h"
#include "unit/bridge_session.h"
#include "unit/bridge_test_access.h"
#include "unit/test_support.h"

namespace {

using Text = std::basic_string<WCHAR>;
using driver::EscapeCode;

struct Device {
  std::string description;
  std::string localName;
  bool capability = false;
};

// A scenario of the given devices; each has one user "ann".
std::string Scenario(const std::vector<Device>& devices, const std::string& extra = "")
{
  std::string json = R"({"name": "connection", "devices": [)";
  for (size_t i = 0; i < devices.size(); ++i) {
    if (i > 0) json += ",";
    json +=
        R"({"index": )" + std::to_string(i) + R"(, "description": ")" + devices[i].description +
        R"(", "localName": ")" + devices[i].localName +
        R"(", "users": [{"storeId": "ann", "pin": "1"}], "capabilities": [{"id": 4103, "value": 3})";
    if (devices[i].capability) json += R"(, {"id": 38935, "value": 1})";
    json += "]}";
  }
  return json + "]" + extra + "}";
}

const char kQuartz[] = "Tarvo Quartz TWAIN Scanner";
const char kAlder5100[] = "Tarvo Alder 5100MFP TWAIN";
const char kAlderWia[] = "Tarvo Alder 5100MFP WIA";

using simtest::Fault;
using simtest::Journal;

using session::JournalText;

class ConnectionTest : public QuitRecordingTest {
 protected:
  void Load(const std::string& json)
  {
    ASSERT_EQ(StiSimLoadScenarioJson(json.c_str()), S_OK) << json;
    StiSimClearJournal();
  }
  void SetUp() override
  {
    QuitRecordingTest::SetUp();
    bridge = NewBridge();
    ASSERT_NE(bridge, nullptr);
  }
  void TearDown() override
  {
    bridge->Close();
    EXPECT_EQ(bridge->Release(), 0u);
    StiSimClearFaults();
    StiSimSetLockTimeoutOverride(0);
    QuitRecordingTest::TearDown();
  }
  int Family()
  {
    int family = 99;
    EXPECT_EQ(bridge->GetDeviceFamily(&family), S_OK);
    return family;
  }
  HRESULT Enumerate(int& count, Text& names)
  {
    ScopedBstr list;
    HRESULT hr = bridge->EnumerateDevices(&count, &list);
    names = list.value != nullptr ? Text(list.value) : Text();
    return hr;
  }
  HRESULT Open(const WCHAR* store = W("ann"))
  {
    return bridge->OpenDevice(const_cast<WCHAR*>(W("LAB")), const_cast<WCHAR*>(W("anna")),
                              const_cast<WCHAR*>(store));
  }
  IStiScannerComBridge* bridge = nullptr;
};

TEST(ModelTable, ClassifiesByCaseInsensitiveSubstringWithWiaFirst)
{
  struct Case {
    const WCHAR* description;
    DeviceClass expected;
  };
  const Case cases[] = {
      {W("Tarvo Alder 5100MFP TWAIN"), DeviceClass::Family2},
      {W("tarvo ALDER 5100mfp twain"), DeviceClass::Family2},
      {W("Office: Tarvo Alder 5200MFP TWAIN (2nd floor)"), DeviceClass::Family2},
      {W("Tarvo Alder 3300MFP TWAIN"), DeviceClass::Family0},
      {W("Tarvo Quartz 7101/7102/7103 TWAIN Scanner"), DeviceClass::Family0},
      {W("TARVO QUARTZ TWAIN SCANNER"), DeviceClass::Family0},
      {W("Tarvo Cedar/Max TWAIN Scanner"), DeviceClass::Family0},
      {W("Tarvo Alder 5100MFP WIA"), DeviceClass::Wia},
      {W("Tarvo Alder 5100MFP WIA + Tarvo Alder 5100MFP TWAIN"), DeviceClass::Wia},
      {W("Tarvo Quartz WIA Scanner"), DeviceClass::Wia},
      {W("Tarvo Alder 5100MFP"), DeviceClass::NotAccepted},
      {W("Other Maker Scanjet"), DeviceClass::NotAccepted},
      {W(""), DeviceClass::NotAccepted},
      {nullptr, DeviceClass::NotAccepted},
  };
  for (const Case& c : cases) EXPECT_EQ(ClassifyDevice(c.description), c.expected);
  EXPECT_EQ(FamilyOfNamedDevice(W("Tarvo Alder 5100MFP WIA")), 0);
  EXPECT_EQ(FamilyOfNamedDevice(W("x Tarvo Alder 5200MFP TWAIN")), 2);
}

TEST_F(ConnectionTest, NothingWorksBeforeInitializeSti)
{
  int count = 0, family = 7;
  ScopedBstr names;
  EXPECT_EQ(bridge->SelectLaunchDevice(), E_FAIL);
  EXPECT_EQ(bridge->EnumerateDevices(&count, &names), E_FAIL);
  EXPECT_EQ(bridge->SelectDeviceByName(const_cast<WCHAR*>(W("x")), &family), E_FAIL);
  EXPECT_EQ(family, 7);
  EXPECT_EQ(bridge->RegisterEvents(), E_FAIL);
  EXPECT_EQ(bridge->UnregisterEvents(), E_FAIL);
  EXPECT_EQ(bridge->EnumerateDevices(nullptr, &names), E_FAIL);
}

TEST_F(ConnectionTest, SelectLaunchDeviceSkipsWiaAndCreatesTheDevice)
{
  Load(Scenario({{kAlderWia, "Lab (WIA)"}, {kQuartz, "Quartz"}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  EXPECT_EQ(bridge->SelectLaunchDevice(), S_OK);
  EXPECT_EQ(Family(), 0);
  ASSERT_NE(BridgeTestAccess::DeviceInfo(bridge), nullptr);
  EXPECT_EQ(Text(BridgeTestAccess::DeviceInfo(bridge)->pszLocalName), W("Quartz"));
  EXPECT_NE(BridgeTestAccess::Device(bridge), nullptr);
  EXPECT_EQ(StiSimLastCreateMode(), static_cast<DWORD>(STI_DEVICE_CREATE_STATUS));
  // A second selection and the open that follows replace the device object
  // without leaking it (the sanitizer build would report it).
  EXPECT_EQ(bridge->SelectLaunchDevice(), S_OK);
  EXPECT_EQ(Open(), S_OK);
}

TEST_F(ConnectionTest, SelectLaunchDevicePrefersTheLaunchingDevice)
{
  Load(Scenario({{kQuartz, "Quartz"}, {kAlder5100, "Lab MFP"}}));
  ASSERT_EQ(StiSimSetLaunch(1, 1, W("ScanButton")), S_OK);
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  EXPECT_EQ(bridge->SelectLaunchDevice(), S_OK);
  EXPECT_EQ(Text(BridgeTestAccess::DeviceInfo(bridge)->pszLocalName), W("Lab MFP"));
  EXPECT_EQ(Family(), -1) << "the launch path leaves the family alone";

  int count = 5;
  Text names = W("untouched");
  ScopedBstr list;
  list.value = SysAllocString(W("untouched"));
  EXPECT_EQ(bridge->EnumerateDevices(&count, &list), S_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(Text(list.value), W("untouched"));
  StiSimSetLaunch(STISIM_ANY, 0, nullptr);
}

TEST_F(ConnectionTest, EnumerateListsServedDevicesUpToTheLimit)
{
  Load(Scenario({{kAlderWia, "Wia"},
                 {kQuartz, "Quartz"},
                 {"Other Maker", "Other"},
                 {kAlder5100, "Lab MFP"},
                 {"Tarvo Cedar/Max TWAIN Scanner", "Cedar"}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  int count = 2;
  Text names;
  EXPECT_EQ(Enumerate(count, names), S_OK);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(names, W("Quartz;Lab MFP;"));
  EXPECT_EQ(BridgeTestAccess::DeviceSelected(bridge), 0u) << "two names select nothing";
  EXPECT_EQ(Family(), 2) << "the family of the last name listed";

  count = 0;
  EXPECT_EQ(Enumerate(count, names), S_OK);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(names, W("Quartz;Lab MFP;Cedar;"));
}

TEST_F(ConnectionTest, EnumerateSelectsASingleServedDevice)
{
  Load(Scenario({{kAlderWia, "Wia"}, {kAlder5100, "Lab MFP"}, {"Other Maker", "Other"}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  int count = 0;
  Text names;
  EXPECT_EQ(Enumerate(count, names), S_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(names, W("Lab MFP;"));
  EXPECT_EQ(BridgeTestAccess::DeviceSelected(bridge), 1u);
  EXPECT_EQ(Family(), 2) << "a device of no served model after it leaves the family alone";
}

TEST_F(ConnectionTest, EnumerateCutsAListLongerThan259Units)
{
  std::string longName(150, 'n');
  Load(Scenario({{kQuartz, longName + "1"}, {kQuartz, longName + "2"}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  int count = 0;
  Text names;
  EXPECT_EQ(Enumerate(count, names), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(names.size(), 259u);
}

TEST_F(ConnectionTest, EnumerateWithNothingServedListsNothing)
{
  Load(Scenario({{kAlderWia, "Wia"}, {"Other Maker", "Other"}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  int count = 3;
  Text names = W("x");
  EXPECT_EQ(Enumerate(count, names), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(names, W(""));
  EXPECT_EQ(Family(), -1);
}

TEST_F(ConnectionTest, SelectDeviceByNameIsCaseSensitiveAndConsumesTheList)
{
  Load(Scenario({{kQuartz, "Quartz"}, {kAlder5100, "Lab MFP"}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  int count = 0;
  Text names;
  ASSERT_EQ(Enumerate(count, names), S_OK);
  int family = 42;
  EXPECT_EQ(bridge->SelectDeviceByName(const_cast<WCHAR*>(W("lab mfp")), &family), S_OK);
  EXPECT_EQ(BridgeTestAccess::DeviceSelected(bridge), 0u);
  EXPECT_EQ(family, 2) << "the family of the enumeration stays";
  // The list is gone: a second try needs a new enumeration.
  EXPECT_EQ(bridge->SelectDeviceByName(const_cast<WCHAR*>(W("Lab MFP")), &family), E_FAIL);

  ASSERT_EQ(Enumerate(count, names), S_OK);
  EXPECT_EQ(bridge->SelectDeviceByName(const_cast<WCHAR*>(W("Lab MFP")), &family), S_OK);
  EXPECT_EQ(family, 2);
  EXPECT_EQ(BridgeTestAccess::DeviceSelected(bridge), 1u);
  // Once selected, later calls do nothing and leave `family` alone.
  family = 42;
  EXPECT_EQ(bridge->SelectDeviceByName(const_cast<WCHAR*>(W("Quartz")), &family), S_OK);
  EXPECT_EQ(family, 42);
}

TEST_F(ConnectionTest, SelectDeviceByNameTakesAWiaEntryWithFamilyZero)
{
  Load(Scenario({{kAlderWia, "Lab (WIA)"}, {kQuartz, "Quartz"}, {kAlder5100, "Lab"}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  int count = 0;
  Text names;
  ASSERT_EQ(Enumerate(count, names), S_OK);
  int family = 42;
  EXPECT_EQ(bridge->SelectDeviceByName(const_cast<WCHAR*>(W("Lab (WIA)")), &family), S_OK);
  EXPECT_EQ(family, 0);
  EXPECT_EQ(Text(BridgeTestAccess::DeviceInfo(bridge)->pszLocalName), W("Lab (WIA)"));
  EXPECT_EQ(bridge->SelectDeviceByName(nullptr, &family), S_OK) << "already selected";
}

TEST_F(ConnectionTest, OpenWithoutSelectionKeepsTheStringsCutTo259)
{
  Load(Scenario({{kQuartz, "Quartz"}}));
  Text longText(300, W('q'));
  EXPECT_EQ(bridge->OpenDevice(longText.data(), const_cast<WCHAR*>(W("anna")),
                               const_cast<WCHAR*>(W("ann"))),
            E_FAIL);
  EXPECT_EQ(Text(BridgeTestAccess::ProfileQualifier(bridge)), Text(259, W('q')));
  EXPECT_EQ(Text(BridgeTestAccess::ProfileName(bridge)), W("anna"));
  EXPECT_EQ(Text(BridgeTestAccess::StoreId(bridge)), W("ann"));
  EXPECT_EQ(JournalText(), "");

  EXPECT_EQ(bridge->OpenDevice(nullptr, const_cast<WCHAR*>(W("x")), const_cast<WCHAR*>(W("y"))),
            E_POINTER);
  EXPECT_EQ(Text(BridgeTestAccess::ProfileName(bridge)), W("anna")) << "untouched";
}

TEST_F(ConnectionTest, OpenProbesCapabilitiesAndFetchesTheUserRecordOnce)
{
  Load(Scenario({{kQuartz, "Quartz", true}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  int count = 0;
  Text names;
  ASSERT_EQ(Enumerate(count, names), S_OK);
  StiSimClearJournal();
  EXPECT_EQ(Open(), S_OK);
  EXPECT_EQ(JournalText(), "L E4108/0 U L E4119/0 U");
  std::vector<StiSimJournalEntry> journal = Journal();
  EXPECT_EQ(journal[1].outSize, 8u);
  EXPECT_EQ(journal[4].inSize, 8u);
  EXPECT_EQ(journal[4].outSize, 8u);
  EXPECT_EQ(BridgeTestAccess::CapabilityFlag(bridge), 1u);
  EXPECT_NE(BridgeTestAccess::UserRecord(bridge), nullptr);
  IStiDevice* first = BridgeTestAccess::Device(bridge);

  // A second open makes a new device object, hands the first capability
  // block back and probes again, but the user record is held: no
  // GetUserRecord.
  EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_CAPABILITIES), 1);
  StiSimClearJournal();
  EXPECT_EQ(Open(), S_OK);
  EXPECT_EQ(JournalText(), "L E4110/0 U L E4108/0 U");
  EXPECT_NE(BridgeTestAccess::Device(bridge), first);
  EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_CAPABILITIES), 1);
  EXPECT_EQ(BridgeTestAccess::CapabilityFlag(bridge), 1u);
}

TEST_F(ConnectionTest, ABlockTheDriverWillNotTakeBackIsKeptNotOverwritten)
{
  Load(Scenario({{kQuartz, "Quartz", true}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);
  ASSERT_EQ(Open(), S_OK);
  StiSimFault fault = Fault(4110, STISIM_FAULT_FAIL, E_FAIL);
  fault.times = 1;
  ASSERT_EQ(StiSimAddFault(&fault), S_OK);
  StiSimClearJournal();
  EXPECT_EQ(Open(), S_OK);
  EXPECT_EQ(JournalText(), "L E4110/0 U") << "no probe over the block still held";
  EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_CAPABILITIES), 1);
  EXPECT_EQ(bridge->ReleaseCapabilities(), S_OK);
  EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_CAPABILITIES), 0);
}

// Close is the last chance to give a block back: a hand-back that failed
// without the driver taking the block is tried once more, and a block the
// driver still refuses is forgotten, never handed back a third time.
TEST_F(ConnectionTest, CloseTriesAFailedHandBackOnceMore)
{
  struct Case {
    const char* name;
    DWORD target;
    DWORD mode;
    int times;
    const char* journal;
    LONG left;
  };
  const Case cases[] = {
      // The end of access (4112) comes between the two attempts.
      {"lock fails once", STISIM_TARGET_LOCK, STISIM_FAULT_FAIL, 1, "L L E4112/0 U L E4110/0 U", 0},
      {"lock times out once", STISIM_TARGET_LOCK, STISIM_FAULT_TIMEOUT, 1,
       "L L E4112/0 U L E4110/0 U", 0},
      {"refused once", 4110, STISIM_FAULT_FAIL, 1, "L E4110/0 U L E4112/0 U L E4110/0 U", 0},
      {"refused always", 4110, STISIM_FAULT_FAIL, 0, "L E4110/0 U L E4112/0 U L E4110/0 U", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Load(Scenario({{kQuartz, "Quartz", true}}));
    ASSERT_EQ(bridge->InitializeSti(), S_OK);
    ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);
    ASSERT_EQ(Open(), S_OK);
    ASSERT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_CAPABILITIES), 1);
    StiSimFault fault = Fault(c.target, c.mode, E_ACCESSDENIED);
    fault.times = c.times;
    ASSERT_EQ(StiSimAddFault(&fault), S_OK);
    StiSimSetLockTimeoutOverride(50);
    StiSimClearJournal();
    EXPECT_EQ(bridge->Close(), S_OK);
    EXPECT_EQ(JournalText(), c.journal);
    EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_CAPABILITIES), c.left);
    EXPECT_EQ(StiSimBreachCount(), 0);
    EXPECT_EQ(BridgeTestAccess::Capabilities(bridge), nullptr) << "forgotten all the same";
    StiSimClearFaults();
    StiSimSetLockTimeoutOverride(0);
  }
}

// A driver may bind its blocks and its event registrations to the device
// object they came through, and reclaim or drop them when that object goes.
// A second open, or one whose device creation fails, keeps every block and
// the registrations with their own object: the user record still takes the
// PIN, the settings block still goes round, "JobEnded" is still signalled
// and the registrations are undone through their object, and Close hands
// every block back, each through the object that gave it.
TEST_F(ConnectionTest, BlocksStayWithTheDeviceObjectThatHandedThemOut)
{
  struct Case {
    const char* name;
    const char* conduct;
    bool secondCreationFails;
    HRESULT secondOpen;
  };
  const Case cases[] = {
      {"second open", R"({"blocks": "bound", "registrations": "bound"})", false, S_OK},
      {"second open, addresses reused", R"({"blocks": "bound", "addresses": "reused"})", false,
       S_OK},
      {"creation fails and empties the field", R"({"blocks": "bound", "registrations": "bound"})",
       true, E_FAIL},
      {"creation fails and keeps the field",
       R"({"blocks": "bound", "failedOut": "kept", "registrations": "bound"})", true, S_OK},
      {"second open, blocks kept", "{}", false, S_OK},
      {"creation fails, blocks kept", "{}", true, E_FAIL},
  };
  HANDLE jobEnded = nullptr;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bridge->Close();
    bridge->Release();
    bridge = NewBridge();
    Load(Scenario({{kQuartz, "Quartz", true}}, std::string(R"(, "conduct": )") + c.conduct));
    ASSERT_EQ(bridge->InitializeSti(), S_OK);
    ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);
    ASSERT_EQ(Open(), S_OK);
    short v[5] = {};
    ASSERT_EQ(bridge->GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]), S_OK);
    int count = -1;
    ASSERT_EQ(bridge->RefreshItemList(&count), S_OK);
    ASSERT_EQ(bridge->RegisterEvents(), S_OK);
    if (jobEnded == nullptr) jobEnded = OpenEventW(SYNCHRONIZE, FALSE, W("JobEnded"));
    ASSERT_NE(jobEnded, nullptr);
    if (c.secondCreationFails) {
      StiSimFault fault = Fault(STISIM_TARGET_CREATE_DEVICE, STISIM_FAULT_FAIL);
      fault.times = 1;
      ASSERT_EQ(StiSimAddFault(&fault), S_OK);
    }
    EXPECT_EQ(Open(), c.secondOpen);
    if (SUCCEEDED(c.secondOpen)) {
      StiSimClearJournal();
      EXPECT_EQ(bridge->ApplyUserPin(), S_OK);
      EXPECT_EQ(session::EscapesSent(4118), 1);
      EXPECT_EQ(bridge->SetScanSettings(const_cast<WCHAR*>(W("again")), 2, 1, 300, 2, 0, 0), S_OK);
      EXPECT_EQ(bridge->GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]), S_OK);
      EXPECT_EQ(v[0], 2);
      EXPECT_EQ(v[2], 300);
    }
    EXPECT_EQ(StiSimRaiseEvent(0, 16, TRUE), S_OK) << "a registration left to signal";
    EXPECT_EQ(WaitForSingleObject(jobEnded, 5000), WAIT_OBJECT_0);
    StiSimClearJournal();
    EXPECT_EQ(bridge->UnregisterEvents(), S_OK) << "undone through the object they were made on";
    EXPECT_EQ(JournalText(), "L E4114/16 E4114/4 U");
    EXPECT_EQ(StiSimEventRegistrations(0, 16), 0);
    EXPECT_EQ(StiSimEventRegistrations(0, 4), 0);
    EXPECT_EQ(bridge->Close(), S_OK);
    for (DWORD kind : {STISIM_BLOCK_CAPABILITIES, STISIM_BLOCK_SETTINGS, STISIM_BLOCK_ITEM_LIST})
      EXPECT_EQ(StiSimOutstandingBlocks(0, kind), 0) << "kind " << kind;
  }
  if (jobEnded != nullptr) CloseHandle(jobEnded);
}

// Where a failing STI call leaves its out-value as it was, the bridge's
// earlier root object and selection stay in use; where the call empties it,
// they are gone, and nothing leaks either way (the sanitizer build would
// report it).
TEST_F(ConnectionTest, AFailedCallLeavesTheFieldAsTheCallLeftIt)
{
  for (const bool kept : {true, false}) {
    SCOPED_TRACE(kept ? "kept" : "emptied");
    bridge->Close();
    bridge->Release();
    bridge = NewBridge();
    Load(Scenario({{kQuartz, "Quartz"}}, std::string(R"(, "conduct": {"failedOut": ")") +
                                             (kept ? "kept" : "emptied") + "\"}"));
    ASSERT_EQ(bridge->InitializeSti(), S_OK);
    int count = 0;
    Text names;
    ASSERT_EQ(Enumerate(count, names), S_OK);
    ASSERT_EQ(BridgeTestAccess::DeviceSelected(bridge), 1u);

    StiSimFault fault = Fault(STISIM_TARGET_DEVICE_INFO, STISIM_FAULT_FAIL, STIERR_DEVICE_NOTREADY);
    fault.times = 1;
    ASSERT_EQ(StiSimAddFault(&fault), S_OK);
    EXPECT_EQ(Enumerate(count, names), STIERR_DEVICE_NOTREADY);
    EXPECT_EQ(BridgeTestAccess::DeviceSelected(bridge), 1u);
    EXPECT_EQ(BridgeTestAccess::DeviceInfo(bridge) != nullptr, kept);
    EXPECT_EQ(Open(), kept ? S_OK : E_FAIL) << "the earlier selection opens";

    // SelectLaunchDevice reports a failed GetDeviceInfo as its code, and
    // does not open the earlier selection that a kept field still holds.
    bridge->Close();
    ASSERT_EQ(bridge->InitializeSti(), S_OK);
    ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);
    IStiDevice* before = BridgeTestAccess::Device(bridge);
    ASSERT_EQ(StiSimAddFault(&fault), S_OK);
    StiSimClearJournal();
    EXPECT_EQ(bridge->SelectLaunchDevice(), STIERR_DEVICE_NOTREADY);
    EXPECT_EQ(BridgeTestAccess::Device(bridge), before) << "no device object made";
    EXPECT_EQ(BridgeTestAccess::DeviceSelected(bridge), 1u);

    fault = Fault(STISIM_TARGET_CREATE_INSTANCE, STISIM_FAULT_FAIL, STIERR_OUTOFMEMORY);
    fault.times = 1;
    ASSERT_EQ(StiSimAddFault(&fault), S_OK);
    EXPECT_EQ(bridge->InitializeSti(), STIERR_OUTOFMEMORY);
    EXPECT_EQ(Enumerate(count, names), kept ? S_OK : E_FAIL) << "the earlier root object";
  }
}

// A GetUserRecord or GetCapabilities that fails after handing its block out
// (and takes it back at once) leaves the bridge without that block: the PIN
// then has nowhere to go, and nothing is handed back.
TEST_F(ConnectionTest, ABlockOfAFailedEscapeIsNotKept)
{
  Load(Scenario({{kQuartz, "Quartz", true}}, R"(, "conduct": {"failedEscape": "partial"},
      "faults": [{"target": "GetUserRecord", "mode": "fail", "times": 1},
                 {"target": "GetCapabilities", "mode": "fail", "times": 1}])"));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);
  EXPECT_EQ(Open(), S_OK);
  EXPECT_EQ(BridgeTestAccess::UserRecord(bridge), nullptr);
  EXPECT_EQ(BridgeTestAccess::CapabilityFlag(bridge), 0u);
  EXPECT_EQ(bridge->ApplyUserPin(), E_FAIL);
  EXPECT_EQ(bridge->ReleaseCapabilities(), E_FAIL);
}

TEST_F(ConnectionTest, CapabilityFlagStaysDownWithoutTheMarker)
{
  Load(Scenario({{kQuartz, "Quartz", false}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);
  EXPECT_EQ(Open(), S_OK);
  EXPECT_EQ(BridgeTestAccess::CapabilityFlag(bridge), 0u);
}

TEST_F(ConnectionTest, LockTimeOutBeforeTheUserRecordFailsTheOpen)
{
  Load(Scenario({{kQuartz, "Quartz", true}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);
  StiSimFault fault = Fault(STISIM_TARGET_LOCK, STISIM_FAULT_TIMEOUT);
  fault.skip = 1;  // the probe's lock goes through
  fault.times = 1;
  ASSERT_EQ(StiSimAddFault(&fault), S_OK);
  StiSimSetLockTimeoutOverride(50);
  StiSimClearJournal();
  HRESULT hr = Open();
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(JournalText(), "L E4108/0 U L");
  EXPECT_NE(BridgeTestAccess::Device(bridge), nullptr) << "the device object stays";
  EXPECT_EQ(BridgeTestAccess::CapabilityFlag(bridge), 1u);
}

TEST_F(ConnectionTest, AClientMadeManualResetEventStaysManualReset)
{
  Load(Scenario({{kQuartz, "Quartz"}}));
  // The bridge never closes its event handles, so the name lives on in this
  // process once any test has registered: this test comes first.
  HANDLE own = CreateEventW(nullptr, TRUE, FALSE, W("ItemDeleted"));
  ASSERT_NE(own, nullptr);
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(own);
    GTEST_SKIP() << "an earlier test in this process made the event";
  }
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);
  ASSERT_EQ(bridge->RegisterEvents(), S_OK);
  ASSERT_EQ(StiSimRaiseEvent(0, 4, FALSE), S_OK);
  EXPECT_EQ(WaitForSingleObject(own, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(own, 0), WAIT_OBJECT_0) << "still signalled: manual reset";
  ResetEvent(own);
  CloseHandle(own);
  bridge->UnregisterEvents();
}

TEST_F(ConnectionTest, EventsRegisterJobEndedThenItemDeletedInOneLock)
{
  Load(Scenario({{kQuartz, "Quartz"}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);

  // Without registration the cookies are -1, sent as they are, twice.
  EXPECT_EQ(BridgeTestAccess::JobEndedCookie(bridge), -1);
  StiSimClearJournal();
  bridge->UnregisterEvents();
  bridge->UnregisterEvents();
  EXPECT_EQ(JournalText(), "L E4114/16 E4114/4 U L E4114/16 E4114/4 U");

  StiSimClearJournal();
  EXPECT_EQ(bridge->RegisterEvents(), S_OK);
  EXPECT_EQ(JournalText(), "L E4113/16 E4113/4 U");
  std::vector<StiSimJournalEntry> journal = Journal();
  EXPECT_EQ(journal[1].inSize, 8u);
  EXPECT_EQ(journal[1].outSize, 4u);
  EXPECT_NE(BridgeTestAccess::JobEndedCookie(bridge), -1);
  EXPECT_EQ(StiSimEventRegistrations(0, 16), 1);
  EXPECT_EQ(StiSimEventRegistrations(0, 4), 1);

  // The driver's signal reaches a waiter that opened the event by name.
  HANDLE waiter = OpenEventW(SYNCHRONIZE, FALSE, W("JobEnded"));
  ASSERT_NE(waiter, nullptr);
  ASSERT_EQ(StiSimRaiseEvent(0, 16, TRUE), S_OK);
  EXPECT_EQ(WaitForSingleObject(waiter, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(waiter, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "auto-reset";
  CloseHandle(waiter);
  EXPECT_EQ(bridge->UnregisterEvents(), S_OK);
}

TEST_F(ConnectionTest, LockTimeOutFailsRegistrationAfterTheEventsExist)
{
  Load(Scenario({{kQuartz, "Quartz"}}));
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);
  StiSimFault fault = Fault(STISIM_TARGET_LOCK, STISIM_FAULT_TIMEOUT);
  ASSERT_EQ(StiSimAddFault(&fault), S_OK);
  StiSimSetLockTimeoutOverride(50);
  StiSimClearJournal();
  EXPECT_EQ(bridge->RegisterEvents(), E_FAIL);
  EXPECT_EQ(JournalText(), "L");
  for (const WCHAR* name : {W("JobEnded"), W("ItemDeleted"), W("ItemAdded")}) {
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name);
    EXPECT_NE(event, nullptr);
    CloseHandle(event);
  }
  HRESULT hr = bridge->UnregisterEvents();
  EXPECT_TRUE(FAILED(hr)) << "the lock's own failure";
  EXPECT_NE(hr, E_FAIL);
}

}  // namespace

// The stored-job catalogue: the item list, the per-item queries, previews
// with the owner check, deletion, the access bracket and the driver-value
// lookup, on the simulated driver.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "com/unique.h"
#include "conducts.h"
#include "unit/bridge_session.h"

namespace {

using session::BstrText;
using session::EscapesSent;
using session::JournalText;
using session::Text;
using simtest::Fault;

// Three jobs: a usable colour job with every property, one the client may
// not use yet, and a black-and-white one without a time stamp whose later
// data-type record says colour.
const std::string kJobs = R"(
  {"itemName": "a.tif", "documentName": "Alpha", "itemId": "ID-A", "pages": 2, "dataType": 3,
   "resolution": 2, "itemSize": 1000, "time": "2024-03-05T09:15:07"},
  {"itemName": "b.tif", "documentName": "Beta", "itemId": "ID-B", "state": 1, "dataType": 2},
  {"itemName": "c.tif", "documentName": "Gamma", "itemId": "ID-C", "dataType": 0, "time": null,
   "properties": [{"id": 4103, "value": 3}]})";

const std::string kFiling = R"("deviceData": {"FilingPath": "D:\\Spool\\Jobs"})";

// The SID of the user the test runs as, in string form (the real token's
// under Wine).
Text CallerSid()
{
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  BYTE buffer[256] = {};
  DWORD needed = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed));
  CloseHandle(token);
  UniqueLocal<WCHAR*> text;
  EXPECT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, text.Put()));
  return text ? Text(text.Get()) : Text();
}

std::string Narrow(const Text& text)
{
  return std::string(text.begin(), text.end());
}

class CatalogueTest : public session::BridgeSessionTest {
 protected:
  // What GetItemInfo wrote; each field starts as a value no item has.
  struct Info {
    HRESULT hr;
    Text name = W("untouched");
    int pixelType = -7, resolution = -7, pages = -7, itemSize = -7;
  };
  Info ItemInfo(int index)
  {
    Info info;
    ScopedBstr name;
    name.value = SysAllocString(info.name.c_str());
    info.hr = bridge->GetItemInfo(index, &name, nullptr, &info.pixelType, &info.resolution,
                                  &info.pages, &info.itemSize);
    info.name = BstrText(name.value);
    return info;
  }
  struct Preview {
    HRESULT hr;
    Text name = W("caller's name"), path = W("caller's path");
  };
  Preview ItemPreview(int index)
  {
    Preview preview;
    ScopedBstr name, path;
    name.value = SysAllocString(preview.name.c_str());
    path.value = SysAllocString(preview.path.c_str());
    preview.hr = bridge->GetItemPreview(index, &name, &path);
    preview.name = BstrText(name.value);
    preview.path = BstrText(path.value);
    return preview;
  }
};

TEST_F(CatalogueTest, IndicesOutsideTheListReadNothingAndSendNothing)
{
  OpenWithList(session::OneDevice(kJobs, kFiling));
  ASSERT_EQ(count, 3);
  for (int index : {-1, count, count + 1, INT_MIN, INT_MAX}) {
    SCOPED_TRACE(index);
    int flag = 7;
    EXPECT_EQ(bridge->GetItemFlag(index, &flag), S_OK);
    EXPECT_EQ(flag, 0);
    Info info = ItemInfo(index);
    EXPECT_EQ(info.hr, E_FAIL);
    EXPECT_EQ(info.name, W("untouched"));
    EXPECT_EQ(info.pixelType, -7);
    SYSTEMTIME time{};
    time.wYear = 1999;
    EXPECT_EQ(bridge->GetItemTime(index, &time), E_FAIL);
    EXPECT_EQ(time.wYear, 1999);
    Preview preview = ItemPreview(index);
    EXPECT_EQ(preview.hr, S_FALSE);
    EXPECT_EQ(preview.name, W("caller's name"));
    EXPECT_EQ(preview.path, W("caller's path"));
    EXPECT_EQ(bridge->DeleteItem(index), E_FAIL);
  }
  EXPECT_EQ(JournalText(), "") << "nothing reaches the driver";
  EXPECT_EQ(StiSimStoredItemCount(0), 3);
}

TEST_F(CatalogueTest, WithoutAListOrADeviceNothingIsRead)
{
  OpenOn(session::OneDevice(kJobs, kFiling));
  int flag = 7;
  EXPECT_EQ(bridge->GetItemFlag(0, &flag), S_OK);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(ItemInfo(0).hr, E_FAIL);
  SYSTEMTIME time{};
  EXPECT_EQ(bridge->GetItemTime(0, &time), E_FAIL);
  EXPECT_EQ(ItemPreview(0).hr, E_FAIL);
  EXPECT_EQ(bridge->DeleteItem(0), E_FAIL);
  EXPECT_EQ(bridge->ReleaseItemList(), E_FAIL);
  EXPECT_EQ(JournalText(), "");

  IStiScannerComBridge* fresh = NewBridge();
  int items = 5;
  EXPECT_EQ(fresh->RefreshItemList(&items), E_FAIL);
  EXPECT_EQ(items, 5);
  EXPECT_EQ(fresh->BeginAccess(), E_FAIL);
  EXPECT_EQ(fresh->EndAccess(), E_FAIL);
  EXPECT_EQ(fresh->RefreshItemList(nullptr), E_POINTER);
  fresh->Release();
}

TEST_F(CatalogueTest, RefreshFetchesTheListAndReportsFailuresItsOwnWay)
{
  OpenOn(session::OneDevice(kJobs, kFiling));
  int items = -1;
  EXPECT_EQ(bridge->RefreshItemList(&items), S_OK);
  EXPECT_EQ(items, 3);
  EXPECT_EQ(JournalText(), "L E4122/0 U");

  // A failing escape is E_FAIL, not the driver's code, and leaves the count.
  session::AddFault(Fault(4122, STISIM_FAULT_FAIL, E_ACCESSDENIED));
  items = 42;
  EXPECT_EQ(bridge->RefreshItemList(&items), E_FAIL);
  EXPECT_EQ(items, 42);
  StiSimClearFaults();

  // A failing unlock replaces the result.
  session::AddFault(Fault(STISIM_TARGET_UNLOCK, STISIM_FAULT_FAIL, E_UNEXPECTED));
  EXPECT_EQ(bridge->RefreshItemList(&items), E_UNEXPECTED);
  EXPECT_EQ(items, 3);
  StiSimClearFaults();

  session::LockTimesOut();
  EXPECT_EQ(bridge->RefreshItemList(&items), STIERR_DEVICE_LOCKED);
}

// Once the driver has taken a list back the bridge forgets its records,
// whatever the driver left in the header: nothing is handed back twice (not
// by a second release, not by Close), and item queries answer as on an
// empty list.
TEST_F(CatalogueTest, AListHandedBackIsForgottenWhateverTheHeaderHolds)
{
  for (const char* header : {"emptied", "untouched", "scribbled"}) {
    SCOPED_TRACE(header);
    OpenWithList(session::OneDevice(kJobs, "", std::string(R"({"freedList": ")") + header + "\"}"));
    EXPECT_EQ(bridge->ReleaseItemList(), S_OK);
    EXPECT_EQ(bridge->ReleaseItemList(), E_FAIL);
    int flag = 7;
    EXPECT_EQ(bridge->GetItemFlag(0, &flag), S_OK);
    EXPECT_EQ(flag, 0);
    ScopedBstr name, path;
    EXPECT_EQ(bridge->GetItemPreview(0, &name, &path), S_FALSE);
    EXPECT_EQ(bridge->DeleteItem(0), E_FAIL);
    SYSTEMTIME time = {};
    EXPECT_EQ(bridge->GetItemTime(0, &time), E_FAIL);
    EXPECT_EQ(JournalText(), "L E4110/4 U") << "one hand-back, nothing after it";
    StiSimClearJournal();
    EXPECT_EQ(bridge->Close(), S_OK);
    EXPECT_EQ(JournalText(), "L E4110/0 U L E4112/0 U") << "the capabilities, and the access";
    EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_ITEM_LIST), 0);
  }
}

// A driver may have written its outputs when it fails (a header naming a
// list it takes back at once, a driver value it frees itself): the bridge
// keeps nothing a failed escape left behind.
TEST_F(CatalogueTest, NothingAFailedEscapeLeftBehindIsKept)
{
  OpenWithList(session::OneDevice(kJobs, "", R"({"failedEscape": "partial"})"));
  session::AddFault(Fault(4122, STISIM_FAULT_FAIL, E_ACCESSDENIED));
  int items = 42;
  EXPECT_EQ(bridge->RefreshItemList(&items), E_FAIL);
  EXPECT_EQ(items, 42);
  int flag = 7;
  EXPECT_EQ(bridge->GetItemFlag(0, &flag), S_OK);
  EXPECT_EQ(flag, 0) << "the list reads as empty";
  SYSTEMTIME time = {};
  EXPECT_EQ(bridge->GetItemTime(0, &time), E_FAIL);
  StiSimClearJournal();
  EXPECT_EQ(bridge->ReleaseItemList(), E_FAIL);
  EXPECT_EQ(JournalText(), "") << "no list to hand back";

  session::AddFault(Fault(4115, STISIM_FAULT_FAIL, E_ACCESSDENIED));
  WCHAR name[260] = {};
  EXPECT_EQ(bridge->FindItemNameByDriverValue(name), E_FAIL);
  EXPECT_EQ(BridgeTestAccess::DriverValue(bridge), nullptr) << "the failed query's value";
  StiSimClearFaults();
  EXPECT_EQ(bridge->FindItemNameByDriverValue(name), S_OK);
}

TEST_F(CatalogueTest, RefreshAfterReleaseFreesOnlyTheHeader)
{
  OpenWithList(session::OneDevice(kJobs));
  EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_ITEM_LIST), 1);
  EXPECT_EQ(bridge->ReleaseItemList(), S_OK);
  EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_ITEM_LIST), 0);
  int items = 0;
  EXPECT_EQ(bridge->RefreshItemList(&items), S_OK);
  EXPECT_EQ(JournalText(), "L E4110/4 U L E4122/0 U") << "one FreeDriverBlock only";

  // A refresh without a release leaves the earlier records with the driver,
  // whose they are; the simulated driver keeps them until its next load.
  EXPECT_EQ(bridge->RefreshItemList(&items), S_OK);
  EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_ITEM_LIST), 2);
  // Close hands the current list back.
  bridge->Close();
  EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_ITEM_LIST), 1);
}

TEST_F(CatalogueTest, FlagsInfoAndTimeComeFromTheRecords)
{
  OpenWithList(session::OneDevice(kJobs));
  const int flags[] = {1, 0, 1};
  for (int i = 0; i < 3; ++i) {
    int flag = 7;
    EXPECT_EQ(bridge->GetItemFlag(i, &flag), S_OK);
    EXPECT_EQ(flag, flags[i]) << i;
  }

  Info a = ItemInfo(0);
  EXPECT_EQ(a.hr, S_OK);
  EXPECT_EQ(a.name, W("Alpha"));
  EXPECT_EQ(a.pixelType, 2);
  EXPECT_EQ(a.resolution, 2);
  EXPECT_EQ(a.pages, 2);
  EXPECT_EQ(a.itemSize, 1000);
  EXPECT_EQ(ItemInfo(1).pixelType, 1) << "grey";
  EXPECT_EQ(ItemInfo(2).pixelType, 2) << "the later data-type record wins";

  SYSTEMTIME time{};
  EXPECT_EQ(bridge->GetItemTime(0, &time), S_OK);
  EXPECT_EQ(time.wYear, 2024);
  EXPECT_EQ(time.wMonth, 3);
  EXPECT_EQ(time.wDay, 5);
  EXPECT_EQ(time.wSecond, 7);
  SYSTEMTIME untouched{};
  untouched.wYear = 1999;
  EXPECT_EQ(bridge->GetItemTime(2, &untouched), S_OK) << "no time record";
  EXPECT_EQ(untouched.wYear, 1999);
  EXPECT_EQ(JournalText(), "") << "queries read what the refresh handed over";
}

TEST_F(CatalogueTest, PixelTypeMappingAndAbsentPropertiesLeaveTheCallersValues)
{
  struct Case {
    const char* job;
    int pixelType, resolution, pages, itemSize;
  };
  // -7 is the caller's own value: the property is absent.
  const Case cases[] = {
      {R"("dataType": 3)", 2, 1, 1, 100},
      {R"("dataType": 2)", 1, 1, 1, 100},
      {R"("dataType": 0)", 0, 1, 1, 100},
      {R"("dataType": 1)", 0, 1, 1, 100},
      {R"("dataType": 7)", 0, 1, 1, 100},
      {R"("omit": [4103])", -7, 1, 1, 100},
      {R"("omit": [6147, 3096, 4116])", 2, -7, -7, -7},
      {R"("dataType": 3, "properties": [{"id": 4103, "value": 2}, {"id": 3096, "value": 9}])", 1, 1,
       9, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.job);
    OpenWithList(
        session::OneDevice(R"({"itemName": "x", "itemSize": 100, )" + std::string(c.job) + "}"));
    Info info = ItemInfo(0);
    EXPECT_EQ(info.hr, S_OK);
    EXPECT_EQ(info.pixelType, c.pixelType);
    EXPECT_EQ(info.resolution, c.resolution);
    EXPECT_EQ(info.pages, c.pages);
    EXPECT_EQ(info.itemSize, c.itemSize);
  }
}

TEST_F(CatalogueTest, DocumentNamesKeepTheirLengthAndAJobWithoutPropertiesFails)
{
  OpenWithList(session::OneDevice(R"(
      {"itemName": "nul", "documentName": "ab\u0000cd"},
      {"itemName": "null", "documentName": null},
      {"itemName": "bare",
       "omit": [3096, 4100, 4103, 4104, 4107, 4111, 4112, 4114, 4116, 6147, 38933]})"));
  Info nul = ItemInfo(0);
  EXPECT_EQ(nul.hr, S_OK);
  EXPECT_EQ(nul.name, Text(W("ab\0cd"), 5));
  Info null = ItemInfo(1);
  EXPECT_EQ(null.hr, S_OK);
  EXPECT_EQ(null.name, W(""));
  Info bare = ItemInfo(2);
  EXPECT_EQ(bare.hr, E_FAIL);
  EXPECT_EQ(bare.name, W("untouched"));

  // A name that cannot be copied fails before any value is written.
  ScopedBstr name;
  name.value = SysAllocString(W("untouched"));
  int pixelType = -7, resolution = -7, pages = -7, itemSize = -7;
  platform_hooks::FailAllocations(1);
  EXPECT_EQ(bridge->GetItemInfo(0, &name, nullptr, &pixelType, &resolution, &pages, &itemSize),
            E_OUTOFMEMORY);
  EXPECT_EQ(pixelType, -7);
  EXPECT_EQ(BstrText(name.value), W("untouched"));
}

TEST_F(CatalogueTest, ATimeVectorWithoutElementsIsNotRead)
{
  OpenWithList(session::OneDevice(R"({"itemName": "t", "time": "2024-01-02T03:04:05"})"));
  driver::ItemRecord* record = BridgeTestAccess::ItemList(bridge)->items[0];
  driver::PropertyRecord* stamp =
      driver::FindProperty(record->properties, record->propertyCount, 4100);
  ASSERT_NE(stamp, nullptr);
  void* elements = stamp->VectorElements();
  stamp->MakeVector(4100, VT_UI2, 0, elements);
  SYSTEMTIME time{};
  time.wYear = 1999;
  EXPECT_EQ(bridge->GetItemTime(0, &time), S_OK);
  EXPECT_EQ(time.wYear, 1999);
  Preview preview = ItemPreview(0);
  EXPECT_EQ(preview.name, W("")) << "no usable time: no document name";
  stamp->MakeVector(4100, VT_UI2, 8, elements);
}

TEST_F(CatalogueTest, PreviewsFollowTheOwnerCheck)
{
  const std::string caller = Narrow(CallerSid());
  ASSERT_FALSE(caller.empty());
  OpenWithList(session::OneDevice(
      R"({"itemName": "everyone.tif", "documentName": "Everyone's"},
         {"itemName": "mine.tif", "documentName": "Mine", "owner": ")" +
          caller + R"("},
         {"itemName": "users.tif", "documentName": "Users'", "owner": "S-1-5-32-545"},
         {"itemName": "foreign.tif", "documentName": "Foreign",
          "owner": "S-1-5-21-1111111111-2222222222-3333333333-1107"},
         {"itemName": "garbled.tif", "owner": "not a sid"},
         {"itemName": "nobody.tif", "owner": null},
         {"itemName": "busy.tif", "state": 1})",
      kFiling));
  struct Case {
    int index;
    HRESULT hr;
    const WCHAR* name;
    const WCHAR* path;
  };
  const Case cases[] = {
      {0, S_OK, W("Everyone's"), W("D:\\Spool\\Jobs\\everyone_tif.tmb")},
      {1, S_OK, W("Mine"), W("D:\\Spool\\Jobs\\mine_tif.tmb")},
      {2, S_OK, W("Users'"), W("D:\\Spool\\Jobs\\users_tif.tmb")},
      {3, S_FALSE, W("caller's name"), W("caller's path")},
      {4, S_FALSE, W("caller's name"), W("caller's path")},
      {5, S_FALSE, W("caller's name"), W("caller's path")},
      {6, S_FALSE, W("caller's name"), W("caller's path")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    StiSimClearJournal();
    Preview preview = ItemPreview(c.index);
    EXPECT_EQ(preview.hr, c.hr);
    EXPECT_EQ(preview.name, c.name);
    EXPECT_EQ(preview.path, c.path);
    EXPECT_EQ(JournalText(), c.hr == S_OK ? "L E4101/0 U" : "") << "the thumbnail escape";
  }
}

// The owner check asks about the client whose call is served, impersonated
// for the check and reverted after it; an impersonation that COM refuses
// admits nothing, and without a call context to impersonate (a call from
// inside the process, or Wine's COM) the server's own token answers.
TEST_F(CatalogueTest, PreviewsCheckTheImpersonatedClient)
{
  const std::string server = Narrow(CallerSid());
  ASSERT_FALSE(server.empty());
  const Text client = W("S-1-5-21-1111111111-2222222222-3333333333-1107");
  OpenWithList(session::OneDevice(
      R"({"itemName": "clients.tif", "owner": ")" + Narrow(client) + R"("},
         {"itemName": "servers.tif", "owner": ")" + server + R"("},
         {"itemName": "users.tif", "owner": "S-1-5-32-545"},
         {"itemName": "everyone.tif", "owner": "S-1-1-0"})",
      kFiling));
  const Text serverUser(server.begin(), server.end());
  const struct Row {
    const char* name;
    HRESULT answer;
    Text user;
    const WCHAR* groups;
    HRESULT clients, servers, users, everyone;
  } rows[] = {
      {"a client of another SID", S_OK, client, W("S-1-1-0"), S_OK, S_FALSE, S_FALSE, S_OK},
      {"a client of the owner's SID", S_OK, serverUser, W("S-1-1-0;S-1-5-32-545"), S_FALSE, S_OK,
       S_OK, S_OK},
      {"a client in no group", S_OK, client, W(""), S_OK, S_FALSE, S_FALSE, S_FALSE},
      {"an impersonation refused", E_ACCESSDENIED, client, W("S-1-1-0"), S_FALSE, S_FALSE,
       S_FALSE, S_FALSE},
      {"another refusal (no security package)", static_cast<HRESULT>(0x8001011Au), serverUser, W("S-1-1-0"), S_FALSE,
       S_FALSE, S_FALSE, S_FALSE},
      {"no call context", RPC_E_CALL_COMPLETE, client, W("S-1-1-0"), S_FALSE, S_OK, S_OK, S_OK},
      {"impersonation not implemented", E_NOTIMPL, client, W("S-1-1-0"), S_FALSE, S_OK, S_OK,
       S_OK},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    platform_hooks::SetClientImpersonation(row.answer, row.user.c_str(), row.groups);
    const HRESULT expected[] = {row.clients, row.servers, row.users, row.everyone};
    for (int index = 0; index < 4; ++index) {
      SCOPED_TRACE(index);
      EXPECT_EQ(ItemPreview(index).hr, expected[index]);
      EXPECT_FALSE(platform_hooks::ImpersonatingClient()) << "reverted after the check";
    }
  }
  platform_hooks::SetClientImpersonation(S_OK, nullptr, nullptr);
}

TEST_F(CatalogueTest, PreviewFailuresAfterTheOwnerCheck)
{
  const std::string longName(260, 'n');
  OpenWithList(session::OneDevice(R"({"itemName": "a.tif", "documentName": "A"},
      {"itemName": "b.tif", "documentName": ")" +
                                      longName + R"("},
      {"itemName": "c.tif", "documentName": "C", "time": null})",
                                  kFiling));
  // A document name of 260 units does not fit its buffer.
  EXPECT_EQ(ItemPreview(1).hr, E_FAIL);
  // Without a time stamp the document name is empty, not a failure.
  Preview c = ItemPreview(2);
  EXPECT_EQ(c.hr, S_OK);
  EXPECT_EQ(c.name, W(""));

  // The driver's failure to make the thumbnail is reported, after both
  // strings were handed out.
  session::AddFault(Fault(4101, STISIM_FAULT_FAIL, E_ACCESSDENIED));
  Preview failed = ItemPreview(0);
  EXPECT_EQ(failed.hr, E_ACCESSDENIED);
  EXPECT_EQ(failed.name, W("A"));
  EXPECT_EQ(failed.path, W("D:\\Spool\\Jobs\\a_tif.tmb"));
  StiSimClearFaults();
  session::AddFault(Fault(STISIM_TARGET_UNLOCK, STISIM_FAULT_FAIL, E_UNEXPECTED));
  EXPECT_EQ(ItemPreview(0).hr, E_UNEXPECTED);
  StiSimClearFaults();
  session::LockTimesOut();
  EXPECT_EQ(ItemPreview(0).hr, STIERR_DEVICE_LOCKED);
}

TEST_F(CatalogueTest, PreviewWithoutAFilingPathHandsOutTheNameAndFails)
{
  OpenWithList(session::OneDevice(R"({"itemName": "a.tif", "documentName": "A"})"));
  Preview preview = ItemPreview(0);
  EXPECT_EQ(preview.hr, E_FAIL);
  EXPECT_EQ(preview.name, W("A"));
  EXPECT_EQ(preview.path, W("caller's path"));
  EXPECT_EQ(JournalText(), "");
}

TEST_F(CatalogueTest, DeletionGoesToTheDriverAndTheListWaitsForARefresh)
{
  OpenWithList(session::OneDevice(kJobs));
  EXPECT_EQ(bridge->DeleteItem(0), S_OK);
  EXPECT_EQ(JournalText(), "L E4104/0 U");
  EXPECT_EQ(StiSimStoredItemCount(0), 2);
  EXPECT_EQ(ItemInfo(0).name, W("Alpha")) << "the bridge's list is as the refresh left it";
  int items = 0;
  ASSERT_EQ(bridge->RefreshItemList(&items), S_OK);
  EXPECT_EQ(items, 2);
  EXPECT_EQ(ItemInfo(0).name, W("Beta"));

  session::AddFault(Fault(4104, STISIM_FAULT_FAIL, E_ACCESSDENIED));
  EXPECT_EQ(bridge->DeleteItem(0), E_ACCESSDENIED);
  StiSimClearFaults();
  // A lock that times out: DeleteItem reports the lock's own failure,
  // BeginAccess and EndAccess turn it into E_FAIL.
  session::LockTimesOut();
  EXPECT_EQ(bridge->DeleteItem(0), STIERR_DEVICE_LOCKED);
  EXPECT_EQ(bridge->BeginAccess(), E_FAIL);
  EXPECT_EQ(bridge->EndAccess(), E_FAIL);
}

TEST_F(CatalogueTest, AccessBracketAnswersEveryFailureWithEFail)
{
  OpenOn(session::OneDevice(kJobs));
  EXPECT_EQ(bridge->BeginAccess(), S_OK);
  EXPECT_EQ(StiSimAccessCount(0), 1);
  EXPECT_EQ(bridge->EndAccess(), S_OK);
  EXPECT_EQ(StiSimAccessCount(0), 0);
  EXPECT_EQ(JournalText(), "L E4111/0 U L E4112/0 U");
  struct Case {
    DWORD target;
    HRESULT begin, end;
  };
  const Case cases[] = {
      {4111, E_FAIL, S_OK}, {4112, S_OK, E_FAIL}, {STISIM_TARGET_UNLOCK, E_FAIL, E_FAIL}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    StiSimClearFaults();
    session::AddFault(Fault(c.target, STISIM_FAULT_FAIL, E_ACCESSDENIED));
    EXPECT_EQ(bridge->BeginAccess(), c.begin);
    EXPECT_EQ(bridge->EndAccess(), c.end);
  }
}

TEST_F(CatalogueTest, DriverValueNamesAnItemAndEachLookupRefreshes)
{
  const std::string longName(300, 'x');
  // The driver's string stays the driver's: the bridge frees only the one
  // it holds at Close. A driver that keeps its values leaves the earlier
  // ones to leak, so it is asked once here (the leak check would see the
  // others); one that reclaims them at the next query is asked again and
  // again, and nothing is freed twice (the sanitizer build would see it).
  const struct {
    const char* conduct;
    int lookups;
  } drivers[] = {{R"({})", 1}, {R"({"driverValue": "reclaimed"})", 3}};
  WCHAR name[260];
  for (const auto& driver : drivers) {
    SCOPED_TRACE(driver.conduct);
    OpenOn(session::OneDevice(kJobs + R"(, {"itemName": ")" + longName + R"(", "itemId": "ID-L"})",
                              R"("driverValue": "ID-B")", driver.conduct));
    for (int lookup = 0; lookup < driver.lookups; ++lookup) {
      std::memset(name, 0xEE, sizeof name);
      EXPECT_EQ(bridge->FindItemNameByDriverValue(name), S_OK);
      EXPECT_EQ(Text(name), W("b.tif"));
    }
    EXPECT_EQ(EscapesSent(4115), driver.lookups);
    EXPECT_EQ(EscapesSent(4122), driver.lookups);
    EXPECT_EQ(bridge->FindItemNameByDriverValue(nullptr), E_FAIL);
  }
  StiSimClearJournal();
  EXPECT_EQ(bridge->FindItemNameByDriverValue(name), S_OK);
  EXPECT_EQ(JournalText(), "L E4115/0 U L E4122/0 U");

  OpenOn(session::OneDevice(kJobs + R"(, {"itemName": ")" + longName + R"(", "itemId": "ID-L"})",
                            R"("driverValue": "ID-L")"));
  std::memset(name, 0xEE, sizeof name);
  EXPECT_EQ(bridge->FindItemNameByDriverValue(name), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(Text(name), Text(259, W('x'))) << "cut to 259 units and terminated";

  // (A query that yields nothing drops the value held before: the
  // reclaiming driver frees it.)
  OpenOn(
      session::OneDevice(kJobs, R"("driverValue": "ID-NONE")", R"({"driverValue": "reclaimed"})"));
  EXPECT_EQ(bridge->FindItemNameByDriverValue(name), E_FAIL);
  EXPECT_EQ(EscapesSent(4122), 1) << "the list is refreshed even without a match";

  // A query that fails or yields nothing ends the lookup before the refresh.
  for (DWORD mode : {DWORD(STISIM_FAULT_FAIL), DWORD(STISIM_FAULT_EMPTY)}) {
    StiSimClearFaults();
    StiSimClearJournal();
    session::AddFault(Fault(4115, mode, E_ACCESSDENIED));
    EXPECT_EQ(bridge->FindItemNameByDriverValue(name), E_FAIL);
    EXPECT_EQ(EscapesSent(4122), 0);
  }
}

TEST_F(CatalogueTest, QueryDriverValueReportsTheEscapesOwnResult)
{
  // A driver that reclaims its earlier value when the next query yields
  // none; one that kept it would leave it to leak.
  OpenOn(session::OneDevice(kJobs, R"("driverValue": "ID-A")", R"({"driverValue": "reclaimed"})"));
  void* value = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(BridgeTestAccess::QueryDriverValue(bridge, 16, &value), S_OK);
  EXPECT_EQ(value, BridgeTestAccess::DriverValue(bridge));
  EXPECT_EQ(Text(static_cast<WCHAR*>(value)), W("ID-A"));

  // Success without a value: the escape's own code, the out-value untouched.
  session::AddFault(Fault(4115, STISIM_FAULT_EMPTY));
  value = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(BridgeTestAccess::QueryDriverValue(bridge, 16, &value), S_OK);
  EXPECT_EQ(value, reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(BridgeTestAccess::DriverValue(bridge), nullptr);
  StiSimClearFaults();
  EXPECT_EQ(BridgeTestAccess::QueryDriverValue(bridge, 3, &value), E_INVALIDARG);

  IStiScannerComBridge* fresh = NewBridge();
  EXPECT_EQ(BridgeTestAccess::QueryDriverValue(fresh, 16, &value), E_FAIL);
  fresh->Release();

  // Under the reclaiming profile, a lookup that reaches the driver and then
  // fails comes after the driver has reclaimed the value the bridge held:
  // the bridge forgets that value, and Close frees nothing twice (the
  // sanitizer build would see it).
  const char* reclaiming = nullptr;
  for (const ConductProfile& profile : kConductProfiles)
    if (std::string(profile.name) == "reclaiming") reclaiming = profile.json;
  ASSERT_NE(reclaiming, nullptr);
  const struct {
    const char* failure;
    bool emptyStore;  // else an injected failure, carried out part-way
  } failures[] = {{"injected failure", false}, {"empty store", true}};
  for (const auto& f : failures) {
    SCOPED_TRACE(f.failure);
    OpenOn(session::OneDevice(R"({"itemName": "only.tif"})", "", reclaiming));
    WCHAR name[260];
    ASSERT_EQ(bridge->FindItemNameByDriverValue(name), S_OK);
    ASSERT_NE(BridgeTestAccess::DriverValue(bridge), nullptr);
    if (f.emptyStore)
      ASSERT_EQ(bridge->DeleteItem(0), S_OK);
    else
      session::AddFault(Fault(4115, STISIM_FAULT_FAIL, E_ACCESSDENIED));
    EXPECT_EQ(bridge->FindItemNameByDriverValue(name), E_FAIL);
    EXPECT_EQ(BridgeTestAccess::DriverValue(bridge), nullptr) << "the reclaimed value is forgotten";
    StiSimClearFaults();
    EXPECT_EQ(bridge->Close(), S_OK);
  }
}

}  // namespace

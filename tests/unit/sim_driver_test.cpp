// The driver stand-in, escape by escape: answers, ownership of its blocks,
// freeing by kind, size-word meanings, events, faults, the journal, and
// malformed requests answered with errors.
#include <algorithm>
#include <iterator>
#include <string>
#include <thread>

#include "sim/tests/sim_test_support.h"

using namespace simtest;
using driver::BlockKind;
using driver::EscapeCode;
using driver::ItemListHeader;
using driver::ItemRecord;
using driver::PropertyRecord;
using driver::SettingsBlock;
using driver::UserRecord;

namespace {

LONG Int32Of(const PropertyRecord* records, DWORD count, DWORD id)
{
  const PropertyRecord* r = driver::FindProperty(const_cast<PropertyRecord*>(records), count, id);
  return r == nullptr ? -12345 : r->Int32();
}

TEST_F(DriverTest, ItemListDescribesEveryStoredJob)
{
  ItemListHeader header = ItemList();
  ASSERT_EQ(header.count, 7);
  ASSERT_NE(header.items, nullptr);
  const ItemRecord* first = header.items[0];
  EXPECT_EQ(BstrText(first->itemName), Text(W("scan0001.tif")));
  EXPECT_EQ(BstrText(first->documentName), Text(W("Quarterly report")));
  EXPECT_EQ(Text(first->ownerSid), Text(W("S-1-1-0")));
  EXPECT_EQ(Text(first->itemIdentifier), Text(W("JOB-0001")));
  EXPECT_EQ(first->state, driver::kItemStateReady);
  EXPECT_EQ(Int32Of(first->properties, first->propertyCount, driver::property::kPages), 2);
  EXPECT_EQ(Int32Of(first->properties, first->propertyCount, driver::property::kDataType), 3);
  EXPECT_EQ(Int32Of(first->properties, first->propertyCount, driver::property::kPixelsPerLine),
            248);
  EXPECT_EQ(Int32Of(first->properties, first->propertyCount, driver::property::kFileFormat), 1);
  const PropertyRecord* time =
      driver::FindProperty(first->properties, first->propertyCount, driver::property::kItemTime);
  ASSERT_NE(time, nullptr);
  EXPECT_EQ(time->VectorCount(), 8u);
  const auto* when = static_cast<const SYSTEMTIME*>(time->VectorElements());
  EXPECT_EQ(when->wYear, 2024);
  EXPECT_EQ(when->wMonth, 3);
  EXPECT_EQ(when->wDay, 5);
  EXPECT_EQ(when->wHour, 9);
  EXPECT_EQ(when->wDayOfWeek, 2);  // a Tuesday

  EXPECT_EQ(Text(header.items[3]->ownerSid),
            Text(W("S-1-5-21-1111111111-2222222222-3333333333-1107")));
  const ItemRecord* gif = header.items[4];
  EXPECT_NE(BstrText(gif->documentName).find(W(".gif")), Text::npos);
  EXPECT_EQ(
      driver::FindProperty(gif->properties, gif->propertyCount, driver::property::kDepth)->Int16(),
      8);
  EXPECT_EQ(Int32Of(header.items[5]->properties, header.items[5]->propertyCount,
                    driver::property::kFileFormat),
            3);
  EXPECT_EQ(header.items[6]->state, 1);
  EXPECT_EQ(StiSimOutstandingBlocks(kLabDevice, STISIM_BLOCK_ITEM_LIST), 1);
  FreeItemList(header);
}

TEST_F(DriverTest, FreeDriverBlockTakesEachKindBackOnceAndOnlyByItsKind)
{
  ItemListHeader list = ItemList();
  SettingsBlock* settings = nullptr;
  SettingsBlock* caps = nullptr;
  ASSERT_EQ(Send(EscapeCode::GetScanSettings, nullptr, 0, &settings, 8), S_OK);
  ASSERT_EQ(Send(EscapeCode::GetCapabilities, nullptr, 0, &caps, 8), S_OK);
  ASSERT_NE(settings, nullptr);
  ASSERT_NE(caps, nullptr);

  const DWORD kSettings = static_cast<DWORD>(BlockKind::Settings);
  const DWORD kCaps = static_cast<DWORD>(BlockKind::Capabilities);
  const DWORD kList = static_cast<DWORD>(BlockKind::ItemList);
  // Wrong kind, wrong size, unknown kind, a block never handed out: refused,
  // and the blocks stay the driver's.
  SettingsBlock stranger{};
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, settings, 40, nullptr, 0, kCaps), E_INVALIDARG);
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, caps, 40, nullptr, 0, kSettings), E_INVALIDARG);
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, settings, 16, nullptr, 0, kSettings), E_INVALIDARG);
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, settings, 40, nullptr, 0, 3), E_INVALIDARG);
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, &stranger, 40, nullptr, 0, kSettings), E_INVALIDARG);
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, &list, 40, nullptr, 0, kList), E_INVALIDARG);
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, nullptr, 40, nullptr, 0, kSettings), E_INVALIDARG);
  EXPECT_EQ(StiSimOutstandingBlocks(kLabDevice, STISIM_BLOCK_SETTINGS), 1);
  EXPECT_EQ(StiSimOutstandingBlocks(kLabDevice, STISIM_BLOCK_CAPABILITIES), 1);
  EXPECT_EQ(StiSimOutstandingBlocks(kLabDevice, STISIM_BLOCK_ITEM_LIST), 1);

  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, settings, 40, nullptr, 0, kSettings), S_OK);
  EXPECT_EQ(sizeAfter, kSettings);
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, caps, 40, nullptr, 0, kCaps), S_OK);
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, &list, 16, nullptr, 0, kList), S_OK);
  // The header is the caller's; the driver leaves it empty.
  EXPECT_EQ(list.count, 0);
  EXPECT_EQ(list.items, nullptr);
  for (DWORD kind : {STISIM_BLOCK_SETTINGS, STISIM_BLOCK_CAPABILITIES, STISIM_BLOCK_ITEM_LIST})
    EXPECT_EQ(StiSimOutstandingBlocks(kLabDevice, kind), 0);

  // A block handed back is not the driver's to free again.
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, settings, 40, nullptr, 0, kSettings), E_INVALIDARG);
}

TEST_F(DriverTest, SettingsBlockCarriesTheSettingsAndTheDeviceKeepsWhatItIsSent)
{
  SettingsBlock* block = nullptr;
  ASSERT_EQ(Send(EscapeCode::GetScanSettings, nullptr, 0, &block, 8), S_OK);
  EXPECT_EQ(BstrText(block->jobName), Text(W("Lab")));
  EXPECT_EQ(block->propertyCount, 10u);
  EXPECT_EQ(Int32Of(block->properties, block->propertyCount, driver::property::kXResolution), 2);

  // What the bridge does: replace both strings and overwrite values in place.
  SysFreeString(block->jobName);
  block->jobName = SysAllocString(W("P__a_b"));
  SysFreeString(block->storeId);
  block->storeId = SysAllocString(W("ann"));
  driver::FindProperty(block->properties, block->propertyCount, driver::property::kXResolution)
      ->SetInt32(6);
  ASSERT_EQ(Send(EscapeCode::SetScanSettings, block, 40, nullptr, 0), S_OK);

  WCHAR text[64];
  LONG value = 0;
  EXPECT_EQ(StiSimLastJobName(kLabDevice, text, 64), S_OK);
  EXPECT_EQ(Text(text), Text(W("P__a_b")));
  EXPECT_EQ(StiSimLastStoreId(kLabDevice, text, 64), S_OK);
  EXPECT_EQ(Text(text), Text(W("ann")));
  EXPECT_EQ(StiSimLastSettingsValue(kLabDevice, driver::property::kXResolution, &value), S_OK);
  EXPECT_EQ(value, 6);
  EXPECT_EQ(StiSimLastSettingsValue(kLabDevice, 9999, &value), S_FALSE);

  SettingsBlock* next = nullptr;
  ASSERT_EQ(Send(EscapeCode::GetScanSettings, nullptr, 0, &next, 8), S_OK);
  EXPECT_NE(next, block);
  EXPECT_EQ(Int32Of(next->properties, next->propertyCount, driver::property::kXResolution), 6);
  const DWORD kind = static_cast<DWORD>(BlockKind::Settings);
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, block, 40, nullptr, 0, kind), S_OK);
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, next, 40, nullptr, 0, kind), S_OK);

  // A settings block the driver does not know, or one already handed back.
  SettingsBlock forged{};
  EXPECT_EQ(Send(EscapeCode::SetScanSettings, &forged, 40, nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(Send(EscapeCode::SetScanSettings, block, 40, nullptr, 0), E_INVALIDARG);
}

TEST_F(DriverTest, CapabilityMarkerIsPresentOrAbsentPerScenario)
{
  SettingsBlock* caps = nullptr;
  ASSERT_EQ(Send(EscapeCode::GetCapabilities, nullptr, 0, &caps, 8), S_OK);
  EXPECT_NE(driver::FindProperty(caps->properties, caps->propertyCount,
                                 driver::property::kCapabilityMarker),
            nullptr);
  EXPECT_EQ(caps->jobName, nullptr);
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, caps, 40, nullptr, 0, 0), S_OK);

  IStiDevice* floor = Create(kFloorDevice);
  ASSERT_EQ(floor->LockDevice(100), S_OK);
  DWORD word = 0;
  ASSERT_EQ(floor->Escape(4108, nullptr, 0, &caps, 8, &word), S_OK);
  EXPECT_EQ(driver::FindProperty(caps->properties, caps->propertyCount,
                                 driver::property::kCapabilityMarker),
            nullptr);
  EXPECT_EQ(floor->Escape(4110, caps, 40, nullptr, 0, &word), S_OK);
  floor->UnLockDevice();
  floor->Release();
}

TEST_F(DriverTest, UserRecordHoldsThePinAndIsTheSameForOneStore)
{
  UserRecord* record = nullptr;
  ASSERT_EQ(Send(EscapeCode::GetUserRecord, store, 8, &record, 8), S_OK);
  ASSERT_NE(record, nullptr);
  PropertyRecord* pin =
      driver::FindProperty(record->properties, record->propertyCount, driver::property::kUserPin);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(BstrText(pin->Bstr()), Text(W("4711")));
  UserRecord* again = nullptr;
  ASSERT_EQ(Send(EscapeCode::GetUserRecord, store, 8, &again, 8), S_OK);
  EXPECT_EQ(again, record);

  WCHAR other[260] = W("bob");
  UserRecord* bob = nullptr;
  ASSERT_EQ(Send(EscapeCode::GetUserRecord, other, 8, &bob, 8), S_OK);
  EXPECT_NE(bob, record);
  EXPECT_EQ(
      BstrText(driver::FindProperty(bob->properties, bob->propertyCount, driver::property::kUserPin)
                   ->Bstr()),
      Text());

  // The bridge swaps the PIN with the system's BSTR calls and sends it.
  SysFreeString(pin->Bstr());
  pin->SetBstr(SysAllocString(W("2468")));
  ASSERT_EQ(Send(EscapeCode::SetUserRecord, record, 32, nullptr, 0), S_OK);
  WCHAR sent[16];
  EXPECT_EQ(StiSimLastPin(kLabDevice, sent, 16), S_OK);
  EXPECT_EQ(Text(sent), Text(W("2468")));
  EXPECT_EQ(StiSimOutstandingBlocks(kLabDevice, STISIM_BLOCK_USER_RECORD), 2);

  UserRecord forged{};
  EXPECT_EQ(Send(EscapeCode::SetUserRecord, &forged, 32, nullptr, 0), E_INVALIDARG);
  // A user record is not handed back.
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, record, 40, nullptr, 0, 2), E_INVALIDARG);
}

TEST_F(DriverTest, QueryDriverValueNamesAnItemFromTheGlobalHeap)
{
  LONG selector = driver::kDriverValueItemIdentifier;
  void* value = nullptr;
  ASSERT_EQ(Send(EscapeCode::QueryDriverValue, &selector, 4, &value, 8), S_OK);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(Text(static_cast<WCHAR*>(value)), Text(W("JOB-0003")));
  EXPECT_EQ(GlobalFree(value), nullptr);

  selector = 5;
  value = reinterpret_cast<void*>(1);
  EXPECT_EQ(Send(EscapeCode::QueryDriverValue, &selector, 4, &value, 8), E_INVALIDARG);
  EXPECT_EQ(value, nullptr);
}

TEST_F(DriverTest, AccessIsCountedPerBeginAndEnd)
{
  EXPECT_EQ(Send(EscapeCode::BeginAccess, store, 8, nullptr, 0), S_OK);
  EXPECT_EQ(Send(EscapeCode::BeginAccess, store, 8, nullptr, 0), S_OK);
  EXPECT_EQ(StiSimAccessCount(kLabDevice), 2);
  EXPECT_EQ(Send(EscapeCode::EndAccess, store, 8, nullptr, 0), S_OK);
  EXPECT_EQ(Send(EscapeCode::EndAccess, store, 8, nullptr, 0), S_OK);
  EXPECT_EQ(Send(EscapeCode::EndAccess, store, 8, nullptr, 0), S_OK);
  EXPECT_EQ(StiSimAccessCount(kLabDevice), 0);
}

TEST_F(DriverTest, DeletingAnItemRemovesItAndSignalsItemDeleted)
{
  HANDLE deleted = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE ended = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  LONG deletedCookie = -1, endedCookie = -1;
  ASSERT_EQ(Send(EscapeCode::RegisterEvent, &ended, 8, &endedCookie, 4, 16), S_OK);
  ASSERT_EQ(Send(EscapeCode::RegisterEvent, &deleted, 8, &deletedCookie, 4, 4), S_OK);
  EXPECT_NE(endedCookie, deletedCookie);
  EXPECT_EQ(StiSimEventRegistrations(kLabDevice, 4), 1);

  ItemListHeader header = ItemList();
  DWORD waited = WAIT_FAILED;
  std::thread waiter([&] { waited = WaitForSingleObject(deleted, 5000); });
  EXPECT_EQ(Send(EscapeCode::DeleteItem, header.items[1], 56, nullptr, 0), S_OK);
  waiter.join();
  EXPECT_EQ(waited, WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(ended, 0), WAIT_TIMEOUT);
  EXPECT_EQ(StiSimStoredItemCount(kLabDevice), 6);

  // The old list still holds the record, but its job is gone.
  EXPECT_EQ(Send(EscapeCode::DeleteItem, header.items[1], 56, nullptr, 0), STIERR_OBJECTNOTFOUND);
  // Another user's protected job.
  EXPECT_EQ(Send(EscapeCode::DeleteItem, header.items[3], 56, nullptr, 0), E_ACCESSDENIED);
  ItemRecord forged = *header.items[0];
  EXPECT_EQ(Send(EscapeCode::DeleteItem, &forged, 56, nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(StiSimStoredItemCount(kLabDevice), 6);
  FreeItemList(header);

  EXPECT_EQ(Send(EscapeCode::UnregisterEvent, &deletedCookie, 4, nullptr, 0, 16), E_INVALIDARG);
  EXPECT_EQ(Send(EscapeCode::UnregisterEvent, &deletedCookie, 4, nullptr, 0, 4), S_OK);
  EXPECT_EQ(Send(EscapeCode::UnregisterEvent, &deletedCookie, 4, nullptr, 0, 4), E_INVALIDARG);
  LONG never = -1;
  EXPECT_EQ(Send(EscapeCode::UnregisterEvent, &never, 4, nullptr, 0, 16), E_INVALIDARG);
  EXPECT_EQ(Send(EscapeCode::UnregisterEvent, &endedCookie, 4, nullptr, 0, 16), S_OK);
  EXPECT_EQ(StiSimEventRegistrations(kLabDevice, 4), 0);
  CloseHandle(deleted);
  CloseHandle(ended);
}

TEST_F(DriverTest, EventsRaisedFromTheDriversOwnThreadReachAWaiter)
{
  HANDLE ended = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  LONG cookie = -1;
  ASSERT_EQ(Send(EscapeCode::RegisterEvent, &ended, 8, &cookie, 4, 16), S_OK);
  EXPECT_EQ(StiSimRaiseEvent(kLabDevice, 16, TRUE), S_OK);
  EXPECT_EQ(WaitForSingleObject(ended, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(StiSimRaiseEvent(kLabDevice, 4, TRUE), S_FALSE);  // nobody registered
  CloseHandle(ended);
}

TEST_F(DriverTest, ThumbnailAnswersIntoTheEightByteSlot)
{
  ItemListHeader header = ItemList();
  ULONGLONG slot = 0xFFFFFFFFFFFFFFFFull;
  EXPECT_EQ(Send(EscapeCode::ItemThumbnail, header.items[0], 56, &slot, 8), S_OK);
  EXPECT_NE(slot, 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(Send(EscapeCode::ItemThumbnail, header.items[0], 56, &slot, 4), E_INVALIDARG);
  FreeItemList(header);
}

// Every code with a malformed request: an error, nothing written, no crash.
TEST_F(DriverTest, MalformedRequestsAreAnsweredWithErrors)
{
  ItemListHeader header = ItemList();
  HANDLE noEvent = nullptr;
  LONG cookie = 0, selector = 16;
  void* slot = nullptr;
  WCHAR unterminated[260];
  for (WCHAR& c : unterminated) c = W('x');
  BYTE junk[64] = {};
  struct Case {
    EscapeCode code;
    void* in;
    DWORD inSize;
    void* out;
    DWORD outSize;
    DWORD size;
  };
  const Case cases[] = {
      {EscapeCode::ItemThumbnail, nullptr, 56, &slot, 8, 0},
      {EscapeCode::ItemThumbnail, junk, 56, &slot, 8, 0},
      {EscapeCode::ItemTransfer, nullptr, 32, junk, 64, 0},
      {EscapeCode::ItemTransfer, junk, 16, junk, 64, 0},
      {EscapeCode::DeleteItem, header.items[0], 40, nullptr, 0, 0},
      {EscapeCode::DeleteItem, junk, 56, nullptr, 0, 0},
      {EscapeCode::GetScanSettings, nullptr, 0, nullptr, 8, 0},
      {EscapeCode::GetScanSettings, nullptr, 0, &slot, 4, 0},
      {EscapeCode::SetScanSettings, nullptr, 40, nullptr, 0, 0},
      {EscapeCode::GetCapabilities, junk, 8, &slot, 8, 0},
      {EscapeCode::FreeDriverBlock, junk, 16, nullptr, 0, 4},
      {EscapeCode::BeginAccess, unterminated, 8, nullptr, 0, 0},
      {EscapeCode::BeginAccess, nullptr, 8, nullptr, 0, 0},
      {EscapeCode::EndAccess, store, 4, nullptr, 0, 0},
      {EscapeCode::RegisterEvent, &noEvent, 8, &cookie, 4, 16},
      {EscapeCode::RegisterEvent, &noEvent, 8, &cookie, 4, 8},
      {EscapeCode::RegisterEvent, nullptr, 8, &cookie, 4, 16},
      {EscapeCode::UnregisterEvent, nullptr, 4, nullptr, 0, 16},
      {EscapeCode::QueryDriverValue, &selector, 4, nullptr, 8, 0},
      {EscapeCode::QueryDriverValue, nullptr, 4, &slot, 8, 0},
      {EscapeCode::SetUserRecord, junk, 32, nullptr, 0, 0},
      {EscapeCode::GetUserRecord, unterminated, 8, &slot, 8, 0},
      {EscapeCode::GetUserRecord, store, 8, nullptr, 8, 0},
      {EscapeCode::GetItemList, store, 8, junk, 8, 0},
      {EscapeCode::GetItemList, nullptr, 8, junk, 16, 0},
  };
  BYTE before[64];
  std::memcpy(before, junk, sizeof junk);
  for (const Case& c : cases) {
    EXPECT_TRUE(FAILED(Send(c.code, c.in, c.inSize, c.out, c.outSize, c.size)))
        << driver::EscapeCodeName(static_cast<DWORD>(c.code));
    EXPECT_EQ(std::memcmp(before, junk, sizeof junk), 0)
        << driver::EscapeCodeName(static_cast<DWORD>(c.code));
  }
  for (DWORD code : {4100u, 4102u, 4106u, 4120u, 0u}) {
    DWORD word = 0;
    EXPECT_EQ(device->Escape(code, nullptr, 0, nullptr, 0, &word), STIERR_UNSUPPORTED) << code;
  }
  // A kind or an answer needs the size word.
  EXPECT_EQ(device->Escape(4110, &header, 16, nullptr, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(header.count, 7);
  FreeItemList(header);
}

TEST_F(DriverTest, JournalRecordsLocksEscapesAndUnlocksInOrder)
{
  StiSimClearJournal();
  DWORD word = 0;
  SettingsBlock* block = nullptr;
  ASSERT_EQ(device->Escape(4105, nullptr, 0, &block, 8, &word), S_OK);
  word = static_cast<DWORD>(BlockKind::Settings);
  ASSERT_EQ(device->Escape(4110, block, 40, nullptr, 0, &word), S_OK);
  ASSERT_EQ(device->UnLockDevice(), S_OK);
  ASSERT_EQ(device->LockDevice(4000), S_OK);

  std::vector<StiSimJournalEntry> journal = Journal();
  ASSERT_EQ(journal.size(), 4u);
  EXPECT_EQ(journal[0].kind, STISIM_JOURNAL_ESCAPE);
  EXPECT_EQ(journal[0].code, 4105u);
  EXPECT_EQ(journal[0].inSize, 0u);
  EXPECT_EQ(journal[0].outSize, 8u);
  EXPECT_EQ(journal[1].code, 4110u);
  EXPECT_EQ(journal[1].inSize, 40u);
  EXPECT_EQ(journal[1].sizeBefore, 2u);
  EXPECT_EQ(journal[1].sizeAfter, 2u);
  EXPECT_EQ(journal[1].device, kLabDevice);
  EXPECT_EQ(journal[2].kind, STISIM_JOURNAL_UNLOCK);
  EXPECT_EQ(journal[3].kind, STISIM_JOURNAL_LOCK);
  EXPECT_EQ(journal[3].code, 4000u);
  EXPECT_EQ(journal[3].result, S_OK);
  for (const StiSimJournalEntry& e : journal) EXPECT_EQ(e.object, journal[0].object);
}

TEST_F(DriverTest, EscapesWithoutTheLockAreRefused)
{
  ASSERT_EQ(device->UnLockDevice(), S_OK);
  SettingsBlock* block = nullptr;
  EXPECT_EQ(Send(EscapeCode::GetScanSettings, nullptr, 0, &block, 8), STIERR_NEEDS_LOCK);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(device->UnLockDevice(), STIERR_NEEDS_LOCK);
  ASSERT_EQ(device->LockDevice(100), S_OK);
}

TEST_F(DriverTest, EscapeFaultsFailEmptyMismatchAndTimeOutOnDemand)
{
  StiSimFault fail = Fault(4122, STISIM_FAULT_FAIL, E_ACCESSDENIED);
  fail.skip = 1;
  fail.times = 1;
  ASSERT_EQ(StiSimAddFault(&fail), S_OK);
  ItemListHeader first = ItemList();  // skipped
  ItemListHeader header{};
  EXPECT_EQ(Send(EscapeCode::GetItemList, store, 8, &header, 16), E_ACCESSDENIED);
  DWORD error = 0;
  EXPECT_EQ(device->GetLastError(&error), S_OK);
  EXPECT_EQ(error, 5u);
  EXPECT_EQ(header.items, nullptr);
  ItemListHeader third = ItemList();  // times used up
  EXPECT_EQ(third.count, 7);
  FreeItemList(first);
  FreeItemList(third);

  StiSimClearFaults();
  StiSimFault more = Fault(4122, STISIM_FAULT_MISMATCH);
  StiSimAddFault(&more);
  header = ItemList();
  ASSERT_EQ(header.count, 8);
  EXPECT_EQ(header.items[7], nullptr);  // the count claims a record that is not there
  FreeItemList(header);

  StiSimClearFaults();
  StiSimFault fewer = Fault(4105, STISIM_FAULT_MISMATCH);
  fewer.countDelta = -3;
  StiSimAddFault(&fewer);
  SettingsBlock* block = nullptr;
  ASSERT_EQ(Send(EscapeCode::GetScanSettings, nullptr, 0, &block, 8), S_OK);
  EXPECT_EQ(block->propertyCount, 7u);
  EXPECT_EQ(Send(EscapeCode::FreeDriverBlock, block, 40, nullptr, 0, 2), S_OK);

  StiSimClearFaults();
  StiSimFault empty = Fault(4105, STISIM_FAULT_EMPTY);
  StiSimAddFault(&empty);
  block = reinterpret_cast<SettingsBlock*>(1);
  EXPECT_EQ(Send(EscapeCode::GetScanSettings, nullptr, 0, &block, 8), S_OK);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(StiSimOutstandingBlocks(kLabDevice, STISIM_BLOCK_SETTINGS), 0);

  StiSimClearFaults();
  StiSimFault late = Fault(4111, STISIM_FAULT_TIMEOUT);
  late.delayMs = 50;
  late.device = kFloorDevice;  // another device: not this one
  StiSimAddFault(&late);
  EXPECT_EQ(Send(EscapeCode::BeginAccess, store, 8, nullptr, 0), S_OK);
  late.device = kLabDevice;
  StiSimAddFault(&late);
  EXPECT_EQ(Send(EscapeCode::BeginAccess, store, 8, nullptr, 0), HRESULT_FROM_WIN32(ERROR_TIMEOUT));
  std::vector<StiSimJournalEntry> journal = Journal();
  EXPECT_GE(journal.back().elapsedMs, 40u);
}

// A one-device office whose driver behaves as `conduct` says, with one job
// of 16 x 8 pixels (384 bytes of DIB rows).
std::string ConductScenario(const std::string& conduct)
{
  return R"({"conduct": )" + conduct + R"(, "devices": [{"index": 0,
      "description": "Tarvo Quartz TWAIN Scanner", "users": [{"storeId": "ann"}],
      "jobs": [{"itemName": "a.bmp", "width": 16, "height": 8}]}]})";
}

class ConductTest : public SimTest {
 protected:
  // Loads the office with `conduct`; `device` holds the lock.
  void Load(const std::string& conduct)
  {
    Drop();
    ASSERT_EQ(StiSimLoadScenarioJson(ConductScenario(conduct).c_str()), S_OK);
    device = Create(0);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->LockDevice(100), S_OK);
  }
  void Drop()
  {
    if (device == nullptr) return;
    device->UnLockDevice();
    device->Release();
    device = nullptr;
  }
  void TearDown() override
  {
    Drop();
    SimTest::TearDown();
  }
  HRESULT Send(IStiDevice* through, EscapeCode code, const void* in, DWORD inSize, void* out,
               DWORD outSize, DWORD size = 0)
  {
    word = size;
    return through->Escape(static_cast<DWORD>(code), const_cast<void*>(in), inSize, out, outSize,
                           &word);
  }
  // The last journal entry's breach kind, 0 for none.
  static DWORD LastBreach()
  {
    std::vector<StiSimJournalEntry> journal = Journal();
    return journal.empty() || journal.back().kind != STISIM_JOURNAL_BREACH ? 0
                                                                           : journal.back().breach;
  }
  IStiDevice* device = nullptr;
  WCHAR store[260] = W("ann");
  WCHAR name[260] = W("a.bmp");
  DWORD word = 0;
};

TEST_F(ConductTest, TheSizeWordAfterADataReadIsTheConductsChoice)
{
  struct Case {
    const char* word;
    DWORD first, last;  // after a read of 100 bytes, and after the last 84
  };
  const Case cases[] = {{"delivered", 100, 84}, {"untouched", 100, 100}, {"zero", 0, 0},
                        {"total", 384, 384},    {"remaining", 284, 0},   {"beyond", 65636, 65636}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    Load(std::string(R"({"dataSizeWord": ")") + c.word + "\"}");
    driver::RequestBlock request{};
    request.operation = driver::kOperationNative;
    request.itemName = name;
    BYTE buffer[100];
    EXPECT_EQ(Send(device, EscapeCode::ItemTransfer, &request, 32, buffer, 100, 100), S_OK);
    EXPECT_EQ(word, c.first);
    for (int read = 0; read < 2; ++read)
      EXPECT_EQ(Send(device, EscapeCode::ItemTransfer, &request, 32, buffer, 100, 100), S_OK);
    EXPECT_EQ(Send(device, EscapeCode::ItemTransfer, &request, 32, buffer, 100, 100), S_FALSE);
    EXPECT_EQ(word, c.last);
  }
}

TEST_F(ConductTest, FreedListsDiscardedBytesAndReusedAddresses)
{
  Load(R"({"freedList": "untouched", "discarded": "scribbled", "addresses": "reused"})");
  ItemListHeader header{};
  ASSERT_EQ(Send(device, EscapeCode::GetItemList, store, 8, &header, 16), S_OK);
  EXPECT_EQ(word, 0xA5A5A5A5u) << "nothing to read in the size word";
  EXPECT_EQ(header.reserved4[0], 0xA5);
  EXPECT_EQ(header.items[0]->reserved0[0], 0xA5);
  const ItemListHeader before = header;
  ASSERT_EQ(Send(device, EscapeCode::FreeDriverBlock, &header, 16, nullptr, 0, 4), S_OK);
  EXPECT_EQ(header.items, before.items) << "the header as it was";
  SettingsBlock* first = nullptr;
  SettingsBlock* second = nullptr;
  ASSERT_EQ(Send(device, EscapeCode::GetScanSettings, nullptr, 0, &first, 8), S_OK);
  ASSERT_EQ(Send(device, EscapeCode::FreeDriverBlock, first, 40, nullptr, 0, 2), S_OK);
  ASSERT_EQ(Send(device, EscapeCode::GetScanSettings, nullptr, 0, &second, 8), S_OK);
  EXPECT_EQ(second, first) << "the address handed out again";
  ASSERT_EQ(Send(device, EscapeCode::FreeDriverBlock, second, 40, nullptr, 0, 2), S_OK);
  EXPECT_EQ(StiSimBreachCount(), 0u);
}

// What no caller may do is refused, counted and journaled: a block handed
// back twice or used after the hand-back, a bound block handed back through
// another device object or used after its object went, a request name not
// in its zero-filled buffer.
TEST_F(ConductTest, BreachesAreRefusedCountedAndJournaled)
{
  Load(R"({"blocks": "bound", "requestName": "whole"})");
  IStiDevice* other = Create(0);
  ItemListHeader header{};
  SettingsBlock* settings = nullptr;
  SettingsBlock* caps = nullptr;
  ASSERT_EQ(Send(device, EscapeCode::GetItemList, store, 8, &header, 16), S_OK);
  ASSERT_EQ(Send(device, EscapeCode::GetScanSettings, nullptr, 0, &settings, 8), S_OK);
  ASSERT_EQ(Send(device, EscapeCode::GetCapabilities, nullptr, 0, &caps, 8), S_OK);
  ItemRecord* record = header.items[0];

  EXPECT_EQ(Send(device, EscapeCode::FreeDriverBlock, caps, 40, nullptr, 0, 0), S_OK);
  EXPECT_EQ(Send(device, EscapeCode::FreeDriverBlock, caps, 40, nullptr, 0, 0), E_INVALIDARG);
  EXPECT_EQ(LastBreach(), STISIM_BREACH_SECOND_HAND_BACK);
  ItemListHeader copy = header;
  EXPECT_EQ(Send(device, EscapeCode::FreeDriverBlock, &header, 16, nullptr, 0, 4), S_OK);
  EXPECT_EQ(Send(device, EscapeCode::DeleteItem, record, 56, nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(LastBreach(), STISIM_BREACH_RETURNED_BLOCK);
  EXPECT_EQ(Send(device, EscapeCode::FreeDriverBlock, &copy, 16, nullptr, 0, 4), E_INVALIDARG);
  EXPECT_EQ(LastBreach(), STISIM_BREACH_SECOND_HAND_BACK);

  driver::RequestBlock request{};
  request.operation = driver::kOperationNative;
  WCHAR dirty[260];
  std::fill(std::begin(dirty), std::end(dirty), W('q'));
  std::copy_n(W("a.bmp"), 6, dirty);
  request.itemName = dirty;
  DWORD size = 0;
  EXPECT_EQ(device->Escape(4103, &request, 32, nullptr, 0, &size), E_INVALIDARG);
  EXPECT_EQ(LastBreach(), STISIM_BREACH_REQUEST_NAME);
  device->UnLockDevice();

  ASSERT_EQ(other->LockDevice(100), S_OK);
  EXPECT_EQ(Send(other, EscapeCode::FreeDriverBlock, settings, 40, nullptr, 0, 2), E_INVALIDARG);
  EXPECT_EQ(LastBreach(), STISIM_BREACH_FOREIGN_HAND_BACK);
  EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_SETTINGS), 1);
  device->Release();  // its blocks are reclaimed
  device = nullptr;
  EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_SETTINGS), 0);
  EXPECT_EQ(settings->jobName, reinterpret_cast<BSTR>(0xDDDDDDDDDDDDDDDDull)) << "reclaimed";
  EXPECT_EQ(Send(other, EscapeCode::SetScanSettings, settings, 40, nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(LastBreach(), STISIM_BREACH_DEAD_BLOCK);
  other->UnLockDevice();
  other->Release();

  EXPECT_EQ(StiSimBreachCount(), 6u);
  EXPECT_STREQ(StiSimBreachName(STISIM_BREACH_DEAD_BLOCK), "dead-block");
  // A load starts the count anew.
  ASSERT_EQ(StiSimLoadDefaultScenario(), S_OK);
  EXPECT_EQ(StiSimBreachCount(), 0u);
}

// A job scanned while the server runs: not stored until its time, then
// stored and announced with "JobEnded" from the driver's own thread.
TEST_F(ConductTest, AJobArrivesLaterAndEndsWithJobEnded)
{
  ASSERT_EQ(StiSimLoadScenarioJson(R"({"devices": [{"index": 0,
      "description": "Tarvo Quartz TWAIN Scanner", "users": [{"storeId": "ann"}],
      "jobs": [{"itemName": "now.bmp"}, {"itemName": "later.bmp", "arrivesAfterMs": 150}]}]})"),
            S_OK);
  device = Create(0);
  ASSERT_EQ(device->LockDevice(100), S_OK);
  HANDLE ended = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  LONG cookie = 0;
  ASSERT_EQ(Send(device, EscapeCode::RegisterEvent, &ended, sizeof ended, &cookie, 4, 16), S_OK);
  EXPECT_EQ(StiSimStoredItemCount(0), 1);
  EXPECT_EQ(WaitForSingleObject(ended, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(StiSimStoredItemCount(0), 2);
  ItemListHeader header{};
  ASSERT_EQ(Send(device, EscapeCode::GetItemList, store, 8, &header, 16), S_OK);
  EXPECT_EQ(header.count, 2);
  EXPECT_EQ(BstrText(header.items[1]->itemName), Text(W("later.bmp")));
  EXPECT_EQ(Send(device, EscapeCode::FreeDriverBlock, &header, 16, nullptr, 0, 4), S_OK);
  CloseHandle(ended);
}

// Jobs deleted at the panel while the server runs: gone from the list at
// their time and announced with "ItemDeleted" from the driver's own thread,
// a job that arrived first as well; one that DeleteItem took already is not
// announced again.
TEST_F(ConductTest, JobsDeletedAtThePanelGoWithItemDeleted)
{
  ASSERT_EQ(StiSimLoadScenarioJson(R"({"devices": [{"index": 0,
      "description": "Tarvo Quartz TWAIN Scanner", "users": [{"storeId": "ann"}],
      "jobs": [{"itemName": "stays.bmp"}, {"itemName": "gone.bmp", "deletedAfterMs": 300},
               {"itemName": "taken.bmp", "deletedAfterMs": 600},
               {"itemName": "brief.bmp", "arrivesAfterMs": 900, "deletedAfterMs": 1200}]}]})"),
            S_OK);
  device = Create(0);
  ASSERT_EQ(device->LockDevice(100), S_OK);
  HANDLE deleted = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE ended = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  LONG cookie = 0;
  ASSERT_EQ(Send(device, EscapeCode::RegisterEvent, &deleted, sizeof deleted, &cookie, 4, 4), S_OK);
  ASSERT_EQ(Send(device, EscapeCode::RegisterEvent, &ended, sizeof ended, &cookie, 4, 16), S_OK);
  auto listed = [&] {
    std::vector<Text> names;
    ItemListHeader header{};
    EXPECT_EQ(Send(device, EscapeCode::GetItemList, store, 8, &header, 16), S_OK);
    for (LONG i = 0; i < header.count; ++i) names.push_back(BstrText(header.items[i]->itemName));
    if (header.count > 0) {
      // taken.bmp goes through DeleteItem before its time at the panel.
      for (LONG i = 0; i < header.count; ++i) {
        if (names[static_cast<size_t>(i)] == Text(W("taken.bmp"))) {
          EXPECT_EQ(Send(device, EscapeCode::DeleteItem, header.items[i], 56, nullptr, 0), S_OK);
        }
      }
      EXPECT_EQ(Send(device, EscapeCode::FreeDriverBlock, &header, 16, nullptr, 0, 4), S_OK);
    }
    return names;
  };
  EXPECT_EQ(listed(), (std::vector<Text>{W("stays.bmp"), W("gone.bmp"), W("taken.bmp")}));
  EXPECT_EQ(WaitForSingleObject(deleted, 5000), WAIT_OBJECT_0) << "DeleteItem";
  EXPECT_EQ(WaitForSingleObject(deleted, 5000), WAIT_OBJECT_0) << "gone.bmp at the panel";
  EXPECT_EQ(listed(), (std::vector<Text>{W("stays.bmp")}));
  EXPECT_EQ(WaitForSingleObject(ended, 5000), WAIT_OBJECT_0) << "brief.bmp arrives";
  EXPECT_EQ(listed(), (std::vector<Text>{W("stays.bmp"), W("brief.bmp")}));
  EXPECT_EQ(WaitForSingleObject(deleted, 5000), WAIT_OBJECT_0) << "brief.bmp at the panel";
  EXPECT_EQ(WaitForSingleObject(deleted, 0), WAIT_TIMEOUT) << "taken.bmp announced twice";
  EXPECT_EQ(listed(), (std::vector<Text>{W("stays.bmp")}));
  EXPECT_EQ(StiSimStoredItemCount(0), 1);
  CloseHandle(deleted);
  CloseHandle(ended);
}

TEST(SimScenario, ScenarioFaultsApplyFromTheStart)
{
  ASSERT_EQ(StiSimLoadScenarioJson(R"({
    "devices": [{ "index": 0, "description": "Tarvo Quartz TWAIN Scanner",
                  "jobs": [{ "itemName": "a.tif" }] }],
    "faults": [{ "target": "GetItemList", "mode": "fail", "hresult": "0x80070015" }]
  })"),
            S_OK);
  IStillImageW* sti = nullptr;
  ASSERT_EQ(StiCreateInstanceW(nullptr, STI_VERSION_REAL, &sti, nullptr), S_OK);
  Text name = InternalName(0);
  IStiDevice* device = nullptr;
  ASSERT_EQ(sti->CreateDevice(name.data(), 1, &device, nullptr), S_OK);
  ASSERT_EQ(device->LockDevice(10), S_OK);
  WCHAR store[260] = W("x");
  ItemListHeader header{};
  DWORD word = 0;
  EXPECT_EQ(device->Escape(4122, store, 8, &header, 16, &word), static_cast<HRESULT>(0x80070015));
  device->UnLockDevice();
  device->Release();
  sti->Release();
  StiSimClearFaults();
}

}  // namespace

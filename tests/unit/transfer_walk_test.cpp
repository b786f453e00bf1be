// Selection and the page walk: the pages left over the whole selection, the
// cursor and the page within the item, the image information each step asks
// for, and the deletion of the selected jobs at the end.
#include <gtest/gtest.h>

#include <climits>

#include "com/unique.h"
#include "unit/bridge_session.h"

namespace {

using session::EscapesSent;
using session::JournalText;
using session::Text;
using simtest::Fault;

constexpr WCHAR kUserKey[] = W("Software\\StibridgeTests\\Walk");
const std::string kUserData = R"("deviceData": {"UserDataKey": "Software\\StibridgeTests\\Walk"})";

// Two items of 2 and 1 pages, one of 3, one with depth 8 and a foreign one.
const std::string kJobs = R"(
  {"itemName": "two.tif", "pages": 2, "width": 40, "height": 30},
  {"itemName": "one.tif", "pages": 1, "width": 50, "height": 20},
  {"itemName": "three.tif", "pages": 3},
  {"itemName": "grey.tif", "pages": 4, "depth": 8, "deliveredDepth": 8, "dataType": 2},
  {"itemName": "busy.tif", "pages": 5, "state": 1},
  {"itemName": "grey.tif", "pages": 6, "depth": 24})";

void SetDeleteOption(DWORD on)
{
  UniqueKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kUserKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, key.Put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key.Get(), W("ann_DeleteImageOnScan"), 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&on), sizeof on),
            ERROR_SUCCESS);
}

class WalkTest : public session::UserKeySessionTest {
 protected:
  WalkTest() : UserKeySessionTest(kUserKey) {}
  void SetUp() override
  {
    UserKeySessionTest::SetUp();
    BridgeTestAccess::SetSelectionCount(0);
  }
  void Open() { OpenWithList(session::OneDevice(kJobs, kUserData)); }
  HRESULT Select(std::initializer_list<int> indices)
  {
    std::vector<int> list(indices);
    return bridge->SetSelection(list.data(), static_cast<int>(list.size()));
  }
  // AdvancePage with `pagesLeft` preset to -5; `left` is what it holds after.
  HRESULT Advance(int mode, int& left, int deleteWhenDone = 0)
  {
    left = -5;
    return bridge->AdvancePage(mode, &left, deleteWhenDone);
  }
  std::pair<int, int> Position()
  {
    int page = -1, pages = -1;
    EXPECT_EQ(bridge->GetPagePosition(&page, &pages), S_OK);
    return {page, pages};
  }
  LONG Cursor() { return BridgeTestAccess::SelectionCursor(bridge); }
};

TEST_F(WalkTest, ASelectionAddsItsPagesToWhatIsLeft)
{
  Open();
  EXPECT_EQ(Select({2, 2}), S_OK);
  EXPECT_EQ(Select({2, 2}), S_OK);
  int left = 0;
  EXPECT_EQ(Advance(1, left), S_OK);
  EXPECT_EQ(left, 12);
  EXPECT_EQ(BridgeTestAccess::SelectionCount(), 2);
  EXPECT_EQ(bridge->SetPagesRemaining(3), S_OK);
  EXPECT_EQ(Advance(1, left), S_OK);
  EXPECT_EQ(left, 3);

  // Indices outside the list count no pages and name no current item.
  EXPECT_EQ(bridge->SetPagesRemaining(0), S_OK);
  EXPECT_EQ(Select({-1, 99, INT_MAX}), S_OK);
  EXPECT_EQ(Advance(1, left), S_OK);
  EXPECT_EQ(left, 0);
  ScopedBstr name;
  int page = 0;
  EXPECT_EQ(bridge->GetCurrentItemName(&name, &page), E_FAIL);
}

TEST_F(WalkTest, BadSelectionsChangeNothing)
{
  Open();
  ASSERT_EQ(Select({0}), S_OK);
  int indices[] = {1, 2, 3};
  EXPECT_EQ(bridge->SetSelection(nullptr, 1), E_FAIL);
  EXPECT_EQ(bridge->SetSelection(indices, -1), E_INVALIDARG);
  EXPECT_EQ(BridgeTestAccess::SelectionCount(), 1);
  EXPECT_EQ(BridgeTestAccess::PagesRemaining(bridge), 2);
  // A longer selection than the array holds gets an array of its own size.
  EXPECT_EQ(bridge->SetSelection(indices, 3), S_OK);
  EXPECT_EQ(BridgeTestAccess::SelectionEntries(bridge), 3);
  EXPECT_EQ(BridgeTestAccess::SelectionAt(bridge, 2), 3);
  // A shorter one reuses it: the entries after it stay in the array, but
  // they are no part of the selection. Past its one entry there is no current
  // item, and the deletion step never reaches them.
  EXPECT_EQ(Select({0}), S_OK);
  EXPECT_EQ(BridgeTestAccess::SelectionCapacity(bridge), 3);
  EXPECT_EQ(BridgeTestAccess::SelectionEntries(bridge), 1);
  EXPECT_EQ(BridgeTestAccess::SelectionAt(bridge, 1), 2);
  TW_IMAGEINFO info = {};
  ASSERT_EQ(bridge->GetImageInfo(&info, 0), S_OK);
  int left = 0;
  ASSERT_EQ(bridge->SetPagesRemaining(5), S_OK);
  EXPECT_EQ(Advance(0, left), S_OK);
  EXPECT_EQ(Advance(0, left), E_FAIL) << "no item after the selection's one to describe";
  EXPECT_EQ(Cursor(), 1) << "past the selection's one item";
  ScopedBstr name;
  int page = 0;
  EXPECT_EQ(bridge->GetCurrentItemName(&name, &page), E_FAIL) << "a leftover entry is not current";
  // An empty selection on a fresh object holds no current item.
  IStiScannerComBridge* fresh = NewBridge();
  int none = 0;
  EXPECT_EQ(fresh->SetSelection(&none, 0), S_OK);
  short format = 0;
  EXPECT_EQ(fresh->GetCurrentItemFormat(&format), E_FAIL);
  // No memory for a larger array: the held one stays.
  int four[] = {0, 1, 2, 3};
  platform_hooks::FailAllocations(1);
  EXPECT_EQ(fresh->SetSelection(four, 4), E_OUTOFMEMORY);
  platform_hooks::FailAllocations(0);
  EXPECT_EQ(BridgeTestAccess::SelectionEntries(fresh), 0);
  fresh->Release();
}

TEST_F(WalkTest, SelectingByNameTakesTheFirstMatchOnly)
{
  Open();
  // A selection that selected nothing keeps its array's one entry, 0, but
  // holds no entry: there is no current item and nothing to delete.
  struct Case {
    const WCHAR* name;
    int checkDepth, depth;
    int pages;
    LONG index, entries;
  };
  const Case cases[] = {
      {W("three.tif"), 0, 0, 3, 2, 1},
      {W("THREE.TIF"), 0, 0, 0, 0, 0},  // case-sensitive
      {W("nothing"), 0, 0, 0, 0, 0},
      {W("busy.tif"), 0, 0, 0, 0, 0},  // flag 0
      {W("grey.tif"), 1, 8, 4, 3, 1},
      {W("grey.tif"), 1, 24, 0, 0, 0},  // the later item of that name is not looked at
      {W("grey.tif"), 0, 24, 4, 3, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::string(c.name, c.name + lstrlenW(c.name)) << " depth "
                                    << c.checkDepth << "/" << c.depth);
    ASSERT_EQ(bridge->SetPagesRemaining(77), S_OK);
    int pages = -1;
    EXPECT_EQ(bridge->SelectItemByName(c.checkDepth, &pages, const_cast<WCHAR*>(c.name), c.depth),
              S_OK);
    EXPECT_EQ(pages, c.pages);
    EXPECT_EQ(BridgeTestAccess::PagesRemaining(bridge), c.pages);
    EXPECT_EQ(BridgeTestAccess::SelectionEntries(bridge), c.entries);
    EXPECT_EQ(BridgeTestAccess::SelectionCapacity(bridge), 1);
    EXPECT_EQ(BridgeTestAccess::SelectionAt(bridge, 0), c.index);
    ScopedBstr name;
    int page = 0;
    EXPECT_EQ(bridge->GetCurrentItemName(&name, &page), c.entries == 1 ? S_OK : E_FAIL);
  }
  EXPECT_EQ(BridgeTestAccess::SelectionCount(), 0) << "selection by name leaves the count";
  int pages = 0;
  EXPECT_EQ(bridge->SelectItemByName(0, &pages, nullptr, 0), E_POINTER);
  IStiScannerComBridge* fresh = NewBridge();
  EXPECT_EQ(fresh->SelectItemByName(0, &pages, const_cast<WCHAR*>(W("x")), 0), E_FAIL);
  fresh->Release();
}

TEST_F(WalkTest, ATwoAndOnePageWalk)
{
  Open();
  ASSERT_EQ(Select({0, 1}), S_OK);
  TW_IMAGEINFO info = {};
  ASSERT_EQ(bridge->GetImageInfo(&info, 0), S_OK);
  EXPECT_EQ(Position(), std::make_pair(1, 2));
  StiSimClearJournal();

  int left = 0;
  EXPECT_EQ(Advance(0, left), S_OK);
  EXPECT_EQ(left, 2);
  EXPECT_EQ(Cursor(), 0);
  EXPECT_EQ(Position(), std::make_pair(2, 2));
  EXPECT_EQ(EscapesSent(4103), 1) << "the driver describes page 2";
  const auto journal = simtest::Journal();
  const StiSimJournalEntry* transfer = nullptr;
  for (const StiSimJournalEntry& e : journal)
    if (e.kind == STISIM_JOURNAL_ESCAPE && e.code == 4103) transfer = &e;
  ASSERT_NE(transfer, nullptr);
  EXPECT_EQ(transfer->operation, 0u);
  EXPECT_EQ(transfer->inSize, 32u);
  EXPECT_EQ(transfer->outSize, 1584u);

  ScopedBstr name;
  int page = 0;
  EXPECT_EQ(bridge->GetCurrentItemName(&name, &page), S_OK);
  EXPECT_EQ(session::BstrText(name.value), W("two.tif"));
  EXPECT_EQ(page, 2);

  StiSimClearJournal();
  EXPECT_EQ(Advance(0, left), S_OK);
  EXPECT_EQ(left, 1);
  EXPECT_EQ(Cursor(), 1);
  EXPECT_EQ(Position(), std::make_pair(1, 1)) << "the next item's stored page count";
  EXPECT_EQ(EscapesSent(4103), 0) << "a new item is described from its stored records";
  EXPECT_EQ(bridge->GetCurrentItemName(&name, &page), S_OK);
  EXPECT_EQ(session::BstrText(name.value), W("one.tif"));

  // The last page: no image information is asked for (there is no item
  // after it, and asking would have failed).
  EXPECT_EQ(Advance(0, left), S_OK);
  EXPECT_EQ(left, 0);
  EXPECT_EQ(Cursor(), 2);
  EXPECT_EQ(Position(), std::make_pair(1, 1));
  EXPECT_EQ(bridge->GetCurrentItemName(&name, &page), E_FAIL) << "no current item";
  EXPECT_EQ(bridge->GetImageInfo(&info, 0), E_FAIL);

  // At zero: mode 0 leaves the caller's value, mode 1 writes 0, others
  // nothing.
  EXPECT_EQ(Advance(0, left), S_OK);
  EXPECT_EQ(left, -5);
  EXPECT_EQ(Advance(1, left), S_OK);
  EXPECT_EQ(left, 0);
  EXPECT_EQ(Advance(7, left), S_OK);
  EXPECT_EQ(left, -5);
  EXPECT_EQ(bridge->AdvancePage(0, nullptr, 0), E_POINTER);
}

TEST_F(WalkTest, AnItemWithoutAPageCountKeepsCountingPages)
{
  // The driver has no second page to describe, so the stored records (which
  // lack the count) stay in use, and the failure is passed on without
  // undoing the step.
  OpenWithList(session::OneDevice(R"({"itemName": "p", "pages": 1, "omit": [3096]},
                                     {"itemName": "q", "pages": 1})"));
  ASSERT_EQ(Select({0, 1}), S_OK);
  ASSERT_EQ(bridge->SetPagesRemaining(3), S_OK);
  int left = 0;
  for (int expected : {2, 1, 0}) {
    EXPECT_TRUE(FAILED(Advance(0, left)));
    EXPECT_EQ(left, expected);
    EXPECT_EQ(Cursor(), 0) << "pageInItem never meets pagesInItem";
  }
  EXPECT_EQ(Position(), std::make_pair(4, 0));
}

TEST_F(WalkTest, TheDeletionStepDeletesEverySelectedItemWhenBothAllowIt)
{
  struct Case {
    DWORD option;
    int deleteWhenDone;
    LONG stored, lastIndex;
  };
  // The option is on when the first byte of its data is not zero.
  const Case cases[] = {{1, 1, 4, 1}, {1, 0, 6, -1}, {0, 1, 6, -1}, {256, 1, 6, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "option " << c.option << " client " << c.deleteWhenDone);
    DeleteKeyTree(HKEY_CURRENT_USER, kUserKey);
    SetDeleteOption(c.option);
    Open();
    ASSERT_EQ(Select({0, 1}), S_OK);
    int left = 0;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Advance(0, left, c.deleteWhenDone), S_OK);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(StiSimStoredItemCount(0), c.stored);
    int last = 99;
    EXPECT_EQ(bridge->GetLastItemIndex(&last), S_OK);
    EXPECT_EQ(last, c.lastIndex);
  }
  // It runs on every later call while nothing is left, but hands each
  // selected item to deletion once: neither the records the driver no longer
  // holds, nor, after a refresh, the jobs the same indices name now.
  int left = 0;
  SetDeleteOption(1);
  Open();
  ASSERT_EQ(Select({0}), S_OK);
  ASSERT_EQ(bridge->SetPagesRemaining(0), S_OK);
  EXPECT_EQ(Advance(1, left, 1), S_OK);
  EXPECT_EQ(StiSimStoredItemCount(0), 5);
  StiSimClearJournal();
  EXPECT_EQ(Advance(1, left, 1), S_OK);
  int items = 0;
  ASSERT_EQ(bridge->RefreshItemList(&items), S_OK);
  ASSERT_EQ(items, 5);
  EXPECT_EQ(Advance(1, left, 1), S_OK);
  EXPECT_EQ(Advance(0, left, 1), S_OK);
  EXPECT_EQ(EscapesSent(4104), 0) << "nothing deleted after the walk's first end";
  EXPECT_EQ(StiSimStoredItemCount(0), 5);
  int last = 99;
  EXPECT_EQ(bridge->GetLastItemIndex(&last), S_OK);
  EXPECT_EQ(last, 0) << "the item the deleting call handed over";
  // A new selection of the same index is deleted again.
  ASSERT_EQ(Select({0}), S_OK);
  ASSERT_EQ(bridge->SetPagesRemaining(0), S_OK);
  EXPECT_EQ(Advance(1, left, 1), S_OK);
  EXPECT_EQ(StiSimStoredItemCount(0), 4);
}

TEST_F(WalkTest, TheDeletionCountIsTheProcesssAndBoundedByThisSelection)
{
  SetDeleteOption(1);
  Open();
  int pages = 0;
  ASSERT_EQ(bridge->SelectItemByName(0, &pages, const_cast<WCHAR*>(W("one.tif")), 0), S_OK);
  TW_IMAGEINFO info = {};
  ASSERT_EQ(bridge->GetImageInfo(&info, 0), S_OK);
  int left = 0;
  EXPECT_EQ(Advance(0, left, 1), S_OK);
  EXPECT_EQ(left, 0);
  EXPECT_EQ(StiSimStoredItemCount(0), 6) << "no SetSelection in the process yet: count 0";

  // Another object's selection of three items sets the count; this object's
  // selection holds one entry, and only that one is deleted.
  IStiScannerComBridge* other = NewBridge();
  int three[] = {0, 2, 3};
  ASSERT_EQ(other->SetSelection(three, 3), S_OK);
  other->Release();
  EXPECT_EQ(Advance(1, left, 1), S_OK);
  EXPECT_EQ(StiSimStoredItemCount(0), 5);
  int last = 0;
  bridge->GetLastItemIndex(&last);
  EXPECT_EQ(last, 1);

  // A name that matches nothing (or fails the flag or depth check) selects
  // nothing: with another object's count in force and the option on, the
  // walk's end deletes nothing, item 0 (somebody's stored job) included.
  for (const WCHAR* name : {W("nothing"), W("busy.tif")}) {
    SCOPED_TRACE(testing::Message() << std::string(name, name + lstrlenW(name)));
    Open();
    other = NewBridge();
    int one[] = {0};
    ASSERT_EQ(other->SetSelection(one, 1), S_OK);
    ASSERT_EQ(bridge->SelectItemByName(0, &pages, const_cast<WCHAR*>(name), 0), S_OK);
    EXPECT_EQ(pages, 0);
    StiSimClearJournal();
    EXPECT_EQ(Advance(1, left, 1), S_OK);
    EXPECT_EQ(Advance(0, left, 1), S_OK);
    EXPECT_EQ(EscapesSent(4104), 0);
    EXPECT_EQ(StiSimStoredItemCount(0), 6);
    other->Release();
  }

  // Another object lowers the count while this object's walk of two items
  // ends, so only the first goes; the client refreshes its list, and another
  // object raises the count again. The second position is deleted only if
  // its index still names the job selected there, not the one that moved up
  // into its place.
  const struct {
    const char* row;
    bool firstRefused;  // the first deletion fails: nothing moves up
    LONG stored;        // jobs left after the deleting calls
    LONG lastIndex;
  } rows[] = {{"the list shifted", false, 5, 0}, {"nothing shifted", true, 5, 2}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.row);
    Open();
    ASSERT_EQ(Select({0, 2}), S_OK);
    other = NewBridge();
    int one[] = {1};
    ASSERT_EQ(other->SetSelection(one, 1), S_OK);
    ASSERT_EQ(bridge->SetPagesRemaining(0), S_OK);
    if (row.firstRefused) {
      StiSimFault refused = Fault(4104, STISIM_FAULT_FAIL, E_ACCESSDENIED);
      refused.times = 1;
      session::AddFault(refused);
    }
    Advance(1, left, 1);
    int items = 0;
    ASSERT_EQ(bridge->RefreshItemList(&items), S_OK);
    int two[] = {1, 2};
    ASSERT_EQ(other->SetSelection(two, 2), S_OK);
    Advance(1, left, 1);
    Advance(0, left, 1);
    EXPECT_EQ(StiSimStoredItemCount(0), row.stored);
    int last = 99;
    EXPECT_EQ(bridge->GetLastItemIndex(&last), S_OK);
    EXPECT_EQ(last, row.lastIndex);
    StiSimClearFaults();
    other->Release();
  }
}

}  // namespace

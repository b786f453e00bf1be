// One whole session as a data source runs it, in-process: open, list, the
// settings, every page of every job the user may access read to its end,
// close; and sessions that end without Close; under the default driver
// conduct and each of tests/conducts.json.
// scripts/test also runs this test under valgrind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conducts.h"
#include "sim/sim_api.h"
#include "unit/bridge_session.h"

namespace {

class WholeSessionTest : public QuitRecordingTest,
                         public testing::WithParamInterface<ConductProfile> {};

INSTANTIATE_TEST_SUITE_P(Conducts, WholeSessionTest,
                         testing::ValuesIn(kConductProfiles),
                         [](const testing::TestParamInfo<ConductProfile>& profile) {
                           std::string name = profile.param.name;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

TEST_P(WholeSessionTest, OpenListWalkReadClose)
{
  ASSERT_EQ(StiSimLoadDefaultScenarioUnder(GetParam().json), S_OK);
  IStiScannerComBridge* bridge = NewBridge();
  ASSERT_NE(bridge, nullptr);
  ASSERT_EQ(bridge->InitializeSti(), S_OK);
  int count = 0;
  ScopedBstr names;
  ASSERT_EQ(bridge->EnumerateDevices(&count, &names), S_OK);
  int family = 0;
  ASSERT_EQ(bridge->SelectDeviceByName(const_cast<WCHAR*>(W("Lab MFP")), &family), S_OK);
  ASSERT_EQ(bridge->OpenDevice(const_cast<WCHAR*>(W("LAB")), const_cast<WCHAR*>(W("ann")),
                               const_cast<WCHAR*>(W("ann"))),
            S_OK);
  EXPECT_EQ(bridge->RegisterEvents(), S_OK);
  EXPECT_EQ(bridge->ApplyUserPin(), S_OK);

  short pixel = 0, paper = 0, resolution = 0, format = 0, option = 0;
  ASSERT_EQ(bridge->GetScanSettings(&pixel, &paper, &resolution, &format, &option), S_OK);
  EXPECT_EQ(bridge->SetScanSettings(const_cast<WCHAR*>(W("whole session")), 2, 1, 300, 2, 0, 0),
            S_OK);

  ASSERT_EQ(bridge->RefreshItemList(&count), S_OK);
  std::vector<int> mine;
  for (int index = 0; index < count; ++index) {
    ScopedBstr document, thumbnail;
    if (bridge->GetItemPreview(index, &document, &thumbnail) == S_OK) mine.push_back(index);
  }
  ASSERT_FALSE(mine.empty());
  ASSERT_EQ(bridge->SetSelection(mine.data(), static_cast<int>(mine.size())), S_OK);

  TW_IMAGEINFO info = {};
  ASSERT_EQ(bridge->GetImageInfo(&info, 0), S_OK);
  int left = 0;
  ASSERT_EQ(bridge->AdvancePage(1, &left, 0), S_OK);
  int pages = 0;
  std::vector<BYTE> buffer(64 * 1024);
  while (left > 0 && pages < 100) {
    ScopedBstr name;
    int page = 0;
    ASSERT_EQ(bridge->GetCurrentItemName(&name, &page), S_OK);
    ASSERT_EQ(bridge->GetImageInfo(&info, 1), S_OK);
    int status = 9;
    ASSERT_EQ(bridge->PrepareTransfer(0, 0, 0, 0, 0, 0, 0, 0, &status), S_OK);
    STI_TRANSFER_REQUEST request = {};
    request.operation = 1;
    request.itemName = name.value;
    BITMAPINFOHEADER header = {};
    ASSERT_EQ(
        bridge->ReadImageHeader(&request, reinterpret_cast<BYTE*>(&header), sizeof header, &status),
        S_OK);
    EXPECT_EQ(status, 6);
    int reads = 0;
    do {
      ASSERT_EQ(
          bridge->ReadImageData(&request, buffer.data(), static_cast<int>(buffer.size()), &status),
          S_OK);
    } while (status == 0 && ++reads < 1000);
    EXPECT_EQ(status, 6) << "page " << page;
    ++pages;
    ASSERT_TRUE(SUCCEEDED(bridge->AdvancePage(0, &left, 0)));
  }
  EXPECT_EQ(pages, 8) << "the default office's pages of this user";
  EXPECT_EQ(bridge->Close(), S_OK);
  EXPECT_EQ(bridge->Release(), 0u);
}

// An object released without Close, wherever its session stands, hands back
// everything as Close would, in Close's order: the settings block, the list
// and the capability block, each by FreeDriverBlock, then the end of access.
// Afterwards the driver has none of its blocks out, access has ended, and no
// STI object of the session lives on. An object closed first sends nothing
// more at its release.
TEST_P(WholeSessionTest, ReleasedWithoutCloseHandsEverythingBack)
{
  struct Stage {
    const char* name;
    int reach;            // 0 selected, 1 opened, 2 listed, set up and selected, 3 and closed
    const char* release;  // what the driver sees of the last Release
  };
  const Stage stages[] = {
      {"selected", 0, ""},
      {"opened", 1, "L E4110/0 U L E4112/0 U"},
      {"listed, set up and selected", 2, "L E4110/2 U L E4110/4 U L E4110/0 U L E4112/0 U"},
      {"closed first", 3, ""},
  };
  const DWORD device = 1;  // "Lab MFP" of the default office
  for (const Stage& stage : stages) {
    SCOPED_TRACE(stage.name);
    ASSERT_EQ(StiSimLoadDefaultScenarioUnder(GetParam().json), S_OK);
    const LONG roots = StiSimLiveObjects(STISIM_OBJECT_ROOT);
    const LONG devices = StiSimLiveObjects(STISIM_OBJECT_DEVICE);
    IStiScannerComBridge* bridge = NewBridge();
    ASSERT_NE(bridge, nullptr);
    ASSERT_EQ(bridge->InitializeSti(), S_OK);
    int count = 0, family = 0;
    ScopedBstr names;
    ASSERT_EQ(bridge->EnumerateDevices(&count, &names), S_OK);
    ASSERT_EQ(bridge->SelectDeviceByName(const_cast<WCHAR*>(W("Lab MFP")), &family), S_OK);
    if (stage.reach >= 1) {
      ASSERT_EQ(bridge->OpenDevice(const_cast<WCHAR*>(W("LAB")), const_cast<WCHAR*>(W("ann")),
                                   const_cast<WCHAR*>(W("ann"))),
                S_OK);
      EXPECT_EQ(bridge->RegisterEvents(), S_OK);
    }
    if (stage.reach >= 2) {
      EXPECT_EQ(bridge->ApplyUserPin(), S_OK);
      ASSERT_EQ(bridge->RefreshItemList(&count), S_OK);
      ASSERT_EQ(bridge->ReleaseItemList(), S_OK);
      WCHAR found[260] = {};
      EXPECT_EQ(bridge->FindItemNameByDriverValue(found), S_OK) << "lists again, and holds it";
      short v[5] = {};
      ASSERT_EQ(bridge->GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]), S_OK);
      int first = 0;
      ASSERT_EQ(bridge->SetSelection(&first, 1), S_OK);
      TW_IMAGEINFO info = {};
      EXPECT_EQ(bridge->GetImageInfo(&info, 0), S_OK);
      EXPECT_GT(StiSimOutstandingBlocks(device, STISIM_BLOCK_SETTINGS), 0);
      EXPECT_GT(StiSimOutstandingBlocks(device, STISIM_BLOCK_ITEM_LIST), 0);
    }
    if (stage.reach >= 3) {
      EXPECT_EQ(bridge->Close(), S_OK);
    }
    StiSimClearJournal();
    EXPECT_EQ(bridge->Release(), 0u);
    EXPECT_EQ(session::JournalText(), stage.release);
    for (DWORD kind : {STISIM_BLOCK_CAPABILITIES, STISIM_BLOCK_SETTINGS, STISIM_BLOCK_ITEM_LIST})
      EXPECT_EQ(StiSimOutstandingBlocks(device, kind), 0) << "kind " << kind;
    EXPECT_EQ(StiSimAccessCount(device), 0);
    EXPECT_EQ(StiSimLiveObjects(STISIM_OBJECT_ROOT), roots);
    EXPECT_EQ(StiSimLiveObjects(STISIM_OBJECT_DEVICE), devices);
  }
}

}  // namespace

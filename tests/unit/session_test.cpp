// One whole session as a data source runs it, in-process: open, list, the
// settings, every page of every job the user may access read to its end,
// close; under the default driver conduct and each of tests/conducts.json.
// scripts/test also runs this test under valgrind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conducts.h"
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

}  // namespace

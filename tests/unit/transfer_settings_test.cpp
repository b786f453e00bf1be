// Scan settings: the translation tables both ways through a round trip with
// the simulated driver, the composed job name, the checked and unchecked
// writes, the block's life, and the stored file format of the current item.
#include <gtest/gtest.h>

#include "com/unique.h"
#include "unit/bridge_session.h"

namespace {

using session::EscapesSent;
using session::JournalText;
using session::Text;
using simtest::Fault;

constexpr WCHAR kUserKey[] = W("Software\\StibridgeTests\\Settings");
const std::string kUserData =
    R"("deviceData": {"UserDataKey": "Software\\StibridgeTests\\Settings"})";
const std::string kJob = R"({"itemName": "a.tif"})";

// The client's five values, and the size flag that goes out with them.
struct Values {
  short pixelType = -9, paperSize = -9, resolution = -9, fileFormat = -9, optionFlag = -9;
};

LONG Sent(DWORD property)
{
  LONG value = -12345;
  EXPECT_EQ(StiSimLastSettingsValue(0, property, &value), S_OK) << property;
  return value;
}

Text SentJobName()
{
  WCHAR name[300] = {};
  StiSimLastJobName(0, name, 300);
  return name;
}

// A prefix of 260 units or more is stored without a terminator (and one
// that fills 520 bytes then reads back cut).
void StorePrefix(const Text& prefix)
{
  const Text buffer = prefix + W("x");
  const DWORD units = DWORD(prefix.size() < 260 ? prefix.size() + 1 : prefix.size());
  UniqueKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kUserKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, key.Put(), nullptr),
            ERROR_SUCCESS);
  const BYTE* data =
      reinterpret_cast<const BYTE*>(prefix.size() < 260 ? prefix.c_str() : buffer.c_str());
  ASSERT_EQ(RegSetValueExW(key.Get(), W("ann_LAB"), 0, REG_SZ, data, units * sizeof(WCHAR)),
            ERROR_SUCCESS);
}

class ScanSettingsTest : public session::UserKeySessionTest {
 protected:
  ScanSettingsTest() : UserKeySessionTest(kUserKey) {}
  void Open(const std::string& extra = "") { OpenOn(session::OneDevice(kJob, kUserData + extra)); }
  HRESULT Get(Values& v)
  {
    return bridge->GetScanSettings(&v.pixelType, &v.paperSize, &v.resolution, &v.fileFormat,
                                   &v.optionFlag);
  }
  HRESULT Set(const WCHAR* title, short pixel, short paper, short resolution, short format,
              short sizeFlag, short option)
  {
    return bridge->SetScanSettings(const_cast<WCHAR*>(title), pixel, paper, resolution, format,
                                   sizeFlag, option);
  }
};

TEST_F(ScanSettingsTest, EveryEncodingRowGoesOutAndReadsBackAsTheTablesSay)
{
  struct Case {
    short pixel, paper, resolution, format, sizeFlag, option;
    LONG dataType, paperCode, resolutionCode, formatCode, optionCode;
    Values back;
  };
  // clang-format off
  const Case cases[] = {
      // Resolutions: 75 has no code of its own and goes out as 600's.
      {2, 1, 72, 0, 0, 1,    3, 10, 6, 1, 1,  {2, 1, 72, 0, 1}},
      {2, 1, 100, 0, 0, 0,   3, 10, 0, 1, 0,  {2, 1, 100, 0, 0}},
      {2, 1, 150, 0, 0, 0,   3, 10, 5, 1, 0,  {2, 1, 150, 0, 0}},
      {2, 1, 200, 0, 0, 0,   3, 10, 1, 1, 0,  {2, 1, 200, 0, 0}},
      {2, 1, 300, 0, 0, 0,   3, 10, 2, 1, 0,  {2, 1, 300, 0, 0}},
      {2, 1, 400, 0, 0, 0,   3, 10, 3, 1, 0,  {2, 1, 400, 0, 0}},
      {2, 1, 600, 0, 0, 0,   3, 10, 4, 1, 0,  {2, 1, 600, 0, 0}},
      {2, 1, 75, 0, 0, 0,    3, 10, 4, 1, 0,  {2, 1, 600, 0, 0}},
      // Pixel types: grey goes out as black and white.
      {1, 0, 300, 2, 0, 0,   0, 0, 2, 5, 0,   {0, 0, 300, 2, 0}},
      {0, 0, 300, 2, 0, 0,   0, 0, 2, 5, 0,   {0, 0, 300, 2, 0}},
      // Paper sizes, with and without the size flag.
      {2, 3, 300, 4, 0, 0,   3, 0, 2, 0, 0,   {2, 0, 300, 4, 0}},
      {2, 52, 300, 6, 0, 0,  3, 3, 2, 2, 0,   {2, 3, 300, 6, 0}},
      {2, 52, 300, 6, 1, 0,  3, 2, 2, 2, 0,   {2, 52, 300, 6, 0}},
      {2, 9, 300, 7, 0, 0,   3, 7, 2, 2, 0,   {2, 10, 300, 6, 0}},
      {2, 10, 300, 0, 0, 0,  3, 7, 2, 1, 0,   {2, 10, 300, 0, 0}},
      {2, 1, 300, 0, 1, 0,   3, 11, 2, 1, 0,  {2, 1, 300, 0, 0}},
      {2, 5, 300, 0, 0, 0,   3, 8, 2, 1, 0,   {2, 5, 300, 0, 0}},
      {2, 5, 300, 0, 1, 0,   3, 9, 2, 1, 0,   {2, 5, 300, 0, 0}},
      {2, 4, 300, 0, 1, 0,   3, 6, 2, 1, 0,   {2, 4, 300, 0, 0}},
      {2, 11, 300, 0, 0, 0,  3, 12, 2, 1, 0,  {2, 11, 300, 0, 0}},
      // Any non-zero option is on.
      {2, 0, 300, 0, 0, 5,   3, 0, 2, 1, 1,   {2, 0, 300, 0, 1}},
  };
  // clang-format on
  Open();
  Values first;
  ASSERT_EQ(Get(first), S_OK);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "pixel " << c.pixel << " paper " << c.paper << "/"
                                    << c.sizeFlag << " resolution " << c.resolution << " format "
                                    << c.format << " option " << c.option);
    StiSimClearJournal();
    EXPECT_EQ(Set(W("t"), c.pixel, c.paper, c.resolution, c.format, c.sizeFlag, c.option), S_OK);
    EXPECT_EQ(Sent(4103), c.dataType);
    EXPECT_EQ(Sent(38917), c.paperCode);
    EXPECT_EQ(Sent(6147), c.resolutionCode);
    EXPECT_EQ(Sent(38933), c.formatCode);
    EXPECT_EQ(Sent(38918), c.optionCode);
    EXPECT_EQ(Sent(38920), 0);
    EXPECT_EQ(Sent(38938), 3);
    EXPECT_EQ(Sent(38936), 0);
    EXPECT_EQ(Sent(38949), 0);
    EXPECT_EQ(Sent(38953), 0);
    Values back;
    EXPECT_EQ(Get(back), S_OK);
    EXPECT_EQ(back.pixelType, c.back.pixelType);
    EXPECT_EQ(back.paperSize, c.back.paperSize);
    EXPECT_EQ(back.resolution, c.back.resolution);
    EXPECT_EQ(back.fileFormat, c.back.fileFormat);
    EXPECT_EQ(back.optionFlag, c.back.optionFlag);
    EXPECT_EQ(JournalText(), "L E4107/0 U L E4111/0 U")
        << "the held block is decoded again; access begins each time";
  }
}

TEST_F(ScanSettingsTest, DecodingCoversEveryDriverCode)
{
  struct Case {
    DWORD property;
    LONG code;
    short Values::*field;
    short value;
  };
  const Case cases[] = {
      {4103, 2, &Values::pixelType, 1},      {4103, 3, &Values::pixelType, 2},
      {4103, 0, &Values::pixelType, 0},      {4103, 1, &Values::pixelType, 0},
      {6147, 9, &Values::resolution, 600},   {6147, -1, &Values::resolution, 600},
      {38917, -1, &Values::paperSize, 3},    {38917, 1, &Values::paperSize, 52},
      {38917, 4, &Values::paperSize, 3},     {38917, 5, &Values::paperSize, 3},
      {38917, 8, &Values::paperSize, 5},     {38917, 9, &Values::paperSize, 5},
      {38917, 10, &Values::paperSize, 1},    {38917, 13, &Values::paperSize, 3},
      {38917, 99999, &Values::paperSize, 3}, {38933, 3, &Values::fileFormat, 2},
      {38933, 5, &Values::fileFormat, 2},    {38933, 0, &Values::fileFormat, 4},
      {38918, 2, &Values::optionFlag, 0},    {38918, 1, &Values::optionFlag, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.property << " = " << c.code);
    Open(R"(, "settings": [{"id": )" + std::to_string(c.property) + R"(, "value": )" +
         std::to_string(c.code) + "}]");
    Values v;
    EXPECT_EQ(Get(v), S_OK);
    EXPECT_EQ(v.*c.field, c.value);
    // The other four are absent from the block: the caller's values stay.
    int untouched = 0;
    for (short Values::*f : {&Values::pixelType, &Values::paperSize, &Values::resolution,
                             &Values::fileFormat, &Values::optionFlag})
      untouched += f != c.field && v.*f == -9 ? 1 : 0;
    EXPECT_EQ(untouched, 4);
  }
  // A later record of an identifier wins; a block with no records writes
  // nothing.
  Open(R"(, "settings": [{"id": 6147, "value": 1}, {"id": 6147, "value": 5}])");
  Values v;
  EXPECT_EQ(Get(v), S_OK);
  EXPECT_EQ(v.resolution, 150);
  Open(R"(, "settings": [])");
  Values none;
  EXPECT_EQ(Get(none), S_OK);
  EXPECT_EQ(none.resolution, -9);
}

TEST_F(ScanSettingsTest, TheJobNameIsThePrefixAndTheTitlesTokens)
{
  struct Case {
    const WCHAR* title;
    const WCHAR* jobName;
  };
  const Case cases[] = {
      {W("a b"), W("P__a_b")},
      {W("  Quarterly,report\tQ3\nfinal  "), W("P__Quarterly_report_Q3_final")},
      {W(" ,\t\n"), W("P_")},
      {W(""), W("P_")},
  };
  StorePrefix(W("P"));
  Open();
  Values v;
  ASSERT_EQ(Get(v), S_OK);
  for (const Case& c : cases) {
    EXPECT_EQ(Set(c.title, 2, 1, 300, 0, 0, 0), S_OK);
    EXPECT_EQ(SentJobName(), c.jobName);
  }
  WCHAR store[300] = {};
  StiSimLastStoreId(0, store, 300);
  EXPECT_EQ(Text(store), W("ann"));

  // With the prefix the name is cut to 127 units; without a usable prefix it
  // keeps up to 259.
  Text longTitle;
  for (int i = 0; i < 100; ++i) longTitle += W("ab ");
  EXPECT_EQ(Set(longTitle.c_str(), 2, 1, 300, 0, 0, 0), S_OK);
  EXPECT_EQ(SentJobName().size(), 127u);
  EXPECT_EQ(SentJobName().substr(0, 8), W("P__ab_ab"));
  StorePrefix(Text(260, W('p')));
  EXPECT_EQ(Set(longTitle.c_str(), 2, 1, 300, 0, 0, 0), S_OK);
  EXPECT_EQ(SentJobName().size(), 259u) << "the tokens stop when the name is full";
  EXPECT_EQ(SentJobName().substr(0, 6), W("_ab_ab"));
  EXPECT_EQ(SentJobName().back(), W('_')) << "the last token that did not fit is cut";
}

TEST_F(ScanSettingsTest, MissingRecordsFailOnlyAmongTheCheckedSix)
{
  // The default records less 38920: the first five writes land in the
  // block, the sixth fails, and nothing is sent.
  const std::string without38920 = R"(, "settings": [{"id": 4103, "value": 0},
      {"id": 38933, "value": 1}, {"id": 6147, "value": 0}, {"id": 38917, "value": 0},
      {"id": 38918, "value": 0}, {"id": 38938, "value": 3}, {"id": 38953, "value": 7}])";
  Open(without38920);
  Values v;
  ASSERT_EQ(Get(v), S_OK);
  StiSimClearJournal();
  EXPECT_EQ(Set(W("t"), 2, 11, 150, 2, 0, 1), E_FAIL);
  EXPECT_EQ(EscapesSent(4107), 0);
  const driver::SettingsBlock* block = BridgeTestAccess::ScanSettings(bridge);
  auto held = [&](DWORD id) {
    return driver::FindProperty(block->properties, block->propertyCount, id)->Int32();
  };
  EXPECT_EQ(held(4103), 3);
  EXPECT_EQ(held(38917), 12);
  EXPECT_EQ(held(38918), 1);
  EXPECT_EQ(held(38953), 7) << "not reached";

  // Without 38953 (one of the last four) the settings still go out.
  Open(R"(, "settings": [{"id": 4103, "value": 0}, {"id": 38933, "value": 1},
      {"id": 6147, "value": 0}, {"id": 38917, "value": 0}, {"id": 38918, "value": 0},
      {"id": 38920, "value": 9}])");
  ASSERT_EQ(Get(v), S_OK);
  EXPECT_EQ(Set(W("t"), 2, 11, 150, 2, 0, 1), S_OK);
  EXPECT_EQ(Sent(38920), 0);
}

TEST_F(ScanSettingsTest, TheBlockIsFetchedOnceAndForgottenWhenHandedBack)
{
  Open();
  Values v;
  EXPECT_EQ(Set(W("t"), 2, 1, 300, 0, 0, 0), E_FAIL) << "no block yet";
  EXPECT_EQ(bridge->SendScanSettings(), E_FAIL);
  EXPECT_EQ(bridge->ReleaseScanSettings(), E_FAIL);
  EXPECT_EQ(JournalText(), "");
  ASSERT_EQ(Get(v), S_OK);
  ASSERT_EQ(Get(v), S_OK);
  EXPECT_EQ(JournalText(), "L E4111/0 U L E4105/0 U L E4111/0 U");
  EXPECT_EQ(StiSimAccessCount(0), 2) << "EndAccess is the client's or Close's";

  StiSimClearJournal();
  EXPECT_EQ(bridge->ReleaseScanSettings(), S_OK);
  EXPECT_EQ(bridge->ReleaseScanSettings(), E_FAIL) << "the block was forgotten";
  EXPECT_EQ(JournalText(), "L E4110/2 U");
  EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_SETTINGS), 0);
  ASSERT_EQ(Get(v), S_OK);
  EXPECT_EQ(EscapesSent(4105), 1) << "a new block";

  // Close hands back the settings block, the item list and the capability
  // block, in that order, and ends access.
  int count = 0;
  ASSERT_EQ(bridge->RefreshItemList(&count), S_OK);
  StiSimClearJournal();
  bridge->Close();
  EXPECT_EQ(JournalText(), "L E4110/2 U L E4110/4 U L E4110/0 U L E4112/0 U");
}

TEST_F(ScanSettingsTest, FailuresOfTheExchanges)
{
  Open();
  Values v;
  // BeginAccess fails first: nothing else happens.
  session::AddFault(Fault(4111, STISIM_FAULT_FAIL, E_ACCESSDENIED));
  EXPECT_EQ(Get(v), E_FAIL);
  EXPECT_EQ(EscapesSent(4105), 0);
  StiSimClearFaults();
  session::AddFault(Fault(4105, STISIM_FAULT_FAIL, E_ACCESSDENIED));
  EXPECT_EQ(Get(v), E_ACCESSDENIED);
  EXPECT_EQ(BridgeTestAccess::ScanSettings(bridge), nullptr);
  StiSimClearFaults();
  session::AddFault(Fault(4105, STISIM_FAULT_EMPTY));
  EXPECT_EQ(Get(v), E_FAIL) << "success without a block";
  StiSimClearFaults();
  // The block arrives and the unlock fails: the failure is reported, and the
  // block is kept, decoded by the next call without a second fetch and
  // handed back by ReleaseScanSettings.
  StiSimFault unlock = Fault(STISIM_TARGET_UNLOCK, STISIM_FAULT_FAIL, E_UNEXPECTED);
  unlock.skip = 1;  // BeginAccess's
  unlock.times = 1;
  session::AddFault(unlock);
  EXPECT_EQ(Get(v), E_UNEXPECTED);
  EXPECT_NE(BridgeTestAccess::ScanSettings(bridge), nullptr);
  StiSimClearJournal();
  EXPECT_EQ(Get(v), S_OK);
  EXPECT_EQ(EscapesSent(4105), 0);
  EXPECT_EQ(bridge->ReleaseScanSettings(), S_OK);
  EXPECT_EQ(StiSimOutstandingBlocks(0, STISIM_BLOCK_SETTINGS), 0);
  StiSimClearFaults();

  ASSERT_EQ(Get(v), S_OK);
  session::AddFault(Fault(4107, STISIM_FAULT_FAIL, E_ACCESSDENIED));
  EXPECT_EQ(bridge->SendScanSettings(), E_ACCESSDENIED);
  EXPECT_EQ(Set(W("t"), 2, 1, 300, 0, 0, 0), E_FAIL) << "every failure is E_FAIL";
  StiSimClearFaults();
  EXPECT_EQ(bridge->SetScanSettings(nullptr, 2, 1, 300, 0, 0, 0), E_POINTER);

  session::AddFault(Fault(4110, STISIM_FAULT_FAIL, E_ACCESSDENIED));
  EXPECT_EQ(bridge->ReleaseScanSettings(), E_ACCESSDENIED);
  EXPECT_NE(BridgeTestAccess::ScanSettings(bridge), nullptr) << "the driver did not take it";
  StiSimClearFaults();
  session::LockTimesOut();
  EXPECT_EQ(bridge->SendScanSettings(), E_FAIL) << "a lock failure is E_FAIL here";
  EXPECT_EQ(bridge->ReleaseScanSettings(), STIERR_DEVICE_LOCKED) << "and the lock's own here";
  EXPECT_EQ(bridge->ReleaseCapabilities(), STIERR_DEVICE_LOCKED);
}

TEST_F(ScanSettingsTest, TheCurrentItemsStoredFormatHasItsOwnNarrowerDecoding)
{
  struct Case {
    LONG code;
    short format;
  };
  const Case cases[] = {{0, 4}, {1, 0}, {2, 6}, {5, 2}, {3, -9}, {-1, -9}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    OpenWithList(session::OneDevice(R"({"itemName": "a.tif", "fileFormat": )" +
                                    std::to_string(c.code) + "}"));
    short format = -9;
    EXPECT_EQ(bridge->GetCurrentItemFormat(&format), E_FAIL) << "no selection";
    int index = 0;
    ASSERT_EQ(bridge->SetSelection(&index, 1), S_OK);
    EXPECT_EQ(bridge->GetCurrentItemFormat(&format), S_OK);
    EXPECT_EQ(format, c.format);
  }
}

}  // namespace

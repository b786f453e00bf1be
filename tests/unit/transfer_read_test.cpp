// Image data reads: the driver's answer becomes the client's TWAIN status.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/sim_api.h"
#include "sim/tests/sim_test_support.h"
#include "unit/bridge_test_access.h"
#include "unit/test_support.h"

namespace {

using simtest::Fault;

class ReadImageDataTest : public QuitRecordingTest {
 protected:
  void SetUp() override
  {
    QuitRecordingTest::SetUp();
    Open("{}");
    request.operation = 1;
    request.itemName = itemName;
  }
  void TearDown() override
  {
    StiSimClearFaults();
    StiSimSetLockTimeoutOverride(0);
    bridge->Close();
    EXPECT_EQ(bridge->Release(), 0u);
    QuitRecordingTest::TearDown();
  }
  // A scanner with one page of 16 x 8 pixels of 24 bits (384 bytes of DIB
  // rows) and a job whose name is 259 units long, under the driver conduct
  // `conduct` (a JSON object), and a new bridge object on it.
  void Open(const std::string& conduct)
  {
    if (bridge != nullptr) {
      bridge->Close();
      bridge->Release();
    }
    const std::string longName(259, 'x');
    ASSERT_EQ(StiSimLoadScenarioJson((R"({"name": "read", "conduct": )" + conduct +
                                      R"(, "devices": [{"index": 0,
        "description": "Tarvo Quartz TWAIN Scanner", "localName": "Quartz",
        "users": [{"storeId": "ann"}],
        "jobs": [{"itemName": "one.bmp", "pages": 1, "width": 16, "height": 8},
                 {"itemName": ")" + longName +
                                      R"(", "width": 4, "height": 2}]}]})")
                                         .c_str()),
              S_OK);
    bridge = NewBridge();
    ASSERT_EQ(bridge->InitializeSti(), S_OK);
    ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);
    StiSimClearJournal();
  }
  // Reads the whole page `chunk` bytes at a time into a buffer the caller
  // filled with 0xEE, keeping `chunk` bytes of each read, and checks that the
  // last read left the caller's bytes past the page's end alone.
  std::vector<BYTE> ReadPage(int chunk)
  {
    constexpr size_t kPageBytes = 384;
    std::vector<BYTE> page;
    int status = 0;
    for (int reads = 0; status == 0 && reads < 100; ++reads) {
      std::memset(buffer, 0xEE, sizeof buffer);
      EXPECT_EQ(bridge->ReadImageData(&request, buffer, chunk, &status), S_OK);
      page.insert(page.end(), buffer, buffer + chunk);
    }
    EXPECT_EQ(status, 6);
    EXPECT_GE(page.size(), kPageBytes);
    const size_t lastChunkBytes = kPageBytes % static_cast<size_t>(chunk);
    for (size_t i = lastChunkBytes; lastChunkBytes != 0 && i < static_cast<size_t>(chunk); ++i)
      EXPECT_EQ(buffer[i], 0xEE) << "byte " << i << " of the last read";
    page.resize(kPageBytes);
    return page;
  }
  IStiScannerComBridge* bridge = nullptr;
  WCHAR itemName[16] = W("one.bmp");
  STI_TRANSFER_REQUEST request{};
  BYTE buffer[4096] = {};
};

TEST_F(ReadImageDataTest, DriverResultsBecomeTwainStatus)
{
  struct Case {
    HRESULT driver;
    int status;
  };
  const Case cases[] = {{S_OK, 0}, {S_FALSE, 6}, {E_FAIL, 1}, {E_INVALIDARG, 1}};
  for (const Case& c : cases) {
    StiSimClearFaults();
    StiSimFault fault = Fault(4103, STISIM_FAULT_FAIL, c.driver);
    ASSERT_EQ(StiSimAddFault(&fault), S_OK);
    int status = 99;
    EXPECT_EQ(bridge->ReadImageData(&request, buffer, sizeof buffer, &status), S_OK);
    EXPECT_EQ(status, c.status) << std::hex << c.driver;
  }
}

TEST_F(ReadImageDataTest, SendsThePageAndTheBufferSizeInTheSizeWord)
{
  request.page = 7;
  int status = 99;
  EXPECT_EQ(bridge->ReadImageData(&request, buffer, 1000, &status), S_OK);
  EXPECT_EQ(status, 6) << "the driver got the walk's page 1 (it has no page 7)";
  EXPECT_EQ(request.page, 7u) << "the caller's [in] request stays as it was";
  StiSimJournalEntry escape{};
  ASSERT_TRUE(StiSimJournalAt(1, &escape));
  EXPECT_EQ(escape.code, 4103u);
  EXPECT_EQ(escape.inSize, 32u);
  EXPECT_EQ(escape.outSize, 1000u);
  EXPECT_EQ(escape.sizeBefore, 1000u);
}

TEST_F(ReadImageDataTest, WholePageEndsWithTransferDone)
{
  int status = 0, reads = 0;
  do {
    ASSERT_EQ(bridge->ReadImageData(&request, buffer, 100, &status), S_OK);
  } while (status == 0 && ++reads < 100);
  EXPECT_EQ(status, 6);
}

TEST_F(ReadImageDataTest, BadInputAndLockFailureReportFailure)
{
  int status = 99;
  EXPECT_EQ(bridge->ReadImageData(&request, nullptr, 0, &status), S_OK);
  EXPECT_EQ(status, 1) << "no buffer";
  EXPECT_EQ(bridge->ReadImageData(&request, buffer, 10, nullptr), E_POINTER);
  EXPECT_EQ(bridge->ReadImageData(nullptr, buffer, 10, &status), E_POINTER);
  status = 99;
  EXPECT_EQ(bridge->ReadImageData(&request, buffer, -1, &status), E_INVALIDARG);
  EXPECT_EQ(status, 1);

  StiSimFault fault = Fault(STISIM_TARGET_LOCK, STISIM_FAULT_TIMEOUT, S_OK);
  ASSERT_EQ(StiSimAddFault(&fault), S_OK);
  StiSimSetLockTimeoutOverride(20);
  status = 99;
  EXPECT_EQ(bridge->ReadImageData(&request, buffer, 10, &status), E_FAIL);
  EXPECT_EQ(status, 1);

  IStiScannerComBridge* unopened = NewBridge();
  status = 99;
  EXPECT_EQ(unopened->ReadImageData(&request, buffer, 10, &status), E_FAIL);
  EXPECT_EQ(status, 1);
  unopened->Release();
}

// The size word means nothing after a data read: whatever the driver leaves
// there (the bytes delivered, the buffer's size, 0, the whole transfer, what
// is left, more than the buffer holds), every byte it delivered reaches the
// caller, and the caller's bytes past them stay as they were.
TEST_F(ReadImageDataTest, EveryByteArrivesWhateverTheSizeWordSays)
{
  const std::vector<BYTE> delivered = ReadPage(100);
  for (const char* word : {"untouched", "zero", "total", "remaining", "beyond"}) {
    Open(std::string(R"({"dataSizeWord": ")") + word + "\"}");
    EXPECT_EQ(ReadPage(100), delivered) << word;
    EXPECT_EQ(ReadPage(4096), delivered) << word << ", in one read";
  }
  // A failed read delivers nothing and touches nothing.
  std::memset(buffer, 0xEE, sizeof buffer);
  StiSimFault fault = Fault(4103, STISIM_FAULT_FAIL, E_FAIL);
  ASSERT_EQ(StiSimAddFault(&fault), S_OK);
  int status = 99;
  EXPECT_EQ(bridge->ReadImageData(&request, buffer, sizeof buffer, &status), S_OK);
  EXPECT_EQ(status, 1);
  for (size_t i = 0; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
}

// Every read gives the driver its item name in a zero-filled buffer of 260
// units, whatever the client's request points at: a driver that reads the
// whole buffer finds a short name, and a name of 300 units is cut to 259.
TEST_F(ReadImageDataTest, RequestNamesReachTheDriverInTheirWholeBuffer)
{
  Open(R"({"requestName": "whole"})");
  const std::basic_string<WCHAR> longName(300, W('x'));
  struct Case {
    const WCHAR* name;
    int status;
  };
  const Case cases[] = {{itemName, 6}, {longName.c_str(), 6}, {nullptr, 1}};
  for (const Case& c : cases) {
    STI_TRANSFER_REQUEST read = request;
    read.itemName = const_cast<WCHAR*>(c.name);
    int status = 99;
    EXPECT_EQ(bridge->ReadImageData(&read, buffer, sizeof buffer, &status), S_OK);
    EXPECT_EQ(status, c.status);
    int size = 0;
    status = 99;
    EXPECT_EQ(bridge->QueryTransferSize(&read, &size, &status), c.status == 6 ? S_OK : E_FAIL);
    BITMAPINFOHEADER header = {};
    EXPECT_EQ(
        bridge->ReadImageHeader(&read, reinterpret_cast<BYTE*>(&header), sizeof header, &status),
        S_OK);
    EXPECT_EQ(status, c.status);
    BSTR text = nullptr;
    int length = 0;
    status = 99;
    EXPECT_EQ(bridge->ReadItemString(&read, &text, &length, &status), S_OK);
    EXPECT_EQ(text != nullptr, c.status == 6);
    SysFreeString(text);
  }
  EXPECT_EQ(StiSimBreachCount(), 0u);
}

}  // namespace

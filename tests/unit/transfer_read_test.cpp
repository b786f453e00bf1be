// Image data reads: the driver's answer becomes the client's TWAIN status.
#include <gtest/gtest.h>

#include <cstring>

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
    ASSERT_EQ(StiSimLoadScenarioJson(R"({"name": "read", "devices": [{"index": 0,
        "description": "Tarvo Quartz TWAIN Scanner", "localName": "Quartz",
        "users": [{"storeId": "ann"}],
        "jobs": [{"itemName": "one.bmp", "pages": 1, "width": 16, "height": 8}]}]})"),
              S_OK);
    bridge = NewBridge();
    ASSERT_EQ(bridge->InitializeSti(), S_OK);
    ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);
    request.operation = 1;
    request.itemName = itemName;
    StiSimClearJournal();
  }
  void TearDown() override
  {
    StiSimClearFaults();
    StiSimSetLockTimeoutOverride(0);
    bridge->Close();
    EXPECT_EQ(bridge->Release(), 0u);
    QuitRecordingTest::TearDown();
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

TEST_F(ReadImageDataTest, WhatTheDriverDidNotFillIsZeroed)
{
  // The page's data is 16 x 8 pixels of 24 bits: 384 bytes, all in the
  // first read.
  std::memset(buffer, 0xEE, sizeof buffer);
  int status = 99;
  EXPECT_EQ(bridge->ReadImageData(&request, buffer, sizeof buffer, &status), S_OK);
  EXPECT_EQ(status, 6);
  for (size_t i = 384; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0) << i;
  // A failed read delivers nothing: the whole buffer is zeroed.
  std::memset(buffer, 0xEE, sizeof buffer);
  StiSimFault fault = Fault(4103, STISIM_FAULT_FAIL, E_FAIL);
  ASSERT_EQ(StiSimAddFault(&fault), S_OK);
  EXPECT_EQ(bridge->ReadImageData(&request, buffer, sizeof buffer, &status), S_OK);
  EXPECT_EQ(status, 1);
  for (size_t i = 0; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0) << i;
}

}  // namespace

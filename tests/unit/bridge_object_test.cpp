// The bridge object's start values and its own small methods.
#include <gtest/gtest.h>

#include "bridge/bridge.h"
#include "server/class_factory.h"
#include "unit/bridge_test_access.h"
#include "unit/test_support.h"

namespace {

class BridgeObjectTest : public QuitRecordingTest {
 protected:
  void SetUp() override
  {
    QuitRecordingTest::SetUp();
    bridge = NewBridge();
    ASSERT_NE(bridge, nullptr);
  }
  void TearDown() override
  {
    EXPECT_EQ(bridge->Release(), 0u);
    QuitRecordingTest::TearDown();
  }
  IStiScannerComBridge* bridge = nullptr;
};

TEST_F(BridgeObjectTest, NewObjectReportsStartValues)
{
  int family = 5, last = 5, page = 5, pages = 5;
  EXPECT_EQ(bridge->GetDeviceFamily(&family), S_OK);
  EXPECT_EQ(bridge->GetLastItemIndex(&last), S_OK);
  EXPECT_EQ(bridge->GetPagePosition(&page, &pages), S_OK);
  EXPECT_EQ(family, -1);
  EXPECT_EQ(last, -1);
  EXPECT_EQ(page, 1);
  EXPECT_EQ(pages, 0);
  EXPECT_EQ(bridge->Reserved1(), S_OK);
  EXPECT_EQ(bridge->Reserved2(), S_OK);
}

TEST_F(BridgeObjectTest, NullOutPointersAreRefused)
{
  int value = 0;
  EXPECT_EQ(bridge->GetDeviceFamily(nullptr), E_POINTER);
  EXPECT_EQ(bridge->GetLastItemIndex(nullptr), E_POINTER);
  EXPECT_EQ(bridge->GetPagePosition(nullptr, &value), E_POINTER);
  EXPECT_EQ(bridge->GetPagePosition(&value, nullptr), E_POINTER);
  EXPECT_EQ(bridge->GetServerFileName(nullptr), E_POINTER);
}

TEST_F(BridgeObjectTest, ServerFileNameIsFourCharactersFromTheSecond)
{
  struct Case {
    const WCHAR* modulePath;
    const WCHAR* expected;
  };
  const Case cases[] = {
      {W("C:\\Program Files\\Scan\\abcdefgh.exe"), W("bcde")},
      {W("C:\\Program Files\\Scan\\ab.exe"), W("b.ex")},
      {W("C:\\x\\stibridge.exe"), W("tibr")},
      {W("abc"), W("bc")},
  };
  for (const Case& c : cases) {
    platform_hooks::SetModulePath(c.modulePath);
    ScopedBstr name;
    ASSERT_EQ(bridge->GetServerFileName(&name), S_OK);
    ASSERT_NE(name.value, nullptr);
    EXPECT_EQ(std::basic_string<WCHAR>(name.value), c.expected);
  }
}

TEST_F(BridgeObjectTest, ServerFileNameFailsWithoutAModulePath)
{
  platform_hooks::SetModulePath(W(""));
  ScopedBstr name;
  name.value = SysAllocString(W("kept"));
  EXPECT_EQ(bridge->GetServerFileName(&name), E_FAIL);
  EXPECT_EQ(std::basic_string<WCHAR>(name.value), W("kept"));
}

TEST_F(BridgeObjectTest, ServerFileNameOfTheRealExecutable)
{
  ScopedBstr name;
  ASSERT_EQ(bridge->GetServerFileName(&name), S_OK);
  // The unit suite is stibridge_unit_tests[.exe].
  EXPECT_EQ(std::basic_string<WCHAR>(name.value), W("tibr"));
}

}  // namespace

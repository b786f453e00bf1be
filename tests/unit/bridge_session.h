// A bridge object opened on a simulated scanner the way a data source opens
// it, for the tests of the catalogue and the transfer: one scenario device,
// selected, opened with the profile strings, and closed and released again at
// the end of the test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "server/registration.h"
#include "sim/sim_api.h"
#include "sim/tests/sim_test_support.h"
#include "unit/bridge_test_access.h"
#include "unit/test_support.h"

namespace session {

using Text = std::basic_string<WCHAR>;

// One served scanner (family 2) with the user "ann", its stored `jobs` (a JSON
// array's contents) and `extra` members of the device (JSON, without the
// leading comma), whose driver behaves as `conduct` says (a JSON object).
inline std::string OneDevice(const std::string& jobs, const std::string& extra = "",
                             const std::string& conduct = "{}")
{
  return R"({"name": "session", "conduct": )" + conduct + R"(, "devices": [{"index": 0,
      "description": "Tarvo Alder 5100MFP TWAIN", "localName": "Lab",
      "users": [{"storeId": "ann", "pin": "4711"}], "jobs": [)" +
         jobs + "]" + (extra.empty() ? "" : ", " + extra) + "}]}";
}

// The journal as "L", "E<code>/<size word before>", "U" tokens.
inline std::string JournalText()
{
  std::string text;
  for (const StiSimJournalEntry& e : simtest::Journal()) {
    if (!text.empty()) text += " ";
    if (e.kind == STISIM_JOURNAL_LOCK) text += "L";
    if (e.kind == STISIM_JOURNAL_UNLOCK) text += "U";
    if (e.kind == STISIM_JOURNAL_ESCAPE)
      text += "E" + std::to_string(e.code) + "/" + std::to_string(e.sizeBefore);
  }
  return text;
}

// How many escapes of `code` the journal holds.
inline int EscapesSent(DWORD code)
{
  int n = 0;
  for (const StiSimJournalEntry& e : simtest::Journal())
    n += e.kind == STISIM_JOURNAL_ESCAPE && e.code == code ? 1 : 0;
  return n;
}

inline void AddFault(const StiSimFault& fault)
{
  ASSERT_EQ(StiSimAddFault(&fault), S_OK);
}

// A lock that times out (after a short wait) on every request from now on.
inline void LockTimesOut()
{
  AddFault(simtest::Fault(STISIM_TARGET_LOCK, STISIM_FAULT_TIMEOUT, S_OK));
  StiSimSetLockTimeoutOverride(20);
}

inline Text BstrText(BSTR s)
{
  return s == nullptr ? Text() : Text(s, SysStringLen(s));
}

class BridgeSessionTest : public QuitRecordingTest {
 protected:
  void TearDown() override
  {
    StiSimClearFaults();
    StiSimSetLockTimeoutOverride(0);
    if (bridge != nullptr) {
      bridge->Close();
      EXPECT_EQ(bridge->Release(), 0u);
    }
    QuitRecordingTest::TearDown();
  }

  // Loads the scenario, selects its served device and opens it with the
  // profile strings (qualifier, name, store); the journal starts empty.
  void OpenOn(const std::string& json, const WCHAR* qualifier = W("LAB"),
              const WCHAR* name = W("ann"), const WCHAR* store = W("ann"))
  {
    // A table-driven test opens again for each case.
    if (bridge != nullptr) {
      bridge->Close();
      bridge->Release();
      bridge = nullptr;
    }
    if (StiSimLoadScenarioJson(json.c_str()) != S_OK) {
      char why[512] = {};
      StiSimLastError(why, sizeof why);
      FAIL() << why << "\n" << json;
    }
    bridge = NewBridge();
    ASSERT_NE(bridge, nullptr);
    ASSERT_EQ(bridge->InitializeSti(), S_OK);
    ASSERT_EQ(bridge->SelectLaunchDevice(), S_OK);
    ASSERT_EQ(bridge->OpenDevice(const_cast<WCHAR*>(qualifier), const_cast<WCHAR*>(name),
                                 const_cast<WCHAR*>(store)),
              S_OK);
    StiSimClearJournal();
  }

  // Loads and opens, then refreshes the item list; `count` is what it holds.
  void OpenWithList(const std::string& json)
  {
    OpenOn(json);
    ASSERT_EQ(bridge->RefreshItemList(&count), S_OK);
    StiSimClearJournal();
  }

  IStiScannerComBridge* bridge = nullptr;
  int count = -1;
};

// A session whose tests use the user's settings key `userKey` (under
// HKEY_CURRENT_USER): it is removed before and after each test, so that every
// test starts as a user whose key does not exist yet.
class UserKeySessionTest : public BridgeSessionTest {
 protected:
  explicit UserKeySessionTest(const WCHAR* key) : userKey(key) {}
  void SetUp() override
  {
    BridgeSessionTest::SetUp();
    DeleteKeyTree(HKEY_CURRENT_USER, userKey);
  }
  void TearDown() override
  {
    BridgeSessionTest::TearDown();
    DeleteKeyTree(HKEY_CURRENT_USER, userKey);
  }
  const WCHAR* userKey;
};

}  // namespace session

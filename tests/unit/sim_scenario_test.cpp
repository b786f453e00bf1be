// The scenario reader's limits: times that name a moment that exists and
// 32-bit numbers read without wrapping round. Each refusal names the member
// it is about.
#include <string>

#include "sim/tests/sim_test_support.h"

using namespace simtest;

namespace {

std::string LastError()
{
  char reason[256] = {};
  StiSimLastError(reason, sizeof reason);
  return reason;
}

std::string JobAt(const std::string& time)
{
  return R"({"devices": [{"index": 1, "jobs": [{"itemName": "a", "time": ")" + time + R"("}]}]})";
}

TEST(SimScenarioReader, TimesNameAMomentThatExists)
{
  struct Case {
    const char* time;
    bool read;
  };
  const Case cases[] = {
      {"2024-02-29T23:59:59", true},  {"2000-02-29T00:00:00", true},
      {"1601-01-01T00:00:00", true},  {"9999-12-31T23:59:59", true},
      {"2025-02-29T10:00:00", false},  // found by fuzzing
      {"1900-02-29T00:00:00", false}, {"2024-04-31T00:00:00", false},
      {"2024-00-10T00:00:00", false}, {"1600-12-31T23:59:59", false},
      {"2024-01-15T-1:00:00", false}, {"2024-01-15T10:-5:00", false},
      {"2024-01-15T24:00:00", false}, {"2024-01-15T10:30:60", false},
      {"2024-1-15T10:30:00", false},  {" 2024-01-15T10:30:00", false},
      {"+024-01-15T10:30:00", false}, {"2024-01-15T10:30:00Z", false},
      {"2024-01-15 10:30:00", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StiSimLoadScenarioJson(JobAt(c.time).c_str()), c.read ? S_OK : E_INVALIDARG)
        << c.time;
    if (!c.read) {
      EXPECT_NE(LastError().find("jobs[0].time"), std::string::npos) << LastError();
    }
  }
}

class SimScenarioNumbers : public SimTest {};

// A device value given as a JSON number becomes a REG_DWORD of those 32 bits.
TEST_F(SimScenarioNumbers, AreThirtyTwoBitsWithoutWrapping)
{
  struct Case {
    const char* value;
    bool read;
    DWORD stored;
  };
  const Case cases[] = {
      {"4294967295", true, 0xFFFFFFFFu},  {"-2147483648", true, 0x80000000u},
      {"-1", true, 0xFFFFFFFFu},          {"0", true, 0},
      {"4294967296", false, 0},           {"-2147483649", false, 0},
      {"18446744073709551615", false, 0},  // was read as -1
      {"9223372036854775808", false, 0},  {"1.5", false, 0},
  };
  for (const Case& c : cases) {
    const std::string json =
        std::string(R"({"devices": [{"index": 0, "deviceData": {"N": )") + c.value + "}}]}";
    ASSERT_EQ(StiSimLoadScenarioJson(json.c_str()), c.read ? S_OK : E_INVALIDARG) << c.value;
    if (!c.read) {
      EXPECT_NE(LastError().find("deviceData.N"), std::string::npos) << LastError();
      continue;
    }
    Text name = InternalName(0);
    DWORD type = 0, number = 0, size = sizeof number;
    ASSERT_EQ(sti->GetDeviceValue(name.data(), const_cast<LPWSTR>(W("N")), &type,
                                  reinterpret_cast<BYTE*>(&number), &size),
              S_OK);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(number, c.stored) << c.value;
  }
}

// Codes are easier to read in hexadecimal, so a string of digits in C
// notation is a number too; nothing but digits may start it or follow them.
TEST(SimScenarioReader, NumbersInStringsAreDigitsOnly)
{
  struct Case {
    const char* hresult;
    bool read;
  };
  const Case cases[] = {
      {R"("0x80004005")", true},
      {R"("0xFFFFFFFF")", true},
      {R"("017")", true},
      {R"("12")", true},
      {R"("-4294967295")", false},  // was read as 1
      {R"("-0")", false},
      {R"(" 12")", false},
      {R"("+12")", false},
      {R"("12\u0000x")", false},
      {R"("")", false},
      {R"("0x")", false},
      {R"("0x100000000")", false},
      {R"("99999999999999999999999")", false},
  };
  for (const Case& c : cases) {
    const std::string json =
        std::string(R"({"faults": [{"target": "lock", "mode": "fail", "hresult": )") + c.hresult +
        "}]}";
    EXPECT_EQ(StiSimLoadScenarioJson(json.c_str()), c.read ? S_OK : E_INVALIDARG) << c.hresult;
    if (!c.read) {
      EXPECT_NE(LastError().find("faults[0].hresult"), std::string::npos) << LastError();
    }
  }
  // The faults of the last scenario read must not reach later tests.
  ASSERT_EQ(StiSimLoadDefaultScenario(), S_OK);
}

TEST(SimScenarioReader, NameMustBeAString)
{
  EXPECT_EQ(StiSimLoadScenarioJson(R"({"name": 5})"), E_INVALIDARG);
  EXPECT_EQ(LastError().rfind("name: expected a string", 0), 0u) << LastError();
}

// A job's thumbnail and its deletion at the panel: known values only, each
// refusal naming the member.
TEST(SimScenarioReader, ThumbnailAndPanelDeletionTakeTheirValuesOnly)
{
  struct Case {
    const char* members;
    const char* refused;  // the member the message names; null: read
  };
  const Case cases[] = {
      {R"("thumbnail": "written")", nullptr},
      {R"("thumbnail": "missing")", nullptr},
      {R"("thumbnail": "corrupt")", nullptr},
      {R"("deletedAfterMs": 0)", nullptr},
      {R"("deletedAfterMs": 86400000)", nullptr},
      {R"("arrivesAfterMs": 100, "deletedAfterMs": 101)", nullptr},
      {R"("thumbnail": "Written")", "jobs[0].thumbnail: expected one of written, missing, corrupt"},
      {R"("thumbnail": true)", "jobs[0].thumbnail"},
      {R"("thumbnail": null)", "jobs[0].thumbnail"},
      {R"("deletedAfterMs": -1)", "jobs[0].deletedAfterMs"},
      {R"("deletedAfterMs": "soon")", "jobs[0].deletedAfterMs"},
      {R"("deletedAfterMs": 86400001)", "jobs[0].deletedAfterMs: at most a day"},
      {R"("arrivesAfterMs": 100, "deletedAfterMs": 100)",
       "jobs[0].deletedAfterMs: must be later than arrivesAfterMs"},
      {R"("arrivesAfterMs": 100, "deletedAfterMs": 50)", "jobs[0].deletedAfterMs"},
  };
  for (const Case& c : cases) {
    const std::string json =
        std::string(R"({"devices": [{"index": 1, "jobs": [{"itemName": "a", )") + c.members +
        "}]}]}";
    EXPECT_EQ(StiSimLoadScenarioJson(json.c_str()), c.refused ? E_INVALIDARG : S_OK) << c.members;
    if (c.refused != nullptr) {
      EXPECT_NE(LastError().find(c.refused), std::string::npos) << LastError();
    }
  }
  ASSERT_EQ(StiSimLoadDefaultScenario(), S_OK);
}

TEST(SimScenarioReader, KeepDeletionsIsASwitch)
{
  EXPECT_EQ(StiSimLoadScenarioJson(R"({"keepDeletions": true})"), S_OK);
  EXPECT_EQ(StiSimLoadScenarioJson(R"({"keepDeletions": false})"), S_OK);
  EXPECT_EQ(StiSimLoadScenarioJson(R"({"keepDeletions": 1})"), E_INVALIDARG);
  EXPECT_EQ(LastError().rfind("keepDeletions", 0), 0u) << LastError();
  ASSERT_EQ(StiSimLoadDefaultScenario(), S_OK);
}

}  // namespace

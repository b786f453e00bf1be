// Random faults from a scenario's "chaos" member: reproducible from the seed,
// held to the rate and the modes, short lock time-outs, and never in the way
// of a scenario's own faults or of a scenario without chaos.
#include <chrono>
#include <string>
#include <vector>

#include "sim/tests/sim_test_support.h"

using namespace simtest;

namespace {

constexpr HRESULT kDeviceFailure = static_cast<HRESULT>(0x8007001F);  // ERROR_GEN_FAILURE
constexpr DWORD kRealItems = 3;

std::string Scenario(const std::string& chaos, const std::string& faults = "[]",
                     const std::string& more = "")
{
  return R"({"devices": [{"index": 1, "description": "Tarvo Alder 5100MFP TWAIN",
                          "localName": "Lab MFP", "users": [{"storeId": "ann"}],
                          "jobs": [{"itemName": "a.tif"}, {"itemName": "b.tif"},
                                   {"itemName": "c.tif"}]}],
             "faults": )" +
         faults + (chaos.empty() ? "" : R"(, "chaos": )" + chaos) + more + "}";
}

class ChaosTest : public testing::Test {
 protected:
  void TearDown() override
  {
    Drop();
    StiSimLoadDefaultScenario();
  }

  // Loads the scenario and makes a device object of its one device.
  void Load(const std::string& json)
  {
    Drop();
    ASSERT_EQ(StiSimLoadScenarioJson(json.c_str()), S_OK) << LastError();
    ASSERT_EQ(StiCreateInstanceW(GetModuleHandleW(nullptr),
                                 STI_VERSION_REAL | STI_VERSION_FLAG_UNICODE, &sti, nullptr),
              S_OK);
    Text name = InternalName(0);
    ASSERT_EQ(sti->CreateDevice(name.data(), STI_DEVICE_CREATE_STATUS, &device, nullptr), S_OK);
  }

  void Drop()
  {
    if (device != nullptr) device->Release();
    if (sti != nullptr) sti->Release();
    device = nullptr;
    sti = nullptr;
  }

  static std::string LastError()
  {
    char text[256] = {};
    StiSimLastError(text, sizeof text);
    return text;
  }

  // The item list as the driver answers it; its records go back at once.
  HRESULT ItemList(LONG& count)
  {
    driver::ItemListHeader header{};
    DWORD size = 0;
    HRESULT hr = device->Escape(static_cast<DWORD>(driver::EscapeCode::GetItemList), store, 8,
                                &header, sizeof header, &size);
    count = header.count;
    if (header.items != nullptr) {
      size = static_cast<DWORD>(driver::BlockKind::ItemList);
      device->Escape(static_cast<DWORD>(driver::EscapeCode::FreeDriverBlock), &header,
                     sizeof header, nullptr, 0, &size);
    }
    return hr;
  }

  // One locked exchange; what the lock, the list and the unlock answered.
  std::string Exchange()
  {
    char text[64];
    HRESULT lock = device->LockDevice(4000);
    LONG count = -1;
    HRESULT list = SUCCEEDED(lock) ? ItemList(count) : E_ABORT;
    HRESULT unlock = SUCCEEDED(lock) ? device->UnLockDevice() : E_ABORT;
    auto hex = [](HRESULT hr) { return static_cast<unsigned>(static_cast<DWORD>(hr)); };
    std::snprintf(text, sizeof text, "%08x %08x %ld %08x", hex(lock), hex(list),
                  static_cast<long>(count), hex(unlock));
    return text;
  }

  std::vector<std::string> Exchanges(int n)
  {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(Exchange());
    return out;
  }

  IStillImageW* sti = nullptr;
  IStiDevice* device = nullptr;
  WCHAR store[260] = W("ann");
};

TEST_F(ChaosTest, BadChaosMembersAreRefusedWithTheirName)
{
  const char* bad[] = {
      R"({"rate": 1.5})",
      R"({"seed": 1})",
      R"({"rate": 0.1, "seed": -1})",
      R"({"rate": 0.1, "modes": ["explode"]})",
      R"({"rate": 0.1, "targets": ["device"]})",
      R"({"rate": 0.1, "countDelta": 0})",
      R"({"rate": 0.1, "sometimes": true})",
  };
  for (const char* chaos : bad) {
    EXPECT_EQ(StiSimLoadScenarioJson(Scenario(chaos).c_str()), E_INVALIDARG) << chaos;
    EXPECT_NE(LastError().find("chaos"), std::string::npos) << chaos << ": " << LastError();
  }
}

TEST_F(ChaosTest, TheSameSeedMeetsTheSameFaultsAndAnotherSeedOthers)
{
  const std::string chaos = R"({"seed": 42, "rate": 0.3, "lockTimeoutMs": 0,
                                "hresult": "0x8007001F", "countDelta": 2})";
  Load(Scenario(chaos));
  std::vector<std::string> first = Exchanges(150);
  const DWORD injected = StiSimChaosInjected();
  Load(Scenario(chaos));
  EXPECT_EQ(Exchanges(150), first);
  EXPECT_EQ(StiSimChaosInjected(), injected);
  EXPECT_GT(injected, 30u);

  Load(Scenario(R"({"seed": 43, "rate": 0.3, "lockTimeoutMs": 0, "countDelta": 2})"));
  EXPECT_NE(Exchanges(150), first);
}

TEST_F(ChaosTest, RateZeroAndNoChaosLeaveEveryCallAlone)
{
  for (const std::string& chaos : {std::string(R"({"seed": 1, "rate": 0})"), std::string()}) {
    Load(Scenario(chaos));
    for (const std::string& exchange : Exchanges(200))
      ASSERT_EQ(exchange, "00000000 00000000 3 00000000") << chaos;
    EXPECT_EQ(StiSimChaosInjected(), 0u);
    for (const StiSimJournalEntry& entry : Journal()) EXPECT_EQ(entry.chaos, 0u);
  }
}

TEST_F(ChaosTest, TheRateHoldsOverManyCalls)
{
  Load(Scenario(R"({"seed": 7, "rate": 0.05, "modes": ["fail"], "targets": ["lock"]})"));
  int failed = 0;
  for (int i = 0; i < 4000; ++i) {
    if (device->LockDevice(4000) == E_FAIL)
      ++failed;
    else
      device->UnLockDevice();
  }
  // 200 expected; the bounds are more than four standard deviations away.
  EXPECT_GT(failed, 140);
  EXPECT_LT(failed, 260);
  EXPECT_EQ(StiSimChaosInjected(), static_cast<DWORD>(failed));
}

TEST_F(ChaosTest, TargetsAndModesDecideWhatFailsAndHow)
{
  struct Case {
    const char* chaos;
    const char* expected;  // lock, list, count and unlock, as Exchange reports them
  };
  const Case cases[] = {
      // Only the escape fails: the lock is taken and given up as usual.
      {R"({"rate": 1, "modes": ["fail"], "targets": ["escape"], "hresult": "0x8007001F"})",
       "00000000 8007001f 0 00000000"},
      // The lock fails; nothing is sent.
      {R"({"rate": 1, "modes": ["fail"], "hresult": "0x8007001F"})",
       "8007001f 80004004 -1 80004004"},
      // A lock cannot be empty: only the escape answers with no block.
      {R"({"rate": 1, "modes": ["empty"]})", "00000000 00000000 0 00000000"},
      // An escape that times out.
      {R"({"rate": 1, "modes": ["timeout"], "targets": ["escape"], "delayMs": 1})",
       "00000000 800705b4 0 00000000"},
      // The unlock fails, but gives the lock up all the same.
      {R"({"rate": 1, "modes": ["fail"], "targets": ["unlock"], "hresult": "0x8007001F"})",
       "00000000 00000000 3 8007001f"},
  };
  for (const Case& c : cases) {
    Load(Scenario(c.chaos));
    EXPECT_EQ(Exchange(), c.expected) << c.chaos;
    EXPECT_EQ(device->UnLockDevice(), STIERR_NEEDS_LOCK) << c.chaos;
  }
  // Lock, list, its hand-back, the failing unlock and the second one.
  std::vector<StiSimJournalEntry> journal = Journal();
  ASSERT_EQ(journal.size(), 5u);
  EXPECT_EQ(journal[3].kind, STISIM_JOURNAL_UNLOCK);
  EXPECT_EQ(journal[3].chaos, STISIM_FAULT_FAIL);
  EXPECT_EQ(journal[4].chaos, 0u);
}

TEST_F(ChaosTest, AnInjectedLockTimeOutWaitsItsOwnShortTime)
{
  Load(Scenario(R"({"rate": 1, "modes": ["timeout"], "targets": ["lock"], "lockTimeoutMs": 40})"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(device->LockDevice(4000), STIERR_DEVICE_LOCKED);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  EXPECT_GE(elapsed, 35);
  EXPECT_LT(elapsed, 2000);
  DWORD error = 0;
  device->GetLastError(&error);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_TIMEOUT));
  std::vector<StiSimJournalEntry> journal = Journal();
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(journal[0].code, 4000u);  // what the caller asked for
  EXPECT_EQ(journal[0].chaos, STISIM_FAULT_TIMEOUT);
  // Nobody holds the device afterwards.
  EXPECT_EQ(device->UnLockDevice(), STIERR_NEEDS_LOCK);
}

TEST_F(ChaosTest, WrongCountsAreOffByUpToTheDeltaBothWays)
{
  Load(Scenario(R"({"seed": 3, "rate": 1, "modes": ["mismatch"], "countDelta": 2})"));
  ASSERT_EQ(device->LockDevice(4000), S_OK);
  bool over = false, under = false;
  for (int i = 0; i < 60; ++i) {
    LONG count = 0;
    ASSERT_EQ(ItemList(count), S_OK);
    const LONG off = count - static_cast<LONG>(kRealItems);
    EXPECT_TRUE(off != 0 && off >= -2 && off <= 2) << count;
    over = over || off > 0;
    under = under || off < 0;
  }
  EXPECT_TRUE(over && under);
  EXPECT_EQ(device->UnLockDevice(), S_OK);
}

TEST_F(ChaosTest, AScenariosOwnFaultComesFirst)
{
  Load(Scenario(
      R"({"rate": 1, "modes": ["fail"], "targets": ["escape"], "hresult": "0x8007001F"})",
      R"([{"target": "GetItemList", "mode": "fail", "hresult": "0x80070005", "times": 1}])"));
  ASSERT_EQ(device->LockDevice(4000), S_OK);
  LONG count = 0;
  EXPECT_EQ(ItemList(count), E_ACCESSDENIED);
  EXPECT_EQ(ItemList(count), kDeviceFailure);
  EXPECT_EQ(device->UnLockDevice(), S_OK);
  std::vector<StiSimJournalEntry> journal = Journal();
  ASSERT_GE(journal.size(), 3u);
  EXPECT_EQ(journal[1].chaos, 0u);
  EXPECT_EQ(journal[2].chaos, STISIM_FAULT_FAIL);
}

// A long run keeps its server's memory flat with a bounded journal; the
// journal file still gets every entry.
TEST_F(ChaosTest, AJournalLimitKeepsOnlyTheLastEntriesInMemory)
{
  struct Case {
    const char* more;
    size_t kept;
  };
  // Each exchange journals a lock, the list, its hand-back and an unlock.
  for (const Case& c :
       {Case{"", 12}, Case{R"(, "journalLimit": 5)", 5}, Case{R"(, "journalLimit": 0)", 0}}) {
    Load(Scenario("", "[]", c.more));
    Exchanges(3);
    std::vector<StiSimJournalEntry> journal = Journal();
    ASSERT_EQ(journal.size(), c.kept) << c.more;
    if (c.kept > 0) {
      EXPECT_EQ(journal.back().kind, STISIM_JOURNAL_UNLOCK);
    }
    if (c.kept == 5) {
      // The last five: the second exchange's unlock is the oldest one kept.
      EXPECT_EQ(journal.front().kind, STISIM_JOURNAL_UNLOCK);
    }
  }
}

}  // namespace

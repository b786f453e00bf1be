// The device lock: shared by every device object of one device in the
// process, with a real time-out.
#include <chrono>
#include <thread>

#include "sim/tests/sim_test_support.h"

using namespace simtest;

namespace {

class LockTest : public SimTest {
 protected:
  void SetUp() override
  {
    SimTest::SetUp();
    first = Create(kLabDevice);
    second = Create(kLabDevice);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
  }
  void TearDown() override
  {
    if (first) first->Release();
    if (second) second->Release();
    SimTest::TearDown();
  }

  // Milliseconds a LockDevice call of `device` took, with its result.
  static long Timed(IStiDevice* device, DWORD timeout, HRESULT& hr)
  {
    auto start = std::chrono::steady_clock::now();
    hr = device->LockDevice(timeout);
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
  }

  IStiDevice* first = nullptr;
  IStiDevice* second = nullptr;
};

TEST_F(LockTest, ASecondDeviceObjectsFourSecondRequestFailsAfterFourSeconds)
{
  ASSERT_EQ(first->LockDevice(4000), S_OK);
  HRESULT hr = S_OK;
  long elapsed = Timed(second, 4000, hr);
  EXPECT_EQ(hr, STIERR_DEVICE_LOCKED);
  EXPECT_GE(elapsed, 3950);
  EXPECT_LT(elapsed, 4800);
  DWORD error = 0;
  EXPECT_EQ(second->GetLastError(&error), S_OK);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_TIMEOUT));
  // The holder still holds it; the loser cannot release it.
  EXPECT_EQ(second->UnLockDevice(), STIERR_NEEDS_LOCK);
  EXPECT_EQ(first->UnLockDevice(), S_OK);
  std::vector<StiSimJournalEntry> journal = Journal();
  ASSERT_GE(journal.size(), 2u);
  EXPECT_EQ(journal[1].kind, STISIM_JOURNAL_LOCK);
  EXPECT_GE(journal[1].elapsedMs, 3950u);
}

TEST_F(LockTest, TheOverrideShortensTheWait)
{
  StiSimSetLockTimeoutOverride(150);
  ASSERT_EQ(first->LockDevice(4000), S_OK);
  HRESULT hr = S_OK;
  long elapsed = Timed(second, 4000, hr);
  EXPECT_EQ(hr, STIERR_DEVICE_LOCKED);
  EXPECT_GE(elapsed, 140);
  EXPECT_LT(elapsed, 1500);
  EXPECT_EQ(first->UnLockDevice(), S_OK);
  EXPECT_EQ(second->LockDevice(4000), S_OK);
  EXPECT_EQ(second->UnLockDevice(), S_OK);
}

TEST_F(LockTest, AWaiterGetsTheLockWhenTheHolderUnlocks)
{
  ASSERT_EQ(first->LockDevice(4000), S_OK);
  HRESULT waited = E_FAIL;
  long elapsed = 0;
  std::thread waiter([&] { elapsed = Timed(second, 4000, waited); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(first->UnLockDevice(), S_OK);
  waiter.join();
  EXPECT_EQ(waited, S_OK);
  EXPECT_LT(elapsed, 3000);
  EXPECT_EQ(second->UnLockDevice(), S_OK);
}

TEST_F(LockTest, ReleasingTheHolderFreesTheLockAndOtherDevicesDoNotContend)
{
  IStiDevice* floor = Create(kFloorDevice);
  ASSERT_EQ(first->LockDevice(100), S_OK);
  EXPECT_EQ(floor->LockDevice(100), S_OK);  // a different device
  EXPECT_EQ(floor->UnLockDevice(), S_OK);
  floor->Release();
  // The same object may lock again while it holds the lock.
  EXPECT_EQ(first->LockDevice(100), S_OK);
  first->Release();
  first = nullptr;
  EXPECT_EQ(second->LockDevice(100), S_OK);
  EXPECT_EQ(second->UnLockDevice(), S_OK);
}

TEST_F(LockTest, LockFaultsFailOrTimeOut)
{
  StiSimFault fail = Fault(STISIM_TARGET_LOCK, STISIM_FAULT_FAIL, E_ACCESSDENIED);
  fail.times = 1;
  StiSimAddFault(&fail);
  EXPECT_EQ(first->LockDevice(4000), E_ACCESSDENIED);
  EXPECT_EQ(first->UnLockDevice(), STIERR_NEEDS_LOCK);

  StiSimSetLockTimeoutOverride(100);
  StiSimFault late = Fault(STISIM_TARGET_LOCK, STISIM_FAULT_TIMEOUT);
  late.times = 1;
  StiSimAddFault(&late);
  HRESULT hr = S_OK;
  long elapsed = Timed(first, 4000, hr);
  EXPECT_EQ(hr, STIERR_DEVICE_LOCKED);
  EXPECT_GE(elapsed, 90);
  // Nobody holds the device after a timed-out request.
  EXPECT_EQ(second->LockDevice(10), S_OK);

  StiSimFault unlock = Fault(STISIM_TARGET_UNLOCK, STISIM_FAULT_FAIL, E_FAIL);
  unlock.times = 1;
  StiSimAddFault(&unlock);
  EXPECT_EQ(second->UnLockDevice(), E_FAIL);
  EXPECT_EQ(first->LockDevice(10), S_OK);  // given up all the same
  EXPECT_EQ(first->UnLockDevice(), S_OK);
  EXPECT_EQ(first->GetLastError(nullptr), E_INVALIDARG);
}

}  // namespace

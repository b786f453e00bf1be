// Shared fixtures of the unit suite.
#pragma once

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "server/lifetime.h"
#include "sim/sim_api.h"

// Records quit decisions instead of posting WM_QUIT, and checks that a test
// leaves no object alive and no server lock held.
class QuitRecordingTest : public testing::Test {
 protected:
  void SetUp() override
  {
    quits = 0;
    SetQuitActionForTesting([] { ++quits; });
    ASSERT_EQ(objectCount, 0) << "an earlier test leaked an object";
    serverLockCount = 0;
  }
  void TearDown() override
  {
    EXPECT_EQ(objectCount, 0) << "the test leaked an object";
    // Whatever the test did, the bridge never broke the driver protocol.
    EXPECT_EQ(StiSimBreachCount(), 0u) << "the simulated driver saw a breach (see its journal)";
    serverLockCount = 0;
    SetQuitActionForTesting(nullptr);
    platform_hooks::Reset();
  }
  static int QuitCount() { return quits; }

 private:
  static inline int quits = 0;
};

// An outer unknown that counts every call made on it.
struct QueryCountingUnknown : IUnknown {
  int calls = 0;
  LONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
  {
    ++calls;
    if (object != nullptr) *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override
  {
    ++calls;
    return static_cast<ULONG>(++refs);
  }
  ULONG STDMETHODCALLTYPE Release() override
  {
    ++calls;
    return static_cast<ULONG>(--refs);
  }
};

// Owns a BSTR for the length of a test.
struct ScopedBstr {
  BSTR value = nullptr;
  ~ScopedBstr() { SysFreeString(value); }
  BSTR* operator&() { return &value; }
};

// Helpers for the simulator's unit tests: a loaded scenario, the STI root
// object, device objects and escapes with their size word.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/driver_protocol.h"
#include "platform/win32.h"
#include "sim/sim_api.h"

namespace simtest {

using Text = std::basic_string<WCHAR>;

// Positions of the default scenario's devices.
inline constexpr DWORD kWiaDevice = 0;
inline constexpr DWORD kLabDevice = 1;
inline constexpr DWORD kOtherMaker = 2;
inline constexpr DWORD kFloorDevice = 3;

inline Text InternalName(DWORD position)
{
  WCHAR name[STI_MAX_INTERNAL_NAME_LENGTH] = {};
  EXPECT_EQ(StiSimDeviceInternalName(position, name, STI_MAX_INTERNAL_NAME_LENGTH), S_OK);
  return name;
}

inline std::vector<StiSimJournalEntry> Journal()
{
  std::vector<StiSimJournalEntry> entries(StiSimJournalCount());
  for (DWORD i = 0; i < entries.size(); ++i) StiSimJournalAt(i, &entries[i]);
  return entries;
}

inline StiSimFault Fault(DWORD target, DWORD mode, HRESULT result = E_FAIL)
{
  StiSimFault f{};
  f.target = target;
  f.mode = mode;
  f.result = result;
  f.countDelta = 1;
  f.device = STISIM_ANY;
  f.operation = STISIM_ANY;
  return f;
}

// The default scenario, the STI root object and nothing else.
class SimTest : public testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_EQ(StiSimLoadDefaultScenario(), S_OK);
    ASSERT_EQ(StiCreateInstanceW(GetModuleHandleW(nullptr),
                                 STI_VERSION_REAL | STI_VERSION_FLAG_UNICODE, &sti, nullptr),
              S_OK);
  }
  void TearDown() override
  {
    if (sti != nullptr) sti->Release();
    StiSimClearFaults();
    StiSimSetLockTimeoutOverride(0);
  }

  IStiDevice* Create(DWORD position)
  {
    IStiDevice* device = nullptr;
    Text name = InternalName(position);
    EXPECT_EQ(sti->CreateDevice(name.data(), STI_DEVICE_CREATE_STATUS, &device, nullptr), S_OK);
    return device;
  }

  IStillImageW* sti = nullptr;
};

// A device object of the Lab scanner that holds the device lock.
class DriverTest : public SimTest {
 protected:
  void SetUp() override
  {
    SimTest::SetUp();
    device = Create(kLabDevice);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->LockDevice(4000), S_OK);
  }
  void TearDown() override
  {
    if (device != nullptr) {
      device->UnLockDevice();
      device->Release();
    }
    SimTest::TearDown();
  }

  // Sends an escape with the size word set to `size`; leaves the word after
  // the call in `sizeAfter`.
  HRESULT Send(driver::EscapeCode code, const void* in, DWORD inSize, void* out, DWORD outSize,
               DWORD size = 0)
  {
    sizeAfter = size;
    return device->Escape(static_cast<DWORD>(code), const_cast<void*>(in), inSize, out, outSize,
                          &sizeAfter);
  }

  driver::ItemListHeader ItemList()
  {
    driver::ItemListHeader header{};
    EXPECT_EQ(Send(driver::EscapeCode::GetItemList, store, 8, &header, sizeof header), S_OK);
    return header;
  }

  void FreeItemList(driver::ItemListHeader& header)
  {
    EXPECT_EQ(Send(driver::EscapeCode::FreeDriverBlock, &header, sizeof header, nullptr, 0,
                   static_cast<DWORD>(driver::BlockKind::ItemList)),
              S_OK);
  }

  // The store identifier in a bridge-sized buffer.
  WCHAR store[260] = W("ann");
  IStiDevice* device = nullptr;
  DWORD sizeAfter = 0;
};

inline Text BstrText(BSTR s)
{
  return s == nullptr ? Text() : Text(s, SysStringLen(s));
}

}  // namespace simtest

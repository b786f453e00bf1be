// Per-user settings in the key the device names ("UserDataKey"): the
// job-name prefix and its defaults, the delete-after-scan option, and the PIN
// that goes to the driver inside the user record. Checked against the
// registry's contents (Wine's real registry on the Windows build).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "com/unique.h"
#include "unit/bridge_session.h"

namespace {

using session::Text;

constexpr WCHAR kUserKey[] = W("Software\\StibridgeTests\\UserSettings");

struct Value {
  LSTATUS status = ERROR_FILE_NOT_FOUND;
  DWORD type = 0;
  std::vector<BYTE> data;
  Text AsText() const
  {
    return session::Text(reinterpret_cast<const WCHAR*>(data.data()), data.size() / 2);
  }
  DWORD Dword() const
  {
    DWORD v = 0xFFFFFFFF;
    if (data.size() == 4) std::memcpy(&v, data.data(), 4);
    return v;
  }
};

Value ReadUserValue(const WCHAR* name)
{
  Value value;
  UniqueKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kUserKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
    return value;
  DWORD size = 0;
  value.status = RegQueryValueExW(key.Get(), name, nullptr, &value.type, nullptr, &size);
  if (value.status != ERROR_SUCCESS) return value;
  value.data.resize(size);
  value.status = RegQueryValueExW(key.Get(), name, nullptr, &value.type, value.data.data(), &size);
  return value;
}

void WriteUserValue(const WCHAR* name, DWORD type, const void* data, DWORD size)
{
  UniqueKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kUserKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, key.Put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
}

// An unterminated text is followed by a non-zero unit in the buffer, or the
// registry would count the terminator after it in.
void WriteUserText(const WCHAR* name, const Text& text, bool terminated = true)
{
  const Text buffer = terminated ? text : text + W("x");
  WriteUserValue(name, REG_SZ, buffer.c_str(),
                 DWORD((text.size() + (terminated ? 1 : 0)) * sizeof(WCHAR)));
}

bool UserKeyExists()
{
  UniqueKey key;
  return RegOpenKeyExW(HKEY_CURRENT_USER, kUserKey, 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

Text LastPin()
{
  WCHAR pin[300] = {};
  EXPECT_EQ(StiSimLastPin(0, pin, 300), S_OK);
  return pin;
}

class UserSettingsTest : public session::UserKeySessionTest {
 protected:
  UserSettingsTest() : UserKeySessionTest(kUserKey) {}
  // Opens as profile `name` with qualifier `qualifier`; the device names the
  // test's user key unless `withUserKey` is false.
  void Open(const WCHAR* qualifier = W("LAB"), const WCHAR* name = W("ann"),
            bool withUserKey = true)
  {
    OpenOn(session::OneDevice(
               R"({"itemName": "a"})",
               withUserKey
                   ? R"("deviceData": {"UserDataKey": "Software\\StibridgeTests\\UserSettings"})"
                   : ""),
           qualifier, name);
  }
  HRESULT Prefix(Text& prefix)
  {
    WCHAR buffer[260];
    std::fill(std::begin(buffer), std::end(buffer), W('#'));
    HRESULT hr = BridgeTestAccess::GetJobNamePrefix(bridge, buffer);
    prefix = buffer;
    return hr;
  }
  // GetDeleteImageOnScan with `on` preset to 7.
  HRESULT DeleteOption(int& on)
  {
    on = 7;
    return bridge->GetDeleteImageOnScan(&on);
  }
};

TEST_F(UserSettingsTest, AFreshUserGetsTheDefaultPrefixAndBothDefaultsWritten)
{
  Open();
  Text prefix;
  EXPECT_EQ(Prefix(prefix), S_OK);
  EXPECT_EQ(prefix, W("ann_LAB"));
  Value stored = ReadUserValue(W("ann_LAB"));
  EXPECT_EQ(stored.status, ERROR_SUCCESS);
  EXPECT_EQ(stored.type, DWORD(REG_SZ));
  EXPECT_EQ(stored.AsText(), Text(W("ann_LAB\0"), 8)) << "text and terminator";
  Value option = ReadUserValue(W("ann_DeleteImageOnScan"));
  EXPECT_EQ(option.type, DWORD(REG_DWORD));
  EXPECT_EQ(option.Dword(), 0u);
}

TEST_F(UserSettingsTest, AStoredPrefixIsReturnedAndTheDefaultsAreNotWrittenAgain)
{
  WriteUserText(W("ann_LAB"), W("Team7"));
  Open();
  Text prefix;
  EXPECT_EQ(Prefix(prefix), S_OK);
  EXPECT_EQ(prefix, W("Team7"));
  EXPECT_EQ(ReadUserValue(W("ann_DeleteImageOnScan")).status, ERROR_FILE_NOT_FOUND);

  // A stored prefix that fills all 520 bytes without a terminator is cut,
  // not read past.
  WriteUserText(W("ann_LAB"), Text(260, W('p')), false);
  EXPECT_EQ(Prefix(prefix), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(prefix, Text(259, W('p')));
}

TEST_F(UserSettingsTest, LongProfileStringsGiveACutPrefixName)
{
  const Text name(100, W('n')), qualifier(100, W('q'));
  Open(qualifier.c_str(), name.c_str());
  Text prefix;
  EXPECT_EQ(Prefix(prefix), S_OK);
  const Text expected = (name + W("_") + qualifier).substr(0, 109);
  EXPECT_EQ(prefix, expected);
  EXPECT_EQ(ReadUserValue(expected.c_str()).status, ERROR_SUCCESS);
  EXPECT_EQ(ReadUserValue((name + W("_DeleteImageOnScan")).c_str()).Dword(), 0u);
}

TEST_F(UserSettingsTest, WithoutAUserKeyTheDefaultPrefixComesWithEFail)
{
  platform_hooks::DenyRegistryKey(W("UserSettings"));
  Open();
  Text prefix;
  EXPECT_EQ(Prefix(prefix), E_FAIL);
  EXPECT_EQ(prefix, W("ann_LAB"));
  int on = 0;
  EXPECT_EQ(DeleteOption(on), S_FALSE);
  EXPECT_EQ(on, 7);
}

TEST_F(UserSettingsTest, TheFirstOptionReadCreatesTheKeyAndTheSecondReadsIt)
{
  Open();
  ASSERT_FALSE(UserKeyExists());
  int on = 0;
  EXPECT_EQ(DeleteOption(on), S_FALSE);
  EXPECT_EQ(on, 7) << "untouched";
  EXPECT_TRUE(UserKeyExists());
  EXPECT_EQ(DeleteOption(on), S_OK);
  EXPECT_EQ(on, 0) << "no value: off";
}

TEST_F(UserSettingsTest, OnlyTheFirstByteOfTheOptionDecides)
{
  struct Case {
    const char* what;
    DWORD type;
    std::vector<BYTE> data;
    int on;
  };
  const Case cases[] = {
      {"DWORD 1", REG_DWORD, {1, 0, 0, 0}, 1}, {"DWORD 256", REG_DWORD, {0, 1, 0, 0}, 0},
      {"DWORD 0", REG_DWORD, {0, 0, 0, 0}, 0}, {"string 0", REG_SZ, {'0', 0, 0, 0}, 1},
      {"empty string", REG_SZ, {0, 0}, 0},     {"no data", REG_BINARY, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteUserValue(W("ann_DeleteImageOnScan"), c.type, c.data.data(), DWORD(c.data.size()));
    Open();
    int on = 0;
    EXPECT_EQ(DeleteOption(on), S_OK);
    EXPECT_EQ(on, c.on);
  }
  Open(W("LAB"), W("bob"));
  int on = 0;
  EXPECT_EQ(DeleteOption(on), S_OK);
  EXPECT_EQ(on, 0) << "another profile's value is not this one's";
}

TEST_F(UserSettingsTest, ThePinSentIsTheStoredOneOnlyWhenItIsUsable)
{
  struct Case {
    const char* what;
    bool write;
    Text pin;
    bool terminated;
    Text sent;
  };
  const Text pin259(259, W('7'));
  const Case cases[] = {
      {"four digits", true, W("0815"), true, W("0815")},
      {"259 units", true, pin259, true, pin259},
      {"260 units without terminator", true, Text(260, W('7')), false, W("")},
      {"empty", true, W(""), true, W("")},
      {"missing", false, W(""), true, W("")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeleteKeyTree(HKEY_CURRENT_USER, kUserKey);
    if (c.write) WriteUserText(W("TrvUserPIN"), c.pin, c.terminated);
    Open();
    StiSimClearJournal();
    EXPECT_EQ(bridge->ApplyUserPin(), S_OK);
    EXPECT_EQ(session::JournalText(), "L E4118/0 U");
    EXPECT_EQ(LastPin(), c.sent);
    driver::UserRecord* record = BridgeTestAccess::UserRecord(bridge);
    const driver::PropertyRecord* slot =
        driver::FindProperty(record->properties, record->propertyCount, 38946);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(session::BstrText(slot->Bstr()), c.sent) << "the record holds the PIN sent";
  }
}

TEST_F(UserSettingsTest, AKeyJustCreatedOrNoneAtAllSendsTheEmptyPin)
{
  Open();
  // The key does not exist yet: ApplyUserPin creates it and sends "".
  EXPECT_EQ(bridge->ApplyUserPin(), S_OK);
  EXPECT_EQ(LastPin(), W(""));
  EXPECT_TRUE(UserKeyExists());

  // The device names no user key.
  WriteUserText(W("TrvUserPIN"), W("1234"));
  Open(W("LAB"), W("ann"), false);
  EXPECT_EQ(bridge->ApplyUserPin(), S_OK);
  EXPECT_EQ(LastPin(), W(""));
}

TEST_F(UserSettingsTest, PinFailuresFollowTheDevice)
{
  WriteUserText(W("TrvUserPIN"), W("2468"));
  Open();
  // Without a device the record still gets the PIN, and nothing is sent.
  IStiDevice* device = BridgeTestAccess::SwapDevice(bridge, nullptr);
  StiSimClearJournal();
  EXPECT_EQ(bridge->ApplyUserPin(), E_FAIL);
  BridgeTestAccess::SwapDevice(bridge, device);
  driver::UserRecord* record = BridgeTestAccess::UserRecord(bridge);
  EXPECT_EQ(session::BstrText(
                driver::FindProperty(record->properties, record->propertyCount, 38946)->Bstr()),
            W("2468"));
  EXPECT_EQ(session::JournalText(), "");

  session::AddFault(simtest::Fault(4118, STISIM_FAULT_FAIL, E_ACCESSDENIED));
  EXPECT_EQ(bridge->ApplyUserPin(), E_ACCESSDENIED);
  StiSimClearFaults();
  session::LockTimesOut();
  EXPECT_EQ(bridge->ApplyUserPin(), E_FAIL) << "a lock failure is E_FAIL";
  StiSimClearFaults();

  // A record without the PIN property, or without properties.
  record->propertyCount = 1;
  EXPECT_EQ(bridge->ApplyUserPin(), E_FAIL);
  record->propertyCount = 0;
  EXPECT_EQ(bridge->ApplyUserPin(), E_FAIL);
  record->propertyCount = 2;
}

}  // namespace

// The registry calls as Windows answers them: dispositions, ERROR_MORE_DATA,
// enumeration and deletion rules, handles to deleted keys, access rights.
// Every test works under its own key below HKCU\Software\stibridge-tests and
// removes it at the end.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace {

using Text = std::basic_string<WCHAR>;

const Text kBase = W("Software\\stibridge-tests\\");

// Deletes a key and everything below it, leaf first.
void DeleteTree(HKEY parent, const Text& path)
{
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  std::vector<Text> children;
  WCHAR name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    children.emplace_back(name, length);
  }
  RegCloseKey(key);
  for (const Text& child : children) DeleteTree(parent, path + W("\\") + child);
  RegDeleteKeyW(parent, path.c_str());
}

class PlatformRegistry : public testing::Test {
 protected:
  void SetUp() override
  {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info->name();
    root = kBase + Text(name.begin(), name.end());
    DeleteTree(HKEY_CURRENT_USER, root);
  }
  void TearDown() override
  {
    platform_hooks::Reset();
    DeleteTree(HKEY_CURRENT_USER, root);
    HKEY leftover = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, root.c_str(), 0, KEY_READ, &leftover),
              ERROR_FILE_NOT_FOUND);
  }

  HKEY Create(const Text& sub, REGSAM access = KEY_ALL_ACCESS, DWORD* disposition = nullptr)
  {
    HKEY key = nullptr;
    Text path = sub.empty() ? root : root + W("\\") + sub;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, access, nullptr, &key,
                              disposition),
              ERROR_SUCCESS);
    return key;
  }

  Text root;
};

TEST_F(PlatformRegistry, CreateReportsDispositionAndCreatesIntermediateKeys)
{
  DWORD disposition = 0;
  HKEY deep = Create(W("a\\b\\c"), KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  RegCloseKey(deep);

  // Names are compared without regard to case.
  HKEY again = Create(W("A\\B\\C"), KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
  RegCloseKey(again);

  HKEY middle = nullptr;
  Text path = root + W("\\a\\b");
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &middle), ERROR_SUCCESS);
  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyExW(middle, W("nope"), 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  RegCloseKey(middle);
}

TEST_F(PlatformRegistry, AStringCountWithoutItsTerminatorGetsItCounted)
{
  HKEY key = Create(W(""));
  // The count leaves out a terminator that follows: it is counted in. Data
  // that goes on without one is stored as given.
  struct Case {
    const WCHAR* data;
    DWORD count, type, stored;
  };
  const Case cases[] = {
      {W("abc"), 6, REG_SZ, 8},        {W("abcd"), 6, REG_SZ, 6},    {W("abc"), 8, REG_SZ, 8},
      {W("abc"), 6, REG_EXPAND_SZ, 8}, {W("abc"), 6, REG_BINARY, 6}, {W("a"), 0, REG_SZ, 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(
        RegSetValueExW(key, W("v"), 0, c.type, reinterpret_cast<const BYTE*>(c.data), c.count),
        ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, W("v"), nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, c.stored) << c.count << " type " << c.type;
  }
}

TEST_F(PlatformRegistry, QueryValueSizesAndMoreData)
{
  HKEY key = Create(W(""));
  const WCHAR text[] = W("scanner");
  ASSERT_EQ(
      RegSetValueExW(key, W("Name"), 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text)),
      ERROR_SUCCESS);

  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(key, W("name"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(size, DWORD(sizeof(text)));

  BYTE small[4];
  size = sizeof(small);
  EXPECT_EQ(RegQueryValueExW(key, W("Name"), nullptr, nullptr, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, DWORD(sizeof(text)));

  WCHAR exact[8] = {};
  size = sizeof(exact);
  EXPECT_EQ(
      RegQueryValueExW(key, W("Name"), nullptr, nullptr, reinterpret_cast<BYTE*>(exact), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(size, DWORD(sizeof(text)));
  EXPECT_EQ(memcmp(exact, text, sizeof(text)), 0);

  size = sizeof(exact);
  EXPECT_EQ(
      RegQueryValueExW(key, W("Other"), nullptr, nullptr, reinterpret_cast<BYTE*>(exact), &size),
      ERROR_FILE_NOT_FOUND);

  DWORD number = 0x12345678;
  ASSERT_EQ(RegSetValueExW(key, W("Name"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                           sizeof(number)),
            ERROR_SUCCESS);
  DWORD read = 0;
  size = sizeof(read);
  EXPECT_EQ(RegQueryValueExW(key, W("Name"), nullptr, &type, reinterpret_cast<BYTE*>(&read), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_DWORD));
  EXPECT_EQ(read, number);

  EXPECT_EQ(RegDeleteValueW(key, W("NAME")), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, W("Name")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, W("Name"), nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(PlatformRegistry, EnumerationOrderEndAndShortBuffer)
{
  for (const WCHAR* name : {W("charlie"), W("Alpha"), W("bravo")}) RegCloseKey(Create(name));
  HKEY key = Create(W(""), KEY_READ);

  const WCHAR* expected[] = {W("Alpha"), W("bravo"), W("charlie")};
  for (DWORD i = 0; i < 3; ++i) {
    WCHAR name[32];
    DWORD length = 32;
    ASSERT_EQ(RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(Text(name), Text(expected[i]));
    EXPECT_EQ(length, DWORD(lstrlenW(expected[i])));
  }
  WCHAR name[32];
  DWORD length = 32;
  EXPECT_EQ(RegEnumKeyExW(key, 3, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);

  // "Alpha" needs six units with its terminator.
  length = 5;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  length = 6;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(length, 5u);
  RegCloseKey(key);
}

TEST_F(PlatformRegistry, DeleteRefusesKeysWithSubkeysAndMissingKeys)
{
  RegCloseKey(Create(W("parent\\child")));
  Text parent = root + W("\\parent");
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, parent.c_str()), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, (parent + W("\\child")).c_str()), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, (parent + W("\\child")).c_str()),
            ERROR_FILE_NOT_FOUND);
  // An empty name deletes the key of the handle itself.
  HKEY self = Create(W("parent"));
  EXPECT_EQ(RegDeleteKeyW(self, W("")), ERROR_SUCCESS);
  RegCloseKey(self);
  HKEY gone = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, parent.c_str(), 0, KEY_READ, &gone),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(PlatformRegistry, HandleToDeletedKeyAnswersKeyDeleted)
{
  HKEY key = Create(W("doomed"));
  Text path = root + W("\\doomed");
  ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str()), ERROR_SUCCESS);

  DWORD value = 1, size = sizeof(value);
  EXPECT_EQ(RegSetValueExW(key, W("v"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           sizeof(value)),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryValueExW(key, W("v"), nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  HKEY child = nullptr;
  EXPECT_EQ(
      RegCreateKeyExW(key, W("child"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
      ERROR_KEY_DELETED);

  // A key created again under the same name is a new key.
  HKEY fresh = Create(W("doomed"));
  EXPECT_EQ(RegQueryValueExW(key, W("v"), nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  RegCloseKey(fresh);
}

TEST_F(PlatformRegistry, ReadOnlyHandleCannotWrite)
{
  RegCloseKey(Create(W("")));
  HKEY key = Create(W(""), KEY_READ);
  DWORD value = 7;
  EXPECT_EQ(RegSetValueExW(key, W("v"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           sizeof(value)),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(key, W("v")), ERROR_ACCESS_DENIED);
  RegCloseKey(key);

  // A write-only handle cannot read.
  HKEY writer = Create(W(""), KEY_SET_VALUE);
  ASSERT_EQ(RegSetValueExW(writer, W("v"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           sizeof(value)),
            ERROR_SUCCESS);
  DWORD size = sizeof(value);
  EXPECT_EQ(RegQueryValueExW(writer, W("v"), nullptr, nullptr, nullptr, &size),
            ERROR_ACCESS_DENIED);
  RegCloseKey(writer);
}

TEST_F(PlatformRegistry, DeniedKeyHookRefusesOpenAndCreate)
{
  RegCloseKey(Create(W("secret")));
  platform_hooks::DenyRegistryKey(W("SECRET"));
  Text path = root + W("\\secret");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &key,
                            nullptr),
            ERROR_ACCESS_DENIED);
  // Only whole names match: "notsecret" is not denied.
  HKEY other = Create(W("notsecret"));
  EXPECT_NE(other, nullptr);
  RegCloseKey(other);
  platform_hooks::Reset();
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

}  // namespace

// SIDs in text and binary form and token membership through the test hook.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"

namespace {

using Text = std::basic_string<WCHAR>;

Text RoundTrip(const WCHAR* text)
{
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(text, &sid)) return W("<invalid>");
  LPWSTR back = nullptr;
  Text result = ConvertSidToStringSidW(sid, &back) ? Text(back) : Text(W("<no text>"));
  LocalFree(back);
  LocalFree(sid);
  return result;
}

TEST(PlatformSecurity, StringSidRoundTrip)
{
  struct Case {
    const WCHAR* text;
    const WCHAR* expected;
  } cases[] = {
      {W("S-1-1-0"), W("S-1-1-0")},
      {W("S-1-5-32-545"), W("S-1-5-32-545")},
      {W("S-1-5-21-1004336348-1177238915-682003330-1001"),
       W("S-1-5-21-1004336348-1177238915-682003330-1001")},
      {W("S-1-5-21-4294967295-0-1-2"), W("S-1-5-21-4294967295-0-1-2")},
      {W("WD"), W("S-1-1-0")},
      {W("BU"), W("S-1-5-32-545")},
  };
  for (const Case& c : cases) EXPECT_EQ(RoundTrip(c.text), Text(c.expected));
}

TEST(PlatformSecurity, BinaryLayout)
{
  PSID sid = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(W("S-1-5-32-545"), &sid));
  EXPECT_TRUE(IsValidSid(sid));
  ASSERT_EQ(GetLengthSid(sid), 16u);
  const BYTE expected[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 0x02, 0, 0};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(static_cast<BYTE*>(sid)[i], expected[i]) << i;

  PSID same = nullptr, other = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(W("S-1-5-32-545"), &same));
  ASSERT_TRUE(ConvertStringSidToSidW(W("S-1-5-32-544"), &other));
  EXPECT_TRUE(EqualSid(sid, same));
  EXPECT_FALSE(EqualSid(sid, other));
  LocalFree(sid);
  LocalFree(same);
  LocalFree(other);
}

TEST(PlatformSecurity, InvalidTextIsRefused)
{
  std::vector<const WCHAR*> invalid = {W(""), W("X-1-5"), W("S-2-5-32"), W("S-1-5-32-545x"),
                                       W("S-1--5")};
#ifndef _WIN32
  // A sub-authority is 32 bits and a SID has at most 15 of them. Wine
  // accepts both of these; Windows' SID format cannot hold them.
  invalid.push_back(W("S-1-5-4294967296"));
  invalid.push_back(W("S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"));
#endif
  for (const WCHAR* text : invalid) {
    PSID sid = nullptr;
    SetLastError(0);
    EXPECT_FALSE(ConvertStringSidToSidW(text, &sid)) << Text(text).size();
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_SID));
  }
}

TEST(PlatformSecurity, MembershipFollowsTheGroupsHook)
{
  PSID admins = nullptr, users = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(W("S-1-5-32-544"), &admins));
  ASSERT_TRUE(ConvertStringSidToSidW(W("S-1-5-32-545"), &users));

  platform_hooks::SetTokenGroups(W("S-1-1-0;S-1-5-32-544"));
  BOOL member = FALSE;
  ASSERT_TRUE(CheckTokenMembership(nullptr, admins, &member));
  EXPECT_TRUE(member);
  ASSERT_TRUE(CheckTokenMembership(nullptr, users, &member));
  EXPECT_FALSE(member);

  platform_hooks::SetTokenGroups(W("S-1-5-32-545"));
  ASSERT_TRUE(CheckTokenMembership(nullptr, admins, &member));
  EXPECT_FALSE(member);
  ASSERT_TRUE(CheckTokenMembership(nullptr, users, &member));
  EXPECT_TRUE(member);
  platform_hooks::Reset();

  // The real token holds Everyone.
  PSID everyone = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(W("S-1-1-0"), &everyone));
  member = FALSE;
  ASSERT_TRUE(CheckTokenMembership(nullptr, everyone, &member));
  EXPECT_TRUE(member);

  LocalFree(everyone);
  LocalFree(admins);
  LocalFree(users);
}

}  // namespace

// Code-page conversion sizes, string comparison and path helpers, the module
// path, and (native only) the command tail that WinMain receives.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win32.h"

namespace {

using Text = std::basic_string<WCHAR>;

TEST(PlatformCodePage, Utf8SizesAndBuffers)
{
  const WCHAR text[] = {W('A'), 0x00E9, 0x20AC, 0xD83D, 0xDE00, 0};  // A é € 😀
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), 11);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, 5, nullptr, 0, nullptr, nullptr), 10);
  char out[11];
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 11, nullptr, nullptr), 11);
  EXPECT_STREQ(out, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 10, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));

  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, out, -1, nullptr, 0), 6);
  WCHAR back[6];
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, out, -1, back, 6), 6);
  EXPECT_EQ(memcmp(back, text, sizeof(text)), 0);
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, out, -1, back, 5), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));

  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, 0, out, 11, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(PlatformCodePage, AnsiIsWindows1252WithQuestionMarks)
{
  const WCHAR text[] = {W('a'), 0x00FC, 0x20AC, 0x4E2D, 0};  // a ü € and a CJK ideograph
  char out[5];
  BOOL usedDefault = FALSE;
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, 5, nullptr, &usedDefault), 5);
  EXPECT_STREQ(out, "a\xFC\x80?");
  EXPECT_TRUE(usedDefault);

  WCHAR back[5];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "a\xFC\x80\x99", 4, back, 5), 4);
  EXPECT_EQ(back[1], 0x00FC);
  EXPECT_EQ(back[2], 0x20AC);
  EXPECT_EQ(back[3], 0x2122);
}

TEST(PlatformStrings, ComparisonAndSearch)
{
  EXPECT_EQ(lstrcmpW(W("scanner"), W("scanner")), 0);
  EXPECT_LT(lstrcmpW(W("abc"), W("abd")), 0);
  EXPECT_GT(StrCmpW(W("abd"), W("abc")), 0);
  // Word order: letters alphabetically first, then lower case before upper.
  EXPECT_LT(StrCmpW(W("abc"), W("ABC")), 0);
  EXPECT_LT(lstrcmpW(W("apple"), W("Banana")), 0);
  EXPECT_LT(lstrcmpW(W("Apple"), W("banana")), 0);
  EXPECT_LT(lstrcmpW(W("file9"), W("filea")), 0);
  EXPECT_LT(lstrcmpW(W("ab"), W("abc")), 0);
  EXPECT_EQ(StrCmpIW(W("Scanner"), W("sCANNER")), 0);
  EXPECT_EQ(lstrcmpiW(W("\u00C9t\u00E9"), W("\u00E9T\u00C9")), 0);
  EXPECT_LT(lstrcmpiW(W("alpha"), W("BRAVO")), 0);

  const WCHAR* text = W("Network Scanner \u00C9dition");
  EXPECT_EQ(StrStrIW(text, W("SCANNER")), text + 8);
  EXPECT_EQ(StrStrIW(text, W("\u00E9DITION")), text + 16);
  EXPECT_EQ(StrStrIW(text, W("printer")), nullptr);

  EXPECT_EQ(lstrlenW(nullptr), 0);
  EXPECT_EQ(lstrlenW(W("four")), 4);
}

TEST(PlatformStrings, FileNameOfAPath)
{
  struct Case {
    const WCHAR* path;
    size_t offset;
  } cases[] = {
      {W("C:\\scans\\page1.bmp"), 9}, {W("scans/page1.bmp"), 6},
      {W("C:page.bmp"), 2},           {W("page.bmp"), 0},
      {W("C:\\scans\\"), 3},
  };
  for (const Case& c : cases) EXPECT_EQ(PathFindFileNameW(c.path), c.path + c.offset) << c.offset;
}

TEST(PlatformModule, FileNameTruncationContract)
{
  EXPECT_NE(GetModuleHandleW(nullptr), nullptr);
  platform_hooks::SetModulePath(W("C:\\Program Files\\stibridge.exe"));
  WCHAR path[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameW(nullptr, path, MAX_PATH), 30u);
  EXPECT_EQ(Text(path), Text(W("C:\\Program Files\\stibridge.exe")));
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameW(nullptr, path, 8), 8u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(Text(path), Text(W("C:\\Prog")));
  platform_hooks::Reset();

  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, DWORD(MAX_PATH));
  Text real(path, length);
  EXPECT_EQ(real.size(), size_t(lstrlenW(path)));
  // The real answer is the executable's full path.
  EXPECT_NE(PathFindFileNameW(path), path);
}

#ifndef _WIN32
TEST(PlatformCommandTail, SkipsTheProgramNameAsTheRuntimeDoes)
{
  struct Case {
    const char* line;
    const char* tail;
  } cases[] = {
      {"stibridge.exe -Embedding", "-Embedding"},
      {"\"C:\\Program Files\\stibridge.exe\" /RegServer", "/RegServer"},
      // Nothing but a blank ends the name, not even a closing quote.
      {"\"C:\\Program Files\\stibridge.exe\"/RegServer", ""},
      {"C:\\a\"b c\"d.exe  \t -x  ", "-x  "},
      {"stibridge.exe", ""},
      {"\"unterminated name -x", ""},
      {"prog \"quoted arg\" tail", "\"quoted arg\" tail"},
      {"", ""},
      {"name\xC3\xA9.exe -x", "-x"},
  };
  for (const Case& c : cases) {
    std::string line = c.line;
    EXPECT_STREQ(RuntimeCommandTail(line.data()), c.tail) << c.line;
  }
  EXPECT_STREQ(RuntimeCommandTail(nullptr), "");
}
#endif

}  // namespace

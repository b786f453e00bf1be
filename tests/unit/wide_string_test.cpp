// Bounded UTF-16 text helpers: fits, cuts, invalid input, and a destination
// that is extended with its own text.
#include "com/wide_string.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Text = std::basic_string<WCHAR>;

constexpr WCHAR kFill = 0x2A2A;  // marks units no helper has written
constexpr size_t kGuard = 4;

Text Letters(size_t count, WCHAR first = W('a'))
{
  Text text;
  for (size_t i = 0; i < count; ++i) text.push_back(static_cast<WCHAR>(first + i % 26));
  return text;
}

// Exactly `count` units on the heap and nothing after them, so that the
// sanitizer build catches a read past them.
std::vector<WCHAR> Unterminated(size_t count)
{
  const Text text = Letters(count);
  return std::vector<WCHAR>(text.begin(), text.end());
}

// A destination of `capacity` units followed by guard units, all filled.
struct Buffer {
  // `initial` is kept to what fits.
  explicit Buffer(size_t capacity, const Text& initial = Text()) : capacity(capacity)
  {
    units.assign(capacity + kGuard, kFill);
    const size_t kept = std::min(initial.size(), capacity - 1);
    std::copy(initial.begin(), initial.begin() + kept, units.begin());
    units[kept] = 0;
  }
  WCHAR* data() { return units.data(); }
  Text text() const { return Text(units.data()); }
  bool GuardIntact() const
  {
    for (size_t i = capacity; i < units.size(); ++i)
      if (units[i] != kFill) return false;
    return true;
  }
  size_t capacity;
  std::vector<WCHAR> units;
};

TEST(WideString, CutCodeIsInsufficientBuffer)
{
  EXPECT_EQ(kStringCut, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(static_cast<uint32_t>(kStringCut), 0x8007007Au);
  EXPECT_EQ(kStringBytes, 520u);
}

TEST(WideString, LengthLooksNoFurtherThanItsLimit)
{
  size_t length = 99;
  const Text text259 = Letters(259);
  EXPECT_EQ(WStrLength(text259.c_str(), 260, &length), S_OK);
  EXPECT_EQ(length, 259u);
  EXPECT_EQ(WStrLength(text259.c_str(), 259, &length), E_INVALIDARG);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(WStrLength(W(""), 1, &length), S_OK);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(WStrLength(W(""), 0, &length), E_INVALIDARG);

  std::vector<WCHAR> full = Unterminated(260);
  length = 99;
  EXPECT_EQ(WStrLength(full.data(), 260, &length), E_INVALIDARG);
  EXPECT_EQ(length, 0u);

  length = 99;
  EXPECT_EQ(WStrLength(nullptr, 260, &length), E_INVALIDARG);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(WStrLength(W("abc"), 260, nullptr), E_INVALIDARG);
}

struct CopyCase {
  size_t capacity;
  size_t sourceUnits;
  size_t largestCount;  // SIZE_MAX: WStrCopy
  HRESULT result;
  size_t keptUnits;
};

TEST(WideString, CopyAndCopyPrefix)
{
  const CopyCase cases[] = {
      {260, 259, SIZE_MAX, S_OK, 259},
      {260, 260, SIZE_MAX, kStringCut, 259},
      {260, 0, SIZE_MAX, S_OK, 0},
      {1, 0, SIZE_MAX, S_OK, 0},
      {1, 5, SIZE_MAX, kStringCut, 0},
      {260, 10, 4, S_OK, 4},
      {260, 2, 4, S_OK, 2},
      {260, 10, 0, S_OK, 0},
      {5, 10, 4, S_OK, 4},
      {5, 10, 5, kStringCut, 4},
      {5, 10, 100, kStringCut, 4},
      {5, 4, 5, S_OK, 4},
  };
  for (const CopyCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "capacity " << c.capacity << ", source " << c.sourceUnits
                                    << ", limit " << c.largestCount);
    const Text source = Letters(c.sourceUnits);
    Buffer dest(c.capacity, W("old"));
    const HRESULT result =
        c.largestCount == SIZE_MAX
            ? WStrCopy(dest.data(), c.capacity, source.c_str())
            : WStrCopyPrefix(dest.data(), c.capacity, source.c_str(), c.largestCount);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(dest.text(), source.substr(0, c.keptUnits));
    EXPECT_TRUE(dest.GuardIntact());
  }
}

TEST(WideString, CopyPrefixReadsNoFurtherThanItsCount)
{
  std::vector<WCHAR> source = Unterminated(4);
  Buffer dest(260);
  EXPECT_EQ(WStrCopyPrefix(dest.data(), 260, source.data(), 4), S_OK);
  EXPECT_EQ(dest.text(), W("abcd"));
}

struct AppendCase {
  size_t capacity;
  size_t destUnits;
  size_t sourceUnits;
  HRESULT result;
  size_t keptSourceUnits;
};

TEST(WideString, Append)
{
  const AppendCase cases[] = {
      {260, 257, 3, kStringCut, 2}, {260, 257, 2, S_OK, 2},   {260, 259, 0, S_OK, 0},
      {260, 259, 1, kStringCut, 0}, {260, 0, 259, S_OK, 259}, {1, 0, 1, kStringCut, 0},
  };
  for (const AppendCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "capacity " << c.capacity << ", text " << c.destUnits
                                    << ", source " << c.sourceUnits);
    const Text initial = Letters(c.destUnits);
    const Text source = Letters(c.sourceUnits, W('A'));
    Buffer dest(c.capacity, initial);
    EXPECT_EQ(WStrAppend(dest.data(), c.capacity, source.c_str()), c.result);
    EXPECT_EQ(dest.text(), initial + source.substr(0, c.keptSourceUnits));
    EXPECT_TRUE(dest.GuardIntact());
  }
}

TEST(WideString, AppendToUnterminatedDestinationWritesNothing)
{
  std::vector<WCHAR> dest = Unterminated(260);
  const std::vector<WCHAR> before = dest;
  EXPECT_EQ(WStrAppend(dest.data(), 260, W("x")), E_INVALIDARG);
  EXPECT_EQ(dest, before);
}

TEST(WideString, AppendItsOwnText)
{
  Buffer dest(8, W("abc"));
  EXPECT_EQ(WStrAppend(dest.data(), 8, dest.data()), S_OK);
  EXPECT_EQ(dest.text(), W("abcabc"));
  EXPECT_EQ(WStrAppend(dest.data(), 8, dest.data()), kStringCut);
  EXPECT_EQ(dest.text(), W("abcabca"));
}

TEST(WideString, InvalidArgumentsWriteNothing)
{
  Buffer dest(8, W("keep"));
  const std::vector<WCHAR> before = dest.units;
  const size_t tooLarge = kLargestStringUnits + 1;
  for (size_t capacity : {size_t(0), tooLarge}) {
    EXPECT_EQ(WStrCopy(dest.data(), capacity, W("x")), E_INVALIDARG);
    EXPECT_EQ(WStrCopyPrefix(dest.data(), capacity, W("x"), 1), E_INVALIDARG);
    EXPECT_EQ(WStrAppend(dest.data(), capacity, W("x")), E_INVALIDARG);
    EXPECT_EQ(WStrFormat(dest.data(), capacity, W("x")), E_INVALIDARG);
  }
  EXPECT_EQ(WStrFormatBytes(dest.data(), 0, W("x")), E_INVALIDARG);
  EXPECT_EQ(WStrFormatBytes(dest.data(), 1, W("x")), E_INVALIDARG);
  EXPECT_EQ(WStrFormatBytes(dest.data(), tooLarge * 2, W("x")), E_INVALIDARG);
  EXPECT_EQ(WStrCopy(dest.data(), 8, nullptr), E_INVALIDARG);
  EXPECT_EQ(WStrCopyPrefix(dest.data(), 8, nullptr, 1), E_INVALIDARG);
  EXPECT_EQ(WStrAppend(dest.data(), 8, nullptr), E_INVALIDARG);
  EXPECT_EQ(WStrFormat(dest.data(), 8, nullptr), E_INVALIDARG);
  EXPECT_EQ(WStrFormatBytes(dest.data(), 16, nullptr), E_INVALIDARG);
  EXPECT_EQ(dest.units, before);
  EXPECT_EQ(WStrCopy(nullptr, 8, W("x")), E_INVALIDARG);
  EXPECT_EQ(WStrCopyPrefix(nullptr, 8, W("x"), 1), E_INVALIDARG);
  EXPECT_EQ(WStrAppend(nullptr, 8, W("x")), E_INVALIDARG);
  EXPECT_EQ(WStrFormat(nullptr, 8, W("x")), E_INVALIDARG);
}

struct FormatCase {
  const WCHAR* format;
  const WCHAR* first;
  const WCHAR* second;
  size_t capacity;
  HRESULT result;
  const WCHAR* expected;
};

TEST(WideString, Format)
{
  const WCHAR* none = nullptr;
  const FormatCase cases[] = {
      {W("CLSID\\%s\\LocalServer32"), W("{1}"), none, 260, S_OK, W("CLSID\\{1}\\LocalServer32")},
      {W("%s\\%s"), W("a"), W("b"), 260, S_OK, W("a\\b")},
      {W("%s_DeleteImageOnScan"), W("Job"), none, 260, S_OK, W("Job_DeleteImageOnScan")},
      {W("%s"), W(""), none, 260, S_OK, W("")},
      {W("%s_%s"), none, W("b"), 260, S_OK, W("_b")},
      {W("100%% %s%%"), W("x"), none, 260, S_OK, W("100% x%")},
      {W("%s_%s"), W("ab"), W("cd"), 6, S_OK, W("ab_cd")},
      {W("%s_%s"), W("ab"), W("cd"), 5, kStringCut, W("ab_c")},
      {W("%s_%s"), W("abcdef"), W("cd"), 5, kStringCut, W("abcd")},
      {W("ab%s"), W(""), none, 3, S_OK, W("ab")},
      {W("abc%s"), W(""), none, 3, kStringCut, W("ab")},
      {W("%s"), W(""), none, 1, S_OK, W("")},
      {W(""), none, none, 1, S_OK, W("")},
      {W("%s"), W("a"), none, 1, kStringCut, W("")},
      {W("a"), none, none, 1, kStringCut, W("")},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    Buffer dest(c.capacity, W(""));
    EXPECT_EQ(WStrFormat(dest.data(), c.capacity, c.format, c.first, c.second), c.result);
    EXPECT_EQ(dest.text(), Text(c.expected));
    EXPECT_TRUE(dest.GuardIntact());
  }
}

TEST(WideString, MalformedFormatLeavesEmptyTextAndReadsNoArgument)
{
  for (const WCHAR* format : {W("a%d"), W("%ls"), W("%5s"), W("abc%"), W("%S")}) {
    Buffer dest(6, W("old"));
    EXPECT_EQ(WStrFormat(dest.data(), 6, format), kStringCut);
    EXPECT_EQ(dest.units[0], 0);
    EXPECT_EQ(dest.units[5], 0);
    EXPECT_TRUE(dest.GuardIntact());
  }
}

TEST(WideString, FormatBytesUsesHalfTheBytes)
{
  Buffer units(260), bytes(260);
  const Text long300 = Letters(300);
  EXPECT_EQ(WStrFormat(units.data(), 260, W("%s"), long300.c_str()), kStringCut);
  EXPECT_EQ(WStrFormatBytes(bytes.data(), 520, W("%s"), long300.c_str()), kStringCut);
  EXPECT_EQ(units.units, bytes.units);
  EXPECT_EQ(bytes.text().size(), 259u);

  Buffer odd(3);
  EXPECT_EQ(WStrFormatBytes(odd.data(), 7, W("%s"), W("abcd")), kStringCut);
  EXPECT_EQ(odd.text(), W("ab"));
  EXPECT_TRUE(odd.GuardIntact());
}

TEST(WideString, FormatExtendsTheDestinationsOwnText)
{
  Buffer dest(260, W("ab"));
  EXPECT_EQ(WStrFormat(dest.data(), 260, W("%s_%s"), dest.data(), W("cd")), S_OK);
  EXPECT_EQ(dest.text(), W("ab_cd"));

  // Text written before the destination's own text must not overwrite it.
  EXPECT_EQ(WStrFormat(dest.data(), 260, W("[%s|%s]"), dest.data(), W("ef")), S_OK);
  EXPECT_EQ(dest.text(), W("[ab_cd|ef]"));

  Buffer cut(8, W("abcdef"));
  EXPECT_EQ(WStrFormat(cut.data(), 8, W("12%s_%s"), cut.data(), W("x")), kStringCut);
  EXPECT_EQ(cut.text(), W("12abcde"));
  EXPECT_TRUE(cut.GuardIntact());

  Buffer tail(8, W("abcdef"));
  EXPECT_EQ(WStrFormat(tail.data(), 8, W("%s%s"), tail.data() + 4, W("xy")), S_OK);
  EXPECT_EQ(tail.text(), W("efxy"));

  const Text long258 = Letters(258);
  Buffer full(260, long258);
  EXPECT_EQ(WStrFormat(full.data(), 260, W("%s_%s"), full.data(), W("cd")), kStringCut);
  EXPECT_EQ(full.text(), long258 + W("_"));
}

TEST(WideString, FormatRefusesOverlapsItCannotHonour)
{
  std::vector<WCHAR> unterminated = Unterminated(8);
  const std::vector<WCHAR> before = unterminated;
  EXPECT_EQ(WStrFormat(unterminated.data(), 8, W("%s"), unterminated.data()), E_INVALIDARG);
  EXPECT_EQ(unterminated, before);

  Buffer dest(16, W("ab"));
  const std::vector<WCHAR> held = dest.units;
  EXPECT_EQ(WStrFormat(dest.data(), 16, W("%s_%s"), W("x"), dest.data()), E_INVALIDARG);
  EXPECT_EQ(WStrFormat(dest.data(), 16, dest.data()), E_INVALIDARG);
  EXPECT_EQ(dest.units, held);
}

}  // namespace

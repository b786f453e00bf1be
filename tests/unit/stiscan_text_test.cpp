// stiscan's text: UTF-16 and UTF-8, JSON, columns by display width, and the
// names of its page files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/display_width.h"
#include "console/json.h"
#include "console/text.h"
#include "files/file_names.h"

namespace {

using namespace stiscan;

// What a BSTR may hold comes back unit for unit from stiscan's UTF-8, and
// leaves it as well-formed UTF-8 and valid JSON.
TEST(StiscanText, EveryBstrSurvivesAndMakesValidJson)
{
  const std::string kFffd = "\xEF\xBF\xBD";
  struct Case {
    const char* what;
    std::u16string units;
    std::string json;    // as JsonString writes it
    std::string strict;  // as standard output gets it
  };
  const Case cases[] = {
      {"ascii", u"scan0001.tif", "\"scan0001.tif\"", "scan0001.tif"},
      {"latin", u"B\u00FCro", "\"B\xC3\xBCro\"", "B\xC3\xBCro"},
      {"kanji", u"\u898B\u7A4D", "\"\xE8\xA6\x8B\xE7\xA9\x8D\"", "\xE8\xA6\x8B\xE7\xA9\x8D"},
      {"pair", u"\U0001F600", "\"\xF0\x9F\x98\x80\"", "\xF0\x9F\x98\x80"},
      {"lone high", std::u16string(u"a\xD800") + u'b', "\"a\\ud800b\"", "a" + kFffd + "b"},
      {"lone low", u"\xDC00", "\"\\udc00\"", "\xEF\xBF\xBD"},
      {"pair reversed", u"\xDC00\xD800", "\"\\udc00\\ud800\"", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"high at the end", u"x\xDBFF", "\"x\\udbff\"", "x\xEF\xBF\xBD"},
      {"nul", std::u16string(u"a\0b", 3), "\"a\\u0000b\"", std::string("a\0b", 3)},
      {"escapes", u"q\"\\\n\t\x1F", "\"q\\\"\\\\\\n\\t\\u001f\"", "q\"\\\n\t\x1F"},
      {"replacement of its own", u"\uFFFD", "\"\xEF\xBF\xBD\"", "\xEF\xBF\xBD"},
      {"empty", u"", "\"\"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = Utf8FromUtf16(c.units);
    EXPECT_EQ(Utf16FromUtf8(text), c.units);
    EXPECT_EQ(JsonString(text), c.json);
    EXPECT_EQ(StrictUtf8(text), c.strict);
  }
  // Bytes that are no UTF-8 (they do not come from the server, but from a
  // file or a terminal) each become U+FFFD, and JSON says so by an escape.
  for (const std::string bad : {"\xC3", "\xC0\x80", "\xE0\x80\x80", "\xF5\x80\x80\x80",
                                "\xF4\x90\x80\x80", "\x80", "\xE2\x82"}) {
    SCOPED_TRACE(bad);
    const std::u16string units = Utf16FromUtf8(bad);
    EXPECT_FALSE(units.empty());
    for (char16_t unit : units) EXPECT_EQ(unit, u'\uFFFD');
    EXPECT_EQ(JsonString(bad).find('\\'), 1u);
  }
  EXPECT_EQ(Printable("a\nb\x7F" + std::string(1, '\0')), "a" + kFffd + "b" + kFffd + kFffd);
  EXPECT_EQ(Printable(std::string("\xC2\x85") + "x"), kFffd + "x") << "C1 control";
}

TEST(StiscanText, ColumnsByDisplayWidth)
{
  struct Case {
    const char* text;
    int width;
  };
  const Case widths[] = {
      {"abc", 3},
      {"B\xC3\xBCro MFP", 8},
      {"\xE8\xA6\x8B\xE7\xA9\x8D\xE6\x9B\xB8", 6},  // 見積書
      {"e\xCC\x81", 1},                             // e and a combining acute
      {"\xE2\x80\xA6", 1},                          // … (ambiguous: one)
      {"\xEF\xBD\xB1", 1},                          // half-width katakana
      {"\xEF\xBC\xA1", 2},                          // full-width A
      {"\xED\x95\x9C", 2},                          // a Hangul syllable
      {"\xF0\x9F\x98\x80", 2},                      // an emoji
      {"\xF0\xA0\x80\x80", 2},                      // CJK extension B
      {"\xE2\x80\x8B", 0},                          // zero width space
  };
  for (const Case& c : widths) EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;

  struct Fit {
    const char* text;
    int columns;
    const char* cell;
  };
  const Fit fits[] = {
      {"abc", 5, "abc  "},
      {"abcdef", 4, "abc\xE2\x80\xA6"},
      {"\xE8\xA6\x8B\xE7\xA9\x8D\xE6\x9B\xB8", 6, "\xE8\xA6\x8B\xE7\xA9\x8D\xE6\x9B\xB8"},
      {"\xE8\xA6\x8B\xE7\xA9\x8D\xE6\x9B\xB8", 5, "\xE8\xA6\x8B\xE7\xA9\x8D\xE2\x80\xA6"},
      // A wide character that would reach past the cell stays out whole.
      {"\xE8\xA6\x8B\xE7\xA9\x8D\xE6\x9B\xB8", 4, "\xE8\xA6\x8B\xE2\x80\xA6 "},
      // The mark stays with its letter.
      {"e\xCC\x81xyz", 3, "e\xCC\x81x\xE2\x80\xA6"},
      {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 3, "\xF0\x9F\x98\x80\xE2\x80\xA6"},
  };
  for (const Fit& f : fits) {
    EXPECT_EQ(FitColumns(f.text, f.columns), f.cell) << f.text << " in " << f.columns;
    EXPECT_EQ(DisplayWidth(FitColumns(f.text, f.columns)), f.columns) << f.text;
  }
  EXPECT_EQ(RightAligned("42", 5), "   42");
  EXPECT_EQ(RightAligned("123456", 5), "123456");
}

TEST(StiscanFileNames, EveryCharacterWindowsAllowsIsKept)
{
  const std::u16string kanji144 = [] {
    std::u16string s;
    for (int i = 0; i < 48; ++i) s += u"\u8B70\u4E8B\u9332";  // 議事録
    return s;
  }();
  const std::u16string latin250(250, u'x');
  struct Case {
    const char* what;
    std::u16string item;
    int page, copy;
    std::u16string name;
  };
  const Case cases[] = {
      {"plain", u"scan0001.tif", 1, 1, u"scan0001-p1.bmp"},
      {"a document", u"scan0001.tif", 0, 1, u"scan0001.bmp"},
      {"a document's copy", u"scan0001.tif", 0, 3, u"scan0001 (3).bmp"},
      {"letters kept", u"Bestell\u00FCbersicht-Gr\u00FC\u00DFe.tif", 2, 1,
       u"Bestell\u00FCbersicht-Gr\u00FC\u00DFe-p2.bmp"},
      {"east asian kept", u"\u898B\u7A4D\u66F8-\u5831\u544A\u2026.tif", 1, 1,
       u"\u898B\u7A4D\u66F8-\u5831\u544A\u2026-p1.bmp"},
      {"forbidden", u"a/b\\c:d*e?.tif", 1, 1, u"a_b_c_d_e_-p1.bmp"},
      {"forbidden too", u"a|b<c>d\"e*.tif", 1, 1, u"a_b_c_d_e_-p1.bmp"},
      {"a copy", u"a|b<c>d\"e*.tif", 1, 2, u"a_b_c_d_e_ (2)-p1.bmp"},
      {"controls", std::u16string(u"t\0a\tb\x1F.tif", 10), 1, 1, u"t_a_b_-p1.bmp"},
      {"lone surrogate", u"x\xD800y.tif", 1, 1, u"x_y-p1.bmp"},
      {"pair kept", u"\U0001F600.tif", 1, 1, u"\U0001F600-p1.bmp"},
      {"several dots", u"v1.2 report.pdf.tif", 1, 1, u"v1.2 report.pdf-p1.bmp"},
      {"no extension", u"minutes", 1, 1, u"minutes-p1.bmp"},
      {"not an extension", u"v1.2/final", 1, 1, u"v1.2_final-p1.bmp"},
      {"long extension kept", u"notes.backup", 1, 1, u"notes.backup-p1.bmp"},
      {"only an extension", u".tif", 1, 1, u"job-p1.bmp"},
      {"trailing dot and blank", u"draft. .tif", 1, 1, u"draft. -p1.bmp"},
      {"device before a dot", u"COM1.scan.tif", 1, 1, u"_COM1.scan-p1.bmp"},
      {"device in any case", u"nul.x.tif", 1, 1, u"_nul.x-p1.bmp"},
      {"device and blanks", u"aux  .x.tif", 1, 1, u"_aux  .x-p1.bmp"},
      {"superscript digit", u"lpt\u00B9.x.tif", 1, 1, u"_lpt\u00B9.x-p1.bmp"},
      {"conin", u"CONIN$.a.tif", 1, 1, u"_CONIN$.a-p1.bmp"},
      {"device name alone is fine", u"CON.tif", 1, 1, u"CON-p1.bmp"},
      {"device as a document", u"CON.tif", 0, 1, u"_CON.bmp"},
      {"device as a document's copy", u"con.tif", 0, 3, u"_con (3).bmp"},
      {"device and blanks as a document", u"PRN .x.tif", 0, 1, u"_PRN .x.bmp"},
      {"a device's page copy", u"COM1.scan.tif", 2, 2, u"_COM1.scan (2)-p2.bmp"},
      {"not a device", u"COM10.x.tif", 1, 1, u"COM10.x-p1.bmp"},
      {"console", u"CONSOLE.x.tif", 1, 1, u"CONSOLE.x-p1.bmp"},
      // 250 + 7 units: cut to 255.
      {"long", latin250 + u".tif", 1, 1, std::u16string(248, u'x') + u"-p1.bmp"},
      {"long copy", latin250 + u".tif", 1, 12, std::u16string(243, u'x') + u" (12)-p1.bmp"},
      // 144 kanji are 432 bytes of UTF-8: 82 of them and the suffix make 253.
      {"long kanji", kanji144 + u".tif", 1, 1, kanji144.substr(0, 82) + u"-p1.bmp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::u16string name = PageFileName(c.item, c.page, u".bmp", c.copy);
    EXPECT_EQ(Utf8FromUtf16(name), Utf8FromUtf16(c.name));
    EXPECT_LE(name.size(), kMostNameUnits);
    EXPECT_LE(Utf8FromUtf16(name).size(), kMostNameBytes);
  }
  // A surrogate pair is never split by the cut.
  std::u16string emoji;
  for (int i = 0; i < 130; ++i) emoji += u"\U0001F600";
  const std::u16string cut = PageFileName(emoji, 1, u".tif", 1);
  EXPECT_EQ(cut, emoji.substr(0, 2 * 62) + u"-p1.tif");
}

}  // namespace

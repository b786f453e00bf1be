#include "files/file_names.h"

#include <vector>

namespace stiscan {

namespace {

std::u16string Ascii(const std::string& text)
{
  return std::u16string(text.begin(), text.end());
}

// The code points of `text`, an unpaired surrogate as itself.
std::vector<char32_t> CodePoints(const std::u16string& text)
{
  std::vector<char32_t> out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(c);
  }
  return out;
}

size_t Units(char32_t c)
{
  return c >= 0x10000 ? 2 : 1;
}

size_t Utf8Bytes(char32_t c)
{
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

void Append(std::u16string& out, char32_t c)
{
  if (c >= 0x10000) {
    out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    out += static_cast<char16_t>(c);
  }
}

bool Forbidden(char32_t c)
{
  return c < 0x20 || (c >= 0xD800 && c <= 0xDFFF) ||
         std::u16string(u"<>:\"/\\|?*").find(static_cast<char16_t>(c)) != std::u16string::npos;
}

bool IsAsciiAlnum(char32_t c)
{
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char32_t AsciiUpper(char32_t c)
{
  return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

// Whether Windows takes a name that starts with `part` (up to its first dot)
// for a device.
bool ReservedDeviceName(std::vector<char32_t> part)
{
  while (!part.empty() && part.back() == ' ') part.pop_back();
  std::u16string upper;
  for (char32_t c : part) Append(upper, AsciiUpper(c));
  for (const char16_t* name : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"})
    if (upper == name) return true;
  if (upper.size() != 4 || (upper.compare(0, 3, u"COM") != 0 && upper.compare(0, 3, u"LPT") != 0))
    return false;
  // Windows counts the superscript digits one, two and three as digits here.
  const char16_t digit = upper[3];
  return (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' ||
         digit == u'\u00B3';
}

}  // namespace

std::u16string PageFileName(const std::u16string& itemName, int page,
                            const std::u16string& extension, int copy)
{
  std::vector<char32_t> stem = CodePoints(itemName);
  // The job's own extension goes: the page file has its own.
  for (size_t dot = stem.size(), letters = 0; dot > 0 && letters <= 5; --dot, ++letters) {
    if (stem[dot - 1] == '.') {
      if (letters > 0) stem.resize(dot - 1);
      break;
    }
    if (!IsAsciiAlnum(stem[dot - 1])) break;
  }
  for (char32_t& c : stem)
    if (Forbidden(c)) c = '_';
  if (stem.empty())
    for (char c : std::string("job")) stem.push_back(static_cast<char32_t>(c));

  std::u16string suffix = page > 0 ? Ascii("-p" + std::to_string(page)) : std::u16string();
  suffix += extension;
  // The device rule holds for the whole name, a job's document ("CON.pdf")
  // included; it is judged without the copy number, so that every copy of a
  // name is written alike.
  std::vector<char32_t> beforeDot;
  for (size_t i = 0; i < stem.size() && stem[i] != '.'; ++i) beforeDot.push_back(stem[i]);
  if (beforeDot.size() == stem.size())
    for (char32_t c : CodePoints(suffix)) {
      if (c == '.') break;
      beforeDot.push_back(c);
    }
  if (ReservedDeviceName(beforeDot)) stem.insert(stem.begin(), '_');
  if (copy > 1) suffix = Ascii(" (" + std::to_string(copy) + ")") + suffix;
  size_t units = suffix.size(), bytes = 0;
  for (char32_t c : CodePoints(suffix)) bytes += Utf8Bytes(c);
  std::u16string name;
  for (char32_t c : stem) {
    if (units + Units(c) > kMostNameUnits || bytes + Utf8Bytes(c) > kMostNameBytes) break;
    units += Units(c);
    bytes += Utf8Bytes(c);
    Append(name, c);
  }
  return name + suffix;
}

}  // namespace stiscan

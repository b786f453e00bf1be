#include "console/text.h"

namespace stiscan {

namespace {

bool IsHighSurrogate(char32_t c)
{
  return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(char32_t c)
{
  return c >= 0xDC00 && c <= 0xDFFF;
}

bool IsSurrogate(char32_t c)
{
  return c >= 0xD800 && c <= 0xDFFF;
}

// `text` again, each code point that `replaced` picks (and each malformed
// byte) as U+FFFD.
template <typename Pick>
std::string Replaced(const std::string& text, Pick replaced)
{
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const char32_t c = NextCodePoint(text, at);
    AppendUtf8(out, replaced(c) ? kReplacement : c);
  }
  return out;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t c)
{
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string Utf8FromUtf16(const char16_t* text, size_t length)
{
  std::string out;
  if (text == nullptr) return out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    char32_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::string Utf8FromUtf16(const std::u16string& text)
{
  return Utf8FromUtf16(text.data(), text.size());
}

char32_t NextCodePoint(const std::string& text, size_t& at)
{
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  size_t length = 0;
  char32_t c = 0, least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07, least = 0x10000;
  }
  if (length == 0 || at + length > text.size()) {
    ++at;
    return kReplacement;
  }
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) {
      ++at;
      return kReplacement;
    }
    c = (c << 6) | (byte(at + i) & 0x3F);
  }
  if (c < least || c > 0x10FFFF) {
    ++at;
    return kReplacement;
  }
  at += length;
  return c;
}

std::u16string Utf16FromUtf8(const std::string& text)
{
  std::u16string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const char32_t c = NextCodePoint(text, at);
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::string StrictUtf8(const std::string& text)
{
  return Replaced(text, [](char32_t c) { return IsSurrogate(c); });
}

std::string Printable(const std::string& text)
{
  return Replaced(text, [](char32_t c) {
    const bool control = c < 0x20 || (c >= 0x7F && c < 0xA0);
    return control || IsSurrogate(c);
  });
}

}  // namespace stiscan

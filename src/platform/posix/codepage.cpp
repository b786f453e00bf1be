// Code-page conversion for the two code pages the program uses: the ANSI code
// page, taken to be Windows-1252 (that of an English-language system), and
// UTF-8. Both directions follow the documented buffer protocol: a length of
// -1 includes the terminator, a capacity of 0 asks for the size, and a
// buffer that is too small fails with ERROR_INSUFFICIENT_BUFFER.
#include "platform/posix/posix_internal.h"

#include <string>

namespace {

using posix_internal::Text;

// Windows-1252 bytes 0x80..0x9F; the five bytes that the code page leaves
// undefined map to the control characters of the same value, as Windows does.
constexpr WCHAR kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

WCHAR AnsiToUnit(unsigned char byte)
{
  return (byte >= 0x80 && byte <= 0x9F) ? kHighControls[byte - 0x80] : WCHAR(byte);
}

// The byte for `unit`, or -1 when Windows-1252 has none.
int UnitToAnsi(WCHAR unit)
{
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return int(unit);
  for (int i = 0; i < 32; ++i)
    if (kHighControls[i] == unit) return 0x80 + i;
  return -1;
}

bool IsHigh(WCHAR u)
{
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(WCHAR u)
{
  return u >= 0xDC00 && u <= 0xDFFF;
}

void AppendUtf8(std::string& out, uint32_t code)
{
  if (code < 0x80) {
    out.push_back(char(code));
  } else if (code < 0x800) {
    out.push_back(char(0xC0 | (code >> 6)));
    out.push_back(char(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(char(0xE0 | (code >> 12)));
    out.push_back(char(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(char(0x80 | (code & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (code >> 18)));
    out.push_back(char(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(char(0x80 | (code & 0x3F)));
  }
}

// Decodes UTF-8; each malformed sequence becomes U+FFFD.
Text DecodeUtf8(const unsigned char* text, size_t length)
{
  Text out;
  size_t i = 0;
  while (i < length) {
    unsigned char lead = text[i];
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    int extra = (lead >= 0xC2 && lead <= 0xDF)   ? 1
                : (lead >= 0xE0 && lead <= 0xEF) ? 2
                : (lead >= 0xF0 && lead <= 0xF4) ? 3
                                                 : -1;
    uint32_t code = extra == 1 ? (lead & 0x1F) : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
    size_t j = 1;
    bool valid = extra > 0;
    for (; valid && j <= size_t(extra); ++j) {
      if (i + j >= length || (text[i + j] & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      code = (code << 6) | (text[i + j] & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are malformed.
    if (valid && ((extra == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
                  (extra == 3 && (code < 0x10000 || code > 0x10FFFF))))
      valid = false;
    if (!valid) {
      out.push_back(0xFFFD);
      i += j > 1 ? j : 1;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(WCHAR(0xD800 + (code >> 10)));
      out.push_back(WCHAR(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(WCHAR(code));
    }
    i += size_t(extra) + 1;
  }
  return out;
}

// The checks both directions make on their arguments before converting.
bool ValidRequest(UINT codePage, const void* text, int length, const void* out, int capacity)
{
  return text != nullptr && length != 0 && length >= -1 && capacity >= 0 &&
         (capacity == 0 || out != nullptr) && (codePage == CP_ACP || codePage == CP_UTF8);
}

// Hands `converted` to the caller by the buffer protocol: its size when
// `capacity` is 0, otherwise the units copied to `out`.
template <typename Units, typename Unit>
int Deliver(const Units& converted, Unit* out, int capacity)
{
  if (converted.size() > size_t(INT32_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int needed = int(converted.size());
  if (capacity == 0) return needed;
  if (capacity < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  converted.copy(out, converted.size());
  return needed;
}

}  // namespace

namespace posix_internal {

Text Utf8ToText(const char* text, size_t length)
{
  return DecodeUtf8(reinterpret_cast<const unsigned char*>(text), length);
}

}  // namespace posix_internal

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR text, int length, LPSTR out, int capacity,
                        LPCSTR defaultChar, LPBOOL usedDefault)
{
  if (!ValidRequest(codePage, text, length, out, capacity) ||
      (codePage == CP_UTF8 && (defaultChar != nullptr || usedDefault != nullptr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t count = length == -1 ? posix_internal::TextLength(text) + 1 : size_t(length);
  std::string converted;
  bool replaced = false;
  for (size_t i = 0; i < count; ++i) {
    WCHAR unit = text[i];
    if (codePage == CP_UTF8) {
      if (IsHigh(unit) && i + 1 < count && IsLow(text[i + 1])) {
        AppendUtf8(converted, 0x10000 + ((uint32_t(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
        ++i;
      } else {
        // A lone surrogate has no UTF-8 form.
        AppendUtf8(converted, (IsHigh(unit) || IsLow(unit)) ? 0xFFFD : unit);
      }
    } else {
      int byte = UnitToAnsi(unit);
      if (byte < 0) {
        replaced = true;
        byte = defaultChar != nullptr ? static_cast<unsigned char>(defaultChar[0]) : '?';
      }
      converted.push_back(char(byte));
    }
  }
  if (usedDefault != nullptr) *usedDefault = replaced ? TRUE : FALSE;
  return Deliver(converted, out, capacity);
}

int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR text, int length, LPWSTR out, int capacity)
{
  if (!ValidRequest(codePage, text, length, out, capacity)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t count = 0;
  if (length == -1) {
    while (text[count] != 0) ++count;
    ++count;
  } else {
    count = size_t(length);
  }
  auto bytes = reinterpret_cast<const unsigned char*>(text);
  Text converted;
  if (codePage == CP_UTF8) {
    converted = DecodeUtf8(bytes, count);
  } else {
    for (size_t i = 0; i < count; ++i) converted.push_back(AnsiToUnit(bytes[i]));
  }
  return Deliver(converted, out, capacity);
}

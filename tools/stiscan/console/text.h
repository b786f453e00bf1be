// Text inside stiscan is UTF-8 in std::string; what the server hands out is
// UTF-16 and may hold what UTF-8 cannot: an unpaired surrogate (a BSTR is any
// sequence of 16-bit units). Those are kept as the three bytes that UTF-8
// would give the code point (the "WTF-8" form), so that a name read from the
// server, printed, and given back on the command line is the same name. Only
// the edges decide what becomes of them: JSON escapes them, standard output
// gets U+FFFD, the console gets the units themselves.
#pragma once

#include <cstddef>
#include <string>

namespace stiscan {

constexpr char32_t kReplacement = 0xFFFD;

// UTF-16 units as UTF-8, unpaired surrogates in the three-byte form.
std::string Utf8FromUtf16(const char16_t* text, size_t length);
std::string Utf8FromUtf16(const std::u16string& text);

// The inverse: every string Utf8FromUtf16 makes comes back unit for unit. A
// byte that starts no sequence, a sequence cut short or an overlong one
// becomes U+FFFD.
std::u16string Utf16FromUtf8(const std::string& text);

// Decodes the code point at `at` and moves `at` past it; a lone surrogate
// comes back as itself, a malformed byte as U+FFFD (one byte consumed).
char32_t NextCodePoint(const std::string& text, size_t& at);

// Appends the UTF-8 form of `c` (surrogates in the three-byte form).
void AppendUtf8(std::string& out, char32_t c);

// Well-formed UTF-8 for a file or pipe: lone surrogates and malformed bytes
// become U+FFFD.
std::string StrictUtf8(const std::string& text);

// For a line a person reads: control characters (C0, DEL, C1), lone
// surrogates and malformed bytes become U+FFFD, so that a name cannot break
// a line or move the cursor.
std::string Printable(const std::string& text);

}  // namespace stiscan

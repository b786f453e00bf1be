#include "console/json.h"

#include <cstdio>

#include "console/text.h"

namespace stiscan {

namespace {

void AppendEscape(std::string& out, char32_t unit)
{
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
  out += escaped;
}

}  // namespace

std::string JsonString(const std::string& text)
{
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    const size_t start = at;
    const char32_t c = NextCodePoint(text, at);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF)) {
          AppendEscape(out, c);
        } else if (c == kReplacement && text.compare(start, at - start, "\xEF\xBF\xBD") != 0) {
          AppendEscape(out, c);  // a malformed byte, not a U+FFFD of the text
        } else {
          out.append(text, start, at - start);
        }
    }
  }
  return out + "\"";
}

}  // namespace stiscan

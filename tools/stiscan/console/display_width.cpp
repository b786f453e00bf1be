#include "console/display_width.h"

#include <algorithm>
#include <iterator>

#include "console/text.h"
#include "console/width_table.h"

namespace stiscan {

int CharWidth(char32_t c)
{
  const auto after =
      std::upper_bound(std::begin(kWidthRanges), std::end(kWidthRanges), c,
                       [](char32_t value, const WidthRange& range) { return value < range.first; });
  if (after == std::begin(kWidthRanges)) return 1;
  const WidthRange& range = *std::prev(after);
  return c <= range.last ? range.columns : 1;
}

int DisplayWidth(const std::string& text)
{
  int columns = 0;
  for (size_t at = 0; at < text.size();) columns += CharWidth(NextCodePoint(text, at));
  return columns;
}

std::string FitColumns(const std::string& text, int columns)
{
  if (columns <= 0) return {};
  const int width = DisplayWidth(text);
  if (width <= columns) return text + std::string(static_cast<size_t>(columns - width), ' ');
  // Room for the ellipsis, which takes one column.
  const int room = columns - 1;
  std::string out;
  int used = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t start = at;
    const int w = CharWidth(NextCodePoint(text, at));
    if (used + w > room) break;
    used += w;
    out.append(text, start, at - start);
  }
  out += "\xE2\x80\xA6";  // …
  return out + std::string(static_cast<size_t>(room - used), ' ');
}

std::string RightAligned(const std::string& text, int columns)
{
  const int width = DisplayWidth(text);
  return width >= columns ? text : std::string(static_cast<size_t>(columns - width), ' ') + text;
}

}  // namespace stiscan

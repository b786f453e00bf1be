// Columns on a terminal: East Asian wide characters take two, combining
// marks none, so that tables stay in line whatever the names hold.
#pragma once

#include <string>

namespace stiscan {

// The columns of one code point: 0, 1 or 2.
int CharWidth(char32_t c);

// The columns of UTF-8 text.
int DisplayWidth(const std::string& text);

// `text` as a cell of `columns` columns: padded with blanks, or, when wider,
// cut at a whole character and ended with "…" (the marks that combine with
// the last character kept stay with it; a wide character that would reach
// past the cell is left out, never halved).
std::string FitColumns(const std::string& text, int columns);

// Blanks before `text` up to `columns` (right-aligned numbers).
std::string RightAligned(const std::string& text, int columns);

}  // namespace stiscan

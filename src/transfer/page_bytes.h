// Byte counts of uncompressed pages. The interface hands them out as signed
// 32-bit values; they are computed wide, so that a page whose intermediate
// products pass 2^31 (24 bits x 14,000 x 9,900 is an A3 page at 1200 dpi)
// still gets its true count, and a count that does not fit 32 bits is
// reported as not fitting rather than wrapped. Negative dimensions give the
// negative counts that the plain arithmetic gives.
#pragma once

#include <cstdlib>
#include <limits>
#include <optional>

#include "platform/win32.h"

namespace page_bytes {

// a * b, or nothing when it does not fit 64 bits.
inline std::optional<long long> Multiply(long long a, long long b)
{
  if (a != 0 && std::llabs(b) > std::numeric_limits<long long>::max() / std::llabs(a))
    return std::nullopt;
  return a * b;
}

inline std::optional<LONG> Fit(std::optional<long long> value)
{
  if (!value || *value < std::numeric_limits<LONG>::min() ||
      *value > std::numeric_limits<LONG>::max()) {
    return std::nullopt;
  }
  return static_cast<LONG>(*value);
}

// bitsPerPixel x length x width / 8, rounded toward zero; rows not padded.
inline std::optional<LONG> Unpadded(SHORT bitsPerPixel, LONG length, LONG width)
{
  std::optional<long long> bits = Multiply(static_cast<long long>(bitsPerPixel) * length, width);
  return Fit(bits ? std::optional<long long>(*bits / 8) : std::nullopt);
}

// A DIB's image size: rows padded to 32 bits, ((bitCount x width + 31) / 32)
// x height x 4, each division rounding toward zero.
inline std::optional<LONG> Dib(WORD bitCount, LONG width, LONG height)
{
  const long long words = (static_cast<long long>(bitCount) * width + 31) / 32;
  std::optional<long long> rows = Multiply(words, height);
  return Fit(rows ? Multiply(*rows, 4) : std::nullopt);
}

}  // namespace page_bytes

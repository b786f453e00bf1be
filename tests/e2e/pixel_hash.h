// One fingerprint of a page's pixels, computed the same way by the simulator's
// reference tool (natively) and by the test clients (under Wine): FNV-1a over
// the rows top-down, without padding, 24-bit pixels in R, G, B order.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint64_t PixelHash(const unsigned char* data, size_t size,
                          uint64_t hash = 14695981039346656037ull)
{
  for (size_t i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= 1099511628211ull;
  }
  return hash;
}

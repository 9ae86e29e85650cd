// How far two places in a compressor's buffer agree: the inner loop of the
// match finders.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace kv::tools {

// Bytes equal at `a` and `b` from the start, at most `limit`; eight at a
// time while eight remain, so nothing past `limit` is read.
inline int MatchLength(const uint8_t* a, const uint8_t* b, int limit) {
  int n = 0;
  while (n + 8 <= limit) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (const uint64_t d = x ^ y; d != 0) {
      if constexpr (std::endian::native == std::endian::little)
        return n + std::countr_zero(d) / 8;
      else
        return n + std::countl_zero(d) / 8;
    }
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

}  // namespace kv::tools

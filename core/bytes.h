// Little-endian load and store helpers for decoding records from bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kv {

inline uint16_t LoadLE16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t LoadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void StoreLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Byte sum: every byte taken unsigned, added modulo 2^32. The session sums
// every block it writes, so this runs over every output byte: with SSE2 one
// PSADBW adds 16 bytes at a time into two 64-bit lanes.
inline uint32_t ByteSum(const uint8_t* p, size_t n, uint32_t sum = 0) {
  size_t i = 0;
#if defined(__SSE2__)
  __m128i acc = _mm_setzero_si128();
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    acc = _mm_add_epi64(acc, _mm_sad_epu8(v, zero));
  }
  sum += static_cast<uint32_t>(_mm_cvtsi128_si32(acc)) +
         static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(acc, 8)));
#endif
  for (; i < n; ++i) sum += p[i];
  return sum;
}

}  // namespace kv

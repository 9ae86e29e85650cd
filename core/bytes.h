// Little-endian load and store helpers for decoding records from bytes.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Byte sum: every byte taken unsigned, added modulo 2^32.
inline uint32_t ByteSum(const uint8_t* p, size_t n, uint32_t sum = 0) {
  for (size_t i = 0; i < n; ++i) sum += p[i];
  return sum;
}

}  // namespace kv

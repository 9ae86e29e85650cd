// A level-0 LHA member header, for tests that make LHA archives of their
// own: the import's, and the bounds test's archives too large to hold.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/bytes.h"

namespace kv::test {

// The header of one member whose `packed` compressed bytes follow it: the
// header size and byte sum, `method` (five characters), the sizes, a fixed
// time, attribute 0x20, level 0, `name` and the CRC-16 of the original data.
inline std::vector<uint8_t> LhaLevel0Header(const std::string& method, const std::string& name,
                                            uint32_t packed, uint32_t original_size, uint16_t crc) {
  std::vector<uint8_t> h(24 + name.size(), 0);
  h[0] = static_cast<uint8_t>(h.size() - 2);
  std::copy(method.begin(), method.end(), h.begin() + 2);
  StoreLE32(&h[7], packed);
  StoreLE32(&h[11], original_size);
  h[19] = 0x20;
  h[21] = static_cast<uint8_t>(name.size());
  std::copy(name.begin(), name.end(), h.begin() + 22);
  StoreLE16(&h[22 + name.size()], crc);
  h[1] = static_cast<uint8_t>(ByteSum(&h[2], h.size() - 2));
  return h;
}

}  // namespace kv::test

// The test-side writer of crafted bit streams: LZH1 and LH5 streams are read
// most significant bit first, so this writer fills each byte from its top
// bit. Tests and the structured fuzz target write codes, fields and lengths
// through it and compare what the expander makes of them with their own
// model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv::test {

class BitWriter {
 public:
  // The low `n` bits of `value`, highest first (n <= 32).
  BitWriter& Bits(uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) Bit(((value >> i) & 1) != 0);
    return *this;
  }
  BitWriter& Bit(bool bit) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    if (bit) bytes_.back() = static_cast<uint8_t>(bytes_.back() | (0x80 >> (count_ % 8)));
    ++count_;
    return *this;
  }
  // A length of LH5's code-length or position list: 3 bits for 0..6; for 7
  // and more the 3 bits 7, then one 1 bit for every step above 7 and a 0 bit.
  BitWriter& Lh5Length(int length) {
    if (length < 7) return Bits(static_cast<uint32_t>(length), 3);
    Bits(7, 3);
    for (int k = 7; k < length; ++k) Bit(true);
    return Bit(false);
  }

  size_t BitCount() const { return count_; }
  // The bytes, the last one filled with 0 bits, then `pad` zero bytes.
  std::vector<uint8_t> Bytes(size_t pad = 0) const {
    std::vector<uint8_t> out = bytes_;
    out.resize(out.size() + pad, 0);
    return out;
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t count_ = 0;
};

}  // namespace kv::test

// Shared pieces of the fuzz targets; the doubles and file helpers they
// share with the tests come from the test kit (tests/kit), which needs no
// GoogleTest.
//
// Every target is one LLVMFuzzerTestOneInput. Under the fuzz preset it is
// linked with libFuzzer (clang, AddressSanitizer, UndefinedBehaviorSanitizer);
// in the ordinary host build the same function is linked with replay_main.cpp
// and replays fuzz/corpus/<target>/ as a ctest, so every input that ever
// found a fault stays tested.
//
// A target catches only the system's named failures (kv::Exception and, for
// the builder's readers, BuilderError). Anything else that escapes (a
// standard exception, a crash, a sanitizer report) is a finding.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tests/kit/files.h"
#include "tests/kit/streams.h"

namespace kv::fuzz {

// Largest output one run may produce. A claimed size (Destsize, an LHA
// member's original size) is clamped to it, and the sinks (the kit's
// CountingSink, tests/kit/streams.h) refuse more, so a field of 0x7FFFFFFF
// cannot make a single run take seconds.
inline constexpr int32_t kOutputCap = 1 << 16;

// Takes values from the front of the input; an exhausted input gives zeros.
class InputBytes {
 public:
  InputBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Le32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{Byte()} << (8 * i);
    return v;
  }
  // A value in [lo, hi], from as few bytes as the range needs.
  uint32_t Range(uint32_t lo, uint32_t hi) {
    const uint32_t span = hi - lo;
    uint32_t v = Byte();
    if (span > 0xFF) v |= uint32_t{Byte()} << 8;
    if (span > 0xFFFF) v |= uint32_t{Byte()} << 16;
    return span == 0xFFFFFFFFu ? v : lo + v % (span + 1);
  }
  const uint8_t* Rest() const { return data_ + pos_; }
  size_t RestSize() const { return size_ - pos_; }
  bool Empty() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A claimed size as the harness lets it through: negative values unchanged
// (the codecs must produce nothing for them), large ones clamped to the cap.
inline int32_t CappedDestsize(uint32_t field) {
  const auto v = static_cast<int32_t>(field);
  return v > kOutputCap ? kOutputCap : v;
}

// Stops the run the loud way: an oracle of a target disagreed.
[[noreturn]] inline void Fail() {
  std::abort();
}

}  // namespace kv::fuzz

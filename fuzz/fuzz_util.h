// Shared pieces of the fuzz targets.
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

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/bytes.h"
#include "core/stream.h"

namespace kv::fuzz {

// Largest output one run may produce. A claimed size (Destsize, an LHA
// member's original size) is clamped to it, and the sinks refuse more, so a
// field of 0x7FFFFFFF cannot make a single run take seconds.
inline constexpr int32_t kOutputCap = 1 << 16;

// A sink that keeps only a byte sum and a count, and accepts at most `cap`
// bytes in all: a write past the cap is accepted short, which the writer's
// WriteBuffer turns into EWriteError, a named failure that ends the run.
class CappedSink final : public TStream {
 public:
  explicit CappedSink(int64_t cap = kOutputCap) : cap_(cap) {}

  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override {
    if (count <= 0) return 0;
    const auto n = static_cast<int32_t>(std::min<int64_t>(count, cap_ - size_));
    sum_ = ByteSum(static_cast<const uint8_t*>(buffer), static_cast<size_t>(n), sum_);
    size_ += n;
    return n;
  }
  int64_t Seek(int64_t, SeekOrigin) override { return size_; }
  int64_t Size() override { return size_; }

  uint32_t Sum() const { return sum_; }

 private:
  int64_t cap_;
  int64_t size_ = 0;
  uint32_t sum_ = 0;
};

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

// A file in /tmp for targets whose entry point takes a file name: one per
// process, rewritten for every input, removed when the process ends.
class ScratchFile {
 public:
  explicit ScratchFile(const char* tag) {
    std::string pattern = std::string("/tmp/kv-fuzz-") + tag + "-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) Fail();
    ::close(fd);
    path_ = pattern;
  }
  ~ScratchFile() { std::remove(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& Write(const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (f == nullptr) Fail();
    const bool written = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written) Fail();
    return path_;
  }

 private:
  std::string path_;
};

}  // namespace kv::fuzz

// The builder's streams, all in one place: views of other streams and of
// memory, sinks that only count, a stream over a file descriptor, and the
// gatherer of small writes. Each is a TStream, the interface of the
// archive component and the codec session.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/stream.h"

namespace kv::tools {

// A read-only view of `length` bytes of another stream from `base` on; its
// positions and size are those of the view.
class TWindowStream final : public TStream {
 public:
  TWindowStream(TStream& inner, int64_t base, int64_t length)
      : inner_(inner), base_(base), length_(length) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override { return length_; }

 private:
  TStream& inner_;
  int64_t base_;
  int64_t length_;
  int64_t position_ = 0;
};

// A read-only stream over bytes held elsewhere, which must outlive it.
class TSpanStream final : public TStream {
 public:
  explicit TSpanStream(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }

 private:
  std::span<const uint8_t> bytes_;
  int64_t position_ = 0;
};

// A sink that only counts and sums what is written, for testing archives.
class SummingSink final : public TStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t, SeekOrigin) override { return size_; }
  int64_t Size() override { return size_; }
  uint32_t Sum() const { return sum_; }

 private:
  int64_t size_ = 0;
  uint32_t sum_ = 0;
};

// A stream over an open file descriptor (standard output, a device), not
// owned; reads deliver nothing and a position is not kept.
class DescriptorStream final : public TStream {
 public:
  DescriptorStream(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t, SeekOrigin) override { return written_; }
  int64_t Size() override { return written_; }
  // The reason of the first failed write, empty while none failed.
  const std::string& Failure() const { return failure_; }

 private:
  int fd_;
  std::string name_;
  int64_t written_ = 0;
  std::string failure_;
};

// Gathers the writes to `out` into pieces of kPiece bytes, so that a run of
// small writes (the codec session's 8 KiB blocks) costs one system call a
// piece. Reads, seeks and Size hand over what is gathered first; a position
// query does not. Flush() hands it over and raises EWriteError when `out`
// takes less. A write that finds the piece full and `out` failing accepts
// nothing, so the caller's WriteBuffer raises there; what was gathered but
// not flushed when the gatherer goes away is dropped (its owner is failing).
class GatheredWrites final : public TStream {
 public:
  static constexpr int32_t kPiece = 256 << 10;

  explicit GatheredWrites(TStream& out) : out_(out) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override;
  void Flush();

 private:
  bool HandOver();

  TStream& out_;
  std::vector<uint8_t> piece_;
};

}  // namespace kv::tools

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

// A sink that keeps the first `limit` bytes written and accepts no more:
// the write that would pass them takes only what fits, so the writer's
// WriteBuffer raises EWriteError there and an expansion of which only the
// start is wanted ends without expanding the rest.
class HeadSink final : public TStream {
 public:
  explicit HeadSink(size_t limit) : limit_(limit) {}
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t, SeekOrigin) override { return static_cast<int64_t>(head_.size()); }
  int64_t Size() override { return static_cast<int64_t>(head_.size()); }
  const std::vector<uint8_t>& Head() const { return head_; }
  bool Full() const { return head_.size() >= limit_; }

 private:
  size_t limit_;
  std::vector<uint8_t> head_;
};

// A stream over an open file descriptor, not owned: reads, writes and
// positions are the system's. On a descriptor that cannot seek (a pipe, a
// terminal) a seek only reports the count written.
class DescriptorStream final : public TStream {
 public:
  DescriptorStream(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override;
  // The reason of the first failed read or write, empty while none failed.
  const std::string& Failure() const { return failure_; }

 private:
  int fd_;
  std::string name_;
  int64_t written_ = 0;
  std::string failure_;
};

// Passes everything to `out`, and raises BuilderError `too_large` as soon
// as a write would take it to more than the format's 2 GiB - 1 bytes: a
// result that cannot be used stops there, not after the rest is packed.
class CappedStream final : public TStream {
 public:
  CappedStream(TStream& out, std::string too_large)
      : out_(out), too_large_(std::move(too_large)), position_(out.Position()) {}
  int32_t Read(void* buffer, int32_t count) override { return out_.Read(buffer, count); }
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    position_ = out_.Seek(offset, origin);
    return position_;
  }
  int64_t Size() override { return out_.Size(); }

 private:
  TStream& out_;
  std::string too_large_;
  int64_t position_;
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

#include "tools/streams.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/bytes.h"
#include "core/exceptions.h"
#include "tools/archive_writer.h"
#include "tools/host.h"

namespace kv::tools {

int32_t TWindowStream::Read(void* buffer, int32_t count) {
  const int64_t left = std::max<int64_t>(length_ - position_, 0);
  const auto n = static_cast<int32_t>(std::min<int64_t>(count, left));
  if (n <= 0) return 0;
  inner_.SetPosition(base_ + position_);
  const int32_t got = inner_.Read(buffer, n);
  position_ += got;
  return got;
}

int64_t TWindowStream::Seek(int64_t offset, SeekOrigin origin) {
  position_ = SeekTarget(position_, length_, offset, origin);
  return position_;
}

int32_t TSpanStream::Read(void* buffer, int32_t count) {
  const int64_t left = std::max<int64_t>(Size() - position_, 0);
  const auto n = static_cast<int32_t>(std::min<int64_t>(count, left));
  if (n <= 0) return 0;
  std::memcpy(buffer, bytes_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TSpanStream::Seek(int64_t offset, SeekOrigin origin) {
  position_ = SeekTarget(position_, Size(), offset, origin);
  return position_;
}

int32_t SummingSink::Write(const void* buffer, int32_t count) {
  sum_ = ByteSum(static_cast<const uint8_t*>(buffer), static_cast<size_t>(count), sum_);
  size_ += count;
  return count;
}

int32_t HeadSink::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  const size_t take = std::min(static_cast<size_t>(count), limit_ - head_.size());
  const auto* p = static_cast<const uint8_t*>(buffer);
  head_.insert(head_.end(), p, p + take);
  return static_cast<int32_t>(take);
}

bool GatheredWrites::HandOver() {
  const auto n = static_cast<int32_t>(piece_.size());
  const int32_t done = n == 0 ? 0 : out_.Write(piece_.data(), n);
  piece_.erase(piece_.begin(), piece_.begin() + done);
  return done == n;
}

int32_t GatheredWrites::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  if (piece_.size() + static_cast<size_t>(count) > static_cast<size_t>(kPiece) && !HandOver())
    return 0;
  if (count >= kPiece) return out_.Write(buffer, count);
  if (piece_.capacity() == 0) piece_.reserve(static_cast<size_t>(kPiece));
  const auto* p = static_cast<const uint8_t*>(buffer);
  piece_.insert(piece_.end(), p, p + count);
  return count;
}

void GatheredWrites::Flush() {
  if (!HandOver()) RaiseWriteError();
}

int32_t GatheredWrites::Read(void* buffer, int32_t count) {
  Flush();
  return out_.Read(buffer, count);
}

int64_t GatheredWrites::Seek(int64_t offset, SeekOrigin origin) {
  if (offset == 0 && origin == SeekOrigin::kCurrent)
    return out_.Seek(0, SeekOrigin::kCurrent) + static_cast<int64_t>(piece_.size());
  Flush();
  return out_.Seek(offset, origin);
}

int64_t GatheredWrites::Size() {
  Flush();
  return out_.Size();
}

int32_t CappedStream::Write(const void* buffer, int32_t count) {
  if (count > 0 && static_cast<uint64_t>(position_) + static_cast<uint64_t>(count) > kMaxFieldValue)
    throw BuilderError(too_large_);
  const int32_t done = out_.Write(buffer, count);
  position_ += done;
  return done;
}

int32_t DescriptorStream::Read(void* buffer, int32_t count) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, static_cast<unsigned>(count));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (failure_.empty()) failure_ = std::strerror(errno);
      return 0;
    }
    return static_cast<int32_t>(n);
  }
}

int64_t DescriptorStream::Seek(int64_t offset, SeekOrigin origin) {
  const int64_t now = host::Seek(fd_, 0, SEEK_CUR);
  if (now < 0) return written_;
  if (origin == SeekOrigin::kCurrent && offset == 0) return now;
  const int64_t size = Size();
  return host::Seek(fd_, SeekTarget(now, size, offset, origin), SEEK_SET);
}

int64_t DescriptorStream::Size() {
  host::FileInfo info;
  return host::StatOpen(fd_, info) && info.kind == host::FileKind::kFile
             ? static_cast<int64_t>(info.size)
             : written_;
}

int32_t DescriptorStream::Write(const void* buffer, int32_t count) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  int32_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, p + done, static_cast<unsigned>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (failure_.empty()) failure_ = n < 0 ? std::strerror(errno) : "nothing written";
      break;
    }
    done += static_cast<int32_t>(n);
  }
  written_ += done;
  return done;
}

}  // namespace kv::tools

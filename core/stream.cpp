#include "core/stream.h"

#include <algorithm>
#include <cstring>

#include "core/exceptions.h"

namespace kv {

int64_t TStream::Size() {
  const int64_t position = Seek(0, SeekOrigin::kCurrent);
  const int64_t size = Seek(0, SeekOrigin::kEnd);
  Seek(position, SeekOrigin::kBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int32_t count) {
  if (count != 0 && Read(buffer, count) != count) RaiseReadError();
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
  if (count != 0 && Write(buffer, count) != count) RaiseWriteError();
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count < 0) RaiseReadError();
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  const int64_t total = count;
  const auto buffer_size = static_cast<int32_t>(std::min<int64_t>(count, kMaxCopyBuffer));
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[static_cast<size_t>(std::max(buffer_size, 1))]);
  while (count > 0) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(count, buffer_size));
    source.ReadBuffer(buffer.get(), n);
    WriteBuffer(buffer.get(), n);
    count -= n;
  }
  return total;
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
  const int64_t size = Size();
  if (count <= 0 || position_ >= size) return 0;
  const auto n = static_cast<int32_t>(std::min<int64_t>(count, size - position_));
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  const auto end = static_cast<size_t>(position_) + static_cast<size_t>(count);
  if (end > data_.size()) data_.resize(end);
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, SeekOrigin origin) {
  position_ = SeekTarget(position_, Size(), offset, origin);
  return position_;
}

TFileStream::TFileStream(const std::string& file_name, FileMode mode)
    : file_name_(file_name), handle_(OpenHandle(file_name, mode)) {
  if (handle_ == kNoHandle) {
    if (mode == FileMode::kCreate || mode == FileMode::kCreateNew) RaiseCreateError(file_name);
    RaiseOpenError(file_name);
  }
}

std::unique_ptr<TFileStream> TFileStream::TryOpen(const std::string& file_name, FileMode mode) {
  const intptr_t handle = OpenHandle(file_name, mode);
  if (handle == kNoHandle) return nullptr;
  return std::unique_ptr<TFileStream>(new TFileStream(file_name, handle));
}

}  // namespace kv

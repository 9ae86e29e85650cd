#include "tests/kit/streams.h"

#include <algorithm>

#include "core/bytes.h"

namespace kv::test {

int32_t TestStream::Read(void* buffer, int32_t count) {
  reads.push_back(count);
  if (static_cast<int>(reads.size()) == fail_read_at) {
    failed = true;
    return 0;
  }
  return inner_.Read(buffer, std::min(count, max_read));
}

int32_t TestStream::Write(const void* buffer, int32_t count) {
  if (failed) ++writes_after_failure;
  writes.push_back(count);
  if (static_cast<int>(writes.size()) == fail_write_at) {
    failed = true;
    return inner_.Write(buffer, count / 2);
  }
  return inner_.Write(buffer, std::min(count, max_write));
}

int32_t CountingSink::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  const auto n = static_cast<int32_t>(std::min<int64_t>(count, cap_ - size_));
  sum_ = ByteSum(static_cast<const uint8_t*>(buffer), static_cast<size_t>(n), sum_);
  size_ += n;
  return n;
}

void ProgressLog::OnProgress(int32_t& percentage_done) {
  reports.push_back(percentage_done);
  if (static_cast<int>(reports.size()) - 1 == refuse_at) percentage_done = -1;
}

}  // namespace kv::test

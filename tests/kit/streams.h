// Stream and progress doubles shared by the tests, the fuzz targets and the
// benchmarks.
#pragma once

#include <climits>
#include <cstdint>
#include <vector>

#include "archive/events.h"
#include "core/stream.h"

namespace kv::test {

// A stream over memory that records every call and shortens or fails the
// ones it is told to: for sources that deliver short reads (max_read 1 is a
// trickle of one byte per call, so the session refills once for every byte
// the codec fetches) and for the failing reads and writes of fault
// injection.
class TestStream final : public TStream {
 public:
  explicit TestStream(std::vector<uint8_t> data = {}, int32_t read_limit = INT32_MAX)
      : max_read(read_limit), inner_(std::move(data)) {}

  int32_t max_read = INT32_MAX;   // a Read delivers at most this many bytes
  int32_t max_write = INT32_MAX;  // a Write takes at most this many bytes
  int fail_read_at = 0;           // 1-based Read call that delivers nothing; 0: none
  int fail_write_at = 0;          // 1-based Write call that takes only half; 0: none

  std::vector<int32_t> reads;   // the count asked for by every Read call
  std::vector<int32_t> writes;  // the count offered to every Write call
  bool failed = false;          // a chosen call has failed
  int writes_after_failure = 0;

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_.Seek(offset, origin); }
  int64_t Size() override { return inner_.Size(); }
  const std::vector<uint8_t>& Data() const { return inner_.Data(); }

 private:
  TMemoryStream inner_;
};

// A sink that keeps only a count and a byte sum, and takes at most `cap`
// bytes in all: a write past the cap is taken short, which the writer's
// WriteBuffer turns into EWriteError, a named failure. So a claimed size of
// 2 GiB streams through without being held, and a run can be bounded.
class CountingSink final : public TStream {
 public:
  explicit CountingSink(int64_t cap = INT64_MAX) : cap_(cap) {}
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t, SeekOrigin) override { return size_; }
  int64_t Size() override { return size_; }
  uint32_t Sum() const { return sum_; }

 private:
  int64_t cap_;
  int64_t size_ = 0;
  uint32_t sum_ = 0;
};

// A progress handler that records every report and answers the one numbered
// `refuse_at` (0-based) with -1, the refusal that ends the input.
struct ProgressLog {
  std::vector<int32_t> reports;
  int refuse_at = -1;  // -1: never refuses
  void OnProgress(int32_t& percentage_done);
  TShowProgressEvent Event() { return TShowProgressEvent::Bind<&ProgressLog::OnProgress>(this); }
};

}  // namespace kv::test

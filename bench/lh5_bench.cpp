// LH5 expansion speed: MB/s of output through the whole codec session (byte
// source, expander, byte sink with its sums and block writes), the way the
// component runs it.
//
// Inputs: text, binary-like and mixed data of 16 MiB or more, compressed
// once by the builder's -lh5- writer; and, when KV_LH5_BENCH_ARCHIVE names an
// archive, its first "LH5" entry (scripts/bench-lh5.sh brings in an LHA
// archiver's stream that way, so that peers decode the very same bits).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "archive/codec_session.h"
#include "core/stream.h"
#include "tests/kit/archives.h"
#include "tests/kit/bytes.h"
#include "tests/kit/streams.h"
#include "tools/compressors.h"

namespace kv {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

// The deterministic kinds of data the tests use (tests/kit/bytes.h).
using test::BinaryData;
using test::TextData;

struct Input {
  std::vector<uint8_t> stored;
  int32_t destsize = 0;
};

Input Compressed(const std::vector<uint8_t>& data) {
  return Input{tools::CompressLh5(data), static_cast<int32_t>(data.size())};
}

void Expand(benchmark::State& state, const Input& in) {
  TKVDoziRivovaze component(nullptr);
  uint32_t checksum = 0;
  for (auto _ : state) {
    TMemoryStream source(in.stored);
    test::CountingSink sink;
    RunCodecSession(component, sink, source, static_cast<int32_t>(in.stored.size()), in.destsize,
                    kMethodLh5, checksum, true);
    benchmark::DoNotOptimize(checksum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * in.destsize);
  state.counters["ratio"] = static_cast<double>(in.stored.size()) / in.destsize;
}

void BM_Lh5Text(benchmark::State& state) {
  static const Input in = Compressed(TextData(16 * kMiB, 1));
  state.SetLabel("text, 16 MiB");
  Expand(state, in);
}

void BM_Lh5Binary(benchmark::State& state) {
  static const Input in = Compressed(BinaryData(16 * kMiB, 2));
  state.SetLabel("binary-like, 16 MiB");
  Expand(state, in);
}

void BM_Lh5Mixed(benchmark::State& state) {
  static const Input in = [] {
    std::vector<uint8_t> data;
    for (int i = 0; i < 8; ++i) {
      const std::vector<uint8_t> part = i % 2 == 0
                                            ? TextData(2 * kMiB, 10 + static_cast<uint32_t>(i))
                                            : BinaryData(2 * kMiB, 20 + static_cast<uint32_t>(i));
      data.insert(data.end(), part.begin(), part.end());
    }
    return Compressed(data);
  }();
  state.SetLabel("text and binary in 2 MiB turns, 16 MiB");
  Expand(state, in);
}

// The first LH5 entry of the archive named by KV_LH5_BENCH_ARCHIVE.
void BM_Lh5Archive(benchmark::State& state) {
  static const Input in = [] {
    Input found;
    const char* path = std::getenv("KV_LH5_BENCH_ARCHIVE");
    if (path == nullptr) return found;
    for (test::StoredEntry& e : test::ReadEntries(path)) {
      if (e.header.Method != kMethodLh5) continue;
      found.stored = std::move(e.stored);
      found.destsize = e.header.Destsize;
      break;
    }
    return found;
  }();
  if (in.destsize == 0) {
    state.SkipWithError("set KV_LH5_BENCH_ARCHIVE to an archive with an LH5 entry");
    return;
  }
  state.SetLabel(std::getenv("KV_LH5_BENCH_ARCHIVE"));
  Expand(state, in);
}

BENCHMARK(BM_Lh5Text)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lh5Binary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lh5Mixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lh5Archive)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kv

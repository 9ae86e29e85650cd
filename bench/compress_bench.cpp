// The builder's compressors: MB/s of input through the streaming interface
// (fed in 1 MiB pieces, as WriteArchive reads files, into a sink that only
// counts): LH5 at the fastest, the default and the smallest level, LZH at
// the default and the smallest, and RLE.
// The ratio counter is stored bytes per input byte.
//
// Inputs of 4 MiB each, the deterministic kinds of the tests
// (tests/kit/bytes.h): text-like, binary-like (structured like executable
// code) and the two in 1 MiB turns.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "archive/records.h"
#include "tests/kit/bytes.h"
#include "tools/compressors.h"

namespace kv {
namespace {

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kInputSize = 4 * kMiB;

struct Input {
  const char* label;
  std::vector<uint8_t> data;
};

const Input& InputOf(int index) {
  static const Input inputs[] = {
      {"text, 4 MiB", test::DataOfKind("text", kInputSize, 1)},
      {"binary-like, 4 MiB", test::DataOfKind("binary", kInputSize, 2)},
      {"text and binary in 1 MiB turns, 4 MiB",
       [] {
         std::vector<uint8_t> data;
         for (uint32_t i = 0; i < 4; ++i)
           test::Append(data, test::DataOfKind(i % 2 == 0 ? "text" : "binary", kMiB, 10 + i));
         return data;
       }()},
  };
  return inputs[index];
}

void Compress(benchmark::State& state, uint8_t method, int level) {
  const Input& in = InputOf(static_cast<int>(state.range(0)));
  const std::span<const uint8_t> data(in.data);
  int64_t stored = 0;
  for (auto _ : state) {
    stored = 0;
    std::unique_ptr<tools::StreamCompressor> c = tools::StreamCompressorFor(
        method, level,
        [&](std::span<const uint8_t> b) { stored += static_cast<int64_t>(b.size()); });
    for (size_t at = 0; at < data.size(); at += kMiB)
      c->Feed(data.subspan(at, std::min(kMiB, data.size() - at)));
    c->Finish();
    benchmark::DoNotOptimize(stored);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
  state.SetLabel(in.label);
  state.counters["ratio"] = static_cast<double>(stored) / static_cast<double>(data.size());
}

void BM_Lh5Fastest(benchmark::State& state) {
  Compress(state, kMethodLh5, tools::kMinLevel);
}
void BM_Lh5Default(benchmark::State& state) {
  Compress(state, kMethodLh5, tools::kDefaultLevel);
}
void BM_Lh5Smallest(benchmark::State& state) {
  Compress(state, kMethodLh5, tools::kMaxLevel);
}
void BM_Lzh1Default(benchmark::State& state) {
  Compress(state, kMethodLzh1, tools::kDefaultLevel);
}
void BM_Lzh1Smallest(benchmark::State& state) {
  Compress(state, kMethodLzh1, tools::kMaxLevel);
}
void BM_Rle(benchmark::State& state) {
  Compress(state, kMethodRle, tools::kDefaultLevel);
}

// Argument: the input (0 text, 1 binary-like, 2 mixed).
BENCHMARK(BM_Lh5Fastest)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lh5Default)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lh5Smallest)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lzh1Default)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lzh1Smallest)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rle)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kv

// The builder's LZH1 compressor: MB/s of input through the streaming
// interface at the default and the smallest level, fed in 1 MiB pieces into
// a sink that only counts; linked into compress_bench beside the LH5 and RLE
// cases. The ratio counter is stored bytes per input byte.
//
// Inputs of 4 MiB, the test kit's deterministic kinds: text-like,
// binary-like, and the two in 1 MiB turns.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <span>
#include <vector>

#include "tests/kit/bytes.h"
#include "tools/compressors.h"

namespace kv {
namespace {

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kInputSize = 4 * kMiB;

// Argument 0 text, 1 binary-like, 2 both in turns.
const std::vector<uint8_t>& Lzh1Input(int64_t index, const char** label) {
  static const std::vector<uint8_t> inputs[] = {
      test::DataOfKind("text", kInputSize, 1),
      test::DataOfKind("binary", kInputSize, 2),
      [] {
        std::vector<uint8_t> data;
        for (uint32_t i = 0; i < 4; ++i)
          test::Append(data, test::DataOfKind(i % 2 == 0 ? "text" : "binary", kMiB, 10 + i));
        return data;
      }(),
  };
  static const char* const labels[] = {"text, 4 MiB", "binary-like, 4 MiB",
                                       "text and binary in 1 MiB turns, 4 MiB"};
  *label = labels[index];
  return inputs[index];
}

void CompressLzh1(benchmark::State& state, int level) {
  const char* label = nullptr;
  const std::span<const uint8_t> data(Lzh1Input(state.range(0), &label));
  int64_t stored = 0;
  for (auto _ : state) {
    stored = 0;
    std::unique_ptr<tools::StreamCompressor> c = tools::MakeLzh1Compressor(
        level, [&](std::span<const uint8_t> b) { stored += static_cast<int64_t>(b.size()); });
    for (size_t at = 0; at < data.size(); at += kMiB)
      c->Feed(data.subspan(at, std::min(kMiB, data.size() - at)));
    c->Finish();
    benchmark::DoNotOptimize(stored);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
  state.SetLabel(label);
  state.counters["ratio"] = static_cast<double>(stored) / static_cast<double>(data.size());
}

void BM_Lzh1Default(benchmark::State& state) {
  CompressLzh1(state, tools::kDefaultLevel);
}
void BM_Lzh1Smallest(benchmark::State& state) {
  CompressLzh1(state, tools::kMaxLevel);
}

BENCHMARK(BM_Lzh1Default)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lzh1Smallest)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kv

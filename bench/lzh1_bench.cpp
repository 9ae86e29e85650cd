// Throughput of the LZH1 expander, in bytes of output per second, through
// the whole codec session (buffers, sums, the sink's block writes) the way
// an extraction runs it.
//
// Inputs, each coded once before timing:
//   mixed          16+ MiB: real text (LONG.TXT of the corpus), the test
//                  kit's text, binary-like and random data,
//                  coded by the builder's LZH1 coder as one stream
//   text, binary, random, zeros   4 MiB of one kind each
//   lharc113-long  the corpus's real -lh1- stream written by LHarc 1.13,
//                  expanded as it is (1.2 MB of output per session)
//
//   lzh1_bench [benchmark flags]
//   lzh1_bench --write-mixed FILE   writes the mixed input, uncompressed,
//                                   for tools that measure elsewhere
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/codec_session.h"
#include "tests/kit/archives.h"
#include "tests/kit/bytes.h"
#include "tests/kit/files.h"
#include "tests/kit/streams.h"
#include "tools/compressors.h"

namespace kv {
namespace {

using test::BinaryData;
using test::RandomData;
using test::TextData;

std::string CorpusFile(const char* name) {
  return test::CorpusDir() + "/lha-peers/" + name;
}

std::vector<uint8_t> MixedData() {
  std::vector<uint8_t> out;
  const std::vector<uint8_t> long_txt = test::ReadFile(CorpusFile("lharc113-long.out"));
  auto add = [&out](const std::vector<uint8_t>& part) {
    out.insert(out.end(), part.begin(), part.end());
  };
  for (uint32_t round = 1; round <= 4; ++round) {
    add(TextData(1536 * 1024, round));
    add(BinaryData(1536 * 1024, round));
    add(long_txt);
    add(RandomData(128 * 1024, round));
  }
  return out;
}

struct Input {
  std::vector<uint8_t> stored;
  int32_t destsize = 0;
};

Input Coded(const std::vector<uint8_t>& data) {
  return {tools::CompressLzh1(data), static_cast<int32_t>(data.size())};
}

// The stored bytes of the single entry of a corpus archive.
Input CorpusStream(const char* name) {
  std::vector<test::StoredEntry> entries = test::ReadEntries(CorpusFile(name));
  if (entries.empty()) return {};
  return {std::move(entries[0].stored), entries[0].header.Destsize};
}

// Each input is made on first use, so that a filtered run codes only what
// it measures.
const Input& MixedInput() {
  static const Input in = Coded(MixedData());
  return in;
}
const Input& TextInput() {
  static const Input in = Coded(TextData(4 << 20, 9));
  return in;
}
const Input& BinaryInput() {
  static const Input in = Coded(BinaryData(4 << 20, 9));
  return in;
}
const Input& RandomInput() {
  static const Input in = Coded(RandomData(4 << 20, 9));
  return in;
}
const Input& ZerosInput() {
  static const Input in = Coded(std::vector<uint8_t>(4 << 20, 0));
  return in;
}
const Input& LharcInput() {
  static const Input in = CorpusStream("lharc113-long.zerk");
  return in;
}

void BM_ExpandLzh1(benchmark::State& state, const Input& (*make)()) {
  const Input& input = make();
  TKVDoziRivovaze component(nullptr);
  uint32_t checksum = 0;
  for (auto _ : state) {
    TMemoryStream source(input.stored);
    test::CountingSink sink;
    RunCodecSession(component, sink, source, static_cast<int32_t>(input.stored.size()),
                    input.destsize, kMethodLzh1, checksum, true);
    benchmark::DoNotOptimize(checksum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * input.destsize);
  state.SetLabel(std::to_string(input.destsize) + " bytes from " +
                 std::to_string(input.stored.size()));
}

BENCHMARK_CAPTURE(BM_ExpandLzh1, mixed, MixedInput)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExpandLzh1, text, TextInput)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExpandLzh1, binary, BinaryInput)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExpandLzh1, random, RandomInput)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExpandLzh1, zeros, ZerosInput)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExpandLzh1, lharc113_long, LharcInput)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kv

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-mixed") == 0) {
    const std::vector<uint8_t> data = kv::MixedData();
    std::FILE* f = std::fopen(argv[2], "wb");
    const bool ok = f != nullptr && std::fwrite(data.data(), 1, data.size(), f) == data.size();
    if (f != nullptr) std::fclose(f);
    return ok ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

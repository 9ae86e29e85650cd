// Throughput of the LZH1 expander, in bytes of output per second, through
// the whole codec session (buffers, sums, the sink's block writes) the way
// an extraction runs it.
//
// Inputs, each coded once before timing:
//   mixed          16+ MiB: real text (LONG.TXT of the corpus), synthetic
//                  prose, machine-code-like binary and some random bytes,
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
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "archive/codec_session.h"
#include "tools/archive_reader.h"
#include "tools/compressors.h"

namespace kv {
namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> Prose(size_t size, uint32_t seed) {
  static const char* const kWords[] = {
      "the ",      "archive ", "entry ",   "of ",      "and ",    "setup ",     "window ",
      "code ",     "length ",  "table ",   "byte ",    "stream ", "header.\n",  "a ",
      "launcher ", "to ",      "with ",    "match ",   "tree ",   "data, ",     "file ",
      "install ",  "is ",      "Windows ", "program ", "folder ", "temporary ", "name "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  while (out.size() < size) {
    for (const char* w = kWords[rng() % std::size(kWords)]; *w != 0; ++w)
      out.push_back(static_cast<uint8_t>(*w));
  }
  out.resize(size);
  return out;
}

// Machine-code-like bytes: opcodes from a small set, little-endian
// displacements and addresses, zero padding, now and then a random run.
std::vector<uint8_t> CodeLike(size_t size, uint32_t seed) {
  static const uint8_t kOps[] = {0x8B, 0x89, 0x55, 0x5D, 0xC3, 0xE8, 0x83, 0xC4,
                                 0x50, 0x51, 0x6A, 0xFF, 0x15, 0x74, 0x75, 0x0F};
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  while (out.size() < size) {
    switch (rng() % 6) {
      case 0:
        out.insert(out.end(), rng() % 16, 0);
        break;
      case 1:
        for (uint32_t i = 0, n = rng() % 8; i < n; ++i) out.push_back(static_cast<uint8_t>(rng()));
        break;
      case 2: {
        const uint32_t addr = 0x00401000 + (rng() % 64) * 4;
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(addr >> (8 * i)));
        break;
      }
      default:
        for (uint32_t i = 0, n = 1 + rng() % 6; i < n; ++i) out.push_back(kOps[rng() % 16]);
    }
  }
  out.resize(size);
  return out;
}

std::vector<uint8_t> Random(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

std::string CorpusFile(const char* name) {
  return std::string(KV_CORPUS_DIR) + "/lha-peers/" + name;
}

std::vector<uint8_t> MixedData() {
  std::vector<uint8_t> out;
  const std::vector<uint8_t> long_txt = ReadAll(CorpusFile("lharc113-long.out"));
  auto add = [&out](const std::vector<uint8_t>& part) {
    out.insert(out.end(), part.begin(), part.end());
  };
  for (uint32_t round = 1; round <= 4; ++round) {
    add(Prose(1536 * 1024, round));
    add(CodeLike(1536 * 1024, round));
    add(long_txt);
    add(Random(128 * 1024, round));
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
  TKVDoziRivovaze component(nullptr);
  TFileStream archive(CorpusFile(name), FileMode::kOpenReadShared);
  const tools::ArchiveListing listing = tools::ListArchive(component, archive);
  Input in;
  if (listing.entries.empty()) return in;
  const tools::ListedEntry& e = listing.entries[0];
  in.destsize = e.header.Destsize;
  in.stored.resize(static_cast<size_t>(e.header.Sourcesize));
  archive.SetPosition(e.data_offset);
  archive.ReadBuffer(in.stored.data(), e.header.Sourcesize);
  return in;
}

// Each input is made on first use, so that a filtered run codes only what
// it measures.
const Input& MixedInput() {
  static const Input in = Coded(MixedData());
  return in;
}
const Input& TextInput() {
  static const Input in = Coded(Prose(4 << 20, 9));
  return in;
}
const Input& BinaryInput() {
  static const Input in = Coded(CodeLike(4 << 20, 9));
  return in;
}
const Input& RandomInput() {
  static const Input in = Coded(Random(4 << 20, 9));
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
    tools::SummingSink sink;
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

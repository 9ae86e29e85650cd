// The codec session: buffering, sums, progress and its refusal, the output
// budget, and what it leaves behind. RLE is the codec that drives it here,
// since its output follows from its input alone.
#include <gtest/gtest.h>

#include "archive/codec_session.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/streams.h"
#include "tools/compressors.h"

namespace kv {
namespace {

using test::CountingSink;
using test::Failure;
using test::FailureOf;
using test::TestStream;

// Literal data without the escape byte: RLE copies it through unchanged.
std::vector<uint8_t> Literals(size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>('a' + i % 26);
  return out;
}

struct SessionRun {
  explicit SessionRun(std::vector<uint8_t> data = {}, int32_t max_read = INT32_MAX)
      : source(std::move(data), max_read) {}
  uint32_t checksum = 0xDEADBEEF;
  TestStream source;
  TestStream dest;
  test::ProgressLog progress;
};

void Expand(SessionRun& run, int32_t sourcesize, uint8_t method = kMethodRle,
            bool with_progress = false) {
  TKVDoziRivovaze component(nullptr);
  if (with_progress) component.SetOnShowProgress(run.progress.Event());
  RunCodecSession(component, run.dest, run.source, sourcesize, 0, method, run.checksum, true);
}

TEST(CodecSessionTest, AnEmptySourceIssuesNoReadAndNoReport) {
  SessionRun run;
  Expand(run, 0, kMethodRle, true);
  EXPECT_TRUE(run.source.reads.empty());
  EXPECT_TRUE(run.progress.reports.empty());
  EXPECT_TRUE(run.dest.writes.empty()) << "no output, no write";
  EXPECT_EQ(run.checksum, 0u);
}

TEST(CodecSessionTest, ReadsAskForAtMostOneBlockAndNeverPastTheSourceSize) {
  SessionRun run(Literals(20000));
  Expand(run, 20000);
  EXPECT_EQ(run.source.reads, (std::vector<int32_t>{8192, 8192, 3616}));
  EXPECT_EQ(run.dest.Data(), Literals(20000));
  EXPECT_EQ(run.checksum, test::Sum(Literals(20000)));
}

TEST(CodecSessionTest, ReportsProgressAfterEveryBlockRead) {
  SessionRun run(Literals(20000));
  Expand(run, 20000, kMethodRle, true);
  EXPECT_EQ(run.progress.reports, (std::vector<int32_t>{40, 81, 100}));
}

TEST(CodecSessionTest, LargeSourcesUseTheSecondPercentFormula) {
  SessionRun run(Literals(200000));
  Expand(run, 200000, kMethodRle, true);
  ASSERT_FALSE(run.progress.reports.empty());
  EXPECT_EQ(run.progress.reports.front(), 4);  // 8192 / 2000
  EXPECT_EQ(run.progress.reports.back(), 100);
}

TEST(CodecSessionTest, ProgressPercentSwitchesFormulaAbove100000) {
  EXPECT_EQ(ProgressPercent(99999, 100000), 99);  // 9999900 / 100000
  EXPECT_EQ(ProgressPercent(8192, 100000), 8);
  EXPECT_EQ(ProgressPercent(100000, 100001), 100);  // 100000 / 1000
  EXPECT_EQ(ProgressPercent(1000, 100001), 1);
  EXPECT_EQ(ProgressPercent(0x7FFFFFFF, 0x7FFFFFFF), 100);
  EXPECT_EQ(ProgressPercent(1, 1), 100);
}

TEST(CodecSessionTest, ShortReadsAreNoFailure) {
  SessionRun run(Literals(10000), 1000);
  Expand(run, 10000);
  EXPECT_EQ(run.dest.Data(), Literals(10000));
  // Each read asks for min(8192, what remains); the size only ever shrinks.
  // 1000 bytes arrive per read: 10000 and 9000 remaining ask for a block.
  EXPECT_EQ(run.source.reads,
            (std::vector<int32_t>{8192, 8192, 8000, 7000, 6000, 5000, 4000, 3000, 2000, 1000}));
}

TEST(CodecSessionTest, ASourceThatEndsEarlyIsRetriedOnEveryFetch) {
  // The stream holds 100 bytes, the entry claims 300: after the data, each
  // fetch tries one more read. RLE fetches once more after the end, then stops.
  SessionRun run(Literals(100));
  Expand(run, 300);
  EXPECT_EQ(run.dest.Data(), Literals(100));
  EXPECT_EQ(run.source.reads, (std::vector<int32_t>{300, 200}));
}

TEST(CodecSessionTest, OutputGoesOutInFullBlocksAndOneFinalFlush) {
  SessionRun run(Literals(16384));
  Expand(run, 16384);
  EXPECT_EQ(run.dest.writes, (std::vector<int32_t>{8192, 8192}));
  SessionRun odd(Literals(8193));
  Expand(odd, 8193);
  EXPECT_EQ(odd.dest.writes, (std::vector<int32_t>{8192, 1}));
}

TEST(CodecSessionTest, ARefusedFirstRefillLeavesTheOutputEmpty) {
  SessionRun run(Literals(5000));
  run.progress.refuse_at = 0;
  Expand(run, 5000, kMethodRle, true);
  EXPECT_TRUE(run.dest.Data().empty());
  EXPECT_EQ(run.checksum, 0u);
  EXPECT_EQ(run.source.reads.size(), 1u);
}

TEST(CodecSessionTest, ARefusalInsideAnEscapeWritesOne94) {
  // Block 1 ends with the escape byte; its count lies in the refused block 2
  // and reads as 0, which stands for one 0x94. Then RLE stops.
  std::vector<uint8_t> stored = Literals(8191);
  stored.push_back(0x94);
  stored.push_back(0x05);
  stored.push_back('z');
  SessionRun run(stored);
  run.progress.refuse_at = 1;
  Expand(run, static_cast<int32_t>(stored.size()), kMethodRle, true);
  std::vector<uint8_t> expected = Literals(8191);
  expected.push_back(0x94);
  EXPECT_EQ(run.dest.Data(), expected);
}

TEST(CodecSessionTest, AWriteFailureSkipsTheFinalFlushAndLeavesTheChecksum) {
  SessionRun run(Literals(20000));
  run.dest.fail_write_at = 1;
  EXPECT_EQ(FailureOf([&] { Expand(run, 20000); }), test::kWriteError);
  EXPECT_EQ(run.dest.writes.size(), 1u) << "the first full block failed; nothing after it";
  EXPECT_EQ(run.checksum, 0xDEADBEEFu);
}

TEST(CodecSessionTest, TheSourceStandsAfterTheLastBlockRead) {
  SessionRun run(Literals(9000));
  Expand(run, 9000);
  EXPECT_EQ(run.source.Position(), 9000);
}

TEST(CodecSessionTest, TheCompressDirectionIsDisabled) {
  const std::pair<uint8_t, const char*> cases[] = {
      {kMethodRle, "RLE compression disabled in this build"},
      {kMethodLzh1, "LZH1 compression disabled in this build"},
      {kMethodLh5, "LZH5 compression disabled in this build"}};
  for (const auto& [method, message] : cases) {
    TKVDoziRivovaze component(nullptr);
    TestStream source(Literals(10)), dest;
    uint32_t checksum = 7;
    EXPECT_EQ(FailureOf([&] {
                RunCodecSession(component, dest, source, 10, 10, method, checksum, false);
              }),
              (Failure{"EUnrecognizedCompressionMethod", message}));
    EXPECT_TRUE(dest.writes.empty());
  }
  // Any other method compresses nothing and sums nothing.
  TKVDoziRivovaze component(nullptr);
  TestStream source(Literals(10)), dest;
  uint32_t checksum = 7;
  RunCodecSession(component, dest, source, 10, 10, kMethodCustom, checksum, false);
  EXPECT_EQ(checksum, 0u);
  EXPECT_TRUE(dest.writes.empty());
  EXPECT_TRUE(source.reads.empty());
}

TEST(CodecSessionTest, TheOutputBudgetEndsAtTwoGigabytes) {
  // Runs of 255 bytes each: "X 0x94 0xFF" repeated, then more.
  const size_t steps = (size_t{1} << 31) / 255 + 2;
  std::vector<uint8_t> stored;
  stored.reserve(steps * 3);
  for (size_t i = 0; i < steps; ++i) stored.insert(stored.end(), {'X', 0x94, 0xFF});
  TKVDoziRivovaze component(nullptr);
  TMemoryStream source(std::move(stored));
  CountingSink sink;
  uint32_t checksum = 0;
  EXPECT_EQ(FailureOf([&] {
              RunCodecSession(component, sink, source, static_cast<int32_t>(source.Size()), 0,
                              kMethodRle, checksum, true);
            }),
            (Failure{"EUnableToCompress", "Could not compress data"}));
  // 2^31 - 1 bytes were taken; the full blocks among them went out.
  EXPECT_EQ(sink.Size(), (int64_t{1} << 31) - 8192);
}

}  // namespace
}  // namespace kv

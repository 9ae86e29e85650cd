// The RLE expander, and the builder's RLE coder against it.
#include <gtest/gtest.h>

#include "archive/codec_session.h"
#include "codecs/rle.h"
#include "tests/test_util.h"
#include "tools/compressors.h"

namespace kv {
namespace {

std::vector<uint8_t> Expand(const std::vector<uint8_t>& stored, int32_t destsize = 0) {
  const test::SessionResult r = test::RunSession(kMethodRle, stored, destsize);
  EXPECT_EQ(r.checksum, test::Sum(r.output));
  return r.output;
}

std::vector<uint8_t> Repeat(uint8_t b, size_t n) {
  return std::vector<uint8_t>(n, b);
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(RleExpanderTest, StepsExpandAsTheFormatSays) {
  EXPECT_TRUE(Expand({}).empty());
  EXPECT_EQ(Expand(test::Hex("94")), test::Hex("94")) << "a lone escape at the end";
  EXPECT_EQ(Expand(test::Hex("94 05")), Repeat(0, 4)) << "RunByte starts at 0";
  EXPECT_EQ(Expand(test::Hex("41 94 01")), test::Hex("41"));
  EXPECT_EQ(Expand(test::Hex("41 94 02")), test::Hex("41 41"));
  EXPECT_EQ(Expand(test::Hex("41 94 00 94 03")), test::Hex("41 94 94 94"));
  EXPECT_EQ(Expand(test::Hex("58 94 FF 94 03")), Cat(Repeat('X', 255), Repeat(0x94, 2)))
      << "an escape after an escape repeats 0x94";
  EXPECT_EQ(Expand(test::Hex("58 94 FF 58 94 03")), Repeat('X', 258));
}

TEST(RleExpanderTest, TheExpandedSizeIsIgnored) {
  EXPECT_EQ(Expand(test::Hex("41 94 0A"), 3), Repeat('A', 10));
  EXPECT_EQ(Expand(test::Hex("41"), -5), test::Hex("41"));
}

TEST(RleCoderTest, RoundTripsThroughTheExpander) {
  const std::vector<std::vector<uint8_t>> inputs = {
      {},
      test::Hex("94"),
      Repeat(0, 1000),     // can start with an escape (RunByte 0)
      Repeat(0x94, 1000),  // runs of the escape byte itself
      Repeat('X', 255),
      Repeat('X', 256),
      Repeat('X', 258),
      Cat(Repeat('A', 3), Repeat('B', 2)),
      Cat(Repeat(0x94, 2), Repeat('q', 1)),
      test::RandomData(70000),
      test::TextData(70000),
      test::BinaryData(300000),
  };
  for (const auto& data : inputs) {
    const std::vector<uint8_t> stored = tools::CompressRle(data);
    EXPECT_EQ(Expand(stored), data) << "size " << data.size();
  }
}

TEST(RleCoderTest, LongRunsShrink) {
  EXPECT_LE(tools::CompressRle(Repeat('X', 10000)).size(), 10000u / 254 * 3 + 6);
  EXPECT_LE(tools::CompressRle(Repeat(0x94, 10000)).size(), 10000u / 254 * 2 + 6);
  // Data without runs grows only by its escape bytes.
  const auto random = test::RandomData(100000);
  const size_t escapes = static_cast<size_t>(std::count(random.begin(), random.end(), 0x94));
  EXPECT_LE(tools::CompressRle(random).size(), random.size() + escapes);
}

}  // namespace
}  // namespace kv

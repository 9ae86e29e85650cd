// The RLE expander, and the builder's RLE coder against it.
#include <gtest/gtest.h>

#include <algorithm>

#include "archive/codec_session.h"
#include "codecs/rle.h"
#include "tests/kit/archives.h"
#include "tests/kit/bytes.h"
#include "tests/kit/expect.h"
#include "tools/compressors.h"

namespace kv {
namespace {

using test::Hex;
using test::Join;
using test::Repeat;

std::vector<uint8_t> Expand(const std::vector<uint8_t>& stored, int32_t destsize = 0) {
  const test::SessionResult r = test::RunSession(kMethodRle, stored, destsize);
  EXPECT_EQ(r.checksum, test::Sum(r.output));
  return r.output;
}

TEST(RleExpanderTest, StepsExpandAsTheFormatSays) {
  EXPECT_TRUE(Expand({}).empty());
  EXPECT_EQ(Expand(Hex("94")), Hex("94")) << "a lone escape at the end";
  EXPECT_EQ(Expand(Hex("94 05")), Repeat(4, 0)) << "RunByte starts at 0";
  EXPECT_EQ(Expand(Hex("41 94 01")), Hex("41"));
  EXPECT_EQ(Expand(Hex("41 94 02")), Hex("41 41"));
  EXPECT_EQ(Expand(Hex("41 94 00 94 03")), Hex("41 94 94 94"));
  EXPECT_EQ(Expand(Hex("58 94 FF 94 03")), Join({Repeat(255, 'X'), Repeat(2, 0x94)}))
      << "an escape after an escape repeats 0x94";
  EXPECT_EQ(Expand(Hex("58 94 FF 58 94 03")), Repeat(258, 'X'));
}

TEST(RleExpanderTest, TheExpandedSizeIsIgnored) {
  EXPECT_EQ(Expand(Hex("41 94 0A"), 3), Repeat(10, 'A'));
  EXPECT_EQ(Expand(Hex("41"), -5), Hex("41"));
}

TEST(RleCoderTest, ExpanderRestoresEveryEdgeInput) {
  for (const auto& [label, data] : test::RleEdgeInputs()) {
    SCOPED_TRACE(label);
    test::ExpectRoundTrip(kMethodRle, data);
  }
}

TEST(RleCoderTest, ExpanderRestoresEveryRunLengthAfterEveryPrefix) {
  // Runs of every length up to two escapes' worth, of a plain byte, of zero
  // and of the escape byte, after prefixes that leave the expander's RunByte
  // at 0, at a literal, or at 0x94.
  const std::vector<std::vector<uint8_t>> prefixes = {{}, Hex("41"), Hex("94"), Hex("42 94 05")};
  for (const std::vector<uint8_t>& prefix : prefixes) {
    for (uint8_t byte : {uint8_t{0x00}, uint8_t{0x41}, uint8_t{0x94}}) {
      for (size_t length = 1; length <= 520; ++length) {
        const std::vector<uint8_t> data = Join({prefix, Repeat(length, byte), Hex("43")});
        const test::SessionResult r = test::RunSession(kMethodRle, tools::CompressRle(data), 0);
        ASSERT_EQ(r.output, data) << "prefix of " << prefix.size() << ", " << length << " bytes 0x"
                                  << std::hex << int{byte};
      }
    }
  }
}

TEST(RleCoderTest, KnownSmallEncodings) {
  EXPECT_TRUE(tools::CompressRle({}).empty());
  // A data byte 0x94 is escaped with count 0.
  EXPECT_EQ(tools::CompressRle(Hex("94")), Hex("94 00"));
  // Zeros at the very start need no literal: the expander repeats 0 first.
  EXPECT_EQ(tools::CompressRle(Repeat(4, 0x00)), Hex("94 05"));
  // A run is the literal and one escape for the rest.
  EXPECT_EQ(tools::CompressRle(Repeat(4, 'A')), Hex("41 94 04"));
}

TEST(RleCoderTest, LongRunsShrink) {
  struct Case {
    std::vector<uint8_t> data;
    size_t most;
  };
  const Case cases[] = {
      {Repeat(1000, 'A'), 16},
      {Repeat(1000, 0x94), 16},
      {Repeat(10000, 'X'), 10000 / 254 * 3 + 6},
      {Repeat(10000, 0x94), 10000 / 254 * 2 + 6},
      {Repeat(100000, 0x00), 100000 / 254 * 3 + 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.data.size()) + " bytes " + std::to_string(c.data[0]));
    EXPECT_LE(tools::CompressRle(c.data).size(), c.most);
  }
  // Data without runs grows only by its escape bytes.
  const auto random = test::RandomData(100000);
  const size_t escapes = static_cast<size_t>(std::count(random.begin(), random.end(), 0x94));
  EXPECT_LE(tools::CompressRle(random).size(), random.size() + escapes);
}

// The writer falls back to RLE for data that does not compress, so its
// growth is what such an entry costs: at most ceil(5n/3) bytes for n, which
// "94 94 X" repeated reaches. The coder tells bytes apart only as equal or
// not, the escape and 0 (the first RunByte), so four bytes stand for all in
// every input of up to nine.
TEST(RleCoderTest, GrowsAtMostToFiveThirds) {
  const uint8_t kBytes[] = {0x00, 0x41, 0x42, RleMarker};
  for (size_t n = 1; n <= 9; ++n) {
    std::vector<uint8_t> data(n);
    size_t worst = 0;
    for (size_t k = 0; k < (size_t{1} << (2 * n)); ++k) {
      for (size_t i = 0; i < n; ++i) data[i] = kBytes[(k >> (2 * i)) & 3];
      worst = std::max(worst, tools::CompressRle(data).size());
    }
    EXPECT_EQ(worst, (5 * n + 2) / 3) << n << " bytes";
  }
}

TEST(RleCoderTest, DataWithoutRunsOrEscapesIsCopied) {
  std::vector<uint8_t> data;
  for (int round = 0; round < 3; ++round)
    for (int b = 0; b < 256; ++b)
      if (b != 0x94) data.push_back(static_cast<uint8_t>(b));
  EXPECT_EQ(tools::CompressRle(data), data);
}

}  // namespace
}  // namespace kv

// Lh5BuildTable and the single-code table: the canonical code they write,
// the tree below table level, and the refusals that keep decoding inside the
// tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "archive/dozirivovaze.h"
#include "codecs/lh5_table.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"

namespace kv {
namespace {

constexpr uint16_t kUntouched = 0xBEEF;

struct Tables {
  std::vector<uint16_t> table;
  std::vector<uint16_t> left = std::vector<uint16_t>(kLh5TreeSize, kUntouched);
  std::vector<uint16_t> right = std::vector<uint16_t>(kLh5TreeSize, kUntouched);
  int table_bits;

  explicit Tables(int bits) : table(size_t{1} << bits, kUntouched), table_bits(bits) {}
  Lh5Tree Tree() { return Lh5Tree{left.data(), right.data()}; }
  void Build(const std::vector<uint8_t>& lengths) {
    Lh5BuildTable(static_cast<int>(lengths.size()), lengths.data(), table_bits, table.data(),
                  Tree());
  }
  // Decodes the 16-bit left-aligned `bits` the way the expander does;
  // returns the symbol and its walk depth below the table.
  std::pair<unsigned, int> Decode(uint16_t bits, int symbol_count) const {
    unsigned j = table[bits >> (16 - table_bits)];
    int steps = 0;
    for (unsigned mask = 0x8000u >> table_bits; j >= static_cast<unsigned>(symbol_count);
         mask >>= 1) {
      EXPECT_NE(mask, 0u) << "walk longer than 16 bits";
      if (mask == 0) break;
      EXPECT_LT(j, static_cast<unsigned>(kLh5TreeSize));
      j = (bits & mask) ? right[j] : left[j];
      ++steps;
    }
    return {j, steps};
  }
};

using test::CanonicalCodes;

// Every symbol's code, followed by any bits, decodes to that symbol.
void ExpectDecodesEverySymbol(Tables& t, const std::vector<uint8_t>& lengths) {
  const std::vector<uint32_t> codes = CanonicalCodes(lengths);
  const int n = static_cast<int>(lengths.size());
  for (int s = 0; s < n; ++s) {
    const int l = lengths[static_cast<size_t>(s)];
    if (l == 0) continue;
    for (uint32_t tail : {0u, 0xFFFFu, 0x5555u}) {
      const uint32_t rest = 16 - l;
      const auto bits = static_cast<uint16_t>((codes[static_cast<size_t>(s)] << rest) |
                                              (rest ? tail & ((1u << rest) - 1) : 0));
      const auto [symbol, steps] = t.Decode(bits, n);
      ASSERT_EQ(symbol, static_cast<unsigned>(s)) << "length " << l << " tail " << tail;
      EXPECT_EQ(steps, std::max(0, l - t.table_bits));
    }
  }
}

// A random complete code of `leaves` codes, dealt to random symbols.
std::vector<uint8_t> RandomCompleteLengths(int symbol_count, int leaves, std::mt19937& rng) {
  const std::vector<uint8_t> depths =
      test::CompleteCodeDepths(static_cast<size_t>(leaves), [&](uint32_t n) { return rng() % n; });
  std::vector<uint8_t> lengths(static_cast<size_t>(symbol_count), 0);
  std::vector<size_t> slots(lengths.size());
  for (size_t i = 0; i < slots.size(); ++i) slots[i] = i;
  std::shuffle(slots.begin(), slots.end(), rng);
  for (size_t i = 0; i < depths.size(); ++i) lengths[slots[i]] = depths[i];
  return lengths;
}

// --- The canonical code ----------------------------------------------------

TEST(Lh5TableTest, ShortCodesOwnTheirRangeOfEntries) {
  // Codes 0, 10, 110, 111 for symbols 0..3: halves, a quarter, two eighths.
  Tables t(8);
  t.Build({1, 2, 3, 3});
  for (int i = 0; i < 256; ++i) {
    const uint16_t want = i < 128 ? 0 : i < 192 ? 1 : i < 224 ? 2 : 3;
    ASSERT_EQ(t.table[static_cast<size_t>(i)], want) << "entry " << i;
  }
}

TEST(Lh5TableTest, CodesOfOneLengthFollowSymbolOrder) {
  // Symbol 3 gets 0, symbol 1 gets 10, and the two 3-bit codes go to
  // symbols 0 and 2 in that order: 110 and 111.
  const std::vector<uint8_t> lengths = {3, 2, 3, 1};
  Tables t(8);
  t.Build(lengths);
  EXPECT_EQ(t.table[0], 3);    // code 0
  EXPECT_EQ(t.table[128], 1);  // code 10
  EXPECT_EQ(t.table[192], 0);  // code 110
  EXPECT_EQ(t.table[224], 2);  // code 111
  ExpectDecodesEverySymbol(t, lengths);
}

TEST(Lh5TableTest, LongCodesWalkTreeNodesNumberedFromTheAlphabetSize) {
  // Lengths 1..11 and 12, 12 for the 13 used position symbols; symbol 13
  // absent. Codes longer than 8 bits go through nodes 14 and up.
  std::vector<uint8_t> lengths = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 12, 0};
  Tables t(kLh5AuxTableBits);
  t.Build(lengths);
  EXPECT_EQ(t.table[255], kLh5PositionCount) << "first node is the alphabet size";
  ExpectDecodesEverySymbol(t, lengths);
}

TEST(Lh5TableTest, ALengthOfExactlyTableBitsNeedsNoNode) {
  std::vector<uint8_t> lengths(256, 8);
  Tables t(kLh5AuxTableBits);
  Lh5BuildTable(256, lengths.data(), kLh5AuxTableBits, t.table.data(), t.Tree());
  for (int i = 0; i < 256; ++i) ASSERT_EQ(t.table[static_cast<size_t>(i)], i);
  EXPECT_EQ(t.left[256], kUntouched) << "no node may be created";
}

TEST(Lh5TableTest, RandomCompleteCodesDecodeThroughBothLevels) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 60; ++round) {
    const bool chars = round % 2 == 0;
    const int symbols = chars ? kLh5CharCount : kLh5CodeLengthCount;
    const int leaves = 2 + static_cast<int>(rng() % static_cast<unsigned>(symbols - 1));
    const std::vector<uint8_t> lengths = RandomCompleteLengths(symbols, leaves, rng);
    Tables t(chars ? kLh5CharTableBits : kLh5AuxTableBits);
    t.Build(lengths);
    SCOPED_TRACE(round);
    ExpectDecodesEverySymbol(t, lengths);
  }
}

TEST(Lh5TableTest, CharacterCodesDecodeUpToSixteenBits) {
  // 507 codes of 9 bits, one of 7 and two of 10: 507/512 + 4/512 + 1/512.
  std::vector<uint8_t> lengths(kLh5CharCount, 0);
  for (int s = 0; s < 507; ++s) lengths[static_cast<size_t>(s)] = 9;
  lengths[507] = 7;
  lengths[508] = 10;
  lengths[509] = 10;
  Tables t(kLh5CharTableBits);
  t.Build(lengths);
  ExpectDecodesEverySymbol(t, lengths);

  // A chain down to 16 bits: lengths 1, 2, ..., 15, 16 and 16, the longest
  // walk (4 steps) there is.
  std::vector<uint8_t> chain(kLh5CharCount, 0);
  for (int s = 0; s < 15; ++s) chain[static_cast<size_t>(s)] = static_cast<uint8_t>(s + 1);
  chain[15] = 16;
  chain[509] = 16;
  Tables c(kLh5CharTableBits);
  c.Build(chain);
  ExpectDecodesEverySymbol(c, chain);
}

// --- Refusals: checked before anything is written --------------------------

void ExpectRefusedUntouched(const std::vector<uint8_t>& lengths, int table_bits) {
  Tables t(table_bits);
  EXPECT_THROW(t.Build(lengths), ELZHBadDecodeTable);
  EXPECT_TRUE(std::all_of(t.table.begin(), t.table.end(), [](uint16_t v) {
    return v == kUntouched;
  })) << "a refused list must not write the table";
  EXPECT_TRUE(
      std::all_of(t.left.begin(), t.left.end(), [](uint16_t v) { return v == kUntouched; }));
}

TEST(Lh5TableTest, ThreeCodesOfLengthOneAreOverFull) {
  ExpectRefusedUntouched({1, 1, 1}, kLh5AuxTableBits);
}

TEST(Lh5TableTest, OneCodeOfLengthOneIsUnderFull) {
  ExpectRefusedUntouched(std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                         kLh5AuxTableBits);
}

TEST(Lh5TableTest, AllZeroLengthsAreRefused) {
  ExpectRefusedUntouched(std::vector<uint8_t>(kLh5CharCount, 0), kLh5CharTableBits);
}

TEST(Lh5TableTest, AnOverFullListOfLongCodesIsRefused) {
  // Complete, then one more 16-bit code: the overflow is 1/65536.
  std::vector<uint8_t> lengths = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 16, 16};
  ExpectRefusedUntouched(lengths, kLh5AuxTableBits);
  lengths.pop_back();
  Tables t(kLh5AuxTableBits);
  EXPECT_NO_THROW(t.Build(lengths)) << "the same list without the extra code is complete";
}

TEST(Lh5TableTest, ALengthAbove16IsRefusedEvenWhenTheSumWouldFit) {
  // Length 17 would be counted nowhere; with two 1-bit codes the rest looks
  // complete, so only the explicit check catches it.
  ExpectRefusedUntouched({1, 1, 17}, kLh5AuxTableBits);
  ExpectRefusedUntouched({1, 1, 20}, kLh5AuxTableBits);
}

TEST(Lh5TableTest, ASingleCodeFillsEveryEntryWithZeroLength) {
  std::vector<uint8_t> lengths(kLh5CharCount, 5);
  std::vector<uint16_t> table(kLh5CharTableSize, kUntouched);
  Lh5SingleCodeTable(509, kLh5CharCount, lengths.data(), table.data(), kLh5CharTableSize);
  EXPECT_TRUE(std::all_of(lengths.begin(), lengths.end(), [](uint8_t l) { return l == 0; }));
  EXPECT_TRUE(std::all_of(table.begin(), table.end(), [](uint16_t v) { return v == 509; }));
}

TEST(Lh5TableTest, ASingleCodeOutsideItsAlphabetIsRefused) {
  struct Case {
    unsigned value;
    int symbols;
  };
  for (const Case c :
       {Case{510, kLh5CharCount}, Case{511, kLh5CharCount}, Case{19, kLh5CodeLengthCount},
        Case{31, kLh5CodeLengthCount}, Case{14, kLh5PositionCount}, Case{15, kLh5PositionCount}}) {
    std::vector<uint8_t> lengths(static_cast<size_t>(c.symbols), 3);
    std::vector<uint16_t> table(kLh5AuxTableSize, kUntouched);
    EXPECT_THROW(
        Lh5SingleCodeTable(c.value, c.symbols, lengths.data(), table.data(), kLh5AuxTableSize),
        ELZHBadDecodeTable)
        << c.value;
    EXPECT_EQ(table[0], kUntouched);
    EXPECT_EQ(lengths[0], 3);
  }
  std::vector<uint8_t> lengths(kLh5PositionCount, 3);
  std::vector<uint16_t> table(kLh5AuxTableSize, kUntouched);
  EXPECT_NO_THROW(
      Lh5SingleCodeTable(13, kLh5PositionCount, lengths.data(), table.data(), kLh5AuxTableSize));
}

TEST(Lh5TableTest, TheRefusalCarriesItsMessage) {
  Tables t(kLh5AuxTableBits);
  EXPECT_EQ(test::FailureOf([&] { t.Build({1, 1, 1}); }), test::kBadTable);
}

}  // namespace
}  // namespace kv

// The LZH1 method: the offset code, the adaptive tree, the expander on
// crafted streams, and round trips through the builder's coder.
//
// Crafted streams and expected outputs come from a test-side model of the
// format (ModelTree, ModelExpand): a plain transcription with a 16-bit bit
// buffer and linear scans, written for obviousness rather than speed. The
// product's tree and bit readers are tuned (a strided scan, a 32-bit buffer,
// a 64-bit look-ahead);
// comparing them with the model on many streams is what catches a tuning
// that changed the result.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "archive/codec_session.h"
#include "archive/rorodovazezudovo.h"
#include "codecs/lzh1.h"
#include "codecs/lzh1_model.h"
#include "core/stream.h"
#include "tests/kit/archives.h"
#include "tests/kit/bit_writer.h"
#include "tests/kit/bytes.h"
#include "tests/kit/expect.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tests/kit/streams.h"
#include "tools/archive_reader.h"
#include "tools/archive_writer.h"
#include "tools/compressors.h"

namespace kv {
namespace {

using test::RunSession;

// ---------------------------------------------------------------------------
// The test-side model.

struct ModelTree {
  uint16_t freq[628];
  int16_t child[627];
  int16_t parent[941];
  int rebuilds = 0;

  ModelTree() {
    for (int s = 0; s < 314; ++s) {
      freq[s] = 1;
      child[s] = static_cast<int16_t>(s + 627);
      parent[s + 627] = static_cast<int16_t>(s);
    }
    for (int i = 0, j = 314; j <= 626; ++j, i += 2) {
      freq[j] = static_cast<uint16_t>(freq[i] + freq[i + 1]);
      child[j] = static_cast<int16_t>(i);
      parent[i] = parent[i + 1] = static_cast<int16_t>(j);
    }
    freq[627] = 0xFFFF;
    parent[626] = 0;
  }

  void Rebuild() {
    ++rebuilds;
    int j = 0;
    for (int i = 0; i < 627; ++i) {
      if (child[i] >= 627) {
        freq[j] = static_cast<uint16_t>((freq[i] + 1) / 2);
        child[j] = child[i];
        ++j;
      }
    }
    for (int i = 0, n = 314; n <= 626; ++n, i += 2) {
      const auto f = static_cast<uint16_t>(freq[i] + freq[i + 1]);
      freq[n] = f;
      int k = n - 1;
      while (f < freq[k]) --k;
      ++k;
      for (int m = n; m > k; --m) {
        freq[m] = freq[m - 1];
        child[m] = child[m - 1];
      }
      freq[k] = f;
      child[k] = static_cast<int16_t>(i);
    }
    for (int i = 0; i < 627; ++i) {
      const int k = child[i];
      parent[k] = static_cast<int16_t>(i);
      if (k < 627) parent[k + 1] = static_cast<int16_t>(i);
    }
  }

  void Update(int s) {
    if (freq[626] == 0x8000) Rebuild();
    int c = parent[s + 627];
    do {
      const uint16_t k = ++freq[c];
      if (k > freq[c + 1]) {
        int l = c + 2;
        while (k > freq[l]) ++l;
        --l;
        freq[c] = freq[l];
        freq[l] = k;
        const int i = child[c];
        parent[i] = static_cast<int16_t>(l);
        if (i < 627) parent[i + 1] = static_cast<int16_t>(l);
        const int j = child[l];
        child[l] = static_cast<int16_t>(i);
        parent[j] = static_cast<int16_t>(c);
        if (j < 627) parent[j + 1] = static_cast<int16_t>(c);
        child[c] = static_cast<int16_t>(j);
        c = l;
      }
      c = parent[c];
    } while (c != 0);
  }

  // The code of s, root bit first.
  std::vector<int> Code(int s) const {
    std::vector<int> bits;
    for (int n = parent[s + 627]; n != 626; n = parent[n]) bits.push_back(n - child[parent[n]]);
    std::reverse(bits.begin(), bits.end());
    return bits;
  }
};

// The offset code as its rule states it: rows of upper-bit values, their
// code length and the byte values their blocks take.
struct OffsetRow {
  int first_value, last_value, length, first_byte, last_byte;
};
constexpr OffsetRow kOffsetRows[] = {{0, 0, 3, 0x00, 0x1F},   {1, 3, 4, 0x20, 0x4F},
                                     {4, 11, 5, 0x50, 0x8F},  {12, 23, 6, 0x90, 0xBF},
                                     {24, 47, 7, 0xC0, 0xEF}, {48, 63, 8, 0xF0, 0xFF}};

const OffsetRow& RowOfValue(int high) {
  for (const OffsetRow& row : kOffsetRows)
    if (high >= row.first_value && high <= row.last_value) return row;
  throw std::logic_error("no row");
}

using test::BitWriter;
using test::Repeat;

// Writes crafted streams item by item, through the model tree.
class StreamWriter {
 public:
  StreamWriter& Symbol(int s) {
    for (int bit : tree_.Code(s)) bits_.Bit(bit != 0);
    tree_.Update(s);
    return *this;
  }
  StreamWriter& Literal(uint8_t b) { return Symbol(b); }
  StreamWriter& Offset(int o) {
    const OffsetRow& row = RowOfValue(o >> 6);
    const int block = row.first_byte + ((o >> 6) - row.first_value) * (1 << (8 - row.length));
    bits_.Bits(static_cast<uint32_t>(block >> (8 - row.length)), row.length);
    bits_.Bits(static_cast<uint32_t>(o & 0x3F), 6);
    return *this;
  }
  StreamWriter& Match(int length, int offset) { return Symbol(length + 253).Offset(offset); }
  std::vector<uint8_t> bytes() const { return bits_.Bytes(); }

 private:
  ModelTree tree_;
  BitWriter bits_;
};

struct ModelResult {
  std::vector<uint8_t> output;
  std::vector<size_t> produced_at_fetch;  // output length at each byte fetch
  int rebuilds = 0;
  int undefined_reads = 0;  // copies from ring bytes 4036..4095 before written
};

// Expands `stored` the plain way; bytes past its end read as 0.
ModelResult ModelExpand(const std::vector<uint8_t>& stored, int32_t destsize) {
  ModelResult r;
  if (destsize <= 0) return r;
  auto tree = std::make_unique<ModelTree>();
  uint16_t buf = 0;
  uint8_t count = 0;
  size_t next = 0;
  auto refill = [&] {
    if (count <= 8) {
      r.produced_at_fetch.push_back(r.output.size());
      const uint8_t b = next < stored.size() ? stored[next] : 0;
      ++next;
      buf = static_cast<uint16_t>(buf | (b << (8 - count)));
      count = static_cast<uint8_t>(count + 8);
    }
  };
  auto read = [&](int n) {
    refill();
    const int v = buf >> (16 - n);
    buf = static_cast<uint16_t>(buf << n);
    count = static_cast<uint8_t>(count - n);
    return v;
  };
  std::vector<uint8_t> ring(4096, 0);
  std::vector<bool> defined(4096, false);
  for (int i = 0; i < 4036; ++i) ring[i] = 0x20, defined[i] = true;
  int pos = 4036;
  auto put = [&](uint8_t x) {
    r.output.push_back(x);
    ring[pos] = x;
    defined[pos] = true;
    pos = (pos + 1) & 4095;
  };
  while (static_cast<int64_t>(r.output.size()) < destsize) {
    int c = tree->child[626];
    while (c < 627) c = tree->child[c + read(1)];
    const int s = c - 627;
    tree->Update(s);
    if (s < 256) {
      put(static_cast<uint8_t>(s));
      continue;
    }
    const int b = read(8);
    int high = -1, length = 0;
    for (const OffsetRow& row : kOffsetRows) {
      if (b >= row.first_byte && b <= row.last_byte) {
        high = row.first_value + ((b - row.first_byte) >> (8 - row.length));
        length = row.length;
      }
    }
    const int e = read(length - 2);
    const int o = high * 64 + (((b << (length - 2)) | e) & 0x3F);
    int p = (pos - o - 1) & 4095;
    for (int k = 0; k < s - 253; ++k, p = (p + 1) & 4095) {
      if (!defined[p]) ++r.undefined_reads;
      put(ring[p]);
    }
  }
  r.rebuilds = tree->rebuilds;
  return r;
}

// ---------------------------------------------------------------------------

TEST(Lzh1OffsetCodeTest, TablesFollowTheRowsOfTheRule) {
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    int matched = 0;
    for (const OffsetRow& row : kOffsetRows) {
      if (b < row.first_byte || b > row.last_byte) continue;
      ++matched;
      EXPECT_EQ(OffsetHighLength[static_cast<size_t>(b)], row.length);
      EXPECT_EQ(OffsetHighCode[static_cast<size_t>(b)],
                row.first_value + ((b - row.first_byte) >> (8 - row.length)));
    }
    EXPECT_EQ(matched, 1);
  }
}

TEST(Lzh1OffsetCodeTest, CoderCodesSelectTheirValuesBlock) {
  for (int high = 0; high < 64; ++high) {
    SCOPED_TRACE(high);
    const OffsetRow& row = RowOfValue(high);
    const int length = Lzh1OffsetCodeLength(high);
    ASSERT_EQ(length, row.length);
    // Every byte that begins with the code must decode to this value.
    for (int rest = 0; rest < (1 << (8 - length)); ++rest) {
      const int b = (Lzh1OffsetCode(high) << (8 - length)) | rest;
      EXPECT_EQ(OffsetHighCode[static_cast<size_t>(b)], high);
    }
  }
}

// ---------------------------------------------------------------------------

// The tree's structural invariants; returns a description of the first
// violation, or an empty string.
std::string TreeFault(const Lzh1Tree& t) {
  if (t.Freq[627] != 0xFFFF) return "sentinel";
  uint32_t leaves = 0;
  std::vector<int> seen(314, 0);
  for (int n = 0; n < 627; ++n) {
    if (n > 0 && t.Freq[n] < t.Freq[n - 1]) return "Freq not sorted at " + std::to_string(n);
    const int c = t.Child[n];
    if (c >= 627) {
      if (c - 627 >= 314 || t.Parent[c] != n) return "leaf link at " + std::to_string(n);
      ++seen[static_cast<size_t>(c - 627)];
      leaves += t.Freq[n];
    } else {
      if (c < 0 || c + 1 >= n) return "child order at " + std::to_string(n);
      if (t.Parent[c] != n || t.Parent[c + 1] != n) return "parent at " + std::to_string(n);
      if (t.Freq[n] != t.Freq[c] + t.Freq[c + 1]) return "sum at " + std::to_string(n);
    }
  }
  if (std::count(seen.begin(), seen.end(), 1) != 314) return "leaf set";
  if (t.Freq[626] != leaves) return "root";
  return {};
}

bool SameAsModel(const Lzh1Tree& t, const ModelTree& m) {
  return std::memcmp(t.Freq, m.freq, sizeof m.freq) == 0 &&
         std::memcmp(t.Child, m.child, sizeof m.child) == 0 &&
         std::memcmp(t.Parent, m.parent, sizeof m.parent) == 0;
}

int LeafCount(const Lzh1Tree& t, int s) {
  return t.Freq[t.Parent[627 + s]];
}

TEST(Lzh1TreeTest, InitTreeIsBalancedWithEverySymbolAtOne) {
  auto t = std::make_unique<Lzh1Tree>();
  t->InitTree();
  EXPECT_EQ(TreeFault(*t), "");
  EXPECT_EQ(t->Freq[Lzh1Root], 314);
  for (int s = 0; s < 314; ++s) EXPECT_EQ(LeafCount(*t, s), 1);
  ModelTree m;
  EXPECT_TRUE(SameAsModel(*t, m));
}

// The strided scan in UpdateTree must land where the plain scan does, on
// runs of every length; skewed random symbols reach long and short runs,
// deep and shallow leaves, and several rebuilds.
TEST(Lzh1TreeTest, UpdatesMatchThePlainModelThroughRebuilds) {
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE(seed);
    auto t = std::make_unique<Lzh1Tree>();
    auto m = std::make_unique<ModelTree>();
    t->InitTree();
    std::mt19937 rng(seed);
    std::geometric_distribution<int> skewed(0.02 * seed);
    for (int n = 0; n < 150000; ++n) {
      const int s = n % 7 == 0 ? static_cast<int>(rng() % 314) : std::min(skewed(rng), 313);
      t->UpdateTree(s);
      m->Update(s);
      if (n % 4999 == 0) {
        ASSERT_TRUE(SameAsModel(*t, *m)) << "after update " << n;
        ASSERT_EQ(TreeFault(*t), "") << "after update " << n;
      }
    }
    EXPECT_TRUE(SameAsModel(*t, *m));
    EXPECT_GE(m->rebuilds, 3);
  }
}

// The expander counts along the path its walk took; that must give the
// tree that UpdateTree gives, swaps, detours and rebuilds included.
TEST(Lzh1TreeTest, UpdatesAlongTheWalkedPathMatchThePlainModel) {
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE(seed);
    auto t = std::make_unique<Lzh1Tree>();
    auto m = std::make_unique<ModelTree>();
    t->InitTree();
    std::mt19937 rng(seed);
    std::geometric_distribution<int> skewed(0.03 * seed);
    int16_t path[Lzh1Tree::kMaxDepth];
    for (int n = 0; n < 150000; ++n) {
      const int s = n % 5 == 0 ? static_cast<int>(rng() % 314) : std::min(skewed(rng), 313);
      // Walk the code of s from the root, as the expander does.
      int depth = 0;
      const std::vector<int> code = m->Code(s);
      int c = t->Child[Lzh1Root];
      for (int bit : code) {
        path[depth++] = static_cast<int16_t>(c + bit);
        c = t->Child[c + bit];
      }
      ASSERT_EQ(c, Lzh1LeafBase + s);
      t->UpdateTreeAlong(path, depth, s);
      m->Update(s);
      if (n % 4999 == 0) {
        ASSERT_TRUE(SameAsModel(*t, *m)) << "after update " << n;
      }
    }
    EXPECT_TRUE(SameAsModel(*t, *m));
    EXPECT_GE(m->rebuilds, 3);
  }
}

// Every symbol counted once in turn walks the whole run of ones each time.
TEST(Lzh1TreeTest, LongRunsOfEqualCountsMatchThePlainModel) {
  auto t = std::make_unique<Lzh1Tree>();
  auto m = std::make_unique<ModelTree>();
  t->InitTree();
  for (int round = 0; round < 3; ++round) {
    for (int s = 0; s < 314; ++s) {
      const int sym = round == 1 ? 313 - s : s;
      t->UpdateTree(sym);
      m->Update(sym);
      ASSERT_TRUE(SameAsModel(*t, *m)) << "round " << round << " symbol " << sym;
    }
  }
}

TEST(Lzh1TreeTest, FirstRebuildComesAtThe32455thSymbol) {
  auto t = std::make_unique<Lzh1Tree>();
  t->InitTree();
  for (int n = 0; n < 32454; ++n) t->UpdateTree(65);
  EXPECT_EQ(t->Freq[Lzh1Root], 0x8000);
  EXPECT_EQ(LeafCount(*t, 65), 32455);  // not halved yet
  t->UpdateTree(65);
  // Halved to (32455 + 1) / 2 and then counted.
  EXPECT_EQ(LeafCount(*t, 65), 16228 + 1);
  EXPECT_EQ(t->Freq[Lzh1Root], 16228 + 313 + 1);
  EXPECT_EQ(TreeFault(*t), "");
}

TEST(Lzh1TreeTest, RebuildHalvesLeafCountsRoundingUp) {
  auto t = std::make_unique<Lzh1Tree>();
  t->InitTree();
  t->UpdateTree(1);  // count 2
  t->UpdateTree(2);
  t->UpdateTree(2);                              // count 3
  for (int n = 0; n < 6; ++n) t->UpdateTree(3);  // count 7
  const int filler_updates = 0x8000 - t->Freq[Lzh1Root];
  for (int n = 0; n < filler_updates; ++n) t->UpdateTree(200);
  ASSERT_EQ(t->Freq[Lzh1Root], 0x8000);
  const int filler = LeafCount(*t, 200);
  t->RebuildTree();
  EXPECT_EQ(TreeFault(*t), "");
  EXPECT_EQ(LeafCount(*t, 0), 1);  // 1 stays 1
  EXPECT_EQ(LeafCount(*t, 1), 1);  // 2 gives 1
  EXPECT_EQ(LeafCount(*t, 2), 2);  // 3 gives 2
  EXPECT_EQ(LeafCount(*t, 3), 4);  // 7 gives 4
  EXPECT_EQ(LeafCount(*t, 200), (filler + 1) / 2);
  // A new internal node goes after every node of equal frequency: no leaf
  // of the same frequency follows an internal node.
  for (int n = 0; n < Lzh1Nodes; ++n) {
    if (t->Child[n] >= Lzh1LeafBase) continue;
    for (int m = n + 1; m < Lzh1Nodes; ++m) {
      if (t->Child[m] >= Lzh1LeafBase) {
        EXPECT_GT(t->Freq[m], t->Freq[n]) << n << " " << m;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// The expander on crafted streams.

TEST(Lzh1ExpanderTest, ZeroOrNegativeDestsizeReadsAndWritesNothing) {
  const std::vector<uint8_t> stored = test::Hex("FF FF FF FF");
  for (const int32_t destsize : {0, -1, -2147483647 - 1}) {
    SCOPED_TRACE(destsize);
    TKVDoziRivovaze component(nullptr);
    test::ProgressLog progress;
    component.SetOnShowProgress(progress.Event());
    const test::SessionResult r = RunSession(kMethodLzh1, stored, destsize, &component);
    EXPECT_TRUE(r.output.empty());
    EXPECT_EQ(r.checksum, 0u);
    EXPECT_TRUE(progress.reports.empty()) << "input was read";
  }
}

TEST(Lzh1ExpanderTest, FirstMatchAtOffsetZeroCopiesThreeSpaces) {
  const std::vector<uint8_t> stored = test::Hex(
      "8C     # 10001100: symbol 256 (length 3) in the balanced start tree\n"
      "00 00  # 000: upper offset bits 0; 000000: lower bits; then padding\n");
  EXPECT_EQ(stored, StreamWriter().Match(3, 0).bytes());
  const test::SessionResult r = RunSession(kMethodLzh1, stored, 3);
  EXPECT_EQ(r.output, test::Bytes("   "));
  EXPECT_EQ(r.checksum, 3u * 0x20);
}

TEST(Lzh1ExpanderTest, OffsetZeroRepeatsTheLastByte) {
  const std::vector<uint8_t> stored = StreamWriter().Literal('A').Match(5, 0).bytes();
  EXPECT_EQ(RunSession(kMethodLzh1, stored, 6).output, test::Bytes("AAAAAA"));
}

TEST(Lzh1ExpanderTest, Symbol313IsAMatchOfSixty) {
  StreamWriter w;
  w.Literal('x').Literal('y').Match(60, 1).Literal('z');
  const std::vector<uint8_t> out = RunSession(kMethodLzh1, w.bytes(), 63).output;
  std::vector<uint8_t> expected = test::Bytes("xy");
  for (int k = 0; k < 30; ++k) expected.insert(expected.end(), {'x', 'y'});
  expected.push_back('z');
  EXPECT_EQ(out, expected);
}

// Every offset from 0 to 4095 against a known history: the upper bits come
// from the prefix code, the lower 6 from the tail of the first byte and the
// bits that follow it, whatever the code's length.
TEST(Lzh1ExpanderTest, EveryOffsetCopiesFromThatFarBack) {
  const std::vector<uint8_t> history = test::RandomData(4096, 7);
  StreamWriter w;
  for (uint8_t b : history) w.Literal(b);
  std::vector<uint8_t> expected = history;
  for (int o = 0; o < 4096; ++o) {
    w.Match(3, o);
    for (int k = 0; k < 3; ++k) expected.push_back(expected[expected.size() - 1 - o]);
  }
  const auto r = RunSession(kMethodLzh1, w.bytes(), static_cast<int32_t>(expected.size()));
  ASSERT_EQ(r.output.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(r.output[i], expected[i]) << "byte " << i << " (offset " << (i - 4096) / 3 << ")";
  }
}

TEST(Lzh1ExpanderTest, OffsetCodeEdgesReadTheRightBits) {
  // Offset 0x3F: code 000, then 111111. Offset 0xC00 (upper bits 48): the
  // 8-bit code 11110000, then 000000. Offset 0xFFF: 11111111 111111.
  const std::vector<uint8_t> history = test::RandomData(4096, 3);
  StreamWriter w;
  for (uint8_t b : history) w.Literal(b);
  w.Match(3, 0x3F).Match(3, 0xC00).Match(3, 0xFFF);
  std::vector<uint8_t> expected = history;
  for (int o : {0x3F, 0xC00, 0xFFF})
    for (int k = 0; k < 3; ++k) expected.push_back(expected[expected.size() - 1 - o]);
  EXPECT_EQ(RunSession(kMethodLzh1, w.bytes(), 4096 + 9).output, expected);
}

TEST(Lzh1ExpanderTest, UndefinedRingTailReadsAsZero) {
  // At the start the write position is 4036: offset 4095 reads from 4036
  // onward (never written), offset 4036 reads 4095 and wraps to 0 (0x20).
  EXPECT_EQ(RunSession(kMethodLzh1, StreamWriter().Match(3, 4095).bytes(), 3).output,
            test::Hex("00 00 00"));
  EXPECT_EQ(RunSession(kMethodLzh1, StreamWriter().Match(3, 4036).bytes(), 3).output,
            test::Hex("00 20 20"));
}

TEST(Lzh1ExpanderTest, FinalMatchIsCopiedWholePastDestsize) {
  const auto r = RunSession(kMethodLzh1, StreamWriter().Match(60, 0).bytes(), 2);
  EXPECT_EQ(r.output, Repeat(60, 0x20));
  EXPECT_EQ(r.checksum, 60u * 0x20);
}

TEST(Lzh1ExpanderTest, DestsizeIsTestedBetweenItemsOnly) {
  StreamWriter w;
  w.Literal('a').Literal('b').Literal('c').Match(3, 2).Literal('d');
  EXPECT_EQ(RunSession(kMethodLzh1, w.bytes(), 4).output, test::Bytes("abcabc"));
  EXPECT_EQ(RunSession(kMethodLzh1, w.bytes(), 7).output, test::Bytes("abcabcd"));
}

// Input that has ended reads as zero bits: the expander still produces
// Destsize bytes (the model's output for those zero bits), the sum is
// wrong, and nothing faults.
TEST(Lzh1ExpanderTest, TruncatedInputFinishesOnZeroBits) {
  const std::vector<uint8_t> data = test::TextData(20000, 5);
  const std::vector<uint8_t> stored = tools::CompressLzh1(data);
  const std::vector<uint8_t> cut(stored.begin(), stored.begin() + stored.size() / 2);
  const auto r = RunSession(kMethodLzh1, cut, 20000);
  EXPECT_EQ(r.output, ModelExpand(cut, 20000).output);
  EXPECT_GE(r.output.size(), 20000u);
  EXPECT_LE(r.output.size(), 20000u + 59);
  EXPECT_NE(r.checksum, test::Sum(data));
  EXPECT_TRUE(std::equal(r.output.begin(), r.output.begin() + 1000, data.begin()));
}

TEST(Lzh1ExpanderTest, EveryPrefixOfAStreamExpandsLikeTheModel) {
  const std::vector<uint8_t> data = test::BinaryData(3000, 9);
  const std::vector<uint8_t> stored = tools::CompressLzh1(data);
  for (size_t n = 0; n <= stored.size(); ++n) {
    const std::vector<uint8_t> cut(stored.begin(), stored.begin() + static_cast<ptrdiff_t>(n));
    const auto r = RunSession(kMethodLzh1, cut, 3000);
    ASSERT_EQ(r.output, ModelExpand(cut, 3000).output) << "prefix " << n;
    ASSERT_EQ(r.checksum, test::Sum(r.output));
  }
}

// Random bytes are a valid stream too: they drive the tree through symbols
// and offsets no coder would choose, including the undefined ring tail.
TEST(Lzh1ExpanderTest, GarbageInputExpandsLikeTheModel) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    const std::vector<uint8_t> stored = test::RandomData(30000 + seed * 997, seed);
    const auto r = RunSession(kMethodLzh1, stored, 70000);
    ASSERT_EQ(r.output, ModelExpand(stored, 70000).output);
    EXPECT_EQ(r.checksum, test::Sum(r.output));
  }
}

struct FetchRecorder {
  TMemoryStream* dest = nullptr;
  std::vector<size_t> produced_at_fetch;
  int32_t refuse_first = 0;  // refuse this many refills
  void OnProgress(int32_t& percentage_done) {
    const auto pending = static_cast<size_t>(CodecSession.OutputPos - CodecSession.OutputBuffer);
    produced_at_fetch.push_back(static_cast<size_t>(dest->Size()) + pending);
    if (static_cast<int32_t>(produced_at_fetch.size()) <= refuse_first) percentage_done = -1;
  }
};

// The batched path's two readers (SetLzh1BatchReader): the look-ahead one
// of this build and the format's own, the only one of a build for size.
constexpr std::array<Lzh1BatchReader, 2> kBatchReaders = {Lzh1BatchReader::kLookAhead,
                                                          Lzh1BatchReader::kFormat};

struct UseBatchReader {
  explicit UseBatchReader(Lzh1BatchReader reader) { SetLzh1BatchReader(reader); }
  ~UseBatchReader() { SetLzh1BatchReader(Lzh1BatchReader::kLookAhead); }
  UseBatchReader(const UseBatchReader&) = delete;
  UseBatchReader& operator=(const UseBatchReader&) = delete;
};

struct FetchRun {
  std::vector<uint8_t> output;
  std::vector<size_t> produced_at_fetch;  // output length at each refill
};

// Expands `stored` from a source that delivers at most `read_size` bytes a
// read, so that the session refills (and calls the progress handler) once
// every read_size bytes the codec fetches.
FetchRun ExpandRecordingFetches(const std::vector<uint8_t>& stored, int32_t destsize,
                                int32_t read_size, int32_t refuse_first = 0) {
  TKVDoziRivovaze component(nullptr);
  TMemoryStream dest;
  FetchRecorder recorder;
  recorder.dest = &dest;
  recorder.refuse_first = refuse_first;
  component.SetOnShowProgress(TShowProgressEvent::Bind<&FetchRecorder::OnProgress>(&recorder));
  test::TestStream source(stored, read_size);
  uint32_t checksum = 0;
  RunCodecSession(component, dest, source, static_cast<int32_t>(stored.size()), destsize,
                  kMethodLzh1, checksum, true);
  return {dest.Data(), std::move(recorder.produced_at_fetch)};
}

// The model's fetch points seen through reads of read_size bytes.
std::vector<size_t> RefillPoints(const ModelResult& model, int32_t read_size) {
  std::vector<size_t> points;
  for (size_t i = 0; i < model.produced_at_fetch.size(); i += static_cast<size_t>(read_size))
    points.push_back(model.produced_at_fetch[i]);
  return points;
}

// When a byte is fetched is observable (progress, refusals), so the
// expander must fetch at exactly the points the bit reader's rule gives:
// no read-ahead, no late fetch.
TEST(Lzh1ExpanderTest, FetchesEachByteWhenTheBitReaderRuleSays) {
  std::vector<uint8_t> data = test::TextData(30000, 2);
  const std::vector<uint8_t> more = test::RandomData(3000, 2);
  data.insert(data.end(), more.begin(), more.end());
  std::vector<uint8_t> stored = tools::CompressLzh1(data);
  stored.insert(stored.end(), 16, 0xA5);  // bytes past the data must stay unread
  const auto destsize = static_cast<int32_t>(data.size());

  // One byte per read: the session refills, and calls the progress
  // handler, once for every byte the codec fetches.
  const FetchRun run = ExpandRecordingFetches(stored, destsize, 1);
  EXPECT_EQ(run.output, data);
  const ModelResult model = ModelExpand(stored, destsize);
  EXPECT_EQ(run.produced_at_fetch, model.produced_at_fetch);
  EXPECT_LT(run.produced_at_fetch.size(), stored.size());
}

// The batched path runs only on items that cannot reach the end of the
// input run, and the look-ahead reader hands its state back to the format's
// reader at the end of every batch. Runs of a few dozen bytes end a batch
// every item or two, in every state of the format's reader (each count of
// bits left, a tree bit or 1..6 offset bits last); the output and each
// run's first fetch must be the model's, whichever reader the batches use.
TEST(Lzh1ExpanderTest, BatchesOfEveryLengthFetchLikeTheModel) {
  std::vector<uint8_t> data = test::TextData(40000, 3);
  const std::vector<uint8_t> more = test::BinaryData(40000, 3);
  data.insert(data.end(), more.begin(), more.end());
  std::vector<uint8_t> stored = tools::CompressLzh1(data);
  stored.insert(stored.end(), 16, 0xA5);
  const auto destsize = static_cast<int32_t>(data.size());
  const ModelResult model = ModelExpand(stored, destsize);
  for (const Lzh1BatchReader reader : kBatchReaders) {
    const UseBatchReader use(reader);
    for (const int32_t read_size : {59, 60, 61, 67, 101, 102, 150, 1000}) {
      SCOPED_TRACE(testing::Message()
                   << "reader " << static_cast<int>(reader) << ", reads of " << read_size);
      const FetchRun run = ExpandRecordingFetches(stored, destsize, read_size);
      EXPECT_EQ(run.output, data);
      EXPECT_EQ(run.produced_at_fetch, RefillPoints(model, read_size));
    }
  }
}

// The expander decodes the top levels of the tree from a table that must
// follow every change there. Favourites that change phase by phase move
// subtrees in and out of the top levels, give one symbol a one-bit code (a
// leaf right below the root) and cross a rebuild; the output and the point
// of every fetch must still be the plain model's.
TEST(Lzh1ExpanderTest, ShiftingFavouritesExpandAndFetchLikeTheModel) {
  StreamWriter w;
  std::mt19937 rng(7);
  int32_t destsize = 0;
  for (int phase = 0; phase < 12; ++phase) {
    const int favourite = 'a' + phase;
    for (int n = 0; n < 4000; ++n) {
      int s = static_cast<int>(rng() % Lzh1Symbols);
      if (phase % 3 == 0 && rng() % 10 != 0) s = favourite;
      if (phase % 3 == 1) s = std::array<int, 4>{favourite, 'z', 256, 313}[rng() % 4];
      if (s < Lzh1FirstMatchSymbol) {
        w.Literal(static_cast<uint8_t>(s));
        destsize += 1;
      } else {
        w.Match(s - Lzh1LengthBias, static_cast<int>(rng() % 4096));
        destsize += s - Lzh1LengthBias;
      }
    }
  }
  std::vector<uint8_t> stored = w.bytes();
  stored.insert(stored.end(), 16, 0xA5);  // so that every fetch has a byte to report
  const ModelResult model = ModelExpand(stored, destsize);
  ASSERT_GE(model.rebuilds, 1);

  const FetchRun run = ExpandRecordingFetches(stored, destsize, 1);
  EXPECT_EQ(run.output, model.output);
  EXPECT_EQ(run.produced_at_fetch, model.produced_at_fetch);

  // The same stream from whole blocks, through the expander's batched path.
  for (const Lzh1BatchReader reader : kBatchReaders) {
    const UseBatchReader use(reader);
    EXPECT_EQ(RunSession(kMethodLzh1, stored, destsize).output, model.output);
  }
}

// With whole blocks the expander takes most bytes straight from the input
// run and hands its output over in pieces; at every refill the sink must
// still hold exactly the bytes of the items finished before that fetch, and
// the run's last bytes must be fetched, not skipped.
TEST(Lzh1ExpanderTest, RefillsOfWholeBlocksSeeTheOutputOfTheItemsBefore) {
  std::vector<uint8_t> data = test::TextData(150000, 5);
  const std::vector<uint8_t> more = test::BinaryData(150000, 5);
  data.insert(data.end(), more.begin(), more.end());
  const std::vector<uint8_t> stored = tools::CompressLzh1(data);
  ASSERT_GT(stored.size(), 4u * CodecBlockSize);
  const auto destsize = static_cast<int32_t>(data.size());
  const ModelResult model = ModelExpand(stored, destsize);
  for (const Lzh1BatchReader reader : kBatchReaders) {
    const UseBatchReader use(reader);
    const FetchRun run = ExpandRecordingFetches(stored, destsize, CodecBlockSize);
    EXPECT_EQ(run.output, data);
    EXPECT_EQ(run.produced_at_fetch, RefillPoints(model, CodecBlockSize));
  }
}

// After a refused refill the block's bytes are handed out with EndOfInput
// raised; the bit reader takes them as 0 until an accepted refill.
TEST(Lzh1ExpanderTest, BytesOfARefusedBlockReadAsZero) {
  const std::vector<uint8_t> data = test::RandomData(40000, 4);
  const std::vector<uint8_t> stored = tools::CompressLzh1(data);
  ASSERT_GT(stored.size(), 2u * CodecBlockSize);
  std::vector<uint8_t> zeroed = stored;
  std::fill(zeroed.begin(), zeroed.begin() + CodecBlockSize, 0);
  for (const Lzh1BatchReader reader : kBatchReaders) {
    const UseBatchReader use(reader);
    const FetchRun run = ExpandRecordingFetches(stored, 40000, CodecBlockSize, 1);
    EXPECT_EQ(run.output, ModelExpand(zeroed, 40000).output);
    EXPECT_NE(test::Sum(run.output), test::Sum(data));
  }
}

// ---------------------------------------------------------------------------
// Round trips through the builder's coder.

std::vector<uint8_t> MakeData(std::string_view kind, size_t size) {
  return test::DataOfKind(kind, size, static_cast<uint32_t>(size));
}

// Compresses, expands through the session and checks the result; also runs
// the model over the stream to count rebuilds and reads of undefined bytes.
ModelResult RoundTrip(const std::vector<uint8_t>& data) {
  const std::vector<uint8_t> stored = test::ExpectRoundTrip(kMethodLzh1, data);
  ModelResult model = ModelExpand(stored, static_cast<int32_t>(data.size()));
  EXPECT_EQ(model.undefined_reads, 0) << "the coder referred to undefined ring bytes";
  return model;
}

TEST(Lzh1RoundTripTest, EverySizeAndKind) {
  for (std::string_view kind : test::kDataKinds) {
    for (size_t size : {0, 1, 2, 3, 59, 60, 61, 120, 4035, 4036, 4095, 4096, 4097, 65536}) {
      SCOPED_TRACE(std::string(kind) + " " + std::to_string(size));
      RoundTrip(MakeData(kind, size));
    }
  }
}

TEST(Lzh1RoundTripTest, EmptyDataStoresNothing) {
  EXPECT_TRUE(tools::CompressLzh1({}).empty());
}

// At least 1 MiB of each kind, enough symbols for several rebuilds: the
// first comes at the 32455th symbol, the later ones about every 16300. For
// constant data every symbol covers up to 60 bytes, so it needs 6 MiB.
TEST(Lzh1RoundTripTest, LargeInputsRebuildTheTreeSeveralTimes) {
  struct Case {
    const char* kind;
    size_t size;
  };
  for (const Case c : {Case{"text", 1536 * 1024}, Case{"binary", 1536 * 1024},
                       Case{"random", 1024 * 1024}, Case{"zeros", 6 * 1024 * 1024}}) {
    SCOPED_TRACE(c.kind);
    EXPECT_GE(RoundTrip(MakeData(c.kind, c.size)).rebuilds, 3);
  }
}

// A coder that took the undefined ring tail for zeros would match the
// leading zeros here against it.
TEST(Lzh1RoundTripTest, LeadingZerosNeverReferToTheUndefinedTail) {
  std::vector<uint8_t> data = Repeat(200, 0);
  const auto text = test::TextData(5000);
  data.insert(data.end(), text.begin(), text.end());
  RoundTrip(data);
}

TEST(Lzh1RoundTripTest, LeadingSpacesMatchTheInitialFill) {
  const std::vector<uint8_t> data = Repeat(4036, 0x20);
  RoundTrip(data);
  // 4036 bytes in 68 matches of at most 60: well under 300 bytes.
  EXPECT_LT(tools::CompressLzh1(data).size(), 300u);
}

TEST(Lzh1RoundTripTest, ThroughAnArchiveAndItsChecksum) {
  tools::ArchiveEntrySpec item;
  item.name = "Installer\\ZIVizivaz.exe";
  item.data = test::BinaryData(100000, 11);
  item.method = kMethodLzh1;
  std::vector<uint8_t> archive = tools::BuildArchive({item});
  EXPECT_EQ(test::ExtractFromBytes(archive, item.name), item.data);

  // One damaged stored byte near the end fails the checksum.
  archive[archive.size() - 20] ^= 0x10;
  EXPECT_EQ(test::FailureOf([&] { test::ExtractFromBytes(archive, item.name); }),
            test::kBadChecksum);
}

// ---------------------------------------------------------------------------
// The coder at its levels, streaming.

// Where the coder's 256 KiB buffer first slides: it holds the 4036 spaces of
// the initial history, then the data.
constexpr size_t kFirstSlide = (size_t{1} << 18) - Lzh1Start;

const int kCoderLevels[] = {tools::kMinLevel, tools::kDefaultLevel, tools::kMaxLevel};

// Compresses at `level`, expands and expects the data back; on short inputs
// the model also checks that no match refers to the undefined ring tail.
std::vector<uint8_t> RoundTripAt(int level, const std::vector<uint8_t>& data) {
  const std::vector<uint8_t> stored = tools::CompressLzh1(data, level);
  const auto destsize = static_cast<int32_t>(data.size());
  const auto r = RunSession(kMethodLzh1, stored, destsize);
  EXPECT_EQ(r.output, data);
  EXPECT_EQ(r.checksum, test::Sum(data));
  if (data.size() <= 5000) {
    EXPECT_EQ(ModelExpand(stored, destsize).undefined_reads, 0);
  }
  return stored;
}

// Sizes at the ring's seams, at 64 KiB (the output chunk) and at the slides.
TEST(Lzh1CoderLevelTest, EveryLevelKindAndSeam) {
  for (const int level : kCoderLevels) {
    for (std::string_view kind : test::kDataKinds) {
      for (size_t size : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{63}, size_t{64},
                          size_t{4095}, size_t{4097}, size_t{65535}, size_t{65537},
                          kFirstSlide - 64, kFirstSlide, kFirstSlide + 1, 3 * kFirstSlide + 7}) {
        SCOPED_TRACE("level " + std::to_string(level) + " " + std::string(kind) + " " +
                     std::to_string(size));
        RoundTripAt(level, MakeData(kind, size));
      }
    }
  }
}

// Leading zeros, then data that matches far back across the slides.
TEST(Lzh1CoderLevelTest, ZerosThenRepeatsAcrossSlides) {
  std::vector<uint8_t> data = Repeat(300, 0);
  const std::vector<uint8_t> block = test::BinaryData(3000, 4);
  while (data.size() < 2 * kFirstSlide) test::Append(data, block);
  for (const int level : kCoderLevels) {
    SCOPED_TRACE(level);
    RoundTripAt(level, data);
  }
}

// The stored bytes must not depend on how the input was cut, at every
// level: the pieces here cross the lookahead and the slides at odd places.
TEST(Lzh1CoderLevelTest, PiecesGiveTheWholeInputsStream) {
  std::vector<uint8_t> data = test::TextData(kFirstSlide, 3);
  test::Append(data, test::BinaryData(kFirstSlide + 4321, 3));
  for (const int level : {1, 3, 4, 9}) {
    SCOPED_TRACE(level);
    const std::vector<uint8_t> whole = tools::CompressLzh1(data, level);
    for (size_t piece :
         {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{4096}, size_t{100003}}) {
      std::vector<uint8_t> out;
      auto c = tools::MakeLzh1Compressor(
          level, [&](std::span<const uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); });
      for (size_t at = 0; at < data.size(); at += piece)
        c->Feed(std::span<const uint8_t>(data).subspan(at, std::min(piece, data.size() - at)));
      c->Finish();
      ASSERT_EQ(out, whole) << "pieces of " << piece;
    }
  }
}

// Output leaves as the input comes, in bounded pieces, not all at Finish.
TEST(Lzh1CoderLevelTest, HandsOutputToTheSinkAsItGoes) {
  const std::vector<uint8_t> data = test::RandomData(1 << 20, 8);
  size_t before_finish = 0;
  size_t largest = 0;
  auto c = tools::MakeLzh1Compressor(tools::kDefaultLevel, [&](std::span<const uint8_t> b) {
    before_finish += b.size();
    largest = std::max(largest, b.size());
  });
  c->Feed(data);
  EXPECT_GT(before_finish, data.size() / 2);
  c->Finish();
  EXPECT_LE(largest, size_t{65536} + 64);
}

// Higher levels trade time for size: never larger on these inputs.
TEST(Lzh1CoderLevelTest, HigherLevelsAreNoLarger) {
  for (std::string_view kind : {"text", "binary"}) {
    SCOPED_TRACE(kind);
    const std::vector<uint8_t> data = MakeData(kind, 300000);
    size_t previous = SIZE_MAX;
    for (const int level : kCoderLevels) {
      const size_t size = tools::CompressLzh1(data, level).size();
      EXPECT_LE(size, previous) << "level " << level;
      previous = size;
    }
  }
}

// ---------------------------------------------------------------------------
// Real -lh1- streams written by LHA archivers.

struct CorpusStream {
  std::string name;
  std::vector<uint8_t> stored;
  std::vector<uint8_t> expected;
};

std::vector<CorpusStream> LzhCorpus() {
  std::vector<CorpusStream> found;
  for (const auto& e : std::filesystem::directory_iterator(test::CorpusDir() + "/lha-peers")) {
    if (e.path().extension() != ".zerk") continue;
    std::vector<test::StoredEntry> entries = test::ReadEntries(e.path().string());
    if (entries.size() != 1 || entries[0].header.Method != kMethodLzh1) continue;
    CorpusStream s;
    s.name = e.path().filename().string();
    s.stored = std::move(entries[0].stored);
    std::filesystem::path out = e.path();
    s.expected = test::ReadFile(out.replace_extension(".out").string());
    found.push_back(std::move(s));
  }
  return found;
}

TEST(Lzh1CorpusTest, TruncatedStreamsExpandLikeTheModel) {
  const auto corpus = LzhCorpus();
  ASSERT_GE(corpus.size(), 8u);
  for (const CorpusStream& s : corpus) {
    SCOPED_TRACE(s.name);
    const auto destsize = static_cast<int32_t>(s.expected.size());
    if (destsize > 100000) continue;  // the model is slow; the small ones suffice
    for (size_t cut : {size_t{1}, s.stored.size() / 3, s.stored.size() - 1}) {
      if (cut >= s.stored.size()) continue;
      const std::vector<uint8_t> part(s.stored.begin(),
                                      s.stored.begin() + static_cast<ptrdiff_t>(cut));
      const auto r = RunSession(kMethodLzh1, part, destsize);
      EXPECT_EQ(r.output, ModelExpand(part, destsize).output) << "cut at " << cut;
    }
  }
}

// The builder's coder against the archivers that wrote the corpus: it
// should not store their data in more bytes than they did.
TEST(Lzh1CorpusTest, CoderKeepsUpWithTheArchivers) {
  for (const CorpusStream& s : LzhCorpus()) {
    if (s.expected.size() < 1000) continue;
    SCOPED_TRACE(s.name);
    const std::vector<uint8_t> ours = tools::CompressLzh1(s.expected);
    EXPECT_LE(ours.size(), s.stored.size()) << "theirs " << s.stored.size();
    EXPECT_EQ(RunSession(kMethodLzh1, ours, static_cast<int32_t>(s.expected.size())).output,
              s.expected);
  }
}

}  // namespace
}  // namespace kv

// The builder's -lh5- compressor: writes streams that ExpandLh5 reads back.
//
// Streaming. The input is coded in segments of kLh5Segment bytes, counted
// from its start, each parsed and cut into blocks on its own with the last
// 8 KiB window of the one before as history. So memory holds one segment
// and its work areas (at most about 10 bytes per byte of a segment, the
// priced parse's path being the largest), never the entry, and the output
// is the same however the input was fed. A match never runs past its
// segment's end and a block never spans two segments, which costs a few
// bytes per segment against coding the input whole.
//
// Matching. Hash chains over 3-byte prefixes find, at a position, earlier
// matches within the 8 KiB window (distance 1..8192, length 3..256), nearest
// first; a chain is walked for at most the level's number of candidates and
// stops early at a match of the level's "nice" length. Lengths are compared
// eight bytes at a time.
//
// Parsing, by level. Levels 1 to 6 parse once, lazily in the manner of
// gzip: a match is taken unless the next position offers a longer one
// (levels 1 and 2 take it at once, and do not enter the positions inside
// a long match in the chains). A 3-byte match more than kTooFar back costs
// more bits than its literals and is not taken. Levels 7 to 9 then refine
// the parse: each pass prices literals and matches with the code lengths
// of the blocks the previous parse produced and takes the cheapest way
// through the segment (a forward shortest path over literals and every
// length of every candidate match), and the pass whose blocks take the
// fewest bits is written.
//
// Blocks. Codes go out in blocks of at most 65535 codes, cut where the
// statistics change (see SplitBlocks). Each block has its own canonical
// Huffman codes, limited to 16 bits by package-merge: the characters
// (literals 0..255, match lengths as 253 + length), the 14 position symbols
// (symbol j sends distances 2^(j-1)..2^j - 1 minus one with j - 1 extra
// bits) and the code-length code that carries the character lengths. A list
// with one symbol only is sent as a single code (count 0 and the value),
// which costs no bits per code.
#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <numeric>

#include "codecs/lh5_format.h"
#include "tools/compressors.h"
#include "tools/match_length.h"

namespace kv::tools {
namespace {

// One code short of the format's 65536, so that the count field is never 0.
constexpr int kMaxBlockCodes = (1 << kLh5BlockCountBits) - 1;
constexpr int kHashBits = 16;
constexpr int kHashSize = 1 << kHashBits;
// A 3-byte match farther back than this costs more than three literals.
constexpr int kTooFar = 4096;

// What each level does. The lazy parse looks one position ahead only while
// its match is shorter than `lazy` (0: never) and walks a quarter of the
// chain once it holds a match of `good` bytes; positions inside a match
// longer than `insert_limit` are not entered in the chains (0: all are).
// `passes` priced parses follow the lazy one. The block splitter tries
// about `split_tries` cuts in each range it looks at.
struct LevelConfig {
  int chain;
  int nice;
  int good;
  int lazy;
  int insert_limit;
  int passes;
  size_t split_tries;
};

constexpr std::array<LevelConfig, kMaxLevel + 1> kLevels = {{
    {0, 0, 0, 0, 0, 0, 0},  // unused
    {4, 16, 4, 0, 8, 0, 8},
    {8, 32, 8, 0, 16, 0, 8},
    {8, 32, 8, 16, 0, 0, 16},
    {16, 64, 16, 32, 0, 0, 16},
    {32, 128, 32, 128, 0, 0, 16},
    {128, 256, 64, 256, 0, 0, 32},
    {128, 256, 32, 256, 0, 1, 64},
    {512, 256, 64, 256, 0, 2, 64},
    {1024, 256, 128, 256, 0, 3, 64},
}};

// --- Bits, most significant first -------------------------------------------

class BitWriter {
 public:
  void Put(uint32_t value, int n) {
    assert(n >= 0 && n <= 24 && (n == 24 || value < (1u << n)));
    acc_ = (acc_ << n) | value;
    count_ += n;
    if (count_ >= 32) {
      count_ -= 32;
      if (out_.size() - size_ < 4) out_.resize(std::max<size_t>(out_.size() * 2, 4096));
      const uint32_t word = static_cast<uint32_t>(acc_ >> count_);
      uint8_t* at = out_.data() + size_;
      at[0] = static_cast<uint8_t>(word >> 24);
      at[1] = static_cast<uint8_t>(word >> 16);
      at[2] = static_cast<uint8_t>(word >> 8);
      at[3] = static_cast<uint8_t>(word);
      size_ += 4;
      acc_ &= (uint64_t{1} << count_) - 1;
    }
  }
  // Pads the last byte with zero bits.
  void Flush() {
    while (count_ >= 8) {
      count_ -= 8;
      Byte(static_cast<uint8_t>(acc_ >> count_));
    }
    if (count_ > 0) Byte(static_cast<uint8_t>(acc_ << (8 - count_)));
    count_ = 0;
    acc_ = 0;
  }
  uint64_t Bits() const { return uint64_t{size_} * 8 + static_cast<uint64_t>(count_); }
  // Appends every bit of `other`.
  void Append(const BitWriter& other) {
    for (size_t k = 0; k < other.size_; ++k) Put(other.out_[k], 8);
    int left = other.count_;
    while (left > 0) {
      const int n = std::min(left, 24);
      left -= n;
      Put(static_cast<uint32_t>(other.acc_ >> left) & ((1u << n) - 1), n);
    }
  }
  // The whole bytes written so far, less up to 3 held back with the open
  // bits; the caller takes them away with Drop.
  std::span<const uint8_t> Bytes() const { return {out_.data(), size_}; }
  void Drop() { size_ = 0; }

 private:
  void Byte(uint8_t b) {
    if (size_ == out_.size()) out_.resize(std::max<size_t>(out_.size() * 2, 4096));
    out_[size_++] = b;
  }

  std::vector<uint8_t> out_;
  size_t size_ = 0;   // bytes of out_ in use
  uint64_t acc_ = 0;  // the low count_ bits are pending
  int count_ = 0;     // 0..31 between calls
};

// --- Codes ----------------------------------------------------------------

// Code lengths of at most `limit` bits that minimise the weighted length
// (package-merge). Symbols of frequency 0 get length 0; with fewer than two
// used symbols every length is 0 and the caller sends a single code.
std::vector<uint8_t> PackageMergeLengths(const std::vector<uint32_t>& freq, int limit) {
  std::vector<uint8_t> lengths(freq.size(), 0);
  std::vector<int> leaves;
  for (size_t s = 0; s < freq.size(); ++s)
    if (freq[s] > 0) leaves.push_back(static_cast<int>(s));
  const size_t n = leaves.size();
  if (n < 2) return lengths;
  std::stable_sort(leaves.begin(), leaves.end(), [&](int a, int b) {
    return freq[static_cast<size_t>(a)] < freq[static_cast<size_t>(b)];
  });

  struct Item {
    uint64_t weight;
    int leaf;         // symbol, or -1 for a package
    int first_child;  // a package holds items first_child and first_child + 1 of the level below
  };
  std::vector<std::vector<Item>> levels(static_cast<size_t>(limit));
  auto leaf_item = [&](size_t k) {
    return Item{freq[static_cast<size_t>(leaves[k])], leaves[k], -1};
  };
  for (size_t k = 0; k < n; ++k) levels[0].push_back(leaf_item(k));
  for (size_t lvl = 1; lvl < levels.size(); ++lvl) {
    const std::vector<Item>& below = levels[lvl - 1];
    std::vector<Item>& cur = levels[lvl];
    size_t li = 0, pi = 0;
    const size_t packages = below.size() / 2;
    while (li < n || pi < packages) {
      const uint64_t pw = pi < packages ? below[2 * pi].weight + below[2 * pi + 1].weight
                                        : std::numeric_limits<uint64_t>::max();
      if (li < n && freq[static_cast<size_t>(leaves[li])] <= pw) {
        cur.push_back(leaf_item(li++));
      } else {
        cur.push_back(Item{pw, -1, static_cast<int>(2 * pi)});
        ++pi;
      }
    }
  }
  // The first 2n - 2 items of the top level; every leaf inside adds one bit.
  std::vector<std::pair<size_t, size_t>> stack;  // (level, index)
  for (size_t k = 0; k < 2 * n - 2; ++k) stack.emplace_back(levels.size() - 1, k);
  while (!stack.empty()) {
    const auto [lvl, k] = stack.back();
    stack.pop_back();
    const Item& it = levels[lvl][k];
    if (it.leaf >= 0) {
      ++lengths[static_cast<size_t>(it.leaf)];
    } else {
      stack.emplace_back(lvl - 1, static_cast<size_t>(it.first_child));
      stack.emplace_back(lvl - 1, static_cast<size_t>(it.first_child) + 1);
    }
  }
  return lengths;
}

// The same lengths as PackageMergeLengths. A plain Huffman code is built
// first (leaves sorted by frequency, then two queues, one of leaves and one
// of the nodes made so far, which come out in order), which is far quicker;
// only when it has a code longer than `limit` does package-merge make the
// lengths instead.
std::vector<uint8_t> LimitedHuffmanLengths(const std::vector<uint32_t>& freq, int limit) {
  std::vector<uint8_t> lengths(freq.size(), 0);
  std::vector<uint32_t> leaves;
  leaves.reserve(freq.size());
  for (size_t s = 0; s < freq.size(); ++s)
    if (freq[s] > 0) leaves.push_back(static_cast<uint32_t>(s));
  const size_t n = leaves.size();
  if (n < 2) return lengths;
  std::stable_sort(leaves.begin(), leaves.end(),
                   [&](uint32_t a, uint32_t b) { return freq[a] < freq[b]; });
  // Nodes 0..n-1 are the leaves in sorted order, n.. the internal ones.
  std::vector<uint64_t> weight(2 * n - 1);
  std::vector<uint32_t> parent(2 * n - 1, 0);
  for (size_t k = 0; k < n; ++k) weight[k] = freq[leaves[k]];
  size_t next_leaf = 0, next_node = n;
  auto take = [&](size_t made) {
    if (next_leaf < n && (next_node >= made || weight[next_leaf] <= weight[next_node]))
      return next_leaf++;
    return next_node++;
  };
  for (size_t made = n; made < 2 * n - 1; ++made) {
    const size_t a = take(made);
    const size_t b = take(made);
    weight[made] = weight[a] + weight[b];
    parent[a] = parent[b] = static_cast<uint32_t>(made);
  }
  // Depths from the root down: a node's parent always has a higher index.
  std::vector<uint8_t> depth(2 * n - 1, 0);
  int longest = 0;
  for (size_t k = 2 * n - 2; k-- > 0;) {
    depth[k] = static_cast<uint8_t>(std::min(depth[parent[k]] + 1, 255));
    if (k < n) longest = std::max<int>(longest, depth[k]);
  }
  if (longest > limit) return PackageMergeLengths(freq, limit);
  for (size_t k = 0; k < n; ++k) lengths[leaves[k]] = depth[k];
  return lengths;
}

// Canonical codes for lengths, as the expander's table builder assigns them.
std::vector<uint16_t> CanonicalCodes(const std::vector<uint8_t>& lengths) {
  std::array<uint32_t, kLh5MaxCodeLength + 2> next{};
  std::array<uint32_t, kLh5MaxCodeLength + 1> count{};
  for (uint8_t l : lengths) ++count[l];
  count[0] = 0;
  uint32_t code = 0;
  for (int l = 1; l <= kLh5MaxCodeLength; ++l) {
    next[static_cast<size_t>(l)] = code;
    code = (code + count[static_cast<size_t>(l)]) << 1;
  }
  std::vector<uint16_t> codes(lengths.size(), 0);
  for (size_t s = 0; s < lengths.size(); ++s)
    if (lengths[s] > 0) codes[s] = static_cast<uint16_t>(next[lengths[s]]++);
  return codes;
}

// Position symbol of a distance minus one (0..8191): 0 for 0, else its bit length.
int PositionSymbol(unsigned d) {
  return static_cast<int>(std::bit_width(d));
}

// --- Parsing --------------------------------------------------------------

struct Token {
  uint16_t length;    // 0 for a literal, else 3..256
  uint16_t distance;  // literal: the byte; match: distance 1..8192
};

size_t TokenSize(const Token& t) {
  return t.length == 0 ? 1 : t.length;
}

// Hash chains over one segment's buffer (history, then the segment).
class MatchFinder {
 public:
  explicit MatchFinder(std::span<const uint8_t> data)
      : data_(data), head_(kHashSize, -1), prev_(kLh5WindowSize, -1) {}

  // Enters every position before `pos` not yet entered.
  void InsertUpTo(size_t pos) {
    const size_t last = data_.size() >= kLh5MinMatch ? data_.size() - kLh5MinMatch + 1 : 0;
    for (const size_t end = std::min(pos, last); next_insert_ < end; ++next_insert_)
      Insert(next_insert_, Hash(next_insert_));
    next_insert_ = std::max(next_insert_, pos);
  }
  // Leaves the positions before `pos` out of the chains.
  void SkipTo(size_t pos) { next_insert_ = std::max(next_insert_, pos); }

  // Calls visit(length, distance) for the matches at `pos` in the order of
  // the chain, nearest first, each longer than the one before; at most
  // `chain` candidates are looked at, a quarter of what is left once a
  // match of `good` bytes is found, and the walk ends at a match of `nice`
  // bytes. The positions up to `pos` are entered in the chains, `pos` after
  // the walk; so a position is searched once, before it is entered.
  template <typename Visit>
  void ForEachMatch(size_t pos, int chain, int good, int nice, Visit&& visit) {
    InsertUpTo(pos);
    assert(next_insert_ == pos);
    const size_t avail = data_.size() - pos;
    if (avail < static_cast<size_t>(kLh5MinMatch)) return;
    const int max_len = static_cast<int>(std::min<size_t>(avail, kLh5MaxMatch));
    nice = std::min(nice, max_len);
    const uint8_t* cur = data_.data() + pos;
    int best = kLh5MinMatch - 1;
    const uint32_t h = Hash(pos);
    int32_t cand = head_[h];
    const int32_t lowest = static_cast<int32_t>(pos) - kLh5WindowSize;
    for (; cand >= 0 && cand >= lowest && chain-- > 0;
         cand = prev_[static_cast<size_t>(cand) & (kLh5WindowSize - 1)]) {
      const uint8_t* p = data_.data() + cand;
      if (p[best] != cur[best]) continue;
      const int len = MatchLength(p, cur, max_len);
      if (len > best) {
        if (len >= good && best < good) chain >>= 2;
        best = len;
        visit(len, static_cast<int>(pos - static_cast<size_t>(cand)));
        if (len >= nice) break;
      }
    }
    Insert(pos, h);
    ++next_insert_;
  }

 private:
  // The hash of the 3 bytes at `pos`, the same whichever way they are read.
  uint32_t Hash(size_t pos) const {
    const uint8_t* p = data_.data() + pos;
    uint32_t v;
    if (std::endian::native == std::endian::little && pos + 4 <= data_.size()) {
      std::memcpy(&v, p, 4);
      v &= 0xFFFFFF;
    } else {
      v = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
    }
    return (v * 2654435761u) >> (32 - kHashBits);
  }
  void Insert(size_t pos, uint32_t h) {
    prev_[pos & (kLh5WindowSize - 1)] = head_[h];
    head_[h] = static_cast<int32_t>(pos);
  }

  std::span<const uint8_t> data_;
  std::vector<int32_t> head_;
  std::vector<int32_t> prev_;  // by position modulo the window
  size_t next_insert_ = 0;
};

struct Match {
  int length = 0;
  int distance = 0;
};

Match LongestMatch(MatchFinder& finder, size_t pos, int chain, int good, int nice) {
  Match m;
  finder.ForEachMatch(pos, chain, good, nice, [&](int len, int dist) { m = {len, dist}; });
  if (m.length == kLh5MinMatch && m.distance > kTooFar) m = {};
  return m;
}

// The lazy parse of data[start..]; the bytes before `start` are history
// that matches may reach back into.
std::vector<Token> LazyParse(std::span<const uint8_t> data, size_t start, const LevelConfig& cfg) {
  std::vector<Token> tokens;
  tokens.reserve((data.size() - start) / 3 + 16);
  MatchFinder finder(data);
  size_t pos = start;
  Match cur = LongestMatch(finder, pos, cfg.chain, cfg.good, cfg.nice);
  while (pos < data.size()) {
    if (cur.length == 0) {
      tokens.push_back({0, data[pos]});
      ++pos;
      cur = LongestMatch(finder, pos, cfg.chain, cfg.good, cfg.nice);
      continue;
    }
    if (cur.length < cfg.lazy && pos + 1 < data.size()) {
      const int chain = cur.length >= cfg.good ? cfg.chain / 4 + 1 : cfg.chain;
      const Match next = LongestMatch(finder, pos + 1, chain, cfg.good, cfg.nice);
      if (next.length > cur.length) {
        tokens.push_back({0, data[pos]});
        ++pos;
        cur = next;
        continue;
      }
    }
    tokens.push_back({static_cast<uint16_t>(cur.length), static_cast<uint16_t>(cur.distance)});
    pos += static_cast<size_t>(cur.length);
    if (cfg.insert_limit > 0 && cur.length > cfg.insert_limit) finder.SkipTo(pos);
    cur = LongestMatch(finder, pos, cfg.chain, cfg.good, cfg.nice);
  }
  return tokens;
}

constexpr uint32_t kPriceScale = 16;

// Bit prices of one block's codes; 0-length (absent) symbols are priced as if
// they were given a long code, so that the next parse may still use them.
struct Prices {
  std::array<uint32_t, kLh5CharCount> chars{};
  std::array<uint32_t, kLh5PositionCount> positions{};
};

// The priced parse of data[start..]: a shortest path from each position to
// the end, over literals and every candidate length of the matches found
// there. `block_starts` count from `start`. The path arrays are indexed
// from `start` as well, so they take 8 bytes per byte parsed.
std::vector<Token> PricedParse(std::span<const uint8_t> data, size_t start,
                               const std::vector<Prices>& prices,
                               const std::vector<size_t>& block_starts, const LevelConfig& cfg) {
  const size_t n = data.size() - start;
  constexpr uint32_t kInf = std::numeric_limits<uint32_t>::max();
  std::vector<uint32_t> cost(n + 1, kInf);
  std::vector<Token> step(n + 1, Token{0, 0});
  cost[0] = 0;
  MatchFinder finder(data);
  finder.SkipTo(0);
  size_t block = 0;
  std::vector<Match> found;
  for (size_t pos = 0; pos < n; ++pos) {
    while (block + 1 < block_starts.size() && block_starts[block + 1] <= pos) ++block;
    const Prices& pr = prices[block];
    const uint32_t here = cost[pos];
    const uint8_t byte = data[start + pos];
    const uint32_t lit = here + pr.chars[byte];
    if (lit < cost[pos + 1]) {
      cost[pos + 1] = lit;
      step[pos + 1] = {0, byte};
    }
    found.clear();
    finder.ForEachMatch(start + pos, cfg.chain, cfg.good, cfg.nice, [&](int len, int dist) {
      found.push_back({len, dist});
    });
    if (found.empty()) continue;
    const Match& longest = found.back();
    int low = kLh5MinMatch;
    for (const Match& m : found) {
      const unsigned d = static_cast<unsigned>(m.distance - 1);
      const int sym = PositionSymbol(d);
      const uint32_t pos_bits = pr.positions[static_cast<size_t>(sym)] +
                                static_cast<uint32_t>(std::max(sym - 1, 0)) * kPriceScale;
      const uint32_t* len_price = &pr.chars[static_cast<size_t>(kLh5MatchBase)];
      Token* to_step = &step[pos];
      uint32_t* to_cost = &cost[pos];
      const uint16_t distance = static_cast<uint16_t>(m.distance);
      for (int len = low; len <= m.length; ++len) {
        const uint32_t c = here + len_price[len] + pos_bits;
        if (c < to_cost[len]) {
          to_cost[len] = c;
          to_step[len] = {static_cast<uint16_t>(len), distance};
        }
      }
      low = m.length + 1;
    }
    if (longest.length >= cfg.nice) {
      // A run as long as the search goes: go on from its end without
      // expanding the positions inside it (the match reaches the end, and
      // arcs that land inside are simply not continued).
      pos += static_cast<size_t>(longest.length) - 1;
    }
  }
  size_t count = 0;
  for (size_t pos = n; pos > 0; ++count) pos -= TokenSize(step[pos]);
  std::vector<Token> tokens(count);
  for (size_t pos = n; pos > 0;) {
    const Token t = step[pos];
    tokens[--count] = t;
    pos -= TokenSize(t);
  }
  return tokens;
}

// --- Blocks ---------------------------------------------------------------

struct BlockCodes {
  std::vector<uint8_t> char_len, pos_len;
  std::vector<uint32_t> char_freq, pos_freq;
};

BlockCodes CodesFor(std::span<const Token> tokens) {
  std::vector<uint32_t> char_freq(kLh5CharCount, 0), pos_freq(kLh5PositionCount, 0);
  for (const Token& t : tokens) {
    if (t.length == 0) {
      ++char_freq[t.distance];
    } else {
      ++char_freq[static_cast<size_t>(kLh5MatchBase + t.length)];
      ++pos_freq[static_cast<size_t>(PositionSymbol(t.distance - 1u))];
    }
  }
  BlockCodes codes{LimitedHuffmanLengths(char_freq, kLh5MaxCodeLength),
                   LimitedHuffmanLengths(pos_freq, kLh5MaxCodeLength),
                   {},
                   {}};
  codes.char_freq = std::move(char_freq);
  codes.pos_freq = std::move(pos_freq);
  return codes;
}

// The one symbol of a list that has fewer than two: the single-code value.
int SingleSymbol(const std::vector<uint32_t>& freq) {
  for (size_t s = 0; s < freq.size(); ++s)
    if (freq[s] > 0) return static_cast<int>(s);
  return 0;
}

// A length of the code-length or position list: 0..6 in 3 bits, 7 + k as
// 7, k one bits and a zero bit.
void PutAuxLength(BitWriter& w, int len) {
  if (len < 7) {
    w.Put(static_cast<uint32_t>(len), 3);
  } else {
    w.Put(7, 3);
    for (int k = 7; k < len; ++k) w.Put(1, 1);
    w.Put(0, 1);
  }
}

// Writes AuxLen-style lists; `zero_run_at` 3 for the code-length list.
void PutAuxList(BitWriter& w, const std::vector<uint8_t>& len, int count_bits, int zero_run_at) {
  int n = static_cast<int>(len.size());
  while (n > 0 && len[static_cast<size_t>(n - 1)] == 0) --n;
  w.Put(static_cast<uint32_t>(n), count_bits);
  int i = 0;
  while (i < n) {
    PutAuxLength(w, len[static_cast<size_t>(i++)]);
    if (i == zero_run_at) {
      int z = 0;
      while (z < 3 && i + z < n && len[static_cast<size_t>(i + z)] == 0) ++z;
      w.Put(static_cast<uint32_t>(z), 2);
      i += z;
    }
  }
}

// The character lengths as code-length symbols: (symbol, extra value, extra bits).
struct LengthSymbol {
  uint8_t symbol;
  uint16_t extra;
  uint8_t extra_bits;
};

std::vector<LengthSymbol> CharLengthSymbols(const std::vector<uint8_t>& char_len, int n) {
  std::vector<LengthSymbol> out;
  int i = 0;
  while (i < n) {
    const int l = char_len[static_cast<size_t>(i)];
    if (l != 0) {
      out.push_back({static_cast<uint8_t>(l + 2), 0, 0});
      ++i;
      continue;
    }
    int run = 0;
    while (i + run < n && char_len[static_cast<size_t>(i + run)] == 0) ++run;
    i += run;
    if (run <= 2) {
      for (int k = 0; k < run; ++k) out.push_back({0, 0, 0});
    } else if (run <= 18) {
      out.push_back({1, static_cast<uint16_t>(run - 3), 4});
    } else if (run == 19) {
      out.push_back({0, 0, 0});
      out.push_back({1, 15, 4});
    } else {
      out.push_back({2, static_cast<uint16_t>(run - 20), 9});
    }
  }
  return out;
}

// The block head after its count: the code-length, character and position
// lists of `codes`.
void PutLists(BitWriter& w, const BlockCodes& codes) {
  const std::vector<uint32_t>& char_freq = codes.char_freq;
  const std::vector<uint32_t>& pos_freq = codes.pos_freq;
  const bool single_char =
      std::count_if(char_freq.begin(), char_freq.end(), [](uint32_t f) { return f > 0; }) < 2;
  const bool single_pos =
      std::count_if(pos_freq.begin(), pos_freq.end(), [](uint32_t f) { return f > 0; }) < 2;

  // Code-length list and character list.
  if (single_char) {
    w.Put(0, kLh5CodeLengthCountBits);
    w.Put(0, kLh5CodeLengthCountBits);
    w.Put(0, kLh5CharCountBits);
    w.Put(static_cast<uint32_t>(SingleSymbol(char_freq)), kLh5CharCountBits);
  } else {
    int n = kLh5CharCount;
    while (n > 0 && codes.char_len[static_cast<size_t>(n - 1)] == 0) --n;
    const std::vector<LengthSymbol> syms = CharLengthSymbols(codes.char_len, n);
    std::vector<uint32_t> t_freq(kLh5CodeLengthCount, 0);
    for (const LengthSymbol& s : syms) ++t_freq[s.symbol];
    const std::vector<uint8_t> t_len = LimitedHuffmanLengths(t_freq, kLh5MaxCodeLength);
    const std::vector<uint16_t> t_code = CanonicalCodes(t_len);
    const bool single_t =
        std::count_if(t_freq.begin(), t_freq.end(), [](uint32_t f) { return f > 0; }) < 2;
    if (single_t) {
      w.Put(0, kLh5CodeLengthCountBits);
      w.Put(static_cast<uint32_t>(SingleSymbol(t_freq)), kLh5CodeLengthCountBits);
    } else {
      PutAuxList(w, t_len, kLh5CodeLengthCountBits, kLh5CodeLengthZeroRunAt);
    }
    w.Put(static_cast<uint32_t>(n), kLh5CharCountBits);
    for (const LengthSymbol& s : syms) {
      w.Put(t_code[s.symbol], t_len[s.symbol]);
      if (s.extra_bits > 0) w.Put(s.extra, s.extra_bits);
    }
  }

  // Position list.
  if (single_pos) {
    w.Put(0, kLh5PositionCountBits);
    w.Put(static_cast<uint32_t>(SingleSymbol(pos_freq)), kLh5PositionCountBits);
  } else {
    PutAuxList(w, codes.pos_len, kLh5PositionCountBits, kLh5NoZeroRun);
  }
}

void PutBlock(BitWriter& w, std::span<const Token> tokens, const BlockCodes& codes) {
  assert(!tokens.empty() && tokens.size() <= static_cast<size_t>(kMaxBlockCodes));
  // The codes were made from these very tokens' frequencies.
  w.Put(static_cast<uint32_t>(tokens.size()), kLh5BlockCountBits);
  PutLists(w, codes);

  // The codes.
  const std::vector<uint16_t> char_code = CanonicalCodes(codes.char_len);
  const std::vector<uint16_t> pos_code = CanonicalCodes(codes.pos_len);
  for (const Token& t : tokens) {
    if (t.length == 0) {
      w.Put(char_code[t.distance], codes.char_len[t.distance]);
      continue;
    }
    const size_t c = static_cast<size_t>(kLh5MatchBase + t.length);
    w.Put(char_code[c], codes.char_len[c]);
    const unsigned d = t.distance - 1u;
    const int j = PositionSymbol(d);
    w.Put(pos_code[static_cast<size_t>(j)], codes.pos_len[static_cast<size_t>(j)]);
    if (j > 1) w.Put(d - (1u << (j - 1)), j - 1);
  }
}

// Block boundaries. The tokens are cut into chunks of 1024 codes (512 when
// `exact`) and the chunk frequencies summed up front; a range of chunks is
// then split in two where the cost of the halves falls most below that of
// the whole, recursively, as long as that saves more than kSplitGain bits.
// The cost is estimated (entropy of each code plus an allowance for the
// tables in the head) or, when `exact`, what the block would take (its
// codes built and its head written), which is slower and finds better cuts.
// A range of more than 65535 codes is always split. So a stretch of one
// kind (a long run, a change from text to code) gets codes of its own, and
// a stretch with one character and one position costs no bits per code at
// all.
constexpr double kSplitGain = 256;
constexpr size_t kFreqs = kLh5CharCount + kLh5PositionCount;

// n log2 n, from a table for the small counts that most symbols of a range
// have: the split search prices thousands of ranges of 524 symbols each, and
// a log per symbol was most of its time.
double NLog2N(uint64_t n) {
  constexpr size_t kTable = 4096;
  static const std::array<double, kTable> table = [] {
    std::array<double, kTable> t{};
    for (size_t i = 1; i < kTable; ++i) t[i] = static_cast<double>(i) * std::log2(i);
    return t;
  }();
  if (n < kTable) return table[static_cast<size_t>(n)];
  const double x = static_cast<double>(n);
  return x * std::log2(x);
}

// The entropy of each code (total log2 total - sum of f log2 f) plus the
// tables in the head.
double EstimateBits(const uint32_t* f) {
  double bits = 0;
  auto list = [&](const uint32_t* g, size_t n, double per_length) {
    uint64_t total = 0;
    int used = 0;
    double sum = 0;
    for (size_t s = 0; s < n; ++s) {
      if (g[s] == 0) continue;
      total += g[s];
      ++used;
      sum += NLog2N(g[s]);
    }
    if (used < 2) return;  // a single code: no bits per code
    bits += NLog2N(total) - sum + used * per_length;
  };
  list(f, kLh5CharCount, 5.0);
  list(f + kLh5CharCount, kLh5PositionCount, 3.5);
  return bits + 40;  // count, list counts and the code-length code
}

// What a block of these frequencies takes, head and codes, less the extra
// bits of its positions (which do not depend on the cut): the codes built
// and the lists written as PutBlock would.
double ExactBits(const uint32_t* f) {
  BlockCodes codes;
  codes.char_freq.assign(f, f + kLh5CharCount);
  codes.pos_freq.assign(f + kLh5CharCount, f + kFreqs);
  codes.char_len = LimitedHuffmanLengths(codes.char_freq, kLh5MaxCodeLength);
  codes.pos_len = LimitedHuffmanLengths(codes.pos_freq, kLh5MaxCodeLength);
  BitWriter head;
  PutLists(head, codes);
  uint64_t bits = kLh5BlockCountBits + head.Bits();
  for (size_t s = 0; s < kLh5CharCount; ++s)
    bits += uint64_t{codes.char_freq[s]} * codes.char_len[s];
  for (size_t s = 0; s < kLh5PositionCount; ++s)
    bits += uint64_t{codes.pos_freq[s]} * codes.pos_len[s];
  return static_cast<double>(bits);
}

std::vector<std::span<const Token>> SplitBlocks(const std::vector<Token>& tokens, size_t tries,
                                                bool exact) {
  const size_t chunk_codes = exact ? 512 : 1024;
  const size_t chunks = (tokens.size() + chunk_codes - 1) / chunk_codes;
  std::vector<uint32_t> prefix((chunks + 1) * kFreqs, 0);
  for (size_t c = 0; c < chunks; ++c) {
    uint32_t* f = &prefix[(c + 1) * kFreqs];
    std::copy(&prefix[c * kFreqs], &prefix[(c + 1) * kFreqs], f);
    const size_t end = std::min(tokens.size(), (c + 1) * chunk_codes);
    for (size_t i = c * chunk_codes; i < end; ++i) {
      const Token& t = tokens[i];
      if (t.length == 0) {
        ++f[t.distance];
      } else {
        ++f[kLh5MatchBase + t.length];
        ++f[kLh5CharCount + static_cast<size_t>(PositionSymbol(t.distance - 1u))];
      }
    }
  }
  std::vector<uint32_t> range(kFreqs);
  auto cost = [&](size_t a, size_t b) {
    for (size_t s = 0; s < kFreqs; ++s) range[s] = prefix[b * kFreqs + s] - prefix[a * kFreqs + s];
    return exact ? ExactBits(range.data()) : EstimateBits(range.data());
  };
  auto codes_in = [&](size_t a, size_t b) {
    return std::min(tokens.size(), b * chunk_codes) - a * chunk_codes;
  };
  std::vector<size_t> cuts = {0};
  std::vector<std::pair<size_t, size_t>> todo;  // ranges of chunks, left first
  if (chunks > 0) todo.emplace_back(0, chunks);
  while (!todo.empty()) {
    const auto [a, b] = todo.back();
    todo.pop_back();
    const bool must = codes_in(a, b) > static_cast<size_t>(kMaxBlockCodes);
    size_t best_m = 0;
    double best = must ? std::numeric_limits<double>::max() : cost(a, b) - kSplitGain;
    // At most about `tries` candidate cuts per range keep the search near-linear.
    const size_t step = std::max<size_t>(1, (b - a) / tries);
    for (size_t m = a + step; m < b; m += step) {
      const double c = cost(a, m) + cost(m, b);
      if (c < best) {
        best = c;
        best_m = m;
      }
    }
    if (best_m == 0) {
      cuts.push_back(b);
      continue;
    }
    todo.emplace_back(best_m, b);
    todo.emplace_back(a, best_m);
  }
  std::vector<std::span<const Token>> blocks;
  for (size_t k = 1; k < cuts.size(); ++k) {
    const size_t from = cuts[k - 1] * chunk_codes;
    const size_t to = std::min(tokens.size(), cuts[k] * chunk_codes);
    blocks.emplace_back(tokens.data() + from, to - from);
  }
  return blocks;
}

Prices PricesFor(const BlockCodes& codes) {
  // A symbol's price is its information content in the block, -log2 of its
  // share, in 1/kPriceScale bits: finer than the code lengths, which the
  // next parse changes anyway. A symbol the block did not use is priced as
  // if it had been used half a time; the one symbol of a single-code list
  // is free.
  auto fill = [](const std::vector<uint32_t>& freq, uint32_t* out) {
    uint64_t total = 0;
    int used = 0;
    for (uint32_t f : freq) {
      total += f;
      used += f != 0;
    }
    for (size_t s = 0; s < freq.size(); ++s) {
      if (used < 2) {
        out[s] = freq[s] != 0 ? 0 : kLh5MaxCodeLength * kPriceScale;
        continue;
      }
      const double share = (freq[s] != 0 ? freq[s] : 0.5) / static_cast<double>(total);
      const double bits = std::min<double>(-std::log2(share), kLh5MaxCodeLength);
      out[s] = static_cast<uint32_t>(bits * kPriceScale + 0.5);
    }
  };
  Prices p;
  fill(codes.char_freq, p.chars.data());
  fill(codes.pos_freq, p.positions.data());
  return p;
}

// The blocks of a parse, coded, with their prices for the next parse.
struct CodedParse {
  BitWriter bits;
  std::vector<Prices> prices;
  std::vector<size_t> starts;  // each block's first byte, counted from the segment's start
};

CodedParse CodeParse(const std::vector<Token>& tokens, const LevelConfig& cfg, bool want_prices) {
  CodedParse out;
  size_t at = 0;
  for (std::span<const Token> block : SplitBlocks(tokens, cfg.split_tries, cfg.passes > 0)) {
    const BlockCodes codes = CodesFor(block);
    PutBlock(out.bits, block, codes);
    if (!want_prices) continue;
    out.starts.push_back(at);
    out.prices.push_back(PricesFor(codes));
    for (const Token& t : block) at += TokenSize(t);
  }
  return out;
}

// Codes data[start..] (data[..start] being history) onto `out` as the level
// says: the lazy parse, then the level's priced passes, each priced with
// the blocks of the one before, and whichever takes fewest bits.
void CodeSegment(std::span<const uint8_t> data, size_t start, const LevelConfig& cfg,
                 BitWriter& out) {
  if (start == data.size()) return;
  CodedParse best = CodeParse(LazyParse(data, start, cfg), cfg, cfg.passes > 0);
  CodedParse last_pass;
  const CodedParse* prices = &best;
  for (int pass = 0; pass < cfg.passes; ++pass) {
    CodedParse next = CodeParse(PricedParse(data, start, prices->prices, prices->starts, cfg), cfg,
                                pass + 1 < cfg.passes);
    if (next.bits.Bits() < best.bits.Bits()) {
      best = std::move(next);
      prices = &best;
    } else {
      // No better, but its prices may still lead somewhere better.
      last_pass = std::move(next);
      prices = &last_pass;
    }
  }
  out.Append(best.bits);
}

// The streaming compressor. `buffer_` holds up to kLh5WindowSize bytes of
// history followed by the segment being gathered; once the segment is
// kLh5Segment bytes long (counted from the start of the input, so the cut
// does not depend on how the input was fed) it is coded, its complete
// bytes go to the sink, and the last window of it stays as history. A
// match never runs past the end of its segment, and a block never spans
// two. The bits of a segment's last bytes stay in `bits_` until the next
// segment or Finish completes them.
class Lh5StreamCompressor final : public StreamCompressor {
 public:
  Lh5StreamCompressor(int level, ByteSink sink)
      : cfg_(kLevels[static_cast<size_t>(std::clamp(level, kMinLevel, kMaxLevel))]),
        sink_(std::move(sink)) {}

  void Feed(std::span<const uint8_t> data) override {
    while (!data.empty()) {
      if (buffer_.empty()) buffer_.reserve(kLh5WindowSize + kLh5Segment);
      const size_t room = history_ + kLh5Segment - buffer_.size();
      const size_t take = std::min(room, data.size());
      buffer_.insert(buffer_.end(), data.begin(), data.begin() + static_cast<ptrdiff_t>(take));
      data = data.subspan(take);
      if (buffer_.size() == history_ + kLh5Segment) CodeBuffered();
    }
  }

  void Finish() override {
    CodeBuffered();
    bits_.Flush();
    Emit();
    buffer_ = {};
  }

 private:
  void CodeBuffered() {
    CodeSegment(buffer_, history_, cfg_, bits_);
    Emit();
    const size_t keep = std::min<size_t>(buffer_.size(), kLh5WindowSize);
    buffer_.erase(buffer_.begin(), buffer_.end() - static_cast<ptrdiff_t>(keep));
    history_ = keep;
  }
  void Emit() {
    if (!bits_.Bytes().empty()) sink_(bits_.Bytes());
    bits_.Drop();
  }

  const LevelConfig cfg_;
  ByteSink sink_;
  std::vector<uint8_t> buffer_;
  size_t history_ = 0;
  BitWriter bits_;
};

}  // namespace

std::unique_ptr<StreamCompressor> MakeLh5Compressor(int level, ByteSink sink) {
  return std::make_unique<Lh5StreamCompressor>(level, std::move(sink));
}

}  // namespace kv::tools

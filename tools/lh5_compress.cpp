// The builder's -lh5- compressor: writes streams that ExpandLh5 reads back.
//
// Streaming. The input is coded in segments of kLh5Segment bytes, counted
// from its start, each parsed and cut into blocks on its own with the last
// 8 KiB window of the one before as history. So memory holds one segment
// and its work areas (about 23 bytes per byte of a segment at the worst,
// most of it the priced parse's path), never the entry, and the output is
// the same however the input was fed. A match never runs past its
// segment's end and a block never spans two segments, which costs a few
// bytes per segment against coding the input whole.
//
// Parsing. A hash chain over 3-byte prefixes finds, at every position, the
// longest earlier match within the 8 KiB window (distance 1..8192, length
// 3..256). The parse is lazy: a match is taken only when the next position
// does not offer a longer one, and a
// short match at a long distance, which costs more bits than its literals,
// is not taken at all. The choices are then refined: a second parse prices
// literals and matches with the code lengths the first parse's blocks
// produced, and takes, at each position, the cheapest way to the farthest
// point it can reach (a forward shortest-path over the candidates the hash
// chain offers).
//
// Blocks. Codes go out in blocks of at most 65535 codes, cut where the
// statistics change (see SplitBlocks). Each block has its
// own canonical Huffman codes, limited to 16 bits by package-merge: the
// characters (literals 0..255, match lengths as 253 + length), the 14
// position symbols (symbol j sends distances 2^(j-1)..2^j - 1 minus one with
// j - 1 extra bits) and the code-length code that carries the character
// lengths. A list with one symbol only is sent as a single code (count 0 and
// the value), which costs no bits per code.
#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <numeric>

#include "codecs/lh5_format.h"
#include "tools/compressors.h"

namespace kv::tools {
namespace {

// One code short of the format's 65536, so that the count field is never 0.
constexpr int kMaxBlockCodes = (1 << kLh5BlockCountBits) - 1;
constexpr int kHashBits = 15;
constexpr int kHashSize = 1 << kHashBits;
constexpr int kMaxChain = 1024;  // candidates looked at per position
constexpr int kNiceLength = kLh5MaxMatch;

// --- Bits, most significant first -------------------------------------------

class BitWriter {
 public:
  void Put(uint32_t value, int n) {
    assert(n >= 0 && n <= 24 && (n == 24 || value < (1u << n)));
    acc_ = (acc_ << n) | value;
    count_ += n;
    while (count_ >= 8) {
      count_ -= 8;
      out_.push_back(static_cast<uint8_t>(acc_ >> count_));
    }
    acc_ &= (1u << count_) - 1;
  }
  // Pads the last byte with zero bits.
  void Flush() {
    if (count_ > 0) out_.push_back(static_cast<uint8_t>(acc_ << (8 - count_)));
    count_ = 0;
    acc_ = 0;
  }
  uint64_t Bits() const { return uint64_t{out_.size()} * 8 + static_cast<uint64_t>(count_); }
  // Appends every bit of `other`.
  void Append(const BitWriter& other) {
    for (uint8_t b : other.out_) Put(b, 8);
    if (other.count_ > 0) Put(other.acc_, other.count_);
  }
  // The whole bytes written so far, which the caller takes away with Drop.
  std::span<const uint8_t> Bytes() const { return out_; }
  void Drop() { out_.clear(); }

 private:
  std::vector<uint8_t> out_;
  uint32_t acc_ = 0;
  int count_ = 0;
};

// --- Codes ----------------------------------------------------------------

// Code lengths of at most `limit` bits that minimise the weighted length
// (package-merge). Symbols of frequency 0 get length 0; with fewer than two
// used symbols every length is 0 and the caller sends a single code.
std::vector<uint8_t> LimitedHuffmanLengths(const std::vector<uint32_t>& freq, int limit) {
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
  int j = 0;
  while (d != 0) {
    ++j;
    d >>= 1;
  }
  return j;
}

// --- Parsing --------------------------------------------------------------

struct Token {
  uint16_t length;    // 0 for a literal, else 3..256
  uint16_t distance;  // literal: the byte; match: distance 1..8192
};

size_t TokenSize(const Token& t) {
  return t.length == 0 ? 1 : t.length;
}

class MatchFinder {
 public:
  explicit MatchFinder(std::span<const uint8_t> data)
      : data_(data), head_(kHashSize, -1), prev_(kLh5WindowSize, -1) {}

  // Inserts every position before `pos` not yet inserted.
  void InsertUpTo(size_t pos) {
    for (; next_insert_ < pos; ++next_insert_) Insert(next_insert_);
  }

  // Candidates at `pos` (inserted up to pos - 1), longest per distance,
  // lengths strictly increasing; at most `max_out`.
  template <typename Visit>
  void ForEachMatch(size_t pos, int chain_limit, Visit&& visit) {
    InsertUpTo(pos);
    const size_t avail = data_.size() - pos;
    if (avail < static_cast<size_t>(kLh5MinMatch)) return;
    const int max_len = static_cast<int>(std::min<size_t>(avail, kLh5MaxMatch));
    const uint8_t* cur = data_.data() + pos;
    int best = kLh5MinMatch - 1;
    int32_t cand = head_[Hash(pos)];
    for (int chain = 0; cand >= 0 && chain < chain_limit; ++chain) {
      const size_t distance = pos - static_cast<size_t>(cand);
      if (distance > static_cast<size_t>(kLh5WindowSize)) break;
      const uint8_t* p = data_.data() + cand;
      if (p[best] == cur[best] && p[0] == cur[0] && p[1] == cur[1]) {
        int len = 0;
        while (len < max_len && p[len] == cur[len]) ++len;
        if (len > best) {
          best = len;
          visit(len, static_cast<int>(distance));
          if (len >= max_len || len >= kNiceLength) break;
        }
      }
      cand = prev_[static_cast<size_t>(cand) & (kLh5WindowSize - 1)];
    }
  }

 private:
  uint32_t Hash(size_t pos) const {
    const uint8_t* p = data_.data() + pos;
    return ((uint32_t{p[0]} << 10) ^ (uint32_t{p[1]} << 5) ^ p[2]) * 2654435761u >>
           (32 - kHashBits);
  }
  void Insert(size_t pos) {
    if (pos + kLh5MinMatch > data_.size()) return;
    const uint32_t h = Hash(pos);
    prev_[pos & (kLh5WindowSize - 1)] = head_[h];
    head_[h] = static_cast<int32_t>(pos);
  }

  std::span<const uint8_t> data_;
  std::vector<int32_t> head_;
  std::vector<int32_t> prev_;
  size_t next_insert_ = 0;
};

struct Match {
  int length = 0;
  int distance = 0;
};

Match LongestMatch(MatchFinder& finder, size_t pos) {
  Match m;
  finder.ForEachMatch(pos, kMaxChain, [&](int len, int dist) { m = {len, dist}; });
  return m;
}

// Rough bit costs for the first parse, before any code exists.
int RoughMatchBits(const Match& m) {
  const int pos_symbol = PositionSymbol(static_cast<unsigned>(m.distance - 1));
  return 9 + 3 + std::max(pos_symbol - 1, 0);
}
bool WorthTaking(const Match& m) {
  return m.length >= kLh5MinMatch && RoughMatchBits(m) < m.length * 8 + 2;
}

// The lazy parse of data[start..]; the bytes before `start` are history
// that matches may reach back into.
std::vector<Token> LazyParse(std::span<const uint8_t> data, size_t start) {
  std::vector<Token> tokens;
  tokens.reserve((data.size() - start) / 4 + 16);
  MatchFinder finder(data);
  size_t pos = start;
  Match cur = LongestMatch(finder, pos);
  while (pos < data.size()) {
    if (!WorthTaking(cur)) {
      tokens.push_back({0, data[pos]});
      ++pos;
      cur = LongestMatch(finder, pos);
      continue;
    }
    // Look one position ahead: a longer match there wins over this one.
    if (cur.length < kNiceLength && pos + 1 < data.size()) {
      const Match next = LongestMatch(finder, pos + 1);
      if (WorthTaking(next) && next.length > cur.length) {
        tokens.push_back({0, data[pos]});
        ++pos;
        cur = next;
        continue;
      }
    }
    tokens.push_back({static_cast<uint16_t>(cur.length), static_cast<uint16_t>(cur.distance)});
    pos += static_cast<size_t>(cur.length);
    cur = LongestMatch(finder, pos);
  }
  return tokens;
}

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
                               const std::vector<size_t>& block_starts) {
  const size_t n = data.size() - start;
  constexpr uint32_t kInf = std::numeric_limits<uint32_t>::max();
  std::vector<uint32_t> cost(n + 1, kInf);
  std::vector<Token> step(n + 1, Token{0, 0});
  cost[0] = 0;
  MatchFinder finder(data);
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
    finder.ForEachMatch(start + pos, kMaxChain, [&](int len, int dist) {
      found.push_back({len, dist});
    });
    if (found.empty()) continue;
    const Match& longest = found.back();
    int low = kLh5MinMatch;
    for (const Match& m : found) {
      const unsigned d = static_cast<unsigned>(m.distance - 1);
      const int sym = PositionSymbol(d);
      const uint32_t pos_bits =
          pr.positions[static_cast<size_t>(sym)] + static_cast<uint32_t>(std::max(sym - 1, 0));
      for (int len = low; len <= m.length; ++len) {
        const uint32_t c = here + pr.chars[static_cast<size_t>(kLh5MatchBase + len)] + pos_bits;
        if (c < cost[pos + static_cast<size_t>(len)]) {
          cost[pos + static_cast<size_t>(len)] = c;
          step[pos + static_cast<size_t>(len)] = {static_cast<uint16_t>(len),
                                                  static_cast<uint16_t>(m.distance)};
        }
      }
      low = m.length + 1;
    }
    if (longest.length >= kNiceLength) {
      // A run as long as a match can be: go on from its end without
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

void PutBlock(BitWriter& w, std::span<const Token> tokens, const BlockCodes& codes) {
  assert(!tokens.empty() && tokens.size() <= static_cast<size_t>(kMaxBlockCodes));
  w.Put(static_cast<uint32_t>(tokens.size()), kLh5BlockCountBits);

  // The codes were made from these very tokens' frequencies.
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

// Block boundaries. The tokens are cut into chunks of kSplitChunk codes and
// the chunk frequencies summed up front; a range of chunks is then split in
// two where the estimated cost of the halves (entropy of each code plus an
// allowance for the tables in the head) falls most below that of the whole,
// recursively, as long as that saves more than kSplitGain bits. A range of
// more than 65535 codes is always split. So a stretch of one kind (a long
// run, a change from text to code) gets codes of its own, and a stretch with
// one character and one position costs no bits per code at all.
constexpr size_t kSplitChunk = 1024;
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

std::vector<std::span<const Token>> SplitBlocks(const std::vector<Token>& tokens) {
  const size_t chunks = (tokens.size() + kSplitChunk - 1) / kSplitChunk;
  std::vector<uint32_t> prefix((chunks + 1) * kFreqs, 0);
  for (size_t c = 0; c < chunks; ++c) {
    uint32_t* f = &prefix[(c + 1) * kFreqs];
    std::copy(&prefix[c * kFreqs], &prefix[(c + 1) * kFreqs], f);
    const size_t end = std::min(tokens.size(), (c + 1) * kSplitChunk);
    for (size_t i = c * kSplitChunk; i < end; ++i) {
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
    return EstimateBits(range.data());
  };
  auto codes_in = [&](size_t a, size_t b) {
    return std::min(tokens.size(), b * kSplitChunk) - a * kSplitChunk;
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
    // At most about 64 candidate cuts per range keep the search near-linear.
    const size_t step = std::max<size_t>(1, (b - a) / 64);
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
    const size_t from = cuts[k - 1] * kSplitChunk;
    const size_t to = std::min(tokens.size(), cuts[k] * kSplitChunk);
    blocks.emplace_back(tokens.data() + from, to - from);
  }
  return blocks;
}

Prices PricesFor(const BlockCodes& codes) {
  // A symbol without a code is priced as a long one; the one symbol of a
  // single-code list is free.
  auto price = [](uint8_t len, uint32_t freq) -> uint32_t {
    return len != 0 ? len : freq != 0 ? 0 : kLh5MaxCodeLength;
  };
  Prices p;
  for (size_t s = 0; s < kLh5CharCount; ++s)
    p.chars[s] = price(codes.char_len[s], codes.char_freq[s]);
  for (size_t s = 0; s < kLh5PositionCount; ++s)
    p.positions[s] = price(codes.pos_len[s], codes.pos_freq[s]);
  return p;
}

BitWriter Encode(const std::vector<Token>& tokens) {
  BitWriter w;
  for (std::span<const Token> block : SplitBlocks(tokens)) PutBlock(w, block, CodesFor(block));
  return w;
}

// Codes data[start..] (data[..start] being history) onto `out`: the lazy
// parse, then the parse priced with the lazy parse's block codes, and
// whichever takes fewer bits.
void CodeSegment(std::span<const uint8_t> data, size_t start, BitWriter& out) {
  if (start == data.size()) return;
  std::vector<Token> lazy = LazyParse(data, start);

  // Code the lazy parse's blocks and price them for a second parse.
  BitWriter best;
  std::vector<Prices> prices;
  std::vector<size_t> starts;
  size_t at = 0;
  for (std::span<const Token> block : SplitBlocks(lazy)) {
    const BlockCodes codes = CodesFor(block);
    PutBlock(best, block, codes);
    starts.push_back(at);
    prices.push_back(PricesFor(codes));
    for (const Token& t : block) at += TokenSize(t);
  }
  lazy = {};  // the priced parse's arrays are the peak of a segment
  const std::vector<Token> priced = PricedParse(data, start, prices, starts);
  BitWriter second = Encode(priced);
  out.Append(second.Bits() < best.Bits() ? second : best);
}

// The streaming compressor. `buffer_` holds up to kLh5WindowSize bytes of
// history followed by the segment being gathered; once the segment is
// kLh5Segment bytes long (counted from the start of the input, so the cut
// does not depend on how the input was fed) it is coded, its complete
// bytes go to the sink, and the last window of it stays as history. A
// match never runs past the end of its segment, and a block never spans
// two. The bits of a segment's last byte stay in `bits_` until the next
// segment or Finish completes it.
class Lh5StreamCompressor final : public StreamCompressor {
 public:
  explicit Lh5StreamCompressor(ByteSink sink) : sink_(std::move(sink)) {}

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
    CodeSegment(buffer_, history_, bits_);
    Emit();
    const size_t keep = std::min<size_t>(buffer_.size(), kLh5WindowSize);
    buffer_.erase(buffer_.begin(), buffer_.end() - static_cast<ptrdiff_t>(keep));
    history_ = keep;
  }
  void Emit() {
    if (!bits_.Bytes().empty()) sink_(bits_.Bytes());
    bits_.Drop();
  }

  ByteSink sink_;
  std::vector<uint8_t> buffer_;
  size_t history_ = 0;
  BitWriter bits_;
};

}  // namespace

std::unique_ptr<StreamCompressor> MakeLh5Compressor(int, ByteSink sink) {
  return std::make_unique<Lh5StreamCompressor>(std::move(sink));
}

}  // namespace kv::tools

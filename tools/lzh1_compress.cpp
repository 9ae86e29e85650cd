// The builder's LZH1 coder: LZSS over the 4096-byte ring, written through the
// expander's own adaptive tree (Lzh1Tree) driven in the encoding direction
// and the same fixed offset code. It streams: input comes in pieces, stored
// bytes leave in pieces of kOutChunk, and the memory it holds is fixed
// (about 0.5 MiB) whatever the input's size.
//
// History. The expander holds 4036 bytes 0x20 before the first byte (ring
// positions 0..4035); ring positions 4036..4095 are undefined until the
// first 60 bytes have been written. The coder's buffer therefore starts with
// those 4036 spaces followed by the data: a match source anywhere in the
// buffer and at most 4096 bytes back is one that the expander has defined.
// A match never runs past the end of the data, since the expander copies a
// final match whole and would produce extra bytes.
//
// The sliding buffer. buf_ holds the stream from some point on (at first
// the 4036 spaces); the coder works at pos_, and filled_ bytes are present.
// When the buffer is full it slides down by a multiple of 4096 bytes that
// keeps at least the 4096 bytes before pos_, the farthest any match reaches.
// Memory is the buffer (256 KiB), the tables (about 136 KiB), the tree and
// one output chunk.
//
// Match finding. Every position with 4 bytes after it goes into hash chains
// of 4-byte prefixes (head_, and the links in prev_, a ring of 4096 entries
// indexed by position modulo 4096); every position with 3 bytes after it
// goes into head3_, which keeps only the last position of each 3-byte
// prefix: a 3-byte match pays only when near, and the chains stay free of
// candidates that share 3 bytes but not 4. A search enters its own position
// in the same pass that reads the heads. Entries hold the low 16 bits of a
// position's place in the whole stream, so a slide leaves them alone; a
// candidate is taken only 1..4096 bytes back and inside the buffer, and a
// chain ends where the distance stops growing. An entry older than 65536
// positions therefore reads as some place in the window: its bytes are
// compared like any candidate's, so it can cost a look, never a wrong
// match. A link is only read for a candidate in the window, which no later
// position has overwritten, since only positions before the searched one
// are in the tables.
//
// Independence from the input's cut. Every choice at pos_ reads the bytes
// below pos_ + kLookahead only (a match of up to 60 bytes one position on,
// the literals that the matches are priced against, the 4-byte hashes of
// the positions entered), and the tables hold only positions before
// pos_ + 2. So the coder advances only while that much input is present,
// or once Finish has said that no more will come; then matches are cut at
// the end of the data. Each choice sees the same bytes however the input
// was cut; the slides, which come when the buffer is full, come at the
// same places in the stream; so the stored bytes are the same.
//
// Parsing, by level (kLevels, like zlib's configuration table): at most
// `chain` candidates per search, a quarter of them when the match in hand is
// already `good` long; a search ends at a match of `nice` bytes. Levels 1
// to 3 take the match found (greedy) and do not enter the positions inside
// a match longer than `insert_limit`. From level 4 on, the next position is
// searched too unless the match in hand is `lazy` long already, and the
// coder takes the cheaper of "this match" and "a literal, then the next
// match", each side completed to the same end with the tail of the other's
// match or with literals. A match of up to `weigh` bytes is also weighed
// against its literals, since a 3-byte match at a far offset can cost more
// than three literals. Prices are code lengths in the tree: levels 1 to 7
// take every symbol's length in one pass over the tree every `refresh`
// items (RefreshLengths), levels 8 and 9 walk the tree for each price.
//
// The tree. A symbol's code is the path from the root to its leaf: the coder
// walks up from the leaf, collecting the bits and the nodes, writes the bits
// root first and counts the symbol along the same nodes
// (Lzh1Tree::UpdateTreeAlong). Bits go through a 64-bit accumulator into a
// preallocated output buffer, handed to the sink each time it holds
// kOutChunk bytes.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs/lzh1_model.h"
#include "tools/compressors.h"
#include "tools/match_length.h"

namespace kv::tools {
namespace {

constexpr int kHashBits = 15;  // the chains of 4-byte prefixes
constexpr uint32_t kHashSize = uint32_t{1} << kHashBits;
constexpr int kHash3Bits = 15;  // the last position of each 3-byte prefix
constexpr uint32_t kHash3Size = uint32_t{1} << kHash3Bits;
constexpr size_t kBufferSize = size_t{1} << 18;
// Input that must be present from pos_ on before a choice at pos_: a
// 60-byte match one position on, and the 4-byte hash of that position.
constexpr size_t kLookahead = 1 + Lzh1MaxMatch + 3;
constexpr size_t kOutChunk = size_t{1} << 16;
// More than one item's bits: a code that passes every internal node (313
// bits, in theory) and 14 of offset.
constexpr size_t kOutSlack = 64;

static_assert(kBufferSize % Lzh1WindowSize == 0);
static_assert(kBufferSize > 2 * Lzh1WindowSize + kLookahead + Lzh1MaxMatch);

struct LevelConfig {
  int chain;         // candidates looked at per search
  int good;          // with a match this long in hand, a quarter of `chain`
  int lazy;          // look at the next position only below this length; 0: greedy
  int nice;          // stop searching at a match this long
  int insert_limit;  // enter positions inside a match only up to this length
  int weigh;         // weigh matches this short against their literals
  int refresh;       // price with code lengths taken every `refresh` items; 0: exact
};

// Level 5 is the default: no larger than a search of 256 candidates with
// plain lazy evaluation (this coder before it had levels), in under half
// its time.
constexpr LevelConfig kLevels[kMaxLevel + 1] = {
    // chain good lazy nice insert_limit weigh refresh
    {},                                                           // (no level 0)
    {4, 8, 0, 16, 8, 8, 256},                                     // 1
    {8, 16, 0, 32, 16, 8, 256},                                   // 2
    {16, 32, 0, Lzh1MaxMatch, 32, 8, 256},                        // 3
    {16, 16, 24, Lzh1MaxMatch, Lzh1MaxMatch, 8, 256},             // 4
    {48, 32, 48, Lzh1MaxMatch, Lzh1MaxMatch, 8, 256},             // 5
    {96, 60, 60, Lzh1MaxMatch, Lzh1MaxMatch, 8, 64},              // 6
    {256, 60, 60, Lzh1MaxMatch, Lzh1MaxMatch, 8, 16},             // 7
    {1024, 60, 60, Lzh1MaxMatch, Lzh1MaxMatch, 12, 0},            // 8
    {Lzh1WindowSize, 60, 60, Lzh1MaxMatch, Lzh1MaxMatch, 16, 0},  // 9
};

// Bits in, most significant first, in the order the expander reads them,
// into a buffer that goes to the sink in pieces of kOutChunk.
class BitWriter {
 public:
  explicit BitWriter(ByteSink sink) : sink_(std::move(sink)), out_(kOutChunk + kOutSlack) {}

  // Appends the low `n` bits of `v` (n <= 32).
  void Put(uint64_t v, int n) {
    acc_ = (acc_ << n) | (v & ((uint64_t{1} << n) - 1));
    pending_ += n;
    if (pending_ >= 32) {
      pending_ -= 32;
      const auto word = static_cast<uint32_t>(acc_ >> pending_);
      out_[used_] = static_cast<uint8_t>(word >> 24);
      out_[used_ + 1] = static_cast<uint8_t>(word >> 16);
      out_[used_ + 2] = static_cast<uint8_t>(word >> 8);
      out_[used_ + 3] = static_cast<uint8_t>(word);
      used_ += 4;
    }
  }

  // Called between items: hands a full chunk to the sink.
  void MaybeFlush() {
    if (used_ >= kOutChunk) [[unlikely]] {
      sink_(std::span<const uint8_t>(out_.data(), used_));
      used_ = 0;
    }
  }

  // Pads the last byte with zero bits, which is also what the expander reads
  // once the input has ended, and hands over the rest.
  void Finish() {
    while (pending_ >= 8) {
      pending_ -= 8;
      out_[used_++] = static_cast<uint8_t>(acc_ >> pending_);
    }
    if (pending_ > 0) out_[used_++] = static_cast<uint8_t>(acc_ << (8 - pending_));
    pending_ = 0;
    if (used_ > 0) sink_(std::span<const uint8_t>(out_.data(), used_));
    used_ = 0;
  }

 private:
  ByteSink sink_;
  std::vector<uint8_t> out_;
  size_t used_ = 0;
  uint64_t acc_ = 0;
  int pending_ = 0;  // bits in acc_ not yet written, below 32 between calls
};

class Lzh1Coder {
 public:
  explicit Lzh1Coder(ByteSink sink) : bits_(std::move(sink)) { tree_->InitTree(); }

  // The tree's code for `symbol`, root bit first, then the count goes in.
  void PutSymbol(int symbol) {
    const Lzh1Tree& t = *tree_;
    int16_t* path = path_ + Lzh1Tree::kMaxDepth;
    uint64_t code = 0;
    int depth = 0;
    // The two children of a node are Child[p] and Child[p] + 1, and Child[p]
    // is always even (InitTree and RebuildTree pair nodes 2m and 2m + 1, and
    // a swap moves a Child entry from node to node): a node's bit is its
    // lowest bit, with no load of Child on the way up.
    for (int n = t.Parent[Lzh1LeafBase + symbol]; n != Lzh1Root; n = t.Parent[n]) {
      *--path = static_cast<int16_t>(n);
      if (depth < 64) code |= static_cast<uint64_t>(n & 1) << depth;
      ++depth;
    }
    if (depth <= 32) [[likely]] {
      bits_.Put(code, depth);
    } else {
      // A tree this deep needs counts far apart; the bits again, from the path.
      for (int i = 0; i < depth; ++i) bits_.Put(static_cast<uint64_t>(path[i] & 1), 1);
    }
    tree_->UpdateTreeAlong(path, depth, symbol);
  }

  void PutLiteral(uint8_t b) {
    PutSymbol(b);
    bits_.MaybeFlush();
  }

  // A match of `length` bytes starting `distance` (1..4096) bytes back.
  void PutMatch(int length, int distance) {
    PutSymbol(length + Lzh1LengthBias);
    const int o = distance - 1;
    const int high = o >> Lzh1OffsetLowBits;
    const int code_length = Lzh1OffsetCodeLength(high);
    bits_.Put((uint64_t{Lzh1OffsetCode(high)} << Lzh1OffsetLowBits) |
                  static_cast<uint64_t>(o & ((1 << Lzh1OffsetLowBits) - 1)),
              code_length + Lzh1OffsetLowBits);
    bits_.MaybeFlush();
  }

  // Code length of `symbol` as of the last RefreshLengths.
  int CachedBits(int symbol) const { return lengths_[symbol]; }

  // Takes every symbol's code length from the tree as it stands. A parent
  // counts more than either child, so it comes later in Freq's order: one
  // pass down from the root reaches every node after its parent.
  void RefreshLengths() {
    const Lzh1Tree& t = *tree_;
    uint8_t node_depth[Lzh1Nodes];
    node_depth[Lzh1Root] = 0;
    for (int n = Lzh1Root - 1; n >= 0; --n)
      node_depth[n] = static_cast<uint8_t>(std::min(node_depth[t.Parent[n]] + 1, 255));
    for (int s = 0; s < Lzh1Symbols; ++s) lengths_[s] = node_depth[t.Parent[Lzh1LeafBase + s]];
  }

  // Code length of `symbol` in the tree as it stands.
  int SymbolBits(int symbol) const {
    int depth = 0;
    for (int n = tree_->Parent[Lzh1LeafBase + symbol]; n != Lzh1Root; n = tree_->Parent[n]) ++depth;
    return depth;
  }

  static int OffsetBits(int distance) {
    return Lzh1OffsetCodeLength((distance - 1) >> Lzh1OffsetLowBits) + Lzh1OffsetLowBits;
  }

  void Finish() { bits_.Finish(); }

 private:
  BitWriter bits_;
  std::unique_ptr<Lzh1Tree> tree_ = std::make_unique<Lzh1Tree>();
  int16_t path_[Lzh1Tree::kMaxDepth] = {};
  uint8_t lengths_[Lzh1Symbols] = {};
};

struct Match {
  int length = 0;
  int distance = 0;
};

class Lzh1Compressor final : public StreamCompressor {
 public:
  Lzh1Compressor(int level, ByteSink sink)
      : config_(kLevels[std::clamp(level, kMinLevel, kMaxLevel)]),
        coder_(std::move(sink)),
        buf_(kBufferSize),
        head_(kHashSize, 0),
        prev_(Lzh1WindowSize, 0),
        head3_(kHash3Size, 0) {
    std::memset(buf_.data(), Lzh1Fill, Lzh1Start);
    coder_.RefreshLengths();
    filled_ = pos_ = Lzh1Start;
  }

  void Feed(std::span<const uint8_t> data) override {
    while (!data.empty()) {
      const size_t n = std::min(data.size(), kBufferSize - filled_);
      std::memcpy(buf_.data() + filled_, data.data(), n);
      filled_ += n;
      data = data.subspan(n);
      Code(false);
      if (filled_ == kBufferSize) Slide();
    }
  }

  void Finish() override {
    Code(true);
    coder_.Finish();
  }

 private:
  // Codes while the bytes a choice reads are present (all of them at the end).
  void Code(bool at_end) {
    const size_t stop = at_end ? filled_ : (filled_ >= kLookahead ? filled_ - kLookahead + 1 : 0);
    if (config_.lazy == 0) {
      while (pos_ < stop) StepGreedy();
    } else {
      while (pos_ < stop) StepLazy();
    }
  }

  int MaxAt(size_t pos) const {
    return static_cast<int>(std::min<size_t>(Lzh1MaxMatch, filled_ - pos));
  }

  uint32_t Hash(size_t pos) const {
    uint32_t v;
    std::memcpy(&v, &buf_[pos], 4);
    return (v * 2654435761u) >> (32 - kHashBits);
  }
  uint32_t Hash3(size_t pos) const {
    const uint8_t* p = &buf_[pos];
    const uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
    return (v * 2654435761u) >> (32 - kHash3Bits);
  }

  // A table entry: the low 16 bits of a position's place in the stream.
  uint16_t Entry(size_t pos) const { return static_cast<uint16_t>(base_ + pos); }

  // Enters the positions before `to` in the tables: those with 3 bytes
  // after them in head3_, those with 4 in the chains.
  void InsertUpTo(size_t to) {
    const size_t last = std::min(to, filled_ >= 4 ? filled_ - 3 : 0);
    size_t p = inserted_;
    for (; p < last; ++p) {
      const uint32_t h = Hash(p);
      const uint16_t e = Entry(p);
      prev_[e & Lzh1WindowMask] = head_[h];
      head_[h] = e;
      head3_[Hash3(p)] = e;
    }
    if (p < to && p + 3 == filled_) head3_[Hash3(p)] = Entry(p);
    inserted_ = std::max(inserted_, to);
  }

  // The longest match for `pos`, at most 4096 bytes back and up to the end
  // of the data; the nearest of equal length. Length 0 when none reaches 3.
  // Enters `pos` in the tables too, and those before it that are not yet.
  //
  // The entries hold 16 bits, so an entry older than 65536 positions reads
  // as a newer one. Such a candidate is still a place in the buffer within
  // the window, and its bytes are compared like any other's: it can cost a
  // look, never a wrong match. The walk stops where the distance does not
  // grow, which ends every chain, true or aliased.
  Match FindAt(size_t pos, int chain) {
    Match best;
    const int max_length = MaxAt(pos);
    if (max_length < Lzh1MinMatch) {
      InsertUpTo(pos + 1);
      return best;
    }
    uint16_t cand3;
    uint16_t cand4;
    bool has4 = max_length >= 4;
    const uint16_t here_entry = Entry(pos);
    if (inserted_ == pos && has4) {
      const uint32_t h = Hash(pos);
      const uint32_t h3 = Hash3(pos);
      cand4 = head_[h];
      cand3 = head3_[h3];
      prev_[here_entry & Lzh1WindowMask] = cand4;
      head_[h] = here_entry;
      head3_[h3] = here_entry;
      inserted_ = pos + 1;
    } else {
      InsertUpTo(pos);
      cand3 = head3_[Hash3(pos)];
      cand4 = has4 ? head_[Hash(pos)] : 0;
      InsertUpTo(pos + 1);
    }
    // Candidates lie 1..reach bytes back: in the window and in the buffer.
    const auto reach = static_cast<uint16_t>(std::min<size_t>(Lzh1WindowSize, pos));
    const uint8_t* here = &buf_[pos];
    const int nice = std::min(config_.nice, max_length);
    int best_length = Lzh1MinMatch - 1;
    // The nearest position with the same 3 bytes, which the chains of 4
    // bytes may not hold.
    if (const auto d = static_cast<uint16_t>(here_entry - cand3); d - 1u < reach) {
      const int n = MatchLength(here, here - d, max_length);
      if (n >= Lzh1MinMatch) {
        best_length = n;
        best.length = n;
        best.distance = d;
        if (n >= nice) return best;
      }
    }
    if (!has4) return best;
    uint16_t last = 0;
    for (uint16_t cand = cand4; chain-- > 0; cand = prev_[cand & Lzh1WindowMask]) {
      const auto d = static_cast<uint16_t>(here_entry - cand);
      if (d <= last || d > reach) break;
      last = d;
      const uint8_t* there = here - d;
      if (there[best_length] != here[best_length] || there[0] != here[0]) continue;
      const int n = MatchLength(here, there, max_length);
      if (n > best_length) {
        best_length = n;
        best.length = n;
        best.distance = d;
        if (n >= nice) break;
      }
    }
    return best;
  }

  // A symbol's code length for pricing: exact or as of the last refresh.
  int Bits(int symbol) const {
    return config_.refresh == 0 ? coder_.SymbolBits(symbol) : coder_.CachedBits(symbol);
  }
  int MatchBits(const Match& m) const {
    return Bits(m.length + Lzh1LengthBias) + Lzh1Coder::OffsetBits(m.distance);
  }
  int LiteralBits(size_t from, size_t to) const {
    int bits = 0;
    for (size_t p = from; p < to; ++p) bits += Bits(buf_[p]);
    return bits;
  }

  // Whether the match at `pos` costs fewer bits than its literals.
  bool MatchPays(const Match& m, size_t pos) const {
    if (m.length > config_.weigh) return true;
    const int match_bits = MatchBits(m);
    int literal_bits = 0;
    for (int k = 0; k < m.length; ++k) {
      literal_bits += Bits(buf_[pos + static_cast<size_t>(k)]);
      if (literal_bits > match_bits) return true;
    }
    return false;
  }

  // With `m` at pos_ and `next` at pos_ + 1: whether taking `m` costs fewer
  // bits than a literal followed by `next`, over the bytes that the longer
  // of the two covers; the side that falls short covers the rest with the
  // tail of the other's match or, if that is too short, with literals.
  bool MatchBeatsDeferral(const Match& m, const Match& next) const {
    int now = MatchBits(m);
    int deferred = Bits(buf_[pos_]) + MatchBits(next);
    const int rest = next.length + 1 - m.length;
    const size_t m_end = pos_ + static_cast<size_t>(m.length);
    const size_t next_end = pos_ + 1 + static_cast<size_t>(next.length);
    if (rest >= Lzh1MinMatch)
      now += MatchBits(Match{rest, next.distance});
    else if (rest > 0)
      now += LiteralBits(m_end, next_end);
    else if (-rest >= Lzh1MinMatch)
      deferred += MatchBits(Match{-rest, m.distance});
    else
      deferred += LiteralBits(next_end, m_end);
    return now <= deferred;
  }

  void Counted() {
    if (config_.refresh > 0 && ++since_refresh_ >= config_.refresh) {
      coder_.RefreshLengths();
      since_refresh_ = 0;
    }
  }

  void TakeMatch(const Match& m) {
    coder_.PutMatch(m.length, m.distance);
    Counted();
    pos_ += static_cast<size_t>(m.length);
    if (m.length <= config_.insert_limit)
      InsertUpTo(pos_);
    else
      inserted_ = pos_;
  }

  void TakeLiteral() {
    coder_.PutLiteral(buf_[pos_]);
    Counted();
    ++pos_;
  }

  void StepGreedy() {
    const Match m = FindAt(pos_, config_.chain);
    if (m.length >= Lzh1MinMatch && MatchPays(m, pos_))
      TakeMatch(m);
    else
      TakeLiteral();
  }

  // The match in hand against a literal and the match at the next position,
  // priced (MatchBeatsDeferral); when the literal wins, `next_` carries the
  // next position's search to the next step.
  void StepLazy() {
    Match m = next_;
    if (!have_next_) m = FindAt(pos_, config_.chain);
    have_next_ = false;
    Match next;
    if (m.length >= Lzh1MinMatch && m.length < config_.lazy && pos_ + 1 < filled_)
      next = FindAt(pos_ + 1, m.length >= config_.good ? config_.chain >> 2 : config_.chain);
    if (m.length >= Lzh1MinMatch && (next.length < Lzh1MinMatch || MatchBeatsDeferral(m, next)) &&
        MatchPays(m, pos_)) {
      TakeMatch(m);
      return;
    }
    TakeLiteral();
    if (next.length > 0) {
      next_ = next;
      have_next_ = true;
    }
  }

  // Moves the buffer's content down by a multiple of 4096 that keeps the
  // window before pos_, and the chains' entries with it.
  void Slide() {
    const size_t shift = (pos_ - Lzh1WindowSize) & ~static_cast<size_t>(Lzh1WindowMask);
    std::memmove(buf_.data(), buf_.data() + shift, filled_ - shift);
    filled_ -= shift;
    pos_ -= shift;
    inserted_ -= shift;
    base_ += shift;
  }

  const LevelConfig config_;
  Lzh1Coder coder_;
  std::vector<uint8_t> buf_;
  std::vector<uint16_t> head_;
  std::vector<uint16_t> prev_;
  std::vector<uint16_t> head3_;
  size_t filled_ = 0;    // bytes present in buf_
  size_t pos_ = 0;       // the next byte to code
  size_t inserted_ = 0;  // positions before this one are in the chains
  uint64_t base_ = 0;    // stream bytes slid out of buf_
  Match next_;
  bool have_next_ = false;
  int since_refresh_ = 0;
};

}  // namespace

std::unique_ptr<StreamCompressor> MakeLzh1Compressor(int level, ByteSink sink) {
  return std::make_unique<Lzh1Compressor>(level, std::move(sink));
}

}  // namespace kv::tools

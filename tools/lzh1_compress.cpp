// The builder's LZH1 coder: LZSS over the 4096-byte ring, written through the
// expander's own adaptive tree (Lzh1Tree) driven in the encoding direction
// and the same fixed offset code.
//
// The history that the expander holds before the first byte is 4036 bytes
// 0x20 (ring positions 0..4035); ring positions 4036..4095 are undefined
// until the first 60 bytes have been written. The coder therefore searches a
// buffer that starts with those 4036 spaces followed by the data: a match
// source anywhere in that buffer and at most 4096 bytes back is one that the
// expander has defined. A match never runs past the end of the data, since
// the expander copies a final match whole and would produce extra bytes.
//
// Matches come from hash chains over 3-byte prefixes with lazy evaluation
// (a match is deferred when the next position has a longer one). Short
// matches are weighed against literals with the tree's present code
// lengths, since a 3-byte match at a far offset can cost more than the
// three literals.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs/lzh1_model.h"
#include "tools/compressors.h"

namespace kv::tools {
namespace {

constexpr int kHashBits = 15;
constexpr int kHashSize = 1 << kHashBits;
constexpr int kMaxChain = 256;  // candidates looked at per position
constexpr int kNiceLength = Lzh1MaxMatch;
constexpr int kWeighUpTo = 8;  // matches this short are weighed against literals

// Bits in, most significant first, in the order the expander reads them.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  // Appends the low `n` bits of `v` (n <= 24).
  void Put(uint32_t v, int n) {
    acc_ = (acc_ << n) | (v & ((1u << n) - 1));
    pending_ += n;
    while (pending_ >= 8) {
      pending_ -= 8;
      out_.push_back(static_cast<uint8_t>(acc_ >> pending_));
    }
  }
  // Pads the last byte with zero bits, which is also what the expander reads
  // once the input has ended.
  void Finish() {
    if (pending_ > 0) out_.push_back(static_cast<uint8_t>(acc_ << (8 - pending_)));
    pending_ = 0;
  }

 private:
  std::vector<uint8_t>& out_;
  uint32_t acc_ = 0;
  int pending_ = 0;
};

class Lzh1Coder {
 public:
  explicit Lzh1Coder(std::vector<uint8_t>& out) : bits_(out) { tree_->InitTree(); }

  // The tree's code for `symbol`, root bit first, then the count goes in.
  void PutSymbol(int symbol) {
    int depth = 0;
    for (int n = tree_->Parent[Lzh1LeafBase + symbol]; n != Lzh1Root;) {
      const int p = tree_->Parent[n];
      path_[depth++] = static_cast<uint8_t>(n - tree_->Child[p]);
      n = p;
    }
    while (depth > 0) bits_.Put(path_[--depth], 1);
    tree_->UpdateTree(symbol);
  }

  void PutLiteral(uint8_t b) { PutSymbol(b); }

  // A match of `length` bytes starting `distance` (1..4096) bytes back.
  void PutMatch(int length, int distance) {
    PutSymbol(length + Lzh1LengthBias);
    const int o = distance - 1;
    const int high = o >> Lzh1OffsetLowBits;
    bits_.Put(Lzh1OffsetCode(high), Lzh1OffsetCodeLength(high));
    bits_.Put(static_cast<uint32_t>(o), Lzh1OffsetLowBits);
  }

  // Code length of `symbol` in the tree as it stands.
  int SymbolBits(int symbol) const {
    int depth = 0;
    for (int n = tree_->Parent[Lzh1LeafBase + symbol]; n != Lzh1Root; n = tree_->Parent[n]) ++depth;
    return depth;
  }

  int MatchBits(int length, int distance) const {
    return SymbolBits(length + Lzh1LengthBias) +
           Lzh1OffsetCodeLength((distance - 1) >> Lzh1OffsetLowBits) + Lzh1OffsetLowBits;
  }

  void Finish() { bits_.Finish(); }

 private:
  BitWriter bits_;
  std::unique_ptr<Lzh1Tree> tree_ = std::make_unique<Lzh1Tree>();
  uint8_t path_[Lzh1Nodes] = {};  // a leaf is at most 626 levels deep
};

struct Match {
  int length = 0;
  int distance = 0;
};

// Hash chains over the history buffer (4036 spaces, then the data).
class MatchFinder {
 public:
  explicit MatchFinder(const std::vector<uint8_t>& buf)
      : buf_(buf), head_(kHashSize, -1), prev_(buf.size(), -1) {}

  // Enters position `pos` (which must have 3 bytes after it) in the chains.
  void Insert(int pos) {
    const uint32_t h = Hash(pos);
    prev_[static_cast<size_t>(pos)] = head_[h];
    head_[h] = pos;
  }

  // The longest match for `pos`, at most `max_length` long and at most 4096
  // bytes back; the nearest of equal length. Length 0 when none reaches 3.
  Match Find(int pos, int max_length) const {
    Match best;
    if (max_length < Lzh1MinMatch) return best;
    const uint8_t* here = &buf_[static_cast<size_t>(pos)];
    const int lowest = pos > Lzh1WindowSize ? pos - Lzh1WindowSize : 0;
    int best_length = Lzh1MinMatch - 1;
    int chain = kMaxChain;
    for (int cand = head_[Hash(pos)]; cand >= lowest && chain-- > 0;
         cand = prev_[static_cast<size_t>(cand)]) {
      const uint8_t* there = &buf_[static_cast<size_t>(cand)];
      if (there[best_length] != here[best_length] || there[0] != here[0]) continue;
      int n = 0;
      while (n < max_length && there[n] == here[n]) ++n;
      if (n > best_length) {
        best_length = n;
        best.length = n;
        best.distance = pos - cand;
        if (n >= max_length || n >= kNiceLength) break;
      }
    }
    return best;
  }

 private:
  uint32_t Hash(int pos) const {
    const uint8_t* p = &buf_[static_cast<size_t>(pos)];
    const uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
    return (v * 2654435761u) >> (32 - kHashBits);
  }

  const std::vector<uint8_t>& buf_;
  std::vector<int32_t> head_;
  std::vector<int32_t> prev_;
};

std::vector<uint8_t> CompressLzh1Whole(std::span<const uint8_t> data) {
  std::vector<uint8_t> out;
  if (data.empty()) return out;
  out.reserve(data.size() / 2 + 16);

  std::vector<uint8_t> buf(Lzh1Start + data.size());
  std::memset(buf.data(), Lzh1Fill, Lzh1Start);
  std::memcpy(buf.data() + Lzh1Start, data.data(), data.size());
  const int end = static_cast<int>(buf.size());

  MatchFinder finder(buf);
  Lzh1Coder coder(out);

  auto max_at = [end](int pos) { return std::min(Lzh1MaxMatch, end - pos); };
  // Only positions with 3 bytes after them have a hash; with 1 or 2 bytes of
  // data that excludes the last spaces too.
  auto insert_upto = [&](int from, int to) {
    for (int p = from; p < to && p + Lzh1MinMatch <= end; ++p) finder.Insert(p);
  };
  insert_upto(0, Lzh1Start);

  int pos = Lzh1Start;
  Match match = finder.Find(pos, max_at(pos));
  while (pos < end) {
    insert_upto(pos, pos + 1);
    Match next;
    if (match.length >= Lzh1MinMatch && match.length < kNiceLength && pos + 1 < end)
      next = finder.Find(pos + 1, max_at(pos + 1));
    bool take = match.length >= Lzh1MinMatch && next.length <= match.length;
    if (take && match.length <= kWeighUpTo) {
      int literal_bits = 0;
      for (int k = 0; k < match.length; ++k)
        literal_bits += coder.SymbolBits(buf[static_cast<size_t>(pos + k)]);
      take = coder.MatchBits(match.length, match.distance) < literal_bits;
    }
    if (take) {
      coder.PutMatch(match.length, match.distance);
      insert_upto(pos + 1, pos + match.length);
      pos += match.length;
      match = pos < end ? finder.Find(pos, max_at(pos)) : Match{};
    } else {
      coder.PutLiteral(buf[static_cast<size_t>(pos)]);
      ++pos;
      match = next.length > 0 ? next : (pos < end ? finder.Find(pos, max_at(pos)) : Match{});
    }
  }
  coder.Finish();
  return out;
}

// Gathers the input and codes it at Finish.
class Lzh1GatheringCompressor final : public StreamCompressor {
 public:
  explicit Lzh1GatheringCompressor(ByteSink sink) : sink_(std::move(sink)) {}
  void Feed(std::span<const uint8_t> data) override {
    input_.insert(input_.end(), data.begin(), data.end());
  }
  void Finish() override {
    const std::vector<uint8_t> out = CompressLzh1Whole(input_);
    input_ = {};
    if (!out.empty()) sink_(out);
  }

 private:
  ByteSink sink_;
  std::vector<uint8_t> input_;
};

}  // namespace

std::unique_ptr<StreamCompressor> MakeLzh1Compressor(int, ByteSink sink) {
  return std::make_unique<Lzh1GatheringCompressor>(std::move(sink));
}

}  // namespace kv::tools

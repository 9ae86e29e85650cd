// LZH1 expander.
//
// The stored data is one bit stream, read most significant bit first. Each
// item starts with a symbol of the adaptive Huffman tree (Lzh1Tree): walk
// from the root, a 0 bit taking the first child and a 1 bit the second,
// until a leaf; then count the symbol in the tree, which may reshape it
// before the next walk. Symbols 0..255 are literal bytes. Symbols 256..313
// are matches of length symbol - 253 (3..60), followed by an offset o: 8
// bits b select the offset's upper 6 bits and their code length L through
// OffsetHighCode and OffsetHighLength, L - 2 more bits complete the lower 6.
// The match copies len bytes starting o + 1 bytes behind the write
// position, one byte at a time, so a match may read bytes it has just
// written (offset 0 repeats the last byte).
//
// Invariants of the expansion:
//  - The window is a linear buffer (LinearWindow): the 4096 bytes in
//    front of the write position are the ring's content in order, so the
//    ring position advances modulo 4096 without a mask.
//  - The ring starts as 4036 bytes 0x20 followed by 60 bytes that stream
//    data may not refer to before writing them; they read as 0.
//  - Destsize is compared only between items: a match that begins short of
//    Destsize is copied whole.
//  - Every bit pattern decodes to something, and input that has ended reads
//    as zero bits, so nothing in here fails; damage shows in the checksum.
//  - Each byte is stored once, in the window, and goes to the session in
//    one PutOutputBytes call (the same block writes and budget as one
//    PutOutputByte per byte) before anything observable: before an item
//    that may refill, before the window moves, at the end. Every refill and
//    progress call therefore finds the sink holding exactly the bytes of
//    the items decoded before it.
//  - The walk table (Lzh1WalkTable), which decodes the top levels of the
//    tree in one look-up, always gives what a walk of the tree as it is now
//    would give: every swap of the update repairs the entries it changes,
//    and a rebuild makes the table stale until the next walk builds it anew.
//
// The bit reader fetches bytes exactly when the format says (a request that
// finds 8 or fewer bits fetches one byte first), because when a byte is
// fetched is observable through progress calls and refusals. Its speed
// comes from borrowing the session's input run: the expander runs n items
// at a time, n bounded so that none of them can fetch past the run
// (kLzh1MaxItemFetch bytes each, and kLzh1AheadSlack more kept clear) or
// start past the output bound. Inside such a batch nothing observable
// happens, so the batch reads the run ahead through a 64-bit buffer
// (Lzh1AheadReader) without a refill test per request, and at its end hands
// back exactly the format's reader: the count of bits and the position the
// format's requests would have left. Only near the run's end, or while
// EndOfInput is raised, does an item fetch through GetInputByte, with the
// format's own reader (Lzh1BitReader), which a build for size also uses
// for its batches.
#include "codecs/lzh1.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <memory>

#include "codecs/lzh1_model.h"
#include "codecs/window.h"
#include "pump/byte_pump.h"

namespace kv {

// The batched path reads ahead through a 64-bit buffer (Lzh1AheadReader),
// except in a build for size, which has only the format's reader; the
// other builds keep that one too, for tests (SetLzh1BatchReader).
#if defined(__OPTIMIZE_SIZE__)
#define KV_LZH1_LOOK_AHEAD 0
#else
#define KV_LZH1_LOOK_AHEAD 1
#endif

namespace {

// The bit reader.
//
//  - The format's 16-bit buffer lives in the top bits of `buf`: its count
//    valid bits are bits 31 down to 32 - count, and the next bit is bit 31.
//    A left shift drops the bits that leave the top, just as they leave a
//    16-bit buffer.
//  - The count (0..16) is not stored: right below the valid bits sits one
//    marker bit, and every bit below the marker is 0. The count is
//    31 - (the marker's position).
//  - Every request first refills: with 8 or fewer bits left, one byte is
//    fetched and placed right below the valid bits, and the marker moves
//    down by 8. A byte fetched while EndOfInput is raised counts as 0.
//    "8 or fewer" is "the marker is at bit 23 or above", that is, bits
//    22..0 are all 0: one test, and no count to keep up per bit.
//  - No request takes more than 8 bits, so after the refill there are
//    always enough, and the marker never leaves the top.
//  - The bytes come from the session's input run (BorrowInputRun): `pos` is
//    the next byte GetInputByte would hand out. A reader of kind kFromRun
//    takes them straight from the run and is used only for items that
//    cannot reach its end (kLzh1MaxItemFetch); a reader of kind kChecked
//    goes through GetInputByte at the run's end, which refills, and for
//    every byte while EndOfInput is raised (the run is empty then). Either
//    fetches the same byte at the same request.
// The reader is a small value that the expander keeps in registers; it is
// passed by reference to inline functions only, and the out-of-line fetch
// of the checked kind works on a copy of its own.
enum class Lzh1Fetch { kFromRun, kChecked };

struct Lzh1BitReader {
  static constexpr uint32_t kEmpty = 0x80000000;  // no valid bits: marker at bit 31
  static constexpr uint32_t kBelowRefill = 0x007FFFFF;

  uint32_t buf;
  const uint8_t* pos;
  const uint8_t* end;

  void LoadRun() {
    const InputRun run = BorrowInputRun();
    pos = run.pos;
    end = run.end;
  }
  bool NeedsByte() const { return (buf & kBelowRefill) == 0; }
  template <Lzh1Fetch kFetch>
  [[gnu::always_inline]] void Refill() {
    if (NeedsByte()) {
      const uint32_t b = kFetch == Lzh1Fetch::kFromRun ? *pos++ : FetchChecked();
      // With the marker m at bit q (23..31), (2b + 1) * (m >> 8) puts the
      // byte at bits q..q-7 and the new marker at bit q-8.
      const uint32_t m = buf & (0u - buf);
      buf = buf - m + (2u * b + 1u) * (m >> 8);
    }
  }
  [[gnu::noinline]] uint8_t FetchChecked() {
    if (pos != end) return *pos++;
    ReturnInputRun(pos);
    uint8_t b = GetInputByte();
    if (EndOfInput()) b = 0;
    LoadRun();
    return b;
  }
  // Peek and consume kept apart: the result is taken, then the bits go.
  uint32_t Take(int n) {
    const uint32_t v = buf >> (32 - n);
    buf <<= n;
    return v;
  }
};

template <Lzh1Fetch kFetch>
KV_CODEC_INLINE inline uint32_t ReadBit(Lzh1BitReader& in) {
  in.Refill<kFetch>();
  return in.Take(1);
}

template <Lzh1Fetch kFetch>
KV_CODEC_INLINE inline uint32_t ReadBits(Lzh1BitReader& in, int n) {
  in.Refill<kFetch>();
  return in.Take(n);
}

#if KV_LZH1_LOOK_AHEAD
// The look-ahead reader of the batched fast path: the same bit stream, its
// bytes taken from the input run up to eight at a time.
//
//  - The next bits of the stream are in `bits` from bit 63 down; `avail`
//    of them are counted, and every bit below those is either 0 or the
//    stream's own next bit (a fill shifts in whole bytes), so a fill may OR
//    bytes over them. `ahead` is the first byte not yet in `bits`.
//  - Fill loads the eight bytes at `ahead` and counts whole bytes of them
//    up to 56..63 bits; so it reads up to 16 bytes past the last byte the
//    format's reader has fetched, and a batch keeps kLzh1AheadSlack bytes
//    of the run clear for that. Reading the run is not fetching: the bytes
//    are already in memory, and nothing observable happens in a batch.
//  - What the format's reader has fetched follows from where its last
//    request began. After every request but the stream's first (which
//    finds no bits, fetches one byte and keeps 8) the format's reader
//    holds 9..16 bits once it has refilled, since a request finds at least
//    1 bit (it takes at most 8 of at least 9) and fetches only when it
//    finds 8 or fewer. So after a request of n bits it holds 9 - n ..
//    16 - n bits, and since its bytes and the look-ahead's both end on
//    byte boundaries, that count is the one of those eight that is `avail`
//    modulo 8. Back() rebuilds the format's reader from it: the same count
//    of bits, its position `avail - count` bits (whole bytes) before
//    `ahead`. The last request of an item is a tree bit (1 bit) or the
//    offset's lower bits (L - 2 bits), never the stream's first request.
struct Lzh1AheadReader {
  uint64_t bits;
  uint32_t avail;
  const uint8_t* ahead;

  static Lzh1AheadReader From(const Lzh1BitReader& in) {
    const uint32_t marker = in.buf & (0u - in.buf);
    return {uint64_t{in.buf - marker} << 32, 31u - static_cast<uint32_t>(__builtin_ctz(in.buf)),
            in.pos};
  }
  [[gnu::always_inline]] void Fill() {
    uint64_t v;
    std::memcpy(&v, ahead, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    bits |= v >> avail;
    ahead += (63 - avail) >> 3;
    avail |= 56;
  }
  // The format's reader after a request of `last` bits; needs avail >= 16.
  Lzh1BitReader Back(uint32_t last, const uint8_t* end) const {
    const uint32_t low = 9 - last;
    const uint32_t count = low + ((avail - low) & 7);
    const auto top = static_cast<uint32_t>(bits >> 32) & ~(0xFFFFFFFFu >> count);
    return {top | (Lzh1BitReader::kEmpty >> count), ahead - (avail - count) / 8, end};
  }
};
#endif

// The walk table: the top kLzh1WalkBits levels of the tree, walked once for
// every pattern of that many bits. Entry p holds what a walk of the bits
// p would find there: the nodes it passes (path), how many bits it takes
// (bits: fewer than kLzh1WalkBits when it meets a leaf on the way) and the
// Child entry of the last node passed (c: a leaf's symbol, or the first
// child to walk on from).
//
// The table follows the tree. A node the walks pass in the top levels
// ("in the table") has its depth d and the first of the 2^(kLzh1WalkBits -
// d) entries that pass it noted (depth_, first_); those entries are
// exactly what a walk from that node gives, and nothing else depends on
// its Child entry. A swap changes the Child entries of its two nodes only
// and moves no node, so the table stays right if the entries of each of
// the two nodes that is in the table are walked again from there; each
// node's notes are checked against the table (the entry names it at its
// depth), so notes left behind by a node that has since moved down and out
// are seen to be stale. A rebuild makes the whole table stale; it is built
// again at the next walk.
constexpr int kLzh1WalkBits = 6;

struct Lzh1WalkEntry {
  int16_t path[kLzh1WalkBits];
  int16_t c;
  uint8_t bits;
};

class Lzh1WalkTable {
 public:
  const Lzh1WalkEntry& Lookup(uint32_t pattern) const { return entries_[pattern]; }
  bool stale() const { return stale_; }

  void Build(const Lzh1Tree& tree) {
    int16_t path[kLzh1WalkBits];
    const int c = tree.Child[Lzh1Root];
    Visit(tree, c, 1, 0, path);
    Visit(tree, c + 1, 1, 1, path);
    stale_ = false;
  }

  // The tree's report of its changes (Lzh1Tree::UpdateTreeAlong).
  void Swapped(const Lzh1Tree& tree, ptrdiff_t c, ptrdiff_t l) {
    if (stale_) return;
    Revisit(tree, c);
    Revisit(tree, l);
  }
  void Rebuilt() { stale_ = true; }

 private:
  void Revisit(const Lzh1Tree& tree, ptrdiff_t node) {
    const int d = depth_[node];
    const Lzh1WalkEntry& e = entries_[first_[node]];
    if (d == 0 || d > e.bits || e.path[d - 1] != node) return;
    int16_t path[kLzh1WalkBits];
    std::memcpy(path, e.path, sizeof path);
    Visit(tree, static_cast<int>(node), d,
          static_cast<uint32_t>(first_[node] >> (kLzh1WalkBits - d)), path);
  }

  // Walks on from `node`, reached with the `bits` bits of `pattern` through
  // path[0..bits - 1).
  void Visit(const Lzh1Tree& tree, int node, int bits, uint32_t pattern, int16_t* path) {
    const int spare = kLzh1WalkBits - bits;
    path[bits - 1] = static_cast<int16_t>(node);
    depth_[node] = static_cast<uint8_t>(bits);
    first_[node] = static_cast<uint8_t>(pattern << spare);
    const int c = tree.Child[node];
    if (c < Lzh1LeafBase && spare != 0) {
      Visit(tree, c, bits + 1, pattern << 1, path);
      Visit(tree, c + 1, bits + 1, (pattern << 1) | 1, path);
      return;
    }
    Lzh1WalkEntry e{};
    std::memcpy(e.path, path, sizeof e.path);
    e.c = static_cast<int16_t>(c);
    e.bits = static_cast<uint8_t>(bits);
    for (uint32_t p = pattern << spare; p < (pattern + 1) << spare; ++p) entries_[p] = e;
  }

  Lzh1WalkEntry entries_[1 << kLzh1WalkBits];
  uint8_t depth_[Lzh1Nodes];  // 0: never in the table
  uint8_t first_[Lzh1Nodes];
  bool stale_ = true;
};

// Walks the code from the root to a leaf, keeping the nodes it passes for
// the update that follows: the top levels through the walk table, the rest
// one bit at a time. Always inlined: as a call it would take the bit reader
// out of its registers.
//
// The table's part reads its bits as the format's one-bit requests would.
// Of those `bits` requests the first refills, as every request does; after
// it at least 9 bits are valid (at the stream's very first request, 8),
// which is enough to look the pattern up. Of the other requests at most one
// can find 8 or fewer bits, and if one does, so does the last; so one
// refill check after bits - 1 bits fetches the same bytes. (With bits = 1
// that check finds the 8 or more bits of the first refill, except at the
// stream's first request, whose code is 8 or 9 bits long in the balanced
// start tree.)
template <Lzh1Fetch kFetch>
KV_CODEC_INLINE inline int DecodeSymbol(Lzh1Tree& tree, Lzh1WalkTable& table, Lzh1BitReader& in) {
  if (table.stale()) [[unlikely]]
    table.Build(tree);
  int16_t path[Lzh1Tree::kMaxDepth];
  in.Refill<kFetch>();
  const Lzh1WalkEntry& e = table.Lookup(in.buf >> (32 - kLzh1WalkBits));
  std::memcpy(path, e.path, sizeof e.path);
  in.buf <<= e.bits - 1;
  in.Refill<kFetch>();
  in.buf <<= 1;
  // A write pointer rather than a depth index: one register and one add
  // less per bit in the loop.
  int16_t* end = path + e.bits;
  // Pointer-sized node numbers keep sign extensions out of the walk.
  ptrdiff_t c = e.c;
  while (c < Lzh1LeafBase) {
    const ptrdiff_t node = c + static_cast<ptrdiff_t>(ReadBit<kFetch>(in));
    *end++ = static_cast<int16_t>(node);
    c = tree.Child[node];
  }
  const int s = static_cast<int>(c - Lzh1LeafBase);
  tree.UpdateTreeAlong(path, static_cast<int>(end - path), s, table);
  return s;
}

template <Lzh1Fetch kFetch>
KV_CODEC_INLINE inline uint32_t DecodeOffset(Lzh1BitReader& in) {
  const uint32_t b = ReadBits<kFetch>(in, 8);
  const uint32_t high = OffsetHighCode[b];
  const int extra = OffsetHighLength[b] - 2;
  const uint32_t e = ReadBits<kFetch>(in, extra);
  return (high << Lzh1OffsetLowBits) | (((b << extra) | e) & 0x3F);
}

#if KV_LZH1_LOOK_AHEAD
// DecodeSymbol for the look-ahead reader: one fill gives at least 56 bits,
// enough for the table's bits, and the walk below fills again whenever it
// would leave fewer than the 14 bits of an offset.
KV_CODEC_INLINE inline int DecodeSymbolAhead(Lzh1Tree& tree, Lzh1WalkTable& table,
                                             Lzh1AheadReader& in) {
  if (table.stale()) [[unlikely]]
    table.Build(tree);
  int16_t path[Lzh1Tree::kMaxDepth];
  in.Fill();
  const Lzh1WalkEntry& e = table.Lookup(static_cast<uint32_t>(in.bits >> (64 - kLzh1WalkBits)));
  std::memcpy(path, e.path, sizeof e.path);
  in.bits <<= e.bits;
  in.avail -= e.bits;
  int16_t* end = path + e.bits;
  ptrdiff_t c = e.c;
  while (c < Lzh1LeafBase) {
    if (in.avail <= 14) [[unlikely]]
      in.Fill();
    const ptrdiff_t node = c + static_cast<ptrdiff_t>(in.bits >> 63);
    in.bits <<= 1;
    --in.avail;
    *end++ = static_cast<int16_t>(node);
    c = tree.Child[node];
  }
  const int s = static_cast<int>(c - Lzh1LeafBase);
  tree.UpdateTreeAlong(path, static_cast<int>(end - path), s, table);
  return s;
}

// DecodeOffset for the look-ahead reader, which holds at least 14 bits
// after a symbol: the prefix and the lower 6 bits in one look. `last` is
// the length of the format's last request, the L - 2 bits after the 8.
KV_CODEC_INLINE inline uint32_t DecodeOffsetAhead(Lzh1AheadReader& in, uint32_t& last) {
  const auto v = static_cast<uint32_t>(in.bits >> (64 - 14));
  const uint32_t b = v >> Lzh1OffsetLowBits;
  const uint32_t len = OffsetHighLength[b];
  in.bits <<= len + Lzh1OffsetLowBits;
  in.avail -= len + Lzh1OffsetLowBits;
  last = len - 2;
  return (uint32_t{OffsetHighCode[b]} << Lzh1OffsetLowBits) | ((v >> (8 - len)) & 0x3F);
}
#endif

// The most stored bytes one item can fetch: the deepest code, the offset's
// 8 + 6 bits, and the byte the reader may fetch at its first request.
constexpr int kLzh1MaxItemFetch = (Lzh1Tree::kMaxDepth + 8 + 6) / 8 + 2;
#if KV_LZH1_LOOK_AHEAD
// The bytes of the run a batch leaves clear for the look-ahead reader.
constexpr ptrdiff_t kLzh1AheadSlack = 16;
#endif

// The window (codecs/window.h). Before the first byte, the 4096 bytes in
// front of the write position are what the ring would give at distances
// 4096..1: 60 bytes of the ring's undefined tail (0) and then its 4036 bytes
// of 0x20.
using Lzh1Window = LinearWindow<Lzh1WindowSize, Lzh1MaxMatch>;

// One item, written at `out`; returns the new end.
template <Lzh1Fetch kFetch>
KV_CODEC_INLINE inline uint8_t* ExpandItem(Lzh1Tree& tree, Lzh1WalkTable& table, Lzh1BitReader& in,
                                           uint8_t* out) {
  const int s = DecodeSymbol<kFetch>(tree, table, in);
  if (s < Lzh1FirstMatchSymbol) {
    *out = static_cast<uint8_t>(s);
    return out + 1;
  }
  const uint32_t o = DecodeOffset<kFetch>(in);
  const auto len = static_cast<uint32_t>(s - Lzh1LengthBias);
  CopyMatch(out, o + 1, len);
  return out + len;
}

#if KV_LZH1_LOOK_AHEAD
// ExpandItem through the look-ahead reader; `last` becomes the length of
// the item's last request (Lzh1AheadReader::Back).
KV_CODEC_INLINE inline uint8_t* ExpandItemAhead(Lzh1Tree& tree, Lzh1WalkTable& table,
                                                Lzh1AheadReader& in, uint8_t* out, uint32_t& last) {
  const int s = DecodeSymbolAhead(tree, table, in);
  if (s < Lzh1FirstMatchSymbol) {
    *out = static_cast<uint8_t>(s);
    last = 1;
    return out + 1;
  }
  const uint32_t o = DecodeOffsetAhead(in, last);
  const auto len = static_cast<uint32_t>(s - Lzh1LengthBias);
  CopyMatch(out, o + 1, len);
  return out + len;
}
#endif

// n items through the format's reader from the input run. Where the
// look-ahead reader does this (and this is only for tests) it stays out of
// the expander's loop.
#if KV_LZH1_LOOK_AHEAD
[[gnu::noinline]]
#endif
uint8_t*
ExpandBatch(Lzh1Tree& tree, Lzh1WalkTable& table, Lzh1BitReader& in, uint8_t* out, uint32_t n) {
  Lzh1BitReader fast = in;  // never leaves the registers
  do {
    out = ExpandItem<Lzh1Fetch::kFromRun>(tree, table, fast, out);
  } while (--n != 0);
  in = fast;
  return out;
}

// One run's work areas, released with the run on every path. Value
// initialisation clears them, which gives the ring's undefined tail its 0.
struct Lzh1WorkAreas {
  Lzh1Tree tree;
  Lzh1WalkTable walk;
  uint8_t Lzh1Ring[Lzh1Window::kBufferSize];
};

#if KV_LZH1_LOOK_AHEAD
Lzh1BatchReader batch_reader = Lzh1BatchReader::kLookAhead;
#endif

}  // namespace

#if KV_LZH1_LOOK_AHEAD
void SetLzh1BatchReader(Lzh1BatchReader reader) {
  batch_reader = reader;
}
#endif

void ExpandLzh1(int32_t Destsize) {
  if (Destsize <= 0) return;
  const auto work = std::make_unique<Lzh1WorkAreas>();
  Lzh1Tree& tree = work->tree;
  Lzh1WalkTable& walk = work->walk;
  tree.InitTree();
  uint8_t* const ring = work->Lzh1Ring;
  std::memset(ring + (Lzh1WindowSize - Lzh1Start), Lzh1Fill, Lzh1Start);

#if KV_LZH1_LOOK_AHEAD
  const bool look_ahead = batch_reader == Lzh1BatchReader::kLookAhead;
#endif
  Lzh1BitReader in{Lzh1BitReader::kEmpty, nullptr, nullptr};
  in.LoadRun();
  uint8_t* const move_at = Lzh1Window::MoveAt(ring);
  uint8_t* out = Lzh1Window::Start(ring);
  // Handed over before an item that may refill, before a move, at the end.
  PendingOutput pending{out};
  int64_t remaining = Destsize;
  while (remaining > 0) {
    if (out >= move_at) {
      pending.HandOver(out);
      out = Lzh1Window::Move(ring, out);
      pending.from = out;
    }
    // Destsize is compared between items only, like the window's bound: a
    // match that starts short of `stop` is copied whole.
    uint8_t* const run_start = out;
    uint8_t* const stop = move_at - out < remaining ? move_at : out + remaining;
    while (out < stop) {
      // Items that need no check of their own: n of them fetch inside the
      // input run and each starts before `stop`.
#if KV_LZH1_LOOK_AHEAD
      const ptrdiff_t clear = in.end - in.pos - (look_ahead ? kLzh1AheadSlack : 0);
      const auto by_input = clear > 0 ? static_cast<uint32_t>(clear) / kLzh1MaxItemFetch : 0u;
#else
      const auto by_input = static_cast<uint32_t>(in.end - in.pos) / kLzh1MaxItemFetch;
#endif
      const auto by_output =
          static_cast<uint32_t>(stop - out + Lzh1MaxMatch - 1) / uint32_t{Lzh1MaxMatch};
      uint32_t n = std::min(by_input, by_output);
      if (n == 0) [[unlikely]] {
        pending.HandOver(out);
        out = ExpandItem<Lzh1Fetch::kChecked>(tree, walk, in, out);
        continue;
      }
#if KV_LZH1_LOOK_AHEAD
      if (look_ahead) {
        Lzh1AheadReader ahead = Lzh1AheadReader::From(in);  // never leaves the registers
        uint32_t last = 1;
        do {
          out = ExpandItemAhead(tree, walk, ahead, out, last);
        } while (--n != 0);
        ahead.Fill();
        in = ahead.Back(last, in.end);
        continue;
      }
#endif
      out = ExpandBatch(tree, walk, in, out, n);
    }
    remaining -= out - run_start;
  }
  pending.HandOver(out);
  ReturnInputRun(in.pos);
}

}  // namespace kv

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
//  - Every byte goes to PutOutputByte before it enters the ring, and the
//    ring position advances modulo 4096.
//  - The ring starts as 4036 bytes 0x20 followed by 60 bytes that stream
//    data may not refer to before writing them; they read as 0.
//  - Destsize is compared only between items: a match that begins short of
//    Destsize is copied whole.
//  - Every bit pattern decodes to something, and input that has ended reads
//    as zero bits, so nothing in here fails; damage shows in the checksum.
//
// The bit reader fetches bytes exactly when the format says (a request that
// finds 8 or fewer bits fetches one byte first), because when a byte is
// fetched is observable through progress calls and refusals. Its speed
// comes from keeping the buffer in a register for the whole run rather
// than from reading ahead.
#include "codecs/lzh1.h"

#include <cstddef>
#include <cstring>
#include <memory>

#include "archive/byte_pump.h"
#include "codecs/lzh1_model.h"

namespace kv {

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
// The reader is a small value that the expander keeps in a register; it is
// passed by reference to inline functions only.
struct Lzh1BitReader {
  static constexpr uint32_t kEmpty = 0x80000000;  // no valid bits: marker at bit 31
  static constexpr uint32_t kBelowRefill = 0x007FFFFF;

  uint32_t buf = kEmpty;

  bool NeedsByte() const { return (buf & kBelowRefill) == 0; }
  void Refill() {
    if (NeedsByte()) {
      uint8_t b = GetInputByte();
      if (EndOfInput()) b = 0;
      // With the marker m at bit q (23..31), (2b + 1) * (m >> 8) puts the
      // byte at bits q..q-7 and the new marker at bit q-8.
      const uint32_t m = buf & (0u - buf);
      buf = buf - m + (2u * b + 1u) * (m >> 8);
    }
  }
  // Peek and consume kept apart: the result is taken, then the bits go.
  uint32_t Take(int n) {
    const uint32_t v = buf >> (32 - n);
    buf <<= n;
    return v;
  }
};

inline uint32_t ReadBit(Lzh1BitReader& in) {
  in.Refill();
  return in.Take(1);
}

inline uint32_t ReadEightBits(Lzh1BitReader& in) {
  in.Refill();
  return in.Take(8);
}

inline uint32_t ReadBits(Lzh1BitReader& in, int n) {
  in.Refill();
  return in.Take(n);
}

// Walks the code from the root to a leaf, keeping the nodes it passes for
// the update that follows. Always inlined: as a call it would take the bit
// reader out of its register.
[[gnu::always_inline]] inline int DecodeSymbol(Lzh1Tree& tree, Lzh1BitReader& in) {
  int16_t path[Lzh1Tree::kMaxDepth];
  // A write pointer rather than a depth index: one register and one add
  // less per bit in the loop.
  int16_t* end = path;
  // Pointer-sized node numbers keep sign extensions out of the walk.
  ptrdiff_t c = tree.Child[Lzh1Root];
  do {
    const ptrdiff_t node = c + static_cast<ptrdiff_t>(ReadBit(in));
    *end++ = static_cast<int16_t>(node);
    c = tree.Child[node];
  } while (c < Lzh1LeafBase);
  const int s = static_cast<int>(c - Lzh1LeafBase);
  tree.UpdateTreeAlong(path, static_cast<int>(end - path), s);
  return s;
}

inline uint32_t DecodeOffset(Lzh1BitReader& in) {
  const uint32_t b = ReadEightBits(in);
  const uint32_t high = OffsetHighCode[b];
  const int extra = OffsetHighLength[b] - 2;
  const uint32_t e = ReadBits(in, extra);
  return (high << Lzh1OffsetLowBits) | (((b << extra) | e) & 0x3F);
}

// Copies a match of `len` bytes from ring position p to ring position r,
// `distance` (o + 1) bytes behind, and hands the bytes to the sink. The
// result is that of copying and emitting one byte at a time: the ring gets
// the same bytes, and PutOutputBytes behaves as that many PutOutputByte
// calls. The order of the two sides differs only in where each byte sits
// in between, which nothing can observe: no input is fetched meanwhile, and
// a sink failure ends the run.
inline void CopyMatch(uint8_t* ring, uint32_t p, uint32_t r, uint32_t distance, int len) {
  const auto n = static_cast<uint32_t>(len);
  if (p + n <= Lzh1WindowSize && r + n <= Lzh1WindowSize) [[likely]] {
    uint8_t* dst = ring + r;
    const uint8_t* src = ring + p;
    if (distance >= n || p > r) {
      // Disjoint, or the source lies ahead of the destination (the match
      // reaches back almost the whole ring): reading forward, each source
      // byte is read before the copy overwrites it, which memmove gives.
      std::memmove(dst, src, n);
    } else if (distance >= 8) {
      // Overlapping, far enough apart for 8 bytes at a time: each chunk's
      // source was complete before the chunk began.
      uint32_t k = 0;
      for (; k + 8 <= n; k += 8) std::memcpy(dst + k, src + k, 8);
      for (; k < n; ++k) dst[k] = src[k];
    } else {
      for (uint32_t k = 0; k < n; ++k) dst[k] = src[k];
    }
    PutOutputBytes(dst, len);
    return;
  }
  // The match wraps around the ring's end on either side.
  for (uint32_t k = 0; k < n; ++k) {
    const uint8_t x = ring[(p + k) & Lzh1WindowMask];
    PutOutputByte(x);
    ring[(r + k) & Lzh1WindowMask] = x;
  }
}

// One run's work areas, released with the run on every path. Value
// initialisation clears them, which gives the ring's undefined tail its 0.
struct Lzh1WorkAreas {
  Lzh1Tree tree;
  uint8_t Lzh1Ring[Lzh1WindowSize];
};

}  // namespace

void ExpandLzh1(int32_t Destsize) {
  if (Destsize <= 0) return;
  const auto work = std::make_unique<Lzh1WorkAreas>();
  Lzh1Tree& tree = work->tree;
  tree.InitTree();
  Lzh1BitReader in;  // cleared along with the tree
  uint8_t* const ring = work->Lzh1Ring;
  std::memset(ring, Lzh1Fill, Lzh1Start);

  uint32_t r = Lzh1Start;
  // Unsigned: a final match may carry the count up to 59 past Destsize.
  uint32_t produced = 0;
  const auto wanted = static_cast<uint32_t>(Destsize);
  while (produced < wanted) {
    const int s = DecodeSymbol(tree, in);
    if (s < Lzh1FirstMatchSymbol) {
      const auto x = static_cast<uint8_t>(s);
      PutOutputByte(x);
      ring[r] = x;
      r = (r + 1) & Lzh1WindowMask;
      ++produced;
    } else {
      const uint32_t o = DecodeOffset(in);
      const uint32_t p = (r - o - 1) & Lzh1WindowMask;
      const int len = s - Lzh1LengthBias;
      CopyMatch(ring, p, r, o + 1, len);
      r = (r + static_cast<uint32_t>(len)) & Lzh1WindowMask;
      produced += static_cast<uint32_t>(len);
    }
  }
}

}  // namespace kv

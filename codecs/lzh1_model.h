// The LZH1 model: an LZSS stream over a 4096-byte ring, its items coded
// with one adaptive Huffman tree of 314 symbols (literals 0..255, match
// lengths 3..60 as symbols 256..313) and match offsets with a fixed prefix
// code for their upper 6 bits followed by 6 plain bits.
//
// The expander (lzh1.cpp) and the builder's coder (tools/) drive this very
// model in the two directions: the expander reads back exactly what the
// coder wrote only if both sides update one tree in one way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kv {

inline constexpr int Lzh1Symbols = 314;
inline constexpr int Lzh1Nodes = 2 * Lzh1Symbols - 1;  // 627; node indices 0..626
inline constexpr int Lzh1Root = Lzh1Nodes - 1;         // 626
inline constexpr uint16_t Lzh1RebuildAt = 0x8000;      // root frequency that triggers a rebuild
inline constexpr int Lzh1WindowSize = 4096;
inline constexpr int Lzh1WindowMask = Lzh1WindowSize - 1;
inline constexpr int Lzh1Start = 4036;  // first write position; bytes before it start as 0x20
inline constexpr uint8_t Lzh1Fill = 0x20;
inline constexpr int Lzh1LengthBias = 253;  // match length = symbol - 253
inline constexpr int Lzh1MinMatch = 3;
inline constexpr int Lzh1MaxMatch = 60;
inline constexpr int Lzh1FirstMatchSymbol = 256;
// A Child entry at or above this value names a leaf: Lzh1LeafBase + symbol.
inline constexpr int Lzh1LeafBase = Lzh1Nodes;

static_assert(Lzh1FirstMatchSymbol + (Lzh1MaxMatch - Lzh1MinMatch + 1) == Lzh1Symbols);
static_assert(Lzh1FirstMatchSymbol - Lzh1LengthBias == Lzh1MinMatch);
static_assert(Lzh1Start + Lzh1MaxMatch == Lzh1WindowSize,
              "the ring's undefined tail is exactly one longest match");

// The adaptive Huffman tree.
//
// Invariants, kept by InitTree, UpdateTree and RebuildTree alike:
//  - Freq[0..626] is non-decreasing and Freq[626] (the root) is the sum of
//    the leaves; Freq[627] is a 0xFFFF sentinel that ends every upward scan.
//  - The two children of an internal node n are Child[n] and Child[n] + 1;
//    a leaf's Child entry is Lzh1LeafBase + its symbol.
//  - Parent[n] is n's parent for n < 627 (0 for the root, which is never a
//    child, so 0 ends the upward walk); Parent[627 + s] is the leaf of s.
//  - No frequency exceeds 0x8000: the root reaches 0x8000 and the next
//    update halves everything first.
//  - Every count is at least 1 (halving rounds up), and node 0 is always a
//    leaf: an internal node counts two nodes of at least Freq[0] each, so
//    its count is above Freq[0], and neither a swap (which moves a subtree
//    only to a node of the same count) nor a rebuild (leaves first on equal
//    counts) can place it at node 0. So no node but the root has 0 in
//    Parent, and CountFrom may end its walk on 0.
struct Lzh1Tree {
  // The sentinel is entry 627 of Freq, and 628 is a multiple of 4: the
  // scalar scan in UpdateTree, which looks at the last entry of each
  // aligned group of four, meets the sentinel at the end of the last group.
  // The vector scan reads eight entries from any node up to the sentinel;
  // the seven entries after it are copies of the sentinel, read and never
  // chosen.
  static constexpr int kFreqSize = Lzh1Nodes + 1;
  static constexpr int kScanWidth = 8;
  static_assert(kFreqSize % 4 == 0);

  uint16_t Freq[kFreqSize + kScanWidth - 1];
  int16_t Child[Lzh1Nodes];
  int16_t Parent[Lzh1Nodes + Lzh1Symbols];

  // The balanced start: every symbol at frequency 1.
  void InitTree();
  // Halves every leaf's frequency (rounded up) and rebuilds the internal
  // nodes; a new internal node goes after every node of equal frequency.
  void RebuildTree();
  // Counts one more occurrence of `symbol`, rebuilding first when the root
  // has reached Lzh1RebuildAt, and restores the order of Freq on the way
  // from the leaf to the root.
  inline void UpdateTree(int symbol);
  // UpdateTree for a symbol whose code was just walked: path[0..depth) are
  // the nodes the walk went through below the root, the last one the leaf
  // node of `symbol`. Same result as UpdateTree(symbol), but the way up
  // is read from the path rather than from Parent, one load less in the
  // chain of dependent loads per level, for as long as the path is valid:
  // until a rebuild or the first swap.
  inline void UpdateTreeAlong(const int16_t* path, int depth, int symbol);
  // The same, telling `watch` of every change to Child: watch.Swapped(tree, c, l)
  // after nodes c and l have exchanged their subtrees (the only change to
  // Child outside a rebuild), watch.Rebuilt() after a rebuild. This is for
  // caches of the tree's shape, such as the expander's walk table.
  template <class Watch>
  inline void UpdateTreeAlong(const int16_t* path, int depth, int symbol, Watch& watch);
  // The largest depth a walk can reach: one internal node per level.
  static constexpr int kMaxDepth = Lzh1Symbols - 1;

 private:
  struct NoWatch {
    void Swapped(const Lzh1Tree&, ptrdiff_t, ptrdiff_t) {}
    void Rebuilt() {}
  };
  // The last node whose frequency is below k, searching upward from
  // `from`; Freq[from - 1] is below k.
  inline int LastNodeBelow(int from, uint16_t k) const;
  // Increments node c, swaps it with the last node below its new count if
  // that is needed, and returns the node whose parent is to be counted next.
  template <class Watch>
  inline ptrdiff_t CountNode(ptrdiff_t c, Watch& watch);
  // The counting walk of UpdateTree from node c up to the root.
  template <class Watch>
  inline void CountFrom(ptrdiff_t c, Watch& watch);
};

inline int Lzh1Tree::LastNodeBelow(int from, uint16_t k) const {
#if defined(__SSE2__)
  // Eight entries a step: the lanes where k <= Freq are those where the
  // saturating difference k - Freq is 0; the first of them ends the run.
  // The sentinel ends the scan by the step that reads it.
  const __m128i key = _mm_set1_epi16(static_cast<short>(k));
  for (int l = from;; l += kScanWidth) {
    const __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Freq + l));
    const auto at_or_above = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_subs_epu16(key, f), _mm_setzero_si128())));
    if (at_or_above != 0) return l + __builtin_ctz(at_or_above) / 2 - 1;
  }
#else
  // Freq[from - 1] < k and the array is non-decreasing, so the answer is
  // the last node of the run of equal frequencies that ends below k. Runs
  // can be hundreds of nodes long (all unused symbols share one count), so
  // after a short linear look the scan strides over aligned groups of four,
  // testing each group's last entry; the sentinel at 627 ends a group.
  int l = from;
  if (k <= Freq[l]) return l - 1;
  ++l;
  if (k <= Freq[l]) return l - 1;
  ++l;
  while (l & 3) {
    if (k <= Freq[l]) return l - 1;
    ++l;
  }
  for (;; l += 4) {
    if (k <= Freq[l + 3]) break;
  }
  while (k > Freq[l]) ++l;
  return l - 1;
#endif
}

template <class Watch>
inline ptrdiff_t Lzh1Tree::CountNode(ptrdiff_t c, Watch& watch) {
  const uint16_t k = ++Freq[c];
  if (k > Freq[c + 1]) {
    // Move the count to the last node that is still below it; that node
    // and c swap their subtrees.
    const ptrdiff_t l = LastNodeBelow(static_cast<int>(c) + 2, k);
    Freq[c] = Freq[l];
    Freq[l] = k;
    const ptrdiff_t i = Child[c];
    Parent[i] = static_cast<int16_t>(l);
    if (i < Lzh1LeafBase) Parent[i + 1] = static_cast<int16_t>(l);
    const ptrdiff_t j = Child[l];
    Child[l] = static_cast<int16_t>(i);
    Parent[j] = static_cast<int16_t>(c);
    if (j < Lzh1LeafBase) Parent[j + 1] = static_cast<int16_t>(c);
    Child[c] = static_cast<int16_t>(j);
    watch.Swapped(*this, c, l);
    return l;
  }
  return c;
}

template <class Watch>
inline void Lzh1Tree::CountFrom(ptrdiff_t c, Watch& watch) {
  // Pointer-sized node numbers keep sign extensions out of the loop. The
  // root's parent entry is 0 and no other node has node 0 as its parent.
  do {
    c = Parent[CountNode(c, watch)];
  } while (c != 0);
}

inline void Lzh1Tree::UpdateTree(int symbol) {
  if (Freq[Lzh1Root] == Lzh1RebuildAt) RebuildTree();
  NoWatch none;
  CountFrom(Parent[Lzh1LeafBase + symbol], none);
}

inline void Lzh1Tree::UpdateTreeAlong(const int16_t* path, int depth, int symbol) {
  NoWatch none;
  UpdateTreeAlong(path, depth, symbol, none);
}

template <class Watch>
inline void Lzh1Tree::UpdateTreeAlong(const int16_t* path, int depth, int symbol, Watch& watch) {
  if (Freq[Lzh1Root] == Lzh1RebuildAt) [[unlikely]] {
    RebuildTree();
    watch.Rebuilt();
    CountFrom(Parent[Lzh1LeafBase + symbol], watch);
    return;
  }
  // Until a swap, the parent of path[i] is path[i - 1] (the root for
  // i = 0), so the next node comes from the path and not from the node just
  // counted. A swap moves the count to another node; from there on Parent
  // leads, and that node is never the root, whose count tops every other.
  // (Rejoining the path after the detour is possible but costs more in
  // compares than it saves in loads.)
  for (const int16_t* p = path + depth; p != path;) {
    const ptrdiff_t c = *--p;
    const ptrdiff_t counted = CountNode(c, watch);
    if (counted != c) {
      CountFrom(Parent[counted], watch);
      return;
    }
  }
  ++Freq[Lzh1Root];  // the sentinel is above any count: the root never swaps
}

// The offset code. The upper 6 bits of an offset take a prefix code of 3 to
// 8 bits; the 64 values take consecutive blocks of the 256 byte values in
// ascending order, each block 2^(8 - L) entries for a code of length L.
// Lengths by value: 0 -> 3, 1..3 -> 4, 4..11 -> 5, 12..23 -> 6, 24..47 -> 7,
// 48..63 -> 8. After the prefix come the offset's lower 6 bits.
inline constexpr int Lzh1OffsetHighValues = 64;
inline constexpr int Lzh1OffsetLowBits = 6;
inline constexpr int Lzh1OffsetMinCode = 3;
inline constexpr int Lzh1OffsetMaxCode = 8;

// How many upper-bit values have a code of each length (index = length).
inline constexpr std::array<int, Lzh1OffsetMaxCode + 1> Lzh1OffsetValuesPerLength = {
    0, 0, 0, 1, 3, 8, 12, 24, 16};

namespace lzh1_detail {

struct OffsetTables {
  std::array<uint8_t, 256> high_code{};    // OffsetHighCode
  std::array<uint8_t, 256> high_length{};  // OffsetHighLength
  // The coder's side: each value's first byte of its block, and L.
  std::array<uint8_t, Lzh1OffsetHighValues> block_start{};
  std::array<uint8_t, Lzh1OffsetHighValues> code_length{};
};

// Builds both directions from Lzh1OffsetValuesPerLength. Returns an empty
// result (all lengths 0) unless the lengths cover exactly the 64 values and
// exactly the 256 byte values, so that a bad count fails the static_asserts
// below instead of producing a table with holes.
constexpr OffsetTables MakeOffsetTables() {
  OffsetTables t{};
  int values = 0;
  int bytes = 0;
  for (size_t len = Lzh1OffsetMinCode; len <= Lzh1OffsetMaxCode; ++len) {
    values += Lzh1OffsetValuesPerLength[len];
    bytes += Lzh1OffsetValuesPerLength[len] << (8 - len);
  }
  if (values != Lzh1OffsetHighValues || bytes != 256) return OffsetTables{};
  size_t b = 0;
  size_t value = 0;
  for (size_t len = Lzh1OffsetMinCode; len <= Lzh1OffsetMaxCode; ++len) {
    for (int n = 0; n < Lzh1OffsetValuesPerLength[len]; ++n, ++value) {
      t.block_start[value] = static_cast<uint8_t>(b);
      t.code_length[value] = static_cast<uint8_t>(len);
      for (size_t e = 0; e < (size_t{1} << (8 - len)); ++e, ++b) {
        t.high_code[b] = static_cast<uint8_t>(value);
        t.high_length[b] = static_cast<uint8_t>(len);
      }
    }
  }
  return t;
}

inline constexpr OffsetTables kOffsetTables = MakeOffsetTables();

}  // namespace lzh1_detail

// Indexed by the next 8 input bits: the offset's upper 6 bits and the length
// of their code.
inline constexpr const std::array<uint8_t, 256>& OffsetHighCode =
    lzh1_detail::kOffsetTables.high_code;
inline constexpr const std::array<uint8_t, 256>& OffsetHighLength =
    lzh1_detail::kOffsetTables.high_length;

// The coder's view of the same code: value -> (code bits, code length).
inline constexpr uint8_t Lzh1OffsetCodeLength(int high) {
  return lzh1_detail::kOffsetTables.code_length[static_cast<size_t>(high)];
}
inline constexpr uint8_t Lzh1OffsetCode(int high) {
  return static_cast<uint8_t>(lzh1_detail::kOffsetTables.block_start[static_cast<size_t>(high)] >>
                              (8 - Lzh1OffsetCodeLength(high)));
}

// The rows of the rule, checked at their edges.
static_assert(OffsetHighLength[0x00] == 3 && OffsetHighCode[0x00] == 0 &&
              OffsetHighCode[0x1F] == 0);
static_assert(OffsetHighCode[0x20] == 1 && OffsetHighCode[0x4F] == 3 &&
              OffsetHighLength[0x4F] == 4);
static_assert(OffsetHighCode[0x50] == 4 && OffsetHighCode[0x8F] == 11 &&
              OffsetHighLength[0x8F] == 5);
static_assert(OffsetHighCode[0x90] == 12 && OffsetHighCode[0xBF] == 23 &&
              OffsetHighLength[0xBF] == 6);
static_assert(OffsetHighCode[0xC0] == 24 && OffsetHighCode[0xEF] == 47 &&
              OffsetHighLength[0xEF] == 7);
static_assert(OffsetHighCode[0xF0] == 48 && OffsetHighCode[0xFF] == 63 &&
              OffsetHighLength[0xFF] == 8);
static_assert(Lzh1OffsetCode(0) == 0 && Lzh1OffsetCode(1) == 0b0010 && Lzh1OffsetCode(63) == 0xFF);
// Every request of the bit reader takes at most 8 bits.
static_assert(Lzh1OffsetMaxCode - 2 <= Lzh1OffsetLowBits && Lzh1OffsetMinCode - 2 >= 1);

}  // namespace kv

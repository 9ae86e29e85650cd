// Decode tables of the LH5 method: canonical Huffman codes, two levels deep.
//
// Every code of the method is canonical: shorter codes come numerically
// first, and codes of one length follow the symbol order, so a list of code
// lengths (1..16, 0 = symbol absent) determines the code. A table is looked
// up with the next TableBits bits of the stream (12 for characters, 8 for
// code-length symbols and positions). A code of at most TableBits bits owns
// 2^(TableBits - length) consecutive entries, each holding its symbol. A
// longer code shares its first TableBits bits with others in one entry that
// holds a tree node; from there one further bit per step chooses TreeLeft (0)
// or TreeRight (1) until a value below SymbolCount, a symbol, is reached.
// Nodes are numbered from SymbolCount upward, so "value < SymbolCount" tells a
// symbol from a node everywhere.
//
// Invariants that make decoding safe on any input:
//   - Lh5BuildTable writes nothing until it has checked that every length is
//     0..16 and that the lengths fill the code space exactly (Kraft sum 1).
//     A complete code gives every table entry and every child link of every
//     node it creates a value, so a decoder never reads an unwritten entry
//     and every walk ends on a symbol within 16 - TableBits steps.
//   - A complete code over n symbols has n - 1 internal nodes in all, so the
//     nodes below table level number at most SymbolCount - 1 and the node
//     numbers stay below 2 * SymbolCount - 1 <= kLh5TreeSize.
//   - A single-code table (the count field 0) holds its value in every entry
//     and consumes no bits; its value must be a symbol of the alphabet, since
//     a larger one would be taken for a node that was never built.
#pragma once

#include <cstdint>

#include "codecs/lh5_format.h"

namespace kv {

inline constexpr int kLh5CharTableBits = 12;
inline constexpr int kLh5AuxTableBits = 8;
inline constexpr int kLh5CharTableSize = 1 << kLh5CharTableBits;  // 4096
inline constexpr int kLh5AuxTableSize = 1 << kLh5AuxTableBits;    // 256
// Child links per side: every node that a complete character code can need.
inline constexpr int kLh5TreeSize = 2 * kLh5CharCount - 1;  // 1019

static_assert(kLh5TreeSize >= 2 * kLh5CodeLengthCount - 1 &&
              kLh5TreeSize >= 2 * kLh5PositionCount - 1);
// Every symbol and node number fits the 16-bit entries.
static_assert(kLh5TreeSize <= 0xFFFF);
// A walk below table level takes at most 16 - TableBits steps; the decoders'
// bit masks rely on the first TableBits bits having been looked up.
static_assert(kLh5AuxTableBits < kLh5MaxCodeLength && kLh5CharTableBits < kLh5MaxCodeLength);

// The two child links of every tree node, shared by the tables of a block.
struct Lh5Tree {
  uint16_t* TreeLeft;   // kLh5TreeSize entries
  uint16_t* TreeRight;  // kLh5TreeSize entries
};

// Builds the canonical code of Lengths[0 .. SymbolCount - 1] into Table
// (2^TableBits entries) and the tree nodes of codes longer than TableBits.
// Raises ELZHBadDecodeTable ("Bad decode table in archive!") when a length
// is above 16 or the lengths do not fill the code space exactly (this
// includes a list of only zeros); nothing is written then.
// SymbolCount is 1..kLh5CharCount, TableBits 1..16.
void Lh5BuildTable(int SymbolCount, const uint8_t* Lengths, int TableBits, uint16_t* Table,
                   const Lh5Tree& tree);

// The table of a list sent as one value (count field 0): every length 0 and
// every entry of Table (TableSize entries) the value, so that each lookup
// yields it and consumes no bits. Raises ELZHBadDecodeTable when the value is
// not a symbol of the alphabet; nothing is written then.
void Lh5SingleCodeTable(unsigned value, int SymbolCount, uint8_t* Lengths, uint16_t* Table,
                        int TableSize);

}  // namespace kv

// Building the LH5 decode tables (see lh5_table.h for the layout).
//
// The builder works on code values left-aligned in 16 bits: a code of length
// l covers weight[l] = 2^(16 - l) of the 65536 values, and the codes of
// length l start at start[l], right after all shorter codes. The lengths fill
// the code space exactly when the codes of every length together cover all
// 65536 values; that is checked first, before any entry is written, so a
// rejected list leaves the tables as they were and a complete one writes
// every entry that a lookup can reach.
#include "codecs/lh5_table.h"

#include <algorithm>
#include <cassert>

#include "pump/failures.h"

namespace kv {

namespace {

constexpr uint32_t kCodeSpace = 1u << kLh5MaxCodeLength;  // 65536
// Largest left-aligned total the check can meet: every symbol at length 1.
static_assert(static_cast<uint64_t>(kLh5CharCount) * (kCodeSpace / 2) < (1ull << 32),
              "start[] cannot overflow 32 bits");

}  // namespace

void Lh5BuildTable(int SymbolCount, const uint8_t* Lengths, int TableBits, uint16_t* Table,
                   const Lh5Tree& tree) {
  assert(SymbolCount >= 1 && SymbolCount <= kLh5CharCount);
  assert(TableBits >= 1 && TableBits <= kLh5MaxCodeLength);

  // 1. Count the codes of each length; a length above 16 belongs to no code.
  uint32_t count[kLh5MaxCodeLength + 1] = {};
  for (int s = 0; s < SymbolCount; ++s) {
    const unsigned l = Lengths[s];
    if (l > kLh5MaxCodeLength) RaiseBadDecodeTable();
    ++count[l];
  }

  // 2. Where the codes of each length begin; they must end exactly at 65536.
  uint32_t start[kLh5MaxCodeLength + 2];
  uint32_t weight[kLh5MaxCodeLength + 1];
  start[1] = 0;
  for (int l = 1; l <= kLh5MaxCodeLength; ++l) {
    weight[l] = kCodeSpace >> l;
    start[l + 1] = start[l] + count[l] * weight[l];
  }
  if (start[kLh5MaxCodeLength + 1] != kCodeSpace) RaiseBadDecodeTable();

  // 3. Codes that fit the table count in table entries from here on.
  const int shift = kLh5MaxCodeLength - TableBits;
  for (int l = 1; l <= TableBits; ++l) {
    start[l] >>= shift;
    weight[l] >>= shift;
  }

  // 4. Entries that lead into trees start empty. 0 marks an empty slot,
  //    although 0 is also symbol 0: the walk in step 5 tests only slots that
  //    lie on the way to a code, never a code's own last slot, and on the
  //    way a slot holds either nothing yet or a node, which is numbered from
  //    SymbolCount >= 1 up. A slot that holds a symbol (0 included) ends a
  //    code, and since the code is prefix-free no later code passes it.
  const uint32_t table_size = 1u << TableBits;
  const uint32_t first_long = start[TableBits + 1] >> shift;
  std::fill(Table + first_long, Table + table_size, uint16_t{0});

  // 5. One pass over the symbols in order writes the canonical code.
  unsigned next_node = static_cast<unsigned>(SymbolCount);
  for (int s = 0; s < SymbolCount; ++s) {
    const int l = Lengths[s];
    if (l == 0) continue;
    if (l <= TableBits) {
      std::fill(Table + start[l], Table + start[l] + weight[l], static_cast<uint16_t>(s));
    } else {
      const uint32_t code = start[l];
      uint16_t* slot = &Table[code >> shift];
      for (int bit = TableBits; bit < l; ++bit) {
        if (*slot == 0) {
          assert(next_node < static_cast<unsigned>(kLh5TreeSize));
          tree.TreeLeft[next_node] = tree.TreeRight[next_node] = 0;
          *slot = static_cast<uint16_t>(next_node++);
        }
        const bool one = (code & (0x8000u >> bit)) != 0;
        slot = one ? &tree.TreeRight[*slot] : &tree.TreeLeft[*slot];
      }
      *slot = static_cast<uint16_t>(s);
    }
    start[l] += weight[l];
  }
}

void Lh5SingleCodeTable(unsigned value, int SymbolCount, uint8_t* Lengths, uint16_t* Table,
                        int TableSize) {
  if (value >= static_cast<unsigned>(SymbolCount)) RaiseBadDecodeTable();
  std::fill(Lengths, Lengths + SymbolCount, uint8_t{0});
  std::fill(Table, Table + TableSize, static_cast<uint16_t>(value));
}

}  // namespace kv

// The -lh5- stream format's constants, shared by the expander, its table
// builder and the builder's compressor, so that each is defined once.
#pragma once

#include <cstdint>

namespace kv {

inline constexpr int kLh5WindowSize = 8192;
inline constexpr uint8_t kLh5RingFill = 0x20;  // the window's content before the first byte
inline constexpr int kLh5MaxCodeLength = 16;
inline constexpr int kLh5CharCount = 510;       // 256 literals + 254 match lengths
inline constexpr int kLh5PositionCount = 14;    // position symbols 0..13
inline constexpr int kLh5CodeLengthCount = 19;  // the alphabet that sends CharLen
inline constexpr int kLh5MatchBase = 253;       // match length = character symbol - 253
inline constexpr int kLh5MinMatch = 256 - kLh5MatchBase;
inline constexpr int kLh5MaxMatch = kLh5CharCount - 1 - kLh5MatchBase;

// Widths of a block head's fields.
inline constexpr int kLh5BlockCountBits = 16;  // codes in the block; 0 means 65536
inline constexpr int kLh5CharCountBits = 9;
inline constexpr int kLh5CodeLengthCountBits = 5;
inline constexpr int kLh5PositionCountBits = 4;
// The code-length list has a 2-bit zero run after its third length; the
// position list has none.
inline constexpr int kLh5CodeLengthZeroRunAt = 3;
inline constexpr int kLh5NoZeroRun = -1;
// The 5-bit count of the code-length list can announce up to 31 lengths.
inline constexpr int kLh5AuxLenSize = (1 << kLh5CodeLengthCountBits) - 1;

static_assert(kLh5MinMatch == 3 && kLh5MaxMatch == 256);
// Position symbol 13 gives 2^12 + 12 extra bits: distance minus one up to 8191.
static_assert((2 << (kLh5PositionCount - 2)) - 1 == kLh5WindowSize - 1);
// The count fields can name every symbol, and one beyond for the characters.
static_assert((1 << kLh5CharCountBits) > kLh5CharCount &&
              (1 << kLh5PositionCountBits) > kLh5PositionCount &&
              kLh5CodeLengthCount <= kLh5AuxLenSize && kLh5PositionCount <= kLh5AuxLenSize);
// The zero run after the third length writes at most AuxLen[3..5].
static_assert(kLh5CodeLengthZeroRunAt + 3 <= kLh5AuxLenSize);

}  // namespace kv

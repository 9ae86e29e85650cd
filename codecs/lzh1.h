// The LZH1 expander ("LZH", called LZH1 in messages): an LZSS stream over a
// 4096-byte ring, its items coded with one adaptive Huffman tree and match
// offsets with a fixed prefix code. The model that the expander and the
// builder's coder share (the tree, the offset code, the format's constants)
// is in lzh1_model.h.
//
// Contract: ExpandLzh1 runs inside a codec session (pump/byte_pump.h). It
// pulls the entry's stored bytes through GetInputByte exactly when its bit
// reader needs them, and hands every expanded byte to the session's sink, in
// order.
#pragma once

#include <cstdint>

namespace kv {

// Expands the session's input until at least Destsize bytes have been
// produced (a final match is copied whole, up to 59 bytes past Destsize).
// Destsize 0 or below allocates nothing and reads nothing. Raises nothing of
// its own: damage shows in the checksum; the sink's failures pass through.
void ExpandLzh1(int32_t Destsize);

#if !defined(__OPTIMIZE_SIZE__)
// The bit reader of the expander's batched path, which expands the items
// that cannot reach the end of the input run: by default one that reads
// ahead of the format's reader through a 64-bit buffer. A build for size
// (-Os, the launcher) has only the format's own reader, the one of the
// checked path; tests select it here to run that build's path as well.
// Either fetches the same bytes at the same points.
enum class Lzh1BatchReader : uint8_t { kLookAhead, kFormat };
void SetLzh1BatchReader(Lzh1BatchReader reader);
#endif

}  // namespace kv

// The LH5 expander ("LH5", called LZH5 in messages): the LHA format's -lh5-
// method, a static-Huffman coder over an 8 KiB sliding window.
//
// Contract: ExpandLh5 runs inside a codec session (archive/codec_session.h).
// It pulls the entry's stored bytes through GetInputByte, exactly when its bit
// reader needs them and never after EndOfInput is raised, and hands every
// expanded byte to the session's sink, in order. It stops once it has
// produced Destsize bytes (a final match is emitted whole, so the output may
// be up to 255 bytes longer); running out of stored data is no error, the
// missing bits read as 0 and the damage shows in the byte sum. Tables that do
// not describe a complete code raise ELZHBadDecodeTable. The work areas live
// for one call and are released on every path; Destsize 0 allocates nothing
// and reads nothing.
#pragma once

#include <cstdint>

namespace kv {

// Expands the session's input until Destsize bytes have been produced.
void ExpandLh5(int32_t Destsize);

}  // namespace kv

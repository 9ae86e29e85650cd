// RLE expander.
//
// The stored data is a sequence of steps:
//   b (b != 0x94)      -> the byte b
//   0x94 0x00          -> one byte 0x94
//   0x94 n (n 1..255)  -> n - 1 copies of RunByte
// After every step RunByte becomes the step's first input byte (0x94 after
// either kind of escape), so "X 0x94 k" is k bytes X. The output length
// follows from the input alone; the entry's expanded size plays no part.
//
// EndOfInput is tested after the first byte of each step only: a count that
// is cut off (end of data, or a refused refill) reads as 0 and yields one
// 0x94 before the expander stops.
#include "codecs/rle.h"

#include "pump/byte_pump.h"

namespace kv {

void ExpandRle() {
  CodecSessionRecord& s = CodecSession;
  for (;;) {
    const uint8_t b = GetInputByte();
    if (s.EndOfInput) break;
    if (b != RleMarker) {
      PutOutputByte(b);
    } else {
      const uint8_t n = GetInputByte();
      if (n == 0) {
        PutOutputByte(RleMarker);
      } else {
        for (s.RunCount = n - 1; s.RunCount > 0; --s.RunCount) PutOutputByte(s.RunByte);
      }
    }
    s.RunByte = b;
  }
}

}  // namespace kv

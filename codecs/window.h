// The expanders' window and match copy, shared by LZH1 and LH5.
//
// Both formats keep their history in a ring (4096 bytes for LZH1, 8192 for
// LH5). Here the ring is a linear buffer: the last kRingSize bytes written
// always stand directly in front of the write position `out`, so a match's
// source is `out - distance` without masking. After kRunSpan bytes of
// output the last kRingSize bytes move to the front (Move). The first
// kRingSize bytes of the buffer hold what the ring holds before the first
// byte of output, so a match that reaches back that far copies the ring's
// initial content. Each byte is stored once, in the window; PendingOutput
// hands the bytes to the session in one PutOutputBytes call (the same block
// writes and budget as one PutOutputByte per byte), which the expanders
// make before anything the session or the caller can observe.
#pragma once

#include <cstdint>
#include <cstring>

#include "pump/byte_pump.h"

namespace kv {

// The per-item helpers are forced inline for speed, except in a build for
// size (-Os, the launcher), where every copy of them costs image bytes.
#if defined(__OPTIMIZE_SIZE__)
#define KV_CODEC_INLINE
#else
#define KV_CODEC_INLINE [[gnu::always_inline]]
#endif

template <int kRingSize, int kMaxMatch>
struct LinearWindow {
  // Output between two moves to the front.
  static constexpr int kRunSpan = 32768;
  // A chunked match copy writes up to 7 bytes past the match.
  static constexpr int kCopySlack = 8;
  static constexpr int kBufferSize = kRingSize + kRunSpan + kMaxMatch + kCopySlack;
  static_assert(kRunSpan >= kRingSize, "a move must not overlap the bytes it keeps");

  // Where output starts, and where a move is due (a match that starts
  // before it may run past it by up to kMaxMatch - 1 bytes).
  static uint8_t* Start(uint8_t* buffer) { return buffer + kRingSize; }
  static uint8_t* MoveAt(uint8_t* buffer) { return buffer + kRingSize + kRunSpan; }
  // Moves the last kRingSize bytes before `out` to the front; returns the
  // new write position.
  static uint8_t* Move(uint8_t* buffer, const uint8_t* out) {
    std::memcpy(buffer, out - kRingSize, kRingSize);
    return Start(buffer);
  }
};

// Copies a match of `length` bytes from `distance` (1 or more) bytes back,
// with the result of copying one byte at a time: a match may read bytes it
// has just written (distance 1 repeats the last byte). A match at distance
// 8 or more goes 8 bytes at a time (each chunk's source was complete before
// the chunk began), which writes up to 7 bytes past it.
KV_CODEC_INLINE inline void CopyMatch(uint8_t* out, uint32_t distance, uint32_t length) {
  const uint8_t* src = out - distance;
  if (distance >= 8) {
    for (uint32_t k = 0; k < length; k += 8) {
      uint64_t chunk;
      std::memcpy(&chunk, src + k, 8);
      std::memcpy(out + k, &chunk, 8);
    }
  } else if (distance == 1) {
    std::memset(out, src[0], length);
  } else {
    for (uint32_t k = 0; k < length; ++k) out[k] = src[k];
  }
}

// The bytes written to the window and not yet handed to the session.
struct PendingOutput {
  const uint8_t* from;
  void HandOver(const uint8_t* out) {
    PutOutputBytes(from, static_cast<int32_t>(out - from));
    from = out;
  }
};

}  // namespace kv

// The RLE expander (method 1).
#pragma once

#include <cstdint>

namespace kv {

inline constexpr uint8_t RleMarker = 0x94;
// The largest count after the marker; a count n gives n - 1 copies of RunByte.
inline constexpr int RleMaxCount = 255;

// Expands the session's input until the byte source reports its end.
// Runs inside RunCodecSession, which sets up RunByte and RunCount.
void ExpandRle();

}  // namespace kv

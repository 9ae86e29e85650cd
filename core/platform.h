// The few operating-system services that the archive reader needs besides
// files: a millisecond tick count and a processor yield. One implementation
// per platform (platform_posix.cpp, platform_win32.cpp).
#pragma once

#include <cstdint>

namespace kv {

// Milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount).
uint32_t TickCount();

// Gives up the rest of the time slice (Sleep(0)).
void YieldTimeSlice();

}  // namespace kv

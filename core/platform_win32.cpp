#include <windows.h>

#include "core/platform.h"

namespace kv {

uint32_t TickCount() {
  return GetTickCount();
}

void YieldTimeSlice() {
  Sleep(0);
}

}  // namespace kv

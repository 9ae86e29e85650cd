#include <sched.h>

#include <ctime>

#include "core/platform.h"

namespace kv {

uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void YieldTimeSlice() {
  sched_yield();
}

}  // namespace kv

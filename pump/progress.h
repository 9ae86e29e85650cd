// The progress event: the byte pump calls it after every block read, and the
// archive component publishes it as OnShowProgress (archive/events.h).
#pragma once

#include <cstdint>

#include "core/event.h"

namespace kv {

using TShowProgressEvent = TEvent<int32_t& /*PercentageDone*/>;

}  // namespace kv

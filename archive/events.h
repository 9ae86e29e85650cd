// The archive component's event types, in declaration order, with their
// parameters as declared. The byte pump calls the progress event (defined
// beside it, in pump/progress.h); the component publishes all five.
#pragma once

#include <cstdint>
#include <string>

#include "core/event.h"
#include "core/stream.h"
#include "pump/progress.h"  // TShowProgressEvent

namespace kv {

// Stored with the file-name event; nothing in this system passes or inspects one.
enum class TCProcessMode : uint8_t { cpmCompress, cpmExpand };

using TFilenameCheckEvent = TEvent<std::string& /*filepath*/, TCProcessMode /*mode*/>;
using TCompressEvent = TEvent<TStream& /*dest*/, TStream& /*source*/, std::string& /*CompressID*/,
                              int32_t& /*Outputsize*/, int32_t& /*checksum*/>;
using TExpandEvent =
    TEvent<TStream& /*dest*/, TStream& /*source*/, int32_t /*Sourcesize*/, int32_t /*Destsize*/,
           const std::string& /*CompressID*/, int32_t& /*checksum*/>;
using TRecognizeEvent = TEvent<const std::string& /*CompressID*/, bool& /*recognized*/>;

}  // namespace kv

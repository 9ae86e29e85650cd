#include "launcher/launcher.h"

namespace kv {

// The one copy of the marker text in the image. Kept in a file of its own so
// that no other code can see its value and fold it into another constant.
__attribute__((used)) const uint8_t PayloadMarker[kPayloadMarkerSize] = {
    'K', 'V', 'I', '_', 'S', 'I', 'Z', 'E', kPlaceholderByte, 'X', 'X', 'X'};

}  // namespace kv

#include "codecs/lzh1.h"

#include "archive/dozirivovaze.h"

namespace kv {

// Not built yet: an entry of this method must fail loudly, never pass as
// expanded.
void ExpandLzh1(int32_t /*Destsize*/) {
  RaiseUnrecognizedCompressionMethod("LZH1 expansion is not available in this build");
}

}  // namespace kv

// Fuzz target: the RLE expander through a real codec session (codec_target.h).
#include "codecs/rle.h"
#include "fuzz/codec_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The output length follows from the input alone: Destsize plays no part.
  return kv::fuzz::RunCodecTarget(kv::kMethodRle, -1, data, size);
}

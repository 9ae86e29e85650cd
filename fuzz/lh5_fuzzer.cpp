// Fuzz target: the LH5 expander through a real codec session
// (codec_target.h), on arbitrary bytes. Most of them fail the first table
// check; lh5_structured_fuzzer.cpp reaches the block decoder's depths.
#include "codecs/lh5.h"
#include "fuzz/codec_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A final match is emitted whole: up to 255 bytes past Destsize.
  return kv::fuzz::RunCodecTarget(kv::kMethodLh5, 255, data, size);
}

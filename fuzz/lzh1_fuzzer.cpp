// Fuzz target: the LZH1 expander through a real codec session
// (codec_target.h).
#include "codecs/lzh1_model.h"
#include "fuzz/codec_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A final match is copied whole: up to 59 bytes past Destsize.
  return kv::fuzz::RunCodecTarget(kv::kMethodLzh1, kv::Lzh1MaxMatch - 1, data, size);
}

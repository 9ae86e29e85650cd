// The codec session: carries one entry's stored bytes through one codec.
//
// RunCodecSession sets up the byte pump (pump/byte_pump.h) over the
// entry's stored bytes and the destination, calls the method's expander
// from one table and makes the final flush. It belongs to the component;
// the codecs know only the pump.
#pragma once

#include <cstdint>

#include "archive/dozirivovaze.h"
#include "core/stream.h"
#include "pump/byte_pump.h"

namespace kv {

// Runs the codec of `method` (1 "RLE", 2 "LZH", 4 "LH5") over the entry's
// stored bytes, reading at most Sourcesize bytes from `source` and writing
// the output to `dest`. On a normal return `checksum` is the byte sum of the
// uncompressed data. A negative Sourcesize is an empty source. The compress
// direction (`expand` false) fails for the three codec methods.
// True for the methods that expand through a session (those with an
// expander in its table): "RLE", "LZH" and "LH5".
bool IsCodecMethod(uint8_t method);

void RunCodecSession(TKVDoziRivovaze& component, TStream& dest, TStream& source, int32_t Sourcesize,
                     int32_t Destsize, uint8_t method, uint32_t& checksum, bool expand);

}  // namespace kv

// The GoogleTest side of the kit: checks that more than one suite makes.
// Only the host tests link it (kvkit_gtest); the fuzz targets and the
// benchmarks do without.
#pragma once

#include <cstdint>
#include <vector>

namespace kv::test {

// Codes `data` with the builder's compressor for `method` (RLE, LZH1 or
// LH5) at `level` (the default when 0), expands the result through a codec
// session and expects the data back with its byte sum; returns the stored
// bytes.
std::vector<uint8_t> ExpectRoundTrip(uint8_t method, const std::vector<uint8_t>& data,
                                     int level = 0);

}  // namespace kv::test

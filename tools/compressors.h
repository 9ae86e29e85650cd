// The builder's own compressors, one per method it can write. Each returns
// the stored bytes that the component's expander of that method turns back
// into `data` exactly.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kv::tools {

using Compressor = std::vector<uint8_t> (*)(std::span<const uint8_t> data);

std::vector<uint8_t> CompressRle(std::span<const uint8_t> data);
std::vector<uint8_t> CompressLzh1(std::span<const uint8_t> data);
std::vector<uint8_t> CompressLh5(std::span<const uint8_t> data);

// The compressor for a method number, or null when the builder cannot write
// that method (3 "CUS" belongs to applications).
Compressor CompressorFor(uint8_t method);

}  // namespace kv::tools

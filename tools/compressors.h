// The builder's own compressors, one per method it can write. Each returns
// the stored bytes that the component's expander of that method turns back
// into `data` exactly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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

// Receives stored bytes as a compressor makes them; the span is valid only
// during the call.
using ByteSink = std::function<void(std::span<const uint8_t>)>;

// A compressor fed its input in pieces, which hands its output to a sink as
// it goes. The stored bytes do not depend on how the input was cut: feeding
// the same bytes in any pieces, then calling Finish once, gives the sink
// exactly what the method's whole-input compressor returns. Feed may not be
// called after Finish.
class StreamCompressor {
 public:
  virtual ~StreamCompressor() = default;
  virtual void Feed(std::span<const uint8_t> data) = 0;
  // Codes what is left and passes the last bytes to the sink.
  virtual void Finish() = 0;
};

// The streaming compressor for a method, or null as for CompressorFor. The
// LH5 one holds a bounded amount whatever the input's size
// (about 14 x kLh5Segment); RLE and LZH still gather the whole input and code it
// at Finish.
std::unique_ptr<StreamCompressor> StreamCompressorFor(uint8_t method, ByteSink sink);

// The LH5 streaming compressor.
std::unique_ptr<StreamCompressor> MakeLh5Compressor(ByteSink sink);

// Bytes of input the LH5 compressor codes at a time (after the window of
// history it keeps); a block never spans two such segments.
inline constexpr size_t kLh5Segment = size_t{1} << 20;

}  // namespace kv::tools

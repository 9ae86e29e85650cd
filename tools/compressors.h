// The builder's own compressors, one per method it can write. Each makes the
// stored bytes that the component's expander of that method turns back into
// the input exactly.
//
// Levels follow the habit of gzip: 1 is the fastest, 9 the smallest output,
// kDefaultLevel a fast one. RLE has one way of coding and ignores the level.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace kv::tools {

inline constexpr int kMinLevel = 1;
inline constexpr int kMaxLevel = 9;
inline constexpr int kDefaultLevel = 5;

// Receives stored bytes as a compressor makes them; the span is valid only
// during the call.
using ByteSink = std::function<void(std::span<const uint8_t>)>;

// A compressor fed its input in pieces, which hands its output to a sink as
// it goes and holds a bounded amount of memory whatever the input's size.
// The stored bytes do not depend on how the input was cut: feeding the same
// bytes in any pieces, then calling Finish once, gives the sink exactly what
// the method's whole-input function returns. Feed may not be called after
// Finish.
class StreamCompressor {
 public:
  virtual ~StreamCompressor() = default;
  virtual void Feed(std::span<const uint8_t> data) = 0;
  // Codes what is left and passes the last bytes to the sink.
  virtual void Finish() = 0;
};

// The compressors, each at a level; the method table (methods.h) names them.
std::unique_ptr<StreamCompressor> MakeRleCompressor(int level, ByteSink sink);  // one level only
std::unique_ptr<StreamCompressor> MakeLzh1Compressor(int level, ByteSink sink);
std::unique_ptr<StreamCompressor> MakeLh5Compressor(int level, ByteSink sink);

// The streaming compressor of a method number's row in the method table at
// `level` (clamped to kMinLevel..kMaxLevel), or null when the builder
// cannot write that method (0 "NON" is not a compression; 3 "CUS" belongs
// to applications).
std::unique_ptr<StreamCompressor> StreamCompressorFor(uint8_t method, int level, ByteSink sink);

// Whole-input forms of the same compressors, for tests and small inputs.
using Compressor = std::vector<uint8_t> (*)(std::span<const uint8_t> data, int level);
std::vector<uint8_t> CompressRle(std::span<const uint8_t> data, int level = kDefaultLevel);
std::vector<uint8_t> CompressLzh1(std::span<const uint8_t> data, int level = kDefaultLevel);
std::vector<uint8_t> CompressLh5(std::span<const uint8_t> data, int level = kDefaultLevel);

// The whole-input compressor of a method number's row, or null as above.
Compressor CompressorFor(uint8_t method);

// Bytes of input the LH5 compressor codes at a time (after the window of
// history it keeps); a block never spans two such segments.
inline constexpr size_t kLh5Segment = size_t{1} << 20;

}  // namespace kv::tools

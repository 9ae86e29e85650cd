#include "tools/compressors.h"

#include <algorithm>

#include "archive/records.h"
#include "codecs/rle.h"

namespace kv::tools {

// RLE, written the way the expander reads it: the expander repeats RunByte,
// the first byte of the previous step (0x94 after an escape), so a run of X
// is X itself followed by escapes "0x94 n" for n - 1 further copies, and a
// run that follows an escape or the start (RunByte 0) may begin with an
// escape straight away. An escape costs two bytes; it is used wherever it
// saves bytes over literals (a literal 0x94 costs two as well).
std::vector<uint8_t> CompressRle(std::span<const uint8_t> data) {
  constexpr size_t kMaxCopies = RleMaxCount - 1;
  std::vector<uint8_t> out;
  out.reserve(data.size() + data.size() / 64 + 16);
  uint8_t run_byte = 0;
  size_t i = 0;
  while (i < data.size()) {
    const uint8_t b = data[i];
    size_t run = 1;
    while (i + run < data.size() && data[i + run] == b && run < kMaxCopies) ++run;
    const size_t literal_cost = b == RleMarker ? 2 : 1;
    if (b == run_byte && run * literal_cost > 2) {
      out.push_back(RleMarker);
      out.push_back(static_cast<uint8_t>(run + 1));
      run_byte = RleMarker;
      i += run;
      continue;
    }
    out.push_back(b);
    if (b == RleMarker) out.push_back(0);
    run_byte = b;
    ++i;
  }
  return out;
}

Compressor CompressorFor(uint8_t method) {
  switch (method) {
    case kMethodRle:
      return CompressRle;
    case kMethodLzh1:
      return CompressLzh1;
    case kMethodLh5:
      return CompressLh5;
    default:
      return nullptr;
  }
}

namespace {

// A whole-input compressor behind the streaming interface: gathers what it
// is fed and codes it all at Finish.
class GatheringCompressor final : public StreamCompressor {
 public:
  GatheringCompressor(Compressor compress, ByteSink sink)
      : compress_(compress), sink_(std::move(sink)) {}
  void Feed(std::span<const uint8_t> data) override {
    input_.insert(input_.end(), data.begin(), data.end());
  }
  void Finish() override {
    const std::vector<uint8_t> out = compress_(input_);
    input_.clear();
    input_.shrink_to_fit();
    if (!out.empty()) sink_(out);
  }

 private:
  Compressor compress_;
  ByteSink sink_;
  std::vector<uint8_t> input_;
};

}  // namespace

std::unique_ptr<StreamCompressor> StreamCompressorFor(uint8_t method, ByteSink sink) {
  if (method == kMethodLh5) return MakeLh5Compressor(std::move(sink));
  const Compressor compress = CompressorFor(method);
  if (compress == nullptr) return nullptr;
  return std::make_unique<GatheringCompressor>(compress, std::move(sink));
}

}  // namespace kv::tools

#include "tools/compressors.h"

#include <algorithm>

#include "archive/records.h"
#include "codecs/rle.h"

namespace kv::tools {
namespace {

// RLE, written the way the expander reads it: the expander repeats RunByte,
// the first byte of the previous step (0x94 after an escape), so a run of X
// is X itself followed by escapes "0x94 n" for n - 1 further copies, and a
// run that follows an escape or the start (RunByte 0) may begin with an
// escape straight away. An escape costs two bytes; it is used wherever it
// saves bytes over literals (a literal 0x94 costs two as well).
//
// Growth: a byte other than 0x94 costs one byte, a lone 0x94 two, and a run
// of 0x94 costs two for its first byte plus two for every 254 or fewer
// after it. Random data therefore grows by about 1/256 (its 0x94 bytes). The
// worst case is "0x94 0x94 X" repeated, five bytes for three, so n bytes of
// input give at most ceil(5n/3) (RleCoderTest checks this over every
// short input of the bytes that matter).
//
// Streaming: the bytes of the run being read are only counted. A decision
// needs the run's length from where it stands up to kMaxCopies, so it is
// taken when the run ends, at Finish, or once more than kMaxCopies are
// counted; that is the same choice as with the whole input in view.
class RleCompressor final : public StreamCompressor {
 public:
  explicit RleCompressor(ByteSink sink) : sink_(std::move(sink)) { out_.reserve(kFlushAt + 4); }

  void Feed(std::span<const uint8_t> data) override {
    for (const uint8_t b : data) {
      if (count_ > 0 && b != byte_) Drain(0);
      byte_ = b;
      if (++count_ > kMaxCopies) Drain(kMaxCopies);
    }
  }

  void Finish() override {
    Drain(0);
    if (!out_.empty()) sink_(out_);
    out_.clear();
  }

 private:
  static constexpr size_t kMaxCopies = RleMaxCount - 1;
  static constexpr size_t kFlushAt = size_t{1} << 16;

  // Takes steps until at most `keep` counted bytes are left.
  void Drain(size_t keep) {
    while (count_ > keep) {
      const size_t run = std::min(count_, kMaxCopies);
      const size_t literal_cost = byte_ == RleMarker ? 2 : 1;
      if (byte_ == run_byte_ && run * literal_cost > 2) {
        out_.push_back(RleMarker);
        out_.push_back(static_cast<uint8_t>(run + 1));
        run_byte_ = RleMarker;
        count_ -= run;
      } else {
        out_.push_back(byte_);
        if (byte_ == RleMarker) out_.push_back(0);
        run_byte_ = byte_;
        --count_;
      }
    }
    if (out_.size() >= kFlushAt) {
      sink_(out_);
      out_.clear();
    }
  }

  ByteSink sink_;
  std::vector<uint8_t> out_;
  uint8_t run_byte_ = 0;
  uint8_t byte_ = 0;
  size_t count_ = 0;
};

}  // namespace

std::unique_ptr<StreamCompressor> MakeRleCompressor(int, ByteSink sink) {
  return std::make_unique<RleCompressor>(std::move(sink));
}

std::vector<uint8_t> CompressRle(std::span<const uint8_t> data, int level) {
  return CompressorFor(kMethodRle)(data, level);
}
std::vector<uint8_t> CompressLzh1(std::span<const uint8_t> data, int level) {
  return CompressorFor(kMethodLzh1)(data, level);
}
std::vector<uint8_t> CompressLh5(std::span<const uint8_t> data, int level) {
  return CompressorFor(kMethodLh5)(data, level);
}

}  // namespace kv::tools

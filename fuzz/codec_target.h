// The body shared by the three expander targets: one codec session over
// arbitrary stored bytes, exactly as ExpandEntry runs it.
//
// Input: byte 0 configures the run, bytes 1-4 are Destsize (little-endian,
// clamped to kOutputCap; negative values pass unchanged), the rest are the
// stored bytes.
//   bit 0     a progress handler is assigned; bits 1-2 make it refuse at the
//             1st, 2nd or 3rd report (0: never)
//   bit 3     Sourcesize claims 1000 bytes more than there are, so the source
//             ends early
//   bit 4     the source delivers short reads (at most 100 bytes each)
//
// Checked after every run that raised nothing: the session's checksum is the
// byte sum of what reached the destination; no more than Sourcesize bytes
// were read; and for the expanders that run to Destsize (LZH1, LH5) the
// output is empty for Destsize <= 0, otherwise at least Destsize bytes and at
// most one longest match more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/codec_session.h"
#include "archive/dozirivovaze.h"
#include "fuzz/fuzz_util.h"

namespace kv::fuzz {

// A memory source whose reads may come short.
class ShortReadSource final : public TStream {
 public:
  ShortReadSource(const uint8_t* data, size_t size, int32_t max_read)
      : bytes_(std::vector<uint8_t>(data, data + size)), max_read_(max_read) {}

  int32_t Read(void* buffer, int32_t count) override {
    return bytes_.Read(buffer, std::min(count, max_read_));
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t offset, SeekOrigin origin) override { return bytes_.Seek(offset, origin); }
  int64_t Size() override { return bytes_.Size(); }

 private:
  TMemoryStream bytes_;
  int32_t max_read_;
};

class RefusingProgress {
 public:
  explicit RefusingProgress(int refuse_at) : refuse_at_(refuse_at) {}
  void Report(int32_t& PercentageDone) {
    if (PercentageDone < 0 || PercentageDone > 100) Fail();
    if (++reports_ == refuse_at_) PercentageDone = -1;
  }

 private:
  int refuse_at_;
  int reports_ = 0;
};

// `overrun`: how far past Destsize the expander may write (its longest
// match minus one), or -1 for an expander that ignores Destsize.
inline int RunCodecTarget(uint8_t method, int overrun, const uint8_t* data, size_t size) {
  InputBytes in(data, size);
  const uint8_t options = in.Byte();
  const int32_t destsize = CappedDestsize(in.Le32());
  const auto stored_size = static_cast<int32_t>(in.RestSize());
  const int32_t sourcesize = (options & 0x08) ? stored_size + 1000 : stored_size;

  TKVDoziRivovaze component(nullptr);
  RefusingProgress progress((options >> 1) & 3);
  if (options & 0x01)
    component.SetOnShowProgress(TShowProgressEvent::Bind<&RefusingProgress::Report>(&progress));
  ShortReadSource source(in.Rest(), in.RestSize(), (options & 0x10) ? 100 : CodecBlockSize);
  // Room for the longest legitimate output: Destsize plus one match.
  CappedSink dest(int64_t{kOutputCap} + 512);
  uint32_t checksum = 0;
  try {
    RunCodecSession(component, dest, source, sourcesize, destsize, method, checksum, true);
  } catch (const Exception&) {
    return 0;  // a named failure: a bad table, or a sink that is full
  }
  if (checksum != dest.Sum()) Fail();
  if (source.Position() > std::max(sourcesize, 0)) Fail();
  if (overrun >= 0) {
    if (destsize <= 0 && dest.Size() != 0) Fail();
    if (destsize > 0 && (dest.Size() < destsize || dest.Size() > int64_t{destsize} + overrun))
      Fail();
  }
  return 0;
}

}  // namespace kv::fuzz

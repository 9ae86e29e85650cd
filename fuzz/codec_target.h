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
// Checked after every run: each progress report lies in 0..100. After every
// run that raised nothing besides: the session's checksum is the
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

// `overrun`: how far past Destsize the expander may write (its longest
// match minus one), or -1 for an expander that ignores Destsize.
inline int RunCodecTarget(uint8_t method, int overrun, const uint8_t* data, size_t size) {
  InputBytes in(data, size);
  const uint8_t options = in.Byte();
  const int32_t destsize = CappedDestsize(in.Le32());
  const auto stored_size = static_cast<int32_t>(in.RestSize());
  const int32_t sourcesize = (options & 0x08) ? stored_size + 1000 : stored_size;

  TKVDoziRivovaze component(nullptr);
  test::ProgressLog progress;
  progress.refuse_at = ((options >> 1) & 3) - 1;
  if (options & 0x01) component.SetOnShowProgress(progress.Event());
  test::TestStream source(std::vector<uint8_t>(in.Rest(), in.Rest() + in.RestSize()),
                          (options & 0x10) ? 100 : CodecBlockSize);
  // Room for the longest legitimate output: Destsize plus one match.
  test::CountingSink dest(int64_t{kOutputCap} + 512);
  uint32_t checksum = 0;
  bool failed = false;
  try {
    RunCodecSession(component, dest, source, sourcesize, destsize, method, checksum, true);
  } catch (const Exception&) {
    failed = true;  // a named failure: a bad table, or a sink that is full
  }
  for (const int32_t p : progress.reports)
    if (p < 0 || p > 100) Fail();
  if (failed) return 0;
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

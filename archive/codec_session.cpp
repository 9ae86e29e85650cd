#include "archive/codec_session.h"

#include <algorithm>
#include <memory>

#include "codecs/lh5.h"
#include "codecs/lzh1.h"
#include "codecs/rle.h"
#include "pump/failures.h"

namespace kv {
namespace {

void ExpandRleIgnoringSize(int32_t /*Destsize*/) {
  ExpandRle();
}

// Method number -> its expander and the compress direction's refusal.
// Methods 0 and 3 never reach the session and have no entry.
struct CodecMethod {
  void (*expand)(int32_t Destsize);
  const char* disabled_message;
};

constexpr CodecMethod kCodecMethods[kMethodCount] = {
    {nullptr, nullptr},
    {ExpandRleIgnoringSize, "RLE compression disabled in this build"},
    {ExpandLzh1, "LZH1 compression disabled in this build"},
    {nullptr, nullptr},
    {ExpandLh5, "LZH5 compression disabled in this build"},
};

// Detaches the record from the buffers and streams when the session ends,
// on every path, so nothing dangles between sessions.
struct SessionReset {
  ~SessionReset() { CodecSession = CodecSessionRecord{}; }
};

}  // namespace

bool IsCodecMethod(uint8_t method) {
  return method < kMethodCount && kCodecMethods[method].expand != nullptr;
}

void RunCodecSession(TKVDoziRivovaze& component, TStream& dest, TStream& source, int32_t Sourcesize,
                     int32_t Destsize, uint8_t method, uint32_t& checksum, bool expand) {
  SessionReset reset;
  CodecSessionRecord& s = CodecSession;
  // A fresh record: EndOfInput lowered, RunByte and RunCount 0, both sums 0.
  s = CodecSessionRecord{};
  s.ProgressHandler = component.OnShowProgress();
  s.SourceStream = &source;
  s.DestStream = &dest;
  auto input = std::make_unique<uint8_t[]>(CodecBlockSize);
  auto output = std::make_unique<uint8_t[]>(CodecBlockSize);
  s.InputBuffer = input.get();
  s.InputPos = s.InputEnd = s.InputBuffer;
  s.OutputBuffer = output.get();
  s.SourceRemaining = std::max(Sourcesize, 0);
  s.ReadSize = CodecBlockSize;
  s.OutputBudget = expand ? kExpandOutputBudget : Sourcesize - component.CompressionReserve;
  ArmOutput();

  const CodecMethod* codec = method < kMethodCount && kCodecMethods[method].expand != nullptr
                                 ? &kCodecMethods[method]
                                 : nullptr;
  if (expand) {
    if (codec) codec->expand(Destsize);
  } else {
    if (codec) RaiseUnrecognizedCompressionMethod(codec->disabled_message);
    SumHandedOutInput();
  }
  // The final flush, only on a normal return; an empty block writes nothing.
  WriteOutputBlock();
  checksum = expand ? s.OutputSum : s.InputSum;
}

}  // namespace kv

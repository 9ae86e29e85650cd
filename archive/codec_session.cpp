#include "archive/codec_session.h"

#include <algorithm>
#include <memory>

#include "codecs/lh5.h"
#include "codecs/lzh1.h"
#include "codecs/rle.h"
#include "core/bytes.h"
#include "core/platform.h"

namespace kv {

CodecSessionRecord CodecSession;

namespace {

using Expander = void (*)(int32_t Destsize);

void ExpandRleIgnoringSize(int32_t /*Destsize*/) {
  ExpandRle();
}

// Method number -> expander. Methods 0 and 3 never reach the session.
constexpr Expander kExpanders[kMethodCount] = {nullptr, ExpandRleIgnoringSize, ExpandLzh1, nullptr,
                                               ExpandLh5};

const char* const kDisabledMessages[kMethodCount] = {
    nullptr, "RLE compression disabled in this build", "LZH1 compression disabled in this build",
    nullptr, "LZH5 compression disabled in this build"};

// Adds the bytes handed out from the current input block to InputSum.
void SumHandedOutInput() {
  CodecSessionRecord& s = CodecSession;
  s.InputSum = ByteSum(s.InputBuffer, static_cast<size_t>(s.InputPos - s.InputBuffer), s.InputSum);
}

// Sums and writes the bytes taken since the last flush, in one write-all call.
void WriteOutputBlock() {
  CodecSessionRecord& s = CodecSession;
  const auto n = static_cast<int32_t>(s.OutputPos - s.OutputBuffer);
  s.OutputSum = ByteSum(s.OutputBuffer, static_cast<size_t>(n), s.OutputSum);
  s.DestStream->WriteBuffer(s.OutputBuffer, n);
}

void ArmOutput() {
  CodecSessionRecord& s = CodecSession;
  s.OutputPos = s.OutputBuffer;
  s.OutputLimit = s.OutputBuffer + std::clamp(s.OutputBudget, 0, CodecBlockSize);
}

// Detaches the record from the buffers and streams when the session ends,
// on every path, so nothing dangles between sessions.
struct SessionReset {
  ~SessionReset() { CodecSession = CodecSessionRecord{}; }
};

}  // namespace

int32_t ProgressPercent(int32_t done, int32_t total) {
  if (total <= 100000) return done * 100 / total;
  return done / (total / 100);
}

bool RefillInput() {
  CodecSessionRecord& s = CodecSession;
  s.EndOfInput = true;
  SumHandedOutInput();
  s.InputPos = s.InputEnd = s.InputBuffer;
  if (s.SourceRemaining == 0) return false;
  if (s.ReadSize > s.SourceRemaining) s.ReadSize = s.SourceRemaining;
  const int32_t n = s.SourceStream->Read(s.InputBuffer, s.ReadSize);
  s.SourceRemaining -= n;
  if (n <= 0) return false;
  s.InputEnd = s.InputBuffer + n;
  if (s.ProgressHandler) {
    s.BytesRead += n;
    int32_t percentage_done = ProgressPercent(s.BytesRead, s.BytesRead + s.SourceRemaining);
    s.ProgressHandler(percentage_done);
    // The refusal: the block stays buffered, the flag stays raised.
    if (percentage_done == -1) return false;
  }
  YieldTimeSlice();
  s.EndOfInput = false;
  return true;
}

void MakeOutputRoom() {
  CodecSessionRecord& s = CodecSession;
  const int32_t left = OutputBudgetLeft();
  if (left <= 0) RaiseUnableToCompress();
  // With budget left, the limit was the block end: the buffer is full.
  YieldTimeSlice();
  WriteOutputBlock();
  s.OutputBudget = left;
  ArmOutput();
}

void RunCodecSession(TKVDoziRivovaze& component, TStream& dest, TStream& source, int32_t Sourcesize,
                     int32_t Destsize, uint8_t method, uint32_t& checksum, bool expand) {
  SessionReset reset;
  CodecSessionRecord& s = CodecSession;
  s = CodecSessionRecord{};
  s.ProgressHandler = component.OnShowProgress();
  s.SourceStream = &source;
  s.DestStream = &dest;
  auto input = std::make_unique<uint8_t[]>(CodecBlockSize);
  auto output = std::make_unique<uint8_t[]>(CodecBlockSize);
  s.InputBuffer = input.get();
  s.InputPos = s.InputEnd = s.InputBuffer;
  s.OutputBuffer = output.get();
  s.OutputEnd = s.OutputBuffer + CodecBlockSize;
  s.EndOfInput = false;
  s.RunByte = 0;
  s.RunCount = 0;
  s.SourceRemaining = std::max(Sourcesize, 0);
  s.ReadSize = CodecBlockSize;
  s.OutputBudget = expand ? kExpandOutputBudget : Sourcesize - component.CompressionReserve;
  ArmOutput();

  const bool codec_method = method < kMethodCount && kDisabledMessages[method] != nullptr;
  if (expand) {
    if (codec_method) kExpanders[method](Destsize);
  } else {
    if (codec_method) RaiseUnrecognizedCompressionMethod(kDisabledMessages[method]);
    SumHandedOutInput();
  }
  // The final flush, only on a normal return; an empty block writes nothing.
  WriteOutputBlock();
  checksum = expand ? s.OutputSum : s.InputSum;
}

}  // namespace kv

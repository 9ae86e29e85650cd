#include "pump/byte_pump.h"

#include <algorithm>

#include "core/bytes.h"
#include "core/platform.h"
#include "pump/failures.h"

namespace kv {

CodecSessionRecord CodecSession;

void SumHandedOutInput() {
  CodecSessionRecord& s = CodecSession;
  s.InputSum = ByteSum(s.InputBuffer, static_cast<size_t>(s.InputPos - s.InputBuffer), s.InputSum);
}

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

}  // namespace kv

// The byte pump: the codec session's record, its byte source and its sink.
//
// The session (archive/codec_session.h) owns the buffers, the byte sums, the
// output budget, progress and yields; a codec is a plain function that pulls
// stored bytes through GetInputByte, pushes expanded bytes through
// PutOutputByte and reads EndOfInput. Codecs include this header and
// pump/failures.h, never the component: they never see a stream or the
// component, only the pump.
//
// The session record is module-wide (CodecSession), like the codecs' work
// areas: one session runs at a time in a process, and a progress handler must
// not start another extraction.
//
// The byte source and sink run once per byte. Their fast paths are here, in
// the header, so that they inline into the codec loops: one compare, one load
// or store, one pointer increment. Refill and flush are out of line.
//
// When a byte is fetched is observable (progress calls, a refusal, where the
// source stops), so codecs must fetch exactly when their format rules say.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/stream.h"
#include "pump/progress.h"

namespace kv {

inline constexpr int32_t CodecBlockSize = 8192;
inline constexpr int32_t kExpandOutputBudget = 0x7FFFFFFF;

struct CodecSessionRecord {
  TShowProgressEvent ProgressHandler;  // copy of the component's OnShowProgress
  TStream* SourceStream = nullptr;     // not owned
  TStream* DestStream = nullptr;       // not owned

  // Input side: [InputPos, InputEnd) are the bytes not yet handed out.
  uint8_t* InputBuffer = nullptr;
  const uint8_t* InputPos = nullptr;
  const uint8_t* InputEnd = nullptr;

  // Output side: [OutputBuffer, OutputPos) are taken and not yet written.
  // The sink's fast path compares OutputPos with OutputLimit alone: the limit
  // is the block's end (OutputBuffer + CodecBlockSize), or the point inside
  // this block at which the budget runs out.
  uint8_t* OutputBuffer = nullptr;
  uint8_t* OutputPos = nullptr;
  uint8_t* OutputLimit = nullptr;

  bool EndOfInput = false;  // raised on every refill, lowered after an accepted one
  int32_t SourceRemaining = 0;
  int32_t ReadSize = 0;
  int32_t BytesRead = 0;  // counted only while a progress handler is set

  // Both sums are brought up to date block by block (the input side at each
  // refill, the output side at each flush) and are exact when the session
  // ends normally.
  uint32_t InputSum = 0;
  uint32_t OutputSum = 0;

  // Bytes the sink may still take, counted from the start of the current
  // output block; OutputBudgetLeft() is the figure at OutputPos.
  int32_t OutputBudget = 0;

  // The RLE expander's state, which the session sets up.
  uint8_t RunByte = 0;
  int32_t RunCount = 0;
};

extern CodecSessionRecord CodecSession;

// done * 100 / total for totals up to 100000, done / (total / 100) above.
int32_t ProgressPercent(int32_t done, int32_t total);

// Slow paths of the byte source and sink.
bool RefillInput();     // true when a byte is ready to hand out
void MakeOutputRoom();  // flushes a full block, or raises when the budget is spent

// For the session driver: sets OutputPos and OutputLimit for a new block;
// adds the bytes handed out of the current input block to InputSum; sums
// and writes the bytes taken since the last flush, in one write-all call.
void ArmOutput();
void SumHandedOutInput();
void WriteOutputBlock();

inline int32_t OutputBudgetLeft() {
  return CodecSession.OutputBudget -
         static_cast<int32_t>(CodecSession.OutputPos - CodecSession.OutputBuffer);
}

// The next stored byte, or 0 with EndOfInput raised when there is none.
inline uint8_t GetInputByte() {
  CodecSessionRecord& s = CodecSession;
  if (s.InputPos == s.InputEnd) [[unlikely]] {
    if (!RefillInput()) return 0;
  }
  return *s.InputPos++;
}

inline bool EndOfInput() {
  return CodecSession.EndOfInput;
}

// The run of stored bytes that GetInputByte would hand out before its next
// refill: [InputPos, InputEnd), or nothing while EndOfInput is raised. Those
// bytes were read from the source already, so taking them one by one through
// a cursor of the codec's own, in a register, is the same as taking them
// through GetInputByte: nothing observable happens until the next refill. A
// codec that borrows the run fetches from it exactly when its bit reader's
// rule says, never earlier, and gives the position back (ReturnInputRun)
// before it calls GetInputByte or anything else that reads InputPos; in
// particular before it fetches past the run's end, which is a refill.
struct InputRun {
  const uint8_t* pos;
  const uint8_t* end;
};

inline InputRun BorrowInputRun() {
  const CodecSessionRecord& s = CodecSession;
  return {s.InputPos, s.EndOfInput ? s.InputPos : s.InputEnd};
}

inline void ReturnInputRun(const uint8_t* pos) {
  CodecSession.InputPos = pos;
}

// Appends one byte to the output.
inline void PutOutputByte(uint8_t b) {
  CodecSessionRecord& s = CodecSession;
  if (s.OutputPos == s.OutputLimit) [[unlikely]]
    MakeOutputRoom();
  *s.OutputPos++ = b;
}

// Appends the n bytes at p (n >= 0) exactly as n calls of PutOutputByte
// would: the budget runs out, and a full block is written, at the same byte.
// Codecs that keep their output in a window of their own (LZH1, LH5) hand
// it over here in pieces instead of paying the sink's compare per byte; they
// do so before their next fetch that may refill, so that the session's
// observable points fall where one PutOutputByte per byte would put them.
inline void PutOutputBytes(const uint8_t* p, int32_t n) {
  CodecSessionRecord& s = CodecSession;
  while (n > 0) {
    if (s.OutputPos == s.OutputLimit) [[unlikely]]
      MakeOutputRoom();
    const auto room = static_cast<int32_t>(s.OutputLimit - s.OutputPos);
    const int32_t k = n < room ? n : room;
    std::memcpy(s.OutputPos, p, static_cast<size_t>(k));
    s.OutputPos += k;
    p += k;
    n -= k;
  }
}

}  // namespace kv

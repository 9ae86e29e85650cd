// LH5 expander.
//
// The stored data is a bit stream, most significant bit first, of blocks
// with no separator and no end marker. Each block starts with a head: a
// 16-bit count of character codes (0 meaning 65536), then three code-length
// lists that define canonical Huffman codes: the 19-symbol code-length
// alphabet, the 510 characters (sent with the code-length code and its three
// zero-run symbols) and the 14 position symbols. The codes follow: a
// character below 256 is a literal byte; character c >= 256 is a match of
// c - 253 bytes (3..256), followed by a position code j and j - 1 extra bits
// that give the distance minus one (0..8191). Matches reach back into an
// 8192-byte window that starts out filled with 0x20 and runs on across
// blocks. The expander stops after the code that brings the output to
// Destsize bytes; a final match is emitted whole.
//
// Bit reader. Lh5State holds the reader the way the format describes it:
// BitBuf, the next 16 unconsumed bits, and SubBits/SubCount, the bits of the
// last fetched byte that have not yet moved into BitBuf. A byte is fetched
// exactly when a consume needs more bits than SubCount holds, so after C bits
// have been consumed, ceil((16 + C) / 8) bytes have been fetched: never a
// byte earlier. Once EndOfInput is raised no byte is fetched any more and
// every further bit is 0. The block heads are read through Lh5FillBits and
// Lh5GetBits on Lh5State itself; the code loop keeps the same bits in
// registers (Lh5BitCursor: `bits` left-aligned, `count` = 16 + SubCount valid
// bits) and hands them back to Lh5State around each head. Both views fetch
// the same bytes at the same codes, which is what the session can observe
// (progress calls, a refusal, where the source stops).
//
// Why the code loop is fast. It borrows the session's input run (the bytes
// of the current input block not yet handed out) and runs n items at a time
// with no test but the count: n is bounded so that those items can neither
// fetch past the run (kLh5MaxItemFetch bytes each), nor start at or past the
// loop's bound, nor leave the block. Inside them a fetch is a load and an
// increment, and a consume tops the bits up by one or two bytes without a
// loop. Near the run's end each item goes alone through the checked fetch,
// which refills through the session. A position code and its extra bits are
// consumed at once when they fit the 16 valid bits: the same bytes are
// fetched, and nothing is observable between the two consumes.
//
// Window and output: the 8192-byte ring is a LinearWindow (codecs/window.h)
// whose first 8192 bytes start as 0x20, the ring's initial content. The
// bytes go to the session in one PutOutputBytes call before anything the
// session or the caller can observe: before an item that may refill, before
// a block head (which may refill or refuse a table), before the window
// moves, and at the end. So every refill, progress call, refusal and
// failure finds the sink holding exactly the bytes of the items decoded
// before it, as with a PutOutputByte per byte.
//
// Tables are rebuilt at every head by Lh5BuildTable (lh5_table.h), which
// refuses incomplete or over-full codes before it writes, so every lookup and
// every tree walk stays inside the work areas whatever the input. Three more
// refusals close the remaining ways out of the tables: a length list whose
// lengths exceed 16, a character list that runs past 510 lengths, and a
// single-code value outside its alphabet.
#include "codecs/lh5.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <memory>

#include "codecs/lh5_table.h"
#include "codecs/window.h"
#include "pump/byte_pump.h"
#include "pump/failures.h"

namespace kv {
namespace {

using Lh5Window = LinearWindow<kLh5WindowSize, kLh5MaxMatch>;

// The work areas of one expansion, allocated together and not cleared.
struct Lh5WorkAreas {
  uint8_t Lh5Ring[Lh5Window::kBufferSize];
  uint16_t CharTable[kLh5CharTableSize];
  uint16_t AuxTable[kLh5AuxTableSize];
  uint16_t TreeLeft[kLh5TreeSize];
  uint16_t TreeRight[kLh5TreeSize];
  uint8_t CharLen[kLh5CharCount];
  uint8_t AuxLen[kLh5AuxLenSize];
};

// The expander's state; one expansion runs at a time in a process.
struct Lh5StateRecord {
  uint16_t BitBuf = 0;   // the next 16 unconsumed bits; bit 15 is the next one
  uint8_t SubBits = 0;   // bits of the last fetched byte not yet in BitBuf, left-aligned
  uint8_t SubCount = 0;  // 0..8 valid bits in SubBits
  uint16_t BlockLeft = 0;
  Lh5WorkAreas* Areas = nullptr;  // set only while an expansion runs
};

Lh5StateRecord Lh5State;

// Owns the work areas for the length of one expansion and detaches the state
// from them on every way out.
class Lh5WorkAreaScope {
 public:
  Lh5WorkAreaScope() : areas_(std::make_unique_for_overwrite<Lh5WorkAreas>()) {
    Lh5State = Lh5StateRecord{};
    Lh5State.Areas = areas_.get();
  }
  ~Lh5WorkAreaScope() { Lh5State = Lh5StateRecord{}; }
  Lh5WorkAreaScope(const Lh5WorkAreaScope&) = delete;
  Lh5WorkAreaScope& operator=(const Lh5WorkAreaScope&) = delete;
  Lh5WorkAreas& Areas() { return *areas_; }

 private:
  std::unique_ptr<Lh5WorkAreas> areas_;
};

Lh5Tree TreeOf(Lh5WorkAreas& w) {
  return Lh5Tree{w.TreeLeft, w.TreeRight};
}

// The next stored byte for the bit reader: 0, without asking the session,
// once EndOfInput is raised.
[[gnu::always_inline]] inline uint8_t Lh5FetchByte() {
  return EndOfInput() ? uint8_t{0} : GetInputByte();
}

// --- The bit reader on Lh5State (block heads) ------------------------------

// Drops the top n bits (0..17) of BitBuf and moves n new bits in from below.
void Lh5FillBits(int n) {
  Lh5StateRecord& st = Lh5State;
  assert(n >= 0 && n <= 17 && st.SubCount <= 8);
  while (n > st.SubCount) {
    n -= st.SubCount;
    st.BitBuf =
        static_cast<uint16_t>((st.BitBuf << st.SubCount) | (st.SubBits >> (8 - st.SubCount)));
    st.SubBits = Lh5FetchByte();
    st.SubCount = 8;
  }
  st.SubCount = static_cast<uint8_t>(st.SubCount - n);
  st.BitBuf = static_cast<uint16_t>((st.BitBuf << n) | (st.SubBits >> (8 - n)));
  st.SubBits = static_cast<uint8_t>(st.SubBits << n);
}

// The next n bits (0..16), first bit most significant, consumed.
unsigned Lh5GetBits(int n) {
  assert(n >= 0 && n <= 16);
  const unsigned v = n == 0 ? 0u : static_cast<unsigned>(Lh5State.BitBuf >> (16 - n));
  Lh5FillBits(n);
  return v;
}

// Reads the code-length list (19, 5, 3) or the position list (14, 4, none)
// into AuxLen and builds AuxTable.
void Lh5ReadAuxLengths(int SymbolCount, int CountBits, int ZeroRunIndex) {
  Lh5WorkAreas& w = *Lh5State.Areas;
  const int n = static_cast<int>(Lh5GetBits(CountBits));
  if (n == 0) {
    Lh5SingleCodeTable(Lh5GetBits(CountBits), SymbolCount, w.AuxLen, w.AuxTable, kLh5AuxTableSize);
    return;
  }
  int i = 0;
  while (i < n) {
    // A 3-bit length; 7 is continued by a run of 1 bits ended by a 0 bit.
    // The run is looked for only in the 13 bits BitBuf holds below the first
    // three: 13 one bits end it as a 0 bit would, so c is at most 20 and the
    // consume below at most 17 bits, the most that Lh5FillBits takes. Such
    // a length (above 16) then fails in Lh5BuildTable.
    int c = Lh5State.BitBuf >> 13;
    if (c == 7) {
      for (unsigned mask = 1u << 12; mask != 0 && (Lh5State.BitBuf & mask) != 0; mask >>= 1) ++c;
    }
    Lh5FillBits(c < 7 ? 3 : c - 3);
    w.AuxLen[i++] = static_cast<uint8_t>(c);  // i < n <= kLh5AuxLenSize
    if (i == ZeroRunIndex) {
      for (unsigned z = Lh5GetBits(2); z > 0; --z) w.AuxLen[i++] = 0;
    }
  }
  for (; i < SymbolCount; ++i) w.AuxLen[i] = 0;
  // Lengths past SymbolCount were read only to consume their bits; a length
  // above 16 among the others is refused by the builder.
  Lh5BuildTable(SymbolCount, w.AuxLen, kLh5AuxTableBits, w.AuxTable, TreeOf(w));
}

// Writes r zero lengths from CharLen[i]; refuses a run past the 510th.
int Lh5ZeroCharLengths(int i, int r) {
  if (r > kLh5CharCount - i) RaiseBadDecodeTable();
  std::memset(Lh5State.Areas->CharLen + i, 0, static_cast<size_t>(r));
  return i + r;
}

// Reads CharLen with the code-length code in AuxTable and builds CharTable.
void Lh5ReadCharLengths() {
  Lh5WorkAreas& w = *Lh5State.Areas;
  const int n = static_cast<int>(Lh5GetBits(kLh5CharCountBits));
  if (n == 0) {
    Lh5SingleCodeTable(Lh5GetBits(kLh5CharCountBits), kLh5CharCount, w.CharLen, w.CharTable,
                       kLh5CharTableSize);
    return;
  }
  if (n > kLh5CharCount) RaiseBadDecodeTable();
  int i = 0;
  while (i < n) {
    // Walk before consuming: the tree bits follow the 8 looked up.
    unsigned t = w.AuxTable[Lh5State.BitBuf >> 8];
    for (unsigned mask = 0x80; t >= kLh5CodeLengthCount; mask >>= 1) {
      t = (Lh5State.BitBuf & mask) != 0 ? w.TreeRight[t] : w.TreeLeft[t];
    }
    Lh5FillBits(w.AuxLen[t]);
    if (t == 0) {
      i = Lh5ZeroCharLengths(i, 1);
    } else if (t == 1) {
      i = Lh5ZeroCharLengths(i, static_cast<int>(Lh5GetBits(4)) + 3);
    } else if (t == 2) {
      i = Lh5ZeroCharLengths(i, static_cast<int>(Lh5GetBits(9)) + 20);
    } else {
      w.CharLen[i++] = static_cast<uint8_t>(t - 2);
    }
  }
  Lh5ZeroCharLengths(i, kLh5CharCount - i);
  Lh5BuildTable(kLh5CharCount, w.CharLen, kLh5CharTableBits, w.CharTable, TreeOf(w));
}

// Reads a block head: the code count and the three tables.
[[gnu::noinline]] void Lh5ReadBlockHead() {
  Lh5State.BlockLeft = static_cast<uint16_t>(Lh5GetBits(16));
  Lh5ReadAuxLengths(kLh5CodeLengthCount, kLh5CodeLengthCountBits, kLh5CodeLengthZeroRunAt);
  Lh5ReadCharLengths();
  Lh5ReadAuxLengths(kLh5PositionCount, kLh5PositionCountBits, kLh5NoZeroRun);
}

// --- The code loop ---------------------------------------------------------

// Stored bytes one item (a character code, its position code and extra bits)
// can fetch: 16 + 16 + 12 bits consumed, at most ceil(44 / 8) fetches.
constexpr int kLh5MaxItemFetch = 6;

// Lh5State's reader held in registers. `bits` holds BitBuf in its top 16
// bits and SubBits' valid bits below them; every bit under the `count` valid
// ones is 0. Always 16 <= count <= 23: SubCount is at most 7 outside
// Lh5FillBits (a fetch that makes it 8 is always followed by a consume of at
// least one bit), and Consume tops count up from below 16 by 8 at a time.
//
// The stored bytes come from the session's input run (BorrowInputRun):
// `pos` is the next byte GetInputByte would hand out. While at least
// kLh5MaxItemFetch bytes are left before `end` (pos < `fast_end`), a whole
// item is decoded with Consume<kFromRun>, which takes bytes straight from
// the run; otherwise with Consume<kChecked>, which goes through the session
// at the run's end (a refill, or zeros once EndOfInput is raised). Either
// fetches the same byte at the same bit.
struct Lh5BitCursor {
  uint32_t bits;
  int count;
  const uint8_t* pos;
  const uint8_t* end;

  void Load() {
    bits = (uint32_t{Lh5State.BitBuf} << 16) | (uint32_t{Lh5State.SubBits} << 8);
    count = 16 + Lh5State.SubCount;
    LoadRun();
  }
  void Store() const {
    assert(count >= 16 && count <= 23);
    Lh5State.BitBuf = static_cast<uint16_t>(bits >> 16);
    Lh5State.SubBits = static_cast<uint8_t>(bits >> 8);
    Lh5State.SubCount = static_cast<uint8_t>(count - 16);
    ReturnInputRun(pos);
  }
  void LoadRun() {
    const InputRun run = BorrowInputRun();
    pos = run.pos;
    end = run.end;
  }

  // The next byte at the run's end: through the session, which refills, or
  // 0 without asking once EndOfInput is raised.
  [[gnu::noinline]] uint8_t FetchAtRunEnd() {
    if (pos != end) return *pos++;
    ReturnInputRun(pos);
    const uint8_t b = Lh5FetchByte();
    LoadRun();
    return b;
  }

  // Lh5FillBits(n) for n = 0..16: the same bytes, fetched at the same point.
  enum Source { kFromRun, kChecked };
  template <Source kSource>
  [[gnu::always_inline]] void Consume(unsigned n) {
    assert(n <= 16 && count >= 16);
    bits <<= n;
    count -= static_cast<int>(n);
    if constexpr (kSource == kFromRun) {
      // Written out for the one or two bytes a consume can need (count is
      // 0..15 here when any): a loop costs more in set-up than it runs.
      if (count < 16) {
        bits |= uint32_t{pos[0]} << (24 - count);
        if (count < 8) {
          bits |= uint32_t{pos[1]} << (16 - count);
          pos += 2;
          count += 16;
        } else {
          pos += 1;
          count += 8;
        }
      }
    } else {
      while (count < 16) {
        bits |= uint32_t{FetchAtRunEnd()} << (24 - count);
        count += 8;
      }
    }
  }
};

// One character code (the block head is read by the caller).
template <Lh5BitCursor::Source kSource>
[[gnu::always_inline]] inline unsigned Lh5DecodeChar(Lh5BitCursor& in, const Lh5WorkAreas& w) {
  unsigned j = w.CharTable[in.bits >> (32 - kLh5CharTableBits)];
  if (j >= static_cast<unsigned>(kLh5CharCount)) [[unlikely]] {
    // At most 4 more bits, all inside the 16 valid ones: walk, then consume
    // the whole length at once, as the format's 12 + (length - 12).
    uint32_t mask = 1u << (31 - kLh5CharTableBits);
    do {
      j = (in.bits & mask) != 0 ? w.TreeRight[j] : w.TreeLeft[j];
      mask >>= 1;
    } while (j >= static_cast<unsigned>(kLh5CharCount));
  }
  in.Consume<kSource>(w.CharLen[j]);
  return j;
}

// Lh5DecodePosition: one position code and its extra bits, 0..8191. The
// code and the extra bits are consumed at once when both lie in the 16 bits
// that are always valid: the same bytes are fetched as by two consumes, and
// nothing can be observed between the two.
template <Lh5BitCursor::Source kSource>
[[gnu::always_inline]] inline unsigned Lh5DecodePosition(Lh5BitCursor& in, const Lh5WorkAreas& w) {
  unsigned j = w.AuxTable[in.bits >> (32 - kLh5AuxTableBits)];
  if (j >= static_cast<unsigned>(kLh5PositionCount)) [[unlikely]] {
    uint32_t mask = 1u << (31 - kLh5AuxTableBits);
    do {
      j = (in.bits & mask) != 0 ? w.TreeRight[j] : w.TreeLeft[j];
      mask >>= 1;
    } while (j >= static_cast<unsigned>(kLh5PositionCount));
  }
  if (j <= 1) {
    in.Consume<kSource>(w.AuxLen[j]);
    return j;
  }
  const unsigned length = w.AuxLen[j];
  const unsigned extra = j - 1;  // 1..12
  if (length + extra <= 16) [[likely]] {
    const unsigned d = (1u << extra) + ((in.bits << length) >> (32 - extra));
    in.Consume<kSource>(length + extra);
    return d;
  }
  in.Consume<kSource>(length);
  const unsigned d = (1u << extra) + (in.bits >> (32 - extra));
  in.Consume<kSource>(extra);
  return d;
}

// One item: a literal or a match, written at `out`; returns the new end.
template <Lh5BitCursor::Source kSource>
[[gnu::always_inline]] inline uint8_t* Lh5DecodeItem(Lh5BitCursor& in, const Lh5WorkAreas& w,
                                                     uint8_t* out) {
  const unsigned c = Lh5DecodeChar<kSource>(in, w);
  if (c < 256) {
    *out = static_cast<uint8_t>(c);
    return out + 1;
  }
  const unsigned length = c - kLh5MatchBase;
  const unsigned distance = Lh5DecodePosition<kSource>(in, w) + 1;
  CopyMatch(out, distance, length);
  return out + length;
}

}  // namespace

void ExpandLh5(int32_t Destsize) {
  if (Destsize == 0) return;
  Lh5WorkAreaScope scope;
  Lh5WorkAreas& w = scope.Areas();
  Lh5FillBits(16);
  std::memset(w.Lh5Ring, kLh5RingFill, kLh5WindowSize);

  Lh5BitCursor in;
  in.Load();
  uint32_t block_left = 0;
  uint8_t* const ring = w.Lh5Ring;
  uint8_t* const move_at = Lh5Window::MoveAt(ring);
  uint8_t* out = Lh5Window::Start(ring);
  // Handed over before an item that may refill, before a block head (which
  // fetches and may refuse its tables), before a move, and at the end.
  PendingOutput pending{out};
  int64_t remaining = Destsize;  // negative: nothing to produce
  while (remaining > 0) {
    if (out >= move_at) {
      pending.HandOver(out);
      out = Lh5Window::Move(ring, out);
      pending.from = out;
    }
    // One bound for both reasons to leave the loop: the window move and the
    // end of the output. A match may run past it (by at most 255 bytes).
    uint8_t* const run_start = out;
    uint8_t* const stop = move_at - out < remaining ? move_at : out + remaining;
    while (out < stop) {
      if (block_left == 0) [[unlikely]] {
        pending.HandOver(out);
        in.Store();
        Lh5ReadBlockHead();
        in.Load();
        block_left = Lh5State.BlockLeft == 0 ? 0x10000u : Lh5State.BlockLeft;
      }
      // Items that can run without a check of their own: each fetches at
      // most kLh5MaxItemFetch bytes and writes at most kLh5MaxMatch, so n
      // of them stay inside the input run, and each of them starts before
      // `stop`, as the format's loop would start it.
      const auto by_input = static_cast<uint32_t>(in.end - in.pos) / kLh5MaxItemFetch;
      const auto by_output =
          static_cast<uint32_t>(stop - out + kLh5MaxMatch - 1) / uint32_t{kLh5MaxMatch};
      uint32_t n = std::min({block_left, by_input, by_output});
      if (n == 0) [[unlikely]] {
        // Near the run's end: one item at a time, the fetch checked.
        pending.HandOver(out);
        --block_left;
        out = Lh5DecodeItem<Lh5BitCursor::kChecked>(in, w, out);
        continue;
      }
      block_left -= n;
      // A copy whose address never escapes, so that it lives in registers
      // (`in` itself is passed to the out-of-line fetch at the run's end).
      Lh5BitCursor fast = in;
      do {
        out = Lh5DecodeItem<Lh5BitCursor::kFromRun>(fast, w, out);
      } while (--n != 0);
      in = fast;
    }
    remaining -= out - run_start;
  }
  pending.HandOver(out);
  // The bit state is not stored back (the scope detaches Lh5State now); the
  // input position is, as GetInputByte would have left it.
  ReturnInputRun(in.pos);
}

}  // namespace kv

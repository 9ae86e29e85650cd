// Fuzz target: the LH5 expander on streams that are valid by construction.
//
// Arbitrary bytes rarely pass the first table check of a block head, so the
// fuzzer would stay at the door of the block decoder. Here the input is only
// a source of choices: from it the harness builds one to three blocks, each
// with random but complete code-length lists (a complete code is made by
// splitting a random leaf of a code tree until it has as many leaves as the
// alphabet's chosen symbols, never deeper than 16), codes them as the format
// prescribes (the code-length list with its zero run after the third length,
// the character lengths with the three zero-run symbols, the position list),
// and appends random literals and matches coded with those tables. Single-
// code lists (count field 0) are chosen when an alphabet uses one symbol.
//
// The harness keeps its own plain model of the output (a window that starts
// as 8192 spaces, byte-by-byte match copies) and checks that the expander,
// run through a codec session, produces exactly that output and byte sum.
// When the first choice byte asks for it, one bit of the finished stream is
// flipped or the stream is cut short; then only the absence of crashes and
// of unnamed failures is checked.
#include <array>
#include <numeric>
#include <vector>

#include "archive/codec_session.h"
#include "archive/dozirivovaze.h"
#include "codecs/lh5_table.h"
#include "core/bytes.h"
#include "fuzz/fuzz_util.h"
#include "tests/kit/bit_writer.h"
#include "tests/kit/bytes.h"

namespace kv::fuzz {
namespace {

constexpr int kWindow = 8192;
constexpr int kMaxCodesPerBlock = 1024;

using test::BitWriter;

// A code over an alphabet: lengths (0 = unused) and canonical code values.
struct Code {
  std::vector<uint8_t> lengths;
  std::vector<uint32_t> codes;
  std::vector<int> symbols;  // the used ones, ascending
  bool single() const { return symbols.size() == 1; }
};

// A complete code over `used` randomly chosen symbols of an alphabet of
// `alphabet` symbols. With one symbol the code is the single-code form.
Code RandomCode(InputBytes& in, int alphabet, int used) {
  Code code;
  code.lengths.assign(static_cast<size_t>(alphabet), 0);
  std::vector<int> pool(static_cast<size_t>(alphabet));
  std::iota(pool.begin(), pool.end(), 0);
  for (int i = 0; i < used; ++i) {
    const auto j = static_cast<size_t>(
        in.Range(static_cast<uint32_t>(i), static_cast<uint32_t>(alphabet - 1)));
    std::swap(pool[static_cast<size_t>(i)], pool[j]);
  }
  pool.resize(static_cast<size_t>(used));
  std::sort(pool.begin(), pool.end());
  code.symbols = pool;
  if (used == 1) return code;
  std::vector<uint8_t> depths = test::CompleteCodeDepths(
      static_cast<size_t>(used), [&](uint32_t n) { return in.Range(0, n - 1); });
  // Deal the depths to the symbols in a random order.
  for (size_t i = 0; i < depths.size(); ++i) {
    const auto j = static_cast<size_t>(
        in.Range(static_cast<uint32_t>(i), static_cast<uint32_t>(depths.size() - 1)));
    std::swap(depths[i], depths[j]);
  }
  for (size_t i = 0; i < pool.size(); ++i) code.lengths[static_cast<size_t>(pool[i])] = depths[i];
  code.codes = test::CanonicalCodes(code.lengths);
  return code;
}

// The code-length list (count bits 5, zero run after the third length) or
// the position list (count bits 4, no zero run).
void PutAuxList(BitWriter& out, InputBytes& in, const Code& code, int count_bits, bool zero_run,
                int max_count) {
  if (code.single()) {
    out.Bits(0, count_bits);
    out.Bits(static_cast<uint32_t>(code.symbols[0]), count_bits);
    return;
  }
  const int last = code.symbols.back() + 1;
  const auto n =
      static_cast<int>(in.Range(static_cast<uint32_t>(last), static_cast<uint32_t>(max_count)));
  out.Bits(static_cast<uint32_t>(n), count_bits);
  const auto length_at = [&](int i) {
    return i < static_cast<int>(code.lengths.size()) ? code.lengths[static_cast<size_t>(i)] : 0;
  };
  for (int i = 0; i < n;) {
    out.Lh5Length(length_at(i++));
    if (zero_run && i == 3) {
      int z = 0;
      while (z < 3 && i + z < n && length_at(i + z) == 0) ++z;
      out.Bits(static_cast<uint32_t>(z), 2);
      i += z;
    }
  }
}

// The character lengths as code-length symbols: 0 one zero, 1 + 4 bits
// 3..18 zeros, 2 + 9 bits 20..531 zeros, t >= 3 the length t - 2.
struct LengthSymbol {
  int symbol;
  uint32_t extra;
};
std::vector<LengthSymbol> CharLengthSymbols(InputBytes& in, const Code& chars, int n) {
  std::vector<LengthSymbol> list;
  for (int i = 0; i < n;) {
    const int l = chars.lengths[static_cast<size_t>(i)];
    if (l != 0) {
      list.push_back({l + 2, 0});
      ++i;
      continue;
    }
    int run = 0;
    while (i + run < n && chars.lengths[static_cast<size_t>(i + run)] == 0) ++run;
    const int kind = static_cast<int>(in.Byte() % 3);
    if (kind == 2 && run >= 20) {
      const auto r = static_cast<int>(in.Range(20, static_cast<uint32_t>(std::min(run, 531))));
      list.push_back({2, static_cast<uint32_t>(r - 20)});
      i += r;
    } else if (kind >= 1 && run >= 3) {
      const auto r = static_cast<int>(in.Range(3, static_cast<uint32_t>(std::min(run, 18))));
      list.push_back({1, static_cast<uint32_t>(r - 3)});
      i += r;
    } else {
      list.push_back({0, 0});
      ++i;
    }
  }
  return list;
}

// One block: head and codes. Appends the expected output to `model`.
void PutBlock(BitWriter& out, InputBytes& in, std::vector<uint8_t>& model,
              std::vector<size_t>& code_ends) {
  const Code chars = RandomCode(in, kLh5CharCount, static_cast<int>(in.Range(1, kLh5CharCount)));
  const Code positions =
      RandomCode(in, kLh5PositionCount, static_cast<int>(in.Range(1, kLh5PositionCount)));
  const auto codes = static_cast<int>(in.Range(1, kMaxCodesPerBlock));

  // The code-length code covers exactly the symbols the character list uses.
  const int char_count = chars.single()
                             ? 0
                             : static_cast<int>(in.Range(
                                   static_cast<uint32_t>(chars.symbols.back() + 1), kLh5CharCount));
  const std::vector<LengthSymbol> char_list = CharLengthSymbols(in, chars, char_count);
  std::array<bool, kLh5CodeLengthCount> used{};
  for (const LengthSymbol& s : char_list) used[static_cast<size_t>(s.symbol)] = true;
  Code lengths_code;
  {
    // A random complete code over the used symbols; any one symbol when the
    // character list is a single code and uses none.
    std::vector<int> wanted;
    for (int s = 0; s < kLh5CodeLengthCount; ++s)
      if (used[static_cast<size_t>(s)]) wanted.push_back(s);
    if (wanted.empty()) wanted.push_back(static_cast<int>(in.Range(0, kLh5CodeLengthCount - 1)));
    Code shape = RandomCode(in, static_cast<int>(wanted.size()), static_cast<int>(wanted.size()));
    lengths_code.lengths.assign(kLh5CodeLengthCount, 0);
    for (size_t k = 0; k < wanted.size(); ++k)
      lengths_code.lengths[static_cast<size_t>(wanted[k])] =
          shape.lengths.empty() ? 0 : shape.lengths[k];
    lengths_code.symbols = wanted;
    if (!lengths_code.single()) lengths_code.codes = test::CanonicalCodes(lengths_code.lengths);
  }

  out.Bits(static_cast<uint32_t>(codes), 16);
  PutAuxList(out, in, lengths_code, 5, true, kLh5AuxLenSize);
  if (chars.single()) {
    out.Bits(0, 9);
    out.Bits(static_cast<uint32_t>(chars.symbols[0]), 9);
  } else {
    out.Bits(static_cast<uint32_t>(char_count), 9);
    for (const LengthSymbol& s : char_list) {
      const auto sym = static_cast<size_t>(s.symbol);
      if (!lengths_code.single()) out.Bits(lengths_code.codes[sym], lengths_code.lengths[sym]);
      if (s.symbol == 1) out.Bits(s.extra, 4);
      if (s.symbol == 2) out.Bits(s.extra, 9);
    }
  }
  // Up to 15 position lengths: a fifteenth is read and ignored.
  PutAuxList(out, in, positions, 4, false, kLh5PositionCount + 1);

  for (int k = 0; k < codes; ++k) {
    const int c = chars.symbols[in.Range(0, static_cast<uint32_t>(chars.symbols.size() - 1))];
    if (!chars.single())
      out.Bits(chars.codes[static_cast<size_t>(c)], chars.lengths[static_cast<size_t>(c)]);
    if (c < 256) {
      model.push_back(static_cast<uint8_t>(c));
    } else {
      const int p =
          positions.symbols[in.Range(0, static_cast<uint32_t>(positions.symbols.size() - 1))];
      if (!positions.single())
        out.Bits(positions.codes[static_cast<size_t>(p)],
                 positions.lengths[static_cast<size_t>(p)]);
      uint32_t distance = static_cast<uint32_t>(p);
      if (p >= 2) {
        const uint32_t extra = in.Le32() & ((1u << (p - 1)) - 1);
        out.Bits(extra, p - 1);
        distance = (1u << (p - 1)) + extra;
      }
      ++distance;
      for (int i = 0; i < c - 253; ++i) model.push_back(model[model.size() - distance]);
    }
    code_ends.push_back(model.size() - kWindow);
  }
}

}  // namespace
}  // namespace kv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv;
  using namespace kv::fuzz;
  InputBytes in(data, size);
  const uint8_t options = in.Byte();
  const int blocks = 1 + options % 3;

  BitWriter out;
  std::vector<uint8_t> model(kWindow, 0x20);
  std::vector<size_t> code_ends;
  for (int b = 0; b < blocks && model.size() - kWindow < static_cast<size_t>(kOutputCap) / 2; ++b)
    PutBlock(out, in, model, code_ends);
  std::vector<uint8_t> stream = out.Bytes();
  const size_t total = model.size() - kWindow;

  // Destsize: the whole output, or (bit 2) a point inside it, where the
  // expander stops after the code that reaches it.
  auto destsize = static_cast<int32_t>(total);
  size_t expected = total;
  if ((options & 0x04) && total > 1) {
    destsize = static_cast<int32_t>(in.Range(1, static_cast<uint32_t>(total)));
    expected = *std::lower_bound(code_ends.begin(), code_ends.end(), static_cast<size_t>(destsize));
  }
  const bool damaged = (options & 0x18) != 0 && !stream.empty();
  if (options & 0x08) {
    const uint32_t bit = in.Le32() % (stream.size() * 8);
    stream[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
  }
  if ((options & 0x10) && !stream.empty()) stream.resize(in.Le32() % stream.size());

  TKVDoziRivovaze component(nullptr);
  TMemoryStream source(stream);
  TMemoryStream dest;
  uint32_t checksum = 0;
  try {
    RunCodecSession(component, dest, source, static_cast<int32_t>(stream.size()), destsize,
                    kMethodLh5, checksum, true);
  } catch (const Exception&) {
    if (!damaged) Fail();  // a valid stream must expand
    return 0;
  }
  if (damaged) return 0;
  const std::vector<uint8_t>& got = dest.Data();
  if (got.size() != expected || !std::equal(got.begin(), got.end(), model.begin() + kWindow) ||
      checksum != ByteSum(got.data(), got.size()))
    Fail();
  return 0;
}

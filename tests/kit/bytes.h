// Bytes for crafted inputs and deterministic test data, shared by the tests,
// the fuzz targets and the benchmarks.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kv::test {

// Bytes from hex text; whitespace is ignored and "#" starts a comment that
// runs to the end of the line, so crafted inputs can name each field.
std::vector<uint8_t> Hex(const std::string& text);
std::vector<uint8_t> Bytes(const std::string& text);  // the characters' bytes
std::vector<uint8_t> Le32(uint32_t value);            // four little-endian bytes
std::vector<uint8_t> Repeat(size_t count, uint8_t byte);
std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts);
void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes);

// The 32-bit byte sum the archive's checksums use.
uint32_t Sum(const std::vector<uint8_t>& bytes);

// Deterministic data of three kinds, each the same for the same seed:
// text-like (words of this system's vocabulary), binary-like (structured
// like executable code: small integers, repeated opcodes, runs of zeros and
// random stretches) and random bytes.
std::vector<uint8_t> TextData(size_t size, uint32_t seed = 1);
std::vector<uint8_t> BinaryData(size_t size, uint32_t seed = 1);
std::vector<uint8_t> RandomData(size_t size, uint32_t seed = 1);

// Data of a named kind: "text", "binary", "random" (as above, from `seed`),
// "zeros", "spaces" (the byte the LZH windows start with) or "constant"
// (one other byte).
inline constexpr std::string_view kDataKinds[] = {"text",  "binary", "random",
                                                  "zeros", "spaces", "constant"};
std::vector<uint8_t> DataOfKind(std::string_view kind, size_t size, uint32_t seed = 1);

// Inputs that run-length coders get wrong: escapes in the data, runs at the
// start (where the expander repeats 0), runs at and around the longest
// escape, and some of each data kind.
struct LabelledData {
  std::string label;
  std::vector<uint8_t> data;
};
std::vector<LabelledData> RleEdgeInputs();

// Canonical Huffman codes for code lengths 0..16 (0: no code), assigned in
// order of length, then symbol; computed independently of the codec and the
// builder.
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lengths);

// The depths of a random complete code tree with `leaves` leaves, none
// deeper than 16: starting from the root alone, a leaf chosen by
// `pick(number of leaves)` (a value below its argument) is split until there
// are enough; a leaf at depth 16 passes the split on to the next one. The
// Kraft sum stays exactly 1 at every step. One leaf gives the depth 0.
template <typename Pick>
std::vector<uint8_t> CompleteCodeDepths(size_t leaves, Pick&& pick) {
  std::vector<uint8_t> depths = {0};
  while (depths.size() < leaves) {
    size_t leaf = static_cast<size_t>(pick(static_cast<uint32_t>(depths.size())));
    while (depths[leaf] >= 16) leaf = (leaf + 1) % depths.size();
    ++depths[leaf];
    depths.push_back(depths[leaf]);
  }
  return depths;
}

}  // namespace kv::test

#include "tests/kit/bytes.h"

#include <iterator>
#include <random>
#include <stdexcept>

#include "core/bytes.h"

namespace kv::test {

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '#') {
      while (i < text.size() && text[i] != '\n') ++i;
      continue;
    }
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits");
  return out;
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

std::vector<uint8_t> Le32(uint32_t value) {
  std::vector<uint8_t> b(4);
  StoreLE32(b.data(), value);
  return b;
}

std::vector<uint8_t> Repeat(size_t count, uint8_t byte) {
  return std::vector<uint8_t>(count, byte);
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) Append(out, p);
  return out;
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

uint32_t Sum(const std::vector<uint8_t>& bytes) {
  return ByteSum(bytes.data(), bytes.size());
}

std::vector<uint8_t> TextData(size_t size, uint32_t seed) {
  static const char* const kWords[] = {
      "the ",    "archive ", "entry ",   "of ",     "and ",     "setup ", "window ",   "code ",
      "length ", "table ",   "byte ",    "stream ", "header\n", "a ",     "launcher ", "to ",
      "with ",   "match ",   "Huffman ", "tree ",   "data, ",   "file. ", "in ",       "is "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  out.reserve(size + 16);
  while (out.size() < size) {
    const char* w = kWords[rng() % std::size(kWords)];
    while (*w && out.size() < size) out.push_back(static_cast<uint8_t>(*w++));
  }
  return out;
}

std::vector<uint8_t> BinaryData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  out.reserve(size);
  while (out.size() < size) {
    switch (rng() % 4) {
      case 0:
        for (int i = 0, n = static_cast<int>(rng() % 24); i < n; ++i) out.push_back(0);
        break;
      case 1:
        for (int i = 0, n = static_cast<int>(rng() % 16); i < n; ++i)
          out.push_back(static_cast<uint8_t>(rng()));
        break;
      default: {
        static const uint8_t kOps[] = {0x8B, 0x45, 0xFC, 0x89, 0xE5, 0x55, 0xC3, 0xE8, 0x00, 0x01};
        for (int i = 0, n = static_cast<int>(rng() % 12); i < n; ++i)
          out.push_back(kOps[rng() % std::size(kOps)]);
      }
    }
  }
  out.resize(size);
  return out;
}

std::vector<uint8_t> RandomData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

std::vector<uint8_t> DataOfKind(std::string_view kind, size_t size, uint32_t seed) {
  if (kind == "text") return TextData(size, seed);
  if (kind == "binary") return BinaryData(size, seed);
  if (kind == "random") return RandomData(size, seed);
  if (kind == "zeros") return Repeat(size, 0x00);
  if (kind == "spaces") return Repeat(size, 0x20);
  if (kind == "constant") return Repeat(size, 0x5A);
  throw std::invalid_argument("no data kind " + std::string(kind));
}

std::vector<LabelledData> RleEdgeInputs() {
  return {
      {"empty", {}},
      {"one byte", Hex("41")},
      {"lone escape byte", Hex("94")},
      {"escape bytes between literals", Hex("41 94 42 94 94 43")},
      {"zeros at the start", Repeat(10, 0x00)},
      {"one zero", Hex("00")},
      {"two zeros then data", Hex("00 00 41")},
      {"zeros longer than one escape", Repeat(600, 0x00)},
      {"1000 zeros", Repeat(1000, 0x00)},
      {"run of escape bytes", Repeat(300, 0x94)},
      {"1000 escape bytes", Repeat(1000, 0x94)},
      {"two escape bytes then a literal", Hex("94 94 71")},
      {"run of 254", Repeat(254, 'A')},
      {"run of 255", Repeat(255, 'A')},
      {"run of 256", Repeat(256, 'A')},
      {"run of 258", Repeat(258, 'A')},
      {"run of 1000", Repeat(1000, 'A')},
      {"run after an escape run", Join({Repeat(5, 0x94), Repeat(5, 'B')})},
      {"escape bytes after a run", Join({Repeat(5, 'B'), Repeat(5, 0x94)})},
      {"short runs", Hex("41 41 42 42 42 43 43 43 43 94 94")},
      {"runs of three and two", Hex("41 41 41 42 42")},
      {"binary", BinaryData(20000, 3)},
      {"text", TextData(20000, 4)},
      {"random", RandomData(20000, 5)},
      {"binary, more than a block", BinaryData(300000)},
      {"text, more than a block", TextData(70000)},
      {"random, more than a block", RandomData(70000)},
  };
}

std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lengths) {
  std::vector<uint32_t> codes(lengths.size(), 0);
  uint32_t code = 0;
  for (int l = 1; l <= 16; ++l) {
    for (size_t s = 0; s < lengths.size(); ++s)
      if (lengths[s] == l) codes[s] = code++;
    code <<= 1;
  }
  return codes;
}

}  // namespace kv::test

#include "tests/test_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "archive/codec_session.h"
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

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kvtest-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

SessionResult RunSession(uint8_t method, const std::vector<uint8_t>& stored, int32_t destsize,
                         TKVDoziRivovaze* component) {
  TKVDoziRivovaze local(nullptr);
  TMemoryStream source(stored);
  TMemoryStream dest;
  SessionResult r;
  RunCodecSession(component ? *component : local, dest, source, static_cast<int32_t>(stored.size()),
                  destsize, method, r.checksum, true);
  r.output = dest.Data();
  return r;
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
  // Structured like executable code: small integers, repeated opcodes,
  // runs of zeros and occasional random stretches.
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

Failure FailureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return {e.ClassName(), e.Message()};
  }
  return {};
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

std::string CorpusDir() {
  return KV_CORPUS_DIR;
}

}  // namespace kv::test

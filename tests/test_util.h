// Helpers shared by the host tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/dozirivovaze.h"

namespace kv::test {

// Bytes from hex text; whitespace is ignored and "#" starts a comment that
// runs to the end of the line, so crafted inputs can name each field.
std::vector<uint8_t> Hex(const std::string& text);
std::vector<uint8_t> Bytes(const std::string& text);  // the characters' bytes

// A fresh directory that is removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// Runs one codec session over `stored` in memory and returns its output.
struct SessionResult {
  std::vector<uint8_t> output;
  uint32_t checksum = 0;
};
SessionResult RunSession(uint8_t method, const std::vector<uint8_t>& stored, int32_t destsize,
                         TKVDoziRivovaze* component = nullptr);

uint32_t Sum(const std::vector<uint8_t>& bytes);

// Deterministic test data: text-like, binary-like and random bytes.
std::vector<uint8_t> TextData(size_t size, uint32_t seed = 1);
std::vector<uint8_t> BinaryData(size_t size, uint32_t seed = 1);
std::vector<uint8_t> RandomData(size_t size, uint32_t seed = 1);

// The class name and message of what `f` raises; both empty when it returns.
struct Failure {
  std::string class_name;
  std::string message;
  bool operator==(const Failure&) const = default;
};
Failure FailureOf(const std::function<void()>& f);

// Canonical Huffman codes for code lengths 0..16 (0: no code), assigned in
// order of length, then symbol; computed independently of the codec and the
// builder.
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lengths);

// The shared corpus of real archives made by other programs.
std::string CorpusDir();

}  // namespace kv::test

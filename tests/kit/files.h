// Scratch directories and whole-file reads and writes for the tests, the
// fuzz targets whose entry points take file names, and the benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv::test {

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

// Both raise std::runtime_error when the file cannot be written or read.
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// The corpus of real archives made by other programs (tests/data).
std::string CorpusDir();

}  // namespace kv::test

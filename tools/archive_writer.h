// Writing archives: the builder's side of the container format.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kv::tools {

// A failure of the builder, reported as one line on the command line.
class BuilderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ArchiveEntrySpec {
  std::string name;           // bytes of the entry name, up to 32767
  std::vector<uint8_t> data;  // the entry's uncompressed bytes
  uint8_t method = 0;         // 0 "NON", 1 "RLE", 2 "LZH", 4 "LH5"
};

// Builds an archive of the given entries, compressing each with the
// builder's compressor of its method. The header's CompressID names the
// first entry's method ("NON" for an empty archive) and TotalSize is the
// total of the expanded sizes. Raises BuilderError when an entry cannot be
// written (unknown method, a name or a size beyond the format's fields).
std::vector<uint8_t> BuildArchive(const std::vector<ArchiveEntrySpec>& entries);

// Like BuildArchive, with the stored bytes already made: `stored` is what
// goes into the archive, `data` only supplies Destsize and the checksum.
struct PrecompressedEntry {
  std::string name;
  uint8_t method = 0;
  int32_t destsize = 0;
  uint32_t checksum = 0;
  std::vector<uint8_t> stored;
};
std::vector<uint8_t> BuildArchive(const std::vector<PrecompressedEntry>& entries);

// Parses a method name ("NON", "RLE", "LZH", "LH5", any case); -1 if unknown.
int MethodFromName(const std::string& name);

}  // namespace kv::tools

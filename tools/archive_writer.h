// Writing archives: the builder's side of the container format.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/records.h"
#include "core/stream.h"
#include "tools/compressors.h"

namespace kv::tools {

// A failure of the builder, reported as one line on the command line.
class BuilderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The archive header of an archive whose first entry is written with
// `first_method` ("NON" for an empty archive) and whose entries expand to
// `total` bytes.
ArchiveHeader ArchiveHeaderFor(uint8_t first_method, int32_t total);

// The header of an entry named `name` (its bytes follow the header).
EntryHeader EntryHeaderFor(const std::string& name, uint8_t method, int32_t destsize,
                           int32_t stored, uint32_t checksum);

struct ArchiveEntrySpec {
  std::string name;           // bytes of the entry name, up to 32767
  std::vector<uint8_t> data;  // the entry's uncompressed bytes
  uint8_t method = 0;         // 0 "NON", 1 "RLE", 2 "LZH", 4 "LH5"
};

// Builds an archive of the given entries, compressing each with the
// builder's compressor of its method; an entry that would not come out
// smaller is stored as "NON". The header's CompressID names the
// first entry's method ("NON" for an empty archive) and TotalSize is the
// total of the expanded sizes. `level` is the compressors' (kMinLevel to
// kMaxLevel). Raises BuilderError when an entry cannot be written (unknown
// method, a name or a size beyond the format's fields).
std::vector<uint8_t> BuildArchive(const std::vector<ArchiveEntrySpec>& entries,
                                  int level = kDefaultLevel);

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

struct PlannedEntry;

// What WriteArchive did with one entry.
struct WrittenEntry {
  const PlannedEntry& planned;
  uint8_t method;  // NON where the method's output would not have been smaller
  int32_t stored;  // bytes in the archive
};

// How WriteArchive compresses and reports.
struct WriteOptions {
  int level = kDefaultLevel;  // the compressors' level, kMinLevel to kMaxLevel
  // Called while files are read with the bytes read so far, of all entries
  // together: at most once per kProgressStep bytes, never going back
  // (a file read a second time is not counted again).
  std::function<void(uint64_t bytes_read)> reading;
};
inline constexpr uint64_t kProgressStep = uint64_t{1} << 20;

// Writes an archive of `plan` (checked and ordered by FinishPlan) to `out`,
// reading one file at a time in pieces, so that memory holds a bounded
// amount whatever the entries' sizes: the header, then each entry as its
// file is read and compressed, its stored bytes written as they are made
// (a provisional entry header is rewritten after them). An output that
// cannot go back to a position (a pipe, a device) gets each entry's stored
// bytes spooled to an anonymous temporary file first (in TMPDIR), then
// copied after its header. An entry whose compressed form is not smaller
// than its data is stored as "NON". The header's CompressID names the first
// entry's method as written. `done` is called after every entry with the
// bytes read so far. Raises BuilderError for a file that cannot be read or
// that changed since it was planned.
void WriteArchive(TStream& out, const std::vector<PlannedEntry>& plan,
                  const std::function<void(const WrittenEntry&, uint64_t bytes_done)>& done,
                  const WriteOptions& options = {});

}  // namespace kv::tools

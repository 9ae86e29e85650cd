// Writing archives: the builder's side of the container format.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/records.h"
#include "core/stream.h"
#include "tools/compressors.h"

namespace kv::tools {

// The largest size, total or offset the format's signed 32-bit fields hold
// (2 GiB - 1 bytes).
inline constexpr uint64_t kMaxFieldValue = 0x7FFFFFFF;

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

// --- what the writer takes ---------------------------------------------------

// An entry's uncompressed bytes, which the writer compresses. Read in
// pieces from the start by Open, Next until an empty piece, Close; read a
// second time when the compressed form turned out no smaller (to be
// RLE-coded), or when an output that cannot go back needs a stored entry's
// bytes again.
class DataSource {
 public:
  virtual ~DataSource() = default;
  // What messages about the bytes name: a file's path.
  virtual const std::string& Subject() const = 0;
  virtual void Open() = 0;
  // The next piece, read into `buffer` (which a source that reads sizes on
  // first use; the writer keeps it between entries) or held by the source;
  // valid until the next call.
  virtual std::span<const uint8_t> Next(std::vector<uint8_t>& buffer) = 0;
  virtual void Close() {}
};

// An entry's stored bytes made elsewhere (an LHA member), taken unchanged.
class StoredSource {
 public:
  virtual ~StoredSource() = default;
  virtual int32_t StoredSize() const = 0;
  // Checks the stored bytes (by expanding them) and returns the byte sum of
  // the data; raises BuilderError when they do not verify. Called once,
  // before CopyTo.
  virtual uint32_t Verify() = 0;
  virtual void CopyTo(TStream& out) = 0;
};

// One entry for WriteArchive: its name, its method and where its bytes come
// from, either `data` or `stored`.
struct SourcedEntry {
  std::string name;
  uint8_t method = kMethodStored;  // the compressor's, or the stored bytes' method
  uint64_t size = 0;               // the uncompressed size (a file's when planned)
  std::shared_ptr<DataSource> data;
  std::shared_ptr<StoredSource> stored;
};

// Sources: a file (read one piece of the writer's buffer at a time, opened
// for each reading), bytes in memory (which must outlive the writing), and
// stored bytes in memory with their data's byte sum.
std::shared_ptr<DataSource> FileData(const std::string& path);
std::shared_ptr<DataSource> MemoryData(std::span<const uint8_t> bytes);
std::shared_ptr<StoredSource> MemoryStored(std::span<const uint8_t> stored, uint32_t checksum);

// What WriteArchive did with one entry.
struct WrittenEntry {
  const SourcedEntry& entry;
  size_t index;    // of the entry in the writer's list
  uint8_t method;  // RLE where the method's output would not have been smaller
  int32_t stored;  // bytes in the archive
};

// How WriteArchive compresses and reports.
struct WriteOptions {
  int level = kDefaultLevel;  // the compressors' level, kMinLevel to kMaxLevel
  // Called while data is read with the bytes read so far, of all entries
  // together: at most once per kProgressStep bytes, never going back
  // (bytes read a second time are not counted again).
  std::function<void(uint64_t bytes_read)> reading;
};
inline constexpr uint64_t kProgressStep = uint64_t{1} << 20;

using WrittenCallback = std::function<void(const WrittenEntry&, uint64_t bytes_done)>;

// The one writer of archives. Writes an archive of `entries`, in their
// order, to `out` at its position, holding a bounded amount of memory
// whatever the entries' sizes: the header, then each entry as its data is
// read and compressed, its stored bytes written as they are made (a
// provisional entry header is rewritten after them). An output that cannot
// go back to a position (a pipe, a device) gets each compressed entry's
// stored bytes spooled to an anonymous temporary file first (in TMPDIR),
// then copied after its header. An entry whose compressed form would not be
// smaller than its data is written RLE-coded instead (read a second time),
// which the component verifies by its byte sum as it does every method but
// "NON": an entry is stored as "NON" only when that is its method, and one
// of method "RLE" stays RLE even where that grows it. An empty entry keeps
// its method, with no stored bytes. The header's CompressID names the first
// entry's method as written ("NON" for an empty archive) and TotalSize is
// the total of the expanded sizes. `done` is called after every entry with
// the bytes read so far. Raises BuilderError for a name or a size beyond
// the format's fields (an RLE-coded entry of 2 GiB or more included), a
// method the builder cannot write, and data that cannot be read or that
// changed since it was planned.
void WriteArchive(TStream& out, const std::vector<SourcedEntry>& entries,
                  const WrittenCallback& done, const WriteOptions& options = {});

struct PlannedEntry;

// The archive of `plan` (checked and ordered by FinishPlan): its files as
// FileData.
void WriteArchive(TStream& out, const std::vector<PlannedEntry>& plan, const WrittenCallback& done,
                  const WriteOptions& options = {});

// Archives in memory, for tests and small inputs: entries of bytes, each
// compressed with its method at `level`, and entries whose stored bytes are
// already made.
struct ArchiveEntrySpec {
  std::string name;           // bytes of the entry name, up to 32767
  std::vector<uint8_t> data;  // the entry's uncompressed bytes
  uint8_t method = 0;         // 0 "NON", 1 "RLE", 2 "LZH", 4 "LH5"
};
std::vector<uint8_t> BuildArchive(const std::vector<ArchiveEntrySpec>& entries,
                                  int level = kDefaultLevel);

struct PrecompressedEntry {
  std::string name;
  uint8_t method = 0;
  int32_t destsize = 0;
  uint32_t checksum = 0;
  std::vector<uint8_t> stored;
};
std::vector<uint8_t> BuildArchive(const std::vector<PrecompressedEntry>& entries);

}  // namespace kv::tools

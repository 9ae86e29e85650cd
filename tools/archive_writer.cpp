#include "tools/archive_writer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <span>

#include <unistd.h>

#include "archive/records.h"
#include "core/bytes.h"
#include "tools/compressors.h"
#include "tools/entry_plan.h"
#include "tools/file_util.h"
#include "tools/host.h"
#include "tools/methods.h"

namespace kv::tools {

namespace {

// The entry's bytes compressed with `method`; `method` becomes "NON" (and
// the result empty, the data being what is stored) when that is not
// smaller.
std::vector<uint8_t> StoredForm(const std::string& name, uint8_t& method,
                                const std::vector<uint8_t>& data, int level) {
  if (method == kMethodStored) return {};
  const Compressor compress = CompressorFor(method);
  if (compress == nullptr)
    throw BuilderError(name + ": method " + std::to_string(method) +
                       " cannot be written by this builder");
  std::vector<uint8_t> stored = compress(data, level);
  if (stored.size() < data.size()) return stored;
  method = kMethodStored;
  return {};
}

}  // namespace

ArchiveHeader ArchiveHeaderFor(uint8_t first_method, int32_t total) {
  ArchiveHeader header;
  std::copy(std::begin(kArchiveMagic), std::end(kArchiveMagic), header.Magic);
  const std::string_view id = MethodIDs[static_cast<size_t>(first_method) % MethodIDs.size()];
  std::copy(id.begin(), id.end(), header.CompressID);
  header.TotalSize = total;
  header.ArchiveType = caMulti;
  return header;
}

EntryHeader EntryHeaderFor(const std::string& name, uint8_t method, int32_t destsize,
                           int32_t stored, uint32_t checksum) {
  EntryHeader h;
  h.NameLength = static_cast<int16_t>(name.size());
  h.Destsize = destsize;
  h.Sourcesize = stored;
  h.Method = method;
  h.Checksum = checksum;
  return h;
}

std::vector<uint8_t> BuildArchive(const std::vector<ArchiveEntrySpec>& entries, int level) {
  std::vector<PrecompressedEntry> made;
  made.reserve(entries.size());
  for (const ArchiveEntrySpec& item : entries) {
    if (item.data.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
      throw BuilderError("entry '" + item.name + "' is too large (2 GiB or more)");
    PrecompressedEntry e;
    e.name = item.name;
    e.method = item.method;
    e.destsize = static_cast<int32_t>(item.data.size());
    e.checksum = ByteSum(item.data.data(), item.data.size());
    e.stored = StoredForm(item.name, e.method, item.data, level);
    if (e.method == kMethodStored) e.stored = item.data;
    made.push_back(std::move(e));
  }
  return BuildArchive(made);
}

std::vector<uint8_t> BuildArchive(const std::vector<PrecompressedEntry>& entries) {
  int64_t total = 0;
  size_t bytes = ArchiveHeader::kSize;
  for (const PrecompressedEntry& e : entries) {
    if (e.name.size() > static_cast<size_t>(EntryHeader::kMaxNameLength))
      throw BuilderError("entry name longer than 32767 bytes");
    if (e.stored.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
      throw BuilderError("entry '" + e.name + "' is too large when stored");
    total += e.destsize;
    bytes += EntryHeader::kSize + e.name.size() + e.stored.size();
  }
  if (total > std::numeric_limits<int32_t>::max())
    throw BuilderError("archive too large: its entries expand to 2 GiB or more");

  std::vector<uint8_t> out(ArchiveHeader::kSize);
  out.reserve(bytes);
  const uint8_t first_method = entries.empty() ? uint8_t{kMethodStored} : entries[0].method;
  ArchiveHeaderFor(first_method, static_cast<int32_t>(total)).Encode(out.data());

  for (const PrecompressedEntry& e : entries) {
    uint8_t record[EntryHeader::kSize];
    EntryHeaderFor(e.name, e.method, e.destsize, static_cast<int32_t>(e.stored.size()), e.checksum)
        .Encode(record);
    out.insert(out.end(), record, record + sizeof record);
    out.insert(out.end(), e.name.begin(), e.name.end());
    out.insert(out.end(), e.stored.begin(), e.stored.end());
  }
  return out;
}

// Entries are written as they are read. An entry's header goes out first
// with a provisional Sourcesize, then the name, then the stored bytes as the
// compressor makes them, and the header is written again once the entry is
// done. The "NON" rule needs no second copy of the output: the compressed
// bytes are let through only while their count stays below the entry's
// size, so the moment the output would reach the data's size the compressor
// is dropped, the file is read again from its start and its bytes are
// written over the compressed ones from the entry's data offset. Fewer than
// `size` compressed bytes were written there, so the stored copy covers
// them all and nothing stale is left behind it. This needs an output that
// can go back to a position; one that cannot (a pipe, a device) is noticed
// after the archive header, and each entry's compressed bytes then go to a
// spool file first, so that its header, which gives their count, can go
// out before them; the same rule decides between the spool and the file.
namespace {

constexpr size_t kReadPiece = size_t{1} << 20;

// Reports the bytes read so far, at most once per kProgressStep and never
// going back.
class ReadProgress {
 public:
  explicit ReadProgress(const std::function<void(uint64_t)>& report) : report_(report) {}
  void StartEntry(uint64_t before) { before_ = before; }
  void Read(uint64_t in_entry) {
    const uint64_t now = before_ + in_entry;
    if (!report_ || now < next_) return;
    next_ = now + kProgressStep;
    report_(now);
  }

 private:
  const std::function<void(uint64_t)>& report_;
  uint64_t before_ = 0;
  uint64_t next_ = 1;
};

// A planned file read in pieces into a buffer of kReadPiece bytes, with the
// byte sum and count of what was read; Finish checks the count against the
// plan.
class PlannedFile {
 public:
  PlannedFile(const PlannedEntry& e, std::span<uint8_t> buffer, ReadProgress& progress)
      : entry_(e), buffer_(buffer), progress_(progress) {
    CheckReadable(e.path);
    fd_ = host::OpenForReading(e.path);
    if (fd_ < 0) throw BuilderError(e.path + ": " + std::strerror(errno));
  }
  ~PlannedFile() { ::close(fd_); }
  PlannedFile(const PlannedFile&) = delete;
  PlannedFile& operator=(const PlannedFile&) = delete;

  // The next piece, empty at the end of the file.
  std::span<const uint8_t> Next() {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer_.data(), static_cast<unsigned>(buffer_.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw BuilderError(entry_.path + ": " + std::strerror(errno));
      const std::span<const uint8_t> piece(buffer_.data(), static_cast<size_t>(n));
      read_ += piece.size();
      sum_ = ByteSum(piece.data(), piece.size(), sum_);
      if (read_ > entry_.size) Changed();
      progress_.Read(read_);
      return piece;
    }
  }
  void Finish() const {
    if (read_ != entry_.size) Changed();
  }
  uint32_t Sum() const { return sum_; }

  [[noreturn]] void Changed() const {
    throw BuilderError(entry_.path + ": changed while being packed (" +
                       std::to_string(entry_.size) + " bytes when listed, " +
                       (read_ > entry_.size ? "more" : std::to_string(read_)) + " when read)");
  }

 private:
  const PlannedEntry& entry_;
  std::span<uint8_t> buffer_;
  ReadProgress& progress_;
  int fd_ = -1;
  uint64_t read_ = 0;
  uint32_t sum_ = 0;
};

void WriteBytes(TStream& out, std::span<const uint8_t> bytes) {
  out.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
}

// What the archive writer shares between entries: the compressors' level,
// the read buffer and the progress.
struct Writer {
  int level;
  std::vector<uint8_t> buffer;
  ReadProgress progress;
};

// Copies the whole file to `out`; returns its byte sum.
uint32_t CopyStored(TStream& out, const PlannedEntry& e, Writer& w) {
  PlannedFile file(e, w.buffer, w.progress);
  for (std::span<const uint8_t> piece = file.Next(); !piece.empty(); piece = file.Next())
    WriteBytes(out, piece);
  file.Finish();
  return file.Sum();
}

struct EntryResult {
  uint8_t method;
  int32_t stored;
  uint32_t checksum;
};

// One compressing pass over the file of `e` (not "NON"): the compressed
// bytes go to `write` while their count stays below the file's size.
// Returns the entry as compressed, or with method "NON" when the output
// would have reached that size; then reading stops, unless `sum_all` asks
// for the whole file's byte sum.
EntryResult CompressFile(const PlannedEntry& e, Writer& w,
                         const std::function<void(std::span<const uint8_t>)>& write, bool sum_all) {
  uint64_t written = 0;
  bool too_big = false;
  std::unique_ptr<StreamCompressor> compressor =
      StreamCompressorFor(e.method, w.level, [&](std::span<const uint8_t> bytes) {
        if (too_big) return;
        if (written + bytes.size() >= e.size) {
          too_big = true;
          return;
        }
        write(bytes);
        written += bytes.size();
      });
  PlannedFile file(e, w.buffer, w.progress);
  for (std::span<const uint8_t> piece = file.Next(); !piece.empty(); piece = file.Next()) {
    if (!too_big) compressor->Feed(piece);
    if (too_big && !sum_all) return {kMethodStored, static_cast<int32_t>(e.size), 0};
  }
  file.Finish();
  if (!too_big) compressor->Finish();
  if (too_big) return {kMethodStored, static_cast<int32_t>(e.size), file.Sum()};
  return {e.method, static_cast<int32_t>(written), file.Sum()};
}

// Writes the stored bytes of `e` at `out`'s position, streaming; `out` can
// go back to a position.
EntryResult WriteStreamed(TStream& out, const PlannedEntry& e, Writer& w) {
  const int64_t data_start = out.Position();
  if (e.method != kMethodStored) {
    const EntryResult r = CompressFile(
        e, w, [&](std::span<const uint8_t> bytes) { WriteBytes(out, bytes); }, false);
    if (r.method != kMethodStored) return r;
    out.SetPosition(data_start);
  }
  const uint32_t sum = CopyStored(out, e, w);
  return {kMethodStored, static_cast<int32_t>(e.size), sum};
}

// For an output that cannot go back: the entry's stored form decided before
// anything of it is written, its compressed bytes kept in `spool`.
EntryResult Spooled(const PlannedEntry& e, Writer& w, SpoolFile& spool) {
  spool.Clear();
  if (e.method == kMethodStored) {
    PlannedFile file(e, w.buffer, w.progress);
    while (!file.Next().empty()) {
    }
    file.Finish();
    return {kMethodStored, static_cast<int32_t>(e.size), file.Sum()};
  }
  return CompressFile(
      e, w, [&](std::span<const uint8_t> bytes) { spool.Write(bytes); }, true);
}

void EncodeEntryHeader(const PlannedEntry& e, const EntryResult& r, uint8_t* record) {
  EntryHeaderFor(e.name, r.method, static_cast<int32_t>(e.size), r.stored, r.checksum)
      .Encode(record);
}

}  // namespace

void WriteArchive(TStream& out, const std::vector<PlannedEntry>& plan,
                  const std::function<void(const WrittenEntry&, uint64_t bytes_done)>& done,
                  const WriteOptions& options) {
  uint64_t total = 0;
  for (const PlannedEntry& e : plan) total += e.size;
  if (total > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
    throw BuilderError("archive too large: its entries expand to 2 GiB or more");
  for (const PlannedEntry& e : plan)
    if (e.method != kMethodStored && CompressorFor(e.method) == nullptr)
      throw BuilderError(e.name + ": method " + std::to_string(e.method) +
                         " cannot be written by this builder");
  Writer w{std::clamp(options.level, kMinLevel, kMaxLevel), std::vector<uint8_t>(kReadPiece),
           ReadProgress(options.reading)};

  // A stream that cannot go back reports its write count wherever it is
  // asked to go; files and memory go past their end.
  const int64_t start = out.Position();
  const bool seekable = out.Seek(start + 1, SeekOrigin::kBeginning) == start + 1;
  out.SetPosition(start);
  std::unique_ptr<SpoolFile> spool;
  if (!seekable) spool = std::make_unique<SpoolFile>();

  // The header's method is known once the first entry is made. On an
  // output that can go back, its place is held by a header naming the
  // planned method until then; on one that cannot, the first entry is made
  // before the header goes out.
  uint8_t record[EntryHeader::kSize];
  static_assert(EntryHeader::kSize >= ArchiveHeader::kSize);
  const uint8_t planned_first = plan.empty() ? uint8_t{kMethodStored} : plan[0].method;
  if (seekable || plan.empty()) {
    ArchiveHeaderFor(planned_first, static_cast<int32_t>(total)).Encode(record);
    out.WriteBuffer(record, ArchiveHeader::kSize);
  }

  uint8_t first_method = kMethodStored;
  uint64_t read = 0;
  for (size_t i = 0; i < plan.size(); ++i) {
    const PlannedEntry& e = plan[i];
    const int64_t entry_start = out.Position();
    w.progress.StartEntry(read);
    EntryResult r{e.method, 0, 0};
    if (seekable) {
      EncodeEntryHeader(e, r, record);
      out.WriteBuffer(record, EntryHeader::kSize);
      out.WriteBuffer(e.name.data(), static_cast<int32_t>(e.name.size()));
      r = WriteStreamed(out, e, w);
      const int64_t end = out.Position();
      out.SetPosition(entry_start);
      EncodeEntryHeader(e, r, record);
      out.WriteBuffer(record, EntryHeader::kSize);
      out.SetPosition(end);
    } else {
      r = Spooled(e, w, *spool);
      if (i == 0) {
        ArchiveHeaderFor(r.method, static_cast<int32_t>(total)).Encode(record);
        out.WriteBuffer(record, ArchiveHeader::kSize);
      }
      EncodeEntryHeader(e, r, record);
      out.WriteBuffer(record, EntryHeader::kSize);
      out.WriteBuffer(e.name.data(), static_cast<int32_t>(e.name.size()));
      if (r.method != kMethodStored) {
        spool->CopyTo(out, w.buffer);
      } else if (CopyStored(out, e, w) != r.checksum) {
        // The header already out carries the sum of the first reading.
        throw BuilderError(e.path +
                           ": changed while being packed (its bytes differ between two "
                           "readings)");
      }
    }
    if (i == 0) first_method = r.method;
    read += e.size;
    if (done) done(WrittenEntry{e, r.method, r.stored}, read);
  }
  if (seekable && first_method != planned_first) {
    const int64_t end = out.Position();
    out.SetPosition(start);
    ArchiveHeaderFor(first_method, static_cast<int32_t>(total)).Encode(record);
    out.WriteBuffer(record, ArchiveHeader::kSize);
    out.SetPosition(end);
  }
}

}  // namespace kv::tools

#include "tools/archive_writer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <span>

#include <unistd.h>

#include "archive/records.h"
#include "codecs/rle.h"
#include "core/bytes.h"
#include "tools/compressors.h"
#include "tools/entry_plan.h"
#include "tools/file_util.h"
#include "tools/host.h"
#include "tools/methods.h"

namespace kv::tools {

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

// Entries are written as they are read. An entry's header goes out first
// with a provisional Sourcesize, then the name, then the stored bytes as the
// compressor makes them, and the header is written again once the entry is
// done. The fallback needs no second copy of the output: the compressed
// bytes are let through only while their count stays below the entry's
// size, so the moment the output would reach the data's size the compressor
// is dropped, the file is read again from its start and RLE-coded over the
// compressed bytes from the entry's data offset. The RLE bytes nearly always
// cover everything the compressor wrote; where they do not (a file rewritten
// between the two readings), RLE steps that expand to nothing fill the rest,
// so that no stale byte is left behind the entry. This needs an output that
// can go back to a position; one that cannot (a pipe, a device) is noticed
// after the archive header, and each entry's stored bytes then go to a spool
// file first, so that its header, which gives their count, can go out before
// them; the same rule decides between the compressor and RLE there.
//
// Why RLE and not a plain copy ("NON"): the component verifies the byte sum
// of every expanded entry except a stored one, so a stored installer would
// be started by the launcher unchecked. RLE costs little where nothing
// compresses: random data grows by about 1/256, at worst ceil(5n/3) bytes
// for n (see the RLE coder in compressors.cpp). An entry is stored as "NON"
// only when its method is asked for by name.
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

// What the archive writer shares between entries: the compressors' level,
// the read buffer (made when first needed) and the progress.
struct Writer {
  int level;
  std::vector<uint8_t> buffer;
  ReadProgress progress;

  std::span<uint8_t> Buffer() {
    if (buffer.empty()) buffer.resize(kReadPiece);
    return buffer;
  }
};

// One reading of an entry's data from its start, with the byte sum and
// count of what was read; Finish checks the count against the entry's size.
class Reading {
 public:
  Reading(const SourcedEntry& e, Writer& w) : entry_(e), source_(*e.data), writer_(w) {
    source_.Open();
  }
  ~Reading() { source_.Close(); }
  Reading(const Reading&) = delete;
  Reading& operator=(const Reading&) = delete;

  // The next piece, empty at the end of the data.
  std::span<const uint8_t> Next() {
    const std::span<const uint8_t> piece = source_.Next(writer_.buffer);
    read_ += piece.size();
    sum_ = ByteSum(piece.data(), piece.size(), sum_);
    if (read_ > entry_.size) Changed();
    writer_.progress.Read(read_);
    return piece;
  }
  void Finish() const {
    if (read_ != entry_.size) Changed();
  }
  uint32_t Sum() const { return sum_; }

  [[noreturn]] void Changed() const {
    throw BuilderError(source_.Subject() + ": changed while being packed (" +
                       std::to_string(entry_.size) + " bytes when listed, " +
                       (read_ > entry_.size ? "more" : std::to_string(read_)) + " when read)");
  }

 private:
  const SourcedEntry& entry_;
  DataSource& source_;
  Writer& writer_;
  uint64_t read_ = 0;
  uint32_t sum_ = 0;
};

void WriteBytes(TStream& out, std::span<const uint8_t> bytes) {
  out.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
}

// Copies the whole data to `out`; returns its byte sum.
uint32_t CopyStored(TStream& out, const SourcedEntry& e, Writer& w) {
  Reading data(e, w);
  for (std::span<const uint8_t> piece = data.Next(); !piece.empty(); piece = data.Next())
    WriteBytes(out, piece);
  data.Finish();
  return data.Sum();
}

struct EntryResult {
  uint8_t method;
  int32_t stored;
  uint32_t checksum;
};

// What one coding pass over an entry's data handed on.
struct Coded {
  bool fits;         // the stored bytes stayed below the pass's limit
  uint64_t written;  // stored bytes handed to the sink
  uint32_t sum;      // the data's byte sum (when `fits`: it was read whole)
};

// One pass of `method`'s compressor over the data of `e`: the stored bytes
// go to `write` while their count stays below `limit`. The moment it would
// reach `limit`, nothing more is handed on and reading stops.
Coded CodeData(const SourcedEntry& e, Writer& w, uint8_t method, uint64_t limit,
               const ByteSink& write) {
  Coded c{true, 0, 0};
  std::unique_ptr<StreamCompressor> compressor =
      StreamCompressorFor(method, w.level, [&](std::span<const uint8_t> bytes) {
        if (!c.fits) return;
        if (c.written + bytes.size() >= limit) {
          c.fits = false;
          return;
        }
        write(bytes);
        c.written += bytes.size();
      });
  Reading data(e, w);
  for (std::span<const uint8_t> piece = data.Next(); !piece.empty(); piece = data.Next()) {
    compressor->Feed(piece);
    if (!c.fits) return c;
  }
  data.Finish();
  compressor->Finish();
  c.sum = data.Sum();
  return c;
}

// The data of `e` RLE-coded to `write`, however large that comes out, up to
// what the entry's Sourcesize field holds.
EntryResult RleCoded(const SourcedEntry& e, Writer& w, const ByteSink& write) {
  const Coded c = CodeData(e, w, kMethodRle, kMaxFieldValue + 1, write);
  if (!c.fits)
    throw BuilderError(e.data->Subject() +
                       ": 2 GiB or more when RLE-coded (an entry stores at most 2 GiB - 1 bytes)");
  return {kMethodRle, static_cast<int32_t>(c.written), c.sum};
}

// The entry as its method makes it when that comes out smaller than the
// data, else RLE-coded: both passes write to `write`, and `restart` is
// called between them. "NON" is not handled here; "RLE" is taken whatever
// its size.
EntryResult MethodOrRle(const SourcedEntry& e, Writer& w, const ByteSink& write,
                        const std::function<void()>& restart) {
  if (e.method != kMethodRle) {
    const Coded c = CodeData(e, w, e.method, e.size, write);
    if (c.fits) return {e.method, static_cast<int32_t>(c.written), c.sum};
    restart();
  }
  return RleCoded(e, w, write);
}

// RLE steps that expand to nothing: a count of 1 is no copies.
constexpr uint8_t kRleNothing[] = {RleMarker, 1};

// Writes the stored bytes of `e` at `out`'s position, streaming; `out` can
// go back to a position.
EntryResult WriteStreamed(TStream& out, const SourcedEntry& e, Writer& w) {
  if (e.method == kMethodStored)
    return {kMethodStored, static_cast<int32_t>(e.size), CopyStored(out, e, w)};
  const int64_t data_start = out.Position();
  int64_t reached = data_start;  // the end of the compressor's bytes, when it gave up
  EntryResult r = MethodOrRle(
      e, w, [&](std::span<const uint8_t> bytes) { WriteBytes(out, bytes); },
      [&] {
        reached = out.Position();
        out.SetPosition(data_start);
      });
  // RLE ends before the compressor's start only when the data changed
  // between the two readings: no-op steps cover the rest (by one byte more
  // at most, so the entry stays below the data's size).
  while (data_start + r.stored < reached) {
    WriteBytes(out, kRleNothing);
    r.stored += static_cast<int32_t>(sizeof kRleNothing);
  }
  return r;
}

// For an output that cannot go back: the entry's stored form decided before
// anything of it is written, its compressed bytes kept in `spool`.
EntryResult Spooled(const SourcedEntry& e, Writer& w, SpoolFile& spool) {
  spool.Clear();
  if (e.method == kMethodStored) {
    Reading data(e, w);
    while (!data.Next().empty()) {
    }
    data.Finish();
    return {kMethodStored, static_cast<int32_t>(e.size), data.Sum()};
  }
  return MethodOrRle(
      e, w, [&](std::span<const uint8_t> bytes) { spool.Write(bytes); }, [&] { spool.Clear(); });
}

void EncodeEntryHeader(const SourcedEntry& e, const EntryResult& r, uint8_t* record) {
  EntryHeaderFor(e.name, r.method, static_cast<int32_t>(e.size), r.stored, r.checksum)
      .Encode(record);
}

// Refuses what the format's fields cannot hold and methods the builder
// cannot write, before anything is written; returns the total size.
uint64_t CheckedTotal(const std::vector<SourcedEntry>& entries) {
  uint64_t total = 0;
  for (const SourcedEntry& e : entries) {
    if (e.name.size() > static_cast<size_t>(EntryHeader::kMaxNameLength))
      throw BuilderError("entry name longer than 32767 bytes");
    if (e.size > kMaxFieldValue)
      throw BuilderError("entry '" + e.name + "' is too large (2 GiB or more)");
    if (e.data && e.method != kMethodStored && CompressorFor(e.method) == nullptr)
      throw BuilderError(e.name + ": method " + std::to_string(e.method) +
                         " cannot be written by this builder");
    total += e.size;
  }
  if (total > kMaxFieldValue)
    throw BuilderError("archive too large: its entries expand to 2 GiB or more");
  return total;
}

class FileSource final : public DataSource {
 public:
  explicit FileSource(std::string path) : path_(std::move(path)) {}
  ~FileSource() override { Close(); }
  const std::string& Subject() const override { return path_; }
  void Open() override {
    Close();
    CheckReadable(path_);
    fd_ = host::OpenForReading(path_);
    if (fd_ < 0) throw BuilderError(path_ + ": " + std::strerror(errno));
  }
  std::span<const uint8_t> Next(std::vector<uint8_t>& buffer) override {
    if (buffer.empty()) buffer.resize(kReadPiece);
    for (;;) {
      const ssize_t n = ::read(fd_, buffer.data(), static_cast<unsigned>(buffer.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw BuilderError(path_ + ": " + std::strerror(errno));
      return std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n));
    }
  }
  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

class MemorySource final : public DataSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  const std::string& Subject() const override { return subject_; }
  void Open() override { left_ = bytes_; }
  std::span<const uint8_t> Next(std::vector<uint8_t>&) override {
    const std::span<const uint8_t> piece = left_.first(std::min(left_.size(), kReadPiece));
    left_ = left_.subspan(piece.size());
    return piece;
  }

 private:
  std::span<const uint8_t> bytes_;
  std::span<const uint8_t> left_;
  std::string subject_ = "memory";
};

class MemoryStoredSource final : public StoredSource {
 public:
  MemoryStoredSource(std::span<const uint8_t> stored, uint32_t checksum)
      : stored_(stored), checksum_(checksum) {}
  int32_t StoredSize() const override { return static_cast<int32_t>(stored_.size()); }
  uint32_t Verify() override { return checksum_; }
  void CopyTo(TStream& out) override { WriteBytes(out, stored_); }

 private:
  std::span<const uint8_t> stored_;
  uint32_t checksum_;
};

}  // namespace

std::shared_ptr<DataSource> FileData(const std::string& path) {
  return std::make_shared<FileSource>(path);
}

std::shared_ptr<DataSource> MemoryData(std::span<const uint8_t> bytes) {
  return std::make_shared<MemorySource>(bytes);
}

std::shared_ptr<StoredSource> MemoryStored(std::span<const uint8_t> stored, uint32_t checksum) {
  return std::make_shared<MemoryStoredSource>(stored, checksum);
}

void WriteArchive(TStream& out, const std::vector<SourcedEntry>& entries,
                  const WrittenCallback& done, const WriteOptions& options) {
  const uint64_t total = CheckedTotal(entries);
  Writer w{std::clamp(options.level, kMinLevel, kMaxLevel), {}, ReadProgress(options.reading)};

  // A stream that cannot go back reports its write count wherever it is
  // asked to go; files and memory go past their end.
  const int64_t start = out.Position();
  const bool seekable = out.Seek(start + 1, SeekOrigin::kBeginning) == start + 1;
  out.SetPosition(start);
  std::unique_ptr<SpoolFile> spool;

  // The header's method is known once the first entry is made. On an
  // output that can go back, its place is held by a header naming the
  // planned method until then; on one that cannot, the first entry is made
  // before the header goes out.
  uint8_t record[EntryHeader::kSize];
  static_assert(EntryHeader::kSize >= ArchiveHeader::kSize);
  const uint8_t planned_first = entries.empty() ? uint8_t{kMethodStored} : entries[0].method;
  if (seekable || entries.empty()) {
    ArchiveHeaderFor(planned_first, static_cast<int32_t>(total)).Encode(record);
    out.WriteBuffer(record, ArchiveHeader::kSize);
  }
  auto header_first = [&](size_t i, uint8_t method) {
    if (seekable || i > 0) return;
    ArchiveHeaderFor(method, static_cast<int32_t>(total)).Encode(record);
    out.WriteBuffer(record, ArchiveHeader::kSize);
  };

  uint8_t first_method = kMethodStored;
  uint64_t read = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const SourcedEntry& e = entries[i];
    const int64_t entry_start = out.Position();
    w.progress.StartEntry(read);
    EntryResult r{e.method, 0, 0};
    if (e.stored) {
      // Made elsewhere: verified, then taken as it is, on either output.
      r = {e.method, e.stored->StoredSize(), e.stored->Verify()};
      header_first(i, r.method);
      EncodeEntryHeader(e, r, record);
      out.WriteBuffer(record, EntryHeader::kSize);
      out.WriteBuffer(e.name.data(), static_cast<int32_t>(e.name.size()));
      e.stored->CopyTo(out);
    } else if (seekable) {
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
      if (!spool) spool = std::make_unique<SpoolFile>();
      r = Spooled(e, w, *spool);
      header_first(i, r.method);
      EncodeEntryHeader(e, r, record);
      out.WriteBuffer(record, EntryHeader::kSize);
      out.WriteBuffer(e.name.data(), static_cast<int32_t>(e.name.size()));
      if (r.method != kMethodStored) {
        spool->CopyTo(out, w.Buffer());
      } else if (CopyStored(out, e, w) != r.checksum) {
        // The header already out carries the sum of the first reading.
        throw BuilderError(e.data->Subject() +
                           ": changed while being packed (its bytes differ between two "
                           "readings)");
      }
    }
    if (i == 0) first_method = r.method;
    read += e.size;
    if (done) done(WrittenEntry{e, i, r.method, r.stored}, read);
  }
  if (seekable && first_method != planned_first) {
    const int64_t end = out.Position();
    out.SetPosition(start);
    ArchiveHeaderFor(first_method, static_cast<int32_t>(total)).Encode(record);
    out.WriteBuffer(record, ArchiveHeader::kSize);
    out.SetPosition(end);
  }
}

void WriteArchive(TStream& out, const std::vector<PlannedEntry>& plan, const WrittenCallback& done,
                  const WriteOptions& options) {
  std::vector<SourcedEntry> entries;
  entries.reserve(plan.size());
  for (const PlannedEntry& p : plan)
    entries.push_back(SourcedEntry{p.name, p.method, p.size, FileData(p.path), nullptr});
  WriteArchive(out, entries, done, options);
}

std::vector<uint8_t> BuildArchive(const std::vector<ArchiveEntrySpec>& entries, int level) {
  std::vector<SourcedEntry> sourced;
  sourced.reserve(entries.size());
  for (const ArchiveEntrySpec& e : entries)
    sourced.push_back(SourcedEntry{e.name, e.method, e.data.size(), MemoryData(e.data), nullptr});
  TMemoryStream out;
  WriteOptions options;
  options.level = level;
  WriteArchive(out, sourced, nullptr, options);
  return std::move(out.Data());
}

std::vector<uint8_t> BuildArchive(const std::vector<PrecompressedEntry>& entries) {
  std::vector<SourcedEntry> sourced;
  sourced.reserve(entries.size());
  for (const PrecompressedEntry& e : entries) {
    if (e.stored.size() > kMaxFieldValue)
      throw BuilderError("entry '" + e.name + "' is too large when stored");
    sourced.push_back(SourcedEntry{e.name, e.method, static_cast<uint64_t>(e.destsize), nullptr,
                                   MemoryStored(e.stored, e.checksum)});
  }
  TMemoryStream out;
  WriteArchive(out, sourced, nullptr);
  return std::move(out.Data());
}

}  // namespace kv::tools

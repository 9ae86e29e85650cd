// Reading LHA member headers and verifying members through the codec session.
//
// Header layouts (little-endian, offsets from the header's first byte):
//   level 0/1: [0] size of the header after its first two bytes, [1] byte
//     sum of those bytes, [2..6] method, [7] compressed size (level 1: plus
//     the extended headers that follow), [11] original size, [15] time,
//     [19] attribute, [20] level, [21] name length n, [22] name, [22+n]
//     CRC-16; level 1 then has an OS byte and, in its last two bytes, the
//     size of the first extended header.
//   level 2: [0] size of the whole header including extended headers,
//     [2..6] method, [7] compressed size, [11] original size, [15] time,
//     [20] level, [21] CRC-16, [23] OS byte, [24] size of the first extended
//     header, then the extended headers.
//   An extended header of size s is a type byte, s - 3 bytes of data and the
//   size of the next one (0 ends the list). Type 1 holds the file name, type
//   2 the directory name with 0xFF between its parts.
// Every field is checked against the bytes present before it is used. The
// headers are read from a stream through one scratch area of 64 KiB, the
// largest any header size field can name, and the members' bytes are read
// in pieces: no size read from the archive decides an allocation.
#include "tools/lha_import.h"
#include "tools/streams.h"

#include <array>
#include <cstdio>
#include <optional>

#include "archive/codec_session.h"
#include "archive/dozirivovaze.h"
#include "archive/records.h"
#include "core/bytes.h"
#include "core/exceptions.h"
#include "tools/archive_input.h"
#include "tools/entry_names.h"
#include "tools/file_util.h"
#include "tools/methods.h"
#include "tools/output.h"

namespace kv::tools {
namespace {

constexpr size_t kMethodOffset = 2, kMethodLength = 5, kPackedOffset = 7, kOriginalOffset = 11,
                 kLevelOffset = 20;
constexpr size_t kLevel01NameLength = 21, kLevel01Name = 22;
constexpr size_t kLevel2Crc = 21, kLevel2FirstExtSize = 24, kLevel2Fixed = 26;
constexpr uint8_t kExtFileName = 0x01, kExtDirName = 0x02;

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001u : c >> 1;
    t[i] = static_cast<uint16_t>(c);
  }
  return t;
}
constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

[[noreturn]] void Damaged(uint64_t offset, const std::string& what) {
  throw BuilderError("LHA header at offset " + std::to_string(offset) + ": " + what);
}

char Separator(uint8_t c) {
  return (c == '/' || c == 0xFF) ? '\\' : static_cast<char>(c);
}

std::string PathText(std::span<const uint8_t> bytes) {
  std::string s;
  for (uint8_t c : bytes) s.push_back(Separator(c));
  return s;
}

// Reads member headers from a stream, through a scratch area that holds the
// largest header (or extended header) a size field can name.
class HeaderReader {
 public:
  explicit HeaderReader(TStream& in) : in_(in), size_(static_cast<uint64_t>(in.Size())) {}

  // The header at `at`, or nothing at the end mark (a header size of 0) or
  // the end of the data.
  std::optional<LhaMemberHeader> Read(uint64_t at);

 private:
  static constexpr size_t kScratch = size_t{1} << 16;

  // `n` bytes at `at` (n at most kScratch); the caller has checked that they
  // are in the archive.
  std::span<const uint8_t> Fetch(uint64_t at, size_t n) {
    in_.SetPosition(static_cast<int64_t>(at));
    in_.ReadBuffer(scratch_.data(), static_cast<int32_t>(n));
    return std::span<const uint8_t>(scratch_.data(), n);
  }

  // Walks the extended headers from `at` (the first one's size given);
  // fills the names and returns the offset after the last one. `end`
  // bounds them.
  uint64_t ReadExtendedHeaders(uint64_t header_at, uint64_t at, size_t size, uint64_t end,
                               std::string& file_name, std::string& dir_name) {
    while (size != 0) {
      if (size < 3 || size > end - at) Damaged(header_at, "extended header runs past its end");
      const std::span<const uint8_t> x = Fetch(at, size);
      const std::span<const uint8_t> data = x.subspan(1, size - 3);
      if (x[0] == kExtFileName) file_name = PathText(data);
      if (x[0] == kExtDirName) dir_name = PathText(data);
      at += size;
      size = LoadLE16(&x[size - 2]);
    }
    return at;
  }

  TStream& in_;
  uint64_t size_;
  std::vector<uint8_t> scratch_ = std::vector<uint8_t>(kScratch);
};

std::optional<LhaMemberHeader> HeaderReader::Read(uint64_t at) {
  if (at >= size_ || Fetch(at, 1)[0] == 0) return std::nullopt;
  const uint64_t left = size_ - at;
  if (left < kLevel01Name) Damaged(at, "cut short");
  std::span<const uint8_t> h = Fetch(at, kLevel01Name);
  LhaMemberHeader m;
  m.header_level = h[kLevelOffset];
  m.method.assign(reinterpret_cast<const char*>(&h[kMethodOffset]), kMethodLength);
  const uint32_t packed = LoadLE32(&h[kPackedOffset]);
  m.original_size = LoadLE32(&h[kOriginalOffset]);
  std::string file_name, dir_name;
  uint64_t data_at = 0;
  uint64_t data_size = packed;
  if (m.header_level == 0 || m.header_level == 1) {
    const size_t base = size_t{h[0]} + 2;
    if (base > left) Damaged(at, "cut short");
    h = Fetch(at, base);
    if (static_cast<uint8_t>(ByteSum(&h[2], base - 2)) != h[1])
      Damaged(at, "header checksum does not match");
    const size_t name_length = h[kLevel01NameLength];
    if (kLevel01Name + name_length + 2 > base) Damaged(at, "name runs past the header");
    file_name = PathText(h.subspan(kLevel01Name, name_length));
    m.crc = LoadLE16(&h[kLevel01Name + name_length]);
    data_at = at + base;
    if (m.header_level == 1) {
      if (kLevel01Name + name_length + 5 > base) Damaged(at, "level-1 header too short");
      const size_t first = LoadLE16(&h[base - 2]);
      const uint64_t after = ReadExtendedHeaders(at, data_at, first, size_, file_name, dir_name);
      const uint64_t extended = after - data_at;
      if (extended > packed) Damaged(at, "extended headers larger than the member");
      data_size = packed - extended;
      data_at = after;
    }
  } else if (m.header_level == 2) {
    if (left < kLevel2Fixed) Damaged(at, "cut short");
    h = Fetch(at, kLevel2Fixed);
    const size_t total = LoadLE16(&h[0]);
    if (total < kLevel2Fixed || total > left) Damaged(at, "header size out of range");
    m.crc = LoadLE16(&h[kLevel2Crc]);
    ReadExtendedHeaders(at, at + kLevel2Fixed, LoadLE16(&h[kLevel2FirstExtSize]), at + total,
                        file_name, dir_name);
    data_at = at + total;
  } else {
    Damaged(at, "header level " + std::to_string(m.header_level) + " is not supported");
  }
  if (data_size > size_ - data_at) Damaged(at, "member data cut short");
  m.name = dir_name;
  if (!m.name.empty() && m.name.back() != '\\') m.name.push_back('\\');
  m.name += file_name;
  m.data_offset = data_at;
  m.data_size = data_size;
  return m;
}

// A sink that keeps only what verification needs.
class VerifyingSink final : public TStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override {
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(buffer),
                                         static_cast<size_t>(count));
    crc_ = LhaCrc16(bytes, crc_);
    sum_ = ByteSum(bytes.data(), bytes.size(), sum_);
    size_ += count;
    return count;
  }
  int64_t Seek(int64_t, SeekOrigin) override { return size_; }
  int64_t Size() override { return size_; }
  uint16_t Crc() const { return crc_; }
  uint32_t Sum() const { return sum_; }

 private:
  int64_t size_ = 0;
  uint16_t crc_ = 0;
  uint32_t sum_ = 0;
};

std::string Hex4(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", v & 0xFFFFu);
  return text;
}

}  // namespace

uint16_t LhaCrc16(std::span<const uint8_t> data, uint16_t crc) {
  for (uint8_t b : data) crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ b) & 0xFF]);
  return crc;
}

std::vector<LhaMember> ReadLhaArchive(std::span<const uint8_t> a) {
  TSpanStream in(a);
  HeaderReader reader(in);
  std::vector<LhaMember> members;
  for (uint64_t at = 0; std::optional<LhaMemberHeader> h = reader.Read(at);) {
    LhaMember m;
    static_cast<LhaMemberHeader&>(m) = std::move(*h);
    const std::span<const uint8_t> stored =
        a.subspan(static_cast<size_t>(m.data_offset), static_cast<size_t>(m.data_size));
    m.stored.assign(stored.begin(), stored.end());
    at = m.data_offset + m.data_size;
    members.push_back(std::move(m));
  }
  return members;
}

namespace {

std::string Who(const LhaMemberHeader& member) {
  return "member '" + Printable(member.name) + "'";
}

// Refuses a member whose name the builder would not write from files (an
// absolute name, a '..' part: a reader that makes folders would leave its
// target folder) or that Windows cannot make: the launcher would fail on it
// half-way through an installation.
void CheckMemberName(const LhaMemberHeader& member) {
  try {
    CheckedEntryName(member.name);
  } catch (const BuilderError& e) {
    throw BuilderError(Who(member) + ": " + e.what());
  }
  const std::string problem = WindowsEntryNameProblem(member.name);
  if (!problem.empty()) throw BuilderError(Who(member) + ": " + problem);
}

// The project method of a member, refused when it has none or when a size
// is beyond the container's fields.
uint8_t CheckedMethod(const LhaMemberHeader& member) {
  const int method = MethodForLha(member.method);
  if (method < 0)
    throw BuilderError(Who(member) + " uses method " + member.method +
                       ", which cannot be imported (only " + ImportableLhaMethods() + ")");
  if (member.original_size > kMaxFieldValue || member.data_size > kMaxFieldValue)
    throw BuilderError(Who(member) + " is too large for this archive format");
  return static_cast<uint8_t>(method);
}

// Expands the member's compressed bytes (all of `data`, read from its
// start) and checks the size and CRC-16 of the output; returns its byte
// sum.
uint32_t VerifiedSum(const LhaMemberHeader& member, uint8_t method, TStream& data) {
  VerifyingSink sink;
  const auto stored = static_cast<int32_t>(member.data_size);
  data.SetPosition(0);
  if (method == kMethodStored) {
    if (stored > 0) sink.CopyFrom(data, stored);
  } else {
    TKVDoziRivovaze component(nullptr);
    uint32_t checksum = 0;
    try {
      RunCodecSession(component, sink, data, stored, static_cast<int32_t>(member.original_size),
                      method, checksum, true);
    } catch (const Exception& x) {
      throw BuilderError(Who(member) + " (" + member.method + ") does not expand: " + x.Message());
    }
  }
  if (sink.Size() != static_cast<int64_t>(member.original_size))
    throw BuilderError(Who(member) + " expands to " + std::to_string(sink.Size()) + " bytes, not " +
                       std::to_string(member.original_size));
  if (sink.Crc() != member.crc)
    throw BuilderError(Who(member) + ": CRC-16 " + Hex4(sink.Crc()) + " of the expanded data, " +
                       Hex4(member.crc) + " in its header");
  return sink.Sum();
}

// A member's compressed bytes in the LHA file, verified and then copied
// into the archive unchanged, both in pieces.
class MemberSource final : public StoredSource {
 public:
  MemberSource(TStream& in, const LhaMemberHeader& member, uint8_t method)
      : member_(member),
        method_(method),
        data_(in, static_cast<int64_t>(member.data_offset),
              static_cast<int64_t>(member.data_size)) {}
  int32_t StoredSize() const override { return static_cast<int32_t>(member_.data_size); }
  uint32_t Verify() override { return VerifiedSum(member_, method_, data_); }
  void CopyTo(TStream& out) override {
    data_.SetPosition(0);
    if (StoredSize() > 0) out.CopyFrom(data_, StoredSize());
  }

 private:
  const LhaMemberHeader& member_;
  uint8_t method_;
  TWindowStream data_;
};

}  // namespace

PrecompressedEntry ImportLhaMember(const LhaMember& member) {
  PrecompressedEntry e;
  e.name = member.name;
  e.method = CheckedMethod(member);
  CheckMemberName(member);
  e.destsize = static_cast<int32_t>(member.original_size);
  e.stored = member.stored;
  TSpanStream data(member.stored);
  e.checksum = VerifiedSum(member, e.method, data);
  return e;
}

std::vector<ImportedEntry> ImportLhaArchive(const std::string& lzh_path,
                                            const std::string& out_path, bool overwrite,
                                            int* folders_skipped,
                                            const std::function<void(TStream&)>& check) {
  CheckReadable(lzh_path);
  try {
    TFileStream in(lzh_path, FileMode::kOpenReadShared);
    HeaderReader reader(in);

    // Every header first: a member that cannot be imported is refused
    // before anything is written, and the archive header's fields are known.
    std::vector<LhaMemberHeader> members;
    std::vector<ImportedEntry> entries;
    int skipped = 0;
    int64_t total = 0;
    for (uint64_t at = 0; std::optional<LhaMemberHeader> h = reader.Read(at);) {
      at = h->data_offset + h->data_size;
      // A folder member holds no data; its files come as members of their own.
      if (h->method == kLhaFolderMethod) {
        ++skipped;
        continue;
      }
      const uint8_t method = CheckedMethod(*h);
      CheckMemberName(*h);
      if (h->name.size() > static_cast<size_t>(EntryHeader::kMaxNameLength))
        throw BuilderError(Who(*h) + ": name longer than 32767 bytes");
      total += h->original_size;
      entries.push_back({h->name, method, static_cast<int32_t>(h->original_size),
                         static_cast<int32_t>(h->data_size)});
      members.push_back(std::move(*h));
    }
    if (static_cast<uint64_t>(total) > kMaxFieldValue)
      throw BuilderError("archive too large: its entries expand to 2 GiB or more");
    if (folders_skipped != nullptr) *folders_skipped = skipped;

    std::vector<SourcedEntry> sourced;
    sourced.reserve(members.size());
    for (size_t i = 0; i < members.size(); ++i)
      sourced.push_back(
          SourcedEntry{entries[i].name, entries[i].method, members[i].original_size, nullptr,
                       std::make_shared<MemberSource>(in, members[i], entries[i].method)});
    WriteOutput(
        out_path, overwrite, [&](TStream& out) { WriteArchive(out, sourced, nullptr); }, check);
    return entries;
  } catch (const EReadError&) {
    throw BuilderError(lzh_path + ": cut short while being read (did it change?)");
  }
}

}  // namespace kv::tools

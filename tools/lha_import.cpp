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
// Every field is checked against the bytes present before it is used; no
// size read from the archive decides an allocation beyond those bytes.
#include "tools/lha_import.h"

#include <array>
#include <cstdio>
#include <limits>

#include "archive/codec_session.h"
#include "archive/dozirivovaze.h"
#include "core/bytes.h"
#include "tools/file_util.h"

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

[[noreturn]] void Damaged(size_t offset, const std::string& what) {
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

// Walks the extended headers from `at` (the first one's size given); fills
// the names and returns the offset after the last one. `end` bounds them.
size_t ReadExtendedHeaders(std::span<const uint8_t> a, size_t header_at, size_t at, size_t size,
                           size_t end, std::string& file_name, std::string& dir_name) {
  while (size != 0) {
    if (size < 3 || size > end - at) Damaged(header_at, "extended header runs past its end");
    const uint8_t type = a[at];
    const std::span<const uint8_t> data = a.subspan(at + 1, size - 3);
    if (type == kExtFileName) file_name = PathText(data);
    if (type == kExtDirName) dir_name = PathText(data);
    const size_t next = LoadLE16(&a[at + size - 2]);
    at += size;
    size = next;
  }
  return at;
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
  std::vector<LhaMember> members;
  size_t at = 0;
  while (at < a.size() && a[at] != 0) {
    const size_t left = a.size() - at;
    if (left < kLevel01Name) Damaged(at, "cut short");
    const std::span<const uint8_t> h = a.subspan(at);
    LhaMember m;
    m.header_level = h[kLevelOffset];
    m.method.assign(reinterpret_cast<const char*>(&h[kMethodOffset]), kMethodLength);
    const uint32_t packed = LoadLE32(&h[kPackedOffset]);
    m.original_size = LoadLE32(&h[kOriginalOffset]);
    std::string file_name, dir_name;
    size_t data_at = 0;
    size_t data_size = packed;
    if (m.header_level == 0 || m.header_level == 1) {
      const size_t base = size_t{h[0]} + 2;
      if (base > left) Damaged(at, "cut short");
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
        const size_t after =
            ReadExtendedHeaders(a, at, data_at, first, a.size(), file_name, dir_name);
        const size_t extended = after - data_at;
        if (extended > packed) Damaged(at, "extended headers larger than the member");
        data_size = packed - extended;
        data_at = after;
      }
    } else if (m.header_level == 2) {
      if (left < kLevel2Fixed) Damaged(at, "cut short");
      const size_t total = LoadLE16(&h[0]);
      if (total < kLevel2Fixed || total > left) Damaged(at, "header size out of range");
      m.crc = LoadLE16(&h[kLevel2Crc]);
      ReadExtendedHeaders(a, at, at + kLevel2Fixed, LoadLE16(&h[kLevel2FirstExtSize]), at + total,
                          file_name, dir_name);
      data_at = at + total;
    } else {
      Damaged(at, "header level " + std::to_string(m.header_level) + " is not supported");
    }
    if (data_size > a.size() - data_at) Damaged(at, "member data cut short");
    m.name = dir_name;
    if (!m.name.empty() && m.name.back() != '\\') m.name.push_back('\\');
    m.name += file_name;
    m.stored.assign(a.begin() + static_cast<ptrdiff_t>(data_at),
                    a.begin() + static_cast<ptrdiff_t>(data_at + data_size));
    members.push_back(std::move(m));
    at = data_at + data_size;
  }
  return members;
}

int MethodForLha(const std::string& lha_method) {
  if (lha_method == "-lh0-") return kMethodStored;
  if (lha_method == "-lh1-") return kMethodLzh1;
  if (lha_method == "-lh5-") return kMethodLh5;
  return -1;
}

PrecompressedEntry ImportLhaMember(const LhaMember& member) {
  const std::string who = "member '" + member.name + "'";
  const int method = MethodForLha(member.method);
  if (method < 0)
    throw BuilderError(who + " uses method " + member.method +
                       ", which cannot be imported (only -lh0-, -lh1- and -lh5-)");
  constexpr uint32_t kMaxSize = std::numeric_limits<int32_t>::max();
  if (member.original_size > kMaxSize || member.stored.size() > kMaxSize)
    throw BuilderError(who + " is too large for this archive format");

  PrecompressedEntry e;
  e.name = member.name;
  e.method = static_cast<uint8_t>(method);
  e.destsize = static_cast<int32_t>(member.original_size);
  e.stored = member.stored;

  VerifyingSink sink;
  if (method == kMethodStored) {
    sink.Write(member.stored.data(), static_cast<int32_t>(member.stored.size()));
  } else {
    TKVDoziRivovaze component(nullptr);
    TMemoryStream source(member.stored);
    uint32_t checksum = 0;
    try {
      RunCodecSession(component, sink, source, static_cast<int32_t>(member.stored.size()),
                      e.destsize, e.method, checksum, true);
    } catch (const Exception& x) {
      throw BuilderError(who + " (" + member.method + ") does not expand: " + x.Message());
    }
  }
  if (sink.Size() != static_cast<int64_t>(member.original_size))
    throw BuilderError(who + " expands to " + std::to_string(sink.Size()) + " bytes, not " +
                       std::to_string(member.original_size));
  if (sink.Crc() != member.crc)
    throw BuilderError(who + ": CRC-16 " + Hex4(sink.Crc()) + " of the expanded data, " +
                       Hex4(member.crc) + " in its header");
  e.checksum = sink.Sum();
  return e;
}

std::vector<PrecompressedEntry> ImportLhaArchive(const std::string& lzh_path,
                                                 const std::string& out_path, bool overwrite,
                                                 int* folders_skipped) {
  const std::vector<uint8_t> lzh = ReadWholeFile(lzh_path);
  std::vector<PrecompressedEntry> entries;
  int skipped = 0;
  for (const LhaMember& m : ReadLhaArchive(lzh)) {
    // A folder member holds no data; its files come as members of their own.
    if (m.method == kLhaFolderMethod) {
      ++skipped;
      continue;
    }
    entries.push_back(ImportLhaMember(m));
  }
  if (folders_skipped != nullptr) *folders_skipped = skipped;
  WriteFileSafely(out_path, overwrite, BuildArchive(entries));
  return entries;
}

}  // namespace kv::tools

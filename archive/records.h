// The archive's two records and the method table.
//
// An archive is an ArchiveHeader (21 bytes) followed by entries, each an
// EntryHeader (25 bytes), the entry's name and its stored bytes. Records are
// packed and little-endian; they are decoded from byte arrays field by field
// at the offsets below, never overlaid on memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kv {

// Method numbers index this table.
inline constexpr int kMethodCount = 5;
inline constexpr std::array<std::string_view, kMethodCount> MethodIDs = {"NON", "RLE", "LZH", "CUS",
                                                                         "LH5"};
enum Method : uint8_t {
  kMethodStored = 0,
  kMethodRle = 1,
  kMethodLzh1 = 2,
  kMethodCustom = 3,
  kMethodLh5 = 4,
};

inline constexpr uint8_t caMulti = 1;  // the only archive type there is
inline constexpr char kArchiveMagic[5] = {'Z', 'E', 'R', 'K', 0x1A};

struct ArchiveHeader {
  // Field offsets and the record size.
  static constexpr size_t kMagic = 0, kCompressID = 5, kTotalSize = 8, kArchiveType = 12,
                          kReserved1 = 13, kReserved2 = 17, kSize = 21;

  uint8_t Magic[5] = {};
  char CompressID[3] = {};
  int32_t TotalSize = 0;
  uint8_t ArchiveType = 0;
  uint32_t Reserved1 = 0;
  uint32_t Reserved2 = 0;

  static ArchiveHeader Decode(const uint8_t* bytes);
  void Encode(uint8_t* bytes) const;
  bool HasMagic() const;
};
static_assert(ArchiveHeader::kReserved2 + 4 == ArchiveHeader::kSize && ArchiveHeader::kSize == 21);

struct EntryHeader {
  static constexpr size_t kNameLength = 0, kReserved1 = 2, kDestsize = 8, kSourcesize = 12,
                          kMethod = 16, kChecksum = 17, kReserved2 = 21, kSize = 25;
  // Longest name a record can announce.
  static constexpr int32_t kMaxNameLength = 32767;

  int16_t NameLength = 0;
  uint8_t Reserved1[6] = {};
  int32_t Destsize = 0;
  int32_t Sourcesize = 0;
  uint8_t Method = 0;
  uint32_t Checksum = 0;
  uint32_t Reserved2 = 0;

  static EntryHeader Decode(const uint8_t* bytes);
  void Encode(uint8_t* bytes) const;
};
static_assert(EntryHeader::kReserved2 + 4 == EntryHeader::kSize && EntryHeader::kSize == 25);

}  // namespace kv

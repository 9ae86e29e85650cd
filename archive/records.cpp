#include "archive/records.h"

#include <cstring>

#include "core/bytes.h"

namespace kv {

ArchiveHeader ArchiveHeader::Decode(const uint8_t* bytes) {
  ArchiveHeader h;
  std::memcpy(h.Magic, bytes + kMagic, sizeof h.Magic);
  std::memcpy(h.CompressID, bytes + kCompressID, sizeof h.CompressID);
  h.TotalSize = static_cast<int32_t>(LoadLE32(bytes + kTotalSize));
  h.ArchiveType = bytes[kArchiveType];
  h.Reserved1 = LoadLE32(bytes + kReserved1);
  h.Reserved2 = LoadLE32(bytes + kReserved2);
  return h;
}

void ArchiveHeader::Encode(uint8_t* bytes) const {
  std::memcpy(bytes + kMagic, Magic, sizeof Magic);
  std::memcpy(bytes + kCompressID, CompressID, sizeof CompressID);
  StoreLE32(bytes + kTotalSize, static_cast<uint32_t>(TotalSize));
  bytes[kArchiveType] = ArchiveType;
  StoreLE32(bytes + kReserved1, Reserved1);
  StoreLE32(bytes + kReserved2, Reserved2);
}

bool ArchiveHeader::HasMagic() const {
  return std::memcmp(Magic, kArchiveMagic, sizeof kArchiveMagic) == 0;
}

EntryHeader EntryHeader::Decode(const uint8_t* bytes) {
  EntryHeader h;
  h.NameLength = static_cast<int16_t>(LoadLE16(bytes + kNameLength));
  std::memcpy(h.Reserved1, bytes + kReserved1, sizeof h.Reserved1);
  h.Destsize = static_cast<int32_t>(LoadLE32(bytes + kDestsize));
  h.Sourcesize = static_cast<int32_t>(LoadLE32(bytes + kSourcesize));
  h.Method = bytes[kMethod];
  h.Checksum = LoadLE32(bytes + kChecksum);
  h.Reserved2 = LoadLE32(bytes + kReserved2);
  return h;
}

void EntryHeader::Encode(uint8_t* bytes) const {
  StoreLE16(bytes + kNameLength, static_cast<uint16_t>(NameLength));
  std::memcpy(bytes + kReserved1, Reserved1, sizeof Reserved1);
  StoreLE32(bytes + kDestsize, static_cast<uint32_t>(Destsize));
  StoreLE32(bytes + kSourcesize, static_cast<uint32_t>(Sourcesize));
  bytes[kMethod] = Method;
  StoreLE32(bytes + kChecksum, Checksum);
  StoreLE32(bytes + kReserved2, Reserved2);
}

}  // namespace kv

#include "tools/archive_input.h"
#include "tools/streams.h"

#include <algorithm>
#include <cstring>

#include "archive/records.h"
#include "core/bytes.h"
#include "launcher/launcher.h"
#include "tools/archive_writer.h"
#include "tools/file_util.h"

namespace kv::tools {

namespace {

bool HasMagic(TStream& s, int64_t at) {
  uint8_t magic[sizeof kArchiveMagic];
  s.SetPosition(at);
  return s.Read(magic, sizeof magic) == static_cast<int32_t>(sizeof magic) &&
         std::memcmp(magic, kArchiveMagic, sizeof magic) == 0;
}

}  // namespace

ArchiveInput::ArchiveInput(const std::string& path) {
  CheckReadable(path);
  file_ = std::make_unique<TFileStream>(path, FileMode::kOpenReadShared);
  const int64_t size = file_->Size();
  file_size_ = size;
  payload_end_ = size;
  if (HasMagic(*file_, 0)) {
    if (size < static_cast<int64_t>(ArchiveHeader::kSize))
      throw BuilderError(path + ": not an archive (shorter than an archive header)");
    window_ = std::make_unique<TWindowStream>(*file_, 0, size);
    return;
  }
  const int32_t offset = LocatePayload(path);
  if (offset < 1) {
    throw BuilderError(path + (size < static_cast<int64_t>(ArchiveHeader::kSize)
                                   ? ": not an archive (shorter than an archive header)"
                                   : ": not an archive, nor a launcher that carries one"));
  }
  uint8_t length_bytes[4];
  file_->SetPosition(offset);
  if (file_->Read(length_bytes, 4) != 4)
    throw BuilderError(path + ": launcher payload cut short before its length");
  const uint32_t length = LoadLE32(length_bytes);
  const int64_t available = size - offset - 4;
  if (length > kMaxFieldValue || static_cast<int64_t>(length) > available)
    throw BuilderError(path + ": launcher payload cut short (" + std::to_string(available) +
                       " of " + std::to_string(length) + " bytes)");
  if (length < ArchiveHeader::kSize || !HasMagic(*file_, offset + 4))
    throw BuilderError(path + ": the launcher's payload is not an archive");
  payload_offset_ = offset;
  payload_end_ = int64_t{offset} + 4 + length;
  window_ = std::make_unique<TWindowStream>(*file_, offset + 4, length);
}

}  // namespace kv::tools

#include "tools/archive_input.h"
#include "tools/streams.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "archive/records.h"
#include "core/bytes.h"
#include "launcher/launcher.h"
#include "tools/archive_writer.h"
#include "tools/file_util.h"
#include "tools/verify.h"

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
  // Found as the launcher finds it, through the file already open.
  std::optional<PayloadPlace> place;
  try {
    place = LocatePayloadPlace(*file_);
  } catch (const BuilderError& e) {
    throw BuilderError(path + ": " + e.what());
  }
  if (!place) {
    throw BuilderError(path + (size < static_cast<int64_t>(ArchiveHeader::kSize)
                                   ? ": not an archive (shorter than an archive header)"
                                   : ": not an archive, nor a launcher that carries one"));
  }
  payload_offset_ = place->offset;
  payload_end_ = place->End();
  window_ = std::make_unique<TWindowStream>(*file_, place->offset + 4, place->length);
}

}  // namespace kv::tools

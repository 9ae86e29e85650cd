#include "tools/archive_reader.h"

#include <algorithm>

#include "core/bytes.h"

namespace kv::tools {

ArchiveListing ListArchive(TKVDoziRivovaze& component, TStream& archive) {
  ArchiveListing listing;
  component.ReadArchiveHeader(archive, listing.header, listing.compress_id);
  uint32_t total = 0;
  ListedEntry e;
  while (component.ReadEntryHeader(archive, e.header, e.name)) {
    e.data_offset = archive.Position();
    e.visited = static_cast<int32_t>(total) < listing.header.TotalSize;
    total += static_cast<uint32_t>(e.header.Destsize);
    listing.entries.push_back(e);
    archive.SetPosition(e.data_offset + std::max<int32_t>(e.header.Sourcesize, 0));
  }
  return listing;
}

int32_t SummingSink::Write(const void* buffer, int32_t count) {
  sum_ = ByteSum(static_cast<const uint8_t*>(buffer), static_cast<size_t>(count), sum_);
  size_ += count;
  return count;
}

}  // namespace kv::tools

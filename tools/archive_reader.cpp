#include "tools/archive_reader.h"

#include "core/bytes.h"

namespace kv::tools {

namespace {

struct Lister {
  ArchiveListing& listing;
  void Visit(const WalkedEntry& e) {
    listing.entries.push_back(ListedEntry{e.Header, e.Name, e.DataStart, e.Reached});
  }
};

}  // namespace

ArchiveListing ListArchive(TKVDoziRivovaze& component, TStream& archive) {
  ArchiveListing listing;
  Lister lister{listing};
  component.VisitEntries(archive, listing.header, listing.compress_id,
                         TEntryVisitor::Bind<&Lister::Visit>(&lister), /*PastTotal=*/true);
  return listing;
}

int32_t SummingSink::Write(const void* buffer, int32_t count) {
  sum_ = ByteSum(static_cast<const uint8_t*>(buffer), static_cast<size_t>(count), sum_);
  size_ += count;
  return count;
}

}  // namespace kv::tools

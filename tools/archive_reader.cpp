#include "tools/archive_reader.h"

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

}  // namespace kv::tools

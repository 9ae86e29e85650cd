// The builder's view of an existing archive: every entry in file order, with
// whether the component's walk would visit it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/dozirivovaze.h"

namespace kv::tools {

struct ListedEntry {
  EntryHeader header;
  std::string name;
  int64_t data_offset = 0;  // of the stored bytes in the archive file
  bool visited = false;     // reached by the walk before TotalSize ran out
};

struct ArchiveListing {
  ArchiveHeader header;
  std::string compress_id;
  std::vector<ListedEntry> entries;
};

// Every entry of the archive by the component's own walk, to the end of the
// file or the first damaged header, including those past the TotalSize cut.
ArchiveListing ListArchive(TKVDoziRivovaze& component, TStream& archive);

}  // namespace kv::tools

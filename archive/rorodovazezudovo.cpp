#include "archive/rorodovazezudovo.h"

#include <memory>

namespace kv {

void ExtractFromArchive(const std::string& ArchiveFileName, TStream& Dest,
                        const std::string& EntryName, const TShowProgressEvent& OnShowProgress) {
  auto component = std::make_unique<TKVDoziRivovaze>(nullptr);
  component->SetOnShowProgress(OnShowProgress);
  component->ExtractEntry(ArchiveFileName, Dest, EntryName);
}

}  // namespace kv

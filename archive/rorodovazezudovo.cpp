#include "archive/rorodovazezudovo.h"

#include <memory>

namespace kv {

void ExtractFromArchive(const std::string& ArchiveFileName, TStream& Dest,
                        const std::string& EntryName, const TShowProgressEvent& OnShowProgress) {
  auto component = std::make_unique<TKVDoziRivovaze>(nullptr);
  component->SetOnShowProgress(OnShowProgress);
  component->ExtractEntry(ArchiveFileName, Dest, EntryName);
}

void ExtractFromArchive(TStream& Archive, TStream& Dest, const std::string& EntryName,
                        const TShowProgressEvent& OnShowProgress) {
  auto component = std::make_unique<TKVDoziRivovaze>(nullptr);
  component->SetOnShowProgress(OnShowProgress);
  Archive.SetPosition(0);
  component->WalkArchive(Archive, Dest, EntryName);
}

}  // namespace kv

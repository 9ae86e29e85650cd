// Fuzz target: the builder's LHA reader (`kvarc import`) over arbitrary
// bytes: ReadLhaArchive, then ImportLhaMember for every member whose claimed
// original size is within the harness's output cap.
//
// Checked besides the absence of crashes: every member's stored bytes fit in
// the input; and the imported entries, written into an archive of this
// project and read back through the component, expand without complaint to
// the byte sums the import took (when the names are distinct).
#include <set>
#include <span>
#include <vector>

#include "archive/dozirivovaze.h"
#include "fuzz/fuzz_util.h"
#include "tools/archive_writer.h"
#include "tools/lha_import.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv;
  std::vector<tools::LhaMember> members;
  try {
    members = tools::ReadLhaArchive(std::span<const uint8_t>(data, size));
  } catch (const tools::BuilderError&) {
    return 0;
  }
  std::vector<tools::PrecompressedEntry> entries;
  std::set<std::string> names;
  for (const tools::LhaMember& m : members) {
    if (m.stored.size() > size) fuzz::Fail();
    if (m.original_size > static_cast<uint32_t>(fuzz::kOutputCap)) continue;
    try {
      entries.push_back(tools::ImportLhaMember(m));
      names.insert(m.name);
    } catch (const tools::BuilderError&) {
    }
  }
  if (entries.empty() || names.size() != entries.size()) return 0;

  std::vector<uint8_t> archive_bytes;
  try {
    archive_bytes = tools::BuildArchive(entries);
  } catch (const tools::BuilderError&) {
    return 0;  // a name longer than the format allows
  }
  for (const tools::PrecompressedEntry& e : entries) {
    TKVDoziRivovaze component(nullptr);
    TMemoryStream archive(archive_bytes);
    test::CountingSink dest(int64_t{fuzz::kOutputCap} + 512);
    component.WalkArchive(archive, dest, e.name);  // must raise nothing
    if (dest.Sum() != e.checksum || dest.Size() != e.destsize) fuzz::Fail();
  }
  return 0;
}

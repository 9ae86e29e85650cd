// Fuzz target: rewriting a launcher's resources.
//
// Input: the launcher image. The edits are fixed: a one-image icon, two
// strings and a file version. Checked besides the absence of crashes: an
// image that RewriteResources accepts comes out with sound headers, a
// resource tree that reads back with the new icon group first and the
// edited strings in its version record, and is itself accepted again.
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "tools/archive_writer.h"
#include "tools/pe_resources.h"

namespace {

[[noreturn]] void Finding(const std::string&) {
  kv::fuzz::Fail();
}

const kv::tools::ResourceEdits& Edits() {
  static const kv::tools::ResourceEdits edits = [] {
    kv::tools::ResourceEdits e;
    // ICONDIR, one entry (16x16, 1 plane, 32 bits, 12 bytes at 22), a PNG.
    e.icon = {0, 0,  1, 0, 1, 0,    16,  16,  0,   0,    1,    0,    32,   0, 12, 0, 0,
              0, 22, 0, 0, 0, 0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0,  0, 13};
    e.strings = {{"CompanyName", "Fuzz"}, {"Comments", "é"}};
    e.file_version = kv::tools::FourPartVersion{1, 2, 3, 4};
    return e;
  }();
  return edits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv;
  const std::span<const uint8_t> image(data, size);
  std::vector<uint8_t> out;
  try {
    out = tools::RewriteResources(image, Edits());
  } catch (const tools::BuilderError&) {
    return 0;
  }
  const tools::PeHeaders pe = tools::ParsePeHeaders(out);
  if (pe.fault != tools::PeFault::kNone || pe.info.image_end != out.size()) fuzz::Fail();
  const tools::ResourceTree tree = tools::ReadResourceTree(out, pe.info, Finding);
  const tools::ResourceData* group = tree.First(tools::kResourceTypeGroupIcon);
  if (group == nullptr || group->bytes.size() != 6 + 14) fuzz::Fail();
  const auto strings = tools::ReadVersionStrings(out, pe.info);
  if (!strings) fuzz::Fail();
  bool company = false, version = false;
  for (const auto& [key, value] : *strings) {
    company |= key == "CompanyName" && value == "Fuzz";
    version |= key == "FileVersion" && value == "1.2.3.4";
  }
  if (!company || !version) fuzz::Fail();
  // What the rewriter writes, it reads.
  tools::RewriteResources(out, Edits());
  return 0;
}

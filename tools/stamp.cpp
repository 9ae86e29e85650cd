#include "tools/stamp.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "archive/dozirivovaze.h"
#include "core/bytes.h"
#include "tools/archive_input.h"
#include "tools/archive_writer.h"

namespace kv::tools {

namespace {
// The builder keeps its own copy of the marker text; the launcher's copy must
// stay the only one in its image.
constexpr uint8_t kMarkerText[8] = {'K', 'V', 'I', '_', 'S', 'I', 'Z', 'E'};
constexpr uint8_t kPlaceholder = 'X';
}  // namespace

MarkerSearch FindMarker(std::span<const uint8_t> image) {
  MarkerSearch result;
  const auto hit =
      std::search(image.begin(), image.end(), std::begin(kMarkerText), std::end(kMarkerText));
  if (hit == image.end()) return result;
  result.offset = hit - image.begin();
  const size_t after = static_cast<size_t>(result.offset) + sizeof kMarkerText;
  result.placeholder = after + 4 <= image.size() && image[after] == kPlaceholder;
  return result;
}

void CheckLauncherImage(std::span<const uint8_t> image, LauncherMachine machines) {
  // The DOS header's pointer to the PE header, the PE signature, the COFF
  // machine and the optional header's magic.
  constexpr size_t kNewHeaderPointer = 0x3C, kMachine = 4, kOptionalMagic = 24;
  constexpr uint16_t kI386 = 0x14C, kAmd64 = 0x8664, kPe32 = 0x10B, kPe32Plus = 0x20B;
  if (image.size() < kNewHeaderPointer + 4 || image[0] != 'M' || image[1] != 'Z')
    throw BuilderError("not a launcher: not a Windows program");
  const size_t pe = LoadLE32(image.data() + kNewHeaderPointer);
  if (pe > image.size() || image.size() - pe < kOptionalMagic + 2 ||
      std::memcmp(image.data() + pe, "PE\0\0", 4) != 0)
    throw BuilderError("not a launcher: not a Windows program");
  const uint16_t machine = LoadLE16(image.data() + pe + kMachine);
  const uint16_t magic = LoadLE16(image.data() + pe + kOptionalMagic);
  const bool i386 = machine == kI386 && magic == kPe32;
  const bool x64 = machine == kAmd64 && magic == kPe32Plus;
  if (!i386 && !(x64 && machines == LauncherMachine::kI386OrX64))
    throw BuilderError("not a launcher: not a 32-bit Windows program");

  const MarkerSearch marker = FindMarker(image);
  if (marker.offset < 0) throw BuilderError("not a launcher: the marker KVI_SIZE is missing");
  const auto after = image.begin() + static_cast<std::ptrdiff_t>(marker.offset) + 1;
  if (std::search(after, image.end(), std::begin(kMarkerText), std::end(kMarkerText)) !=
      image.end())
    throw BuilderError("not a launcher: the marker KVI_SIZE appears more than once");
  if (!marker.placeholder)
    throw BuilderError("launcher already stamped (or its marker is damaged)");
}

namespace {

struct InstallerCounter {
  int count = 0;
  bool empty = false;
  void Visit(const WalkedEntry& e) {
    if (!e.Reached || !SameEntryName(e.Name, "Installer\\ZIVizivaz.exe")) return;
    ++count;
    empty = empty || e.Header.Destsize <= 0;
  }
};

}  // namespace

void CheckSetupArchive(std::span<const uint8_t> archive) {
  TSpanStream stream(archive);
  TKVDoziRivovaze component(nullptr);
  ArchiveHeader header;
  std::string compress_id;
  InstallerCounter counter;
  if (archive.size() < ArchiveHeader::kSize)
    throw BuilderError("not an archive (shorter than an archive header)");
  try {
    component.VisitEntries(stream, header, compress_id,
                           TEntryVisitor::Bind<&InstallerCounter::Visit>(&counter));
  } catch (const Exception& e) {
    throw BuilderError(std::string("not an archive: ") + e.Message());
  }
  if (counter.count == 0)
    throw BuilderError(
        "the archive has no entry Installer\\ZIVizivaz.exe, which a launcher starts");
  if (counter.count > 1)
    throw BuilderError("the archive has " + std::to_string(counter.count) +
                       " entries named Installer\\ZIVizivaz.exe (a launcher would join them)");
  if (counter.empty) throw BuilderError("the archive's Installer\\ZIVizivaz.exe is empty");
}

std::vector<uint8_t> StampedImage(std::span<const uint8_t> launcher) {
  const MarkerSearch marker = FindMarker(launcher);
  uint64_t block_offset = launcher.size();
  while ((block_offset & 0xFF) == kPlaceholder) ++block_offset;
  if (block_offset > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
    throw BuilderError("stamped launcher would be 2 GiB or more");
  std::vector<uint8_t> out(launcher.begin(), launcher.end());
  out.resize(static_cast<size_t>(block_offset), 0);
  StoreLE32(out.data() + static_cast<size_t>(marker.offset) + sizeof kMarkerText,
            static_cast<uint32_t>(block_offset));
  return out;
}

std::vector<uint8_t> StampLauncher(std::span<const uint8_t> launcher,
                                   std::span<const uint8_t> archive, LauncherMachine machines) {
  CheckLauncherImage(launcher, machines);
  std::vector<uint8_t> out = StampedImage(launcher);
  const uint64_t final_size = out.size() + 4 + archive.size();
  if (final_size > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
    throw BuilderError("stamped launcher would be 2 GiB or more");
  CheckSetupArchive(archive);
  uint8_t length[4];
  StoreLE32(length, static_cast<uint32_t>(archive.size()));
  out.insert(out.end(), length, length + 4);
  out.insert(out.end(), archive.begin(), archive.end());
  return out;
}

}  // namespace kv::tools

#include "tools/stamp.h"
#include "tools/streams.h"

#include <algorithm>
#include <cstring>

#include "archive/dozirivovaze.h"
#include "core/bytes.h"
#include "launcher/launcher.h"
#include "tools/archive_input.h"
#include "tools/archive_reader.h"
#include "tools/archive_writer.h"
#include "tools/pe_image.h"
#include "tools/verify.h"

namespace kv::tools {

namespace {
// The marker text, the launcher's own constant's first part.
const std::span<const uint8_t> kMarkerText(PayloadMarker, kMarkerTextLength);
}  // namespace

MarkerSearch FindMarker(std::span<const uint8_t> image) {
  MarkerSearch result;
  const auto hit = std::search(image.begin(), image.end(), kMarkerText.begin(), kMarkerText.end());
  if (hit == image.end()) return result;
  result.offset = hit - image.begin();
  const size_t after = static_cast<size_t>(result.offset) + kMarkerText.size();
  result.placeholder = after + 4 <= image.size() && image[after] == kPlaceholderByte;
  return result;
}

void CheckLauncherImage(std::span<const uint8_t> image, LauncherMachine machines) {
  const PeHeaders pe = ParsePeHeaders(image);
  if (pe.fault == PeFault::kNoPeHeader) throw BuilderError("not a launcher: not a Windows program");
  if (pe.fault == PeFault::kDamaged)
    throw BuilderError("not a launcher: a Windows program with damaged headers (" + pe.reason +
                       ")");
  const bool i386 = pe.info.machine == kMachineI386 && !pe.info.is_64bit;
  const bool x64 = pe.info.machine == kMachineAmd64 && pe.info.is_64bit;
  if (!i386 && !(x64 && machines == LauncherMachine::kI386OrX64))
    throw BuilderError("not a launcher: not a 32-bit Windows program");

  const MarkerSearch marker = FindMarker(image);
  if (marker.offset < 0) throw BuilderError("not a launcher: the marker KVI_SIZE is missing");
  const auto after = image.begin() + static_cast<std::ptrdiff_t>(marker.offset) + 1;
  if (std::search(after, image.end(), kMarkerText.begin(), kMarkerText.end()) != image.end())
    throw BuilderError("not a launcher: the marker KVI_SIZE appears more than once");
  if (!marker.placeholder)
    throw BuilderError("launcher already stamped (or its marker is damaged)");
  // Stamping changes the signed bytes and puts the payload between the
  // image and its certificate table: the signature would no longer verify.
  if (pe.info.HasCertificateTable())
    throw BuilderError(
        "not a launcher: it is code-signed; sign the Setup.exe after kvarc setup or kvarc stamp, "
        "not the launcher");
}

void CheckSetupArchive(std::span<const uint8_t> archive) {
  if (archive.size() < ArchiveHeader::kSize)
    throw BuilderError("not an archive (shorter than an archive header)");
  TSpanStream stream(archive);
  TKVDoziRivovaze component(nullptr);
  ArchiveListing listing;
  try {
    listing = ListArchive(component, stream);
  } catch (const Exception& e) {
    throw BuilderError(std::string("not an archive: ") + e.Message());
  }
  CheckInstallerEntry(listing);
}

std::vector<uint8_t> StampedImage(std::span<const uint8_t> launcher) {
  const MarkerSearch marker = FindMarker(launcher);
  uint64_t block_offset = launcher.size();
  while ((block_offset & 0xFF) == kPlaceholderByte) ++block_offset;
  if (block_offset > kMaxFieldValue) throw BuilderError("stamped launcher would be 2 GiB or more");
  std::vector<uint8_t> out(launcher.begin(), launcher.end());
  out.resize(static_cast<size_t>(block_offset), 0);
  StoreLE32(out.data() + static_cast<size_t>(marker.offset) + kMarkerText.size(),
            static_cast<uint32_t>(block_offset));
  return out;
}

void WriteLauncherWithArchive(TStream& out, std::span<const uint8_t> launcher,
                              const std::function<void(TStream&)>& write_archive,
                              const std::string& too_large) {
  const std::vector<uint8_t> image = StampedImage(launcher);
  out.WriteBuffer(image.data(), static_cast<int32_t>(image.size()));
  const uint8_t no_length[4] = {};
  out.WriteBuffer(no_length, 4);
  write_archive(out);
  const int64_t size = out.Position();
  const int64_t archive = size - static_cast<int64_t>(image.size()) - 4;
  if (static_cast<uint64_t>(size) > kMaxFieldValue) throw BuilderError(too_large);
  uint8_t length[4];
  StoreLE32(length, static_cast<uint32_t>(archive));
  out.SetPosition(static_cast<int64_t>(image.size()));
  out.WriteBuffer(length, 4);
  out.SetPosition(size);
}

std::vector<uint8_t> StampLauncher(std::span<const uint8_t> launcher,
                                   std::span<const uint8_t> archive, LauncherMachine machines) {
  CheckLauncherImage(launcher, machines);
  const uint64_t final_size = StampedImage(launcher).size() + 4 + archive.size();
  if (final_size > kMaxFieldValue) throw BuilderError("stamped launcher would be 2 GiB or more");
  CheckSetupArchive(archive);
  TMemoryStream out;
  WriteLauncherWithArchive(
      out, launcher,
      [&](TStream& to) { to.WriteBuffer(archive.data(), static_cast<int32_t>(archive.size())); },
      "stamped launcher would be 2 GiB or more");
  return std::move(out.Data());
}

}  // namespace kv::tools

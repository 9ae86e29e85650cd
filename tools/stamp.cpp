#include "tools/stamp.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/bytes.h"
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

std::vector<uint8_t> StampLauncher(std::span<const uint8_t> launcher,
                                   std::span<const uint8_t> archive) {
  const MarkerSearch marker = FindMarker(launcher);
  if (marker.offset < 0) throw BuilderError("not a launcher: the marker KVI_SIZE is missing");
  if (!marker.placeholder)
    throw BuilderError("launcher already stamped (or its marker is damaged)");

  uint64_t block_offset = launcher.size();
  while ((block_offset & 0xFF) == kPlaceholder) ++block_offset;
  const uint64_t final_size = block_offset + 4 + archive.size();
  if (final_size > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
    throw BuilderError("stamped launcher would be 2 GiB or more");

  std::vector<uint8_t> out(launcher.begin(), launcher.end());
  out.resize(block_offset, 0);
  StoreLE32(out.data() + marker.offset + sizeof kMarkerText, static_cast<uint32_t>(block_offset));
  uint8_t length[4];
  StoreLE32(length, static_cast<uint32_t>(archive.size()));
  out.insert(out.end(), length, length + 4);
  out.insert(out.end(), archive.begin(), archive.end());
  return out;
}

}  // namespace kv::tools

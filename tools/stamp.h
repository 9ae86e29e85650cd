// Stamping a launcher: turning a freshly built Setup.exe into one that
// carries its archive.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kv::tools {

// Where the marker text stands in a launcher image, and what follows it.
struct MarkerSearch {
  int64_t offset = -1;       // of the first "KVI_SIZE"; -1 when absent
  bool placeholder = false;  // followed by the unstamped placeholder
};
MarkerSearch FindMarker(std::span<const uint8_t> image);

// Returns the stamped launcher: `launcher` with the PayloadBlock's offset
// written after the marker text, then the PayloadBlock (the archive's
// length and the archive) appended. The block goes at the end of the image,
// after zero padding where the offset's lowest byte would be 0x58 (which
// reads as the placeholder). Raises BuilderError for a file without the
// marker, one already stamped, or a result of 2 GiB or more.
std::vector<uint8_t> StampLauncher(std::span<const uint8_t> launcher,
                                   std::span<const uint8_t> archive);

}  // namespace kv::tools

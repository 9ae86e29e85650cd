// Stamping a launcher: turning a freshly built Setup.exe into one that
// carries its archive.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/stream.h"

namespace kv::tools {

// Where the marker text stands in a launcher image, and what follows it.
struct MarkerSearch {
  int64_t offset = -1;       // of the first "KVI_SIZE"; -1 when absent
  bool placeholder = false;  // followed by the unstamped placeholder
};
MarkerSearch FindMarker(std::span<const uint8_t> image);

// Which Windows images a launcher may be: the 32-bit image that users run,
// or also the x86-64 build of the same sources, for test hosts that cannot
// run 32-bit programs.
enum class LauncherMachine { kI386, kI386OrX64 };

// Raises BuilderError "not a launcher: ..." unless `image` is a PE image of
// an accepted machine that holds the marker text exactly once, followed by
// the unstamped placeholder, and carries no certificate table: a signature
// made before stamping would be broken by it.
void CheckLauncherImage(std::span<const uint8_t> image,
                        LauncherMachine machines = LauncherMachine::kI386);

// Raises BuilderError unless `archive` is an archive whose reader meets
// exactly one entry named "Installer\ZIVizivaz.exe" (ASCII case ignored)
// and that entry is not empty: a launcher would otherwise start an empty
// or missing installer.
void CheckSetupArchive(std::span<const uint8_t> archive);

// The first part of a stamped launcher: `launcher` padded to the
// PayloadBlock's offset (see StampLauncher), with that offset written after
// the marker text. The PayloadBlock follows it.
std::vector<uint8_t> StampedImage(std::span<const uint8_t> launcher);

// The one writer of the launcher layout: `launcher` (checked by
// CheckLauncherImage) as StampedImage makes it, the PayloadBlock's length,
// and the archive that `write_archive` writes at the stream's position;
// the length is written once the archive is complete, so `out` must be
// able to go back. Raises BuilderError `too_large` for a result of 2 GiB or
// more.
void WriteLauncherWithArchive(TStream& out, std::span<const uint8_t> launcher,
                              const std::function<void(TStream&)>& write_archive,
                              const std::string& too_large);

// Returns the stamped launcher: `launcher` with the PayloadBlock's offset
// written after the marker text, then the PayloadBlock (the archive's
// length and the archive) appended. The block goes at the end of the image,
// after zero padding where the offset's lowest byte would be 0x58 (which
// reads as the placeholder). Checks both first (CheckLauncherImage,
// CheckSetupArchive) and raises BuilderError for a result of 2 GiB or more.
std::vector<uint8_t> StampLauncher(std::span<const uint8_t> launcher,
                                   std::span<const uint8_t> archive,
                                   LauncherMachine machines = LauncherMachine::kI386);

}  // namespace kv::tools

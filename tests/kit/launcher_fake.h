// The launcher against a fake of its platform: a double of the Windows calls
// that works in a scratch directory, and launcher images crafted byte by
// byte (an "MZ" start, zero filler, the marker text with the four bytes that
// follow it, and a PayloadBlock wherever a test needs it). The images are
// made here by hand, independently of the builder's stamping.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "launcher/launcher.h"
#include "tests/kit/files.h"
#include "tests/kit/pe_images.h"

namespace kv::test {

// A LauncherPlatform whose temporary folder is "<dir>/TEMP/" and whose
// Windows directory is "<dir>/WINDOWS": on this host a backslash is an
// ordinary file-name character, so the installer "<dir>/WINDOWS\ZIVizivaz.exe"
// is a file in <dir>. Nothing is started or beeped; every call is recorded,
// and `calls` names them all in order.
class FakePlatform final : public LauncherPlatform {
 public:
  struct Launch {
    std::string file;
    std::string parameters;
    uint16_t show;
    bool wait;
  };

  FakePlatform() = default;  // every answer empty
  // The launcher file is "<dir>/Setup.exe"; the temporary folder is created.
  explicit FakePlatform(const TempDir& dir);

  std::string module_file_name;
  std::string temp_path;
  std::string windows_directory;
  uint32_t tick_count = 1;                  // the first temporary archive tried is KVI0001.tmp
  bool has_default_dll_directories = true;  // else the system predates the call
  // Runs inside WindowsDirectory(), which the main sequence calls just after
  // it has created the temporary archive: a test's stand-in for another
  // process that acts at that moment.
  std::function<void()> on_windows_directory;

  int beeps = 0;
  std::vector<Launch> launches;
  std::vector<std::string> calls;  // the method names, in the order called

  // Forgets the record of earlier runs.
  void ClearRecord();
  std::string InstallerPath() const { return windows_directory + "\\ZIVizivaz.exe"; }
  // The temporary archive that a run with tick count `tick` makes first.
  std::string TempArchive(uint32_t tick = 1) const;

  bool SetDefaultDllDirectoriesToSystem() override;
  void ClearDllDirectory() override { calls.emplace_back("ClearDllDirectory"); }
  std::string ModuleFileName() override;
  std::string TempPath() override;
  uint32_t TickCount() override;
  std::string WindowsDirectory() override;
  int32_t LaunchProgram(const std::string& file, const std::string& parameters, uint16_t show,
                        bool wait) override;
  void Beep() override;
};

// Where the crafted launchers carry their marker.
inline constexpr size_t kMarkerOffset = 0x100;

// `size` bytes starting "MZ", zero elsewhere: no marker anywhere.
std::vector<uint8_t> LauncherImage(size_t size);
// Writes the marker text and `stored` (the four bytes after it) at
// `offset`, growing the image if it is too short.
void PutMarker(std::vector<uint8_t>& image, size_t offset, const std::vector<uint8_t>& stored);
// An unprocessed launcher: the headers of a 32-bit Windows image
// (LauncherPeFields), or of `fields`, and the marker and its placeholder "XXXX"
// at kMarkerOffset.
std::vector<uint8_t> UnstampedLauncher(size_t size);
std::vector<uint8_t> UnstampedLauncher(size_t size, const PeFields& fields);
// A processed launcher: an image of `image_size` bytes whose marker at
// kMarkerOffset names the block at the image's end, the length field, the
// archive and whatever `trailing` holds (a code signature, say).
std::vector<uint8_t> StampedLauncher(size_t image_size, uint32_t length_field,
                                     const std::vector<uint8_t>& archive,
                                     const std::vector<uint8_t>& trailing = {});

}  // namespace kv::test

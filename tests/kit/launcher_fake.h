// The launcher against a fake of its platform: a double of the Windows calls
// that works in a scratch directory, and launcher images crafted byte by
// byte (an "MZ" start, zero filler, the marker text with the four bytes that
// follow it, and a PayloadBlock wherever a test needs it). The images are
// made here by hand, independently of the builder's stamping.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "launcher/launcher.h"
#include "tests/kit/files.h"

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
  bool temp_file_name_fails = false;        // TempFileName returns ""
  std::string temp_file_name_override;      // returned as it is, nothing created
  bool has_default_dll_directories = true;  // else the system predates the call

  int beeps = 0;
  std::vector<std::string> temp_files;  // every name handed out, in order
  std::vector<std::string> prefixes;
  std::vector<Launch> launches;
  std::vector<std::string> calls;  // the method names, in the order called

  // Forgets the record of earlier runs; the next temporary file is KVI1.tmp.
  void ClearRecord();
  std::string InstallerPath() const { return windows_directory + "\\ZIVizivaz.exe"; }

  bool SetDefaultDllDirectoriesToSystem() override;
  void ClearDllDirectory() override { calls.emplace_back("ClearDllDirectory"); }
  std::string ModuleFileName() override;
  std::string TempPath() override;
  // Like the system, creates the file, empty: "<folder>KVI<n>.tmp", n
  // counting from 1.
  std::string TempFileName(const std::string& folder, const char* prefix) override;
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
// An unprocessed launcher: the headers of a 32-bit Windows image, and the
// marker and its placeholder "XXXX" at kMarkerOffset.
std::vector<uint8_t> UnstampedLauncher(size_t size);
// A processed launcher: an image of `image_size` bytes whose marker at
// kMarkerOffset names the block at the image's end, the length field, the
// archive and whatever `trailing` holds (a code signature, say).
std::vector<uint8_t> StampedLauncher(size_t image_size, uint32_t length_field,
                                     const std::vector<uint8_t>& archive,
                                     const std::vector<uint8_t>& trailing = {});

}  // namespace kv::test

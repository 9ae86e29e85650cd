// The launcher's portable part: the payload locator, the main sequence and
// its small operations, written against LauncherPlatform, the thin layer of
// Windows calls that setup_win32.cpp implements for real and the tests
// replace with a double.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/stream.h"

namespace kv {

// The PayloadMarker: the eight characters "KVI_SIZE" followed by the
// little-endian offset of the PayloadBlock. An image that no builder has
// stamped holds the placeholder "XXXX" there; only its first byte is tested.
// The marker text exists once in the image, in this constant; the scan takes
// its search text from it at run time.
inline constexpr int kPayloadMarkerSize = 12;
inline constexpr int kMarkerTextLength = 8;
inline constexpr uint8_t kPlaceholderByte = 'X';
extern const uint8_t PayloadMarker[kPayloadMarkerSize];

inline constexpr int32_t kScanChunkSize = 16384;
inline constexpr char kInstallerFileName[] = "ZIVizivaz.exe";
inline constexpr char kInstallerEntryName[] = "Installer\\ZIVizivaz.exe";
inline constexpr char kTempPattern[] = "KVIXXXX.tmp";  // the X's: 4 hex digits
inline constexpr uint16_t kShowNormal = 1;             // SW_SHOWNORMAL

// The Windows calls the main sequence makes, one method each. Text is UTF-8
// (the real platform uses the wide calls, so no character of a path is lost
// to the ANSI code page) and taken up to its terminating zero; a failed call
// gives empty text, never undefined bytes.
class LauncherPlatform {
 public:
  virtual ~LauncherPlatform() = default;
  // SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32), looked up in
  // kernel32 at run time; false where the system lacks it or refuses.
  virtual bool SetDefaultDllDirectoriesToSystem() = 0;
  // SetDllDirectoryA(""): takes the current directory out of the DLL search.
  virtual void ClearDllDirectory() = 0;
  // GetModuleFileNameW for the process's own module, whatever its length.
  virtual std::string ModuleFileName() = 0;
  // GetTempPathW: the temporary folder, ending in a backslash.
  virtual std::string TempPath() = 0;
  // GetTickCount: where the search for a free temporary file name starts.
  virtual uint32_t TickCount() = 0;
  // GetWindowsDirectoryW.
  virtual std::string WindowsDirectory() = 0;
  // Starts `file` through the shell; see LaunchProgram in setup_win32.cpp.
  virtual int32_t LaunchProgram(const std::string& file, const std::string& parameters,
                                uint16_t show, bool wait) = 0;
  // MessageBeep(0).
  virtual void Beep() = 0;
};

// Restricts the DLL search to the system folder, so that no DLL that the
// shell or the message box loads on demand comes from the folder Setup.exe
// was started from (a download folder, usually): through
// SetDefaultDllDirectories where the system has it, else SetDllDirectoryA(""),
// which at least takes the current directory out of the search.
void RestrictDllSearch(LauncherPlatform& platform);

// Scans the file for the marker text in chunks of 16 KiB and returns the
// stored offset: 1 or more (below the file size), 0 for no usable marker, or
// a negative stored value unchanged. Raises only EFOpenError.
int32_t LocatePayload(const std::string& file_name);

// Creates the temporary archive, "<temp folder>KVI<4 hex digits>.tmp",
// empty, and returns it open (FileMode::kCreateNew): from this moment until
// the stream is freed nobody else can write, rename or delete it. Names that
// are taken are passed over, starting at the tick count, kTempNameTries in
// all; then, or without a temporary folder, EFCreateError names the folder
// and the pattern "KVIXXXX.tmp".
std::unique_ptr<TFileStream> CreateTempArchive(LauncherPlatform& platform);
inline constexpr int kTempNameTries = 256;

// The Windows directory, ending in exactly one backslash.
std::string WindowsDirectoryPath(LauncherPlatform& platform);

// "/SOURCE=<source>" "/DATA=<data>", each switch quoted with its value.
std::string InstallerParameters(const std::string& source_path, const std::string& data_path);

// The main sequence, after RestrictDllSearch. Returns the exit code of a
// normal end (0); failures, including those of the extraction, leave as
// exceptions for the top-level report. The temporary archive stays open
// from its creation until the installer has been started, and the
// installer is extracted from that open file: what runs is what was copied.
int RunLauncher(LauncherPlatform& platform);

// The top-level report's text: "Exception %s in module %s at %p.\n%s%s".
std::string FormatExceptionReport(const std::string& class_name, const std::string& module_name,
                                  uint32_t offset, const std::string& message);

// The file name without its folder.
std::string FileNameOnly(const std::string& path);

}  // namespace kv

// The launcher's portable part: the payload locator, the main sequence and
// its small operations, written against LauncherPlatform, the thin layer of
// Windows calls that setup_win32.cpp implements for real and the tests
// replace with a double.
#pragma once

#include <cstdint>
#include <string>

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
inline constexpr char kTempPrefix[] = "KVI";
inline constexpr uint16_t kShowNormal = 1;  // SW_SHOWNORMAL

// The Windows calls the main sequence makes, one method each. Text results
// are taken up to their terminating zero; a failed call gives empty text,
// never undefined bytes.
class LauncherPlatform {
 public:
  virtual ~LauncherPlatform() = default;
  // SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32), looked up in
  // kernel32 at run time; false where the system lacks it or refuses.
  virtual bool SetDefaultDllDirectoriesToSystem() = 0;
  // SetDllDirectoryA(""): takes the current directory out of the DLL search.
  virtual void ClearDllDirectory() = 0;
  // GetModuleFileNameA for the process's own module (261-character buffer).
  virtual std::string ModuleFileName() = 0;
  // GetTempPathA with a buffer length of 255.
  virtual std::string TempPath() = 0;
  // GetTempFileNameA with unique number 0: creates the file, returns its name.
  virtual std::string TempFileName(const std::string& folder, const char* prefix) = 0;
  // GetWindowsDirectoryA with a size of 260.
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

// Creates an empty temporary file named "KVI....tmp" and returns its path.
std::string NewTempFileName(LauncherPlatform& platform);

// The Windows directory, ending in exactly one backslash.
std::string WindowsDirectoryPath(LauncherPlatform& platform);

// "/SOURCE=<source>" "/DATA=<data>", each switch quoted with its value.
std::string InstallerParameters(const std::string& source_path, const std::string& data_path);

// The main sequence, after RestrictDllSearch. Returns the exit code of a normal end (0); failures,
// including those of the extraction, leave as exceptions for the top-level
// report.
int RunLauncher(LauncherPlatform& platform);

// The top-level report's text: "Exception %s in module %s at %p.\n%s%s".
std::string FormatExceptionReport(const std::string& class_name, const std::string& module_name,
                                  uint32_t offset, const std::string& message);

// The file name without its folder.
std::string FileNameOnly(const std::string& path);

}  // namespace kv

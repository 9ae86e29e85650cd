#include "launcher/launcher.h"
#include "launcher/payload_scan.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "archive/rorodovazezudovo.h"
#include "core/bytes.h"
#include "core/exceptions.h"
#include "core/stream.h"

namespace kv {

void RestrictDllSearch(LauncherPlatform& platform) {
  if (!platform.SetDefaultDllDirectoriesToSystem()) platform.ClearDllDirectory();
}

int32_t LocatePayload(const std::string& file_name) {
  TFileStream file(file_name, FileMode::kOpenReadShared);
  return ScanForPayload(file);
}

std::unique_ptr<TFileStream> CreateTempArchive(LauncherPlatform& platform) {
  std::string name = platform.TempPath();
  const size_t digits = name.size() + 3;  // the X's of "KVIXXXX.tmp" become the number
  // Without a folder the names would be relative to whatever the current
  // directory is.
  const bool has_folder = !name.empty();
  name += kTempPattern;
  uint32_t unique = platform.TickCount();
  for (int tries = 0; has_folder && tries < kTempNameTries; ++tries, ++unique) {
    for (size_t i = 0; i < 4; ++i)
      name[digits + 3 - i] = "0123456789ABCDEF"[(unique >> (4 * i)) & 0xF];
    // A failure is most likely a name that is taken: try the next one.
    if (auto file = TFileStream::TryOpen(name, FileMode::kCreateNew)) return file;
  }
  name.replace(digits, 4, "XXXX");
  RaiseCreateError(name);
}

std::string WindowsDirectoryPath(LauncherPlatform& platform) {
  std::string path = platform.WindowsDirectory();
  if (path.empty() || path.back() != '\\') path += '\\';
  return path;
}

std::string InstallerParameters(const std::string& source_path, const std::string& data_path) {
  // Appended piece by piece: in the size-built Setup.exe a chain of '+'
  // costs a temporary, and its clean-up, per piece.
  std::string parameters = "\"/SOURCE=";
  parameters += source_path;
  parameters += "\" \"/DATA=";
  parameters += data_path;
  parameters += '"';
  return parameters;
}

int RunLauncher(LauncherPlatform& platform) {
  RestrictDllSearch(platform);  // before anything can load a DLL on demand
  const std::string source_path = platform.ModuleFileName();
  const int32_t payload_offset = LocatePayload(source_path);
  if (payload_offset < 1) {
    platform.Beep();
    return 0;
  }
  // Held open from here until the installer has been started, and the
  // installer is extracted from this very stream: nobody can swap the file
  // in between.
  const std::unique_ptr<TFileStream> data = CreateTempArchive(platform);
  const std::string installer_path = WindowsDirectoryPath(platform) + kInstallerFileName;
  {
    TFileStream source(source_path, FileMode::kOpenReadShared);
    source.SetPosition(payload_offset);
    uint8_t length_bytes[4] = {};
    source.Read(length_bytes, 4);  // a short read leaves the high bytes 0
    // A length of 2^31 or more is negative as a count: CopyFrom refuses it.
    data->CopyFrom(source, static_cast<int32_t>(LoadLE32(length_bytes)));
  }
  {
    // A failed extraction leaves the installer file incomplete: it is closed
    // and never started, and the failure goes to the top-level report.
    TFileStream installer(installer_path, FileMode::kCreate);
    ExtractFromArchive(*data, installer, kInstallerEntryName, TShowProgressEvent{});
  }
  platform.LaunchProgram(installer_path, InstallerParameters(source_path, data->FileName()),
                         kShowNormal, false);
  return 0;
}

std::string FormatExceptionReport(const std::string& class_name, const std::string& module_name,
                                  uint32_t offset, const std::string& message) {
  char address[9] = {};
  for (int i = 7; i >= 0; --i, offset >>= 4) address[i] = "0123456789ABCDEF"[offset & 0xF];
  std::string text = "Exception ";
  text += class_name;
  text += " in module ";
  text += module_name;
  text += " at ";
  text += address;
  text += ".\n";
  text += message;
  if (!message.empty() && message.back() != '.') text += '.';
  return text;
}

std::string FileNameOnly(const std::string& path) {
  const size_t slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace kv

#include "launcher/launcher.h"

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
  const uint8_t* search_text = PayloadMarker;
  TFileStream file(file_name, FileMode::kOpenReadShared);
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[kScanChunkSize]);

  int32_t result = 0;
  int64_t chunk_base = 0;
  int32_t n = file.Read(chunk.get(), kScanChunkSize);
  while (result == 0 && n > kMarkerTextLength) {
    const uint8_t* begin = chunk.get();
    const uint8_t* end = begin + n;
    const uint8_t* hit = std::search(begin, end, search_text, search_text + kMarkerTextLength);
    int64_t next_base = chunk_base + n - kMarkerTextLength;
    if (hit != end) {
      const int64_t marker_offset = chunk_base + (hit - begin);
      uint8_t probe[4];
      file.SetPosition(marker_offset + kMarkerTextLength);
      // A stored value cut off by the end of the file cannot be an offset.
      if (file.Read(probe, 4) != 4) break;
      if (probe[0] == kPlaceholderByte) break;
      result = static_cast<int32_t>(LoadLE32(probe));
      if (result >= 0 && result >= file.Size()) {
        result = 0;
        break;
      }
      // A stored 0 counts as not found. The scan resumes 4 bytes past this
      // occurrence, so that later occurrences in this chunk are examined too.
      next_base = marker_offset + 4;
    }
    if (result != 0) break;
    chunk_base = next_base;
    file.SetPosition(chunk_base);
    n = file.Read(chunk.get(), kScanChunkSize);
  }
  return result;
}

std::string NewTempFileName(LauncherPlatform& platform) {
  const std::string folder = platform.TempPath();
  std::string name = platform.TempFileName(folder, kTempPrefix);
  // Without a name the system could not create the file; say where it tried
  // instead of handing undefined text on.
  if (name.empty()) RaiseCreateError(folder + kTempPrefix + "XXXX.tmp");
  return name;
}

std::string WindowsDirectoryPath(LauncherPlatform& platform) {
  std::string path = platform.WindowsDirectory();
  if (path.empty() || path.back() != '\\') path += '\\';
  return path;
}

std::string InstallerParameters(const std::string& source_path, const std::string& data_path) {
  return "\"/SOURCE=" + source_path + "\" \"/DATA=" + data_path + "\"";
}

int RunLauncher(LauncherPlatform& platform) {
  RestrictDllSearch(platform);  // before anything can load a DLL on demand
  const std::string source_path = platform.ModuleFileName();
  const int32_t payload_offset = LocatePayload(source_path);
  if (payload_offset < 1) {
    platform.Beep();
    return 0;
  }
  const std::string data_path = NewTempFileName(platform);
  const std::string installer_path = WindowsDirectoryPath(platform) + kInstallerFileName;
  {
    TFileStream source(source_path, FileMode::kOpenReadShared);
    TFileStream dest(data_path, FileMode::kCreate);  // freed before the source
    source.SetPosition(payload_offset);
    uint8_t length_bytes[4] = {};
    source.Read(length_bytes, 4);  // a short read leaves the high bytes 0
    // A length of 2^31 or more is negative as a count: CopyFrom refuses it.
    dest.CopyFrom(source, static_cast<int32_t>(LoadLE32(length_bytes)));
  }
  {
    // A failed extraction leaves the installer file incomplete: it is closed
    // and never started, and the failure goes to the top-level report.
    TFileStream installer(installer_path, FileMode::kCreate);
    ExtractFromArchive(data_path, installer, kInstallerEntryName, TShowProgressEvent{});
  }
  platform.LaunchProgram(installer_path, InstallerParameters(source_path, data_path), kShowNormal,
                         false);
  return 0;
}

std::string FormatExceptionReport(const std::string& class_name, const std::string& module_name,
                                  uint32_t offset, const std::string& message) {
  char address[9] = {};
  for (int i = 7; i >= 0; --i, offset >>= 4) address[i] = "0123456789ABCDEF"[offset & 0xF];
  std::string text =
      "Exception " + class_name + " in module " + module_name + " at " + address + ".\n" + message;
  if (!message.empty() && message.back() != '.') text += '.';
  return text;
}

std::string FileNameOnly(const std::string& path) {
  const size_t slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace kv

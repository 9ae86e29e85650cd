#include "tests/kit/launcher_fake.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "tests/kit/bytes.h"

namespace kv::test {

FakePlatform::FakePlatform(const TempDir& dir)
    : module_file_name(dir.File("Setup.exe")),
      temp_path(dir.File("TEMP") + "/"),
      windows_directory(dir.File("WINDOWS")) {
  std::filesystem::create_directory(dir.File("TEMP"));
}

void FakePlatform::ClearRecord() {
  beeps = 0;
  launches.clear();
  calls.clear();
}

bool FakePlatform::SetDefaultDllDirectoriesToSystem() {
  calls.emplace_back("SetDefaultDllDirectoriesToSystem");
  return has_default_dll_directories;
}

std::string FakePlatform::ModuleFileName() {
  calls.emplace_back("ModuleFileName");
  return module_file_name;
}

std::string FakePlatform::TempPath() {
  calls.emplace_back("TempPath");
  return temp_path;
}

uint32_t FakePlatform::TickCount() {
  calls.emplace_back("TickCount");
  return tick_count;
}

std::string FakePlatform::TempArchive(uint32_t tick) const {
  char digits[5];
  std::snprintf(digits, sizeof digits, "%04X", tick & 0xFFFF);
  return temp_path + "KVI" + digits + ".tmp";
}

std::string FakePlatform::WindowsDirectory() {
  calls.emplace_back("WindowsDirectory");
  if (on_windows_directory) on_windows_directory();
  return windows_directory;
}

void FakePlatform::Beep() {
  calls.emplace_back("Beep");
  ++beeps;
}

int32_t FakePlatform::LaunchProgram(const std::string& file, const std::string& parameters,
                                    uint16_t show, bool wait) {
  calls.emplace_back("LaunchProgram");
  launches.push_back({file, parameters, show, wait});
  return 0;
}

std::vector<uint8_t> LauncherImage(size_t size) {
  std::vector<uint8_t> image(size, 0);
  if (size >= 2) {
    image[0] = 'M';
    image[1] = 'Z';
  }
  return image;
}

void PutMarker(std::vector<uint8_t>& image, size_t offset, const std::vector<uint8_t>& stored) {
  const std::vector<uint8_t> text = Bytes("KVI_SIZE");
  if (image.size() < offset + text.size() + stored.size())
    image.resize(offset + text.size() + stored.size(), 0);
  std::copy(text.begin(), text.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
  std::copy(stored.begin(), stored.end(),
            image.begin() + static_cast<std::ptrdiff_t>(offset + text.size()));
}

std::vector<uint8_t> UnstampedLauncher(size_t size) {
  return UnstampedLauncher(size, LauncherPeFields());
}

std::vector<uint8_t> UnstampedLauncher(size_t size, const PeFields& fields) {
  std::vector<uint8_t> image = PeImage(fields, size);
  if (LayoutOf(fields).headers_end > kMarkerOffset)
    throw std::invalid_argument("the headers would overlap the marker");
  PutMarker(image, kMarkerOffset, Bytes("XXXX"));
  return image;
}

std::vector<uint8_t> StampedLauncher(size_t image_size, uint32_t length_field,
                                     const std::vector<uint8_t>& archive,
                                     const std::vector<uint8_t>& trailing) {
  std::vector<uint8_t> file = LauncherImage(image_size);
  PutMarker(file, kMarkerOffset, Le32(static_cast<uint32_t>(image_size)));
  Append(file, Le32(length_field));
  Append(file, archive);
  Append(file, trailing);
  return file;
}

}  // namespace kv::test

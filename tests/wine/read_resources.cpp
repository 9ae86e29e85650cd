// Reads a program's version record and its "MAINICON" icon the way Windows
// itself does (the version API, the resource loader) and writes what it finds
// to a report file, one "key: value" line each, as UTF-8:
//
//   translation: 080904E4
//   string CompanyName: ...            one line per string present, in a fixed order
//   fixed file version: A.B.C.D
//   fixed product version: A.B.C.D
//   icon groups: N                     every RT_GROUP_ICON, and every RT_ICON,
//   icon images: N                     of the file, so that leftovers show
//   icon 1: 16x16, 0 colors, 1 planes, 32 bits, 1128 bytes; image 1128 bytes, cksum C
//
// The cksum is the POSIX one (coreutils' cksum), so that a test can compare
// each image with its bytes in an .ico file. A string that the record lacks
// is left out; every failing call is named on standard error and ends the
// program with exit code 1.
//
// usage: read_resources.exe PROGRAM REPORT
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Failure {
  std::string what;
};

[[noreturn]] void Fail(const std::string& what) {
  throw Failure{what + " failed (error " + std::to_string(GetLastError()) + ")"};
}

std::string Utf8(const wchar_t* text, size_t length) {
  if (length == 0) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (n <= 0) Fail("WideCharToMultiByte");
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

// POSIX cksum: CRC-32 (polynomial 0x04C11DB7, most significant bit first)
// over the data and then its length, least significant byte first and only
// as many bytes as it needs, complemented.
uint32_t PosixCksum(const uint8_t* data, size_t size) {
  uint32_t crc = 0;
  const auto add = [&crc](uint8_t byte) {
    crc ^= static_cast<uint32_t>(byte) << 24;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  };
  for (size_t i = 0; i < size; ++i) add(data[i]);
  for (size_t length = size; length != 0; length >>= 8) add(static_cast<uint8_t>(length & 0xFF));
  return ~crc;
}

std::string Quad(DWORD most, DWORD least) {
  return std::to_string(HIWORD(most)) + "." + std::to_string(LOWORD(most)) + "." +
         std::to_string(HIWORD(least)) + "." + std::to_string(LOWORD(least));
}

void ReportVersion(const wchar_t* program, std::string& report) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(program, &ignored);
  if (size == 0) Fail("GetFileVersionInfoSizeW");
  std::vector<uint8_t> record(size);
  if (!GetFileVersionInfoW(program, 0, size, record.data())) Fail("GetFileVersionInfoW");

  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(record.data(), L"\\VarFileInfo\\Translation", &value, &length) || length < 4)
    Fail("VerQueryValueW(\\VarFileInfo\\Translation)");
  const auto* translation = static_cast<const WORD*>(value);
  wchar_t block[16];
  swprintf(block, 16, L"%04X%04X", translation[0], translation[1]);
  report += "translation: " + Utf8(block, 8) + "\n";

  static const wchar_t* const kKeys[] = {L"CompanyName",  L"FileDescription", L"FileVersion",
                                         L"InternalName", L"LegalCopyright",  L"OriginalFilename",
                                         L"ProductName",  L"ProductVersion",  L"Comments"};
  for (const wchar_t* key : kKeys) {
    const std::wstring path = std::wstring(L"\\StringFileInfo\\") + block + L"\\" + key;
    if (!VerQueryValueW(record.data(), path.c_str(), &value, &length)) continue;  // not set
    const auto* text = static_cast<const wchar_t*>(value);
    size_t chars = 0;
    while (chars < length && text[chars] != 0) ++chars;
    report += "string " + Utf8(key, wcslen(key)) + ": " + Utf8(text, chars) + "\n";
  }

  if (!VerQueryValueW(record.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
    Fail("VerQueryValueW(\\)");
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (fixed->dwSignature != 0xFEEF04BD) throw Failure{"VS_FIXEDFILEINFO has a wrong signature"};
  report += "fixed file version: " + Quad(fixed->dwFileVersionMS, fixed->dwFileVersionLS) + "\n";
  report +=
      "fixed product version: " + Quad(fixed->dwProductVersionMS, fixed->dwProductVersionLS) + "\n";
}

BOOL CALLBACK CountName(HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) {
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

int CountResources(HMODULE module, LPCWSTR type, const char* what) {
  int count = 0;
  if (!EnumResourceNamesW(module, type, CountName, reinterpret_cast<LONG_PTR>(&count)))
    Fail(std::string("EnumResourceNamesW(") + what + ")");
  return count;
}

// A resource's bytes; they stay valid while the module is loaded.
const uint8_t* ResourceBytes(HMODULE module, LPCWSTR name, LPCWSTR type, DWORD& size,
                             const std::string& what) {
  HRSRC found = FindResourceW(module, name, type);
  if (found == nullptr) Fail("FindResourceW(" + what + ")");
  HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) Fail("LoadResource(" + what + ")");
  size = SizeofResource(module, found);
  const void* bytes = LockResource(loaded);
  if (bytes == nullptr) Fail("LockResource(" + what + ")");
  return static_cast<const uint8_t*>(bytes);
}

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
  return Le16(p) | static_cast<uint32_t>(Le16(p + 2)) << 16;
}

void ReportIcon(const wchar_t* program, std::string& report) {
  HMODULE module =
      LoadLibraryExW(program, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) module = LoadLibraryExW(program, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) Fail("LoadLibraryExW");
  report += "icon groups: " +
            std::to_string(CountResources(module, MAKEINTRESOURCEW(14), "RT_GROUP_ICON")) + "\n";
  report +=
      "icon images: " + std::to_string(CountResources(module, MAKEINTRESOURCEW(3), "RT_ICON")) +
      "\n";

  // GRPICONDIR: reserved, type 1, count (16 bits each), then 14-byte
  // entries: width, height, colors, reserved (8 bits each), planes, bit
  // count (16), bytes in the image (32), the RT_ICON id (16).
  DWORD group_size = 0;
  const uint8_t* group =
      ResourceBytes(module, L"MAINICON", MAKEINTRESOURCEW(14), group_size, "MAINICON");
  if (group_size < 6 || Le16(group + 2) != 1) throw Failure{"MAINICON is not an icon group"};
  const unsigned count = Le16(group + 4);
  if (group_size < 6 + 14 * count) throw Failure{"MAINICON is shorter than its entries"};
  for (unsigned i = 0; i < count; ++i) {
    const uint8_t* entry = group + 6 + 14 * i;
    const unsigned id = Le16(entry + 12);
    DWORD image_size = 0;
    const uint8_t* image = ResourceBytes(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3),
                                         image_size, "RT_ICON " + std::to_string(id));
    report += "icon " + std::to_string(i + 1) + ": " + std::to_string(entry[0]) + "x" +
              std::to_string(entry[1]) + ", " + std::to_string(entry[2]) + " colors, " +
              std::to_string(Le16(entry + 4)) + " planes, " + std::to_string(Le16(entry + 6)) +
              " bits, " + std::to_string(Le32(entry + 8)) + " bytes; image " +
              std::to_string(image_size) + " bytes, cksum " +
              std::to_string(PosixCksum(image, image_size)) + "\n";
  }
  FreeLibrary(module);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: read_resources PROGRAM REPORT\n", stderr);
    return 2;
  }
  std::string report;
  try {
    ReportVersion(argv[1], report);
    ReportIcon(argv[1], report);
  } catch (const Failure& failure) {
    std::fprintf(stderr, "read_resources: %s\n", failure.what.c_str());
    return 1;
  }
  std::FILE* out = _wfopen(argv[2], L"wb");
  if (out == nullptr || std::fwrite(report.data(), 1, report.size(), out) != report.size() ||
      std::fclose(out) != 0) {
    std::fputs("read_resources: cannot write the report\n", stderr);
    return 1;
  }
  return 0;
}

// Windows PE headers crafted field by field, for the tests of the builder's
// header reader and of the launcher checks: a DOS header whose e_lfanew
// points at "PE\0\0", the COFF header, an optional header (PE32 or PE32+)
// with its data directories, and a section table, all at offsets written
// out here independently of the reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv::test {

struct PeSectionFields {
  std::string name;  // at most 8 characters
  uint32_t raw_offset = 0;
  uint32_t raw_size = 0;
  uint32_t virtual_address = 0;
  uint32_t virtual_size = 0;
  uint32_t characteristics = 0;
};

// A data directory to write besides the security directory.
struct PeDirectoryFields {
  size_t index = 0;
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct PeFields {
  uint16_t machine = 0x014C;          // i386
  uint16_t magic = 0x010B;            // PE32; 0x020B for PE32+
  uint16_t subsystem = 2;             // Windows GUI
  uint16_t characteristics = 0x0102;  // an executable image for 32-bit words
  uint32_t header_offset = 0x40;      // e_lfanew
  uint32_t directory_count = 16;      // NumberOfRvaAndSizes
  // SizeOfOptionalHeader; 0: just large enough for the directories.
  uint32_t optional_size = 0;
  uint32_t size_of_image = 0x3000;
  uint32_t size_of_headers = 0x200;
  uint32_t section_alignment = 0x1000;
  uint32_t file_alignment = 0x200;
  // The security directory (index 4; written only when directory_count > 4).
  uint32_t certificate_offset = 0;
  uint32_t certificate_size = 0;
  std::vector<PeSectionFields> sections;
  std::vector<PeDirectoryFields> directories;  // each index below directory_count
};

// Where the reader must find each structure of an image made from `fields`.
struct PeLayout {
  size_t signature;        // "PE\0\0" (e_lfanew)
  size_t optional;         // the optional header
  size_t directory_count;  // NumberOfRvaAndSizes
  size_t checksum;         // the CheckSum field
  size_t section_table;
  size_t headers_end;  // the end of the section table
};
PeLayout LayoutOf(const PeFields& fields);

// The headers that `fields` describes, zero-filled to `size` bytes when that is
// more (section data is never written).
std::vector<uint8_t> PeImage(const PeFields& fields, size_t size = 0);

// The fields of a launcher image: i386 PE32 (or x86-64 PE32+), no sections and
// directories up to the security directory only, so that its headers end
// before the marker that the crafted launchers carry at 0x100.
PeFields LauncherPeFields(bool x64 = false);

}  // namespace kv::test

// Bringing LHA archives along: their -lh0-, -lh1- and -lh5- members become
// entries "NON", "LZH" and "LH5" of this project's container with their
// compressed bytes unchanged. Each member is verified on the way in: it is
// expanded through the component's own codec session, the output must have
// the member's original size and CRC-16, and the entry's byte sum is taken
// from that output.
//
// Header levels 0, 1 and 2 are read (level 3 and any other method are refused
// with a message naming them). Directory names of the extended headers and
// the separators of old headers ('/', '\' or 0xFF) become '\', the
// separator of the launcher's entry names.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "tools/archive_writer.h"

namespace kv::tools {

// One member's header: what it holds and where its compressed bytes stand
// in the archive.
struct LhaMemberHeader {
  std::string name;      // directory and file name, joined with '\'
  std::string method;    // the five characters, e.g. "-lh5-"
  int header_level = 0;  // 0, 1 or 2
  uint32_t original_size = 0;
  uint16_t crc = 0;          // CRC-16 of the original data
  uint64_t data_offset = 0;  // of the compressed bytes, from the archive's start
  uint64_t data_size = 0;    // count of the compressed bytes
};

// A member with its compressed bytes.
struct LhaMember : LhaMemberHeader {
  std::vector<uint8_t> stored;
};

// CRC-16 as LHA archives store it (reflected polynomial 0xA001, start 0).
uint16_t LhaCrc16(std::span<const uint8_t> data, uint16_t crc = 0);

// Reads every member header of an LHA archive up to its end mark (a header
// size of 0) or the end of the data. Raises BuilderError for a header that
// is damaged, cut short or of level 3 and above.
std::vector<LhaMember> ReadLhaArchive(std::span<const uint8_t> archive);

// Turns one member into an entry, verifying it as described above. Raises
// BuilderError naming the member for a method that cannot be imported, a
// size beyond the container's fields, or data that does not verify.
PrecompressedEntry ImportLhaMember(const LhaMember& member);

// The method of a member that stands for a folder.
inline constexpr char kLhaFolderMethod[] = "-lhd-";

// What ImportLhaArchive wrote for one member.
struct ImportedEntry {
  std::string name;
  uint8_t method = 0;
  int32_t destsize = 0;
  int32_t stored = 0;  // compressed bytes, as in the LHA archive
};

// Converts the LHA archive at `lzh_path` into an archive at `out_path`
// (refused when it exists, unless `overwrite`; written as WriteOutput
// writes, `check` reading it back before it is put in place). Memory
// stays bounded whatever the members' sizes: the member headers are read
// first (every method and size is checked before anything is written),
// then each member's bytes are verified through the codec session and
// copied, both in pieces, straight from the file. Folder members are
// skipped (counted in `folders_skipped`). Nothing is left at `out_path`
// when any member fails.
std::vector<ImportedEntry> ImportLhaArchive(const std::string& lzh_path,
                                            const std::string& out_path, bool overwrite,
                                            int* folders_skipped = nullptr,
                                            const std::function<void(TStream&)>& check = {});

}  // namespace kv::tools

// The version record of a Windows image (the VS_VERSIONINFO resource that
// the file's properties show): its StringFileInfo strings, read from the
// image's resource tree (tools/pe_resources.h), and the walk over the
// record's blocks that the reader and the resource writer share.
//
// Every structure's extent is checked against the bytes given (and against
// its parent's) before a field of it is read, so neither a loop in the
// resource directory nor a length field can take a reader outside the image
// or make it allocate more than the strings it returns.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/pe_image.h"

namespace kv::tools {

inline constexpr size_t kResourceDirectory = 2;
inline constexpr uint32_t kResourceTypeVersion = 16;  // RT_VERSION

// Key/value pairs in record order, as UTF-8 (unpaired surrogates as U+FFFD).
using VersionStrings = std::vector<std::pair<std::string, std::string>>;

// What a reader of untrusted bytes calls with a clause saying what is wrong
// ("a block's header runs past its parent"): it raises the caller's
// exception, with the caller's subject, and never returns.
using FaultHandler = void (*)(const std::string& reason);

// The version record's strings of `image` (the whole image's bytes, whose
// headers are `info`); nullopt when the image has no version resource.
// Raises BuilderError "version record: reason" for a resource directory or
// record that is damaged or lies outside `image`.
std::optional<VersionStrings> ReadVersionStrings(std::span<const uint8_t> image,
                                                 const PeInfo& info);

// The strings of one VS_VERSIONINFO block. Raises BuilderError likewise.
VersionStrings ParseVersionInfo(std::span<const uint8_t> record);

// One block of a record: wLength, wValueLength, wType, a key of UTF-16
// units ending in 0, padding to 4 bytes, the value, padding, the children.
// Offsets are relative to the record's start, which is 4-byte aligned.
struct VersionBlock {
  std::string key;  // as UTF-8
  uint16_t value_length = 0;
  uint16_t type = 0;
  uint64_t start = 0;  // where wLength stands
  uint64_t value = 0;  // where the value starts (the padded end of the key)
  uint64_t end = 0;    // start + wLength, inside the parent
};

// The block at `at`, which must end by `limit` (the parent's end, at most
// the record's size); `fault` for one that does not fit or whose key has no
// end.
VersionBlock ReadVersionBlock(std::span<const uint8_t> record, uint64_t at, uint64_t limit,
                              FaultHandler fault);
// The blocks from `at` (4-aligned) to `limit`, one after another, each
// starting on a 4-byte boundary.
std::vector<VersionBlock> ReadVersionBlocks(std::span<const uint8_t> record, uint64_t at,
                                            uint64_t limit, FaultHandler fault);
// The text value of a String block: its UTF-16 units up to a 0 or the
// block's end.
std::u16string VersionTextUnits(std::span<const uint8_t> record, const VersionBlock& block);

// UTF-16 code units as UTF-8, unpaired surrogates as U+FFFD.
std::string Utf8FromUtf16(std::u16string_view units);

inline uint64_t Align4(uint64_t at) {
  return (at + 3) & ~uint64_t{3};
}

}  // namespace kv::tools

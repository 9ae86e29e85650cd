// The version record of a Windows image (the VS_VERSIONINFO resource that
// the file's properties show): its StringFileInfo strings, read by walking
// the resource directory the image's data directory 2 points at.
//
// Every structure's extent is checked against the bytes given (and against
// its parent's) before a field of it is read; the walk goes three levels
// deep (type, name, language) and no further, so neither a loop in the
// directory nor a length field can take it outside the image or make it
// allocate more than the strings it returns.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tools/pe_image.h"

namespace kv::tools {

inline constexpr size_t kResourceDirectory = 2;
inline constexpr uint32_t kResourceTypeVersion = 16;  // RT_VERSION

// Key/value pairs in record order, as UTF-8 (unpaired surrogates as U+FFFD).
using VersionStrings = std::vector<std::pair<std::string, std::string>>;

// The version record's strings of `image` (the whole image's bytes, whose
// headers are `info`); nullopt when the image has no version resource.
// Raises BuilderError "version record: reason" for a resource directory or
// record that is damaged or lies outside `image`.
std::optional<VersionStrings> ReadVersionStrings(std::span<const uint8_t> image,
                                                 const PeInfo& info);

// The strings of one VS_VERSIONINFO block. Raises BuilderError likewise.
VersionStrings ParseVersionInfo(std::span<const uint8_t> record);

}  // namespace kv::tools

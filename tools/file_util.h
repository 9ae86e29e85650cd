// File helpers of the builder: whole-file reads and writes that never
// overwrite without being asked and never leave a half-written file behind.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/stream.h"

namespace kv::tools {

// Reads a whole file; BuilderError naming the file on failure.
std::vector<uint8_t> ReadWholeFile(const std::string& path);

// Writes `path` through a temporary file beside it that is renamed into
// place only when `fill` returned normally; on failure the temporary file is
// removed and the failure passes on. An existing `path` is refused with a
// BuilderError unless `overwrite` is set.
void WriteFileSafely(const std::string& path, bool overwrite,
                     const std::function<void(TStream&)>& fill);
void WriteFileSafely(const std::string& path, bool overwrite, const std::vector<uint8_t>& bytes);

}  // namespace kv::tools

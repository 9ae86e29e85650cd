// The archive inside a file the builder is given: a plain archive, or a
// stamped launcher (signed or not) whose PayloadBlock carries one, found the
// way the launcher finds it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/stream.h"
#include "tools/streams.h"

namespace kv::tools {

class ArchiveInput {
 public:
  // Opens `path` and finds its archive. Raises BuilderError "PATH: reason"
  // for a file that cannot be opened, one too short to hold an archive
  // header, one that is neither an archive nor a stamped launcher, and a
  // launcher whose PayloadBlock runs past the end of the file.
  explicit ArchiveInput(const std::string& path);

  TStream& Archive() { return *window_; }
  bool Stamped() const { return payload_offset_ > 0; }
  // Where the PayloadBlock stands in a stamped launcher, and where it ends.
  int32_t PayloadOffset() const { return payload_offset_; }
  int64_t PayloadEnd() const { return payload_end_; }
  // The whole file.
  TStream& File() { return *file_; }
  int64_t FileSize() const { return file_size_; }

 private:
  std::unique_ptr<TFileStream> file_;
  std::unique_ptr<TWindowStream> window_;
  int32_t payload_offset_ = 0;
  int64_t payload_end_ = 0;
  int64_t file_size_ = 0;
};

}  // namespace kv::tools

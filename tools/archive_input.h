// The archive inside a file the builder is given: a plain archive, or a
// stamped launcher (signed or not) whose PayloadBlock carries one, found the
// way the launcher finds it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/stream.h"

namespace kv::tools {

// A read-only view of `length` bytes of another stream from `base` on; its
// positions and size are those of the view.
class TWindowStream final : public TStream {
 public:
  TWindowStream(TStream& inner, int64_t base, int64_t length)
      : inner_(inner), base_(base), length_(length) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override { return length_; }

 private:
  TStream& inner_;
  int64_t base_;
  int64_t length_;
  int64_t position_ = 0;
};

// A read-only stream over bytes held elsewhere, which must outlive it.
class TSpanStream final : public TStream {
 public:
  explicit TSpanStream(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }

 private:
  std::span<const uint8_t> bytes_;
  int64_t position_ = 0;
};

class ArchiveInput {
 public:
  // Opens `path` and finds its archive. Raises BuilderError "PATH: reason"
  // for a file that cannot be opened, one too short to hold an archive
  // header, one that is neither an archive nor a stamped launcher, and a
  // launcher whose PayloadBlock runs past the end of the file.
  explicit ArchiveInput(const std::string& path);

  TStream& Archive() { return *window_; }
  bool Stamped() const { return payload_offset_ > 0; }
  // Where the PayloadBlock stands in a stamped launcher.
  int32_t PayloadOffset() const { return payload_offset_; }

 private:
  std::unique_ptr<TFileStream> file_;
  std::unique_ptr<TWindowStream> window_;
  int32_t payload_offset_ = 0;
};

}  // namespace kv::tools

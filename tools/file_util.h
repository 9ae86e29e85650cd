// File helpers of the builder: whole-file reads and writes that never
// overwrite without being asked and never leave a half-written file behind.
// Every failure is a BuilderError whose text is "PATH: reason", with the
// system's own reason where a call failed.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/stream.h"

namespace kv::tools {

// Reads a whole file.
std::vector<uint8_t> ReadWholeFile(const std::string& path);

// Raises unless `path` can be opened for reading (as the stream classes
// would, but with the system's reason in the message).
void CheckReadable(const std::string& path);

enum class LinkPolicy {
  kWriteThrough,  // an existing symlink, device or pipe is written through
  kReplace,       // an existing symlink is replaced by the new file; never followed
};

// Writes `path`. A new or regular file is written through a temporary file
// beside it that is renamed into place only when `fill` returned normally;
// on failure the temporary file is removed and the failure passes on. An
// existing regular file (or, when written through, a link to one) is
// refused unless `overwrite` is set. With kWriteThrough a device, a pipe or
// a symlink is opened and written as it is, never replaced: `-f` is not
// needed for a device or a pipe, which hold no file to lose.
void WriteFileSafely(const std::string& path, bool overwrite,
                     const std::function<void(TStream&)>& fill,
                     LinkPolicy links = LinkPolicy::kWriteThrough);
void WriteFileSafely(const std::string& path, bool overwrite, const std::vector<uint8_t>& bytes);

// A stream over an open file descriptor (standard output, a device), not
// owned; reads deliver nothing and a position is not kept.
class DescriptorStream final : public TStream {
 public:
  DescriptorStream(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t, SeekOrigin) override { return written_; }
  int64_t Size() override { return written_; }
  // The reason of the first failed write, empty while none failed.
  const std::string& Failure() const { return failure_; }

 private:
  int fd_;
  std::string name_;
  int64_t written_ = 0;
  std::string failure_;
};

// Gathers the writes to `out` into pieces of kPiece bytes, so that a run of
// small writes (the codec session's 8 KiB blocks) costs one system call a
// piece. Reads, seeks and Size hand over what is gathered first; a position
// query does not. Flush() hands it over and raises EWriteError when `out`
// takes less. A write that finds the piece full and `out` failing accepts
// nothing, so the caller's WriteBuffer raises there; what was gathered but
// not flushed when the gatherer goes away is dropped (its owner is failing).
class GatheredWrites final : public TStream {
 public:
  static constexpr int32_t kPiece = 256 << 10;

  explicit GatheredWrites(TStream& out) : out_(out) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override;
  void Flush();

 private:
  bool HandOver();

  TStream& out_;
  std::vector<uint8_t> piece_;
};

// An anonymous temporary file for bytes that must wait before they are
// written (an entry's stored bytes, ahead of the header that gives their
// count, for an output that cannot go back). It is made in TMPDIR (on
// Windows TMP or TEMP), else in the system's temporary folder, and is gone
// when closed: on POSIX it is unlinked as soon as it is made, so that no
// way of ending leaves it behind. Failures raise BuilderError naming the
// folder and the system's reason.
class SpoolFile {
 public:
  SpoolFile();
  ~SpoolFile();
  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;

  void Write(std::span<const uint8_t> bytes);
  // Empties the file for the next use.
  void Clear();
  uint64_t Size() const { return size_; }
  // Writes everything written since the last Clear to `out`, read back in
  // pieces of `buffer`'s size.
  void CopyTo(TStream& out, std::span<uint8_t> buffer);

 private:
  [[noreturn]] void Fail() const;

  int fd_ = -1;
  std::string dir_;
  uint64_t size_ = 0;
};

// Folders of `relative` (its parts separated by '/') below `root`, made as
// needed; the last part is the file's own name and is not made. Raises when
// a part exists as something other than a folder, and for a symlink
// anywhere below `root`, which is never followed.
void MakeFoldersBelow(const std::string& root, const std::string& relative);

}  // namespace kv::tools

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
// Reads the first `limit` bytes of a file, or all of a shorter one.
std::vector<uint8_t> ReadFileHead(const std::string& path, size_t limit);

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

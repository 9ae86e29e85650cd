// File helpers of the builder: whole-file reads, the spool file, folders
// below an output folder. (Everything written goes through output.h.)
// Every failure is a BuilderError whose text is "PATH: reason", with the
// system's own reason where a call failed.
#pragma once

#include <cstdint>
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

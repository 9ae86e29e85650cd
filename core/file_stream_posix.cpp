// TFileStream on POSIX file descriptors. The sharing modes of the Windows
// build have no exact counterpart here; an exclusive open takes an advisory
// lock so that two readers of this code base still exclude each other.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/exceptions.h"
#include "core/stream.h"

namespace kv {

intptr_t TFileStream::OpenHandle(const std::string& file_name, FileMode mode) {
  static_assert(kNoHandle == -1);
  if (mode == FileMode::kCreate || mode == FileMode::kCreateNew) {
    // O_EXCL fails on any name that is taken, a symbolic link included.
    // There are no sharing modes here; the folder's permissions decide who
    // else may touch the new file.
    const int how = mode == FileMode::kCreate ? O_TRUNC : O_EXCL | O_NOFOLLOW;
    return ::open(file_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | how, 0666);
  }
  int fd = ::open(file_name.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  // A folder is no file: Windows refuses to open one, and so do we.
  if (fd >= 0 && (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
    ::close(fd);
    fd = -1;
  }
  if (fd >= 0 && mode == FileMode::kOpenReadExclusive && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    fd = -1;
  }
  return fd;
}

TFileStream::~TFileStream() {
  ::close(static_cast<int>(handle_));
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
  int32_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(static_cast<int>(handle_), static_cast<char*>(buffer) + done,
                             static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<int32_t>(n);
  }
  return done;
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
  int32_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(static_cast<int>(handle_), static_cast<const char*>(buffer) + done,
                              static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<int32_t>(n);
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin) {
  int whence = SEEK_SET;
  if (origin == SeekOrigin::kCurrent) whence = SEEK_CUR;
  if (origin == SeekOrigin::kEnd) whence = SEEK_END;
  off_t result = ::lseek(static_cast<int>(handle_), static_cast<off_t>(offset), whence);
  if (result < 0) result = ::lseek(static_cast<int>(handle_), 0, SEEK_SET);  // before the start
  return static_cast<int64_t>(result);
}

int64_t TFileStream::Size() {
  struct stat st;
  if (::fstat(static_cast<int>(handle_), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace kv

#include "tools/file_util.h"
#include "tools/streams.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "core/exceptions.h"
#include "tools/archive_writer.h"
#include "tools/host.h"

namespace kv::tools {

namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& reason) {
  throw BuilderError(path + ": " + reason);
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

int OpenForReading(const std::string& path) {
  // Every reason comes from the call that failed, taken before anything
  // else can change errno.
  const int fd = host::OpenForReading(path);
  if (fd < 0) Fail(path, std::strerror(errno));
  host::FileInfo info;
  if (!host::StatOpen(fd, info)) {
    const int e = errno;
    ::close(fd);
    Fail(path, std::strerror(e));
  }
  if (info.kind == host::FileKind::kFolder) {
    ::close(fd);
    Fail(path, "is a directory");
  }
  return fd;
}

}  // namespace

void CheckReadable(const std::string& path) {
  FdCloser closer{OpenForReading(path)};
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  FdCloser closer{OpenForReading(path)};
  host::FileInfo info;
  std::vector<uint8_t> data;
  if (host::StatOpen(closer.fd, info) && info.kind == host::FileKind::kFile)
    data.reserve(static_cast<size_t>(info.size));
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(closer.fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(path, std::strerror(errno));
    }
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + n);
  }
  return data;
}

std::vector<uint8_t> ReadFileHead(const std::string& path, size_t limit) {
  FdCloser closer{OpenForReading(path)};
  std::vector<uint8_t> data;
  uint8_t buffer[65536];
  while (data.size() < limit) {
    const ssize_t n = ::read(closer.fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(path, std::strerror(errno));
    }
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + std::min(static_cast<size_t>(n), limit - data.size()));
  }
  return data;
}

SpoolFile::SpoolFile() : dir_(host::TemporaryFolder()) {
  fd_ = host::OpenTemporary(dir_);
  if (fd_ < 0) Fail();
}

SpoolFile::~SpoolFile() {
  ::close(fd_);
}

void SpoolFile::Fail() const {
  throw BuilderError("temporary file in " + dir_ + ": " + std::strerror(errno));
}

void SpoolFile::Write(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n =
        ::write(fd_, bytes.data(), static_cast<unsigned>(std::min<size_t>(bytes.size(), 1u << 30)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail();
    if (n == 0) {
      errno = ENOSPC;
      Fail();
    }
    size_ += static_cast<uint64_t>(n);
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
}

void SpoolFile::Clear() {
  if (!host::Truncate(fd_)) Fail();
  size_ = 0;
}

void SpoolFile::CopyTo(TStream& out, std::span<uint8_t> buffer) {
  if (!host::Rewind(fd_)) Fail();
  uint64_t left = size_;
  while (left > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
    const ssize_t n = ::read(fd_, buffer.data(), static_cast<unsigned>(want));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail();
    if (n == 0) {
      errno = EIO;  // the file is shorter than what was written to it
      Fail();
    }
    out.WriteBuffer(buffer.data(), static_cast<int32_t>(n));
    left -= static_cast<uint64_t>(n);
  }
  // Later writes go after what was written, as before the copy.
  host::SeekToEnd(fd_);
}

void MakeFoldersBelow(const std::string& root, const std::string& relative) {
  std::string path = root;
  size_t start = 0;
  for (size_t slash; (slash = relative.find('/', start)) != std::string::npos; start = slash + 1) {
    path += "/" + relative.substr(start, slash - start);
    host::FileInfo info;
    if (host::LinkStat(path, info)) {
      if (info.kind == host::FileKind::kLink) Fail(path, "is a symbolic link (not followed)");
      if (info.kind != host::FileKind::kFolder) Fail(path, "exists and is not a folder");
      continue;
    }
    if (!host::MakeFolder(path) && errno != EEXIST) Fail(path, std::strerror(errno));
  }
}

}  // namespace kv::tools

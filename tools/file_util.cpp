#include "tools/file_util.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "core/exceptions.h"
#include "tools/archive_writer.h"
#include "tools/host_file.h"

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
  const int fd = ::open(path.c_str(), O_RDONLY | host::kBinary | host::kCloseOnExec);
  if (fd < 0) Fail(path, std::strerror(errno));
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    Fail(path, std::strerror(e));
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    Fail(path, "is a directory");
  }
  return fd;
}

// Writes to a descriptor that the caller opened, as a stream.
class OwnedDescriptorStream final : public TStream {
 public:
  explicit OwnedDescriptorStream(int fd) : fd_(fd) {}
  ~OwnedDescriptorStream() override { ::close(fd_); }
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override {
    const ssize_t n = count > 0 ? ::write(fd_, buffer, static_cast<unsigned>(count)) : 0;
    if (n > 0) written_ += n;
    return n > 0 ? static_cast<int32_t>(n) : 0;
  }
  int64_t Seek(int64_t, SeekOrigin) override { return written_; }
  int64_t Size() override { return written_; }

 private:
  int fd_;
  int64_t written_ = 0;
};

}  // namespace

void CheckReadable(const std::string& path) {
  FdCloser closer{OpenForReading(path)};
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  FdCloser closer{OpenForReading(path)};
  struct stat st;
  std::vector<uint8_t> data;
  if (::fstat(closer.fd, &st) == 0 && S_ISREG(st.st_mode))
    data.reserve(static_cast<size_t>(st.st_size));
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

void WriteFileSafely(const std::string& path, bool overwrite,
                     const std::function<void(TStream&)>& fill, LinkPolicy links) {
  struct stat st;
  const bool exists = host::LinkStat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) Fail(path, "is a directory");
  if (exists && links == LinkPolicy::kWriteThrough && !S_ISREG(st.st_mode)) {
    // A link, device or pipe: written where it leads, never replaced. A link
    // to an existing regular file overwrites that file.
    struct stat target;
    const bool target_is_file = ::stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode);
    if (target_is_file && !overwrite) Fail(path, "exists (use -f to overwrite it)");
    const int fd = ::open(
        path.c_str(),
        O_WRONLY | O_CREAT | host::kBinary | host::kCloseOnExec | (target_is_file ? O_TRUNC : 0),
        0666);
    if (fd < 0) Fail(path, std::strerror(errno));
    OwnedDescriptorStream out(fd);
    GatheredWrites gathered(out);
    fill(gathered);
    gathered.Flush();
    return;
  }
  if (exists && !overwrite) Fail(path, "exists (use -f to overwrite it)");
  const std::string temp = path + ".kvarc-" + std::to_string(::getpid());
  try {
    {
      // The temporary file is the system's business: a failure to make it
      // names the file asked for, with the reason.
      std::unique_ptr<TFileStream> out;
      try {
        out = std::make_unique<TFileStream>(temp, FileMode::kCreate);
      } catch (const EFCreateError&) {
        Fail(path, std::strerror(errno));
      }
      GatheredWrites gathered(*out);
      fill(gathered);
      gathered.Flush();
    }
    // Replaces an existing file on every system (a plain rename does not on
    // Windows).
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) Fail(path, ec.message());
  } catch (...) {
    std::remove(temp.c_str());
    throw;
  }
}

void WriteFileSafely(const std::string& path, bool overwrite, const std::vector<uint8_t>& bytes) {
  WriteFileSafely(path, overwrite, [&](TStream& out) {
    out.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
  });
}

bool GatheredWrites::HandOver() {
  const auto n = static_cast<int32_t>(piece_.size());
  const int32_t done = n == 0 ? 0 : out_.Write(piece_.data(), n);
  piece_.erase(piece_.begin(), piece_.begin() + done);
  return done == n;
}

int32_t GatheredWrites::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  if (piece_.size() + static_cast<size_t>(count) > static_cast<size_t>(kPiece) && !HandOver())
    return 0;
  if (count >= kPiece) return out_.Write(buffer, count);
  if (piece_.capacity() == 0) piece_.reserve(static_cast<size_t>(kPiece));
  const auto* p = static_cast<const uint8_t*>(buffer);
  piece_.insert(piece_.end(), p, p + count);
  return count;
}

void GatheredWrites::Flush() {
  if (!HandOver()) RaiseWriteError();
}

int32_t GatheredWrites::Read(void* buffer, int32_t count) {
  Flush();
  return out_.Read(buffer, count);
}

int64_t GatheredWrites::Seek(int64_t offset, SeekOrigin origin) {
  if (offset == 0 && origin == SeekOrigin::kCurrent)
    return out_.Seek(0, SeekOrigin::kCurrent) + static_cast<int64_t>(piece_.size());
  Flush();
  return out_.Seek(offset, origin);
}

int64_t GatheredWrites::Size() {
  Flush();
  return out_.Size();
}

int32_t DescriptorStream::Write(const void* buffer, int32_t count) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  int32_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, p + done, static_cast<unsigned>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (failure_.empty()) failure_ = n < 0 ? std::strerror(errno) : "nothing written";
      break;
    }
    done += static_cast<int32_t>(n);
  }
  written_ += done;
  return done;
}

namespace {

std::string TemporaryFolder() {
#ifdef _WIN32
  for (const char* name : {"TMP", "TEMP"}) {
    const char* dir = std::getenv(name);
    if (dir != nullptr && *dir != '\0') return dir;
  }
  return ".";
#else
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
#endif
}

}  // namespace

SpoolFile::SpoolFile() : dir_(TemporaryFolder()) {
#ifdef _WIN32
  // Removed by the system when the last descriptor closes.
  static int made = 0;
  for (int attempt = 0; fd_ < 0 && attempt < 100; ++attempt) {
    const std::string path =
        dir_ + "\\kvarc-spool-" + std::to_string(::_getpid()) + "-" + std::to_string(made++);
    fd_ = ::_open(path.c_str(),
                  _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY | _O_SHORT_LIVED,
                  _S_IREAD | _S_IWRITE);
    if (fd_ < 0 && errno != EEXIST) break;
  }
#else
  std::string path = dir_ + "/kvarc-spool.XXXXXX";
  fd_ = ::mkstemp(path.data());
  if (fd_ >= 0) {
    ::unlink(path.c_str());
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
  }
#endif
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
#ifdef _WIN32
  const bool emptied = ::_chsize_s(fd_, 0) == 0 && ::_lseeki64(fd_, 0, SEEK_SET) == 0;
#else
  const bool emptied = ::ftruncate(fd_, 0) == 0 && ::lseek(fd_, 0, SEEK_SET) == 0;
#endif
  if (!emptied) Fail();
  size_ = 0;
}

void SpoolFile::CopyTo(TStream& out, std::span<uint8_t> buffer) {
#ifdef _WIN32
  if (::_lseeki64(fd_, 0, SEEK_SET) != 0) Fail();
#else
  if (::lseek(fd_, 0, SEEK_SET) != 0) Fail();
#endif
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
#ifdef _WIN32
  ::_lseeki64(fd_, 0, SEEK_END);
#else
  ::lseek(fd_, 0, SEEK_END);
#endif
}

void MakeFoldersBelow(const std::string& root, const std::string& relative) {
  std::string path = root;
  size_t start = 0;
  for (size_t slash; (slash = relative.find('/', start)) != std::string::npos; start = slash + 1) {
    path += "/" + relative.substr(start, slash - start);
    struct stat st;
    if (host::LinkStat(path.c_str(), &st) == 0) {
      if (host::IsLink(st)) Fail(path, "is a symbolic link (not followed)");
      if (!S_ISDIR(st.st_mode)) Fail(path, "exists and is not a folder");
      continue;
    }
    if (host::MakeFolder(path.c_str()) != 0 && errno != EEXIST) Fail(path, std::strerror(errno));
  }
}

}  // namespace kv::tools

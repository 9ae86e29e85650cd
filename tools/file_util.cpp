#include "tools/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/archive_writer.h"

namespace kv::tools {

namespace {

[[noreturn]] void RaiseCannotRead(const std::string& path, const char* reason) {
  throw BuilderError("cannot read '" + path + "': " + reason);
}

struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }
};

}  // namespace

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  // Every reason comes from the call that failed, taken before anything
  // else can change errno.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) RaiseCannotRead(path, std::strerror(errno));
  FdCloser closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) RaiseCannotRead(path, std::strerror(errno));
  if (S_ISDIR(st.st_mode)) RaiseCannotRead(path, "is a directory");
  std::vector<uint8_t> data;
  if (S_ISREG(st.st_mode)) data.reserve(static_cast<size_t>(st.st_size));
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseCannotRead(path, std::strerror(errno));
    }
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + n);
  }
  return data;
}

void WriteFileSafely(const std::string& path, bool overwrite,
                     const std::function<void(TStream&)>& fill) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !overwrite)
    throw BuilderError("'" + path + "' exists (use --force to overwrite it)");
  const std::string temp = path + ".kvarc-" + std::to_string(::getpid());
  try {
    {
      TFileStream out(temp, FileMode::kCreate);
      fill(out);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0)
      throw BuilderError("cannot write '" + path + "': " + std::strerror(errno));
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

}  // namespace kv::tools

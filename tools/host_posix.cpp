// The host layer on POSIX systems: the calls as they are, paths as given.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tools/host.h"

namespace kv::tools::host {
namespace {

FileInfo InfoOf(const struct stat& st) {
  FileInfo info;
  info.size = static_cast<uint64_t>(st.st_size);
  if (S_ISREG(st.st_mode))
    info.kind = FileKind::kFile;
  else if (S_ISDIR(st.st_mode))
    info.kind = FileKind::kFolder;
  else if (S_ISLNK(st.st_mode))
    info.kind = FileKind::kLink;
  return info;
}

}  // namespace

bool Stat(const std::string& path, FileInfo& info) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  info = InfoOf(st);
  return true;
}

bool LinkStat(const std::string& path, FileInfo& info) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  info = InfoOf(st);
  return true;
}

bool StatOpen(int fd, FileInfo& info) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  info = InfoOf(st);
  return true;
}

bool Identify(const std::string& path, FileIdentity& identity) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  identity.device = static_cast<uint64_t>(st.st_dev);
  identity.index = static_cast<uint64_t>(st.st_ino);
  return true;
}

int OpenForReading(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

int OpenForWriting(const std::string& path, bool truncate) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0666);
}

int OpenTemporary(const std::string& folder) {
  // Unlinked as soon as it is made, so that no way of ending leaves it behind.
  std::string path = folder + "/kvarc-spool.XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd >= 0) {
    ::unlink(path.c_str());
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return fd;
}

bool Truncate(int fd) {
  return ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0;
}

bool Rewind(int fd) {
  return ::lseek(fd, 0, SEEK_SET) == 0;
}

bool SeekToEnd(int fd) {
  return ::lseek(fd, 0, SEEK_END) >= 0;
}

bool MakeFolder(const std::string& path) {
  return ::mkdir(path.c_str(), 0777) == 0;
}

bool Remove(const std::string& path) {
  return std::remove(path.c_str()) == 0;
}

std::string TemporaryFolder() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

int ProcessId() {
  return static_cast<int>(::getpid());
}

bool ErrorOutputIsTerminal() {
  return ::isatty(STDERR_FILENO) != 0;
}

void RawStandardOutput() {}

const char* PathSeparators() {
  return "/";
}

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace kv::tools::host

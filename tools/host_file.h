// The few POSIX file calls the builder makes, spelled so that the same code
// builds for Windows (MinGW's C runtime), where files must be opened in
// binary mode, there are no symbolic links to look at and mkdir takes no
// permission bits.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#endif

namespace kv::tools::host {

#ifdef _WIN32
inline constexpr int kBinary = O_BINARY;
inline constexpr int kCloseOnExec = 0;
inline int LinkStat(const char* path, struct stat* st) {
  return ::stat(path, st);
}
inline bool IsLink(const struct stat&) {
  return false;
}
inline int MakeFolder(const char* path) {
  return ::_mkdir(path);
}
#else
inline constexpr int kBinary = 0;
inline constexpr int kCloseOnExec = O_CLOEXEC;
inline int LinkStat(const char* path, struct stat* st) {
  return ::lstat(path, st);
}
inline bool IsLink(const struct stat& st) {
  return S_ISLNK(st.st_mode);
}
inline int MakeFolder(const char* path) {
  return ::mkdir(path, 0777);
}
#endif

}  // namespace kv::tools::host

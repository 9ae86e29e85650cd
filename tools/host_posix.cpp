// The host layer on POSIX systems: the calls as they are, paths as given.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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

// The one named pending file, for the interrupt handler: a plain buffer
// that the handler reads and never a std::string, which it could see half
// changed. Set before the file is made, cleared once it is gone or placed.
char pending_name[4096];
volatile sig_atomic_t pending_named = 0;
const char* interrupt_message = "";

// The private folder and its one file, for the interrupt handler alike.
char private_folder[4096];
char private_file[4096];
volatile sig_atomic_t private_held = 0;

void SayInterrupted() {
  const size_t n = std::strlen(interrupt_message);
  if (n > 0) {
    [[maybe_unused]] ssize_t w = ::write(STDERR_FILENO, interrupt_message, n);
    w = ::write(STDERR_FILENO, "\n", 1);
  }
}

void OnInterrupt(int signal_number) {
  if (pending_named) ::unlink(pending_name);
  if (private_held) {
    ::unlink(private_file);
    ::rmdir(private_folder);
  }
  SayInterrupted();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

class NamedFileGuard {
 public:
  // False when the name does not fit the handler's buffer.
  static bool Hold(const std::string& name) {
    if (name.size() >= sizeof pending_name) return false;
    pending_named = 0;
    std::memcpy(pending_name, name.c_str(), name.size() + 1);
    pending_named = 1;
    return true;
  }
  static void Release() { pending_named = 0; }
};

class PosixPendingFile final : public PendingFile {
 public:
  PosixPendingFile(int fd, std::string path, std::string named, bool replace)
      : fd_(fd), path_(std::move(path)), named_(std::move(named)), replace_(replace) {}
  ~PosixPendingFile() override {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !named_.empty()) {
      ::unlink(named_.c_str());
      NamedFileGuard::Release();
    }
  }
  PosixPendingFile(const PosixPendingFile&) = delete;
  PosixPendingFile& operator=(const PosixPendingFile&) = delete;

  int Descriptor() const override { return fd_; }

  bool Commit() override {
    if (named_.empty()) {
      // Unnamed: linked straight to the name when nothing is to be replaced
      // (and it fails with EEXIST if a file came there meanwhile), else to a
      // name beside it that is then renamed over the old file.
      const std::string self = "/proc/self/fd/" + std::to_string(fd_);
      if (!replace_) {
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path_.c_str(), AT_SYMLINK_FOLLOW) != 0)
          return false;
      } else {
        const std::string beside = path_ + ".kvarc-" + std::to_string(::getpid());
        if (!NamedFileGuard::Hold(beside)) {
          errno = ENAMETOOLONG;
          return false;
        }
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, beside.c_str(), AT_SYMLINK_FOLLOW) != 0 ||
            ::rename(beside.c_str(), path_.c_str()) != 0) {
          const int e = errno;
          ::unlink(beside.c_str());
          NamedFileGuard::Release();
          errno = e;
          return false;
        }
        NamedFileGuard::Release();
      }
    } else {
      // A hard link takes the name only where none is; a rename replaces.
      if (!replace_) {
        if (::link(named_.c_str(), path_.c_str()) != 0) return false;
        ::unlink(named_.c_str());
      } else if (::rename(named_.c_str(), path_.c_str()) != 0) {
        return false;
      }
      NamedFileGuard::Release();
    }
    committed_ = true;
    ::close(fd_);
    fd_ = -1;
    return true;
  }

 private:
  int fd_;
  std::string path_;
  std::string named_;  // empty for an unnamed file
  bool replace_;
  bool committed_ = false;
};

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::unique_ptr<PendingFile> MakePendingFile(const std::string& path, bool replace) {
#ifdef O_TMPFILE
  // Linking an unnamed file by name needs /proc; without it, or on a file
  // system without unnamed files, the named way serves.
  if (::access("/proc/self/fd", X_OK) == 0) {
    const int fd = ::open(FolderOf(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd >= 0) return std::make_unique<PosixPendingFile>(fd, path, std::string(), replace);
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return nullptr;
  }
#endif
  const std::string named = path + ".kvarc-" + std::to_string(::getpid());
  if (!NamedFileGuard::Hold(named)) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  const int fd = ::open(named.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    NamedFileGuard::Release();
    return nullptr;
  }
  return std::make_unique<PosixPendingFile>(fd, path, named, replace);
}

void InstallInterruptHandlers(const char* message) {
  interrupt_message = message;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (int s : kInterrupts) sigaddset(&action.sa_mask, s);
  for (int s : kInterrupts) ::sigaction(s, &action, nullptr);
}

bool ProcessRuns(int pid) {
  return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

int64_t Seek(int fd, int64_t offset, int whence) {
  return ::lseek(fd, static_cast<off_t>(offset), whence);
}

bool IsStandardOutput(const std::string& path) {
  struct stat a, b;
  return ::stat(path.c_str(), &a) == 0 && ::fstat(STDOUT_FILENO, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

bool StandardOutputIsTerminal() {
  return ::isatty(STDOUT_FILENO) != 0;
}

bool FollowLinks(const std::string& path, std::string& final_path) {
  std::string at = path;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st;
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      final_path = at;
      return true;
    }
    char target[4096];
    const ssize_t n = ::readlink(at.c_str(), target, sizeof target - 1);
    if (n < 0) return false;
    target[n] = '\0';
    at = target[0] == '/' ? std::string(target) : FolderOf(at) + "/" + target;
  }
  errno = ELOOP;
  return false;
}

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

std::string MakePrivateFolder(const std::string& file_name) {
  std::string path = TemporaryFolder() + "/kvarc-sign.XXXXXX";
  const std::string file = "/" + file_name;
  if (path.size() + file.size() >= sizeof private_file) {
    errno = ENAMETOOLONG;
    return std::string();
  }
  private_held = 0;
  if (::mkdtemp(path.data()) == nullptr) return std::string();  // made with mode 0700
  std::memcpy(private_folder, path.c_str(), path.size() + 1);
  std::memcpy(private_file, (path + file).c_str(), path.size() + file.size() + 1);
  private_held = 1;
  return path;
}

bool RemoveTree(const std::string& path) {
  if (private_held && path == private_folder) private_held = 0;
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  return !ec;
}

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

CommandResult RunShellCommand(const std::string& command) {
  // The interrupts are held back while the command runs, as system(3)
  // does: one typed at the terminal reaches the command too, and kvarc
  // must outlive it to remove what it made for it.
  sigset_t interrupts, previous;
  sigemptyset(&interrupts);
  for (int s : kInterrupts) sigaddset(&interrupts, s);
  ::sigprocmask(SIG_BLOCK, &interrupts, &previous);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &interrupts);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t child = 0;
  const int spawned = ::posix_spawn(&child, "/bin/sh", &actions, &attributes,
                                    const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);

  CommandResult result;
  if (spawned == 0) {
    result.started = true;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  } else {
    errno = spawned;
  }
  sigset_t pending;
  ::sigpending(&pending);
  for (int s : kInterrupts)
    if (result.interrupt == 0 && sigismember(&pending, s)) result.interrupt = s;
  const int saved = errno;
  if (result.interrupt == 0) ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = saved;
  return result;
}

void EndInterrupted(int signal_number) {
  SayInterrupted();
  ::signal(signal_number, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal_number);
  ::sigprocmask(SIG_UNBLOCK, &one, nullptr);  // the held-back signal ends the process here
  ::raise(signal_number);
  std::_Exit(128 + signal_number);
}

const char* PathSeparators() {
  return "/";
}

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace kv::tools::host

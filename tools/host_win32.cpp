// The host layer on Windows: UTF-8 paths become wide names here, and the
// C runtime's wide calls do the work, so that any name the file system
// holds can be packed and written, whatever the ANSI code page.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>
// After <windows.h>.
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/wide_text_win32.h"
#include "tools/host.h"

namespace kv::tools::host {
namespace {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Utf8(const wchar_t* text) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string utf8(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), n, nullptr, nullptr);
  utf8.pop_back();  // the terminating zero
  return utf8;
}

FileInfo InfoOf(const struct _stat64& st) {
  FileInfo info;
  info.size = static_cast<uint64_t>(st.st_size);
  if ((st.st_mode & _S_IFMT) == _S_IFREG)
    info.kind = FileKind::kFile;
  else if ((st.st_mode & _S_IFMT) == _S_IFDIR)
    info.kind = FileKind::kFolder;
  return info;
}

// The one pending file, for the console's control handler, which runs on a
// thread of its own: a plain buffer, set before the file is made and
// cleared once it is gone or placed.
wchar_t pending_name[32768];
volatile LONG pending_named = 0;
const char* interrupt_message = "";

// The private folder and its one file, for the handler alike.
wchar_t private_folder[32768];
wchar_t private_file[32768];
volatile LONG private_held = 0;

BOOL WINAPI OnConsoleEvent(DWORD) {
  // The file was opened with FILE_SHARE_DELETE, so it can be deleted while
  // the main thread still holds it; it goes when the process ends.
  if (pending_named) ::DeleteFileW(pending_name);
  if (private_held) {
    ::DeleteFileW(private_file);
    ::RemoveDirectoryW(private_folder);
  }
  DWORD written = 0;
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  ::WriteFile(err, interrupt_message, static_cast<DWORD>(std::strlen(interrupt_message)), &written,
              nullptr);
  ::WriteFile(err, "\r\n", 2, &written, nullptr);
  return FALSE;  // the system's own handler ends the process
}

// errno for a failed Windows call, for the caller's message.
void SetErrno(DWORD error) {
  switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      errno = EACCES;
      break;
    case ERROR_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_CANT_RESOLVE_FILENAME:
      errno = ELOOP;
      break;
    default:
      errno = EIO;
  }
}

class WindowsPendingFile final : public PendingFile {
 public:
  WindowsPendingFile(int fd, std::wstring path, std::wstring named, bool replace)
      : fd_(fd), path_(std::move(path)), named_(std::move(named)), replace_(replace) {}
  ~WindowsPendingFile() override {
    if (fd_ >= 0) ::_close(fd_);
    if (!committed_) {
      ::DeleteFileW(named_.c_str());
      pending_named = 0;
    }
  }
  WindowsPendingFile(const WindowsPendingFile&) = delete;
  WindowsPendingFile& operator=(const WindowsPendingFile&) = delete;

  int Descriptor() const override { return fd_; }

  bool Commit() override {
    ::_close(fd_);
    fd_ = -1;
    if (!::MoveFileExW(named_.c_str(), path_.c_str(),
                       MOVEFILE_WRITE_THROUGH | (replace_ ? MOVEFILE_REPLACE_EXISTING : 0))) {
      SetErrno(::GetLastError());
      return false;
    }
    committed_ = true;
    pending_named = 0;
    return true;
  }

 private:
  int fd_;
  std::wstring path_;
  std::wstring named_;
  bool replace_;
  bool committed_ = false;
};

}  // namespace

std::unique_ptr<PendingFile> MakePendingFile(const std::string& path, bool replace) {
  // The long-path form where the name needs it, as the file streams use.
  const std::wstring named = WidePath(path + ".kvarc-" + std::to_string(ProcessId())).c_str();
  if (named.size() >= sizeof pending_name / sizeof pending_name[0]) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  pending_named = 0;
  std::memcpy(pending_name, named.c_str(), (named.size() + 1) * sizeof(wchar_t));
  pending_named = 1;
  const HANDLE h = ::CreateFileW(named.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    pending_named = 0;
    SetErrno(::GetLastError());
    return nullptr;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(h);
    ::DeleteFileW(named.c_str());
    pending_named = 0;
    errno = EIO;
    return nullptr;
  }
  return std::make_unique<WindowsPendingFile>(fd, WidePath(path).c_str(), named, replace);
}

void InstallInterruptHandlers(const char* message) {
  interrupt_message = message;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool ProcessRuns(int pid) {
  const HANDLE h = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (h == nullptr) return ::GetLastError() == ERROR_ACCESS_DENIED;
  const bool runs = ::WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  ::CloseHandle(h);
  return runs;
}

int64_t Seek(int fd, int64_t offset, int whence) {
  return ::_lseeki64(fd, offset, whence);
}

bool IsStandardOutput(const std::string& path) {
  // Windows has no names for standard output that kvarc could be given.
  (void)path;
  return false;
}

bool StandardOutputIsTerminal() {
  return ::_isatty(_fileno(stdout)) != 0;
}

bool FollowLinks(const std::string& path, std::string& final_path) {
  final_path = path;
  return true;
}

bool Stat(const std::string& path, FileInfo& info) {
  struct _stat64 st;
  if (::_wstat64(Wide(path).c_str(), &st) != 0) return false;
  info = InfoOf(st);
  return true;
}

bool LinkStat(const std::string& path, FileInfo& info) {
  return Stat(path, info);
}

bool StatOpen(int fd, FileInfo& info) {
  struct _stat64 st;
  if (::_fstat64(fd, &st) != 0) return false;
  info = InfoOf(st);
  return true;
}

bool Identify(const std::string& path, FileIdentity& identity) {
  // The C runtime's stat has no file index (st_ino is 0): the handle's
  // information has. Backup semantics let a folder be opened as well.
  const HANDLE handle =
      ::CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetErrno(::GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
  if (!known) SetErrno(::GetLastError());
  ::CloseHandle(handle);
  if (!known) return false;
  identity.device = info.dwVolumeSerialNumber;
  identity.index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

int OpenForReading(const std::string& path) {
  return ::_wopen(Wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

int OpenForWriting(const std::string& path, bool truncate) {
  return ::_wopen(Wide(path).c_str(),
                  _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT | (truncate ? _O_TRUNC : 0),
                  _S_IREAD | _S_IWRITE);
}

int OpenTemporary(const std::string& folder) {
  // Removed by the system when the last descriptor closes.
  static int made = 0;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    const std::string path =
        folder + "\\kvarc-spool-" + std::to_string(ProcessId()) + "-" + std::to_string(made++);
    fd = ::_wopen(
        Wide(path).c_str(),
        _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY | _O_SHORT_LIVED | _O_NOINHERIT,
        _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno != EEXIST) break;
  }
  return fd;
}

bool Truncate(int fd) {
  return ::_chsize_s(fd, 0) == 0 && ::_lseeki64(fd, 0, SEEK_SET) == 0;
}

bool Rewind(int fd) {
  return ::_lseeki64(fd, 0, SEEK_SET) == 0;
}

bool SeekToEnd(int fd) {
  return ::_lseeki64(fd, 0, SEEK_END) >= 0;
}

bool MakeFolder(const std::string& path) {
  return ::_wmkdir(Wide(path).c_str()) == 0;
}

bool Remove(const std::string& path) {
  return ::_wremove(Wide(path).c_str()) == 0;
}

std::string TemporaryFolder() {
  for (const wchar_t* name : {L"TMP", L"TEMP"}) {
    const wchar_t* dir = ::_wgetenv(name);
    if (dir != nullptr && *dir != L'\0') return Utf8(dir);
  }
  return ".";
}

int ProcessId() {
  return ::_getpid();
}

bool ErrorOutputIsTerminal() {
  return ::_isatty(_fileno(stderr)) != 0;
}

void RawStandardOutput() {
  ::_setmode(_fileno(stdout), _O_BINARY);  // an entry written to standard output is bytes
}

std::string MakePrivateFolder(const std::string& file_name) {
  // A folder made by this user is not open to others under the temporary
  // folder's default permissions.
  static int made = 0;
  private_held = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = TemporaryFolder() + "\\kvarc-sign-" + std::to_string(ProcessId()) +
                             "-" + std::to_string(made++);
    const std::wstring folder = Wide(path);
    const std::wstring file = Wide(path + "\\" + file_name);
    if (file.size() >= std::size(private_file)) {
      errno = ENAMETOOLONG;
      break;
    }
    if (::_wmkdir(folder.c_str()) == 0) {
      std::memcpy(private_folder, folder.c_str(), (folder.size() + 1) * sizeof(wchar_t));
      std::memcpy(private_file, file.c_str(), (file.size() + 1) * sizeof(wchar_t));
      private_held = 1;
      return path;
    }
    if (errno != EEXIST) break;
  }
  return std::string();
}

bool RemoveTree(const std::string& path) {
  if (private_held && Wide(path) == private_folder) private_held = 0;
  std::error_code ec;
  std::filesystem::remove_all(Utf8Path(path), ec);
  return !ec;
}

std::string ShellQuoted(const std::string& text) {
  return "\"" + text + "\"";
}

CommandResult RunShellCommand(const std::string& command) {
  CommandResult result;
  ::fflush(nullptr);
  const int status = ::_wsystem(Wide("(" + command + ") 1>&2").c_str());
  if (status == -1) return result;
  result.started = true;
  result.exit_code = status;
  return result;
}

void EndInterrupted(int signal_number) {
  ::_exit(128 + signal_number);
}

const char* PathSeparators() {
  return "/\\:";
}

std::vector<std::string> Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(Utf8(wide[i]));
  ::LocalFree(wide);
  return args;
}

}  // namespace kv::tools::host

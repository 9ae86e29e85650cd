// The builder's host layer: the few file-system and process calls it makes,
// one implementation per system (host_posix.cpp, host_win32.cpp), so that
// the rest of tools/ is the same code everywhere.
//
// Paths are UTF-8 strings on every system. On Windows they are turned into
// the system's wide names at this boundary, so that a name with characters
// outside the ANSI code page works; the command line's arguments arrive as
// UTF-8 the same way (Arguments).
//
// Calls that can fail return false or -1 and leave the system's reason in
// errno, for the caller to put into its message.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// The printf family the builder formats with: on Windows MinGW's own, which
// knows %zu and %lld (the build defines __USE_MINGW_ANSI_STDIO).
#ifdef __MINGW32__
#define KV_PRINTF(format_index, first_arg) \
  __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define KV_PRINTF(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#endif

namespace kv::tools::host {

enum class FileKind { kFile, kFolder, kLink, kOther };

struct FileInfo {
  FileKind kind = FileKind::kOther;
  uint64_t size = 0;
};

// What `path` is, following symbolic links.
bool Stat(const std::string& path, FileInfo& info);
// The same without following a final symbolic link (kLink for one). Windows
// has no links that the builder looks at: there it is Stat.
bool LinkStat(const std::string& path, FileInfo& info);
// What the open descriptor `fd` is.
bool StatOpen(int fd, FileInfo& info);

// Which file or folder a path leads to, symbolic links followed: equal
// identities are one file, whatever the paths (a folder walk tells a link
// that leads back to a folder it is inside from one that does not).
struct FileIdentity {
  uint64_t device = 0;  // the file system (on Windows the volume's serial number)
  uint64_t index = 0;   // the file within it (the inode; on Windows the file index)
  bool operator==(const FileIdentity&) const = default;
};
bool Identify(const std::string& path, FileIdentity& identity);

// Opens for reading, in binary mode and not inherited by child processes;
// -1 on failure.
int OpenForReading(const std::string& path);
// Opens for writing, made when absent, emptied when `truncate`; -1 on failure.
int OpenForWriting(const std::string& path, bool truncate);
// An anonymous temporary file in `folder`, read and write, that is gone when
// closed; -1 on failure.
int OpenTemporary(const std::string& folder);
// A file being made for `path`, not yet visible there. Where the system
// has unnamed files (O_TMPFILE on Linux) it is one, in the folder of
// `path`, linked into place by Commit: no way of ending, not even SIGKILL,
// leaves anything behind. Elsewhere it is "PATH.kvarc-PID" beside `path`,
// removed when the process is interrupted (InstallInterruptHandlers) and
// renamed into place by Commit. Destroying an uncommitted file removes it.
class PendingFile {
 public:
  virtual ~PendingFile() = default;
  // Read, write and seek; owned by the pending file.
  virtual int Descriptor() const = 0;
  // Puts the file at its path and closes it: over an existing file when it
  // was made with `replace`, else only where no file is (a file made there
  // meanwhile is not overwritten: false with EEXIST). False with errno set
  // when it fails; the file is then still pending.
  virtual bool Commit() = 0;
};
// Null with errno set when the file cannot be made.
std::unique_ptr<PendingFile> MakePendingFile(const std::string& path, bool replace);

// On SIGINT, SIGTERM and SIGHUP (on Windows, Ctrl-C, Ctrl-Break and the
// console being closed): removes the pending file that has a name, writes
// `message` and a newline to standard error and ends the process as that
// signal ends it (the shell sees 130 for SIGINT).
void InstallInterruptHandlers(const char* message);

// Whether a process of that id runs (on this machine).
bool ProcessRuns(int pid);

// Moves the position of an open file; the new position, or -1.
int64_t Seek(int fd, int64_t offset, int whence);
// Whether `path` is the file that standard output is open on.
bool IsStandardOutput(const std::string& path);
bool StandardOutputIsTerminal();
// The final name a chain of symbolic links at `path` leads to, whether or
// not a file is there; `path` itself when it is no link. False with errno
// (ELOOP for a chain of more than 40) when a link cannot be read.
bool FollowLinks(const std::string& path, std::string& final_path);

// Empties an open file and puts its position at the start.
bool Truncate(int fd);
// Puts the position of an open file at its start or its end.
bool Rewind(int fd);
bool SeekToEnd(int fd);

bool MakeFolder(const std::string& path);
bool Remove(const std::string& path);

// A new folder in TemporaryFolder() that only this user may enter, for one
// file named `file_name`: its path, or empty with errno set. The caller
// removes it (RemoveTree); until then the interrupt handlers remove that
// file and the folder.
std::string MakePrivateFolder(const std::string& file_name);
// Removes `path` and everything in it; false when something stays.
bool RemoveTree(const std::string& path);

// `text` as one word for the system's shell: single-quoted for /bin/sh,
// double-quoted for cmd.exe (where no file name holds a double quote).
std::string ShellQuoted(const std::string& text);

// How a command run through the shell ended.
struct CommandResult {
  bool started = false;  // false: the shell could not be started (errno)
  int exit_code = -1;    // when it exited
  int signal = 0;        // when a signal ended it
  // An interrupt (SIGINT, SIGTERM, SIGHUP) that reached kvarc while the
  // command ran, held back until the caller has cleaned up; then the caller
  // calls EndInterrupted with it. 0 when none came.
  int interrupt = 0;
};
// Runs `command` through the system's shell (/bin/sh -c, or cmd.exe), its
// standard output sent to standard error: kvarc's standard output may be
// carrying data, and the command's words are messages.
CommandResult RunShellCommand(const std::string& command);
// Ends the process as the interrupt handlers do, for an interrupt that
// RunShellCommand held back.
[[noreturn]] void EndInterrupted(int signal);

// The folder for temporary files: TMPDIR (on Windows TMP or TEMP), else the
// system's.
std::string TemporaryFolder();
int ProcessId();
bool ErrorOutputIsTerminal();
// Standard output takes bytes as they are (on Windows, binary mode).
void RawStandardOutput();

// The separators a typed path may use between its parts.
const char* PathSeparators();

// A UTF-8 path as the standard library's path and back, the same on every
// system (the library's narrow strings are the ANSI code page on Windows).
inline std::filesystem::path Utf8Path(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}
inline std::string Utf8Text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
inline std::string GenericUtf8Text(const std::filesystem::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

// The program's arguments as UTF-8 (on Windows read from the wide command
// line, not the ANSI `argv`).
std::vector<std::string> Arguments(int argc, char** argv);

}  // namespace kv::tools::host

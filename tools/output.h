// Where everything the builder writes goes: one way for every command and
// every kind of output, so that each is handled, and tested, once.
//
// The policy. The result is made in full in a temporary file that can go
// back and be read, read back by the command's check, and only then put in
// place; before that nothing is visible at the output path, and a failure,
// a refusal or an interrupt leaves nothing there.
// - A new file, or an existing regular file (with `overwrite`): the
//   temporary file is made beside it and linked or renamed into place in
//   one step.
// - A symbolic link given as the output path is written through: the file
//   it leads to is made or replaced as above (the link stays). Inside an
//   extraction folder links are never followed: there (LinkPolicy::
//   kReplace) a link is replaced by the file.
// - "-" (standard output), a pipe, a terminal, a device: the temporary
//   file is made in the temporary folder and copied out once it is checked.
//   These need no `overwrite`, since they hold no file to lose. Standard
//   output that is a terminal is refused: archives are not for reading
//   there.
// - A folder is refused, and so is an existing file without `overwrite`,
//   before anything is written.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/stream.h"

namespace kv::tools {

enum class LinkPolicy {
  kWriteThrough,  // a link given as the output: the file it leads to
  kReplace,       // a link met inside an extraction folder: replaced, never followed
};

// What an output path turned out to be, decided before anything is written.
struct OutputTarget {
  enum class Kind { kFile, kStandardOutput, kDevice };
  Kind kind = Kind::kFile;
  std::string path;      // as given: what messages name
  std::string place;     // kFile: where the file goes (links followed); kDevice: what is opened
  bool replace = false;  // kFile: a file is there and is replaced
};

// Raises BuilderError "PATH: reason" for what cannot be written, as above.
OutputTarget ResolveOutput(const std::string& path, bool overwrite,
                           LinkPolicy links = LinkPolicy::kWriteThrough);

// One output being made: the host's, or a test's fake.
class OutputFile {
 public:
  virtual ~OutputFile() = default;  // what was not committed is abandoned: nothing is left
  // The file being made; it can be read and can go back.
  virtual TStream& Stream() = 0;
  // The reason the last read or write of Stream failed, for the message.
  virtual std::string Failure() const = 0;
  // Puts the file in place (or copies it out). Raises BuilderError.
  virtual void Commit() = 0;
};

using OutputFactory = std::function<std::unique_ptr<OutputFile>(const OutputTarget&)>;
// The system's outputs, as the policy above describes them.
std::unique_ptr<OutputFile> SystemOutputFile(const OutputTarget& target);

// Makes every output through `factory` while it lives (tests).
class ScopedOutputFactory {
 public:
  explicit ScopedOutputFactory(OutputFactory factory);
  ~ScopedOutputFactory();
  ScopedOutputFactory(const ScopedOutputFactory&) = delete;
  ScopedOutputFactory& operator=(const ScopedOutputFactory&) = delete;

 private:
  OutputFactory previous_;
};

// Writes the output at `path`: `fill` writes it from the start, `check`
// (when given) reads it back from the start and raises when it is not
// what it should be; only then is it committed. Every failure is a
// BuilderError, one whose subject is `path` where writing failed.
void WriteOutput(const std::string& path, bool overwrite, const std::function<void(TStream&)>& fill,
                 const std::function<void(TStream&)>& check = {},
                 LinkPolicy links = LinkPolicy::kWriteThrough);

}  // namespace kv::tools

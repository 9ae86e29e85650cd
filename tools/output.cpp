#include "tools/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/exceptions.h"
#include "tools/archive_writer.h"
#include "tools/host.h"
#include "tools/streams.h"

namespace kv::tools {
namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& reason) {
  throw BuilderError(path + ": " + reason);
}

OutputFactory& CurrentFactory() {
  static OutputFactory factory = SystemOutputFile;
  return factory;
}

// A file made beside its place and put there in one step.
class PlacedFile final : public OutputFile {
 public:
  explicit PlacedFile(const OutputTarget& target) : target_(target) {
    pending_ = host::MakePendingFile(target.place, target.replace);
    if (!pending_) Fail(target.path, std::strerror(errno));
    stream_ = std::make_unique<DescriptorStream>(pending_->Descriptor(), target.path);
  }
  TStream& Stream() override { return *stream_; }
  std::string Failure() const override { return stream_->Failure(); }
  void Commit() override {
    if (pending_->Commit()) return;
    if (errno == EEXIST) Fail(target_.path, "exists (made by someone else meanwhile)");
    Fail(target_.path, std::strerror(errno));
  }

 private:
  OutputTarget target_;
  std::unique_ptr<host::PendingFile> pending_;
  std::unique_ptr<DescriptorStream> stream_;
};

// A file made in the temporary folder, copied to standard output or a
// device once it is complete and checked.
class CopiedFile final : public OutputFile {
 public:
  explicit CopiedFile(const OutputTarget& target) : target_(target) {
    const std::string folder = host::TemporaryFolder();
    fd_ = host::OpenTemporary(folder);
    if (fd_ < 0) Fail("temporary file in " + folder, std::strerror(errno));
    stream_ = std::make_unique<DescriptorStream>(fd_, target.path);
  }
  ~CopiedFile() override { ::close(fd_); }
  CopiedFile(const CopiedFile&) = delete;
  CopiedFile& operator=(const CopiedFile&) = delete;

  TStream& Stream() override { return *stream_; }
  std::string Failure() const override { return stream_->Failure(); }
  void Commit() override {
    const bool standard = target_.kind == OutputTarget::Kind::kStandardOutput;
    const int out = standard ? STDOUT_FILENO : host::OpenForWriting(target_.place, false);
    if (out < 0) Fail(target_.path, std::strerror(errno));
    DescriptorStream to(out, target_.path);
    bool ok = true;
    try {
      stream_->SetPosition(0);
      to.CopyFrom(*stream_, stream_->Size());
    } catch (const Exception&) {
      ok = false;
    }
    if (!standard) ::close(out);
    if (!ok)
      Fail(target_.path, !to.Failure().empty() ? to.Failure()
                         : !Failure().empty()  ? Failure()
                                               : "cut short");
  }

 private:
  OutputTarget target_;
  int fd_ = -1;
  std::unique_ptr<DescriptorStream> stream_;
};

// Removes what earlier runs that ended without cleaning up (killed, or of
// a version that named its temporary file so) left beside `place`:
// "NAME.kvarc-PID" of a process that no longer runs.
void RemoveDebris(const std::string& place) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path p = host::Utf8Path(place);
  const std::string prefix = host::Utf8Text(p.filename()) + ".kvarc-";
  const fs::path folder = p.has_parent_path() ? p.parent_path() : fs::path(".");
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = host::Utf8Text(it->path().filename());
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    if (!host::ProcessRuns(std::stoi(digits))) host::Remove(host::Utf8Text(it->path()));
  }
}

}  // namespace

OutputTarget ResolveOutput(const std::string& path, bool overwrite, LinkPolicy links) {
  OutputTarget t;
  t.path = path;
  t.place = path;
  if (path.empty()) Fail("''", "no output file given");
  if (path == "-") {
    if (host::StandardOutputIsTerminal())
      Fail("standard output", "is a terminal (redirect it to a file or a pipe)");
    t.kind = OutputTarget::Kind::kStandardOutput;
    return t;
  }
  host::FileInfo info;
  if (!host::LinkStat(path, info)) return t;  // a new file
  if (info.kind == host::FileKind::kLink && links == LinkPolicy::kWriteThrough) {
    // Where it leads: a pipe or a device is opened through the link (the
    // names of /proc lead to what is open, which no path names); a file,
    // or no file yet, is made at the end of the chain.
    host::FileInfo target;
    if (host::Stat(path, target) && target.kind != host::FileKind::kFile) {
      info = target;
    } else {
      if (!host::FollowLinks(path, t.place)) Fail(path, std::strerror(errno));
      if (!host::LinkStat(t.place, info)) return t;
    }
  }
  switch (info.kind) {
    case host::FileKind::kFolder:
      Fail(path, "is a directory");
    case host::FileKind::kFile:
    case host::FileKind::kLink:  // replaced, never followed
      if (!overwrite) Fail(path, "exists (use -f to overwrite it)");
      t.replace = true;
      return t;
    case host::FileKind::kOther:
      t.kind = OutputTarget::Kind::kDevice;
      t.place = path;  // opened as given: /dev/stdout and its kin lead to the open file
      return t;
  }
  return t;
}

std::unique_ptr<OutputFile> SystemOutputFile(const OutputTarget& target) {
  if (target.kind == OutputTarget::Kind::kFile) return std::make_unique<PlacedFile>(target);
  return std::make_unique<CopiedFile>(target);
}

ScopedOutputFactory::ScopedOutputFactory(OutputFactory factory)
    : previous_(std::move(CurrentFactory())) {
  CurrentFactory() = std::move(factory);
}

ScopedOutputFactory::~ScopedOutputFactory() {
  CurrentFactory() = std::move(previous_);
}

void WriteOutput(const std::string& path, bool overwrite, const std::function<void(TStream&)>& fill,
                 const std::function<void(TStream&)>& check, LinkPolicy links) {
  const OutputTarget target = ResolveOutput(path, overwrite, links);
  // Only beside an output named by the user: not for every file that an
  // extraction makes, which would read a folder once per file.
  if (target.kind == OutputTarget::Kind::kFile && links == LinkPolicy::kWriteThrough)
    RemoveDebris(target.place);
  const std::unique_ptr<OutputFile> file = CurrentFactory()(target);
  TStream& stream = file->Stream();
  try {
    GatheredWrites gathered(stream);
    fill(gathered);
    gathered.Flush();
  } catch (const EWriteError&) {
    Fail(path, file->Failure().empty() ? "write failed" : file->Failure());
  }
  if (check) {
    try {
      stream.SetPosition(0);
      check(stream);
    } catch (const EReadError&) {
      Fail(path, "cannot be read back" +
                     (file->Failure().empty() ? std::string() : ": " + file->Failure()));
    }
  }
  file->Commit();
}

}  // namespace kv::tools

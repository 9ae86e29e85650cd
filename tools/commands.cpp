#include "tools/commands.h"
#include "tools/streams.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

#include "core/bytes.h"
#include "launcher/launcher.h"
#include "tools/archive_input.h"
#include "tools/archive_reader.h"
#include "tools/depfile.h"
#include "tools/entry_plan.h"
#include "tools/file_util.h"
#include "tools/host.h"
#include "tools/lha_import.h"
#include "tools/list_report.h"
#include "tools/methods.h"
#include "tools/output.h"
#include "tools/pe_image.h"
#include "tools/pe_resources.h"
#include "tools/sign.h"
#include "tools/verify.h"

namespace kv::tools {
namespace {

std::string Format(const char* format, ...) KV_PRINTF(1, 2);
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Hex8(uint32_t v) {
  return Format("%08x", v);
}

std::string MethodName(uint8_t method) {
  return method < kMethodCount ? std::string(MethodIDs[method]) : "#" + std::to_string(method);
}

std::string Mib(uint64_t bytes) {
  return Format("%.1f MiB", static_cast<double>(bytes) / (1 << 20));
}

// Runs `f`, putting `subject` in front of the message of a failure of the
// component or the streams: the archive it was reading, and the entry. A
// failed write is the written file's, and WriteOutput names it.
template <typename F>
auto About(const std::string& subject, F&& f) {
  try {
    return f();
  } catch (const EWriteError&) {
    throw;
  } catch (const Exception& e) {
    throw BuilderError(subject + ": " + e.Message());
  }
}

// Runs `f`, putting `subject` in front of a refusal that names no file.
template <typename F>
auto Checking(const std::string& subject, F&& f) {
  try {
    return f();
  } catch (const UsageError&) {
    throw;
  } catch (const BuilderError& e) {
    throw BuilderError(subject + ": " + e.what());
  }
}

// The status line of one piece of work, cleared when it ends.
class ProgressLine {
 public:
  explicit ProgressLine(Report& report) : report_(report), on_(report.ShowsProgress()) {}
  ~ProgressLine() { Clear(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void Show(const std::string& text) {
    if (!on_ || text == shown_) return;
    report_.Progress(text);
    shown_ = text;
  }
  void Clear() {
    if (shown_.empty()) return;
    report_.Progress("");
    shown_.clear();
  }
  // The component's progress event, with `label` before the percentage.
  TShowProgressEvent Event(const std::string& label) {
    label_ = label;
    if (!on_) return {};
    return TShowProgressEvent::Bind<&ProgressLine::OnPercent>(this);
  }

 private:
  void OnPercent(int32_t& percentage_done) {
    Show(label_ + " " + std::to_string(percentage_done) + "%");
  }

  Report& report_;
  bool on_;
  std::string shown_;
  std::string label_;
};

// --- packing ---------------------------------------------------------------

std::vector<PlannedEntry> Plan(const std::vector<std::string>& items, uint8_t method,
                               const std::string& archive, Report& report) {
  std::vector<PlannedEntry> plan =
      PlanEntries(items, method, [&](const std::string& line) { report.Warning(line); });
  FinishPlan(plan, archive);
  return plan;
}

// Writes the archive of `plan` at `out`'s position, with progress and, when
// details are wanted, a line per entry. Returns the bytes read.
uint64_t Pack(TStream& out, const std::vector<PlannedEntry>& plan, int level, Report& report) {
  uint64_t total = 0;
  for (const PlannedEntry& e : plan) total += e.size;
  ProgressLine progress(report);
  auto show = [&](uint64_t done) {
    if (total > 0)
      progress.Show("packing " + std::to_string(done * 100 / total) + "% (" + Mib(done) + " of " +
                    Mib(total) + ")");
  };
  WriteOptions options;
  options.level = level;
  options.reading = show;
  uint64_t read = 0;
  WriteArchive(
      out, plan,
      [&](const WrittenEntry& w, uint64_t done) {
        read = done;
        if (report.Details()) {
          progress.Clear();
          report.Line(Format("%-4s %12llu %12d  %s\n", MethodName(w.method).c_str(),
                             static_cast<unsigned long long>(w.entry.size), w.stored,
                             w.entry.name.c_str()));
        }
        show(done);
      },
      options);
  return read;
}

// Runs the read-back check of a written file, naming the file: a failure
// there means the result is not what it should be, and it is not kept.
template <typename F>
void ReadBack(const std::string& path, Report& report, F&& check) {
  ProgressLine progress(report);
  progress.Show("checking what was written");
  try {
    check();
  } catch (const BuilderError& e) {
    throw BuilderError(path + ": does not read back, so nothing was written: " + e.what());
  }
}

// Refuses, before a byte of any file is read, an output that its inputs
// alone (stored as they are, with `fixed` bytes before the archive and
// every header) take to 2 GiB or more.
void RefuseTooLarge(const std::string& path, const std::vector<PlannedEntry>& plan, uint64_t fixed,
                    const char* what) {
  uint64_t bound = fixed + ArchiveHeader::kSize;
  for (const PlannedEntry& e : plan) bound += EntryHeader::kSize + e.name.size() + e.size;
  if (bound > kMaxFieldValue)
    throw BuilderError(path + ": " + what +
                       " would be 2 GiB or more (its inputs and headers come to " +
                       std::to_string(bound) + " bytes; at most 2 GiB - 1)");
}

// The launcher `kvarc setup` stamps: --launcher FILE, or the one kvarc carries.
std::vector<uint8_t> SetupLauncher(const std::string& launcher_path,
                                   std::span<const uint8_t> embedded, LauncherMachine machines) {
  std::vector<uint8_t> image;
  if (!launcher_path.empty()) {
    image = ReadWholeFile(launcher_path);
  } else {
    if (embedded.empty())
      throw BuilderError(
          "this kvarc was built without a launcher; give one with --launcher FILE (the win32 "
          "build's launcher/Setup.exe)");
    image.assign(embedded.begin(), embedded.end());
  }
  Checking(launcher_path.empty() ? std::string("built-in launcher") : launcher_path,
           [&] { CheckLauncherImage(image, machines); });
  return image;
}

// The depfile of a packing command that writes `out`: every file it reads
// (the plan's, the list files among `items`, and `launcher` when given).
// Made before anything is written, so that a path the syntax cannot hold
// refuses the command rather than its depfile alone; WriteDepfile writes it
// once the output is in place. Empty when no depfile is wanted.
std::string PlannedDepfile(const std::string& depfile, const std::string& out,
                           const std::vector<std::string>& items,
                           const std::vector<PlannedEntry>& plan, const std::string& launcher,
                           const std::string& icon) {
  if (depfile.empty()) return {};
  if (out == "-") throw UsageError("--depfile needs an output file, not standard output");
  std::vector<std::string> read = ListFiles(items);
  if (!icon.empty()) read.insert(read.begin(), icon);
  if (!launcher.empty()) read.insert(read.begin(), launcher);
  for (const PlannedEntry& e : plan) read.push_back(e.path);
  return Checking(depfile, [&] { return DepfileText(out, read); });
}

// The edits of the launcher's resources that `p` asks for. Raises
// UsageError for a key or version the command line got wrong, BuilderError
// "ICON: ..." for an icon file that cannot be read or is not one.
ResourceEdits PackagerEdits(const PackagerOptions& p) {
  ResourceEdits edits;
  for (const std::string& pair : p.version_info) {
    const size_t eq = pair.find('=');
    const std::string key = pair.substr(0, eq);
    if (eq == std::string::npos || !IsVersionKey(key)) {
      std::string keys;
      for (std::string_view k : kVersionKeys) keys += (keys.empty() ? "" : ", ") + std::string(k);
      throw UsageError("--version-info " + pair + ": expected KEY=VALUE with KEY one of " + keys);
    }
    edits.strings.emplace_back(key, pair.substr(eq + 1));
  }
  const auto version = [](const char* option, const std::string& text) {
    std::optional<FourPartVersion> v;
    if (!text.empty() && !(v = ParseFourPartVersion(text)))
      throw UsageError(std::string(option) + " " + text +
                       ": expected A.B.C.D, each part a number from 0 to 65535");
    return v;
  };
  edits.file_version = version("--file-version", p.file_version);
  edits.product_version = version("--product-version", p.product_version);
  if (!p.sign.empty() && p.sign.find("{}") == std::string::npos)
    throw UsageError("--sign: the command must name the file to sign as {}");
  if (!p.icon.empty()) {
    host::FileInfo info;
    if (host::Stat(p.icon, info) && info.kind == host::FileKind::kFile &&
        info.size > kMaxIconFileSize)
      throw BuilderError(p.icon + ": not an icon file (" + std::to_string(info.size) +
                         " bytes, more than an icon file holds)");
    edits.icon = ReadWholeFile(p.icon);
    Checking(p.icon, [&] { CheckIconFile(edits.icon); });
  }
  return edits;
}

// `launcher` as the packager wants it (PackagerEdits), checked again as a
// launcher: the launcher itself when nothing is asked for.
std::vector<uint8_t> PackagersLauncher(std::vector<uint8_t> launcher, const ResourceEdits& edits,
                                       const std::string& name, LauncherMachine machines) {
  if (edits.Empty()) return launcher;
  return Checking(name, [&] {
    std::vector<uint8_t> edited = RewriteResources(launcher, edits);
    CheckLauncherImage(edited, machines);
    return edited;
  });
}

// Writes the Setup.exe `out`, whose stamped launcher image is `image`, as
// WriteOutput does with `fill`, and reads it back. With a signing command
// the file is made and read back in a private temporary folder first,
// signed there, checked (CheckSignedSetup), and only then copied to `out`:
// nothing is at `out` until all of that has succeeded.
// Returns the signed file's size; 0 when it was not signed.
int64_t WriteSetup(const std::string& out, bool force, const std::string& sign,
                   std::span<const uint8_t> image, const std::function<void(TStream&)>& fill,
                   Report& report) {
  const auto check = [&](TStream& written) {
    ReadBack(out, report, [&] { VerifySetup(written, image); });
  };
  if (sign.empty()) {
    WriteOutput(out, force, fill, check);
    return 0;
  }

  ResolveOutput(out, force);  // refused before any work
  std::string name = host::Utf8Text(host::Utf8Path(out).filename());
  if (out == "-" || name.empty()) name = "Setup.exe";
  struct PrivateFolder {
    std::string path;
    ~PrivateFolder() {
      if (!path.empty()) host::RemoveTree(path);
    }
  } folder{host::MakePrivateFolder(name)};
  if (folder.path.empty())
    throw BuilderError("temporary folder in " + host::TemporaryFolder() + ": " +
                       std::strerror(errno));
  const std::string staged = folder.path + host::PathSeparators()[0] + name;
  WriteOutput(staged, false, fill, check);
  const PayloadPrint before = Checking(out, [&] {
    ArchiveInput input(staged);
    return PrintPayload(input.File());
  });

  const host::CommandResult run = host::RunShellCommand(SignCommandFor(sign, staged));
  if (run.interrupt != 0) {
    host::RemoveTree(folder.path);
    host::EndInterrupted(run.interrupt);
  }
  const std::string nothing = "; nothing was written";
  if (!run.started)
    throw BuilderError(out + ": the --sign command could not be started: " + std::strerror(errno) +
                       nothing);
  if (run.signal != 0)
    throw BuilderError(out + ": the --sign command was ended by signal " +
                       std::to_string(run.signal) + nothing);
  if (run.exit_code != 0)
    throw BuilderError(out + ": the --sign command failed (exit code " +
                       std::to_string(run.exit_code) + ")" + nothing);

  ArchiveInput signed_file(staged);
  WriteOutput(
      out, force,
      [&](TStream& to) {
        signed_file.File().SetPosition(0);
        to.CopyFrom(signed_file.File(), signed_file.FileSize());
      },
      [&](TStream& written) {
        try {
          CheckSignedSetup(written, image, before);
        } catch (const BuilderError& e) {
          throw BuilderError(out + ": after --sign: " + e.what() + nothing);
        }
      });
  return signed_file.FileSize();
}

// Replaces `depfile` (a build's own file) with `text`.
void WriteDepfile(const std::string& depfile, const std::string& text) {
  if (depfile.empty()) return;
  WriteOutput(depfile, true,
              [&](TStream& to) { to.WriteBuffer(text.data(), static_cast<int32_t>(text.size())); });
}

// --- reading ---------------------------------------------------------------

ArchiveListing Listing(TKVDoziRivovaze& component, ArchiveInput& input, const std::string& path) {
  return About(path, [&] { return ListArchive(component, input.Archive()); });
}

// Raises BuilderError "PATH: truncated: ..." when the walk ends before the
// header's total size: a reader gets less than the archive announces.
void RaiseIfTruncated(const std::string& path, const ArchiveListing& listing) {
  if (const std::string cut = TruncationOf(listing); !cut.empty())
    throw BuilderError(path + ": " + cut);
}

// What the launcher's file holds after its payload, as a note for list and
// test; empty when nothing follows.
std::string AfterPayloadNote(ArchiveInput& input) {
  const int64_t after = input.FileSize() - input.PayloadEnd();
  if (!input.Stamped() || after <= 0) return std::string();
  return DescribeTrailingBytes(
      AnalyzeTrailingBytes(input.File(), static_cast<uint64_t>(input.PayloadEnd())));
}

// The exact form: one name (every entry of it, in archive order) to one file.
void ExtractOne(const std::string& path, const std::string& entry_name, const std::string& out_path,
                bool force, Report& report) {
  ArchiveInput input(path);
  const std::string name = TypedEntryName(entry_name);
  {
    // The entry must exist: an absent name would silently produce an empty file.
    TKVDoziRivovaze component(nullptr);
    const ArchiveListing listing = Listing(component, input, path);
    bool found = false;
    for (const ListedEntry& e : listing.entries)
      found = found || (e.visited && SameEntryName(e.name, name));
    if (!found) throw BuilderError(path + ": no entry named " + QuotedNames({entry_name}));
  }
  // The component walks the archive through this program's own view of the
  // file (a plain archive, or the payload of a stamped launcher): the file
  // is not opened a second time while it is held.
  ProgressLine progress(report);
  About(path + ": entry '" + entry_name + "'", [&] {
    WriteOutput(out_path, force, [&](TStream& out) {
      TKVDoziRivovaze component(nullptr);
      component.SetOnShowProgress(progress.Event(entry_name));
      input.Archive().SetPosition(0);
      component.WalkArchive(input.Archive(), out, name);
    });
  });
}

// A name as a path below the output folder: '\' parts become folders.
std::string RelativePathOf(const std::string& name) {
  std::string relative = CheckedEntryName(name);
  std::replace(relative.begin(), relative.end(), '\\', '/');
  return relative;
}

// Every entry (or the named ones) into `dir`, each name's entries joined in
// archive order as the component joins them.
void ExtractTree(const std::string& path, const std::string& dir,
                 const std::vector<std::string>& names, bool force, Report& report) {
  ArchiveInput input(path);
  TKVDoziRivovaze component(nullptr);
  const ArchiveListing listing = Listing(component, input, path);

  // The entries a reader reaches, and which of them the typed names select.
  std::vector<const ListedEntry*> reached;
  std::vector<std::string> reached_names;
  for (const ListedEntry& e : listing.entries) {
    if (!e.visited) continue;
    reached.push_back(&e);
    reached_names.push_back(e.name);
  }
  const EntrySelection selection = SelectEntries(reached_names, names, true);
  if (!selection.missing.empty())
    throw BuilderError(path + ": no entry named " + QuotedNames(selection.missing));
  struct Output {
    std::string name;
    std::string relative;
    std::vector<const ListedEntry*> entries;
  };
  std::vector<Output> outputs;
  std::map<std::string, size_t> index;
  for (size_t i = 0; i < reached.size(); ++i) {
    if (!selection.selected[i]) continue;
    const ListedEntry& e = *reached[i];
    const auto [it, fresh] = index.emplace(FoldedName(e.name), outputs.size());
    if (fresh)
      outputs.push_back(Output{e.name, Checking(path, [&] { return RelativePathOf(e.name); }), {}});
    outputs[it->second].entries.push_back(&e);
  }

  // Refuse before writing anything, so that a refusal leaves DIR as it was.
  if (!force) {
    for (const Output& out : outputs) {
      const std::string target = dir + "/" + out.relative;
      host::FileInfo info;
      if (host::LinkStat(target, info))
        throw BuilderError(target + ": exists (use -f to overwrite it)");
    }
  }
  if (!host::MakeFolder(dir) && errno != EEXIST)
    throw BuilderError(dir + ": " + std::strerror(errno));
  TStream& archive = input.Archive();
  ProgressLine progress(report);
  for (const Output& out : outputs) {
    MakeFoldersBelow(dir, out.relative);
    const std::string target = dir + "/" + out.relative;
    component.SetOnShowProgress(progress.Event(out.name));
    About(path + ": entry '" + out.name + "'", [&] {
      WriteOutput(
          target, force,
          [&](TStream& file) {
            for (const ListedEntry* e : out.entries) {
              archive.SetPosition(e->data_offset);
              component.ExpandEntry(file, archive, e->header.Sourcesize, e->header.Destsize,
                                    e->header.Checksum, e->header.Method, listing.compress_id);
            }
          },
          {}, LinkPolicy::kReplace);
    });
    if (report.Details()) {
      progress.Clear();
      report.Line(target + "\n");
    }
  }
  progress.Clear();
  report.Line(path + ": " + Plural(outputs.size(), "file", "files") + " extracted into " + dir +
              "\n");
  RaiseIfTruncated(path, listing);
}

}  // namespace

uint8_t MethodOption(const std::string& name) {
  const int m = MethodFromName(name);
  if (m < 0) throw UsageError("unknown method '" + name + "' (" + WritableMethodNames() + ")");
  return static_cast<uint8_t>(m);
}

int LevelOption(const std::string& text) {
  if (text.size() != 1 || text[0] < '0' + kMinLevel || text[0] > '0' + kMaxLevel)
    throw UsageError("bad level '" + text + "' (1 fastest to 9 smallest)");
  return text[0] - '0';
}

void Create(const CreateOptions& o, Report& report) {
  const std::vector<PlannedEntry> plan = Plan(o.items, o.method, o.archive, report);
  const std::string depfile = PlannedDepfile(o.depfile, o.archive, o.items, plan, "", "");
  RefuseTooLarge(o.archive, plan, 0, "the archive");
  int64_t size = 0;
  uint64_t read = 0;
  WriteOutput(
      o.archive, o.force,
      [&](TStream& out) {
        CappedStream capped(out, o.archive + ": the archive would be 2 GiB or more");
        read = Pack(capped, plan, o.level, report);
        size = capped.Position();
      },
      [&](TStream& written) { ReadBack(o.archive, report, [&] { VerifyArchive(written); }); });
  WriteDepfile(o.depfile, depfile);
  report.Line(Format("%s: %s, %lld bytes from %llu\n", o.archive.c_str(),
                     Plural(plan.size(), "entry", "entries").c_str(), static_cast<long long>(size),
                     static_cast<unsigned long long>(read)));
}

void Setup(const SetupOptions& o, std::span<const uint8_t> embedded, Report& report) {
  if (o.out.empty()) throw UsageError("setup needs -o OUT.exe");
  const ResourceEdits edits = PackagerEdits(o.packager);
  const std::vector<uint8_t> launcher = PackagersLauncher(
      SetupLauncher(o.launcher, embedded, o.machines), edits,
      o.launcher.empty() ? std::string("built-in launcher") : o.launcher, o.machines);

  // The installer is one program, packed under the name the launcher starts.
  host::FileInfo installer;
  if (host::Stat(o.installer, installer) && installer.kind == host::FileKind::kFolder)
    throw BuilderError(o.installer + ": is a folder (the installer is one program)");
  if (host::Stat(o.installer, installer) && installer.kind == host::FileKind::kFile &&
      installer.size == 0)
    throw BuilderError(o.installer + ": empty file (the launcher would start nothing)");
  if (const std::string note = CheckInstallerImage(o.installer); !note.empty())
    report.Warning(note);
  std::vector<std::string> items = {std::string(kInstallerEntryName) + "=" + o.installer};
  items.insert(items.end(), o.data.begin(), o.data.end());
  const std::vector<PlannedEntry> plan = Plan(items, o.method, o.out, report);
  const std::string depfile =
      PlannedDepfile(o.depfile, o.out, items, plan, o.launcher, o.packager.icon);

  // A launcher that cannot be stamped is refused before anything is written.
  const std::vector<uint8_t> image = Checking(o.out, [&] { return StampedImage(launcher); });
  RefuseTooLarge(o.out, plan, image.size() + 4, "the Setup.exe");
  int64_t size = 0;
  const std::string too_large = o.out + ": the Setup.exe would be 2 GiB or more";
  const int64_t signed_size = WriteSetup(
      o.out, o.force, o.packager.sign, image,
      [&](TStream& out) {
        CappedStream capped(out, too_large);
        WriteLauncherWithArchive(
            capped, launcher, [&](TStream& to) { Pack(to, plan, o.level, report); }, too_large);
        size = capped.Position();
      },
      report);
  WriteDepfile(o.depfile, depfile);
  report.Line(Format("%s: %lld bytes, a launcher of %zu bytes carrying %s%s\n", o.out.c_str(),
                     static_cast<long long>(signed_size != 0 ? signed_size : size), launcher.size(),
                     Plural(plan.size(), "entry", "entries").c_str(),
                     signed_size != 0 ? ", signed" : ""));
}

void Stamp(const StampOptions& o, Report& report) {
  const ResourceEdits edits = PackagerEdits(o.packager);
  std::vector<uint8_t> launcher = ReadWholeFile(o.launcher);
  Checking(o.launcher, [&] { CheckLauncherImage(launcher, o.machines); });
  launcher = PackagersLauncher(std::move(launcher), edits, o.launcher, o.machines);
  // The archive is checked whole before anything is written: every entry
  // verified as the launcher's reader would expand it, and its installer.
  ArchiveInput input(o.archive);
  if (input.Stamped())
    throw BuilderError(o.archive +
                       ": is a Setup.exe, not an archive (give its archive, or use it "
                       "as it is)");
  Checking(o.archive, [&] { VerifySetupArchive(input.Archive()); });
  const std::vector<uint8_t> image = Checking(o.out, [&] { return StampedImage(launcher); });
  const uint64_t archive_size = static_cast<uint64_t>(input.Archive().Size());
  if (image.size() + 4 + archive_size > kMaxFieldValue)
    throw BuilderError(o.out + ": the Setup.exe would be 2 GiB or more");
  int64_t size = 0;
  const int64_t signed_size = WriteSetup(
      o.out, o.force, o.packager.sign, image,
      [&](TStream& out) {
        WriteLauncherWithArchive(
            out, launcher,
            [&](TStream& to) {
              input.Archive().SetPosition(0);
              to.CopyFrom(input.Archive(), static_cast<int64_t>(archive_size));
            },
            o.out + ": the Setup.exe would be 2 GiB or more");
        size = out.Position();
      },
      report);
  report.Line(Format("%s: %lld bytes, payload at offset %zu%s\n", o.out.c_str(),
                     static_cast<long long>(signed_size != 0 ? signed_size : size), image.size(),
                     signed_size != 0 ? ", signed" : ""));
}

void Import(const ImportOptions& o, Report& report) {
  int skipped = 0;
  const std::vector<ImportedEntry> entries = ImportLhaArchive(
      o.lzh, o.out, o.force, &skipped,
      [&](TStream& written) { ReadBack(o.out, report, [&] { VerifyArchive(written); }); });
  if (report.Details()) {
    for (const ImportedEntry& e : entries)
      report.Line(Format("%-4s %12d %12d  %s\n", MethodName(e.method).c_str(), e.stored, e.destsize,
                         e.name.c_str()));
  }
  report.Line(o.out + ": " + Plural(entries.size(), "entry", "entries") +
              " imported, CRC-16 verified" +
              (skipped > 0 ? ", " + Plural(static_cast<uint64_t>(skipped), "folder", "folders") +
                                 " skipped (archives hold files only)"
                           : std::string()) +
              "\n");
}

void List(const std::string& path, Report& report, ListFormat format) {
  ArchiveInput input(path);
  TKVDoziRivovaze component(nullptr);
  const ArchiveListing listing = Listing(component, input, path);
  std::optional<LauncherFacts> launcher;
  if (input.Stamped())
    launcher = About(path, [&] { return ReadLauncherFacts(input, component, listing); });
  if (format == ListFormat::kJson) {
    report.Line(ListingJson(launcher, listing));
    RaiseIfTruncated(path, listing);
    return;
  }
  if (launcher) {
    report.Line(
        Format("launcher %s: archive at offset %d\n", path.c_str(), input.PayloadOffset() + 4));
    for (const std::string& line : LauncherFactLines(*launcher))
      report.Line("launcher " + path + ": " + line + "\n");
  }
  report.Line(Format("archive %s: method %s, total size %d\n", path.c_str(),
                     listing.compress_id.c_str(), listing.header.TotalSize));
  report.Line(Format("%-6s %12s %12s %-8s  %s\n", "method", "stored", "size", "checksum", "name"));
  // The component checks the byte sum of every entry it expands but a
  // stored one: those are the entries a damaged byte gets through in.
  uint64_t unverified = 0;
  for (const ListedEntry& e : listing.entries) {
    const bool stored = e.visited && e.header.Method == kMethodStored;
    if (stored) ++unverified;
    report.Line(Format("%-6s %12d %12d %s  %s%s\n", MethodName(e.header.Method).c_str(),
                       e.header.Sourcesize, e.header.Destsize, Hex8(e.header.Checksum).c_str(),
                       e.name.c_str(),
                       !e.visited ? "  (after TotalSize: never extracted)"
                       : stored   ? "  (stored: not verified by the launcher)"
                                  : ""));
  }
  if (unverified > 0)
    report.Line(Plural(unverified, "entry stored as NON is", "entries stored as NON are") +
                " not verified by the launcher (every other method is)\n");
  RaiseIfTruncated(path, listing);
}

void Test(const std::string& path, Report& report) {
  ArchiveInput input(path);
  TKVDoziRivovaze component(nullptr);
  int entries = 0;
  ArchiveCheck check;
  ProgressLine progress(report);
  component.SetOnShowProgress(progress.Event("testing"));
  About(path, [&] {
    check = CheckArchive(
        component, input.Archive(), [&](const ListedEntry& e, const std::string& failure) {
          progress.Clear();
          ++entries;
          report.Line(Format("%-6s %s: %s\n", MethodName(e.header.Method).c_str(), e.name.c_str(),
                             failure.empty() ? "ok" : ("FAILED: " + failure).c_str()));
        });
  });
  progress.Clear();
  std::string launcher_failure;
  if (input.Stamped()) {
    try {
      CheckInstallerEntry(check.listing);
    } catch (const BuilderError& e) {
      launcher_failure = e.what();
    }
    const std::string after = AfterPayloadNote(input);
    if (!after.empty()) report.Line(path + ": " + after + "\n");
  }
  if (check.failures > 0)
    throw BuilderError(path + ": " + std::to_string(check.failures) + " of " +
                       Plural(static_cast<uint64_t>(entries), "entry", "entries") + " failed");
  RaiseIfTruncated(path, check.listing);
  if (!launcher_failure.empty()) throw BuilderError(path + ": " + launcher_failure);
  report.Line(path + ": " +
              (entries == 1 ? std::string("1 entry")
                            : "all " + Plural(static_cast<uint64_t>(entries), "entry", "entries")) +
              " ok" + (input.Stamped() ? ", and the launcher finds its installer" : "") + "\n");
}

void Extract(const ExtractOptions& o, Report& report) {
  if (!o.folder.empty()) return ExtractTree(o.archive, o.folder, o.args, o.force, report);
  if (o.args.size() != 2)
    throw UsageError("extract needs ENTRYNAME OUTFILE, or -o DIR (see kvarc --help)");
  ExtractOne(o.archive, o.args[0], o.args[1], o.force, report);
}

}  // namespace kv::tools

// kvarc: the builder. Packs files and folders into archives, makes a
// Setup.exe in one step with the launcher it carries, lists, tests and
// extracts archives and stamped launchers, and imports LHA archives.
//
// Conventions: a result line on standard output per command (none with -q),
// progress on standard error while it is a terminal, failures as one line
// "kvarc: SUBJECT: reason" on standard error. Exit codes: 0 done, 1 a file
// or its data failed, 2 the command line was wrong. No existing file is
// overwritten without -f, and files are written through a temporary file
// that is renamed into place only when complete.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "archive/rorodovazezudovo.h"
#include "core/bytes.h"
#include "launcher/launcher.h"
#include "tools/archive_input.h"
#include "tools/archive_reader.h"
#include "tools/archive_writer.h"
#include "tools/entry_plan.h"
#include "tools/file_util.h"
#include "tools/host_file.h"
#include "tools/lha_import.h"
#include "tools/stamp.h"

#ifndef KV_VERSION
#define KV_VERSION "unknown"
#endif

namespace kv::tools {

// The launcher image this kvarc carries (empty when it was built without).
std::span<const uint8_t> EmbeddedLauncher();

namespace {

enum ExitCode { kOk = 0, kDataError = 1, kUsageError = 2 };

// A wrong command line, reported with exit code 2.
class UsageError : public BuilderError {
 public:
  using BuilderError::BuilderError;
};

struct Options {
  bool quiet = false;
  bool verbose = false;
  bool force = false;
  int level = kDefaultLevel;  // the compressors' level for create and setup
};

// What is printed: result lines unless quiet, details only when verbose.
#ifdef __MINGW32__
#define KV_PRINTF_FORMAT gnu_printf  // MinGW's own printf, with %zu and %lld
#else
#define KV_PRINTF_FORMAT printf
#endif
void Say(const Options& o, const char* format, ...) __attribute__((format(KV_PRINTF_FORMAT, 2, 3)));
void Say(const Options& o, const char* format, ...) {
  if (o.quiet) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Hex8(uint32_t v) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", v);
  return text;
}

std::string MethodName(uint8_t method) {
  return method < kMethodCount ? std::string(MethodIDs[method]) : "#" + std::to_string(method);
}

// Runs `f`, putting `subject` in front of the message of a failure of the
// component or the streams: the archive it was reading. A failed write is
// the written file's, and WritingTo names it.
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

// Runs `f`, naming `path` with the system's reason when a write fails.
template <typename F>
auto WritingTo(const std::string& path, F&& f) {
  try {
    return f();
  } catch (const EWriteError&) {
    throw BuilderError(path + ": " + std::strerror(errno));
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

// One line on standard error while it is a terminal, rewritten as work
// goes on and cleared before the result line.
class TerminalProgress {
 public:
  explicit TerminalProgress(const Options& o) : on_(!o.quiet && ::isatty(STDERR_FILENO)) {}
  ~TerminalProgress() { Clear(); }
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;

  void Show(const std::string& text) {
    if (!on_ || text == shown_) return;
    std::fprintf(stderr, "\r%-*s", static_cast<int>(shown_.size()), text.c_str());
    std::fflush(stderr);
    shown_ = text;
  }
  void Clear() {
    if (shown_.empty()) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_.size()), "");
    std::fflush(stderr);
    shown_.clear();
  }
  // The component's progress event, with `label` before the percentage.
  TShowProgressEvent Event(const std::string& label) {
    label_ = label;
    if (!on_) return {};
    return TShowProgressEvent::Bind<&TerminalProgress::OnPercent>(this);
  }

 private:
  void OnPercent(int32_t& percentage_done) {
    Show(label_ + " " + std::to_string(percentage_done) + "%");
  }

  bool on_;
  std::string shown_;
  std::string label_;
};

std::string Mib(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  return text;
}

uint8_t MethodOption(const std::string& name) {
  const int m = MethodFromName(name);
  if (m < 0) throw UsageError("unknown method '" + name + "' (NON, RLE, LZH or LH5)");
  return static_cast<uint8_t>(m);
}

// The level of --level TEXT (also -1 .. -9, which Main turns into --level).
int LevelOption(const std::string& text) {
  if (text.size() != 1 || text[0] < '0' + kMinLevel || text[0] > '0' + kMaxLevel)
    throw UsageError("bad level '" + text + "' (1 fastest to 9 smallest)");
  return text[0] - '0';
}

// The arguments with every -N (N digits) before a "--" spelled --level=N,
// so that gzip's -1 .. -9 take their place among the options in order and
// the last level given wins.
std::vector<std::string> WithLevelsSpelledOut(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  for (size_t i = 1; i < args.size() && args[i] != "--"; ++i) {
    const std::string& a = args[i];
    if (a.size() >= 2 && a[0] == '-' &&
        std::all_of(a.begin() + 1, a.end(), [](char c) { return c >= '0' && c <= '9'; }))
      args[i] = "--level=" + a.substr(1);
  }
  return args;
}

// --- packing ---------------------------------------------------------------

std::vector<PlannedEntry> Plan(const std::vector<std::string>& items, uint8_t method,
                               const std::string& archive) {
  std::vector<PlannedEntry> plan = PlanEntries(items, method, [](const std::string& line) {
    std::fprintf(stderr, "kvarc: warning: %s\n", line.c_str());
  });
  FinishPlan(plan, archive);
  return plan;
}

// Writes the archive of `plan` at `out`'s position, with progress and, when
// verbose, a line per entry. Returns the bytes read.
uint64_t Pack(TStream& out, const std::vector<PlannedEntry>& plan, const Options& o) {
  uint64_t total = 0;
  for (const PlannedEntry& e : plan) total += e.size;
  TerminalProgress progress(o);
  auto show = [&](uint64_t done) {
    if (total > 0)
      progress.Show("packing " + std::to_string(done * 100 / total) + "% (" + Mib(done) + " of " +
                    Mib(total) + ")");
  };
  WriteOptions options;
  options.level = o.level;
  options.reading = show;
  uint64_t read = 0;
  WriteArchive(
      out, plan,
      [&](const WrittenEntry& w, uint64_t done) {
        read = done;
        if (o.verbose) {
          progress.Clear();
          Say(o, "%-4s %12llu %12d  %s\n", MethodName(w.method).c_str(),
              static_cast<unsigned long long>(w.planned.size), w.stored, w.planned.name.c_str());
        }
        show(done);
      },
      options);
  return read;
}

int Create(const std::string& archive_path, const std::vector<std::string>& items,
           const std::string& method_name, const Options& o) {
  const uint8_t method = MethodOption(method_name);
  const std::vector<PlannedEntry> plan = Plan(items, method, archive_path);
  int64_t size = 0;
  uint64_t read = 0;
  WritingTo(archive_path, [&] {
    WriteFileSafely(archive_path, o.force, [&](TStream& out) {
      read = Pack(out, plan, o);
      size = out.Position();
    });
  });
  Say(o, "%s: %s, %lld bytes from %llu\n", archive_path.c_str(),
      Plural(plan.size(), "entry", "entries").c_str(), static_cast<long long>(size),
      static_cast<unsigned long long>(read));
  return kOk;
}

// The launcher `kvarc setup` stamps: --launcher FILE, or the one kvarc carries.
std::vector<uint8_t> SetupLauncher(const std::string& launcher_path, LauncherMachine machines) {
  std::vector<uint8_t> image;
  if (!launcher_path.empty()) {
    image = ReadWholeFile(launcher_path);
  } else {
    const std::span<const uint8_t> embedded = EmbeddedLauncher();
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

int Setup(const std::string& out_path, const std::string& launcher_path,
          const std::string& installer, const std::vector<std::string>& data,
          const std::string& method_name, LauncherMachine machines, const Options& o) {
  const uint8_t method = MethodOption(method_name);
  if (out_path.empty()) throw UsageError("setup needs -o OUT.exe");
  const std::vector<uint8_t> launcher = SetupLauncher(launcher_path, machines);

  // The installer is one program, packed under the name the launcher starts.
  struct stat st;
  if (::stat(installer.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    throw BuilderError(installer + ": is a folder (the installer is one program)");
  if (::stat(installer.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
    throw BuilderError(installer + ": empty file (the launcher would start nothing)");
  std::vector<std::string> items = {std::string(kInstallerEntryName) + "=" + installer};
  items.insert(items.end(), data.begin(), data.end());
  const std::vector<PlannedEntry> plan = Plan(items, method, out_path);

  const std::vector<uint8_t> image = Checking(out_path, [&] { return StampedImage(launcher); });
  int64_t size = 0;
  WritingTo(out_path, [&] {
    WriteFileSafely(out_path, o.force, [&](TStream& out) {
      out.WriteBuffer(image.data(), static_cast<int32_t>(image.size()));
      const uint8_t no_length[4] = {};
      out.WriteBuffer(no_length, 4);
      Pack(out, plan, o);
      size = out.Position();
      const int64_t archive = size - static_cast<int64_t>(image.size()) - 4;
      if (size > std::numeric_limits<int32_t>::max())
        throw BuilderError(out_path + ": the Setup.exe would be 2 GiB or more");
      uint8_t length[4];
      StoreLE32(length, static_cast<uint32_t>(archive));
      out.SetPosition(static_cast<int64_t>(image.size()));
      out.WriteBuffer(length, 4);
      out.SetPosition(size);
    });
  });
  Say(o, "%s: %lld bytes, a launcher of %zu bytes carrying %s\n", out_path.c_str(),
      static_cast<long long>(size), launcher.size(),
      Plural(plan.size(), "entry", "entries").c_str());
  return kOk;
}

int Stamp(const std::string& launcher_path, const std::string& archive_path,
          const std::string& out_path, LauncherMachine machines, const Options& o) {
  const std::vector<uint8_t> launcher = ReadWholeFile(launcher_path);
  const std::vector<uint8_t> archive = ReadWholeFile(archive_path);
  Checking(launcher_path, [&] { CheckLauncherImage(launcher, machines); });
  Checking(archive_path, [&] { CheckSetupArchive(archive); });
  const std::vector<uint8_t> stamped =
      Checking(out_path, [&] { return StampLauncher(launcher, archive, machines); });
  WritingTo(out_path, [&] { WriteFileSafely(out_path, o.force, stamped); });
  Say(o, "%s: %zu bytes, payload at offset %zu\n", out_path.c_str(), stamped.size(),
      stamped.size() - archive.size() - 4);
  return kOk;
}

int Import(const std::string& lzh_path, const std::string& out_path, const Options& o) {
  int skipped = 0;
  const std::vector<ImportedEntry> entries =
      WritingTo(out_path, [&] { return ImportLhaArchive(lzh_path, out_path, o.force, &skipped); });
  if (o.verbose) {
    for (const ImportedEntry& e : entries)
      Say(o, "%-4s %12d %12d  %s\n", MethodName(e.method).c_str(), e.stored, e.destsize,
          e.name.c_str());
  }
  Say(o, "%s: %s imported, CRC-16 verified%s\n", out_path.c_str(),
      Plural(entries.size(), "entry", "entries").c_str(),
      skipped > 0 ? (", " + Plural(static_cast<uint64_t>(skipped), "folder", "folders") +
                     " skipped (archives hold files only)")
                        .c_str()
                  : "");
  return kOk;
}

// --- reading ---------------------------------------------------------------

ArchiveListing Listing(TKVDoziRivovaze& component, ArchiveInput& input, const std::string& path) {
  return About(path, [&] { return ListArchive(component, input.Archive()); });
}

int List(const std::string& path, const Options& o) {
  ArchiveInput input(path);
  TKVDoziRivovaze component(nullptr);
  const ArchiveListing listing = Listing(component, input, path);
  if (input.Stamped())
    Say(o, "launcher %s: archive at offset %d\n", path.c_str(), input.PayloadOffset() + 4);
  Say(o, "archive %s: method %s, total size %d\n", path.c_str(), listing.compress_id.c_str(),
      listing.header.TotalSize);
  Say(o, "%-6s %12s %12s %-8s  %s\n", "method", "stored", "size", "checksum", "name");
  for (const ListedEntry& e : listing.entries) {
    Say(o, "%-6s %12d %12d %s  %s%s\n", MethodName(e.header.Method).c_str(), e.header.Sourcesize,
        e.header.Destsize, Hex8(e.header.Checksum).c_str(), e.name.c_str(),
        e.visited ? "" : "  (after TotalSize: never extracted)");
  }
  return kOk;
}

int Test(const std::string& path, const Options& o) {
  ArchiveInput input(path);
  TKVDoziRivovaze component(nullptr);
  const ArchiveListing listing = Listing(component, input, path);
  TStream& archive = input.Archive();
  int failures = 0;
  int64_t reached = 0;
  for (const ListedEntry& e : listing.entries) {
    if (e.visited) reached += e.header.Destsize;
    TerminalProgress progress(o);
    component.SetOnShowProgress(progress.Event(e.name));
    SummingSink sink;
    archive.SetPosition(e.data_offset);
    std::string verdict = "ok";
    try {
      component.ExpandEntry(sink, archive, e.header.Sourcesize, e.header.Destsize,
                            e.header.Checksum, e.header.Method, listing.compress_id);
      if (e.header.Method == kMethodStored && sink.Sum() != e.header.Checksum)
        verdict = "ok (stored; its checksum does not match, which readers ignore)";
      else if (sink.Size() != e.header.Destsize && e.header.Method != kMethodStored)
        verdict = "ok (expands to " + std::to_string(sink.Size()) + " bytes, not " +
                  std::to_string(e.header.Destsize) + ")";
    } catch (const Exception& x) {
      verdict = "FAILED: " + x.Message();
      ++failures;
    }
    progress.Clear();
    Say(o, "%-6s %s: %s\n", MethodName(e.header.Method).c_str(), e.name.c_str(), verdict.c_str());
  }
  if (failures > 0)
    throw BuilderError(path + ": " + std::to_string(failures) + " of " +
                       Plural(listing.entries.size(), "entry", "entries") + " failed");
  if (reached < listing.header.TotalSize)
    throw BuilderError(path + ": truncated: its entries end after " + std::to_string(reached) +
                       " of the " + std::to_string(listing.header.TotalSize) +
                       " bytes its header announces");
  Say(o, "%s: %s ok\n", path.c_str(),
      listing.entries.size() == 1
          ? "1 entry"
          : ("all " + Plural(listing.entries.size(), "entry", "entries")).c_str());
  return kOk;
}

// The exact form: one name (every entry of it, in archive order) to one file.
int ExtractOne(const std::string& path, const std::string& entry_name, const std::string& out_path,
               const Options& o) {
  ArchiveInput input(path);
  {
    // The entry must exist: an absent name would silently produce an empty file.
    TKVDoziRivovaze component(nullptr);
    const ArchiveListing listing = Listing(component, input, path);
    bool found = false;
    for (const ListedEntry& e : listing.entries)
      found = found || (e.visited && SameEntryName(e.name, entry_name));
    if (!found) throw BuilderError(path + ": no entry named '" + entry_name + "'");
  }
  TerminalProgress progress(o);
  const TShowProgressEvent event = progress.Event(entry_name);
  auto extract = [&](TStream& out) {
    if (input.Stamped()) {
      TKVDoziRivovaze component(nullptr);
      component.SetOnShowProgress(event);
      input.Archive().SetPosition(0);
      component.WalkArchive(input.Archive(), out, entry_name);
    } else {
      ExtractFromArchive(path, out, entry_name, event);
    }
  };
  if (out_path == "-") {
    DescriptorStream out(STDOUT_FILENO, "standard output");
    try {
      GatheredWrites gathered(out);
      About(path, [&] {
        extract(gathered);
        gathered.Flush();
      });
    } catch (const EWriteError&) {
      throw BuilderError("standard output: " + out.Failure());
    }
    return kOk;
  }
  About(path, [&] { WritingTo(out_path, [&] { WriteFileSafely(out_path, o.force, extract); }); });
  return kOk;
}

// A name as a path below the output folder: '\' parts become folders.
std::string RelativePathOf(const std::string& name) {
  std::string relative = CheckedEntryName(name);
  std::replace(relative.begin(), relative.end(), '\\', '/');
  return relative;
}

std::string Folded(const std::string& name) {
  std::string s = name;
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// Every entry (or the named ones) into `dir`, each name's entries joined in
// archive order as the component joins them.
int ExtractTree(const std::string& path, const std::string& dir,
                const std::vector<std::string>& names, const Options& o) {
  ArchiveInput input(path);
  TKVDoziRivovaze component(nullptr);
  const ArchiveListing listing = Listing(component, input, path);

  std::map<std::string, std::string> wanted;  // folded name -> as typed; emptied when found
  for (const std::string& n : names) wanted[Folded(n)] = n;
  struct Output {
    std::string name;
    std::string relative;
    std::vector<const ListedEntry*> entries;
  };
  std::vector<Output> outputs;
  std::map<std::string, size_t> index;
  for (const ListedEntry& e : listing.entries) {
    if (!e.visited) continue;
    const std::string key = Folded(e.name);
    if (!wanted.empty()) {
      const auto w = wanted.find(key);
      if (w == wanted.end()) continue;
      w->second.clear();
    }
    const auto [it, fresh] = index.emplace(key, outputs.size());
    if (fresh)
      outputs.push_back(Output{e.name, Checking(path, [&] { return RelativePathOf(e.name); }), {}});
    outputs[it->second].entries.push_back(&e);
  }
  for (const auto& [key, missing] : wanted)
    if (!missing.empty()) throw BuilderError(path + ": no entry named '" + missing + "'");

  // Refuse before writing anything, so that a refusal leaves DIR as it was.
  if (!o.force) {
    for (const Output& out : outputs) {
      struct stat st;
      const std::string target = dir + "/" + out.relative;
      if (host::LinkStat(target.c_str(), &st) == 0)
        throw BuilderError(target + ": exists (use -f to overwrite it)");
    }
  }
  if (host::MakeFolder(dir.c_str()) != 0 && errno != EEXIST)
    throw BuilderError(dir + ": " + std::strerror(errno));
  TStream& archive = input.Archive();
  TerminalProgress progress(o);
  for (const Output& out : outputs) {
    MakeFoldersBelow(dir, out.relative);
    const std::string target = dir + "/" + out.relative;
    component.SetOnShowProgress(progress.Event(out.name));
    About(path, [&] {
      WritingTo(target, [&] {
        WriteFileSafely(
            target, o.force,
            [&](TStream& file) {
              for (const ListedEntry* e : out.entries) {
                archive.SetPosition(e->data_offset);
                component.ExpandEntry(file, archive, e->header.Sourcesize, e->header.Destsize,
                                      e->header.Checksum, e->header.Method, listing.compress_id);
              }
            },
            LinkPolicy::kReplace);
      });
    });
    if (o.verbose) {
      progress.Clear();
      Say(o, "%s\n", target.c_str());
    }
  }
  progress.Clear();
  Say(o, "%s: %s extracted into %s\n", path.c_str(),
      Plural(outputs.size(), "file", "files").c_str(), dir.c_str());
  return kOk;
}

constexpr const char* kCommands[] = {"create",  "setup", "list",  "test",
                                     "extract", "stamp", "import"};

int Main(int argc, char** argv) {
  CLI::App app{"kvarc " KV_VERSION ": builds archives and self-extracting Setup.exe launchers"};
  app.set_version_flag("--version", "kvarc " KV_VERSION);
  app.require_subcommand(1);
  app.fallthrough();
  Options o;
  app.add_flag("-q,--quiet", o.quiet, "Print nothing but errors");
  app.add_flag("-v,--verbose", o.verbose, "Print a line for every entry");

  std::string archive, method = "LH5", entry, out, launcher, installer, out_dir;
  std::string level = std::to_string(kDefaultLevel);
  const std::string level_help = "Compression level: 1 fastest to " + std::to_string(kMaxLevel) +
                                 " smallest, also given as -1 .. -9";
  std::vector<std::string> items, args;
  bool any_machine = false;
  // The options of the two commands that pack.
  auto add_packing_options = [&](CLI::App* command) {
    command->add_option("-m,--method", method, "Default method: NON, RLE, LZH or LH5")
        ->capture_default_str();
    command->add_option("--level", level, level_help)
        ->type_name("N")
        ->capture_default_str()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  };

  auto* create = app.add_subcommand("create", "Pack files and folders into a new archive");
  create->add_option("ARCHIVE", archive, "Archive to write")->required();
  create
      ->add_option("ENTRY", items,
                   "[METHOD:]NAME=PATH, PATH (a file, or a folder walked recursively), @LIST "
                   "(items one per line; @- reads standard input)")
      ->required();
  add_packing_options(create);
  create->add_flag("-f,--force", o.force, "Overwrite an existing archive");

  auto* setup = app.add_subcommand(
      "setup", "Make a Setup.exe that starts INSTALLER, carrying DATA files and folders");
  setup->add_option("-o,--output", out, "The Setup.exe to write")->required();
  setup->add_option("INSTALLER", installer, "The installer program")->required();
  setup->add_option("DATA", items, "Further items, as for create");
  setup->add_option("--launcher", launcher, "Use this unstamped launcher, not the built-in one");
  add_packing_options(setup);
  setup->add_flag("--allow-x64", any_machine,
                  "Also accept an x86-64 launcher (for test hosts without 32-bit Windows)");
  setup->add_flag("-f,--force", o.force, "Overwrite an existing Setup.exe");

  auto* list = app.add_subcommand("list", "List the entries of an archive or a Setup.exe");
  list->add_option("ARCHIVE", archive)->required();

  auto* test = app.add_subcommand(
      "test", "Expand every entry of an archive or a Setup.exe and verify its checksum");
  test->add_option("ARCHIVE", archive)->required();

  auto* extract = app.add_subcommand(
      "extract",
      "Extract entries: -o DIR [NAME...] for every (or every named) entry, or ENTRYNAME OUTFILE "
      "for one name to one file (OUTFILE - is standard output)");
  extract->add_option("ARCHIVE", archive, "Archive or Setup.exe")->required();
  extract->add_option("ARGS", args, "ENTRYNAME OUTFILE, or with -o the names to extract");
  extract->add_option("-o,--output", out_dir, "Extract into this folder");
  extract->add_flag("-f,--force", o.force, "Overwrite existing files");

  auto* stamp = app.add_subcommand("stamp", "Make a Setup.exe from a launcher and an archive");
  stamp->add_option("LAUNCHER", launcher, "An unstamped Setup.exe")->required();
  stamp->add_option("ARCHIVE", archive)->required();
  stamp->add_option("OUTPUT", out, "The launcher to write")->required();
  stamp->add_flag("--allow-x64", any_machine,
                  "Also accept an x86-64 launcher (for test hosts without 32-bit Windows)");
  stamp->add_flag("-f,--force", o.force, "Overwrite an existing OUTPUT");

  auto* import = app.add_subcommand(
      "import", "Convert an LHA archive (-lh0-, -lh1-, -lh5- members) without recompressing");
  import->add_option("LZH", archive, "The LHA archive to read")->required();
  import->add_option("OUT", out, "The archive to write")->required();
  import->add_flag("-f,--force", o.force, "Overwrite an existing OUT");

  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const char* c : kCommands) known = known || std::strcmp(argv[1], c) == 0;
    if (!known)
      throw UsageError(std::string("unknown command '") + argv[1] + "' (see kvarc --help)");
  }
  try {
    std::vector<std::string> spelled = WithLevelsSpelledOut(argc, argv);
    std::reverse(spelled.begin(), spelled.end());
    spelled.pop_back();  // the program's name
    app.parse(spelled);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::string what = e.what();
    if (!what.empty() && what.back() == '\n') what.pop_back();
    throw UsageError(what + " (see kvarc --help)");
  }
  const LauncherMachine machines =
      any_machine ? LauncherMachine::kI386OrX64 : LauncherMachine::kI386;
  o.level = LevelOption(level);
  if (*create) return Create(archive, items, method, o);
  if (*setup) return Setup(out, launcher, installer, items, method, machines, o);
  if (*list) return List(archive, o);
  if (*test) return Test(archive, o);
  if (*extract) {
    if (!out_dir.empty()) return ExtractTree(archive, out_dir, args, o);
    if (args.size() != 2)
      throw UsageError("extract needs ENTRYNAME OUTFILE, or -o DIR (see kvarc --help)");
    return ExtractOne(archive, args[0], args[1], o);
  }
  if (*stamp) return Stamp(launcher, archive, out, machines, o);
  if (*import) return Import(archive, out, o);
  return kUsageError;
}

}  // namespace
}  // namespace kv::tools

int main(int argc, char** argv) {
  using namespace kv::tools;
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);  // an entry written to standard output is bytes
#endif
  int code = kDataError;
  try {
    code = Main(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "kvarc: %s\n", e.what());
    return kUsageError;
  } catch (const BuilderError& e) {
    std::fprintf(stderr, "kvarc: %s\n", e.what());
  } catch (const kv::Exception& e) {
    std::fprintf(stderr, "kvarc: %s\n", e.Message().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvarc: %s\n", e.what());
  }
  // What reached standard output must have been written.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "kvarc: standard output: %s\n", std::strerror(errno));
    return kDataError;
  }
  return code;
}

// kvarc: the builder's command line. Packs files and folders into archives,
// makes a Setup.exe in one step with the launcher it carries, lists, tests
// and extracts archives and stamped launchers, and imports LHA archives.
// The work is done by the command library (commands.h); this file only
// parses the command line and prints.
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
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/exceptions.h"
#include "tools/commands.h"
#include "tools/host.h"
#include "tools/methods.h"

#ifndef KV_VERSION
#define KV_VERSION "unknown"
#endif

namespace kv::tools {

// The launcher image this kvarc carries (empty when it was built without).
std::span<const uint8_t> EmbeddedLauncher();

namespace {

enum ExitCode { kOk = 0, kDataError = 1, kUsageError = 2 };

// Prints a command's words: lines on standard output unless quiet (or
// standard output carries the command's data: then on standard error),
// details only when verbose, warnings and the progress line on standard
// error; quiet leaves only errors.
class Printer final : public Report {
 public:
  Printer(bool quiet, bool verbose, bool data_on_standard_output)
      : quiet_(quiet),
        verbose_(verbose),
        progress_(!quiet && host::ErrorOutputIsTerminal()),
        lines_(data_on_standard_output ? stderr : stdout) {}
  ~Printer() override { Progress(""); }
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  void Line(const std::string& text) override {
    if (quiet_) return;
    Progress("");
    std::fputs(text.c_str(), lines_);
  }
  void Warning(const std::string& text) override {
    if (quiet_) return;
    Progress("");
    std::fprintf(stderr, "kvarc: warning: %s\n", text.c_str());
  }
  bool Details() const override { return verbose_; }
  bool ShowsProgress() const override { return progress_; }
  // The line is written over the last one, padded to its width.
  void Progress(const std::string& text) override {
    if (text.empty() && shown_ == 0) return;
    if (text.empty())
      std::fprintf(stderr, "\r%*s\r", shown_, "");
    else
      std::fprintf(stderr, "\r%-*s", shown_, text.c_str());
    std::fflush(stderr);
    shown_ = static_cast<int>(text.size());
  }

 private:
  bool quiet_;
  bool verbose_;
  bool progress_;
  std::FILE* lines_;
  int shown_ = 0;
};

constexpr const char* kCommands[] = {"create",  "setup", "list",  "test",
                                     "extract", "stamp", "import"};

// The arguments with every -N (N digits) after the command and before a
// "--" spelled --level=N, so that gzip's -1 .. -9 take their place among
// the command's options in order and the last level given wins. Before the
// command a -N stays as typed, for the error to name it.
std::vector<std::string> WithLevelsSpelledOut(std::vector<std::string> args) {
  size_t i = 1;
  while (i < args.size() && std::none_of(std::begin(kCommands), std::end(kCommands),
                                         [&](const char* name) { return args[i] == name; }))
    ++i;
  for (++i; i < args.size() && args[i] != "--"; ++i) {
    const std::string& a = args[i];
    if (a.size() >= 2 && a[0] == '-' &&
        std::all_of(a.begin() + 1, a.end(), [](char c) { return c >= '0' && c <= '9'; }))
      args[i] = "--level=" + a.substr(1);
  }
  return args;
}

constexpr const char* kAllowX64Help =
    "Also accept an x86-64 launcher (for test hosts without 32-bit Windows)";

constexpr const char* kDepfileHelp =
    "After success, also write FILE: the output and every file read, as a Makefile rule (for "
    "make and Ninja)";

// The packager's options of the two commands that make a Setup.exe.
void AddPackagerOptions(CLI::App* command, PackagerOptions& p) {
  command
      ->add_option("--icon", p.icon,
                   "Give the Setup.exe the icon of this .ico file (all its images)")
      ->type_name("FILE.ico");
  command
      ->add_option("--version-info", p.version_info,
                   "Set a string of the version record (repeatable); KEY is one of CompanyName, "
                   "FileDescription, FileVersion, InternalName, LegalCopyright, OriginalFilename, "
                   "ProductName, ProductVersion, Comments")
      ->type_name("KEY=VALUE")
      ->allow_extra_args(false);
  command
      ->add_option(
          "--file-version", p.file_version,
          "Set the version record's file version (and its FileVersion string unless given)")
      ->type_name("A.B.C.D");
  command
      ->add_option("--product-version", p.product_version,
                   "Set the product version (and its ProductVersion string unless given)")
      ->type_name("A.B.C.D");
  command
      ->add_option("--sign", p.sign,
                   "Sign the finished Setup.exe with this shell command, which names the file as "
                   "{}; then check that the signature covers the payload")
      ->type_name("COMMAND");
}

// The options of the two commands that pack, as typed; PackingOptions reads
// them once the command line is parsed.
struct PackingText {
  std::string method = "LH5";
  std::string level = std::to_string(kDefaultLevel);

  void AddTo(CLI::App* command) {
    command->add_option("-m,--method", method, "Default method: " + WritableMethodNames())
        ->capture_default_str();
    command
        ->add_option("--level", level,
                     "Compression level: 1 fastest to " + std::to_string(kMaxLevel) +
                         " smallest, also given as -1 .. -9")
        ->type_name("N")
        ->capture_default_str()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }
  void Into(PackOptions& o) const {
    o.level = LevelOption(level);
    o.method = MethodOption(method);
  }
};

// Each command's record, filled by CLI11.
struct CommandLine {
  bool quiet = false;
  bool verbose = false;
  PackingText packing;
  bool any_machine = false;
  CreateOptions create;
  SetupOptions setup;
  std::string list_archive;
  bool list_json = false;
  std::string test_archive;
  ExtractOptions extract;
  StampOptions stamp;
  ImportOptions import;
};

int Main(const std::vector<std::string>& arguments) {
  CLI::App app{"kvarc " KV_VERSION ": builds archives and self-extracting Setup.exe launchers",
               "kvarc"};
  app.set_version_flag("--version", "kvarc " KV_VERSION);
  app.require_subcommand(1);
  app.fallthrough();
  CommandLine c;
  app.add_flag("-q,--quiet", c.quiet, "Print nothing but errors (no result lines, no warnings)");
  app.add_flag("-v,--verbose", c.verbose, "Print a line for every entry");

  auto* create = app.add_subcommand("create", "Pack files and folders into a new archive");
  create->add_option("ARCHIVE", c.create.archive, "Archive to write (- for standard output)")
      ->required();
  create
      ->add_option("ENTRY", c.create.items,
                   "[METHOD:]NAME=PATH, PATH (a file, named by its path as typed, or a folder "
                   "walked recursively, named after itself), @LIST (items one per line; @- reads "
                   "standard input)")
      ->required();
  c.packing.AddTo(create);
  create->add_flag("-f,--force", c.create.force, "Overwrite an existing archive");
  create->add_option("--depfile", c.create.depfile, kDepfileHelp)->type_name("FILE");

  auto* setup = app.add_subcommand(
      "setup", "Make a Setup.exe that starts INSTALLER, carrying DATA files and folders");
  setup->add_option("-o,--output", c.setup.out, "The Setup.exe to write (- for standard output)")
      ->required();
  setup->add_option("INSTALLER", c.setup.installer, "The installer program")->required();
  setup->add_option("DATA", c.setup.data, "Further items, as for create");
  setup->add_option("--launcher", c.setup.launcher,
                    "Use this unstamped launcher, not the built-in one");
  c.packing.AddTo(setup);
  setup->add_flag("--allow-x64", c.any_machine, kAllowX64Help);
  setup->add_flag("-f,--force", c.setup.force, "Overwrite an existing Setup.exe");
  setup->add_option("--depfile", c.setup.depfile, kDepfileHelp)->type_name("FILE");
  AddPackagerOptions(setup, c.setup.packager);

  auto* list = app.add_subcommand("list", "List the entries of an archive or a Setup.exe");
  list->add_option("ARCHIVE", c.list_archive)->required();
  list->add_flag("--json", c.list_json,
                 "Print the launcher's facts and the entries as one JSON document");

  auto* test = app.add_subcommand(
      "test", "Expand every entry of an archive or a Setup.exe and verify its checksum");
  test->add_option("ARCHIVE", c.test_archive)->required();

  auto* extract = app.add_subcommand(
      "extract",
      "Extract entries: -o DIR [NAME...] for every (or every named) entry, or ENTRYNAME OUTFILE "
      "for one name to one file (OUTFILE - is standard output)");
  extract->add_option("ARCHIVE", c.extract.archive, "Archive or Setup.exe")->required();
  extract->add_option("ARGS", c.extract.args, "ENTRYNAME OUTFILE, or with -o the names to extract");
  extract->add_option("-o,--output", c.extract.folder, "Extract into this folder");
  extract->add_flag("-f,--force", c.extract.force, "Overwrite existing files");

  auto* stamp = app.add_subcommand("stamp", "Make a Setup.exe from a launcher and an archive");
  stamp->add_option("LAUNCHER", c.stamp.launcher, "An unstamped Setup.exe")->required();
  stamp->add_option("ARCHIVE", c.stamp.archive)->required();
  stamp->add_option("OUTPUT", c.stamp.out, "The Setup.exe to write (- for standard output)")
      ->required();
  stamp->add_flag("--allow-x64", c.any_machine, kAllowX64Help);
  stamp->add_flag("-f,--force", c.stamp.force, "Overwrite an existing OUTPUT");
  AddPackagerOptions(stamp, c.stamp.packager);

  auto* import = app.add_subcommand(
      "import", "Convert an LHA archive (-lh0-, -lh1-, -lh5- members) without recompressing");
  import->add_option("LZH", c.import.lzh, "The LHA archive to read")->required();
  import->add_option("OUT", c.import.out, "The archive to write (- for standard output)")
      ->required();
  import->add_flag("-f,--force", c.import.force, "Overwrite an existing OUT");

  if (arguments.size() > 1 && arguments[1][0] != '-' &&
      std::none_of(std::begin(kCommands), std::end(kCommands),
                   [&](const char* name) { return arguments[1] == name; }))
    throw UsageError("unknown command '" + arguments[1] + "' (see kvarc --help)");
  try {
    std::vector<std::string> spelled = WithLevelsSpelledOut(arguments);
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
      c.any_machine ? LauncherMachine::kI386OrX64 : LauncherMachine::kI386;
  // Where the command's data goes (a depfile too): its result lines must
  // not go there too.
  std::string data_path;
  std::string depfile;
  if (*create) {
    data_path = c.create.archive;
    depfile = c.create.depfile;
  }
  if (*setup) {
    data_path = c.setup.out;
    depfile = c.setup.depfile;
  }
  if (*stamp) data_path = c.stamp.out;
  if (*import) data_path = c.import.out;
  if (*extract && c.extract.folder.empty() && c.extract.args.size() == 2)
    data_path = c.extract.args[1];
  auto on_standard_output = [](const std::string& path) {
    return !path.empty() && (path == "-" || host::IsStandardOutput(path));
  };
  const bool data_on_standard_output = on_standard_output(data_path) || on_standard_output(depfile);
  Printer printer(c.quiet, c.verbose, data_on_standard_output);
  if (*create) {
    c.packing.Into(c.create);
    Create(c.create, printer);
  } else if (*setup) {
    c.packing.Into(c.setup);
    c.setup.machines = machines;
    Setup(c.setup, EmbeddedLauncher(), printer);
  } else if (*list) {
    List(c.list_archive, printer, c.list_json ? ListFormat::kJson : ListFormat::kText);
  } else if (*test) {
    Test(c.test_archive, printer);
  } else if (*extract) {
    Extract(c.extract, printer);
  } else if (*stamp) {
    c.stamp.machines = machines;
    Stamp(c.stamp, printer);
  } else if (*import) {
    Import(c.import, printer);
  }
  return kOk;
}

}  // namespace
}  // namespace kv::tools

int main(int argc, char** argv) {
  using namespace kv::tools;
  host::RawStandardOutput();
  // An interrupted command leaves nothing: what it was writing is an
  // unnamed file, or a named one that the handler removes.
  host::InstallInterruptHandlers("kvarc: interrupted");
  int code = kDataError;
  try {
    code = Main(host::Arguments(argc, argv));
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

// The builder's commands as a library: one function per command, each
// taking a plain options record and a Report to speak through, and either
// returning normally or raising. kvarc's command line only fills the
// records and prints what the Report is given; tests call the same
// functions.
//
// Failures: UsageError for what the command line got wrong (kvarc exits
// with 2), BuilderError "SUBJECT: reason" for a file or its data (exit 1).
// No existing file is overwritten unless `force` is set, and every file is
// written as output.h describes: complete and checked, or not at all.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "archive/records.h"
#include "tools/archive_writer.h"
#include "tools/compressors.h"
#include "tools/stamp.h"

namespace kv::tools {

// A wrong command line, reported with exit code 2.
class UsageError : public BuilderError {
 public:
  using BuilderError::BuilderError;
};

// Where a command's words go. Result lines and, when details are wanted,
// a line per entry go to Line; Warning takes what is worth saying but is
// no failure; Progress shows a status line that the next line replaces
// (an empty text clears it), and is only called when ShowsProgress().
class Report {
 public:
  virtual ~Report() = default;
  virtual void Line(const std::string& text) = 0;
  virtual void Warning(const std::string& text) = 0;
  virtual bool Details() const = 0;
  virtual bool ShowsProgress() const = 0;
  virtual void Progress(const std::string& text) = 0;
};

// The method number of a method's name (NON, RLE, LZH or LH5, any case);
// UsageError for any other.
uint8_t MethodOption(const std::string& name);
// The level of "N" (kMinLevel to kMaxLevel); UsageError for any other.
int LevelOption(const std::string& text);

struct PackOptions {
  uint8_t method = kMethodLh5;  // for items without a METHOD: prefix
  int level = kDefaultLevel;
  bool force = false;
};

struct CreateOptions : PackOptions {
  std::string archive;
  std::vector<std::string> items;  // as described in entry_plan.h
  std::string depfile;             // when set: written after success, as depfile.h describes
};
void Create(const CreateOptions& o, Report& report);

// What the packager makes of the launcher in a Setup.exe: its icon and
// version record (the launcher's resources are rewritten before it is
// stamped, pe_resources.h), and its signature. Empty fields leave the
// launcher as it is, byte for byte.
struct PackagerOptions {
  std::string icon;                       // an .ico file: its images become the icon
  std::vector<std::string> version_info;  // KEY=VALUE, a string of the version record
  std::string file_version;               // A.B.C.D, the record's numeric file version
  std::string product_version;            // A.B.C.D, its numeric product version
  // A shell command that signs the file it names as {}: run over the
  // finished and checked Setup.exe before it is put in place, and checked
  // (sign.h) after.
  std::string sign;
};

struct SetupOptions : PackOptions {
  std::string out;
  std::string launcher;  // empty: the launcher this builder carries
  std::string installer;
  std::vector<std::string> data;
  LauncherMachine machines = LauncherMachine::kI386;
  std::string depfile;  // when set: written after success, as depfile.h describes
  PackagerOptions packager;
};
// `embedded` is the launcher image the builder carries (empty when none).
void Setup(const SetupOptions& o, std::span<const uint8_t> embedded, Report& report);

struct StampOptions {
  std::string launcher;
  std::string archive;
  std::string out;
  LauncherMachine machines = LauncherMachine::kI386;
  bool force = false;
  PackagerOptions packager;
};
void Stamp(const StampOptions& o, Report& report);

struct ImportOptions {
  std::string lzh;
  std::string out;
  bool force = false;
};
void Import(const ImportOptions& o, Report& report);

// kText: lines for people (a Setup.exe's launcher facts first, then the
// entries); kJson: one JSON document (ListingJson). Either is written in
// full before a truncated archive raises BuilderError.
enum class ListFormat { kText, kJson };
void List(const std::string& archive, Report& report, ListFormat format = ListFormat::kText);
// Raises BuilderError when an entry fails or the entries end early.
void Test(const std::string& archive, Report& report);

struct ExtractOptions {
  std::string archive;
  // With a folder: every entry, or the entries the given names select
  // (a name selects its entries and every entry below it, SelectEntries),
  // below it. Without: `args` are ENTRYNAME OUTFILE, that name's entries
  // joined into one file ("-" is standard output). A '/' typed in a name
  // stands for '\'; a name that selects nothing is refused, all of them
  // in one message, before anything is written.
  std::string folder;
  std::vector<std::string> args;
  bool force = false;
};
void Extract(const ExtractOptions& o, Report& report);

}  // namespace kv::tools

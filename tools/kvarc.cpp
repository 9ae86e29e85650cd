// kvarc: the builder. Packs files into archives, lists, tests and extracts
// them, and stamps a launcher with its payload.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "archive/rorodovazezudovo.h"
#include "tools/archive_reader.h"
#include "tools/archive_writer.h"
#include "tools/file_util.h"
#include "tools/lha_import.h"
#include "tools/stamp.h"

namespace kv::tools {
namespace {

// Percentages on a terminal while a long expansion runs.
class TerminalProgress {
 public:
  explicit TerminalProgress(std::string label) : label_(std::move(label)) {}
  ~TerminalProgress() {
    if (shown_) std::fprintf(stderr, "\r%*s\r", static_cast<int>(label_.size()) + 8, "");
  }
  void OnProgress(int32_t& percentage_done) {
    if (percentage_done == last_) return;
    last_ = percentage_done;
    shown_ = true;
    std::fprintf(stderr, "\r%s %3d%%", label_.c_str(), percentage_done);
    std::fflush(stderr);
  }
  TShowProgressEvent Event() {
    if (!::isatty(STDERR_FILENO)) return {};
    return TShowProgressEvent::Bind<&TerminalProgress::OnProgress>(this);
  }

 private:
  std::string label_;
  int32_t last_ = -1;
  bool shown_ = false;
};

// "[METHOD:]NAME=FILE" or "FILE" (the entry is then named after the file).
ArchiveEntrySpec ParseEntrySpec(const std::string& text, int default_method) {
  ArchiveEntrySpec item;
  std::string rest = text;
  item.method = static_cast<uint8_t>(default_method);
  const size_t colon = rest.find(':');
  if (colon != std::string::npos) {
    const int m = MethodFromName(rest.substr(0, colon));
    if (m >= 0) {
      item.method = static_cast<uint8_t>(m);
      rest = rest.substr(colon + 1);
    }
  }
  std::string file = rest;
  const size_t eq = rest.find('=');
  if (eq != std::string::npos) {
    item.name = rest.substr(0, eq);
    file = rest.substr(eq + 1);
  } else {
    const size_t slash = file.find_last_of('/');
    item.name = slash == std::string::npos ? file : file.substr(slash + 1);
  }
  if (file.empty()) throw BuilderError("no file given in '" + text + "'");
  item.data = ReadWholeFile(file);
  return item;
}

std::string Hex8(uint32_t v) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", v);
  return text;
}

std::string MethodName(uint8_t method) {
  return method < kMethodCount ? std::string(MethodIDs[method]) : "#" + std::to_string(method);
}

int Create(const std::string& archive_path, const std::vector<std::string>& items,
           const std::string& method_name, bool force) {
  const int method = MethodFromName(method_name);
  if (method < 0) throw BuilderError("unknown method '" + method_name + "' (NON, RLE, LZH, LH5)");
  std::vector<ArchiveEntrySpec> entries;
  for (const std::string& s : items) entries.push_back(ParseEntrySpec(s, method));
  const std::vector<uint8_t> archive = BuildArchive(entries);
  WriteFileSafely(archive_path, force, archive);
  std::printf("%s: %zu entries, %zu bytes\n", archive_path.c_str(), entries.size(), archive.size());
  return 0;
}

int List(const std::string& archive_path) {
  TKVDoziRivovaze component(nullptr);
  TFileStream archive(archive_path, FileMode::kOpenReadShared);
  const ArchiveListing listing = ListArchive(component, archive);
  std::printf("archive %s: method %s, total size %d\n", archive_path.c_str(),
              listing.compress_id.c_str(), listing.header.TotalSize);
  std::printf("%-6s %12s %12s %-8s  %s\n", "method", "stored", "size", "checksum", "name");
  for (const ListedEntry& e : listing.entries) {
    std::printf("%-6s %12d %12d %s  %s%s\n", MethodName(e.header.Method).c_str(),
                e.header.Sourcesize, e.header.Destsize, Hex8(e.header.Checksum).c_str(),
                e.name.c_str(), e.visited ? "" : "  (after TotalSize: never extracted)");
  }
  return 0;
}

int Test(const std::string& archive_path) {
  TKVDoziRivovaze component(nullptr);
  TFileStream archive(archive_path, FileMode::kOpenReadShared);
  const ArchiveListing listing = ListArchive(component, archive);
  int failures = 0;
  for (const ListedEntry& e : listing.entries) {
    TerminalProgress progress(e.name);
    component.SetOnShowProgress(progress.Event());
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
      verdict = std::string("FAILED: ") + x.ClassName() + ": " + x.Message();
      ++failures;
    }
    std::printf("%-6s %s: %s\n", MethodName(e.header.Method).c_str(), e.name.c_str(),
                verdict.c_str());
  }
  if (failures > 0)
    throw BuilderError(std::to_string(failures) + " of " + std::to_string(listing.entries.size()) +
                       " entries failed");
  std::printf("%s: all %zu entries ok\n", archive_path.c_str(), listing.entries.size());
  return 0;
}

int Extract(const std::string& archive_path, const std::string& entry_name,
            const std::string& out_path, bool force) {
  // The entry must exist: an absent name would silently produce an empty file.
  {
    TKVDoziRivovaze component(nullptr);
    TFileStream archive(archive_path, FileMode::kOpenReadShared);
    const ArchiveListing listing = ListArchive(component, archive);
    bool found = false;
    for (const ListedEntry& e : listing.entries)
      found = found || (e.visited && SameEntryName(e.name, entry_name));
    if (!found) throw BuilderError("no entry named '" + entry_name + "' in " + archive_path);
  }
  TerminalProgress progress(entry_name);
  WriteFileSafely(out_path, force, [&](TStream& out) {
    ExtractFromArchive(archive_path, out, entry_name, progress.Event());
  });
  return 0;
}

int Stamp(const std::string& launcher_path, const std::string& archive_path,
          const std::string& out_path, bool force) {
  const std::vector<uint8_t> launcher = ReadWholeFile(launcher_path);
  const std::vector<uint8_t> archive = ReadWholeFile(archive_path);
  const std::vector<uint8_t> stamped = StampLauncher(launcher, archive);
  WriteFileSafely(out_path, force, stamped);
  std::printf("%s: %zu bytes, payload at offset %zu\n", out_path.c_str(), stamped.size(),
              stamped.size() - archive.size() - 4);
  return 0;
}

int Import(const std::string& lzh_path, const std::string& out_path, bool force) {
  const std::vector<PrecompressedEntry> entries = ImportLhaArchive(lzh_path, out_path, force);
  for (const PrecompressedEntry& e : entries)
    std::printf("%-6s %12zu %12d  %s\n", MethodName(e.method).c_str(), e.stored.size(), e.destsize,
                e.name.c_str());
  std::printf("%s: %zu entries imported, CRC-16 verified\n", out_path.c_str(), entries.size());
  return 0;
}

}  // namespace
}  // namespace kv::tools

int main(int argc, char** argv) {
  using namespace kv::tools;
  CLI::App app{"kvarc: builds archives and self-extracting launchers"};
  app.require_subcommand(1);
  bool force = false;

  std::string archive, method = "LH5", entry, out, launcher;
  std::vector<std::string> items;

  auto* create = app.add_subcommand("create", "Pack files into a new archive");
  create->add_option("ARCHIVE", archive, "Archive to write")->required();
  create->add_option("ENTRY", items, "[METHOD:]NAME=FILE, or FILE to name the entry after the file")
      ->required();
  create->add_option("-m,--method", method, "Default method: NON, RLE, LZH or LH5")
      ->capture_default_str();
  create->add_flag("-f,--force", force, "Overwrite an existing archive");

  auto* list = app.add_subcommand("list", "List the entries of an archive");
  list->add_option("ARCHIVE", archive)->required();

  auto* test = app.add_subcommand("test", "Expand every entry and verify its checksum");
  test->add_option("ARCHIVE", archive)->required();

  auto* extract = app.add_subcommand("extract", "Extract one entry (every entry of that name)");
  extract->add_option("ARCHIVE", archive)->required();
  extract->add_option("ENTRYNAME", entry, "Entry name; ASCII case is ignored")->required();
  extract->add_option("OUTFILE", out)->required();
  extract->add_flag("-f,--force", force, "Overwrite an existing OUTFILE");

  auto* stamp = app.add_subcommand("stamp", "Make a self-extracting launcher carrying ARCHIVE");
  stamp->add_option("LAUNCHER", launcher, "An unstamped Setup.exe")->required();
  stamp->add_option("ARCHIVE", archive)->required();
  stamp->add_option("OUTPUT", out, "The launcher to write")->required();
  stamp->add_flag("-f,--force", force, "Overwrite an existing OUTPUT");

  auto* import = app.add_subcommand(
      "import", "Convert an LHA archive (-lh0-, -lh1-, -lh5- members) without recompressing");
  import->add_option("LZH", archive, "The LHA archive to read")->required();
  import->add_option("OUT", out, "The archive to write")->required();
  import->add_flag("-f,--force", force, "Overwrite an existing OUT");

  CLI11_PARSE(app, argc, argv);
  try {
    if (*create) return Create(archive, items, method, force);
    if (*list) return List(archive);
    if (*test) return Test(archive);
    if (*extract) return Extract(archive, entry, out, force);
    if (*stamp) return Stamp(launcher, archive, out, force);
    if (*import) return Import(archive, out, force);
  } catch (const kv::Exception& e) {
    std::fprintf(stderr, "kvarc: %s: %s\n", e.ClassName(), e.Message().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvarc: %s\n", e.what());
  }
  return 1;
}

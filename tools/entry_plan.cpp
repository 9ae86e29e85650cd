#include "tools/entry_plan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "archive/records.h"
#include "tools/archive_writer.h"
#include "tools/host.h"
#include "tools/methods.h"

namespace kv::tools {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& subject, const std::string& reason) {
  throw BuilderError(subject + ": " + reason);
}

// The last part of a path as typed, trailing slashes ignored; empty for
// "/", "." and "..", which name no folder of their own.
std::string OwnName(const std::string& path) {
  const char* const kSeparators = host::PathSeparators();
  std::string p = path;
  while (p.size() > 1 && std::strchr(kSeparators, p.back()) != nullptr) p.pop_back();
  const size_t slash = p.find_last_of(kSeparators);
  const std::string last = slash == std::string::npos ? p : p.substr(slash + 1);
  return (last == "." || last == ".." || (last.size() == 1 && std::strchr(kSeparators, last[0])))
             ? std::string()
             : last;
}

class Planner {
 public:
  Planner(uint8_t default_method, const std::function<void(const std::string&)>& warn)
      : default_method_(default_method), warn_(warn) {}

  void Item(const std::string& text, bool from_list) {
    if (!from_list && text.size() > 1 && text[0] == '@') return List(text.substr(1));
    std::string rest = text;
    uint8_t method = default_method_;
    const size_t colon = rest.find(':');
    const size_t eq = rest.find('=');
    // A method prefix stands before any '=': "LH5:Data\a=x", not "Data=C:x".
    if (colon != std::string::npos && (eq == std::string::npos || colon < eq)) {
      const int m = MethodFromName(rest.substr(0, colon));
      if (m >= 0) {
        method = static_cast<uint8_t>(m);
        rest = rest.substr(colon + 1);
      }
    }
    std::string name;
    std::string path = rest;
    const size_t at = rest.find('=');
    const bool named = at != std::string::npos;
    if (named) {
      name = rest.substr(0, at);
      path = rest.substr(at + 1);
      if (name.empty()) Fail(text, "empty entry name");
    }
    if (path.empty()) Fail(text, "no file given");
    host::FileInfo info;
    if (!host::Stat(path, info)) Fail(path, std::strerror(errno));
    if (info.kind == host::FileKind::kFolder) {
      Folder(path, named ? name : OwnName(path), method);
    } else {
      File(path, named ? name : OwnName(path), method, info);
    }
  }

  std::vector<PlannedEntry> Take() { return std::move(plan_); }

 private:
  void List(const std::string& list_path) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (list_path != "-") {
      file.open(host::Utf8Path(list_path));
      if (!file) Fail(list_path, std::strerror(errno));
      in = &file;
    }
    std::string line;
    while (std::getline(*in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      Item(line, true);
    }
    if (in->bad()) Fail(list_path == "-" ? "standard input" : list_path, "read error");
  }

  void File(const std::string& path, const std::string& name, uint8_t method,
            const host::FileInfo& info) {
    if (info.kind != host::FileKind::kFile) Fail(path, "not a regular file");
    if (name.empty()) Fail(path, "names no file");
    plan_.push_back(PlannedEntry{CheckedEntryName(name), path, method, info.size});
  }

  void Folder(const std::string& root, const std::string& prefix, uint8_t method) {
    // Name order, so that the same folder always makes the same archive.
    std::vector<fs::path> files;
    std::vector<fs::path> folders;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(host::Utf8Path(root), ec);
         !ec && it != fs::end(it); it.increment(ec)) {
      const fs::path& p = it->path();
      const fs::file_status link = it->symlink_status(ec);
      if (ec) break;
      if (fs::is_symlink(link)) {
        if (fs::is_directory(fs::status(p, ec)))
          Fail(host::Utf8Text(p), "symbolic link to a folder (not followed)");
        ec.clear();
      }
      if (it->is_directory(ec)) {
        folders.push_back(p);
      } else {
        files.push_back(p);
      }
    }
    if (ec) Fail(root, ec.message());
    std::sort(files.begin(), files.end());
    std::sort(folders.begin(), folders.end());
    for (const fs::path& folder : folders) {
      if (fs::is_empty(folder, ec) && !ec)
        warn_(host::Utf8Text(folder) + ": empty folder not packed (archives hold files only)");
    }
    if (files.empty() && folders.empty())
      warn_(root + ": empty folder not packed (archives hold files only)");
    for (const fs::path& f : files) {
      const std::string inside = host::GenericUtf8Text(fs::relative(f, host::Utf8Path(root), ec));
      const std::string path = host::Utf8Text(f);
      if (ec) Fail(path, ec.message());
      const std::string name = prefix.empty() ? inside : prefix + "/" + inside;
      host::FileInfo info;
      if (!host::Stat(path, info)) Fail(path, std::strerror(errno));
      File(path, name, method, info);
    }
  }

  uint8_t default_method_;
  const std::function<void(const std::string&)>& warn_;
  std::vector<PlannedEntry> plan_;
};

}  // namespace

std::string FoldedName(const std::string& name) {
  std::string s = name;
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string CheckedEntryName(const std::string& name) {
  std::string out = name;
  std::replace(out.begin(), out.end(), '/', '\\');
  if (out.empty()) Fail("''", "empty entry name");
  if (out.size() > static_cast<size_t>(EntryHeader::kMaxNameLength))
    Fail(out.substr(0, 40) + "...", "entry name longer than 32767 bytes");
  if (out[0] == '\\') Fail(out, "absolute entry name");
  if (out.size() >= 2 && out[1] == ':' &&
      ((out[0] >= 'A' && out[0] <= 'Z') || (out[0] >= 'a' && out[0] <= 'z')))
    Fail(out, "entry name with a drive letter");
  size_t start = 0;
  for (;;) {
    const size_t end = out.find('\\', start);
    const std::string part = out.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty()) Fail(out, "entry name with an empty part");
    if (part == "." || part == "..") Fail(out, "entry name with a '" + part + "' part");
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

std::vector<PlannedEntry> PlanEntries(const std::vector<std::string>& items, uint8_t default_method,
                                      const std::function<void(const std::string&)>& warn) {
  Planner planner(default_method, warn);
  for (const std::string& item : items) planner.Item(item, false);
  return planner.Take();
}

void FinishPlan(std::vector<PlannedEntry>& plan, const std::string& archive) {
  std::map<std::string, const PlannedEntry*> seen;
  uint64_t total = 0;
  for (const PlannedEntry& e : plan) {
    if (e.size > kMaxFieldValue)
      Fail(e.path, "2 GiB or more (an entry holds at most 2 GiB - 1 bytes)");
    total += e.size;
    const auto [it, fresh] = seen.emplace(FoldedName(e.name), &e);
    if (!fresh)
      Fail(e.name, "two entries with this name, ASCII case ignored (" + it->second->path + " and " +
                       e.path + ")");
  }
  if (total > kMaxFieldValue)
    Fail(archive, "the entries add up to 2 GiB or more (an archive holds at most 2 GiB - 1 bytes)");
  if (!plan.empty() && total == 0)
    Fail(archive,
         "every entry is empty, and a reader stops before the first (the archive's total size is "
         "0)");
  std::stable_partition(plan.begin(), plan.end(),
                        [](const PlannedEntry& e) { return e.size == 0; });
}

}  // namespace kv::tools

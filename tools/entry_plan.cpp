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

// A file item's path as the parts of its entry name, and the text dropped
// from its start: a drive letter (where the host has them), the separators
// of an absolute path, and everything up to the last "..", as tar does, so
// that no name climbs out of the folder it is extracted into. "." parts and
// empty ones mean nothing and go silently.
struct PathName {
  std::vector<std::string> parts;
  std::string dropped;
};

PathName NameOfPath(const std::string& path) {
  const char* const kSeparators = host::PathSeparators();
  // Where ':' is a separator, it only ever marks a drive; anywhere else it
  // stays in the part, to be refused there.
  const bool drives = std::strchr(kSeparators, ':') != nullptr;
  const auto separator = [&](char c) { return c != ':' && std::strchr(kSeparators, c) != nullptr; };
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  size_t kept = 0;  // where the text the name is made of starts
  if (drives && path.size() >= 2 && letter(path[0]) && path[1] == ':') kept = 2;
  while (kept < path.size() && separator(path[kept])) ++kept;
  PathName n;
  size_t start = kept;
  for (size_t i = kept;; ++i) {
    if (i < path.size() && !separator(path[i])) continue;
    const std::string part = path.substr(start, i - start);
    if (part == "..") {
      n.parts.clear();
      kept = i;
      while (kept < path.size() && separator(path[kept])) ++kept;
    } else if (!part.empty() && part != ".") {
      n.parts.push_back(part);
    }
    if (i == path.size()) break;
    start = i + 1;
  }
  n.dropped = path.substr(0, kept);
  return n;
}

bool SameFile(const std::string& a, const std::string& b) {
  host::FileIdentity x, y;
  return host::Identify(a, x) && host::Identify(b, y) && x == y;
}

// Raises the reason `path` cannot be reached (the failed Stat's errno),
// telling a link that leads nowhere or round in a circle from a missing file.
[[noreturn]] void Unreachable(const std::string& path) {
  const int error = errno;
  host::FileInfo link;
  if (host::LinkStat(path, link) && link.kind == host::FileKind::kLink) {
    if (error == ENOENT || error == ENOTDIR)
      Fail(path, "dangling symbolic link (what it leads to does not exist)");
    if (error == ELOOP) Fail(path, "symbolic link loop (its links never reach a file)");
  }
  Fail(path, std::strerror(error));
}

// Whether an item of the command line is `@LIST`; a line of a list never is.
bool IsListItem(const std::string& item) {
  return item.size() > 1 && item[0] == '@';
}

class Planner {
 public:
  Planner(uint8_t default_method, const std::function<void(const std::string&)>& warn)
      : default_method_(default_method), warn_(warn) {}

  void Item(const std::string& text, bool from_list) {
    if (!from_list && IsListItem(text)) return List(text.substr(1));
    std::string rest = text;
    method_ = default_method_;
    const size_t colon = rest.find(':');
    const size_t eq = rest.find('=');
    // A method prefix stands before any '=': "LH5:Data\a=x", not "Data=C:x".
    if (colon != std::string::npos && (eq == std::string::npos || colon < eq)) {
      const int m = MethodFromName(rest.substr(0, colon));
      if (m >= 0) {
        method_ = static_cast<uint8_t>(m);
        rest = rest.substr(colon + 1);
      }
    }
    std::string path = rest;
    const size_t at = rest.find('=');
    const bool named = at != std::string::npos;
    typed_.clear();
    found_.clear();
    if (named) {
      typed_ = rest.substr(0, at);
      path = rest.substr(at + 1);
      if (typed_.empty()) Fail(text, "empty entry name");
    }
    if (path.empty()) Fail(text, "no file given");
    host::FileInfo info;
    if (!host::Stat(path, info)) Unreachable(path);
    if (info.kind == host::FileKind::kFolder) {
      const std::string own = OwnName(path);
      if (!named && !own.empty()) found_.push_back(own);
      Walk(host::Utf8Path(path), path);
    } else {
      if (!named) {
        PathName n = NameOfPath(path);
        if (!n.dropped.empty())
          warn_(path + ": leading '" + n.dropped + "' removed from the entry name");
        found_ = std::move(n.parts);
      }
      File(path, info);
    }
  }

  std::vector<PlannedEntry> Take() { return std::move(plan_); }

 private:
  // A folder on the walk's path: what it is, and its path for messages.
  struct Visited {
    host::FileIdentity identity;
    std::string path;
  };

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

  // Plans the file at `path`, named typed_ followed by found_.
  void File(const std::string& path, const host::FileInfo& info) {
    if (info.kind != host::FileKind::kFile) Fail(path, "not a regular file");
    std::string joined = typed_;
    for (const std::string& part : found_) {
      const std::string problem = WindowsNameProblem(part, NameOrigin::kFileSystem);
      if (!problem.empty()) Fail(Printable(path), problem);
      joined += (joined.empty() ? "" : "/") + part;
    }
    if (joined.empty()) Fail(path, "names no file");
    const std::string name = CheckedEntryName(joined);
    const std::string problem = WindowsEntryNameProblem(name);
    if (!problem.empty()) {
      const bool parts = name.find('\\') != std::string::npos;
      Fail(Printable(path),
           problem + (parts ? " (entry name '" + Printable(name) + "')" : std::string()));
    }
    const auto [it, fresh] = planned_.emplace(name, plan_.size());
    // The same file again under the same name is the same entry; another
    // file under that name is left for FinishPlan to refuse.
    if (!fresh && SameFile(plan_[it->second].path, path)) return;
    plan_.push_back(PlannedEntry{name, path, method_, info.size});
  }

  // Walks the folder `folder` (`path` as text) in name order, following
  // links. A folder met again on the walk's own path, by identity, whatever
  // the path that led to it, would be walked without end.
  void Walk(const fs::path& folder, const std::string& path) {
    host::FileIdentity identity;
    if (!host::Identify(path, identity)) Fail(path, std::strerror(errno));
    for (const Visited& v : trail_)
      if (v.identity == identity)
        Fail(path, "symbolic link loop (it leads back to " + v.path + ")");
    // Name order, so that the same folder always makes the same archive.
    std::vector<fs::path> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
      names.push_back(it->path().filename());
    if (ec) Fail(path, ec.message());
    if (names.empty()) {
      warn_(path + ": empty folder not packed (archives hold files only)");
      return;
    }
    std::sort(names.begin(), names.end());
    trail_.push_back(Visited{identity, path});
    for (const fs::path& name : names) {
      const fs::path child = folder / name;
      const std::string child_path = host::Utf8Text(child);
      host::FileInfo info;
      if (!host::Stat(child_path, info)) Unreachable(child_path);
      found_.push_back(host::Utf8Text(name));
      if (info.kind == host::FileKind::kFolder) {
        Walk(child, child_path);
      } else {
        File(child_path, info);
      }
      found_.pop_back();
    }
    trail_.pop_back();
  }

  uint8_t default_method_;
  const std::function<void(const std::string&)>& warn_;
  std::vector<PlannedEntry> plan_;
  std::map<std::string, size_t> planned_;  // entry name -> its place in plan_
  // The item being planned: its method, its typed NAME (empty when none),
  // the parts of its name found in the file system so far, and the folders
  // on the walk's path.
  uint8_t method_ = 0;
  std::string typed_;
  std::vector<std::string> found_;
  std::vector<Visited> trail_;
};

}  // namespace

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

std::vector<std::string> ListFiles(const std::vector<std::string>& items) {
  std::vector<std::string> files;
  for (const std::string& item : items)
    if (IsListItem(item) && item != "@-") files.push_back(item.substr(1));
  return files;
}

}  // namespace kv::tools

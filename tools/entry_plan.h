// What `kvarc create` and `kvarc setup` pack: the command line's items made
// into a list of entries, each named, sized and checked before a single
// byte of any file is read.
//
// An item is `[METHOD:]NAME=PATH`, or `PATH` alone, or `@LIST` (the items
// of a file, one per line; `@-` reads them from standard input). A file is
// named NAME, or after its own file name. A folder is walked recursively in
// name order; its files are named NAME (or the folder's own name) followed
// by their path inside it, with '\' between the parts, and a '/' typed in
// NAME becomes '\' as well.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kv::tools {

struct PlannedEntry {
  std::string name;  // the entry name, checked by CheckedEntryName
  std::string path;  // the file its bytes come from
  uint8_t method = 0;
  uint64_t size = 0;  // the file's size when it was planned
};

// `name` with ASCII letters in upper case: the key under which the
// component's walk takes two names as the same.
std::string FoldedName(const std::string& name);

// `name` with '/' turned into '\', or a BuilderError "NAME: reason" for an
// empty name, an empty, "." or ".." part, a leading separator (an absolute
// name) or a drive letter.
std::string CheckedEntryName(const std::string& name);

// Expands `items` into entries. `warn` receives one line for what cannot be
// packed but is no error (an empty folder: archives hold files only).
// Raises BuilderError "PATH: reason" for a missing or unreadable file, a
// symlink to a folder (not followed) and a special file.
std::vector<PlannedEntry> PlanEntries(const std::vector<std::string>& items, uint8_t default_method,
                                      const std::function<void(const std::string&)>& warn);

// Checks the plan as a whole and orders it for the reader, who walks the
// entries only until their sizes add up to the archive's total: entries of
// size 0 go first, so that none stands after that point (a plan of empty
// files only is refused, since a reader would stop before the first). Also
// refuses two entries whose names are equal with ASCII case ignored (the
// reader would append both to one file), a file of 2 GiB or more and a
// total of 2 GiB or more. `archive` names the archive in the messages.
void FinishPlan(std::vector<PlannedEntry>& plan, const std::string& archive);

}  // namespace kv::tools

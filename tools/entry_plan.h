// What `kvarc create` and `kvarc setup` pack: the command line's items made
// into a list of entries, each named, sized and checked before a single
// byte of any file is read.
//
// An item is `[METHOD:]NAME=PATH`, or `PATH` alone, or `@LIST` (the items
// of a file, one per line; `@-` reads them from standard input).
//
// A file is named NAME, or its path as typed, with '\' between the parts
// (`dir/sub/f.txt` is `dir\sub\f.txt`, as tar and zip keep it): "." parts
// are dropped, and so are, with a warning, a leading separator (an absolute
// path), a drive letter on Windows and every part up to the last "..".
//
// A folder is walked recursively in name order; its files are named NAME
// (or the folder's own name) followed by their path inside it, with '\'
// between the parts, and a '/' typed in NAME becomes '\' as well. Symbolic
// links inside it are followed, and what they lead to is named after the
// link (a link to a folder is walked as a folder of the link's name); a
// link that leads nowhere, or back to a folder the walk is inside, is an
// error.
//
// The same file reached twice under one name (`find DIR | kvarc create x
// @-` lists a folder and then its files) is planned once. Every name is
// checked by CheckedEntryName and refused when Windows cannot make it
// (WindowsNameProblem, entry_names.h); a part that comes from the file
// system must hold no '\' either.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/entry_names.h"

namespace kv::tools {

struct PlannedEntry {
  std::string name;  // the entry name, checked as entry_names.h describes
  std::string path;  // the file its bytes come from
  uint8_t method = 0;
  uint64_t size = 0;  // the file's size when it was planned
};

// Expands `items` into entries. `warn` receives one line for what cannot be
// packed but is no error (an empty folder: archives hold files only), and
// for what was dropped from a file's path to make its name. Raises
// BuilderError "PATH: reason" for a missing or unreadable file, a special
// file, a dangling symbolic link, a link loop and a name that is refused.
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

// The list files that PlanEntries reads for `items`: the FILE of every
// `@FILE` item (not `@-`, which is standard input), in order.
std::vector<std::string> ListFiles(const std::vector<std::string>& items);

}  // namespace kv::tools

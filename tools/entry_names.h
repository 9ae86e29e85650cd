// Entry names: the key under which two names are one, the checks every
// name the builder writes passes, the names Windows cannot make, and the
// entries that names typed on extract's command line select.
//
// An entry name has '\' between its parts, and the launcher makes each part
// a folder or a file on Windows: a name that Windows cannot make there
// would end an installation half-way on the user's machine, so the builder
// refuses it when packing, before anything is written.
#pragma once

#include <string>
#include <vector>

namespace kv::tools {

// `name` with ASCII letters in upper case: the key under which the
// component's walk takes two names as the same.
std::string FoldedName(const std::string& name);

// `name` with '/' turned into '\', or a BuilderError "NAME: reason" for an
// empty name, an empty, "." or ".." part, a leading separator (an absolute
// name) or a drive letter.
std::string CheckedEntryName(const std::string& name);

// Where a part of a name comes from. A name found in the file system (a
// file or folder of a walk, the parts of a file's path) is one part even
// when it holds a '\', which Windows would take as a separator; in a name
// typed as NAME=, '\' is the way to write a separator.
enum class NameOrigin { kEntryName, kFileSystem };

// Why Windows cannot make a file or folder named `part`, as a phrase that
// quotes the part ("'a|b' has a character ..."); empty when it can. Refused:
// a control character (bytes 0 to 31), one of < > : " | ? *, a trailing dot
// or space (Windows drops them, so the file would not be found by its
// name), and a device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9)
// as the part's base, with any extension and in any case ("nul.txt",
// "Com1.tar.gz"). With kFileSystem, a '\' as well.
std::string WindowsNameProblem(const std::string& part, NameOrigin origin = NameOrigin::kEntryName);

// The first problem WindowsNameProblem finds in a part of the entry name
// `name` ('\' between its parts), or empty.
std::string WindowsEntryNameProblem(const std::string& name);

// `text` with each control character (bytes 0 to 31 and 127) shown as ^X,
// so that a message that quotes a name stays one line.
std::string Printable(const std::string& text);

// What names typed on extract's command line select among an archive's
// entry names, '/' typed taken as '\' and ASCII case ignored. A typed name
// selects the entries of that name and, when `folders`, every entry below
// it: "Data" selects "Data", "Data\a" and "Data\sub\b"; "Data/" only the
// last two. No typed names select every entry.
struct EntrySelection {
  std::vector<bool> selected;        // one per entry name, in their order
  std::vector<std::string> missing;  // the typed names that selected nothing, as typed
};
EntrySelection SelectEntries(const std::vector<std::string>& entry_names,
                             const std::vector<std::string>& typed, bool folders);

// A name typed for extract as the entry name it stands for: '/' as '\'.
std::string TypedEntryName(const std::string& typed);

// "'x', 'y'": the names quoted, for a message.
std::string QuotedNames(const std::vector<std::string>& names);

}  // namespace kv::tools

#include "tools/depfile.h"

#include <filesystem>
#include <set>
#include <system_error>

#include "tools/archive_writer.h"
#include "tools/entry_names.h"
#include "tools/host.h"

namespace kv::tools {
namespace {

// `path` made absolute against the current folder, without following
// links: a build system stats the path as named, and reaches what a link
// leads to through it.
std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(host::Utf8Path(path), error);
  if (error) throw BuilderError(path + ": " + error.message());
  return host::GenericUtf8Text(absolute);
}

// One path as a word of a Makefile rule.
std::string Escaped(const std::string& path) {
  std::string word;
  size_t backslashes = 0;  // in a row, just before the character at hand
  for (const char c : path) {
    if (c == '\n' || c == '\r' || c == '\t')
      throw BuilderError(Printable(path) +
                         ": a tab or a line break in a file name cannot be listed in a depfile");
    if (c == ' ' || c == '#') {
      word.append(backslashes, '\\');  // each one written before now doubled
      word += '\\';
    } else if (c == '$') {
      word += '$';
    }
    word += c;
    backslashes = c == '\\' ? backslashes + 1 : 0;
  }
  // Before the separator that follows, make and Ninja would read them
  // differently (an escaped space, a continued line, or themselves).
  if (backslashes > 0)
    throw BuilderError(Printable(path) +
                       ": a file name ending in a backslash cannot be listed in a depfile");
  return word;
}

}  // namespace

std::string DepfileText(const std::string& target, const std::vector<std::string>& prerequisites) {
  std::string text = Escaped(AbsolutePath(target)) + ":";
  std::set<std::string> listed;
  for (const std::string& path : prerequisites) {
    const std::string word = Escaped(AbsolutePath(path));
    if (listed.insert(word).second) text += " \\\n  " + word;
  }
  return text + "\n";
}

}  // namespace kv::tools

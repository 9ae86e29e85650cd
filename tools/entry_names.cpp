#include "tools/entry_names.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "archive/records.h"
#include "tools/archive_writer.h"

namespace kv::tools {
namespace {

[[noreturn]] void Fail(const std::string& subject, const std::string& reason) {
  throw BuilderError(subject + ": " + reason);
}

// The device a part's base (the text before its first dot, trailing spaces
// dropped, as Windows reads it) names, or empty.
std::string DeviceNamed(const std::string& part) {
  std::string base = FoldedName(part.substr(0, part.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* device : kDevices)
    if (base == device) return base;
  const bool numbered = base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT"));
  return numbered && base[3] >= '1' && base[3] <= '9' ? base : std::string();
}

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

std::string WindowsNameProblem(const std::string& part, NameOrigin origin) {
  const auto quoted = [&] { return "'" + Printable(part) + "'"; };
  for (const char c : part) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", byte);
      return quoted() + " has a character Windows does not allow in file names (byte " + code + ")";
    }
    if (std::strchr("<>:\"|?*", c) != nullptr)
      return quoted() + " has a character Windows does not allow in file names ('" + c + "')";
    if (c == '\\' && origin == NameOrigin::kFileSystem)
      return quoted() + " has a '\\', which Windows takes as a folder separator";
  }
  if (!part.empty() && part.back() == '.')
    return quoted() + " ends in a dot, which Windows drops from file names";
  if (!part.empty() && part.back() == ' ')
    return quoted() + " ends in a space, which Windows drops from file names";
  const std::string device = DeviceNamed(part);
  if (!device.empty()) return quoted() + " names the device " + device + " on Windows";
  return std::string();
}

std::string WindowsEntryNameProblem(const std::string& name) {
  for (size_t start = 0; start <= name.size();) {
    const size_t end = std::min(name.find('\\', start), name.size());
    const std::string part = name.substr(start, end - start);
    if (!part.empty()) {
      std::string problem = WindowsNameProblem(part);
      if (!problem.empty()) return problem;
    }
    start = end + 1;
  }
  return std::string();
}

std::string Printable(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      shown += '^';
      shown += static_cast<char>(byte ^ 0x40);
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string TypedEntryName(const std::string& typed) {
  std::string name = typed;
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

EntrySelection SelectEntries(const std::vector<std::string>& entry_names,
                             const std::vector<std::string>& typed, bool folders) {
  EntrySelection s;
  s.selected.assign(entry_names.size(), typed.empty());
  std::vector<std::string> folded;
  folded.reserve(entry_names.size());
  for (const std::string& name : entry_names) folded.push_back(FoldedName(name));
  std::set<std::string> reported;
  for (const std::string& t : typed) {
    std::string key = FoldedName(TypedEntryName(t));
    // "Data\" asks for what is below Data, not for an entry named Data.
    bool below_only = false;
    while (folders && !key.empty() && key.back() == '\\') {
      key.pop_back();
      below_only = true;
    }
    bool found = false;
    for (size_t i = 0; i < folded.size() && !key.empty(); ++i) {
      const std::string& f = folded[i];
      const bool same = !below_only && f == key;
      const bool below =
          folders && f.size() > key.size() && f[key.size()] == '\\' && f.starts_with(key);
      if (same || below) {
        s.selected[i] = true;
        found = true;
      }
    }
    if (!found && reported.insert(FoldedName(t)).second) s.missing.push_back(t);
  }
  return s;
}

std::string QuotedNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names)
    text += (text.empty() ? "'" : ", '") + Printable(name) + "'";
  return text;
}

}  // namespace kv::tools

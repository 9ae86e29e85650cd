#include "tools/version_record.h"

#include <algorithm>

#include "core/bytes.h"
#include "tools/archive_writer.h"

namespace kv::tools {

namespace {

[[noreturn]] void Damaged(const std::string& reason) {
  throw BuilderError("version record: " + reason);
}

// `bytes` is at least `count` long from `at`.
bool Holds(std::span<const uint8_t> bytes, uint64_t at, uint64_t count) {
  return at <= bytes.size() && count <= bytes.size() - at;
}

// The image's bytes at [rva, rva + size), by the section that holds them.
std::span<const uint8_t> AtRva(std::span<const uint8_t> image, const PeInfo& info, uint32_t rva,
                               uint32_t size, const char* what) {
  for (const PeSection& s : info.sections) {
    if (rva < s.virtual_address || rva - s.virtual_address >= s.raw_size) continue;
    const uint64_t within = rva - s.virtual_address;
    if (size > s.raw_size - within) Damaged(std::string(what) + " runs past its section's data");
    const uint64_t at = uint64_t{s.raw_offset} + within;
    if (!Holds(image, at, size)) Damaged(std::string(what) + " lies past the image's end");
    return image.subspan(static_cast<size_t>(at), size);
  }
  Damaged(std::string(what) + " is in no section's data");
}

// One entry of a resource directory.
struct ResourceEntry {
  uint32_t name = 0;    // an ID, or a name's offset with the high bit set
  uint32_t target = 0;  // a subdirectory's offset with the high bit set, else a data entry's
};
constexpr uint32_t kHighBit = 0x80000000u;

// The entries of the directory at `at` of the resource section `tree`.
std::vector<ResourceEntry> DirectoryAt(std::span<const uint8_t> tree, uint64_t at) {
  constexpr uint64_t kDirectorySize = 16, kEntrySize = 8;
  if (!Holds(tree, at, kDirectorySize)) Damaged("a resource directory lies past the resources");
  const uint64_t count =
      uint64_t{LoadLE16(tree.data() + at + 12)} + LoadLE16(tree.data() + at + 14);
  if (!Holds(tree, at + kDirectorySize, count * kEntrySize))
    Damaged("a resource directory's " + std::to_string(count) + " entries run past the resources");
  std::vector<ResourceEntry> entries;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* e = tree.data() + at + kDirectorySize + i * kEntrySize;
    entries.push_back({LoadLE32(e), LoadLE32(e + 4)});
  }
  return entries;
}

// The first entry of `entries` that leads to a subdirectory, as its offset.
std::optional<uint64_t> FirstSubdirectory(const std::vector<ResourceEntry>& entries) {
  for (const ResourceEntry& e : entries)
    if (e.target & kHighBit) return e.target & ~kHighBit;
  return std::nullopt;
}

// Text of UTF-16LE code units as UTF-8.
std::string Utf8Of(const std::vector<uint16_t>& units) {
  std::string out;
  auto put = [&](uint32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  };
  for (size_t i = 0; i < units.size(); ++i) {
    const uint32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      put(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else {
      put(u >= 0xD800 && u <= 0xDFFF ? 0xFFFD : u);
    }
  }
  return out;
}

// One block of the record: wLength, wValueLength, wType, a key of UTF-16
// units ending in 0, padding to 4 bytes, the value, padding, the children.
// Offsets are relative to the record's start, which is 4-byte aligned.
struct Block {
  std::string key;
  uint64_t value = 0;  // where the value starts
  uint64_t end = 0;    // where the block ends
};

uint64_t Align4(uint64_t at) {
  return (at + 3) & ~uint64_t{3};
}

Block BlockAt(std::span<const uint8_t> record, uint64_t at, uint64_t limit) {
  if (at + 6 > limit) Damaged("a block's header runs past its parent");
  const uint16_t length = LoadLE16(record.data() + at);
  if (length < 6 || at + length > limit)
    Damaged("a block's length " + std::to_string(length) + " at " + std::to_string(at) +
            " does not fit its parent");
  Block b;
  b.end = at + length;
  std::vector<uint16_t> key;
  uint64_t p = at + 6;
  for (;; p += 2) {
    if (p + 2 > b.end) Damaged("a block's key at " + std::to_string(at) + " has no end");
    const uint16_t unit = LoadLE16(record.data() + p);
    if (unit == 0) break;
    key.push_back(unit);
  }
  b.key = Utf8Of(key);
  b.value = std::min(Align4(p + 2), b.end);
  return b;
}

// The text value of a String block: UTF-16 units up to a 0 or the block's end.
std::string TextValue(std::span<const uint8_t> record, const Block& b) {
  std::vector<uint16_t> units;
  for (uint64_t p = b.value; p + 2 <= b.end; p += 2) {
    const uint16_t unit = LoadLE16(record.data() + p);
    if (unit == 0) break;
    units.push_back(unit);
  }
  return Utf8Of(units);
}

}  // namespace

VersionStrings ParseVersionInfo(std::span<const uint8_t> record) {
  const Block root = BlockAt(record, 0, record.size());
  if (root.key != "VS_VERSION_INFO") Damaged("the record's key is not VS_VERSION_INFO");
  // The fixed part (VS_FIXEDFILEINFO) is wValueLength bytes long.
  const uint64_t fixed = LoadLE16(record.data() + 2);
  if (root.value + fixed > root.end) Damaged("the fixed part runs past the record");
  VersionStrings strings;
  for (uint64_t at = Align4(root.value + fixed); at < root.end;) {
    const Block child = BlockAt(record, at, root.end);
    if (child.key == "StringFileInfo") {
      for (uint64_t t = child.value; t < child.end;) {
        const Block table = BlockAt(record, t, child.end);  // one per language and code page
        for (uint64_t s = table.value; s < table.end;) {
          const Block string = BlockAt(record, s, table.end);
          strings.emplace_back(string.key, TextValue(record, string));
          s = Align4(string.end);
        }
        t = Align4(table.end);
      }
    }
    at = Align4(child.end);
  }
  return strings;
}

std::optional<VersionStrings> ReadVersionStrings(std::span<const uint8_t> image,
                                                 const PeInfo& info) {
  const PeDataDirectory directory = info.Directory(kResourceDirectory);
  if (directory.rva == 0 || directory.size == 0) return std::nullopt;
  const std::span<const uint8_t> tree =
      AtRva(image, info, directory.rva, directory.size, "the resource directory");
  std::optional<uint64_t> names;
  for (const ResourceEntry& e : DirectoryAt(tree, 0))
    if (e.name == kResourceTypeVersion && (e.target & kHighBit)) names = e.target & ~kHighBit;
  if (!names) return std::nullopt;
  const std::optional<uint64_t> languages = FirstSubdirectory(DirectoryAt(tree, *names));
  if (!languages) return std::nullopt;
  const std::vector<ResourceEntry> data = DirectoryAt(tree, *languages);
  if (data.empty() || (data[0].target & kHighBit))
    Damaged("the version resource's language entry is not data");
  if (!Holds(tree, data[0].target, 16)) Damaged("a resource data entry lies past the resources");
  const uint8_t* entry = tree.data() + data[0].target;
  return ParseVersionInfo(AtRva(image, info, LoadLE32(entry), LoadLE32(entry + 4), "the record"));
}

}  // namespace kv::tools

#include "tools/pe_resources.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "core/bytes.h"
#include "tools/archive_writer.h"

namespace kv::tools {

namespace {

// ---------------------------------------------------------------------------
// Faults

[[noreturn]] void CannotRewrite(const std::string& reason) {
  throw BuilderError("cannot rewrite the launcher's resources (" + reason + ")");
}

[[noreturn]] void CannotRewriteVersion(const std::string& reason) {
  CannotRewrite("its version record: " + reason);
}

[[noreturn]] void NotAnIcon(const std::string& reason) {
  throw BuilderError("not an icon file (" + reason + ")");
}

// A FaultHandler's call; the throw after it is never reached by a handler
// that keeps its contract.
[[noreturn]] void Fail(FaultHandler fault, const std::string& reason) {
  fault(reason);
  throw BuilderError(reason);
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

bool Holds(std::span<const uint8_t> bytes, uint64_t at, uint64_t count) {
  return at <= bytes.size() && count <= bytes.size() - at;
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v));
  Put16(out, static_cast<uint16_t>(v >> 16));
}

void PadTo(std::vector<uint8_t>& out, size_t alignment) {
  out.resize(static_cast<size_t>(AlignUp(out.size(), alignment)), 0);
}

std::u16string Utf16Ascii(std::string_view text) {
  return std::u16string(text.begin(), text.end());
}

// ---------------------------------------------------------------------------
// UTF-8 in

// `text` as UTF-16, or nullopt unless it is well-formed UTF-8: no stray or
// missing continuation bytes, no overlong forms, no surrogates, nothing
// past U+10FFFF.
std::optional<std::u16string> Utf16FromUtf8(std::string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t extra = 0;
    uint32_t c = 0, least = 0;
    if (lead < 0x80) {
      c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, c = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, c = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, c = lead & 0x07, least = 0x10000;
    } else {
      return std::nullopt;
    }
    if (extra > text.size() - i - 1) return std::nullopt;
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (next & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += 1 + extra;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Icon files

// An .ico file: ICONDIR (reserved, type, count), then `count` 16-byte
// ICONDIRENTRYs (width, height, colour count, reserved, planes, bit count,
// bytes in resource, image offset).
constexpr size_t kIconDirSize = 6;
constexpr size_t kIconEntrySize = 16;
// The group resource's GRPICONDIRENTRY: the same fields, with a 16-bit
// resource id in place of the offset.
constexpr size_t kGroupEntrySize = 14;
constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint32_t kBitmapInfoHeaderSize = 40;

struct IconImage {
  std::array<uint8_t, 8> group_fields;  // width .. bit count, as the group lists them
  std::span<const uint8_t> bytes;
};

std::vector<IconImage> ReadIconFile(std::span<const uint8_t> ico) {
  if (ico.size() > kMaxIconFileSize)
    NotAnIcon("it is " + std::to_string(ico.size()) + " bytes, more than the " +
              std::to_string(kMaxIconFileSize) + " an icon may have");
  if (ico.size() < kIconDirSize)
    NotAnIcon("it is " + std::to_string(ico.size()) + " bytes, shorter than an icon's header");
  if (LoadLE16(ico.data()) != 0 || LoadLE16(ico.data() + 2) != 1)
    NotAnIcon("its header does not say icon: reserved " + std::to_string(LoadLE16(ico.data())) +
              ", type " + std::to_string(LoadLE16(ico.data() + 2)) + " (an icon has 0 and 1)");
  const size_t count = LoadLE16(ico.data() + 4);
  if (count == 0) NotAnIcon("it holds no images");
  const uint64_t directory_end = kIconDirSize + uint64_t{count} * kIconEntrySize;
  if (directory_end > ico.size())
    NotAnIcon("its directory of " + std::to_string(count) + " images runs past the file's end");
  std::vector<IconImage> images;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = ico.data() + kIconDirSize + i * kIconEntrySize;
    const std::string which = "image " + std::to_string(i + 1);
    const uint32_t size = LoadLE32(entry + 8);
    const uint32_t offset = LoadLE32(entry + 12);
    if (size == 0) NotAnIcon(which + " is empty");
    if (offset < directory_end) NotAnIcon(which + " starts inside the icon directory");
    if (!Holds(ico, offset, size))
      NotAnIcon(which + " (" + std::to_string(size) + " bytes at " + std::to_string(offset) +
                ") runs past the file's end");
    IconImage image;
    std::copy_n(entry, image.group_fields.size(), image.group_fields.begin());
    image.bytes = ico.subspan(offset, size);
    const bool png = size >= sizeof kPngSignature &&
                     std::memcmp(image.bytes.data(), kPngSignature, sizeof kPngSignature) == 0;
    const bool bitmap =
        size >= kBitmapInfoHeaderSize && LoadLE32(image.bytes.data()) == kBitmapInfoHeaderSize;
    if (!png && !bitmap) NotAnIcon(which + " is neither a PNG nor a bitmap");
    // Many icon writers leave planes and bit count 0 in the directory; the
    // group is what the shell picks an image by, so a bitmap's own header
    // fills them in.
    if (bitmap && LoadLE16(entry + 4) == 0 && LoadLE16(entry + 6) == 0) {
      std::copy_n(image.bytes.data() + 12, 4, image.group_fields.begin() + 4);
    }
    images.push_back(image);
  }
  return images;
}

// The icon ids an RT_GROUP_ICON resource lists; entries that do not fit in
// its bytes are not read.
std::vector<uint32_t> GroupIconIds(std::span<const uint8_t> group) {
  std::vector<uint32_t> ids;
  if (group.size() < kIconDirSize) return ids;
  const size_t count =
      std::min<size_t>(LoadLE16(group.data() + 4), (group.size() - kIconDirSize) / kGroupEntrySize);
  for (size_t i = 0; i < count; ++i)
    ids.push_back(LoadLE16(group.data() + kIconDirSize + i * kGroupEntrySize + 12));
  return ids;
}

// ---------------------------------------------------------------------------
// Reading the tree

constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint64_t kDirectoryTableSize = 16;
constexpr uint64_t kDirectoryEntrySize = 8;
constexpr uint64_t kDataEntrySize = 16;

// The resource section's bytes, walked with every extent checked. Offsets
// are from the tree's start (data directory 2's address).
class TreeReader {
 public:
  TreeReader(std::span<const uint8_t> tree, uint32_t tree_rva, FaultHandler fault)
      : tree_(tree), tree_rva_(tree_rva), fault_(fault), entries_left_(tree.size() / 8 + 1) {}

  ResourceTree Read() {
    ResourceTree tree;
    for (const Entry& t : Directory(0, tree.header)) {
      ResourceType type{Key(t.name), {}, {}};
      for (const Entry& n : Directory(Subdirectory(t, "type"), type.header)) {
        ResourceName name{Key(n.name), {}, {}};
        for (const Entry& l : Directory(Subdirectory(n, "name"), name.header))
          name.languages.push_back(Data(l));
        type.names.push_back(std::move(name));
      }
      tree.types.push_back(std::move(type));
    }
    return tree;
  }

 private:
  struct Entry {
    uint32_t name = 0;    // an id, or a name's offset with the high bit set
    uint32_t target = 0;  // a table's offset with the high bit set, else a data entry's
  };

  std::vector<Entry> Directory(uint64_t at, ResourceDirectoryHeader& header) {
    if (!Holds(tree_, at, kDirectoryTableSize))
      Fail(fault_, "a resource directory at " + Hex(at) + " lies past the resources");
    const uint8_t* table = tree_.data() + at;
    header = {LoadLE32(table), LoadLE16(table + 8), LoadLE16(table + 10)};
    const uint64_t count = uint64_t{LoadLE16(table + 12)} + LoadLE16(table + 14);
    if (!Holds(tree_, at + kDirectoryTableSize, count * kDirectoryEntrySize))
      Fail(fault_, "a resource directory's " + std::to_string(count) + " entries at " + Hex(at) +
                       " run past the resources");
    // Distinct entries each take 8 bytes of the section: more than it
    // could hold means tables shared or looping, which would multiply the
    // tree read.
    if (count > entries_left_) Fail(fault_, "the resource directories share or loop");
    entries_left_ -= count;
    std::vector<Entry> entries;
    for (uint64_t i = 0; i < count; ++i) {
      const uint8_t* e = table + kDirectoryTableSize + i * kDirectoryEntrySize;
      entries.push_back({LoadLE32(e), LoadLE32(e + 4)});
    }
    return entries;
  }

  uint64_t Subdirectory(const Entry& e, const char* level) {
    if (!(e.target & kHighBit))
      Fail(fault_, std::string("a resource ") + level + "'s entry leads to data, not a directory");
    return e.target & ~kHighBit;
  }

  ResourceKey Key(uint32_t field) {
    if (!(field & kHighBit)) return ResourceKey::Id(field);
    const uint64_t at = field & ~kHighBit;
    if (!Holds(tree_, at, 2))
      Fail(fault_, "a resource name at " + Hex(at) + " lies past the resources");
    const uint64_t length = LoadLE16(tree_.data() + at);
    if (!Holds(tree_, at + 2, length * 2))
      Fail(fault_, "a resource name at " + Hex(at) + " runs past the resources");
    std::u16string name;
    for (uint64_t i = 0; i < length; ++i)
      name.push_back(static_cast<char16_t>(LoadLE16(tree_.data() + at + 2 + 2 * i)));
    return ResourceKey::Name(std::move(name));
  }

  ResourceData Data(const Entry& e) {
    if (e.target & kHighBit) Fail(fault_, "a resource's language entry is not data");
    if (!Holds(tree_, e.target, kDataEntrySize))
      Fail(fault_, "a resource data entry at " + Hex(e.target) + " lies past the resources");
    const uint8_t* entry = tree_.data() + e.target;
    const uint32_t rva = LoadLE32(entry), size = LoadLE32(entry + 4);
    if (rva < tree_rva_ || !Holds(tree_, rva - tree_rva_, size))
      Fail(fault_, "a resource's data (" + std::to_string(size) + " bytes at " + Hex(rva) +
                       ") lies outside the resource section");
    if (size > data_left_) Fail(fault_, "the resources' data add up to more than their section");
    data_left_ -= size;
    const auto bytes = tree_.subspan(rva - tree_rva_, size);
    return {Key(e.name), LoadLE32(entry + 8), {bytes.begin(), bytes.end()}};
  }

  std::span<const uint8_t> tree_;
  uint32_t tree_rva_;
  FaultHandler fault_;
  uint64_t entries_left_;
  uint64_t data_left_ = tree_.size();
};

// The section that holds data directory 2, and its index; `fault` unless
// the whole directory lies inside that section's data in `image`.
size_t ResourceSectionIndex(std::span<const uint8_t> image, const PeInfo& info,
                            FaultHandler fault) {
  const PeDataDirectory directory = info.Directory(kResourceDirectory);
  for (size_t i = 0; i < info.sections.size(); ++i) {
    const PeSection& s = info.sections[i];
    if (directory.rva < s.virtual_address || directory.rva - s.virtual_address >= s.raw_size)
      continue;
    const uint64_t within = directory.rva - s.virtual_address;
    if (directory.size > s.raw_size - within)
      Fail(fault, "the resource directory runs past the section " + s.name + "'s data");
    if (!Holds(image, s.raw_offset, s.raw_size))
      Fail(fault, "the section " + s.name + "'s data lies past the image's end");
    return i;
  }
  Fail(fault, "the resource directory at " + Hex(directory.rva) + " is in no section's data");
}

// ---------------------------------------------------------------------------
// Writing the tree

bool KeyLess(const ResourceKey& a, const ResourceKey& b) {
  if (a.named != b.named) return a.named;
  return a.named ? a.name < b.name : a.id < b.id;
}

template <typename T, typename KeyOf>
void SortByKey(std::vector<T>& items, KeyOf key_of) {
  std::stable_sort(items.begin(), items.end(),
                   [&](const T& a, const T& b) { return KeyLess(key_of(a), key_of(b)); });
}

// The tree's bytes, laid out in one pass over its sizes and one writing it.
class TreeWriter {
 public:
  TreeWriter(const ResourceTree& tree, uint32_t section_rva) : tree_(tree), rva_(section_rva) {}

  std::vector<uint8_t> Write() {
    // Where each part starts: the tables, breadth first, then the data
    // entries, the names, the blobs.
    uint64_t tables = TableSize(tree_.types.size());
    uint64_t leaves = 0, names = 0;
    auto count_name = [&](const ResourceKey& k) {
      if (k.named) names += 2 + 2 * uint64_t{k.name.size()};
    };
    for (const ResourceType& t : tree_.types) {
      count_name(t.type);
      tables += TableSize(t.names.size());
      for (const ResourceName& n : t.names) {
        count_name(n.name);
        tables += TableSize(n.languages.size());
        leaves += n.languages.size();
        for (const ResourceData& d : n.languages) count_name(d.language);
      }
    }
    next_table_ = 0;
    next_entry_ = tables;
    next_name_ = tables + leaves * kDataEntrySize;
    next_blob_ = AlignUp(next_name_ + names, kBlobAlignment);
    uint64_t size = next_blob_;
    for (const ResourceType& t : tree_.types)
      for (const ResourceName& n : t.names)
        for (const ResourceData& d : n.languages)
          size = AlignUp(size, kBlobAlignment) + d.bytes.size();
    if (size > 0x7FFFFFFF) CannotRewrite("the resources would exceed 2 GiB");
    out_.assign(static_cast<size_t>(size), 0);

    // Tables breadth first: the root, the types' tables, the names'.
    const uint64_t root = Table(tree_.header, tree_.types.size());
    std::vector<uint64_t> type_tables;
    for (size_t i = 0; i < tree_.types.size(); ++i)
      type_tables.push_back(Table(tree_.types[i].header, tree_.types[i].names.size()));
    std::vector<std::vector<uint64_t>> name_tables(tree_.types.size());
    for (size_t i = 0; i < tree_.types.size(); ++i)
      for (const ResourceName& n : tree_.types[i].names)
        name_tables[i].push_back(Table(n.header, n.languages.size()));

    for (size_t i = 0; i < tree_.types.size(); ++i) {
      const ResourceType& t = tree_.types[i];
      SetEntry(root, i, t.type, kHighBit | static_cast<uint32_t>(type_tables[i]));
      for (size_t j = 0; j < t.names.size(); ++j) {
        const ResourceName& n = t.names[j];
        SetEntry(type_tables[i], j, n.name, kHighBit | static_cast<uint32_t>(name_tables[i][j]));
        for (size_t k = 0; k < n.languages.size(); ++k)
          SetEntry(name_tables[i][j], k, n.languages[k].language, DataEntry(n.languages[k]));
      }
    }
    return std::move(out_);
  }

 private:
  static constexpr uint64_t kBlobAlignment = 8;

  static uint64_t TableSize(size_t entries) {
    return kDirectoryTableSize + kDirectoryEntrySize * entries;
  }

  uint8_t* At(uint64_t offset) { return out_.data() + offset; }

  uint64_t Table(const ResourceDirectoryHeader& header, size_t entries) {
    const uint64_t at = next_table_;
    next_table_ += TableSize(entries);
    StoreLE32(At(at), header.characteristics);  // TimeDateStamp stays 0
    StoreLE16(At(at + 8), header.major_version);
    StoreLE16(At(at + 10), header.minor_version);
    return at;
  }

  // Entry `index` of the table at `table`; the counts of named and id
  // entries are kept up to date as entries arrive (named ones come first).
  void SetEntry(uint64_t table, size_t index, const ResourceKey& key, uint32_t target) {
    uint8_t* e = At(table + kDirectoryTableSize + index * kDirectoryEntrySize);
    if (key.named) {
      StoreLE32(e, kHighBit | static_cast<uint32_t>(next_name_));
      StoreLE16(At(next_name_), static_cast<uint16_t>(key.name.size()));
      for (size_t i = 0; i < key.name.size(); ++i)
        StoreLE16(At(next_name_ + 2 + 2 * i), static_cast<uint16_t>(key.name[i]));
      next_name_ += 2 + 2 * uint64_t{key.name.size()};
      StoreLE16(At(table + 12), static_cast<uint16_t>(LoadLE16(At(table + 12)) + 1));
    } else {
      StoreLE32(e, key.id);
      StoreLE16(At(table + 14), static_cast<uint16_t>(LoadLE16(At(table + 14)) + 1));
    }
    StoreLE32(e + 4, target);
  }

  uint32_t DataEntry(const ResourceData& d) {
    const uint64_t entry = next_entry_;
    next_entry_ += kDataEntrySize;
    next_blob_ = AlignUp(next_blob_, kBlobAlignment);
    std::copy(d.bytes.begin(), d.bytes.end(), At(next_blob_));
    StoreLE32(At(entry), static_cast<uint32_t>(rva_ + next_blob_));
    StoreLE32(At(entry + 4), static_cast<uint32_t>(d.bytes.size()));
    StoreLE32(At(entry + 8), d.code_page);
    next_blob_ += d.bytes.size();
    return static_cast<uint32_t>(entry);
  }

  const ResourceTree& tree_;
  uint32_t rva_;
  std::vector<uint8_t> out_;
  uint64_t next_table_ = 0, next_entry_ = 0, next_name_ = 0, next_blob_ = 0;
};

// ---------------------------------------------------------------------------
// The version record

// VS_FIXEDFILEINFO: its size, signature and the fields written here.
constexpr uint16_t kFixedInfoSize = 52;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr size_t kFixedFileVersion = 8, kFixedProductVersion = 16;
constexpr uint16_t kBinaryValue = 0, kTextValue = 1;
// What a record made from nothing declares: U.S. English, Unicode.
constexpr char kNewStringTable[] = "040904B0";
constexpr uint16_t kUnicodeCodePage = 1200;

void PutVersion(uint8_t* at, const FourPartVersion& v) {
  StoreLE32(at, static_cast<uint32_t>(v[0]) << 16 | v[1]);
  StoreLE32(at + 4, static_cast<uint32_t>(v[2]) << 16 | v[3]);
}

std::vector<uint8_t> NewFixedInfo() {
  std::vector<uint8_t> fixed(kFixedInfoSize, 0);
  StoreLE32(fixed.data(), kFixedInfoSignature);
  StoreLE32(fixed.data() + 4, 0x00010000);   // structure version 1.0
  StoreLE32(fixed.data() + 24, 0x3F);        // FileFlagsMask: every defined flag
  StoreLE32(fixed.data() + 32, 0x00040004);  // VOS_NT_WINDOWS32
  StoreLE32(fixed.data() + 36, 1);           // VFT_APP
  return fixed;
}

// One block: header, key, value, then the children, each already a whole
// block, on 4-byte boundaries. wLength leaves out the padding after the
// last part, as resource compilers write it.
std::vector<uint8_t> Block(std::u16string_view key, uint16_t type, std::span<const uint8_t> value,
                           uint16_t value_length,
                           const std::vector<std::vector<uint8_t>>& children = {}) {
  std::vector<uint8_t> out(6, 0);
  for (char16_t unit : key) Put16(out, static_cast<uint16_t>(unit));
  Put16(out, 0);
  PadTo(out, 4);
  out.insert(out.end(), value.begin(), value.end());
  for (const std::vector<uint8_t>& child : children) {
    PadTo(out, 4);
    out.insert(out.end(), child.begin(), child.end());
  }
  if (out.size() > 0xFFFF)
    throw BuilderError("the version values are too long: a block of the version record would be " +
                       std::to_string(out.size()) + " bytes, more than the 65535 it may have");
  StoreLE16(out.data(), static_cast<uint16_t>(out.size()));
  StoreLE16(out.data() + 2, value_length);
  StoreLE16(out.data() + 4, type);
  return out;
}

std::vector<uint8_t> StringBlock(std::u16string_view key, std::u16string_view value) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : value) Put16(bytes, static_cast<uint16_t>(unit));
  Put16(bytes, 0);
  return Block(key, kTextValue, bytes, static_cast<uint16_t>(value.size() + 1));
}

std::vector<uint8_t> BytesOf(std::span<const uint8_t> record, const VersionBlock& b) {
  return {record.begin() + static_cast<std::ptrdiff_t>(b.start),
          record.begin() + static_cast<std::ptrdiff_t>(b.end)};
}

// The strings that the edits set, as the record's keys and UTF-16 values.
struct VersionChanges {
  std::map<std::string, std::u16string, std::less<>> strings;
  std::optional<FourPartVersion> file_version, product_version;
};

VersionChanges ChangesOf(const ResourceEdits& edits) {
  VersionChanges changes;
  for (const auto& [key, value] : edits.strings) {
    if (!IsVersionKey(key))
      throw BuilderError("\"" + key + "\" is not a key of the version record");
    std::optional<std::u16string> units = Utf16FromUtf8(value);
    if (!units) throw BuilderError("the version value of " + key + " is not valid UTF-8");
    if (units->find(u'\0') != std::u16string::npos)
      throw BuilderError("the version value of " + key + " holds a zero character");
    changes.strings[key] = std::move(*units);
  }
  auto follow = [&](const char* key, const std::optional<FourPartVersion>& v) {
    if (v && !changes.strings.contains(key))
      changes.strings[key] = Utf16Ascii(FormatFourPartVersion(*v));
  };
  follow("FileVersion", edits.file_version);
  follow("ProductVersion", edits.product_version);
  changes.file_version = edits.file_version;
  changes.product_version = edits.product_version;
  return changes;
}

// A string table: `key` (language and code page), the strings that were
// there with edited values replaced, then the new keys in kVersionKeys
// order.
std::vector<uint8_t> StringTable(std::u16string_view key,
                                 std::vector<std::pair<std::string, std::u16string>> strings,
                                 const VersionChanges& changes) {
  std::set<std::string, std::less<>> placed;
  for (auto& [k, value] : strings) {
    if (const auto it = changes.strings.find(k); it != changes.strings.end()) {
      value = it->second;
      placed.insert(k);
    }
  }
  for (std::string_view k : kVersionKeys) {
    const auto it = changes.strings.find(k);
    if (it != changes.strings.end() && !placed.contains(k)) strings.emplace_back(k, it->second);
  }
  std::vector<std::vector<uint8_t>> children;
  // Keys read from the record come as UTF-8 made from UTF-16, so they
  // convert back.
  for (const auto& [k, value] : strings)
    children.push_back(StringBlock(Utf16FromUtf8(k).value_or(u"?"), value));
  return Block(key, kTextValue, {}, 0, children);
}

std::vector<uint8_t> StringFileInfo(std::vector<std::vector<uint8_t>> tables) {
  return Block(u"StringFileInfo", kTextValue, {}, 0, tables);
}

std::vector<uint8_t> NewVersionRecord(const VersionChanges& changes) {
  std::vector<uint8_t> fixed = NewFixedInfo();
  if (changes.file_version) PutVersion(fixed.data() + kFixedFileVersion, *changes.file_version);
  if (changes.product_version)
    PutVersion(fixed.data() + kFixedProductVersion, *changes.product_version);
  std::vector<uint8_t> translation;
  Put16(translation, kLanguageEnglishUs);
  Put16(translation, kUnicodeCodePage);
  return Block(u"VS_VERSION_INFO", kBinaryValue, fixed, kFixedInfoSize,
               {StringFileInfo({StringTable(Utf16Ascii(kNewStringTable), {}, changes)}),
                Block(u"VarFileInfo", kTextValue, {}, 0,
                      {Block(u"Translation", kBinaryValue, translation, 4)})});
}

// `record` rebuilt with `changes`: its fixed part, its first string table
// and nothing else edited.
std::vector<uint8_t> EditVersionRecord(std::span<const uint8_t> record,
                                       const VersionChanges& changes) {
  const FaultHandler fault = CannotRewriteVersion;
  const VersionBlock root = ReadVersionBlock(record, 0, record.size(), fault);
  if (root.key != "VS_VERSION_INFO")
    CannotRewriteVersion("the record's key is not VS_VERSION_INFO");
  if (root.value + root.value_length > root.end)
    CannotRewriteVersion("the fixed part runs past the record");
  std::vector<uint8_t> fixed(
      record.begin() + static_cast<std::ptrdiff_t>(root.value),
      record.begin() + static_cast<std::ptrdiff_t>(root.value + root.value_length));
  if (changes.file_version || changes.product_version) {
    if (fixed.size() != kFixedInfoSize || LoadLE32(fixed.data()) != kFixedInfoSignature)
      CannotRewriteVersion("the fixed part is not a VS_FIXEDFILEINFO");
    if (changes.file_version) PutVersion(fixed.data() + kFixedFileVersion, *changes.file_version);
    if (changes.product_version)
      PutVersion(fixed.data() + kFixedProductVersion, *changes.product_version);
  }

  std::vector<std::vector<uint8_t>> children;
  bool strings_placed = false;
  for (const VersionBlock& child :
       ReadVersionBlocks(record, Align4(root.value + root.value_length), root.end, fault)) {
    if (child.key != "StringFileInfo" || strings_placed) {
      children.push_back(BytesOf(record, child));
      continue;
    }
    std::vector<std::vector<uint8_t>> tables;
    for (const VersionBlock& table : ReadVersionBlocks(record, child.value, child.end, fault)) {
      if (!tables.empty()) {
        tables.push_back(BytesOf(record, table));
        continue;
      }
      std::vector<std::pair<std::string, std::u16string>> strings;
      for (const VersionBlock& s : ReadVersionBlocks(record, table.value, table.end, fault))
        strings.emplace_back(s.key, VersionTextUnits(record, s));
      const std::optional<std::u16string> key = Utf16FromUtf8(table.key);
      tables.push_back(StringTable(key.value_or(u""), std::move(strings), changes));
    }
    if (tables.empty()) tables.push_back(StringTable(Utf16Ascii(kNewStringTable), {}, changes));
    children.push_back(StringFileInfo(std::move(tables)));
    strings_placed = true;
  }
  if (!strings_placed && !changes.strings.empty())
    children.insert(children.begin(),
                    StringFileInfo({StringTable(Utf16Ascii(kNewStringTable), {}, changes)}));
  return Block(u"VS_VERSION_INFO", root.type, fixed, root.value_length, children);
}

// ---------------------------------------------------------------------------
// Editing the tree

ResourceType& TypeOf(ResourceTree& tree, uint32_t id) {
  for (ResourceType& t : tree.types)
    if (t.type == ResourceKey::Id(id)) return t;
  tree.types.push_back({ResourceKey::Id(id), {}, {}});
  return tree.types.back();
}

void EditVersion(ResourceTree& tree, const ResourceEdits& edits) {
  const VersionChanges changes = ChangesOf(edits);
  for (ResourceType& t : tree.types) {
    if (t.type != ResourceKey::Id(kResourceTypeVersion)) continue;
    for (ResourceName& n : t.names) {
      if (n.languages.empty()) continue;
      ResourceData& record = n.languages.front();
      record.bytes = EditVersionRecord(record.bytes, changes);
      return;
    }
  }
  TypeOf(tree, kResourceTypeVersion)
      .names.push_back({ResourceKey::Id(1),
                        {},
                        {{ResourceKey::Id(kLanguageEnglishUs), 0, NewVersionRecord(changes)}}});
}

void EditIcon(ResourceTree& tree, const std::vector<IconImage>& images) {
  // Both types exist from here on, so that no later addition moves them.
  TypeOf(tree, kResourceTypeGroupIcon);
  ResourceType& icons = TypeOf(tree, kResourceTypeIcon);
  // The group to replace: the first in directory order.
  ResourceData* group = nullptr;
  std::set<uint32_t> kept_ids;  // the icons other groups use
  for (ResourceType& t : tree.types) {
    if (t.type != ResourceKey::Id(kResourceTypeGroupIcon)) continue;
    for (ResourceName& n : t.names) {
      for (ResourceData& d : n.languages) {
        if (group == nullptr) {
          group = &d;
        } else {
          for (uint32_t id : GroupIconIds(d.bytes)) kept_ids.insert(id);
        }
      }
    }
  }
  if (group == nullptr) {
    ResourceName name{ResourceKey::Name(u"MAINICON"), {}, {}};
    name.languages.push_back({ResourceKey::Id(kLanguageEnglishUs), 0, {}});
    std::vector<ResourceName>& names = TypeOf(tree, kResourceTypeGroupIcon).names;
    names.push_back(std::move(name));
    group = &names.back().languages.back();
  }
  std::set<uint32_t> dropped;
  for (uint32_t id : GroupIconIds(group->bytes))
    if (!kept_ids.contains(id)) dropped.insert(id);
  std::erase_if(icons.names, [&](const ResourceName& n) {
    return !n.name.named && dropped.contains(n.name.id);
  });
  std::set<uint32_t> taken;
  for (const ResourceName& n : icons.names)
    if (!n.name.named) taken.insert(n.name.id);

  std::vector<uint8_t> directory;
  Put16(directory, 0);
  Put16(directory, 1);
  Put16(directory, static_cast<uint16_t>(images.size()));
  uint32_t id = 1;
  for (const IconImage& image : images) {
    while (taken.contains(id)) ++id;
    if (id > 0xFFFF)
      CannotRewrite("no icon ids are left for " + std::to_string(images.size()) + " images");
    taken.insert(id);
    directory.insert(directory.end(), image.group_fields.begin(), image.group_fields.end());
    Put32(directory, static_cast<uint32_t>(image.bytes.size()));
    Put16(directory, static_cast<uint16_t>(id));
    icons.names.push_back(
        {ResourceKey::Id(id),
         {},
         {{group->language, group->code_page, {image.bytes.begin(), image.bytes.end()}}}});
  }
  group->bytes = std::move(directory);
}

// ---------------------------------------------------------------------------
// The image around the resources

// Fields of the optional header that the rewrite sets, from its start (the
// same in PE32 and PE32+).
constexpr uint64_t kOptSizeOfInitializedData = 8;
constexpr uint64_t kOptSizeOfImage = 56;
constexpr uint64_t kSectionHeaderSize = 40;
constexpr uint64_t kSectionVirtualSize = 8, kSectionVirtualAddress = 12, kSectionRawSize = 16,
                   kSectionRawOffset = 20;
constexpr uint32_t kSectionInitializedData = 0x40;  // IMAGE_SCN_CNT_INITIALIZED_DATA
constexpr size_t kBaseRelocationDirectory = 5;

bool PowerOfTwo(uint32_t v) {
  return v != 0 && (v & (v - 1)) == 0;
}

// How much address space a section takes from its address on.
uint64_t Extent(const PeSection& s) {
  return s.virtual_size != 0 ? s.virtual_size : s.raw_size;
}

bool Inside(uint64_t rva, uint64_t start, uint64_t size) {
  return rva >= start && rva - start < size;
}

// Windows loads no image whose FileAlignment is larger.
constexpr uint32_t kMaxFileAlignment = 0x10000;

// Checks that the rewrite can lay `image` out again, and returns the index
// of its resource section.
size_t CheckLayout(std::span<const uint8_t> image, const PeInfo& info) {
  if (info.HasCertificateTable()) CannotRewrite("the image carries a certificate table");
  if (info.symbol_table_offset != 0 || info.symbol_count != 0)
    CannotRewrite("the image carries a COFF symbol table");
  if (image.size() > info.image_end)
    CannotRewrite(std::to_string(image.size() - info.image_end) + " bytes follow the image");
  if (image.size() < info.image_end)
    CannotRewrite("the image is cut short (" + std::to_string(image.size()) + " of " +
                  std::to_string(info.image_end) + " bytes)");
  if (!PowerOfTwo(info.file_alignment) || !PowerOfTwo(info.section_alignment))
    CannotRewrite("the image's alignments (" + Hex(info.file_alignment) + ", " +
                  Hex(info.section_alignment) + ") are not powers of two");
  // The resource section is padded out to the file alignment: a field of the
  // file must not size that padding beyond what any loader accepts.
  if (info.file_alignment > kMaxFileAlignment)
    CannotRewrite("the image's file alignment " + Hex(info.file_alignment) + " is over " +
                  Hex(kMaxFileAlignment));
  const PeDataDirectory resources = info.Directory(kResourceDirectory);
  if (resources.rva == 0 || resources.size == 0) CannotRewrite("the image has no resources");
  const size_t r = ResourceSectionIndex(image, info, CannotRewrite);
  const PeSection& rsrc = info.sections[r];
  if (resources.rva != rsrc.virtual_address)
    CannotRewrite("the resources do not start the section " + rsrc.name);
  if (info.section_table_offset + kSectionHeaderSize * info.sections.size() > rsrc.raw_offset)
    CannotRewrite("the headers reach into the section " + rsrc.name);
  for (size_t d = 0; d < info.directories.size(); ++d) {
    if (d == kResourceDirectory || d == kSecurityDirectory || info.directories[d].size == 0)
      continue;
    const uint32_t rva = info.directories[d].rva;
    if (Inside(rva, rsrc.virtual_address, Extent(rsrc)))
      CannotRewrite("the section " + rsrc.name + " holds data directory " + std::to_string(d) +
                    " besides the resources");
    // Past the resources, only what moves with a later section is safe:
    // anything else may end up inside the resources once they grow.
    if (rva > rsrc.virtual_address &&
        std::none_of(info.sections.begin() + static_cast<std::ptrdiff_t>(r) + 1,
                     info.sections.end(),
                     [&](const PeSection& s) { return Inside(rva, s.virtual_address, Extent(s)); }))
      CannotRewrite("data directory " + std::to_string(d) + " at " + Hex(rva) +
                    " lies past the resources in no section");
  }
  const PeDataDirectory relocations = info.Directory(kBaseRelocationDirectory);
  for (size_t i = 0; i < info.sections.size(); ++i) {
    const PeSection& s = info.sections[i];
    if (i < r) {
      if (uint64_t{s.virtual_address} + Extent(s) > rsrc.virtual_address ||
          (s.raw_size != 0 && uint64_t{s.raw_offset} + s.raw_size > rsrc.raw_offset))
        CannotRewrite("the section " + s.name + " overlaps or follows the resources");
    } else if (i > r) {
      // Only what no code addresses may move: the base relocations, which
      // the loader finds through their directory alone.
      if (relocations.size == 0 || !Inside(relocations.rva, s.virtual_address, Extent(s)))
        CannotRewrite("the section " + s.name + " follows the resources");
      const PeSection& before = info.sections[i - 1];
      if (s.virtual_address < uint64_t{before.virtual_address} + Extent(before) ||
          s.raw_size == 0 || s.raw_offset < uint64_t{before.raw_offset} + before.raw_size)
        CannotRewrite("the section " + s.name + " is not laid out after the one before it");
    }
  }
  return r;
}

std::vector<uint8_t> LayOut(std::span<const uint8_t> image, const PeInfo& info, size_t r,
                            std::span<const uint8_t> tree) {
  const PeSection& rsrc = info.sections[r];
  const uint64_t new_raw_size = AlignUp(tree.size(), info.file_alignment);
  std::vector<uint8_t> out(image.begin(),
                           image.begin() + static_cast<std::ptrdiff_t>(rsrc.raw_offset));
  out.insert(out.end(), tree.begin(), tree.end());
  out.resize(static_cast<size_t>(out.size() + (new_raw_size - tree.size())), 0);

  auto section_field = [&](size_t i, uint64_t field) {
    return out.data() + info.section_table_offset + i * kSectionHeaderSize + field;
  };
  StoreLE32(section_field(r, kSectionVirtualSize), static_cast<uint32_t>(tree.size()));
  StoreLE32(section_field(r, kSectionRawSize), static_cast<uint32_t>(new_raw_size));

  std::vector<PeDataDirectory> directories = info.directories;
  directories[kResourceDirectory].size = static_cast<uint32_t>(tree.size());
  uint64_t next_address =
      AlignUp(uint64_t{rsrc.virtual_address} + tree.size(), info.section_alignment);
  uint64_t image_size = next_address;
  for (size_t i = r + 1; i < info.sections.size(); ++i) {
    const PeSection& s = info.sections[i];
    const uint64_t raw_offset = out.size();
    out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(s.raw_offset),
               image.begin() + static_cast<std::ptrdiff_t>(uint64_t{s.raw_offset} + s.raw_size));
    for (size_t d = 0; d < directories.size(); ++d)
      if (d != kSecurityDirectory && d != kResourceDirectory &&
          Inside(info.directories[d].rva, s.virtual_address, Extent(s)))
        directories[d].rva =
            static_cast<uint32_t>(directories[d].rva - s.virtual_address + next_address);
    StoreLE32(section_field(i, kSectionVirtualAddress), static_cast<uint32_t>(next_address));
    StoreLE32(section_field(i, kSectionRawOffset), static_cast<uint32_t>(raw_offset));
    next_address = AlignUp(next_address + Extent(s), info.section_alignment);
    image_size = next_address;
  }
  if (out.size() > 0x7FFFFFFF || image_size > 0xFFFFFFFF)
    CannotRewrite("the image would exceed 2 GiB");
  for (size_t d = 0; d < directories.size(); ++d) {
    StoreLE32(out.data() + info.directories_offset + 8 * d, directories[d].rva);
    StoreLE32(out.data() + info.directories_offset + 8 * d + 4, directories[d].size);
  }
  // The sections before the resources end where they did.
  for (size_t i = 0; i < r; ++i)
    image_size = std::max(
        image_size, AlignUp(uint64_t{info.sections[i].virtual_address} + Extent(info.sections[i]),
                            info.section_alignment));
  StoreLE32(out.data() + info.optional_offset + kOptSizeOfImage, static_cast<uint32_t>(image_size));
  // Kept by the linker's own count, whatever that counts: it changes by
  // what the resource section's data changes.
  if (rsrc.characteristics & kSectionInitializedData) {
    uint8_t* field = out.data() + info.optional_offset + kOptSizeOfInitializedData;
    const int64_t initialized =
        int64_t{LoadLE32(field)} + static_cast<int64_t>(new_raw_size) - int64_t{rsrc.raw_size};
    StoreLE32(field, static_cast<uint32_t>(std::clamp<int64_t>(initialized, 0, 0xFFFFFFFF)));
  }
  StoreLE32(out.data() + info.checksum_offset, PeChecksum(out, info.checksum_offset));
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------

bool IsVersionKey(std::string_view key) {
  return std::find(kVersionKeys.begin(), kVersionKeys.end(), key) != kVersionKeys.end();
}

std::optional<FourPartVersion> ParseFourPartVersion(std::string_view text) {
  FourPartVersion version{};
  size_t part = 0;
  size_t at = 0;
  while (true) {
    if (part == version.size()) return std::nullopt;
    size_t digits = 0;
    uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      value = value * 10 + static_cast<uint32_t>(text[at] - '0');
      if (value > 0xFFFF) return std::nullopt;
      ++at, ++digits;
    }
    if (digits == 0) return std::nullopt;
    version[part++] = static_cast<uint16_t>(value);
    if (at == text.size()) return version;
    if (text[at] != '.') return std::nullopt;
    ++at;
  }
}

std::string FormatFourPartVersion(const FourPartVersion& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

void CheckIconFile(std::span<const uint8_t> ico) {
  ReadIconFile(ico);
}

const ResourceData* ResourceTree::First(uint32_t type) const {
  for (const ResourceType& t : types) {
    if (t.type != ResourceKey::Id(type)) continue;
    for (const ResourceName& n : t.names)
      if (!n.languages.empty()) return &n.languages.front();
  }
  return nullptr;
}

ResourceTree ReadResourceTree(std::span<const uint8_t> image, const PeInfo& info,
                              FaultHandler fault) {
  const PeDataDirectory directory = info.Directory(kResourceDirectory);
  if (directory.rva == 0 || directory.size == 0) return {};
  const PeSection& s = info.sections[ResourceSectionIndex(image, info, fault)];
  // The tree's offsets count from the directory; its data may lie anywhere
  // in the section's loaded bytes after it.
  // (the bytes the loader maps, not the file's padding after them).
  const uint64_t within = directory.rva - s.virtual_address;
  uint64_t size = s.raw_size - within;
  if (s.virtual_size != 0 && s.virtual_size < s.raw_size)
    size =
        std::max<uint64_t>(s.virtual_size > within ? s.virtual_size - within : 0, directory.size);
  return TreeReader(
             image.subspan(static_cast<size_t>(s.raw_offset + within), static_cast<size_t>(size)),
             directory.rva, fault)
      .Read();
}

std::vector<uint8_t> WriteResourceTree(const ResourceTree& tree, uint32_t section_rva) {
  ResourceTree sorted = tree;
  SortByKey(sorted.types, [](const ResourceType& t) -> const ResourceKey& { return t.type; });
  for (ResourceType& t : sorted.types) {
    SortByKey(t.names, [](const ResourceName& n) -> const ResourceKey& { return n.name; });
    for (ResourceName& n : t.names)
      SortByKey(n.languages,
                [](const ResourceData& d) -> const ResourceKey& { return d.language; });
  }
  return TreeWriter(sorted, section_rva).Write();
}

uint32_t PeChecksum(std::span<const uint8_t> image, uint64_t checksum_offset) {
  uint64_t sum = 0;
  for (uint64_t i = 0; i < image.size(); i += 2) {
    auto byte = [&](uint64_t at) -> uint32_t {
      const bool in_field = at >= checksum_offset && at < checksum_offset + 4;
      return at < image.size() && !in_field ? image[static_cast<size_t>(at)] : 0;
    };
    sum += byte(i) | byte(i + 1) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

std::vector<uint8_t> RewriteResources(std::span<const uint8_t> image, const ResourceEdits& edits) {
  if (edits.Empty()) return {image.begin(), image.end()};
  // The edits are judged before the image, so that a bad icon or value is
  // named as such whatever the launcher.
  std::vector<IconImage> icon;
  if (!edits.icon.empty()) icon = ReadIconFile(edits.icon);
  const bool version_edits = !edits.strings.empty() || edits.file_version || edits.product_version;
  if (version_edits) ChangesOf(edits);

  const PeHeaders pe = ParsePeHeaders(image);
  if (pe.fault != PeFault::kNone) CannotRewrite("not a Windows program: " + pe.reason);
  const size_t r = CheckLayout(image, pe.info);
  ResourceTree tree = ReadResourceTree(image, pe.info, CannotRewrite);
  // Directories without resources under them are not written again: the
  // edits below then never meet one.
  for (ResourceType& t : tree.types)
    std::erase_if(t.names, [](const ResourceName& n) { return n.languages.empty(); });
  std::erase_if(tree.types, [](const ResourceType& t) { return t.names.empty(); });
  if (!icon.empty()) EditIcon(tree, icon);
  if (version_edits) EditVersion(tree, edits);
  const std::vector<uint8_t> bytes = WriteResourceTree(tree, pe.info.sections[r].virtual_address);
  return LayOut(image, pe.info, r, bytes);
}

}  // namespace kv::tools

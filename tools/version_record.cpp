#include "tools/version_record.h"

#include <algorithm>

#include "core/bytes.h"
#include "tools/archive_writer.h"
#include "tools/pe_resources.h"

namespace kv::tools {

namespace {

[[noreturn]] void Damaged(const std::string& reason) {
  throw BuilderError("version record: " + reason);
}

// A FaultHandler's call, for the compiler's sake of [[noreturn]]: a handler
// that returned would break its contract, and the throw after it keeps the
// reader from reading on.
[[noreturn]] void Fail(FaultHandler fault, const std::string& reason) {
  fault(reason);
  throw BuilderError(reason);
}

}  // namespace

std::string Utf8FromUtf16(std::u16string_view units) {
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

VersionBlock ReadVersionBlock(std::span<const uint8_t> record, uint64_t at, uint64_t limit,
                              FaultHandler fault) {
  if (at + 6 > limit) Fail(fault, "a block's header runs past its parent");
  const uint16_t length = LoadLE16(record.data() + at);
  if (length < 6 || at + length > limit)
    Fail(fault, "a block's length " + std::to_string(length) + " at " + std::to_string(at) +
                    " does not fit its parent");
  VersionBlock b;
  b.start = at;
  b.end = at + length;
  b.value_length = LoadLE16(record.data() + at + 2);
  b.type = LoadLE16(record.data() + at + 4);
  std::u16string key;
  uint64_t p = at + 6;
  for (;; p += 2) {
    if (p + 2 > b.end) Fail(fault, "a block's key at " + std::to_string(at) + " has no end");
    const uint16_t unit = LoadLE16(record.data() + p);
    if (unit == 0) break;
    key.push_back(static_cast<char16_t>(unit));
  }
  b.key = Utf8FromUtf16(key);
  b.value = std::min(Align4(p + 2), b.end);
  return b;
}

std::vector<VersionBlock> ReadVersionBlocks(std::span<const uint8_t> record, uint64_t at,
                                            uint64_t limit, FaultHandler fault) {
  std::vector<VersionBlock> blocks;
  while (at < limit) {
    blocks.push_back(ReadVersionBlock(record, at, limit, fault));
    at = Align4(blocks.back().end);
  }
  return blocks;
}

std::u16string VersionTextUnits(std::span<const uint8_t> record, const VersionBlock& b) {
  std::u16string units;
  for (uint64_t p = b.value; p + 2 <= b.end; p += 2) {
    const uint16_t unit = LoadLE16(record.data() + p);
    if (unit == 0) break;
    units.push_back(static_cast<char16_t>(unit));
  }
  return units;
}

VersionStrings ParseVersionInfo(std::span<const uint8_t> record) {
  const VersionBlock root = ReadVersionBlock(record, 0, record.size(), Damaged);
  if (root.key != "VS_VERSION_INFO") Damaged("the record's key is not VS_VERSION_INFO");
  // The fixed part (VS_FIXEDFILEINFO) is wValueLength bytes long.
  if (root.value + root.value_length > root.end) Damaged("the fixed part runs past the record");
  VersionStrings strings;
  for (const VersionBlock& child :
       ReadVersionBlocks(record, Align4(root.value + root.value_length), root.end, Damaged)) {
    if (child.key != "StringFileInfo") continue;
    // One table per language and code page.
    for (const VersionBlock& table : ReadVersionBlocks(record, child.value, child.end, Damaged))
      for (const VersionBlock& string : ReadVersionBlocks(record, table.value, table.end, Damaged))
        strings.emplace_back(string.key, Utf8FromUtf16(VersionTextUnits(record, string)));
  }
  return strings;
}

std::optional<VersionStrings> ReadVersionStrings(std::span<const uint8_t> image,
                                                 const PeInfo& info) {
  const ResourceTree tree = ReadResourceTree(image, info, Damaged);
  const ResourceData* record = tree.First(kResourceTypeVersion);
  if (record == nullptr) return std::nullopt;
  return ParseVersionInfo(record->bytes);
}

}  // namespace kv::tools

// A launcher image's resources, rewritten: the icon that Explorer shows and
// the version record that the file's properties show are replaced before
// the launcher is stamped, and everything else in the image stays.
//
// The resource section is read whole into a ResourceTree (type -> name ->
// language -> data, three levels and no more), edited there and written
// out as a fresh tree: every directory table first (breadth first), then
// the data entries, then the names, then the data, each blob on an 8-byte
// boundary. The writer is deterministic: the same image and edits give the
// same bytes.
//
// The image around it is then laid out again: the resource section keeps
// its address and takes the new tree's size, and the sections after it
// (only a base relocation section is accepted there: nothing but a data
// directory points into it) move in the file and in memory. The headers
// that depend on the layout (section table, directories, SizeOfImage,
// SizeOfInitializedData, CheckSum) are written anew.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/pe_image.h"
#include "tools/version_record.h"

namespace kv::tools {

// Resource types the rewriter knows.
inline constexpr uint32_t kResourceTypeIcon = 3;        // RT_ICON
inline constexpr uint32_t kResourceTypeGroupIcon = 14;  // RT_GROUP_ICON
inline constexpr uint32_t kResourceTypeManifest = 24;   // RT_MANIFEST
// The language of the resources this writer adds: U.S. English.
inline constexpr uint32_t kLanguageEnglishUs = 0x0409;

// The version record's string keys a packager may set, in the order new
// ones are appended to the record.
inline constexpr std::array<std::string_view, 9> kVersionKeys = {
    "CompanyName",      "FileDescription", "FileVersion",    "InternalName", "LegalCopyright",
    "OriginalFilename", "ProductName",     "ProductVersion", "Comments"};
// Whether `key` is one of kVersionKeys (exact, case-sensitive).
bool IsVersionKey(std::string_view key);

using FourPartVersion = std::array<uint16_t, 4>;
// "A.B.C.D" with 1 to 4 decimal parts, each 0..65535 (missing parts are 0);
// nullopt for anything else (an empty part, a sign, a space, a fifth part,
// a part over 65535).
std::optional<FourPartVersion> ParseFourPartVersion(std::string_view text);
// "1.2.0.0": all four parts.
std::string FormatFourPartVersion(const FourPartVersion& version);

struct ResourceEdits {
  std::vector<uint8_t> icon;  // an .ico file's bytes; empty: the icon stays
  // (key, UTF-8 value) in the order given; each key IsVersionKey; a later
  // pair for the same key wins.
  VersionStrings strings;
  std::optional<FourPartVersion> file_version;
  std::optional<FourPartVersion> product_version;

  // Nothing to change.
  bool Empty() const {
    return icon.empty() && strings.empty() && !file_version && !product_version;
  }
};

// The largest .ico file accepted: far more than any icon needs, and a bound
// on every size the icon's fields give.
inline constexpr size_t kMaxIconFileSize = 16 * 1024 * 1024;

// Raises BuilderError "not an icon file (REASON)" unless `ico` is a
// well-formed .ico file: an ICONDIR (reserved 0, type 1, at least one
// image), each ICONDIRENTRY's image non-empty, inside the file after the
// directory, and either a PNG or a bitmap (a BITMAPINFOHEADER); at most
// kMaxIconFileSize bytes.
void CheckIconFile(std::span<const uint8_t> ico);

// The launcher image `image` with its resources edited as `edits` says;
// `image` itself, byte for byte, when edits.Empty().
//
// The icon replaces the first icon group (RT_GROUP_ICON) in directory
// order, keeping its name and language; the icons (RT_ICON) that only the
// old group used go, and the new ones take the smallest free ids. An image
// without an icon group gets one named "MAINICON" (U.S. English). The
// version record (the first RT_VERSION) keeps its fixed part but for the
// versions given, its first string table's language key and strings in
// their order (edited values replaced, new keys appended in kVersionKeys
// order; FileVersion and ProductVersion follow file_version and
// product_version unless set as strings) and everything else as it was; an
// image without one gets one (id 1, U.S. English, "040904B0") when any
// version edit is asked for. Every other resource stays byte for byte.
//
// Raises BuilderError "not an icon file (REASON)" for a bad icon, "the
// version value of KEY is not valid UTF-8" and the like for bad strings,
// and "cannot rewrite the launcher's resources (REASON)" for an image whose
// resources or layout it cannot handle: a damaged resource tree, a
// certificate table, a COFF symbol table, bytes after the image, a resource
// section shared with other data or followed by a section other than the
// base relocations.
std::vector<uint8_t> RewriteResources(std::span<const uint8_t> image, const ResourceEdits& edits);

// ---------------------------------------------------------------------------
// The resource tree, as RewriteResources reads and writes it; also for
// tests and readers that want more than the version strings.

// An entry's name at any level: a 16-bit id, or a string.
struct ResourceKey {
  bool named = false;
  uint32_t id = 0;      // when !named
  std::u16string name;  // when named

  static ResourceKey Id(uint32_t id) { return {false, id, {}}; }
  static ResourceKey Name(std::u16string name) { return {true, 0, std::move(name)}; }
  bool operator==(const ResourceKey&) const = default;
};

// What a directory table carries besides its entries.
struct ResourceDirectoryHeader {
  uint32_t characteristics = 0;
  uint16_t major_version = 0;
  uint16_t minor_version = 0;
};

struct ResourceData {
  ResourceKey language;
  uint32_t code_page = 0;
  std::vector<uint8_t> bytes;
};

struct ResourceName {
  ResourceKey name;
  ResourceDirectoryHeader header;
  std::vector<ResourceData> languages;
};

struct ResourceType {
  ResourceKey type;
  ResourceDirectoryHeader header;
  std::vector<ResourceName> names;
};

struct ResourceTree {
  ResourceDirectoryHeader header;
  std::vector<ResourceType> types;  // in directory order

  // The first resource of `type` in directory order (its first name's
  // first language); nullptr when there is none.
  const ResourceData* First(uint32_t type) const;
};

// The resource tree of `image` (the whole image's bytes, whose headers are
// `info`); an empty tree when data directory 2 is empty. Every table, name
// and data entry must lie inside the section that holds the directory, and
// so must every resource's data; the data of all resources together may not
// exceed that section's size, and no more entries are walked than the
// section could hold, so shared or looping directories cannot make the
// reader allocate more than the image holds. Calls `fault` with the reason
// for anything else.
ResourceTree ReadResourceTree(std::span<const uint8_t> image, const PeInfo& info,
                              FaultHandler fault);

// The tree as a resource section's bytes, to be loaded at `section_rva`
// (the data entries hold addresses): tables sorted as the loader searches
// them (named entries first, by their UTF-16 units, then ids ascending),
// TimeDateStamp 0.
std::vector<uint8_t> WriteResourceTree(const ResourceTree& tree, uint32_t section_rva);

// The PE checksum of `image`: its 16-bit little-endian words summed with
// the carries folded back in, the CheckSum field at `checksum_offset`
// taken as 0, plus the image's length.
uint32_t PeChecksum(std::span<const uint8_t> image, uint64_t checksum_offset);

}  // namespace kv::tools

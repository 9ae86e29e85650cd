// The builder's rewriting of a launcher's resources: icon files judged,
// version texts parsed, the resource tree read and written, and whole
// images rewritten - the real launchers (i686 and x86-64 builds) where they
// have been built, and images crafted here (tests/kit/pe_images.h) with
// resource sections made by the tree writer.
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/bytes.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tests/kit/launcher_fake.h"
#include "tests/kit/pe_images.h"
#include "tools/pe_image.h"
#include "tools/pe_resources.h"
#include "tools/stamp.h"

namespace kv {
namespace {

using test::Failure;
using test::FailureOf;
using tools::FourPartVersion;
using tools::ResourceData;
using tools::ResourceEdits;
using tools::ResourceKey;
using tools::ResourceTree;
using tools::VersionStrings;

constexpr uint32_t kResourceRva = 0x2000;

// A FaultHandler for tests that read trees they expect to be sound.
void Throw(const std::string& reason) {
  throw std::runtime_error(reason);
}

ResourceTree TreeOf(const std::vector<uint8_t>& image) {
  return tools::ReadResourceTree(image, tools::ReadPeHeaders(image), Throw);
}

// The resource (type, name, language), or nullptr.
const ResourceData* Find(const ResourceTree& tree, const ResourceKey& type,
                         const ResourceKey& name) {
  for (const tools::ResourceType& t : tree.types)
    for (const tools::ResourceName& n : t.names)
      if (t.type == type && n.name == name && !n.languages.empty()) return &n.languages[0];
  return nullptr;
}

std::vector<uint32_t> IdsOf(const ResourceTree& tree, uint32_t type) {
  std::vector<uint32_t> ids;
  for (const tools::ResourceType& t : tree.types)
    if (t.type == ResourceKey::Id(type))
      for (const tools::ResourceName& n : t.names) ids.push_back(n.name.id);
  return ids;
}

// The PE checksum computed the long way: all 16-bit words summed in 64
// bits, the carries folded in once at the end.
uint32_t IndependentChecksum(const std::vector<uint8_t>& image, size_t field) {
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    if (i >= field && i < field + 4) continue;
    sum += image[i] + (i + 1 < image.size() ? image[i + 1] * 256u : 0u);
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

uint64_t AlignUp(uint64_t v, uint64_t a) {
  return (v + a - 1) / a * a;
}

// What a loader needs of a laid-out image: sections in address order on
// their alignments, their data inside the file, SizeOfImage and the
// resource directory matching them, the checksum right.
void ExpectSoundLayout(const std::vector<uint8_t>& image) {
  const tools::PeHeaders pe = tools::ParsePeHeaders(image);
  ASSERT_EQ(pe.fault, tools::PeFault::kNone) << pe.reason;
  const tools::PeInfo& info = pe.info;
  EXPECT_EQ(info.image_end, image.size());
  uint64_t next = 0;
  for (const tools::PeSection& s : info.sections) {
    EXPECT_EQ(s.virtual_address % info.section_alignment, 0u) << s.name;
    EXPECT_GE(s.virtual_address, next) << s.name;
    EXPECT_EQ(s.raw_offset % info.file_alignment, 0u) << s.name;
    EXPECT_LE(uint64_t{s.raw_offset} + s.raw_size, image.size()) << s.name;
    next = AlignUp(uint64_t{s.virtual_address} + s.virtual_size, info.section_alignment);
  }
  EXPECT_EQ(info.size_of_image, next);
  const tools::PeSection& rsrc = info.sections[info.sections.size() - 2];
  EXPECT_EQ(rsrc.name, ".rsrc");
  EXPECT_EQ(info.Directory(2).rva, rsrc.virtual_address);
  EXPECT_EQ(info.Directory(2).size, rsrc.virtual_size);
  EXPECT_EQ(rsrc.raw_size, AlignUp(rsrc.virtual_size, info.file_alignment));
  const tools::PeSection& reloc = info.sections.back();
  EXPECT_EQ(info.Directory(5).rva, reloc.virtual_address);
  EXPECT_EQ(LoadLE32(image.data() + info.checksum_offset),
            IndependentChecksum(image, info.checksum_offset));
}

// ---------------------------------------------------------------------------
// Icon files, crafted: an ICONDIR and its entries, then the images.

std::vector<uint8_t> PngImage() {
  return test::Join({test::Hex("89 50 4E 47 0D 0A 1A 0A"), test::Bytes("IHDR and the rest")});
}

// A 16x16 32-bit bitmap's header (its height counts the mask too) and pixels.
std::vector<uint8_t> BitmapImage() {
  std::vector<uint8_t> header = test::Join({test::Le32(40), test::Le32(16), test::Le32(32),
                                            test::Hex("0100 2000"), test::Repeat(24, 0)});
  return test::Join({header, test::Repeat(64, 0x7F)});
}

struct IcoEntry {
  std::vector<uint8_t> fields;  // width, height, colours, reserved, planes, bit count
  std::vector<uint8_t> image;
};

std::vector<uint8_t> IcoFile(const std::vector<IcoEntry>& entries) {
  std::vector<uint8_t> ico = test::Hex("0000 0100");
  test::Append(ico, {static_cast<uint8_t>(entries.size()), 0});
  uint32_t offset = static_cast<uint32_t>(6 + 16 * entries.size());
  for (const IcoEntry& e : entries) {
    test::Append(ico, e.fields);
    test::Append(ico, test::Le32(static_cast<uint32_t>(e.image.size())));
    test::Append(ico, test::Le32(offset));
    offset += static_cast<uint32_t>(e.image.size());
  }
  for (const IcoEntry& e : entries) test::Append(ico, e.image);
  return ico;
}

// A PNG (256x256, its sizes written 0) and a bitmap whose entry leaves
// planes and bit count 0, as many icon editors do.
std::vector<uint8_t> TwoImageIcon() {
  return IcoFile({{test::Hex("00 00 00 00 0100 2000"), PngImage()},
                  {test::Hex("10 10 00 00 0000 0000"), BitmapImage()}});
}

// The group that TwoImageIcon() makes with icon ids `first` and `second`:
// the bitmap's planes and bit count taken from its header.
std::vector<uint8_t> TwoImageGroup(uint16_t first, uint16_t second) {
  return test::Join({test::Hex("0000 0100 0200"),         // reserved, type, count
                     test::Hex("00 00 00 00 0100 2000"),  // the PNG's fields
                     test::Le32(static_cast<uint32_t>(PngImage().size())),
                     {static_cast<uint8_t>(first), static_cast<uint8_t>(first >> 8)},
                     test::Hex("10 10 00 00 0100 2000"),  // the bitmap's, filled in
                     test::Le32(static_cast<uint32_t>(BitmapImage().size())),
                     {static_cast<uint8_t>(second), static_cast<uint8_t>(second >> 8)}});
}

// A group listing `ids`, its entries otherwise alike.
std::vector<uint8_t> GroupOf(const std::vector<uint16_t>& ids) {
  std::vector<uint8_t> group = test::Hex("0000 0100");
  test::Append(group, {static_cast<uint8_t>(ids.size()), 0});
  for (uint16_t id : ids)
    test::Append(group, test::Join({test::Hex("20 20 00 00 0100 2000"),
                                    test::Le32(8),
                                    {static_cast<uint8_t>(id), 0}}));
  return group;
}

TEST(IconFileTest, AcceptsPngAndBitmapImages) {
  EXPECT_NO_THROW(tools::CheckIconFile(TwoImageIcon()));
  EXPECT_NO_THROW(
      tools::CheckIconFile(IcoFile({{test::Hex("10 10 00 00 0100 2000"), PngImage()}})));
}

TEST(IconFileTest, RefusesWhatIsNotAWellFormedIcon) {
  std::vector<uint8_t> outside = TwoImageIcon();
  StoreLE32(outside.data() + 6 + 16 + 12, static_cast<uint32_t>(outside.size() - 4));
  std::vector<uint8_t> overlapping = TwoImageIcon();
  StoreLE32(overlapping.data() + 6 + 12, 10);
  std::vector<uint8_t> empty_image = TwoImageIcon();
  StoreLE32(empty_image.data() + 6 + 8, 0);
  struct Case {
    std::string label;
    std::vector<uint8_t> ico;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"empty", {}, "it is 0 bytes, shorter than an icon's header"},
      {"truncated header", test::Hex("0000 0100 01"),
       "it is 5 bytes, shorter than an icon's header"},
      {"a cursor", test::Join({test::Hex("0000 0200 0100"), test::Repeat(32, 0)}),
       "its header does not say icon: reserved 0, type 2 (an icon has 0 and 1)"},
      {"no images", test::Hex("0000 0100 0000"), "it holds no images"},
      {"directory cut short", test::Join({test::Hex("0000 0100 0200"), test::Repeat(20, 0)}),
       "its directory of 2 images runs past the file's end"},
      {"image past the end", outside,
       "image 2 (" + std::to_string(BitmapImage().size()) + " bytes at " +
           std::to_string(outside.size() - 4) + ") runs past the file's end"},
      {"image over the directory", overlapping, "image 1 starts inside the icon directory"},
      {"empty image", empty_image, "image 1 is empty"},
      {"neither PNG nor bitmap",
       IcoFile({{test::Hex("10 10 00 00 0100 2000"), test::Repeat(48, 1)}}),
       "image 1 is neither a PNG nor a bitmap"},
      {"a text file", test::Bytes("This is not an icon at all.\n"),
       "its header does not say icon: reserved 26708, type 29545 (an icon has 0 and 1)"},
      {"too large", std::vector<uint8_t>(tools::kMaxIconFileSize + 1, 0),
       "it is 16777217 bytes, more than the 16777216 an icon may have"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FailureOf([&] { tools::CheckIconFile(c.ico); }),
              (Failure{"BuilderError", "not an icon file (" + c.reason + ")"}))
        << c.label;
  }
}

// ---------------------------------------------------------------------------
// Version texts

TEST(FourPartVersionTest, ParsesOneToFourPartsAndNothingElse) {
  struct Case {
    std::string text;
    std::optional<FourPartVersion> version;
  };
  const std::vector<Case> cases = {
      {"1", FourPartVersion{1, 0, 0, 0}},
      {"1.2", FourPartVersion{1, 2, 0, 0}},
      {"1.2.3.4", FourPartVersion{1, 2, 3, 4}},
      {"65535.0.00065535.7", FourPartVersion{65535, 0, 65535, 7}},
      {"", std::nullopt},
      {"1.", std::nullopt},
      {".1", std::nullopt},
      {"1..2", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"65536", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"+1", std::nullopt},
      {"-1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1.2a", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(tools::ParseFourPartVersion(c.text), c.version) << c.text;
  EXPECT_EQ(tools::FormatFourPartVersion({1, 20, 0, 65535}), "1.20.0.65535");
}

TEST(VersionKeysTest, AreMatchedExactly) {
  for (std::string_view key : tools::kVersionKeys) EXPECT_TRUE(tools::IsVersionKey(key));
  for (std::string_view key : {"companyname", "CompanyName ", "", "Translation", "SpecialBuild"})
    EXPECT_FALSE(tools::IsVersionKey(key)) << key;
}

// ---------------------------------------------------------------------------
// Crafted images: headers (tests/kit/pe_images.h), a .text section with the
// marker, the resource section at kResourceRva and a base relocation
// section after it.

struct Crafted {
  test::PeFields fields;
  std::vector<uint8_t> rsrc;
};

Crafted CraftedLauncher(std::vector<uint8_t> rsrc, bool x64 = false) {
  Crafted c;
  c.rsrc = std::move(rsrc);
  test::PeFields& f = c.fields;
  if (x64) {
    f.machine = tools::kMachineAmd64;
    f.magic = tools::kPe32PlusMagic;
    f.characteristics = 0x0022;
  }
  const uint32_t rsrc_raw = static_cast<uint32_t>(AlignUp(c.rsrc.size(), 0x200));
  const uint32_t reloc_rva = static_cast<uint32_t>(kResourceRva + AlignUp(c.rsrc.size(), 0x1000));
  f.sections = {
      {".text", 0x200, 0x200, 0x1000, 0x100, 0x60000020},
      {".rsrc", 0x400, rsrc_raw, kResourceRva, static_cast<uint32_t>(c.rsrc.size()), 0x40000040},
      {".reloc", 0x400 + rsrc_raw, 0x200, reloc_rva, 12, 0x42000040}};
  f.directories = {{2, kResourceRva, static_cast<uint32_t>(c.rsrc.size())}, {5, reloc_rva, 12}};
  f.size_of_image = reloc_rva + 0x1000;
  return c;
}

std::vector<uint8_t> Assemble(const Crafted& c) {
  std::vector<uint8_t> image = test::PeImage(c.fields, 0x200);
  test::PutMarker(image, 0x200, test::Bytes("XXXX"));
  image.resize(0x400, 0xCC);
  test::Append(image, c.rsrc);
  image.resize(c.fields.sections[2].raw_offset, 0);
  // One relocation block: page 0x1000, two entries.
  test::Append(image, test::Join({test::Le32(0x1000), test::Le32(12), test::Hex("1030 0000")}));
  image.resize(c.fields.sections[2].raw_offset + 0x200, 0);
  return image;
}

ResourceData Blob(std::vector<uint8_t> bytes, uint32_t language = 0x0409, uint32_t code_page = 0) {
  return {ResourceKey::Id(language), code_page, std::move(bytes)};
}

// A manifest, and a resource of a named type (which sorts before the ids).
ResourceTree BareTree() {
  ResourceTree tree;
  tree.types.push_back(
      {ResourceKey::Id(24),
       {},
       {{ResourceKey::Id(1), {}, {Blob(test::Bytes("<assembly/>"), 0x0409, 1252)}}}});
  tree.types.push_back(
      {ResourceKey::Name(u"CUSTOM"), {}, {{ResourceKey::Name(u"DATA"), {}, {Blob({1, 2, 3}, 0)}}}});
  return tree;
}

// BareTree, and two icon groups that share the icon 2.
ResourceTree TreeWithTwoGroups() {
  ResourceTree tree = BareTree();
  tree.types.push_back({ResourceKey::Id(14),
                        {},
                        {{ResourceKey::Name(u"MAINICON"), {}, {Blob(GroupOf({1, 2}), 0x0809)}},
                         {ResourceKey::Id(7), {}, {Blob(GroupOf({2, 3}))}}}});
  tree.types.push_back({ResourceKey::Id(3),
                        {},
                        {{ResourceKey::Id(1), {}, {Blob(test::Repeat(8, 1), 0x0809)}},
                         {ResourceKey::Id(2), {}, {Blob(test::Repeat(8, 2))}},
                         {ResourceKey::Id(3), {}, {Blob(test::Repeat(8, 3))}}}});
  return tree;
}

ResourceEdits AllEdits() {
  ResourceEdits edits;
  edits.icon = TwoImageIcon();
  edits.strings = {{"FileDescription", "first"},
                   {"CompanyName", "Ünïcødé Works 𝄞"},
                   {"FileDescription", "Installer of the example"}};
  edits.file_version = FourPartVersion{2, 3, 4, 5};
  edits.product_version = FourPartVersion{6, 7, 0, 0};
  return edits;
}

// The fixed part's four version words of a record.
std::vector<uint32_t> FixedVersions(const std::vector<uint8_t>& record) {
  // wLength, wValueLength, wType, "VS_VERSION_INFO\0" (32 bytes), padding to 40.
  EXPECT_EQ(LoadLE32(record.data() + 40), 0xFEEF04BDu);
  return {LoadLE32(record.data() + 48), LoadLE32(record.data() + 52), LoadLE32(record.data() + 56),
          LoadLE32(record.data() + 60)};
}

TEST(ResourceTreeTest, WritesSortedTablesThatReadBack) {
  const std::vector<uint8_t> bytes = tools::WriteResourceTree(TreeWithTwoGroups(), kResourceRva);
  // The root: no time stamp, one named type, then three ids.
  EXPECT_EQ(test::Join({{bytes.begin(), bytes.begin() + 16}}),
            test::Hex("00000000 00000000 0000 0000 0100 0300"));
  EXPECT_NE(LoadLE32(bytes.data() + 16) & 0x80000000u, 0u);  // CUSTOM comes first
  EXPECT_EQ(LoadLE32(bytes.data() + 24), 3u);
  EXPECT_EQ(LoadLE32(bytes.data() + 32), 14u);
  EXPECT_EQ(LoadLE32(bytes.data() + 40), 24u);

  const ResourceTree tree = TreeOf(Assemble(CraftedLauncher(bytes)));
  ASSERT_EQ(tree.types.size(), 4u);
  EXPECT_EQ(tree.types[0].type, ResourceKey::Name(u"CUSTOM"));
  EXPECT_EQ(IdsOf(tree, 3), (std::vector<uint32_t>{1, 2, 3}));
  // Within a type too: the named group before the id 7.
  EXPECT_EQ(tree.types[2].names[0].name, ResourceKey::Name(u"MAINICON"));
  const ResourceData* manifest = Find(tree, ResourceKey::Id(24), ResourceKey::Id(1));
  ASSERT_NE(manifest, nullptr);
  EXPECT_EQ(manifest->bytes, test::Bytes("<assembly/>"));
  EXPECT_EQ(manifest->code_page, 1252u);
  EXPECT_EQ(tools::WriteResourceTree(tree, kResourceRva), bytes);
}

TEST(RewriteResourcesTest, GivesACraftedImageWithoutThemAnIconGroupAndAVersionRecord) {
  for (bool x64 : {false, true}) {
    SCOPED_TRACE(x64 ? "PE32+" : "PE32");
    const std::vector<uint8_t> image =
        Assemble(CraftedLauncher(tools::WriteResourceTree(BareTree(), kResourceRva), x64));
    const std::vector<uint8_t> out = tools::RewriteResources(image, AllEdits());
    ExpectSoundLayout(out);
    EXPECT_NO_THROW(tools::CheckLauncherImage(out, tools::LauncherMachine::kI386OrX64));

    const ResourceTree tree = TreeOf(out);
    const ResourceData* group = Find(tree, ResourceKey::Id(14), ResourceKey::Name(u"MAINICON"));
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->language, ResourceKey::Id(0x0409));
    EXPECT_EQ(group->bytes, TwoImageGroup(1, 2));
    EXPECT_EQ(Find(tree, ResourceKey::Id(3), ResourceKey::Id(1))->bytes, PngImage());
    EXPECT_EQ(Find(tree, ResourceKey::Id(3), ResourceKey::Id(2))->bytes, BitmapImage());
    EXPECT_EQ(Find(tree, ResourceKey::Name(u"CUSTOM"), ResourceKey::Name(u"DATA"))->bytes,
              (std::vector<uint8_t>{1, 2, 3}));

    const ResourceData* record = Find(tree, ResourceKey::Id(16), ResourceKey::Id(1));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->language, ResourceKey::Id(0x0409));
    EXPECT_EQ(tools::ReadVersionStrings(out, tools::ReadPeHeaders(out)),
              (VersionStrings{{"CompanyName", "Ünïcødé Works 𝄞"},
                              {"FileDescription", "Installer of the example"},
                              {"FileVersion", "2.3.4.5"},
                              {"ProductVersion", "6.7.0.0"}}));
    EXPECT_EQ(FixedVersions(record->bytes),
              (std::vector<uint32_t>{0x00020003, 0x00040005, 0x00060007, 0}));
    // Flags mask, flags, OS, type; then the translation that ends the record.
    EXPECT_EQ(test::Join({{record->bytes.begin() + 64, record->bytes.begin() + 80}}),
              test::Hex("3F000000 00000000 04000400 01000000"));
    EXPECT_EQ(test::Join({{record->bytes.end() - 4, record->bytes.end()}}), test::Hex("0904 B004"));
    EXPECT_EQ(LoadLE16(record->bytes.data()), record->bytes.size());
  }
}

TEST(RewriteResourcesTest, DropsOnlyTheIconsNoOtherGroupUses) {
  const std::vector<uint8_t> image =
      Assemble(CraftedLauncher(tools::WriteResourceTree(TreeWithTwoGroups(), kResourceRva)));
  ResourceEdits edits;
  edits.icon = IcoFile({{test::Hex("10 10 00 00 0100 2000"), PngImage()}});
  const ResourceTree tree = TreeOf(tools::RewriteResources(image, edits));
  // Icon 1 was the first group's alone: gone, and its id taken again; the
  // shared 2 and the other group's 3 stay.
  EXPECT_EQ(IdsOf(tree, 3), (std::vector<uint32_t>{1, 2, 3}));
  const ResourceData* icon = Find(tree, ResourceKey::Id(3), ResourceKey::Id(1));
  EXPECT_EQ(icon->bytes, PngImage());
  EXPECT_EQ(icon->language, ResourceKey::Id(0x0809));  // the group's language
  EXPECT_EQ(Find(tree, ResourceKey::Id(3), ResourceKey::Id(2))->bytes, test::Repeat(8, 2));
  const ResourceData* group = Find(tree, ResourceKey::Id(14), ResourceKey::Name(u"MAINICON"));
  EXPECT_EQ(group->language, ResourceKey::Id(0x0809));
  EXPECT_EQ(group->bytes,
            test::Join({test::Hex("0000 0100 0100 10 10 00 00 0100 2000"),
                        test::Le32(static_cast<uint32_t>(PngImage().size())), test::Hex("0100")}));
  EXPECT_EQ(Find(tree, ResourceKey::Id(14), ResourceKey::Id(7))->bytes, GroupOf({2, 3}));
  // No version edit: no version record.
  EXPECT_EQ(tree.First(16), nullptr);
}

// A version record block made by hand: header, UTF-16 key, padding, value,
// children (each padded to 4 bytes first).
std::vector<uint8_t> VersionBlockOf(const std::u16string& key, uint16_t type,
                                    const std::vector<uint8_t>& value, uint16_t value_length,
                                    const std::vector<std::vector<uint8_t>>& children = {}) {
  std::vector<uint8_t> b(6, 0);
  for (char16_t c : key + u'\0')
    test::Append(b, {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
  b.resize(AlignUp(b.size(), 4), 0);
  test::Append(b, value);
  for (const std::vector<uint8_t>& child : children) {
    b.resize(AlignUp(b.size(), 4), 0);
    test::Append(b, child);
  }
  StoreLE16(b.data(), static_cast<uint16_t>(b.size()));
  StoreLE16(b.data() + 2, value_length);
  StoreLE16(b.data() + 4, type);
  return b;
}

std::vector<uint8_t> TextBlock(const std::u16string& key, const std::u16string& value) {
  std::vector<uint8_t> v;
  for (char16_t c : value + u'\0')
    test::Append(v, {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
  return VersionBlockOf(key, 1, v, static_cast<uint16_t>(value.size() + 1));
}

TEST(RewriteResourcesTest, KeepsWhatItDoesNotEditInAVersionRecord) {
  std::vector<uint8_t> fixed(52, 0);
  StoreLE32(fixed.data(), 0xFEEF04BD);
  StoreLE32(fixed.data() + 40, 0xABCD);  // FileSubtype, kept
  const std::vector<uint8_t> var = VersionBlockOf(
      u"VarFileInfo", 1, {}, 0, {VersionBlockOf(u"Translation", 0, test::Hex("0704 B004"), 4)});
  const std::vector<uint8_t> record = VersionBlockOf(
      u"VS_VERSION_INFO", 0, fixed, 52,
      {var,
       VersionBlockOf(
           u"StringFileInfo", 1, {}, 0,
           {VersionBlockOf(u"040704B0", 1, {}, 0,
                           {TextBlock(u"Schlüssel", u"bleibt"), TextBlock(u"FileVersion", u"0.1")}),
            VersionBlockOf(u"040904B0", 1, {}, 0, {TextBlock(u"FileVersion", u"second table")})})});
  ResourceTree tree = BareTree();
  tree.types.push_back(
      {ResourceKey::Id(16), {}, {{ResourceKey::Id(1), {}, {Blob(record, 0x0407)}}}});
  const std::vector<uint8_t> image =
      Assemble(CraftedLauncher(tools::WriteResourceTree(tree, kResourceRva)));
  ResourceEdits edits;
  edits.file_version = FourPartVersion{3, 0, 0, 0};
  const std::vector<uint8_t> out = tools::RewriteResources(image, edits);
  EXPECT_EQ(
      tools::ReadVersionStrings(out, tools::ReadPeHeaders(out)),
      (VersionStrings{
          {"Schlüssel", "bleibt"}, {"FileVersion", "3.0.0.0"}, {"FileVersion", "second table"}}));
  const ResourceTree edited_tree = TreeOf(out);
  const ResourceData* edited = edited_tree.First(16);
  EXPECT_EQ(edited->language, ResourceKey::Id(0x0407));
  EXPECT_EQ(FixedVersions(edited->bytes), (std::vector<uint32_t>{0x00030000, 0, 0, 0}));
  EXPECT_EQ(LoadLE32(edited->bytes.data() + 40 + 40), 0xABCDu);
  // VarFileInfo first, as it was.
  EXPECT_EQ(
      std::vector<uint8_t>(edited->bytes.begin() + 92, edited->bytes.begin() + 92 + var.size()),
      var);
}

TEST(RewriteResourcesTest, RefusesBadVersionValues) {
  const std::vector<uint8_t> image =
      Assemble(CraftedLauncher(tools::WriteResourceTree(BareTree(), kResourceRva)));
  struct Case {
    std::string key, value, message;
  };
  const std::vector<Case> cases = {
      {"Comments", "\xC3", "the version value of Comments is not valid UTF-8"},
      {"Comments", "\xC0\x80", "the version value of Comments is not valid UTF-8"},
      {"ProductName", "\xED\xA0\x80", "the version value of ProductName is not valid UTF-8"},
      {"ProductName", "\xF4\x90\x80\x80", "the version value of ProductName is not valid UTF-8"},
      {"ProductName", "a\x80", "the version value of ProductName is not valid UTF-8"},
      {"ProductName", std::string("a\0b", 3),
       "the version value of ProductName holds a zero character"},
      {"Translation", "x", "\"Translation\" is not a key of the version record"},
      {"Comments", std::string(40000, 'x'),
       "the version values are too long: a block of the version record would be 80026 bytes, more "
       "than the 65535 it may have"},
  };
  for (const Case& c : cases) {
    ResourceEdits edits;
    edits.strings = {{c.key, c.value}};
    EXPECT_EQ(FailureOf([&] { tools::RewriteResources(image, edits); }),
              (Failure{"BuilderError", c.message}))
        << c.message;
  }
}

// Tables of a hand-made resource section: (name, target) entries, all ids.
std::vector<uint8_t> Table(const std::vector<std::pair<uint32_t, uint32_t>>& entries) {
  std::vector<uint8_t> t = test::Join(
      {test::Repeat(12, 0), test::Hex("0000"), {static_cast<uint8_t>(entries.size()), 0}});
  for (const auto& [name, target] : entries)
    test::Append(t, test::Join({test::Le32(name), test::Le32(target)}));
  return t;
}

TEST(RewriteResourcesTest, RefusesDamagedTreesCleanly) {
  constexpr uint32_t kDir = 0x80000000;
  // A sound three-level path: root at 0, type table at 0x18, name table at
  // 0x30, data entry at 0x48, data at 0x58; `rva` for the data.
  auto path = [&](uint32_t rva) {
    return test::Join({Table({{24, kDir | 0x18}}), Table({{1, kDir | 0x30}}),
                       Table({{0x409, 0x48}}), test::Le32(rva), test::Le32(4), test::Repeat(8, 0),
                       test::Bytes("DATA")});
  };
  std::vector<std::pair<uint32_t, uint32_t>> thirty(30, {3, kDir});
  struct Case {
    std::string label;
    std::vector<uint8_t> rsrc;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"entries past the end", test::Hex("00000000 00000000 0000 0000 0000 FF00"),
       "a resource directory's 255 entries at 0x0 run past the resources"},
      {"table past the end", Table({{3, kDir | 0x100}}),
       "a resource directory at 0x100 lies past the resources"},
      {"type leads to data", Table({{3, 0x10}}),
       "a resource type's entry leads to data, not a directory"},
      {"name past the end", Table({{kDir | 0xF00, kDir}}),
       "a resource name at 0xf00 lies past the resources"},
      {"data outside", path(0x9000),
       "a resource's data (4 bytes at 0x9000) lies outside the resource section"},
      {"data before", path(0x1000),
       "a resource's data (4 bytes at 0x1000) lies outside the resource section"},
      {"language leads to a table", Table({{3, kDir}}), "a resource's language entry is not data"},
      {"tables that loop", Table(thirty), "the resource directories share or loop"},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> image = Assemble(CraftedLauncher(c.rsrc));
    EXPECT_EQ(
        FailureOf([&] { tools::RewriteResources(image, AllEdits()); }),
        (Failure{"BuilderError", "cannot rewrite the launcher's resources (" + c.reason + ")"}))
        << c.label;
    // The reader of `kvarc list` walks the same tree.
    EXPECT_EQ(FailureOf([&] { tools::ReadVersionStrings(image, tools::ReadPeHeaders(image)); }),
              (Failure{"BuilderError", "version record: " + c.reason}))
        << c.label;
  }
  // The sound path reads.
  const ResourceTree tree = TreeOf(Assemble(CraftedLauncher(path(kResourceRva + 0x58))));
  EXPECT_EQ(tree.First(24)->bytes, test::Bytes("DATA"));
}

TEST(RewriteResourcesTest, RefusesLayoutsItCannotRedo) {
  const Crafted good = CraftedLauncher(tools::WriteResourceTree(BareTree(), kResourceRva));
  const test::PeLayout layout = test::LayoutOf(good.fields);
  struct Case {
    std::string label;
    std::vector<uint8_t> image;
    std::string reason;
  };
  auto with = [&](auto change) {
    Crafted c = good;
    change(c.fields);
    return Assemble(c);
  };
  std::vector<uint8_t> symbols = Assemble(good);
  StoreLE32(symbols.data() + layout.signature + 12, 0x600);
  std::vector<uint8_t> overlay = Assemble(good);
  test::Append(overlay, test::Repeat(16, 0));
  const std::vector<Case> cases = {
      {"signed",
       with([](test::PeFields& f) { f.certificate_offset = 0x800, f.certificate_size = 8; }),
       "the image carries a certificate table"},
      {"symbols", symbols, "the image carries a COFF symbol table"},
      {"overlay", overlay, "16 bytes follow the image"},
      {"no resources", with([](test::PeFields& f) {
         f.directories[0] = {2, 0, 0};
       }),
       "the image has no resources"},
      {"resources in no section", with([](test::PeFields& f) { f.directories[0].rva = 0x9000; }),
       "the resource directory at 0x9000 is in no section's data"},
      {"resources mid-section", with([](test::PeFields& f) {
         f.directories[0] = {2, 0x2008, 0x10};
       }),
       "the resources do not start the section .rsrc"},
      {"imports among them", with([](test::PeFields& f) {
         f.directories.push_back({1, kResourceRva + 0x10, 8});
       }),
       "the section .rsrc holds data directory 1 besides the resources"},
      {"a directory past them", with([](test::PeFields& f) {
         f.directories.push_back({7, kResourceRva + 0x800, 2});
       }),
       "data directory 7 at 0x2800 lies past the resources in no section"},
      {"code after them", with([](test::PeFields& f) {
         f.directories[1] = {5, 0, 0};
       }),
       "the section .reloc follows the resources"},
      {"huge file alignment", with([](test::PeFields& f) { f.file_alignment = 0x20000000; }),
       "the image's file alignment 0x20000000 is over 0x10000"},
      {"not a program", test::Bytes("just text"), "not a Windows program: no MZ signature"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        FailureOf([&] { tools::RewriteResources(c.image, AllEdits()); }),
        (Failure{"BuilderError", "cannot rewrite the launcher's resources (" + c.reason + ")"}))
        << c.label;
  }
}

// ---------------------------------------------------------------------------
// The real launchers, when built.

class RealLauncherResourcesTest : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    path_ = std::string(KV_SOURCE_DIR) + "/build/" + GetParam() + "/launcher/Setup.exe";
    if (!std::filesystem::exists(path_)) GTEST_SKIP() << "no " << path_;
    image_ = test::ReadFile(path_);
  }
  std::string path_;
  std::vector<uint8_t> image_;
};

TEST_P(RealLauncherResourcesTest, TheLinkersChecksumIsTheOneComputedHere) {
  const tools::PeInfo info = tools::ReadPeHeaders(image_);
  EXPECT_EQ(tools::PeChecksum(image_, info.checksum_offset),
            LoadLE32(image_.data() + info.checksum_offset));
  EXPECT_EQ(IndependentChecksum(image_, info.checksum_offset),
            LoadLE32(image_.data() + info.checksum_offset));
}

TEST_P(RealLauncherResourcesTest, RewritesIconAndVersionAndKeepsTheRest) {
  const ResourceTree before = TreeOf(image_);
  const std::vector<uint8_t> out = tools::RewriteResources(image_, AllEdits());
  ExpectSoundLayout(out);
  EXPECT_NO_THROW(tools::CheckLauncherImage(out, tools::LauncherMachine::kI386OrX64));
  EXPECT_EQ(tools::FindMarker(out).offset, tools::FindMarker(image_).offset);

  const tools::PeInfo info = tools::ReadPeHeaders(out);
  EXPECT_EQ(tools::ReadVersionStrings(out, info),
            (VersionStrings{{"FileDescription", "Installer of the example"},
                            {"FileVersion", "2.3.4.5"},
                            {"InternalName", "Setup"},
                            {"OriginalFilename", "Setup.exe"},
                            {"ProductVersion", "6.7.0.0"},
                            {"CompanyName", "Ünïcødé Works 𝄞"}}));
  const ResourceTree after = TreeOf(out);
  EXPECT_EQ(FixedVersions(after.First(16)->bytes),
            (std::vector<uint32_t>{0x00020003, 0x00040005, 0x00060007, 0}));
  // The record's tail (VarFileInfo) as it was.
  const std::vector<uint8_t>& old_record = before.First(16)->bytes;
  const std::vector<uint8_t>& new_record = after.First(16)->bytes;
  EXPECT_EQ(std::vector<uint8_t>(new_record.end() - 68, new_record.end()),
            std::vector<uint8_t>(old_record.end() - 68, old_record.end()));

  const ResourceData* group = Find(after, ResourceKey::Id(14), ResourceKey::Name(u"MAINICON"));
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->bytes, TwoImageGroup(1, 2));
  EXPECT_EQ(IdsOf(after, 3), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(Find(after, ResourceKey::Id(3), ResourceKey::Id(2))->bytes, BitmapImage());

  const ResourceData* old_manifest = before.First(24);
  ASSERT_NE(old_manifest, nullptr);
  EXPECT_EQ(after.First(24)->bytes, old_manifest->bytes);
  EXPECT_EQ(after.First(24)->code_page, old_manifest->code_page);
  EXPECT_EQ(after.First(24)->language, old_manifest->language);

  // The relocations moved whole with their section.
  const tools::PeInfo old_info = tools::ReadPeHeaders(image_);
  const tools::PeSection& old_reloc = old_info.sections.back();
  const tools::PeSection& new_reloc = info.sections.back();
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + new_reloc.raw_offset,
                                 out.begin() + new_reloc.raw_offset + new_reloc.raw_size),
            std::vector<uint8_t>(image_.begin() + old_reloc.raw_offset,
                                 image_.begin() + old_reloc.raw_offset + old_reloc.raw_size));
  // Everything before the resources as it was, but the headers.
  const uint32_t rsrc_at = old_info.sections[old_info.sections.size() - 2].raw_offset;
  const uint32_t headers = old_info.size_of_headers;
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + headers, out.begin() + rsrc_at),
            std::vector<uint8_t>(image_.begin() + headers, image_.begin() + rsrc_at));
}

TEST_P(RealLauncherResourcesTest, IsDeterministicAndLeavesNothingDead) {
  const ResourceEdits edits = AllEdits();
  const std::vector<uint8_t> once = tools::RewriteResources(image_, edits);
  EXPECT_EQ(tools::RewriteResources(image_, edits), once);
  // The old icon and record are dropped, not left behind: editing again
  // gives the same image, not a larger one.
  EXPECT_EQ(tools::RewriteResources(once, edits), once);
  EXPECT_EQ(tools::RewriteResources(image_, ResourceEdits{}), image_);
  // Only a version edit: the icons stay byte for byte.
  ResourceEdits version_only;
  version_only.file_version = FourPartVersion{9, 0, 0, 0};
  const std::vector<uint8_t> versioned = tools::RewriteResources(image_, version_only);
  const ResourceTree before = TreeOf(image_);
  const ResourceTree after = TreeOf(versioned);
  EXPECT_EQ(after.First(14)->bytes, before.First(14)->bytes);
  EXPECT_EQ(IdsOf(after, 3), IdsOf(before, 3));
  const VersionStrings strings =
      tools::ReadVersionStrings(versioned, tools::ReadPeHeaders(versioned)).value();
  ASSERT_EQ(strings.size(), 5u);
  EXPECT_EQ(strings[1], (std::pair<std::string, std::string>{"FileVersion", "9.0.0.0"}));
}

INSTANTIATE_TEST_SUITE_P(Builds, RealLauncherResourcesTest, testing::Values("win32", "win64"));

}  // namespace
}  // namespace kv

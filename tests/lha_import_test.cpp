// The LHA import: header levels 0, 1 and 2 from a real archiver, -lh0-,
// -lh1- and -lh5- members, verification by expansion and CRC-16, and the
// refusals. Archives under tests/data/lha were made with jlha (see the
// README there); the corpus originals come from many LHA archivers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "archive/rorodovazezudovo.h"
#include "core/bytes.h"
#include "tests/kit/archives.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tests/kit/lha_header.h"
#include "tools/archive_reader.h"
#include "tools/compressors.h"
#include "tools/lha_import.h"

namespace kv::tools {
namespace {

std::string DataDir() {
  return std::string(KV_SOURCE_DIR) + "/tests/data/lha";
}
std::vector<uint8_t> DataFile(const std::string& name) {
  return test::ReadFile(DataDir() + "/" + name);
}

using test::ExtractFromBytes;

// A level-0 LHA archive of one member.
std::vector<uint8_t> Level0Archive(const std::string& method, const std::string& name,
                                   const std::vector<uint8_t>& stored, uint32_t original_size,
                                   uint16_t crc) {
  std::vector<uint8_t> lzh =
      test::LhaLevel0Header(method, name, static_cast<uint32_t>(stored.size()), original_size, crc);
  test::Append(lzh, stored);
  lzh.push_back(0);  // end of archive
  return lzh;
}

TEST(LhaImportTest, Crc16IsTheArchiversCheckValue) {
  EXPECT_EQ(LhaCrc16(test::Bytes("123456789")), 0xBB3D);
  EXPECT_EQ(LhaCrc16({}), 0);
}

TEST(LhaImportTest, HeaderLevels012GiveTheSameEntries) {
  const std::vector<uint8_t> readme = DataFile("readme.txt");
  std::vector<std::vector<PrecompressedEntry>> imported;
  for (const char* file : {"h0_lh5.lzh", "h1_lh5.lzh", "h2_lh5.lzh"}) {
    SCOPED_TRACE(file);
    const std::vector<LhaMember> members = ReadLhaArchive(DataFile(file));
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].header_level, file[1] - '0');
    std::vector<PrecompressedEntry> entries;
    for (const LhaMember& m : members) entries.push_back(ImportLhaMember(m));
    EXPECT_EQ(entries[0].name, "docs\\readme.txt");
    EXPECT_EQ(entries[0].method, kMethodLh5);
    EXPECT_EQ(entries[0].destsize, static_cast<int32_t>(readme.size()));
    EXPECT_EQ(entries[0].checksum, test::Sum(readme));
    EXPECT_EQ(entries[1].name, "zeros.bin");
    EXPECT_EQ(entries[1].destsize, 3000);
    EXPECT_EQ(entries[1].checksum, 0u);
    EXPECT_EQ(ExtractFromBytes(BuildArchive(entries), "DOCS\\README.TXT"), readme);
    imported.push_back(std::move(entries));
  }
  // The same compressed bytes whatever the header level.
  EXPECT_EQ(imported[0][0].stored, imported[1][0].stored);
  EXPECT_EQ(imported[0][0].stored, imported[2][0].stored);
}

TEST(LhaImportTest, StoredMembersBecomeNonEntries) {
  const std::vector<LhaMember> members = ReadLhaArchive(DataFile("h1_lh0.lzh"));
  ASSERT_EQ(members.size(), 2u);
  const PrecompressedEntry e = ImportLhaMember(members[0]);
  EXPECT_EQ(e.method, kMethodStored);
  EXPECT_EQ(e.stored, DataFile("readme.txt"));
  EXPECT_EQ(ExtractFromBytes(BuildArchive(std::vector<PrecompressedEntry>{e}), e.name),
            DataFile("readme.txt"));
}

TEST(LhaImportTest, CorpusOriginalsKeepTheirCompressedBytes) {
  // Each original holds the very stream that the corpus archive of the same
  // name carries (one -lh1- and two -lh5- members).
  namespace fs = std::filesystem;
  int seen = 0;
  for (const auto& f : fs::directory_iterator(test::CorpusDir() + "/lha-peers/originals")) {
    if (f.path().extension() != ".lzh") continue;
    SCOPED_TRACE(f.path().string());
    ++seen;
    const std::vector<LhaMember> members = ReadLhaArchive(test::ReadFile(f.path().string()));
    ASSERT_EQ(members.size(), 1u);
    const PrecompressedEntry e = ImportLhaMember(members[0]);
    fs::path zerk = f.path().parent_path().parent_path() / f.path().filename();
    zerk.replace_extension(".zerk");
    const std::vector<test::StoredEntry> corpus = test::ReadEntries(zerk.string());
    ASSERT_EQ(corpus.size(), 1u);
    const EntryHeader& h = corpus[0].header;
    EXPECT_EQ(e.method, h.Method);
    EXPECT_EQ(e.destsize, h.Destsize);
    EXPECT_EQ(e.checksum, h.Checksum);
    ASSERT_EQ(static_cast<int32_t>(e.stored.size()), h.Sourcesize);
    EXPECT_TRUE(corpus[0].stored == e.stored);
  }
  EXPECT_EQ(seen, 3);
}

TEST(LhaImportTest, OtherMethodsAreRefusedByName) {
  const std::vector<LhaMember> members = ReadLhaArchive(DataFile("h0_lh6.lzh"));
  ASSERT_EQ(members.size(), 1u);
  const test::Failure f = test::FailureOf([&] { ImportLhaMember(members[0]); });
  EXPECT_EQ(f.class_name, "BuilderError") << "-lh6- accepted";
  EXPECT_NE(f.message.find("-lh6-"), std::string::npos) << f;
}

TEST(LhaImportTest, AWrongCrcIsRefused) {
  std::vector<uint8_t> lzh = DataFile("h2_lh5.lzh");
  lzh[21] ^= 0x01;  // level 2: the CRC-16 at offset 21
  const std::vector<LhaMember> members = ReadLhaArchive(lzh);
  EXPECT_THROW(ImportLhaMember(members[0]), BuilderError);
}

TEST(LhaImportTest, DamagedDataIsRefused) {
  const std::vector<uint8_t> readme = DataFile("readme.txt");
  std::vector<uint8_t> stored = CompressLh5(readme);
  stored[stored.size() / 2] ^= 0x10;
  const std::vector<uint8_t> lzh = Level0Archive(
      "-lh5-", "r.txt", stored, static_cast<uint32_t>(readme.size()), LhaCrc16(readme));
  EXPECT_THROW(ImportLhaMember(ReadLhaArchive(lzh)[0]), BuilderError);
}

TEST(LhaImportTest, DamagedOrShortHeadersAreRefused) {
  std::vector<uint8_t> lzh = DataFile("h0_lh5.lzh");
  std::vector<uint8_t> bad_sum = lzh;
  bad_sum[1] ^= 0xFF;
  EXPECT_THROW(ReadLhaArchive(bad_sum), BuilderError);
  for (size_t keep : {size_t{5}, size_t{30}, lzh.size() - 40}) {
    const std::vector<uint8_t> cut(lzh.begin(), lzh.begin() + static_cast<ptrdiff_t>(keep));
    EXPECT_THROW(ReadLhaArchive(cut), BuilderError) << keep;
  }
  std::vector<uint8_t> level3 = DataFile("h2_lh5.lzh");
  level3[20] = 3;
  EXPECT_THROW(ReadLhaArchive(level3), BuilderError);
}

TEST(LhaImportTest, OurOwnStreamsImportAndLhasaReadsThem) {
  const std::vector<uint8_t> data = test::BinaryData(200000, 5);
  const std::vector<uint8_t> lzh = Level0Archive(
      "-lh5-", "data.bin", CompressLh5(data), static_cast<uint32_t>(data.size()), LhaCrc16(data));
  const PrecompressedEntry e = ImportLhaMember(ReadLhaArchive(lzh)[0]);
  EXPECT_EQ(e.checksum, test::Sum(data));
  if (std::system("command -v lhasa >/dev/null 2>&1") != 0) GTEST_SKIP() << "lhasa not installed";
  test::TempDir dir;
  test::WriteFile(dir.File("ours.lzh"), lzh);
  EXPECT_EQ(std::system(("lhasa t " + dir.File("ours.lzh") + " >/dev/null 2>&1").c_str()), 0)
      << "lhasa rejects a stream of our compressor";
}

TEST(LhaImportTest, ImportWritesNothingWhenAMemberFails) {
  test::TempDir dir;
  test::WriteFile(dir.File("bad.lzh"), DataFile("h0_lh6.lzh"));
  EXPECT_THROW(ImportLhaArchive(dir.File("bad.lzh"), dir.File("out.zerk"), false), BuilderError);
  EXPECT_FALSE(test::FileExists(dir.File("out.zerk")));
  test::WriteFile(dir.File("good.lzh"), DataFile("h1_lh5.lzh"));
  EXPECT_EQ(ImportLhaArchive(dir.File("good.lzh"), dir.File("out.zerk"), false).size(), 2u);
  EXPECT_TRUE(test::FileExists(dir.File("out.zerk")));
}

// The import reads headers first and then streams each member from the
// file; what it writes must be byte for byte the archive of the members
// imported in memory, for members larger than its pieces and for every
// header level.
TEST(LhaImportTest, StreamedImportMatchesTheMembersImportedInMemory) {
  const std::vector<uint8_t> text = test::TextData(300000, 8);
  const std::vector<uint8_t> raw = test::RandomData(150000, 9);
  std::vector<uint8_t> lzh = Level0Archive("-lh5-", "big.txt", CompressLh5(text),
                                           static_cast<uint32_t>(text.size()), LhaCrc16(text));
  lzh.pop_back();
  test::Append(lzh, Level0Archive("-lh0-", "dir/raw.bin", raw, static_cast<uint32_t>(raw.size()),
                                  LhaCrc16(raw)));
  lzh.pop_back();
  test::Append(lzh, DataFile("h2_lh5.lzh"));
  std::vector<PrecompressedEntry> in_memory;
  for (const LhaMember& m : ReadLhaArchive(lzh)) in_memory.push_back(ImportLhaMember(m));
  ASSERT_EQ(in_memory.size(), 4u);

  test::TempDir dir;
  test::WriteFile(dir.File("in.lzh"), lzh);
  const std::vector<ImportedEntry> written =
      ImportLhaArchive(dir.File("in.lzh"), dir.File("out.zerk"), false);
  EXPECT_EQ(test::ReadFile(dir.File("out.zerk")), BuildArchive(in_memory));
  ASSERT_EQ(written.size(), in_memory.size());
  for (size_t i = 0; i < written.size(); ++i) {
    EXPECT_EQ(written[i].name, in_memory[i].name);
    EXPECT_EQ(static_cast<size_t>(written[i].stored), in_memory[i].stored.size());
  }
}

// A name that Windows cannot make would stop the launcher half-way through
// an installation, and one that climbs out of its folder would take a
// reader that makes folders elsewhere: refused by member and reason, and
// nothing is written.
TEST(LhaImportTest, NamesWindowsCannotMakeAreRefused) {
  const std::vector<uint8_t> x = test::Bytes("x");
  test::TempDir dir;
  const std::pair<std::string, std::string> cases[] = {
      {"docs/con.txt", "member 'docs\\con.txt': 'con.txt' names the device CON on Windows"},
      {"a|b", "member 'a|b': 'a|b' has a character Windows does not allow in file names ('|')"},
      {"../up.txt", "member '..\\up.txt': ..\\up.txt: entry name with a '..' part"},
      {"\\root.txt", "member '\\root.txt': \\root.txt: absolute entry name"},
  };
  for (const auto& [name, message] : cases) {
    const std::vector<uint8_t> lzh = Level0Archive("-lh0-", name, x, 1, LhaCrc16(x));
    test::WriteFile(dir.File("in.lzh"), lzh);
    EXPECT_EQ(test::FailureOf([&] { ImportLhaMember(ReadLhaArchive(lzh)[0]); }).message, message);
    EXPECT_EQ(test::FailureOf([&] {
                ImportLhaArchive(dir.File("in.lzh"), dir.File("o"), false);
              }).message,
              message);
    EXPECT_FALSE(test::FileExists(dir.File("o")));
  }
}

TEST(LhaImportTest, FolderMembersAreSkippedAndCounted) {
  // An archive of a folder: the folder's own member, then its file.
  std::vector<uint8_t> lzh = Level0Archive(kLhaFolderMethod, "docs\\", {}, 0, 0);
  lzh.pop_back();  // its end mark: the file's member follows
  const std::vector<uint8_t> text = test::Bytes("inside the folder");
  test::Append(lzh, Level0Archive("-lh0-", "docs\\a.txt", text, 17, LhaCrc16(text)));
  test::TempDir dir;
  test::WriteFile(dir.File("folder.lzh"), lzh);
  int skipped = -1;
  const std::vector<ImportedEntry> entries =
      ImportLhaArchive(dir.File("folder.lzh"), dir.File("out.zerk"), false, &skipped);
  EXPECT_EQ(skipped, 1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(ExtractFromBytes(test::ReadFile(dir.File("out.zerk")), "docs\\a.txt"), text);
}

}  // namespace
}  // namespace kv::tools

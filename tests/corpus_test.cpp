// Real -lh1- and -lh5- data written by many LHA archivers over the years,
// repacked into this project's container, each beside the output that it
// must expand to. Every archive of the corpus is expanded through the
// component, the way the launcher does it, and compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "archive/rorodovazezudovo.h"
#include "tests/kit/bytes.h"
#include "tests/kit/files.h"
#include "tools/archive_reader.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

struct CorpusArchive {
  std::string zerk;
  std::string out;
};

std::vector<CorpusArchive> CorpusArchives() {
  std::vector<CorpusArchive> found;
  for (const auto& e : fs::directory_iterator(test::CorpusDir() + "/lha-peers")) {
    if (e.path().extension() != ".zerk") continue;
    fs::path out = e.path();
    out.replace_extension(".out");
    found.push_back({e.path().string(), out.string()});
  }
  std::sort(found.begin(), found.end(),
            [](const CorpusArchive& a, const CorpusArchive& b) { return a.zerk < b.zerk; });
  return found;
}

// Expands every corpus archive whose single entry has `method`; returns how
// many there were.
int ExpandCorpus(uint8_t method) {
  int count = 0;
  for (const CorpusArchive& c : CorpusArchives()) {
    TKVDoziRivovaze component(nullptr);
    TFileStream archive(c.zerk, FileMode::kOpenReadShared);
    const tools::ArchiveListing listing = tools::ListArchive(component, archive);
    EXPECT_EQ(listing.entries.size(), 1u) << c.zerk;
    if (listing.entries.size() != 1 || listing.entries[0].header.Method != method) continue;
    ++count;
    SCOPED_TRACE(c.zerk);
    const std::vector<uint8_t> expected = test::ReadFile(c.out);
    EXPECT_EQ(listing.entries[0].header.Checksum, test::Sum(expected));
    TMemoryStream dest;
    // ExtractFromArchive verifies the checksum: a wrong byte raises.
    EXPECT_NO_THROW(ExtractFromArchive(c.zerk, dest, listing.entries[0].name, {}));
    EXPECT_TRUE(dest.Data() == expected) << "output differs from " << c.out;
  }
  return count;
}

TEST(CorpusTest, EveryLzhArchiveExpandsToItsOutput) {
  EXPECT_GE(ExpandCorpus(kMethodLzh1), 10);
}

TEST(CorpusTest, EveryLh5ArchiveExpandsToItsOutput) {
  EXPECT_GE(ExpandCorpus(kMethodLh5), 10);
}

TEST(CorpusTest, HoldsOnlyLzhAndLh5Archives) {
  const auto archives = CorpusArchives();
  ASSERT_GE(archives.size(), 20u);
  std::set<uint8_t> methods;
  for (const CorpusArchive& c : archives) {
    TKVDoziRivovaze component(nullptr);
    TFileStream archive(c.zerk, FileMode::kOpenReadShared);
    for (const auto& e : tools::ListArchive(component, archive).entries)
      methods.insert(e.header.Method);
  }
  EXPECT_EQ(methods, (std::set<uint8_t>{kMethodLzh1, kMethodLh5}));
}

}  // namespace
}  // namespace kv

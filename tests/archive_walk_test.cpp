// The archive walk: ExtractEntry over crafted archive files.
#include <gtest/gtest.h>

#include "archive/rorodovazezudovo.h"
#include "core/bytes.h"
#include "tests/kit/archives.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tests/kit/streams.h"
#include "tools/archive_writer.h"

namespace kv {
namespace {

using test::Failure;
using test::FailureOf;
using test::Join;

// One archive entry, written field by field, and the archive header.
std::vector<uint8_t> Entry(const std::string& name, const std::vector<uint8_t>& stored,
                           int32_t destsize, uint8_t method, uint32_t checksum) {
  return test::EntryBytes(name, stored, destsize, method, checksum);
}
std::vector<uint8_t> Header(int32_t total_size, const char* id = "NON", uint8_t type = caMulti) {
  return test::ArchiveHeaderBytes(total_size, id, type);
}

class ArchiveWalkTest : public ::testing::Test {
 protected:
  // Writes `archive` to a file and extracts `name` from it.
  std::vector<uint8_t> Extract(const std::vector<uint8_t>& archive, const std::string& name) {
    const std::string path = dir_.File("a.zerk");
    test::WriteFile(path, archive);
    TMemoryStream dest;
    component_.ExtractEntry(path, dest, name);
    return dest.Data();
  }

  test::TempDir dir_;
  TKVDoziRivovaze component_{nullptr};
};

TEST_F(ArchiveWalkTest, TheWorkedFiftyByteExample) {
  const auto archive = test::Hex(R"(
      5A 45 52 4B 1A        # Magic "ZERK" 0x1A
      4E 4F 4E              # CompressID "NON"
      03 00 00 00           # TotalSize 3
      01                    # ArchiveType caMulti
      00 00 00 00 00 00 00 00  # Reserved1, Reserved2
      01 00                 # NameLength 1
      00 00 00 00 00 00     # Reserved1
      03 00 00 00           # Destsize 3
      03 00 00 00           # Sourcesize 3
      00                    # Method 0 "NON"
      26 01 00 00           # Checksum 294
      00 00 00 00           # Reserved2
      41                    # name "A"
      61 62 63              # stored data "abc"
  )");
  ASSERT_EQ(archive.size(), 50u);
  EXPECT_EQ(Extract(archive, "A"), test::Bytes("abc"));
  EXPECT_EQ(Extract(archive, "a"), test::Bytes("abc"));
  EXPECT_TRUE(Extract(archive, "B").empty());
  // The builder writes the very same bytes.
  EXPECT_EQ(tools::BuildArchive({tools::ArchiveEntrySpec{"A", test::Bytes("abc"), 0}}), archive);
}

TEST_F(ArchiveWalkTest, FilesShorterThanAHeaderAreEmptyArchives) {
  for (size_t size = 0; size <= 20; ++size) {
    EXPECT_TRUE(Extract(test::RandomData(size, static_cast<uint32_t>(size)), "A").empty()) << size;
  }
  EXPECT_TRUE(Extract(Header(1000), "A").empty());
}

TEST_F(ArchiveWalkTest, HeaderChecksRejectWithTheirMessages) {
  auto lower = Header(3);
  lower[0] = 'z';
  lower[1] = 'e';
  lower[2] = 'r';
  lower[3] = 'k';
  const struct {
    std::vector<uint8_t> archive;
    Failure failure;
  } cases[] = {
      {lower, test::kInvalidHeader},
      {Header(3, "NON", 2), {"EInvalidHeaderArchiveType", "Archive type must be caMulti"}},
      {Header(3, "lh5"),
       {"EUnrecognizedCompressionMethod", "Unrecognized compression method: \"lh5\" in header"}},
      // Ten bytes of anything are no archive and no error; 21 wrong ones are.
      {test::Bytes("0123456789"), test::kNoFailure},
      {test::RandomData(21), test::kInvalidHeader},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FailureOf([&] { EXPECT_TRUE(Extract(c.archive, "A").empty()); }), c.failure);
  }
}

TEST_F(ArchiveWalkTest, ReservedBytesChangeNothing) {
  auto archive = Join({Header(3), Entry("A", test::Bytes("abc"), 3, 0, 294)});
  for (size_t i : {13, 14, 17, 20}) archive[i] = 0xEE;
  for (size_t i : {2, 5, 7, 21, 24}) archive[ArchiveHeader::kSize + i] = 0xEE;
  EXPECT_EQ(Extract(archive, "A"), test::Bytes("abc"));
}

TEST_F(ArchiveWalkTest, EveryMatchingEntryIsWrittenInArchiveOrder) {
  const auto archive = Join({Header(9), Entry("Data\\x", test::Bytes("abc"), 3, 0, 0),
                             Entry("other", test::Bytes("zzz"), 3, 0, 0),
                             Entry("DATA\\X", test::Bytes("def"), 3, 0, 0)});
  EXPECT_EQ(Extract(archive, "data\\X"), test::Bytes("abcdef"));
}

TEST_F(ArchiveWalkTest, OnlyAsciiLettersAreFolded) {
  const auto archive = Join({Header(3), Entry("caf\xE9", test::Bytes("abc"), 3, 0, 0)});
  EXPECT_EQ(Extract(archive, "CAF\xE9"), test::Bytes("abc"));
  EXPECT_TRUE(Extract(archive, "CAF\xC9").empty());
  EXPECT_TRUE(Extract(archive, "caf").empty());
}

TEST_F(ArchiveWalkTest, TotalSizeCutsTheWalkShort) {
  const auto archive = Join({Header(1), Entry("A", test::Bytes("abc"), 3, 0, 0),
                             Entry("A", test::Bytes("def"), 3, 0, 0)});
  EXPECT_EQ(Extract(archive, "A"), test::Bytes("abc"));
}

TEST_F(ArchiveWalkTest, StoredEntriesAreNotVerifiedButCodedOnesAre) {
  const auto stored = Join({Header(3), Entry("A", test::Bytes("abc"), 3, 0, 12345)});
  EXPECT_EQ(Extract(stored, "A"), test::Bytes("abc"));
  // "abc" as RLE is the same three literal bytes.
  const auto coded = Join({Header(3, "RLE"), Entry("A", test::Bytes("abc"), 3, 1, 12345)});
  TMemoryStream dest;
  test::WriteFile(dir_.File("c.zerk"), coded);
  EXPECT_EQ(FailureOf([&] { component_.ExtractEntry(dir_.File("c.zerk"), dest, "A"); }),
            test::kBadChecksum);
  EXPECT_EQ(dest.Data(), test::Bytes("abc")) << "output already written stays";
}

TEST_F(ArchiveWalkTest, EntriesNobodyExpandsCompareZeroWithTheirChecksum) {
  for (uint8_t method : {3, 5, 255}) {
    EXPECT_TRUE(
        Extract(Join({Header(3), Entry("A", test::Bytes("abc"), 3, method, 0)}), "A").empty());
    EXPECT_THROW(Extract(Join({Header(3), Entry("A", test::Bytes("abc"), 3, method, 1)}), "A"),
                 EBadChecksum);
  }
}

TEST_F(ArchiveWalkTest, TheWalkGoesOnAfterTheStoredBytesOfAnyEntry) {
  // The first entry's stored bytes look like an entry header of their own;
  // after the unexpanded method-3 entry the walk must not read them as one.
  const auto fake = Entry("A", test::Bytes("BAD"), 3, 0, 0);
  const auto archive =
      Join({Header(6), Entry("A", fake, 3, 3, 0), Entry("A", test::Bytes("abc"), 3, 0, 0)});
  EXPECT_EQ(Extract(archive, "A"), test::Bytes("abc"));
}

TEST_F(ArchiveWalkTest, ACodecThatStopsEarlyDoesNotDerailTheWalk) {
  // An LZH entry of expanded size 0 reads none of its stored bytes, which
  // here look like an entry header; the walk must still go on after them.
  const auto fake = Entry("A", test::Bytes("BAD"), 3, 0, 0);
  const auto archive = Join({Header(3, "LZH"), Entry("A", fake, 0, kMethodLzh1, 0),
                             Entry("A", test::Bytes("abc"), 3, 0, 0)});
  EXPECT_EQ(Extract(archive, "A"), test::Bytes("abc"));
}

TEST_F(ArchiveWalkTest, OnExpandHandlesCustomEntries) {
  struct Handler {
    std::string id;
    int32_t sourcesize = 0, destsize = 0;
    void Expand(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize,
                const std::string& CompressID, int32_t& checksum) {
      id = CompressID;
      sourcesize = Sourcesize;
      destsize = Destsize;
      std::vector<uint8_t> stored(static_cast<size_t>(Sourcesize));
      source.ReadBuffer(stored.data(), Sourcesize);
      std::reverse(stored.begin(), stored.end());
      dest.WriteBuffer(stored.data(), Sourcesize);
      checksum = static_cast<int32_t>(test::Sum(stored));
    }
  } handler;
  component_.SetOnExpand(TExpandEvent::Bind<&Handler::Expand>(&handler));
  const auto archive = Join({Header(3, "LZH"), Entry("A", test::Bytes("cba"), 3, 3, 294)});
  EXPECT_EQ(Extract(archive, "A"), test::Bytes("abc"));
  EXPECT_EQ(handler.id, "LZH");
  EXPECT_EQ(handler.sourcesize, 3);
  EXPECT_EQ(handler.destsize, 3);
}

TEST_F(ArchiveWalkTest, DamagedEntryHeadersEndTheWalkQuietly) {
  const auto good = Entry("A", test::Bytes("abc"), 3, 0, 0);
  // A header cut short, a name cut short, a negative name length.
  auto cut_header = Join({Header(6), good, std::vector<uint8_t>(good.begin(), good.begin() + 20)});
  EXPECT_EQ(Extract(cut_header, "A"), test::Bytes("abc"));
  auto cut_name = Join({Header(6), good, Entry("ABCDEFGH", {}, 3, 0, 0)});
  cut_name.resize(cut_name.size() - 4);
  EXPECT_EQ(Extract(cut_name, "A"), test::Bytes("abc"));
  EntryHeader negative;
  negative.NameLength = -2;
  negative.Destsize = 3;
  negative.Sourcesize = 3;
  const auto negative_name =
      Join({Header(6), test::EntryBytes(negative, "A", test::Bytes("abc")), good});
  EXPECT_TRUE(Extract(negative_name, "A").empty());
}

TEST_F(ArchiveWalkTest, NegativeSizesNeverMoveTheWalkBackwards) {
  auto backwards = Entry("B", {}, -5, 0, 0);
  StoreLE32(backwards.data() + EntryHeader::kSourcesize, static_cast<uint32_t>(-30));
  const auto archive = Join({Header(100), Entry("A", test::Bytes("abc"), 3, 0, 0), backwards,
                             Entry("A", test::Bytes("def"), 3, 0, 0)});
  EXPECT_EQ(Extract(archive, "A"), test::Bytes("abcdef"));
  EXPECT_TRUE(Extract(archive, "B").empty());
}

TEST_F(ArchiveWalkTest, AStoredEntryRunningPastTheEndIsAReadError) {
  auto archive = Join({Header(10), Entry("A", test::Bytes("0123456789"), 10, 0, 0)});
  archive.resize(archive.size() - 3);
  EXPECT_THROW(Extract(archive, "A"), EReadError);
  // The same entry skipped ends the walk without error.
  EXPECT_TRUE(Extract(archive, "B").empty());
}

TEST_F(ArchiveWalkTest, TheArchiveIsClosedOnEveryWayOut) {
  const std::string path = dir_.File("bad.zerk");
  test::WriteFile(path, Join({Header(3, "RLE"), Entry("A", test::Bytes("abc"), 3, 1, 1)}));
  TMemoryStream dest;
  EXPECT_THROW(component_.ExtractEntry(path, dest, "A"), EBadChecksum);
  // Opened without sharing: a leaked stream would keep this open out.
  EXPECT_NO_THROW(TFileStream(path, FileMode::kOpenReadExclusive));
}

// A missing archive is an open error; one that its caller holds open (to
// keep it from changing, or to read its headers) is read all the same.
TEST_F(ArchiveWalkTest, AMissingArchiveIsAnOpenErrorAndAHeldOneIsRead) {
  TMemoryStream dest;
  const std::string path = dir_.File("none.zerk");
  EXPECT_EQ(FailureOf([&] { component_.ExtractEntry(path, dest, "A"); }),
            (Failure{"EFOpenError", "Cannot open file " + path}));
  test::WriteFile(path, Join({Header(3), Entry("A", test::Bytes("abc"), 3, 0, 0)}));
  TFileStream holder(path, FileMode::kOpenReadShared);
  component_.ExtractEntry(path, dest, "A");
  EXPECT_EQ(dest.Data(), test::Bytes("abc"));
}

TEST_F(ArchiveWalkTest, ExpandTimeKeepsItsValueWhenNothingMatched) {
  const auto archive = Join({Header(3), Entry("A", test::Bytes("abc"), 3, 0, 0)});
  component_.ExpandTime = 12345;
  Extract(archive, "B");
  EXPECT_EQ(component_.ExpandTime, 12345);
  Extract(archive, "A");
  EXPECT_GE(component_.ExpandTime, 0);
  EXPECT_LT(component_.ExpandTime, 12345);
}

TEST_F(ArchiveWalkTest, ExtractFromArchiveHandsOnTheProgressEvent) {
  test::ProgressLog counter;
  // Runs, so that RLE comes out smaller and the entry is coded.
  const auto data = test::Join({test::Repeat(10000, 'a'), test::Repeat(10000, 'b')});
  const std::string path = dir_.File("p.zerk");
  test::WriteFile(path, tools::BuildArchive({tools::ArchiveEntrySpec{"A", data, kMethodRle}}));
  TMemoryStream dest;
  ExtractFromArchive(path, dest, "A", counter.Event());
  EXPECT_EQ(dest.Data(), data);
  ASSERT_FALSE(counter.reports.empty());
  EXPECT_EQ(counter.reports.back(), 100);
}

}  // namespace
}  // namespace kv

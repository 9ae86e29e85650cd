// The component's own operations and properties.
#include <gtest/gtest.h>

#include "archive/dozirivovaze.h"
#include "tests/kit/bytes.h"

namespace kv {
namespace {

TEST(ComponentPropertiesTest, ANewComponentHasEverythingCleared) {
  TKVDoziRivovaze c(nullptr);
  EXPECT_EQ(c.ExpandTime, 0);
  EXPECT_EQ(c.CompressionReserve, 0);
  EXPECT_FALSE(c.OnCompress() || c.OnExpand() || c.OnCheckFile() || c.OnRecognize() ||
               c.OnShowProgress());
  EXPECT_EQ(c.TargetPath(), "");
  EXPECT_FALSE(c.MakeDirectories() || c.ExceptionOnFileError() || c.CheckSpaceBeforeExpand());
  EXPECT_EQ(c.Name(), "");
  EXPECT_EQ(c.Tag(), 0);
}

TEST(ComponentPropertiesTest, TargetPathEndsInOneBackslash) {
  TKVDoziRivovaze c(nullptr);
  c.SetTargetPath("");
  EXPECT_EQ(c.TargetPath(), "");
  c.SetTargetPath("D:");
  EXPECT_EQ(c.TargetPath(), "D:\\");
  c.SetTargetPath("C:\\Program Files\\");
  EXPECT_EQ(c.TargetPath(), "C:\\Program Files\\");
}

struct Recognizer {
  int calls = 0;
  std::string seen;
  bool answer = false;
  void Recognize(const std::string& id, bool& recognized) {
    ++calls;
    seen = id;
    if (answer) recognized = true;
  }
};

TEST(RecognizeTest, TheTableIsSearchedExactlyThenTheHandlerIsAsked) {
  TKVDoziRivovaze c(nullptr);
  for (uint8_t i = 0; i < kMethodCount; ++i)
    EXPECT_EQ(c.RecognizeCompressID(std::string(MethodIDs[i])), i);
  Recognizer r;
  c.SetOnRecognize(TRecognizeEvent::Bind<&Recognizer::Recognize>(&r));
  EXPECT_EQ(c.RecognizeCompressID("LH5"), 4);
  EXPECT_EQ(r.calls, 0);
  EXPECT_THROW(c.RecognizeCompressID("lh5"), EUnrecognizedCompressionMethod);
  EXPECT_EQ(r.seen, "lh5");
  r.answer = true;
  EXPECT_EQ(c.RecognizeCompressID("lh5"), kMethodCustom);
  EXPECT_EQ(c.RecognizeCompressID("ZIP"), kMethodCustom);
}

TEST(ReadArchiveHeaderTest, ShortSourcesGetTheDefaultHeaderWithoutChecks) {
  TKVDoziRivovaze c(nullptr);
  Recognizer r;
  c.SetOnRecognize(TRecognizeEvent::Bind<&Recognizer::Recognize>(&r));
  TMemoryStream source(
      test::Bytes("ZERK\x1A"
                  "ABC12345678901"));
  ArchiveHeader h;
  std::string id;
  c.ReadArchiveHeader(source, h, id);
  EXPECT_TRUE(h.HasMagic());
  EXPECT_EQ(h.TotalSize, 0);
  EXPECT_EQ(h.ArchiveType, caMulti);
  EXPECT_EQ(id.size(), 3u);
  EXPECT_EQ(r.calls, 0);
}

TEST(ReadArchiveHeaderTest, TheHeaderIsReadFromTheCurrentPosition) {
  TKVDoziRivovaze c(nullptr);
  auto bytes = test::Hex("00 00 5A45524B1A 4C4835 07000000 01 0000000000000000");
  TMemoryStream source(bytes);
  source.SetPosition(2);
  ArchiveHeader h;
  std::string id;
  c.ReadArchiveHeader(source, h, id);
  EXPECT_EQ(id, "LH5");
  EXPECT_EQ(h.TotalSize, 7);
  uint8_t encoded[ArchiveHeader::kSize];
  h.Encode(encoded);
  EXPECT_TRUE(std::equal(encoded, encoded + sizeof encoded, bytes.begin() + 2));
}

TEST(InitArchiveHeaderTest, FillsADefaultHeader) {
  TKVDoziRivovaze c(nullptr);
  ArchiveHeader h;
  h.Reserved1 = 9;
  c.InitArchiveHeader(h, "RLEXYZ", 1, 42);
  EXPECT_TRUE(h.HasMagic());
  EXPECT_EQ(std::string(h.CompressID, 3), "RLE");
  EXPECT_EQ(h.TotalSize, 42);
  EXPECT_EQ(h.Reserved1, 0u);
  EXPECT_EQ(h.Reserved2, 0u);
}

TEST(ReadEntryHeaderTest, ReadsTheRecordAndItsName) {
  TKVDoziRivovaze c(nullptr);
  TMemoryStream source(test::Hex(R"(
      04 00                  # NameLength 4
      AA BB CC DD EE FF      # Reserved1
      10 00 00 00            # Destsize 16
      FF FF FF 7F            # Sourcesize 2^31 - 1
      04                     # Method 4
      78 56 34 12            # Checksum
      00 00 00 80            # Reserved2
      4E 61 6D 65            # "Name"
  )"));
  EntryHeader h;
  std::string name;
  ASSERT_TRUE(c.ReadEntryHeader(source, h, name));
  EXPECT_EQ(name, "Name");
  EXPECT_EQ(h.Destsize, 16);
  EXPECT_EQ(h.Sourcesize, 0x7FFFFFFF);
  EXPECT_EQ(h.Method, 4);
  EXPECT_EQ(h.Checksum, 0x12345678u);
  EXPECT_EQ(h.Reserved2, 0x80000000u);
  EXPECT_FALSE(c.ReadEntryHeader(source, h, name)) << "nothing left";
}

TEST(ReadEntryHeaderTest, AnEmptyNameIsAName) {
  TKVDoziRivovaze c(nullptr);
  std::vector<uint8_t> bytes(EntryHeader::kSize, 0);
  TMemoryStream source(bytes);
  EntryHeader h;
  std::string name = "old";
  EXPECT_TRUE(c.ReadEntryHeader(source, h, name));
  EXPECT_EQ(name, "");
}

}  // namespace
}  // namespace kv

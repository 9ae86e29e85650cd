// The builder's streaming compressors and the archive writer that feeds
// them: output that does not depend on how the input was cut, round trips
// across the window and segment seams, and WriteArchive's streamed entries
// (the fallback to RLE included) matching the archive made in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "archive/records.h"
#include "codecs/rle.h"
#include "tests/kit/archives.h"
#include "tests/kit/bytes.h"
#include "tests/kit/expect.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tools/archive_writer.h"
#include "tools/compressors.h"
#include "tools/entry_plan.h"

namespace kv {
namespace {

using test::DataOfKind;
using test::ExpectRoundTrip;
using test::Join;

// Feeds `data` in pieces of the sizes that `next` gives and returns what the
// sink received.
template <typename NextSize>
std::vector<uint8_t> FeedInPieces(uint8_t method, const std::vector<uint8_t>& data,
                                  NextSize&& next) {
  std::vector<uint8_t> out;
  std::unique_ptr<tools::StreamCompressor> c = tools::StreamCompressorFor(
      method, tools::kDefaultLevel,
      [&](std::span<const uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); });
  size_t at = 0;
  while (at < data.size()) {
    const size_t n = std::min(next(), data.size() - at);
    c->Feed(std::span<const uint8_t>(data).subspan(at, n));
    at += n;
  }
  c->Finish();
  return out;
}

// Text, then binary, then random bytes, then a run: every kind of block,
// over more than one segment.
std::vector<uint8_t> MixedInput() {
  return Join({DataOfKind("text", tools::kLh5Segment / 2, 3), DataOfKind("binary", 400000, 4),
               DataOfKind("random", 200000, 5), DataOfKind("zeros", 150000)});
}

// A compressor that kept its place in the input per Feed call, not per
// segment, would cut blocks (and matches) where the pieces end.
TEST(StreamCompressorTest, Lh5OutputDoesNotDependOnThePieces) {
  const std::vector<uint8_t> data = MixedInput();
  ASSERT_GT(data.size(), tools::kLh5Segment);
  const std::vector<uint8_t> whole = tools::CompressLh5(data);
  for (size_t piece : {size_t{8191}, size_t{8192}, size_t{8193}, size_t{65535}, size_t{65536},
                       size_t{65537}, tools::kLh5Segment - 1, tools::kLh5Segment + 1}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(FeedInPieces(kMethodLh5, data, [&] { return piece; }), whole);
  }
  std::mt19937 rng(7);
  std::uniform_int_distribution<size_t> size(0, 100000);
  EXPECT_EQ(FeedInPieces(kMethodLh5, data, [&] { return size(rng); }), whole);
  const std::vector<uint8_t> stored = ExpectRoundTrip(kMethodLh5, data);
  EXPECT_EQ(stored, whole);
}

TEST(StreamCompressorTest, Lh5OneByteAtATime) {
  const std::vector<uint8_t> data =
      Join({DataOfKind("text", 70000, 9), DataOfKind("binary", 70000)});
  EXPECT_EQ(FeedInPieces(kMethodLh5, data, [] { return size_t{1}; }), tools::CompressLh5(data));
}

// The gathering compressors of RLE and LZH behind the same interface.
TEST(StreamCompressorTest, RleAndLzhInPiecesAsWhole) {
  const std::vector<uint8_t> data = Join({DataOfKind("text", 30000), DataOfKind("zeros", 9000)});
  EXPECT_EQ(FeedInPieces(kMethodRle, data, [] { return size_t{8193}; }), tools::CompressRle(data));
  EXPECT_EQ(FeedInPieces(kMethodLzh1, data, [] { return size_t{777}; }), tools::CompressLzh1(data));
  EXPECT_EQ(tools::StreamCompressorFor(kMethodCustom, tools::kDefaultLevel,
                                       [](std::span<const uint8_t>) {}),
            nullptr);
}

// Sizes at the window (8 KiB), the block-count field (64 Ki codes) and the
// segment seams, where a match or a block would be cut.
TEST(StreamCompressorTest, Lh5RoundTripsAtTheSeams) {
  const size_t seg = tools::kLh5Segment;
  for (size_t n :
       {size_t{0}, size_t{1}, size_t{2}, size_t{8191}, size_t{8192}, size_t{8193}, size_t{65535},
        size_t{65536}, size_t{65537}, seg - 1, seg, seg + 1, seg + 8192}) {
    for (const char* kind : {"text", "zeros", "random"}) {
      SCOPED_TRACE(std::string(kind) + " " + std::to_string(n));
      ExpectRoundTrip(kMethodLh5, DataOfKind(kind, n, static_cast<uint32_t>(n)));
    }
  }
  // A run that spans two seams: each segment starts from the last window of
  // the one before.
  const std::vector<uint8_t> runs =
      Join({DataOfKind("text", seg - 100), DataOfKind("spaces", seg), DataOfKind("text", 5000, 2)});
  const std::vector<uint8_t> stored = ExpectRoundTrip(kMethodLh5, runs);
  EXPECT_LT(stored.size(), runs.size() / 4);
}

// --- WriteArchive -------------------------------------------------------------

// An output that cannot go back: a seek reports the count written, as for a
// pipe or a device.
class AppendOnlyStream final : public TStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override {
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    data.insert(data.end(), p, p + count);
    return count;
  }
  int64_t Seek(int64_t, SeekOrigin) override { return static_cast<int64_t>(data.size()); }
  std::vector<uint8_t> data;
};

struct Planned {
  std::vector<tools::PlannedEntry> plan;
  std::vector<tools::ArchiveEntrySpec> entries;
};

Planned PlanOf(const test::TempDir& dir,
               const std::vector<std::pair<uint8_t, std::vector<uint8_t>>>& files) {
  Planned p;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string name = "f" + std::to_string(i);
    test::WriteFile(dir.File(name), files[i].second);
    p.plan.push_back({name, dir.File(name), files[i].first, files[i].second.size()});
    p.entries.push_back({name, files[i].second, files[i].first});
  }
  return p;
}

// Entries written as they are read must come out byte for byte as the
// archive built in memory: the provisional headers rewritten, and an entry
// that turned out no smaller (random bytes: the LH5 output reaches the
// data's size after the first segment; two bytes that LH5 codes in more)
// rewritten RLE-coded over its compressed start, with the next entry
// straight after it. Only an entry asked for as "NON" is stored.
TEST(WriteArchiveTest, StreamedEntriesMatchTheArchiveBuiltInMemory) {
  test::TempDir dir;
  const Planned p = PlanOf(dir, {{kMethodLh5, DataOfKind("random", 3 * tools::kLh5Segment + 5, 11)},
                                 {kMethodLh5, DataOfKind("text", 100000, 12)},
                                 {kMethodRle, DataOfKind("zeros", 5000)},
                                 {kMethodLh5, test::Bytes("ab")},
                                 {kMethodStored, DataOfKind("binary", 3000)},
                                 {kMethodLzh1, DataOfKind("text", 20000, 13)}});
  const std::vector<uint8_t> expected = tools::BuildArchive(p.entries);

  std::vector<uint8_t> methods;
  TMemoryStream out;
  tools::WriteArchive(out, p.plan,
                      [&](const tools::WrittenEntry& w, uint64_t) { methods.push_back(w.method); });
  EXPECT_EQ(out.Data(), expected);
  EXPECT_EQ(methods, (std::vector<uint8_t>{kMethodRle, kMethodLh5, kMethodRle, kMethodRle,
                                           kMethodStored, kMethodLzh1}));

  AppendOnlyStream pipe;
  tools::WriteArchive(pipe, p.plan, nullptr);
  EXPECT_EQ(pipe.data, expected);
}

// The archive's header names the first entry's method as written, also when
// it fell back to RLE after a streamed start.
TEST(WriteArchiveTest, FirstEntryFallingBackRenamesTheHeader) {
  test::TempDir dir;
  const Planned p = PlanOf(dir, {{kMethodLh5, DataOfKind("random", 70000, 3)}});
  TMemoryStream out;
  tools::WriteArchive(out, p.plan, nullptr);
  ASSERT_EQ(out.Data(), tools::BuildArchive(p.entries));
  const ArchiveHeader h = ArchiveHeader::Decode(out.Data().data());
  EXPECT_EQ(std::string(h.CompressID, h.CompressID + 3), "RLE");
}

// --- the fallback to RLE, which the component verifies -------------------------

// Writes `e` alone to an output that can go back, or (`pipe`) to one that
// cannot; returns the archive.
std::vector<uint8_t> Written(const tools::SourcedEntry& e, bool pipe) {
  AppendOnlyStream to_pipe;
  TMemoryStream to_file;
  tools::WriteArchive(pipe ? static_cast<TStream&>(to_pipe) : to_file, {e}, nullptr);
  return pipe ? to_pipe.data : to_file.Data();
}

// Data that no method shrinks is written RLE-coded, so that the component
// verifies it: a byte of it damaged ends the extraction with EBadChecksum
// (a stored installer would be started damaged). "NON" given by name stays
// NON, and damage there goes through. On an output that can go back, LH5
// writes its first segment before it reaches the data's size, and RLE is
// written over it; on a pipe, into the emptied spool.
TEST(WriteArchiveTest, DataThatDoesNotShrinkIsRleCodedAndVerified) {
  const std::vector<uint8_t> data = test::RandomData(tools::kLh5Segment * 3 / 2, 31);
  const std::vector<uint8_t> rle = tools::CompressRle(data);
  const size_t data_at = ArchiveHeader::kSize + EntryHeader::kSize + 1;
  for (const uint8_t method : {kMethodLh5, kMethodLzh1, kMethodRle, kMethodStored}) {
    for (const bool pipe : {false, true}) {
      SCOPED_TRACE(std::string(MethodIDs[method]) + (pipe ? " to a pipe" : " to a file"));
      const std::vector<uint8_t> archive =
          Written({"a", method, data.size(), tools::MemoryData(data), nullptr}, pipe);
      const bool stored = method == kMethodStored;
      const EntryHeader h = EntryHeader::Decode(archive.data() + ArchiveHeader::kSize);
      EXPECT_EQ(h.Method, stored ? kMethodStored : kMethodRle);
      EXPECT_EQ(archive[ArchiveHeader::kCompressID], stored ? 'N' : 'R');
      EXPECT_EQ(h.Checksum, test::Sum(data));
      // Exactly the stored bytes, nothing of the compressor's start after them.
      EXPECT_TRUE(std::vector<uint8_t>(archive.begin() + static_cast<ptrdiff_t>(data_at),
                                       archive.end()) == (stored ? data : rle));
      EXPECT_TRUE(test::ExtractFromBytes(archive, "a") == data);

      // A literal byte half-way (not the escape, after one that is not
      // either, so that it starts a step) flipped into another literal:
      // the expansion's sum changes.
      std::vector<uint8_t> damaged = archive;
      size_t at = data_at + (archive.size() - data_at) / 2;
      while (damaged[at - 1] == RleMarker || (damaged[at] | 1) == (RleMarker | 1)) ++at;
      damaged[at] ^= 1;
      const test::Failure f = test::FailureOf([&] { test::ExtractFromBytes(damaged, "a"); });
      EXPECT_EQ(f, stored ? test::kNoFailure : test::kBadChecksum);
    }
  }
}

// Serves `first` at its first reading and `later` at every one after: a
// file rewritten, at the same size, while it is packed.
class RewrittenSource final : public tools::DataSource {
 public:
  RewrittenSource(std::vector<uint8_t> first, std::vector<uint8_t> later)
      : first_(std::move(first)), later_(std::move(later)) {}
  const std::string& Subject() const override { return subject_; }
  void Open() override { left_ = readings_++ == 0 ? first_ : later_; }
  std::span<const uint8_t> Next(std::vector<uint8_t>&) override {
    const std::span<const uint8_t> piece = left_.first(std::min<size_t>(left_.size(), 65536));
    left_ = left_.subspan(piece.size());
    return piece;
  }

 private:
  std::vector<uint8_t> first_, later_;
  std::span<const uint8_t> left_;
  int readings_ = 0;
  std::string subject_ = "rewritten";
};

// Should the file change between the two readings into something that RLE
// codes in fewer bytes than the compressor's start it is written over, the
// rest of that start would be left behind the entry (past the archive's
// end): steps that expand to nothing ("94 01") must cover it, one byte more
// at most. The entry is the second reading, with its sum. A pipe's spool
// holds the RLE bytes alone.
TEST(WriteArchiveTest, FallbackShorterThanTheCompressorsStartLeavesNothingStale) {
  const size_t size = 2 * tools::kLh5Segment;
  const std::vector<uint8_t> first = test::RandomData(size, 41);
  const std::vector<uint8_t> later = test::Repeat(size, 'A');
  // LH5 writes its first segment's bytes, then reaches the data's size.
  size_t start = 0;
  tools::MakeLh5Compressor(tools::kDefaultLevel, [&](std::span<const uint8_t> b) {
    start = start > 0 ? start : b.size();
  })->Feed(first);
  for (const bool pipe : {false, true}) {
    SCOPED_TRACE(pipe ? "to a pipe" : "to a file");
    const std::vector<uint8_t> archive = Written(
        {"a", kMethodLh5, size, std::make_shared<RewrittenSource>(first, later), nullptr}, pipe);
    std::vector<uint8_t> expected = tools::CompressRle(later);
    ASSERT_LT(expected.size(), start);
    while (!pipe && expected.size() < start) test::Append(expected, {RleMarker, 1});
    const size_t data_at = ArchiveHeader::kSize + EntryHeader::kSize + 1;
    EXPECT_TRUE(std::vector<uint8_t>(archive.begin() + static_cast<ptrdiff_t>(data_at),
                                     archive.end()) == expected);
    EXPECT_EQ(EntryHeader::Decode(archive.data() + ArchiveHeader::kSize).Checksum,
              test::Sum(later));
    EXPECT_TRUE(test::ExtractFromBytes(archive, "a") == later);
  }
}

// The level reaches the compressors on both paths (an output that can go
// back and one that cannot, whose entries wait in a spool file; 1 and 6,
// neither the default, code differently and quickly), and the
// bytes read are reported while an entry is read, not only after it: in
// steps of at least kProgressStep, never going back, up to the total.
TEST(WriteArchiveTest, LevelsOnBothPathsAndProgressWithinAnEntry) {
  test::TempDir dir;
  const uint64_t step = tools::kProgressStep;
  const Planned p = PlanOf(dir, {{kMethodLh5, DataOfKind("text", 3 * step + 7, 21)},
                                 {kMethodLzh1, DataOfKind("binary", 300000, 22)},
                                 {kMethodLh5, DataOfKind("random", 2 * step, 23)},
                                 {kMethodRle, DataOfKind("zeros", 9000)}});
  uint64_t total = 0;
  for (const tools::PlannedEntry& e : p.plan) total += e.size;
  for (int level : {tools::kMinLevel, 6}) {
    SCOPED_TRACE(level);
    const std::vector<uint8_t> expected = tools::BuildArchive(p.entries, level);
    std::vector<uint64_t> reports;
    size_t reports_in_first_entry = 0;
    tools::WriteOptions options;
    options.level = level;
    options.reading = [&](uint64_t n) { reports.push_back(n); };
    TMemoryStream out;
    tools::WriteArchive(
        out, p.plan,
        [&](const tools::WrittenEntry& w, uint64_t) {
          if (w.index == 0) reports_in_first_entry = reports.size();
        },
        options);
    EXPECT_EQ(out.Data(), expected);
    EXPECT_EQ(reports_in_first_entry, 3u);
    ASSERT_FALSE(reports.empty());
    for (size_t i = 1; i < reports.size(); ++i) EXPECT_GE(reports[i], reports[i - 1] + step);
    EXPECT_GT(reports.back(), total - step);
    EXPECT_LE(reports.back(), total);

    AppendOnlyStream pipe;
    tools::WriteArchive(pipe, p.plan, nullptr, options);
    EXPECT_EQ(pipe.data, expected);
  }
}

TEST(WriteArchiveTest, FileThatChangedSizeIsRefused) {
  test::TempDir dir;
  Planned p = PlanOf(dir, {{kMethodLh5, DataOfKind("text", 50000)}});
  for (uint64_t planned : {uint64_t{49999}, uint64_t{50001}}) {
    p.plan[0].size = planned;
    TMemoryStream out;
    EXPECT_THROW(tools::WriteArchive(out, p.plan, nullptr), tools::BuilderError);
  }
}

}  // namespace
}  // namespace kv

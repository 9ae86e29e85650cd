// Resource bounds: no allocation is sized by a field read from a file,
// beyond the fixed work areas and the 32,767-byte name limit, and output is
// streamed, never held.
//
// This program replaces the global operator new and delete with counting
// versions, so that the test can take the peak of the bytes allocated while
// a call runs. Each case feeds the largest sizes the fields allow (Destsize,
// Sourcesize and PayloadLength of 0x7FFFFFFF or more, NameLength 32767) and
// checks that the peak stays within a fixed bound while the output runs
// into a sink that keeps nothing.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "archive/codec_session.h"
#include "archive/dozirivovaze.h"
#include "core/bytes.h"
#include "launcher/launcher.h"
#include "tests/kit/archives.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tests/kit/launcher_fake.h"
#include "tests/kit/lha_header.h"
#include "tests/kit/streams.h"
#include "tools/archive_writer.h"
#include "tools/compressors.h"
#include "tools/entry_plan.h"
#include "tools/lha_import.h"

namespace {

std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};

void* CountedAlloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  const int64_t live = g_live += static_cast<int64_t>(malloc_usable_size(p));
  int64_t peak = g_peak.load();
  while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
  }
  return p;
}

void CountedFree(void* p) {
  if (p == nullptr) return;
  g_live -= static_cast<int64_t>(malloc_usable_size(p));
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) {
  return CountedAlloc(size);
}
void* operator new[](std::size_t size) {
  return CountedAlloc(size);
}
void operator delete(void* p) noexcept {
  CountedFree(p);
}
void operator delete[](void* p) noexcept {
  CountedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
  CountedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  CountedFree(p);
}
// The non-throwing forms too (std::stable_sort's buffer uses them), so that
// every block is allocated and freed by one family.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  CountedFree(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  CountedFree(p);
}

namespace kv {
namespace {

// Bytes allocated at the peak of `f`, above what was live when it began.
int64_t PeakOf(const std::function<void()>& f) {
  const int64_t base = g_live.load();
  g_peak = base;
  f();
  return g_peak.load() - base;
}

// Every work area and buffer of one extraction together: the session's two
// 8 KiB blocks, the LH5 window and tables (about 60 KiB), the LZH1 tree and
// ring, the copy buffer of 61,440 bytes, a name of up to 32,767 bytes.
constexpr int64_t kBound = 256 * 1024;

using test::CountingSink;
using test::EntryBytes;
using test::Failure;
using test::FailureOf;

// An entry header that claims whatever the test asks, followed by `name`
// and no stored bytes.
std::vector<uint8_t> ClaimingEntry(int16_t name_length, int32_t destsize, int32_t sourcesize,
                                   uint8_t method, const std::string& name) {
  EntryHeader e;
  e.NameLength = name_length;
  e.Destsize = destsize;
  e.Sourcesize = sourcesize;
  e.Method = method;
  return EntryBytes(e, name);
}

constexpr int64_t kStreamed = 48 << 20;  // output let through per case

// The codec sessions: Destsize and Sourcesize of 0x7FFFFFFF over a stream
// that holds far less. The expanders run on (zero bits, or the repeated
// escape of RLE) and stream 48 MiB into the sink, never holding it.
class CodecBoundsTest : public ::testing::TestWithParam<uint8_t> {};

TEST_P(CodecBoundsTest, LargestSizesStreamWithinFixedMemory) {
  std::vector<uint8_t> stored;
  if (GetParam() == kMethodRle) {
    // "X 0x94 0xFF" repeated: 255 bytes out for every 3 in.
    for (int i = 0; i < 200000; ++i) stored.insert(stored.end(), {'X', 0x94, 0xFF});
  } else {
    stored = tools::CompressorFor(GetParam())(test::TextData(5000, 1), tools::kDefaultLevel);
  }
  TMemoryStream source(stored);
  CountingSink dest(kStreamed);
  TKVDoziRivovaze component(nullptr);
  Failure failure;
  const int64_t peak = PeakOf([&] {
    uint32_t checksum = 0;
    failure = FailureOf([&] {
      RunCodecSession(component, dest, source, 0x7FFFFFFF, 0x7FFFFFFF, GetParam(), checksum, true);
    });
  });
  EXPECT_EQ(failure, test::kWriteError) << "the output must reach the sink's cap";
  EXPECT_EQ(dest.Size(), kStreamed);
  EXPECT_LT(peak, kBound);
  EXPECT_GE(peak, 2 * CodecBlockSize) << "the session's buffers must be counted";
}

INSTANTIATE_TEST_SUITE_P(EveryCodec, CodecBoundsTest,
                         ::testing::Values(kMethodRle, kMethodLzh1, kMethodLh5));

// The builder's compressors hold bounded work areas, not their input or
// output. LH5 holds one segment and its work areas: the segment itself, its
// tokens, and at the levels with priced passes (7 to 9, which differ only
// in how long they search) the passes' path arrays and trial codings, under
// 20 bytes per byte of a segment at the peak, whatever the input's size;
// the bound leaves room over that. LZH keeps its window, tree and match
// finder; RLE one output buffer.
constexpr int64_t kCompressBound = 32 * static_cast<int64_t>(tools::kLh5Segment);
constexpr size_t kCompressPiece = size_t{1} << 20;

// Pieces of input per case: more than the LH5 bound in all, so that a
// compressor or writer that held its input could not pass. The sanitizer
// builds run the same cases on less, as they are slower many times over.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kLargePieces = 6;
#else
constexpr int kLargePieces = 34;
#endif

// Piece k of a generated input of text, random, run and binary stretches:
// four pieces made once and taken in turn (farther apart than any
// compressor's window), so that the input is never held whole and its
// making is not counted.
std::span<const uint8_t> GeneratedPiece(int k) {
  static const std::vector<uint8_t> pieces[] = {
      test::DataOfKind("text", kCompressPiece, 1), test::DataOfKind("random", kCompressPiece, 2),
      test::DataOfKind("spaces", kCompressPiece), test::DataOfKind("binary", kCompressPiece, 4)};
  return pieces[k % 4];
}

struct CompressCase {
  uint8_t method;
  int level;
  int64_t bound;
  const char* skip;  // why the case cannot run yet, or null
};

std::string CaseName(const ::testing::TestParamInfo<CompressCase>& info) {
  return std::string(MethodIDs[info.param.method]) + "Level" + std::to_string(info.param.level);
}

class CompressBoundsTest : public ::testing::TestWithParam<CompressCase> {};

TEST_P(CompressBoundsTest, StreamsLargeInputWithinFixedMemory) {
  const CompressCase c = GetParam();
  if (c.skip != nullptr) GTEST_SKIP() << c.skip;
  GeneratedPiece(0);  // made before the count starts
  int64_t out_bytes = 0;
  const int64_t peak = PeakOf([&] {
    std::unique_ptr<tools::StreamCompressor> compressor = tools::StreamCompressorFor(
        c.method, c.level,
        [&](std::span<const uint8_t> b) { out_bytes += static_cast<int64_t>(b.size()); });
    for (int k = 0; k < kLargePieces; ++k) compressor->Feed(GeneratedPiece(k));
    compressor->Finish();
  });
  const int64_t in_bytes = int64_t{kLargePieces} * static_cast<int64_t>(kCompressPiece);
  EXPECT_GT(out_bytes, in_bytes / 8) << "the random pieces come out nearly whole";
  EXPECT_LT(out_bytes, in_bytes + in_bytes / 8);
  EXPECT_GT(peak, 0) << "the compressor's allocations must be counted";
  EXPECT_LT(peak, c.bound);
  RecordProperty("peak_bytes", std::to_string(peak));
}

INSTANTIATE_TEST_SUITE_P(EveryMethodAndLevel, CompressBoundsTest,
                         ::testing::Values(CompressCase{kMethodLh5, 1, kCompressBound, nullptr},
                                           CompressCase{kMethodLh5, 5, kCompressBound, nullptr},
                                           CompressCase{kMethodLh5, 7, kCompressBound, nullptr},
                                           CompressCase{kMethodLzh1, 1, 4 << 20, nullptr},
                                           CompressCase{kMethodLzh1, 5, 4 << 20, nullptr},
                                           CompressCase{kMethodLzh1, 9, 4 << 20, nullptr},
                                           CompressCase{kMethodRle, 1, 1 << 20, nullptr},
                                           CompressCase{kMethodRle, 5, 1 << 20, nullptr},
                                           CompressCase{kMethodRle, 9, 1 << 20, nullptr}),
                         CaseName);

// Writes the generated input, `pieces` of it, to `path`.
void WriteGenerated(const std::string& path, int pieces) {
  TFileStream f(path, FileMode::kCreate);
  for (int k = 0; k < pieces; ++k) {
    const std::span<const uint8_t> piece = GeneratedPiece(k);
    f.WriteBuffer(piece.data(), static_cast<int32_t>(piece.size()));
  }
}

// WriteArchive reads a file in pieces and writes the entry as it goes: a
// file larger than the bound is packed within it, to a file and to an
// output that cannot go back (true: whose entry waits in a spool file, not
// in memory).
class WriteBoundsTest : public ::testing::TestWithParam<bool> {};

TEST_P(WriteBoundsTest, WriteArchivePacksALargeFileWithinSegmentMemory) {
  test::TempDir dir;
  const std::string path = dir.File("big");
  WriteGenerated(path, kLargePieces);
  const uint64_t size = uint64_t{kLargePieces} * kCompressPiece;
  const std::vector<tools::PlannedEntry> plan = {{"big", path, kMethodLh5, size}};
  std::unique_ptr<TStream> out;
  if (GetParam())
    out = std::make_unique<CountingSink>();
  else
    out = std::make_unique<TFileStream>(dir.File("out.kva"), FileMode::kCreate);
  int32_t stored = 0;
  tools::WriteOptions fastest;
  fastest.level = tools::kMinLevel;
  const int64_t peak = PeakOf([&] {
    tools::WriteArchive(
        *out, plan, [&](const tools::WrittenEntry& w, uint64_t) { stored = w.stored; }, fastest);
  });
  EXPECT_GT(stored, 0);
  EXPECT_LT(static_cast<uint64_t>(stored), size);
  EXPECT_EQ(out->Size(),
            static_cast<int64_t>(ArchiveHeader::kSize + EntryHeader::kSize + 3) + stored);
  EXPECT_LT(peak, kCompressBound + static_cast<int64_t>(kCompressPiece));
  RecordProperty("peak_bytes", std::to_string(peak));
}

INSTANTIATE_TEST_SUITE_P(FileAndPipe, WriteBoundsTest, ::testing::Bool());

// The LHA import streams its members from the file: an archive with
// members far larger than the bound, stored and compressed, is converted
// within the codec session's buffers, the header scratch and a copy buffer.
TEST(ImportBoundsTest, LhaImportStreamsLargeMembers) {
  test::TempDir dir;
  const std::string lzh = dir.File("big.lzh");
  constexpr int kPieces = kLargePieces;
  {
    // -lh0- of the generated input, then -lh5- of it; each header is
    // written again once the member's sizes and CRC-16 are known.
    TFileStream f(lzh, FileMode::kCreate);
    for (const char* method : {"-lh0-", "-lh5-"}) {
      const int64_t header_at = f.Position();
      const std::string name = std::string("m") + method;
      std::vector<uint8_t> header = test::LhaLevel0Header(method, name, 0, 0, 0);
      f.WriteBuffer(header.data(), static_cast<int32_t>(header.size()));
      uint16_t crc = 0;
      uint32_t packed = 0;
      auto write = [&](std::span<const uint8_t> b) {
        f.WriteBuffer(b.data(), static_cast<int32_t>(b.size()));
        packed += static_cast<uint32_t>(b.size());
      };
      std::unique_ptr<tools::StreamCompressor> c;
      if (method[3] == '5') c = tools::MakeLh5Compressor(1, write);
      for (int k = 0; k < kPieces; ++k) {
        const std::span<const uint8_t> piece = GeneratedPiece(k);
        crc = tools::LhaCrc16(piece, crc);
        if (c)
          c->Feed(piece);
        else
          write(piece);
      }
      if (c) c->Finish();
      const int64_t end = f.Position();
      header = test::LhaLevel0Header(method, name, packed,
                                     static_cast<uint32_t>(kPieces * kCompressPiece), crc);
      f.SetPosition(header_at);
      f.WriteBuffer(header.data(), static_cast<int32_t>(header.size()));
      f.SetPosition(end);
    }
  }
  std::vector<tools::ImportedEntry> entries;
  const int64_t peak =
      PeakOf([&] { entries = tools::ImportLhaArchive(lzh, dir.File("out.zerk"), false); });
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].method, kMethodLh5);
  EXPECT_EQ(entries[1].destsize, static_cast<int32_t>(kPieces * kCompressPiece));
  EXPECT_LT(peak, int64_t{1} << 20);
  RecordProperty("peak_bytes", std::to_string(peak));
}

TEST(WalkBoundsTest, LargestStoredSizeOfACopiedEntry) {
  // Method 0 with Sourcesize 0x7FFFFFFF and 10 bytes present: the copy
  // goes through its one buffer and fails on the short read.
  std::vector<uint8_t> archive = test::ArchiveHeaderBytes(0x7FFFFFFF);
  const std::vector<uint8_t> entry = ClaimingEntry(1, 0x7FFFFFFF, 0x7FFFFFFF, kMethodStored, "A");
  archive.insert(archive.end(), entry.begin(), entry.end());
  archive.insert(archive.end(), 10, 0x41);
  TMemoryStream stream(archive);
  CountingSink dest(kStreamed);
  TKVDoziRivovaze component(nullptr);
  Failure failure;
  const int64_t peak =
      PeakOf([&] { failure = FailureOf([&] { component.WalkArchive(stream, dest, "A"); }); });
  EXPECT_EQ(failure, test::kReadError);
  EXPECT_LT(peak, kBound);
}

TEST(WalkBoundsTest, LongestNameAndSkippedHugeEntries) {
  // A name of 32,767 bytes that is not wanted, an entry that claims 2 GiB
  // of stored bytes, then a name length of 32,767 with 5 bytes present.
  std::vector<uint8_t> archive = test::ArchiveHeaderBytes(0x7FFFFFFF);
  for (const auto& part : {ClaimingEntry(32767, 0x7FFFFFFF, 0, kMethodLh5, std::string(32767, 'n')),
                           ClaimingEntry(1, 0x7FFFFFFF, 0x7FFFFFFF, kMethodLzh1, "B"),
                           ClaimingEntry(32767, 0x7FFFFFFF, 0x7FFFFFFF, kMethodLh5, "short")})
    archive.insert(archive.end(), part.begin(), part.end());
  TMemoryStream stream(archive);
  CountingSink dest(kStreamed);
  TKVDoziRivovaze component(nullptr);
  Failure failure{"not run", ""};
  const int64_t peak =
      PeakOf([&] { failure = FailureOf([&] { component.WalkArchive(stream, dest, "A"); }); });
  EXPECT_EQ(failure, test::kNoFailure);
  EXPECT_EQ(dest.Size(), 0);
  // The name buffer is the largest allocation: 32,767 bytes, once at a time.
  EXPECT_LT(peak, 2 * 32768 + 4096);
  EXPECT_GE(peak, 32767) << "the longest name must be counted";
}

TEST(LauncherBoundsTest, LargestPayloadLengthFailsWithinTheCopyBuffer) {
  test::TempDir dir;
  test::FakePlatform platform(dir);

  for (uint32_t length : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(length);
    test::WriteFile(platform.ModuleFileName(),
                    test::StampedLauncher(1024, length, test::Repeat(5000, 0x5A)));
    Failure failure;
    const int64_t peak = PeakOf([&] { failure = FailureOf([&] { RunLauncher(platform); }); });
    EXPECT_EQ(failure, test::kReadError);
    EXPECT_LT(peak, kBound);
    RecordProperty("peak_bytes_" + std::to_string(length), std::to_string(peak));
  }
}

}  // namespace
}  // namespace kv

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
#include "tests/kit/streams.h"
#include "tools/archive_writer.h"
#include "tools/compressors.h"
#include "tools/entry_plan.h"

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

// The builder's LH5 compressor holds one segment and its work areas, not
// its input or output: the segment itself, its tokens, the priced parse's
// two 4-byte arrays per byte and two trial codings, some 23 bytes per byte
// of a segment at the peak (random data, one token per byte), whatever the
// input's size. The bound leaves a third over that.
constexpr int64_t kCompressBound = 32 * static_cast<int64_t>(tools::kLh5Segment);
constexpr size_t kCompressPiece = size_t{1} << 20;
constexpr int kCompressPieces = 64;  // 64 MiB in all

// Piece k of a generated input of text, random and run stretches, made
// afresh for every call so that the input is never held whole.
std::vector<uint8_t> GeneratedPiece(int k) {
  static constexpr std::string_view kKinds[] = {"text", "random", "spaces", "text"};
  return test::DataOfKind(kKinds[k % 4], kCompressPiece, static_cast<uint32_t>(k));
}

TEST(CompressBoundsTest, Lh5StreamsLargeInputWithinSegmentMemory) {
  int64_t out_bytes = 0;
  const int64_t peak = PeakOf([&] {
    std::unique_ptr<tools::StreamCompressor> c = tools::MakeLh5Compressor(
        tools::kDefaultLevel,
        [&](std::span<const uint8_t> b) { out_bytes += static_cast<int64_t>(b.size()); });
    for (int k = 0; k < kCompressPieces; ++k) c->Feed(GeneratedPiece(k));
    c->Finish();
  });
  EXPECT_GT(out_bytes, int64_t{kCompressPieces / 4} * static_cast<int64_t>(kCompressPiece))
      << "the random pieces alone come out nearly whole";
  EXPECT_GT(peak, kCompressBound / 2) << "the segment's work areas must be counted";
  EXPECT_LT(out_bytes, int64_t{kCompressPieces} * static_cast<int64_t>(kCompressPiece));
  EXPECT_LT(peak, kCompressBound);
  RecordProperty("peak_bytes", std::to_string(peak));
}

// WriteArchive reads a file in pieces and writes the entry as it goes: a
// file larger than the bound is packed within it.
TEST(CompressBoundsTest, WriteArchivePacksALargeFileWithinSegmentMemory) {
  test::TempDir dir;
  const std::string path = dir.File("big");
  {
    TFileStream f(path, FileMode::kCreate);
    for (int k = 0; k < 24; ++k) {
      const std::vector<uint8_t> piece = GeneratedPiece(k);
      f.WriteBuffer(piece.data(), static_cast<int32_t>(piece.size()));
    }
  }
  const uint64_t size = uint64_t{24} * kCompressPiece;
  const std::vector<tools::PlannedEntry> plan = {{"big", path, kMethodLh5, size}};
  TFileStream out(dir.File("out.kva"), FileMode::kCreate);
  int32_t stored = 0;
  const int64_t peak = PeakOf([&] {
    tools::WriteArchive(out, plan,
                        [&](const tools::WrittenEntry& w, uint64_t) { stored = w.stored; });
  });
  EXPECT_GT(stored, 0);
  EXPECT_LT(static_cast<uint64_t>(stored), size);
  EXPECT_LT(peak, kCompressBound + static_cast<int64_t>(kCompressPiece));
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

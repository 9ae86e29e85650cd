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
#include "tests/test_util.h"
#include "tools/archive_writer.h"
#include "tools/compressors.h"

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

// A sink that keeps only a count and takes at most `cap` bytes: a longer
// output fails its writer with EWriteError once the cap is reached.
class NullSink final : public TStream {
 public:
  explicit NullSink(int64_t cap) : cap_(cap) {}
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void*, int32_t count) override {
    const auto n = static_cast<int32_t>(std::min<int64_t>(count, cap_ - size_));
    size_ += n;
    return n;
  }
  int64_t Seek(int64_t, SeekOrigin) override { return size_; }
  int64_t Size() override { return size_; }

 private:
  int64_t cap_;
  int64_t size_ = 0;
};

std::vector<uint8_t> ArchiveHeaderBytes() {
  std::vector<uint8_t> h(ArchiveHeader::kSize, 0);
  std::copy(std::begin(kArchiveMagic), std::end(kArchiveMagic), h.begin());
  std::copy_n("NON", 3, h.begin() + ArchiveHeader::kCompressID);
  StoreLE32(&h[ArchiveHeader::kTotalSize], 0x7FFFFFFF);
  h[ArchiveHeader::kArchiveType] = caMulti;
  return h;
}

// An entry header that claims whatever the test asks, followed by `name`.
std::vector<uint8_t> EntryBytes(int16_t name_length, int32_t destsize, int32_t sourcesize,
                                uint8_t method, const std::string& name) {
  EntryHeader e;
  e.NameLength = name_length;
  e.Destsize = destsize;
  e.Sourcesize = sourcesize;
  e.Method = method;
  std::vector<uint8_t> out(EntryHeader::kSize);
  e.Encode(out.data());
  out.insert(out.end(), name.begin(), name.end());
  return out;
}

std::string ClassOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.ClassName();
  }
  return "";
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
    stored = tools::CompressorFor(GetParam())(test::TextData(5000, 1));
  }
  TMemoryStream source(stored);
  NullSink dest(kStreamed);
  TKVDoziRivovaze component(nullptr);
  std::string failure;
  const int64_t peak = PeakOf([&] {
    uint32_t checksum = 0;
    failure = ClassOf([&] {
      RunCodecSession(component, dest, source, 0x7FFFFFFF, 0x7FFFFFFF, GetParam(), checksum, true);
    });
  });
  EXPECT_EQ(failure, "EWriteError") << "the output must reach the sink's cap";
  EXPECT_EQ(dest.Size(), kStreamed);
  EXPECT_LT(peak, kBound);
  EXPECT_GE(peak, 2 * CodecBlockSize) << "the session's buffers must be counted";
}

INSTANTIATE_TEST_SUITE_P(EveryCodec, CodecBoundsTest,
                         ::testing::Values(kMethodRle, kMethodLzh1, kMethodLh5));

TEST(WalkBoundsTest, LargestStoredSizeOfACopiedEntry) {
  // Method 0 with Sourcesize 0x7FFFFFFF and 10 bytes present: the copy
  // goes through its one buffer and fails on the short read.
  std::vector<uint8_t> archive = ArchiveHeaderBytes();
  const std::vector<uint8_t> entry = EntryBytes(1, 0x7FFFFFFF, 0x7FFFFFFF, kMethodStored, "A");
  archive.insert(archive.end(), entry.begin(), entry.end());
  archive.insert(archive.end(), 10, 0x41);
  TMemoryStream stream(archive);
  NullSink dest(kStreamed);
  TKVDoziRivovaze component(nullptr);
  std::string failure;
  const int64_t peak =
      PeakOf([&] { failure = ClassOf([&] { component.WalkArchive(stream, dest, "A"); }); });
  EXPECT_EQ(failure, "EReadError");
  EXPECT_LT(peak, kBound);
}

TEST(WalkBoundsTest, LongestNameAndSkippedHugeEntries) {
  // A name of 32,767 bytes that is not wanted, an entry that claims 2 GiB
  // of stored bytes, then a name length of 32,767 with 5 bytes present.
  std::vector<uint8_t> archive = ArchiveHeaderBytes();
  for (const auto& part : {EntryBytes(32767, 0x7FFFFFFF, 0, kMethodLh5, std::string(32767, 'n')),
                           EntryBytes(1, 0x7FFFFFFF, 0x7FFFFFFF, kMethodLzh1, "B"),
                           EntryBytes(32767, 0x7FFFFFFF, 0x7FFFFFFF, kMethodLh5, "short")})
    archive.insert(archive.end(), part.begin(), part.end());
  TMemoryStream stream(archive);
  NullSink dest(kStreamed);
  TKVDoziRivovaze component(nullptr);
  std::string failure = "not run";
  const int64_t peak =
      PeakOf([&] { failure = ClassOf([&] { component.WalkArchive(stream, dest, "A"); }); });
  EXPECT_EQ(failure, "");
  EXPECT_EQ(dest.Size(), 0);
  // The name buffer is the largest allocation: 32,767 bytes, once at a time.
  EXPECT_LT(peak, 2 * 32768 + 4096);
  EXPECT_GE(peak, 32767) << "the longest name must be counted";
}

TEST(LauncherBoundsTest, LargestPayloadLengthFailsWithinTheCopyBuffer) {
  test::TempDir dir;
  class Platform final : public LauncherPlatform {
   public:
    explicit Platform(const test::TempDir& d) : d_(d) {}
    std::string ModuleFileName() override { return d_.File("Setup.exe"); }
    std::string TempPath() override { return d_.path() + "/"; }
    std::string TempFileName(const std::string& folder, const char* prefix) override {
      const std::string name = folder + prefix + "1.tmp";
      test::WriteFile(name, {});
      return name;
    }
    std::string WindowsDirectory() override { return d_.File("WINDOWS"); }
    int32_t LaunchProgram(const std::string&, const std::string&, uint16_t, bool) override {
      return 0;
    }
    void Beep() override {}

   private:
    const test::TempDir& d_;
  } platform(dir);

  for (uint32_t length : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> image(1024, 0);
    std::copy_n("KVI_SIZE", 8, image.begin() + 0x100);
    StoreLE32(&image[0x108], 1024);
    image.resize(1028 + 5000, 0x5A);
    StoreLE32(&image[1024], length);
    test::WriteFile(platform.ModuleFileName(), image);
    std::string failure;
    const int64_t peak = PeakOf([&] { failure = ClassOf([&] { RunLauncher(platform); }); });
    EXPECT_EQ(failure, "EReadError");
    EXPECT_LT(peak, kBound);
    RecordProperty("peak_bytes_" + std::to_string(length), std::to_string(peak));
  }
}

}  // namespace
}  // namespace kv

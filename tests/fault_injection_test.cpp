// Fault injection: every read and every write the component and the
// launcher make is failed in turn, and short reads are delivered, to show
// that each failure ends in the right named exception with its message,
// that nothing is written after it, and that nothing stays open or
// allocated (the sanitizer build runs this program under LeakSanitizer).
//
// Two doubles do the failing:
//  - the kit's TestStream, a TStream over memory, for the entry points that
//    take streams (RunCodecSession, ExpandEntry, WalkArchive, CopyFrom, and
//    the destination of ExtractEntry);
//  - FileFaults, for the files that ExtractEntry and the launcher open
//    themselves: this program is linked with --wrap=read and --wrap=write,
//    so every read(2) and write(2) of TFileStream passes through
//    __wrap_read/__wrap_write below, which count the calls on one chosen
//    file and fail the chosen one with EIO or ENOSPC.
#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/codec_session.h"
#include "archive/dozirivovaze.h"
#include "core/bytes.h"
#include "launcher/launcher.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tests/kit/launcher_fake.h"
#include "tests/kit/streams.h"
#include "tools/archive_writer.h"
#include "tools/compressors.h"

// ---------------------------------------------------------------------------
// FileFaults: the system-call seam.

namespace kv::test {

struct FileFaults {
  std::string path;       // canonical path of the file whose calls are counted
  int fail_read_at = 0;   // 1-based read(2) on it that fails; 0: none
  int fail_write_at = 0;  // 1-based write(2) on it that fails; 0: none
  int reads = 0;
  int writes = 0;
  bool failed = false;
  int calls_after_failure = 0;  // reads or writes on it after the failed one
};

FileFaults* g_file_faults = nullptr;

namespace {

bool IsFaultTarget(int fd) {
  if (g_file_faults == nullptr) return false;
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  char target[PATH_MAX];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 && std::string(target, static_cast<size_t>(n)) == g_file_faults->path;
}

// Arms `faults` for the life of the object.
class ArmedFaults {
 public:
  explicit ArmedFaults(FileFaults& faults) { g_file_faults = &faults; }
  ~ArmedFaults() { g_file_faults = nullptr; }
  ArmedFaults(const ArmedFaults&) = delete;
  ArmedFaults& operator=(const ArmedFaults&) = delete;
};

std::string CanonicalPath(const std::string& path) {
  return std::filesystem::weakly_canonical(path).string();
}

}  // namespace
}  // namespace kv::test

extern "C" ssize_t __real_read(int fd, void* buffer, size_t count);
extern "C" ssize_t __real_write(int fd, const void* buffer, size_t count);

extern "C" ssize_t __wrap_read(int fd, void* buffer, size_t count) {
  using kv::test::g_file_faults;
  if (kv::test::IsFaultTarget(fd)) {
    if (g_file_faults->failed) ++g_file_faults->calls_after_failure;
    if (++g_file_faults->reads == g_file_faults->fail_read_at) {
      g_file_faults->failed = true;
      errno = EIO;
      return -1;
    }
  }
  return __real_read(fd, buffer, count);
}

extern "C" ssize_t __wrap_write(int fd, const void* buffer, size_t count) {
  using kv::test::g_file_faults;
  if (kv::test::IsFaultTarget(fd)) {
    if (g_file_faults->failed) ++g_file_faults->calls_after_failure;
    if (++g_file_faults->writes == g_file_faults->fail_write_at) {
      g_file_faults->failed = true;
      errno = ENOSPC;
      return -1;
    }
  }
  return __real_write(fd, buffer, count);
}

namespace kv {
namespace {

using test::FileFaults;

using test::Failure;
using test::FailureOf;
using test::kBadChecksum;
using test::kBadTable;
using test::kReadError;
using test::kWriteError;
using test::TestStream;
const Failure kNone{};

// Read and write calls a stream double received.
int Reads(const TestStream& s) {
  return static_cast<int>(s.reads.size());
}
int Writes(const TestStream& s) {
  return static_cast<int>(s.writes.size());
}

bool IsPrefix(const std::vector<uint8_t>& part, const std::vector<uint8_t>& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// The session's module-wide record is detached on every way out.
void ExpectSessionDetached() {
  EXPECT_EQ(CodecSession.InputBuffer, nullptr);
  EXPECT_EQ(CodecSession.OutputBuffer, nullptr);
  EXPECT_EQ(CodecSession.SourceStream, nullptr);
  EXPECT_EQ(CodecSession.DestStream, nullptr);
}

// One entry's data and its stored form, for every method the builder writes.
struct Sample {
  uint8_t method;
  std::vector<uint8_t> data;
  std::vector<uint8_t> stored;
};

Sample MakeSample(uint8_t method) {
  // Executable-like bytes: several input blocks for every method, and
  // several output blocks.
  std::vector<uint8_t> data = test::BinaryData(70000, 11);
  std::vector<uint8_t> stored =
      method == kMethodStored ? data : tools::CompressorFor(method)(data, tools::kDefaultLevel);
  return {method, std::move(data), std::move(stored)};
}

const char* MethodName(uint8_t method) {
  static const char* const kNames[] = {"NON", "RLE", "LZH", "CUS", "LH5"};
  return kNames[method];
}

class CodecFaultTest : public ::testing::TestWithParam<uint8_t> {
 protected:
  CodecFaultTest() : sample_(MakeSample(GetParam())) {}

  // ExpandEntry over the doubles; the entry's checksum is the data's.
  Failure Expand(TestStream& source, TestStream& dest) {
    TKVDoziRivovaze component(nullptr);
    return FailureOf([&] {
      component.ExpandEntry(dest, source, static_cast<int32_t>(sample_.stored.size()),
                            static_cast<int32_t>(sample_.data.size()), test::Sum(sample_.data),
                            sample_.method, MethodName(sample_.method));
    });
  }

  // Read and write calls of an undisturbed expansion.
  std::pair<int, int> CleanCalls() {
    TestStream source(sample_.stored);
    TestStream dest;
    EXPECT_EQ(Expand(source, dest), kNone);
    EXPECT_TRUE(dest.Data() == sample_.data);
    return {Reads(source), Writes(dest)};
  }

  Sample sample_;
};

TEST_P(CodecFaultTest, EveryFailedWriteRaisesWriteErrorAndWritesNothingMore) {
  const int writes = CleanCalls().second;
  ASSERT_GE(writes, 2) << "the sample must take several output blocks";
  for (int k = 1; k <= writes; ++k) {
    SCOPED_TRACE("write " + std::to_string(k));
    TestStream source(sample_.stored);
    TestStream dest;
    dest.fail_write_at = k;
    EXPECT_EQ(Expand(source, dest), kWriteError);
    EXPECT_EQ(Writes(dest), k);
    EXPECT_EQ(dest.writes_after_failure, 0);
    EXPECT_TRUE(IsPrefix(dest.Data(), sample_.data)) << "what was written is the output's start";
    ExpectSessionDetached();
  }
}

TEST_P(CodecFaultTest, EveryFailedReadEndsInANamedFailure) {
  const int reads = CleanCalls().first;
  ASSERT_GE(reads, 2) << "the sample must take several input blocks";
  for (int k = 1; k <= reads; ++k) {
    SCOPED_TRACE("read " + std::to_string(k));
    TestStream source(sample_.stored);
    TestStream dest;
    source.fail_read_at = k;
    const Failure f = Expand(source, dest);
    if (GetParam() == kMethodStored) {
      // The copy insists on every byte: the read fails, and nothing of its
      // block is written.
      EXPECT_EQ(f, kReadError);
      EXPECT_EQ(Writes(dest), k - 1);
    } else if (GetParam() == kMethodLh5) {
      // Missing bits may spoil a later block head before the sum is taken.
      EXPECT_TRUE(f == kBadChecksum || f == kBadTable) << f;
    } else {
      // A read that delivers nothing ends the input for the codec: the
      // output comes out wrong, and the sum says so.
      EXPECT_EQ(f, kBadChecksum);
    }
    ExpectSessionDetached();
  }
}

TEST_P(CodecFaultTest, ShortReadsChangeNothingForCodecsAndFailTheStoredCopy) {
  for (int32_t max_read : {1, 7, 100, 4096, 8191}) {
    SCOPED_TRACE("reads of at most " + std::to_string(max_read));
    TestStream source(sample_.stored);
    TestStream dest;
    source.max_read = max_read;
    const Failure f = Expand(source, dest);
    if (GetParam() == kMethodStored) {
      // ReadBuffer insists on the whole count.
      EXPECT_EQ(f, kReadError);
      EXPECT_EQ(Writes(dest), 0);
    } else {
      EXPECT_EQ(f, kNone);
      EXPECT_TRUE(dest.Data() == sample_.data);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, CodecFaultTest,
                         ::testing::Values(kMethodStored, kMethodRle, kMethodLzh1, kMethodLh5),
                         [](const auto& param_info) {
                           return std::string(MethodName(param_info.param));
                         });

// ---------------------------------------------------------------------------
// The walk over a faulty archive stream.

class WalkFaultTest : public ::testing::Test {
 protected:
  // Two wanted entries "A" (LH5, then RLE) around an unwanted stored one.
  WalkFaultTest() {
    const std::vector<uint8_t> first = test::TextData(30000, 3);
    const std::vector<uint8_t> second = test::BinaryData(20000, 4);
    archive_ = tools::BuildArchive(
        std::vector<tools::ArchiveEntrySpec>{{"A", first, kMethodLh5},
                                             {"B", test::RandomData(10000, 5), kMethodStored},
                                             {"A", second, kMethodRle}});
    outputs_ = {{}, first, first};
    outputs_[2].insert(outputs_[2].end(), second.begin(), second.end());
  }

  Failure Walk(TestStream& archive, TestStream& dest) {
    TKVDoziRivovaze component(nullptr);
    return FailureOf([&] { component.WalkArchive(archive, dest, "A"); });
  }

  std::vector<uint8_t> archive_;
  std::vector<std::vector<uint8_t>> outputs_;  // after 0, 1 and 2 wanted entries
};

TEST_F(WalkFaultTest, EveryFailedArchiveReadEndsCleanly) {
  TestStream clean(archive_);
  TestStream clean_dest;
  ASSERT_EQ(Walk(clean, clean_dest), kNone);
  ASSERT_TRUE(clean_dest.Data() == outputs_[2]);
  for (int k = 1; k <= Reads(clean); ++k) {
    SCOPED_TRACE("archive read " + std::to_string(k));
    TestStream archive(archive_);
    TestStream dest;
    archive.fail_read_at = k;
    const Failure f = Walk(archive, dest);
    if (f == kNone) {
      // A header that cannot be read ends the walk, as a truncated archive
      // does: what was written is the output of the entries before it.
      EXPECT_TRUE(std::find(outputs_.begin(), outputs_.end(), dest.Data()) != outputs_.end())
          << dest.Data().size() << " bytes written";
    } else {
      EXPECT_TRUE(f == kReadError || f == kBadChecksum || f == kBadTable) << f;
    }
    ExpectSessionDetached();
  }
}

TEST_F(WalkFaultTest, EveryFailedWriteStopsTheWalk) {
  TestStream clean(archive_);
  TestStream clean_dest;
  ASSERT_EQ(Walk(clean, clean_dest), kNone);
  for (int k = 1; k <= Writes(clean_dest); ++k) {
    SCOPED_TRACE("write " + std::to_string(k));
    TestStream archive(archive_);
    TestStream dest;
    dest.fail_write_at = k;
    EXPECT_EQ(Walk(archive, dest), kWriteError);
    EXPECT_EQ(dest.writes_after_failure, 0) << "the walk must not go on to the next entry";
    EXPECT_TRUE(IsPrefix(dest.Data(), outputs_[2]));
    ExpectSessionDetached();
  }
}

TEST_F(WalkFaultTest, ShortArchiveReadsFailOnlyTheHeaderReads) {
  // Entry headers and names are read with Read and must come whole; a short
  // delivery ends the walk there, never in the middle of a record.
  TestStream archive(archive_);
  TestStream dest;
  archive.max_read = 10;
  const Failure f = Walk(archive, dest);
  EXPECT_EQ(f, kReadError) << "the 21-byte ArchiveHeader is read with ReadBuffer";
  EXPECT_TRUE(dest.Data().empty());
}

// ---------------------------------------------------------------------------
// ExtractEntry: the archive file is closed on every way out.

class ExtractEntryFaultTest : public ::testing::Test {
 protected:
  ExtractEntryFaultTest() : path_(dir_.File("payload.zerk")) {
    data_ = test::TextData(50000, 9);
    test::WriteFile(path_, tools::BuildArchive(
                               std::vector<tools::ArchiveEntrySpec>{{"A", data_, kMethodLzh1}}));
  }

  // The archive can be opened without sharing: nothing holds it open.
  void ExpectArchiveClosed() {
    EXPECT_EQ(FailureOf([&] { TFileStream again(path_, FileMode::kOpenReadExclusive); }), kNone);
  }

  test::TempDir dir_;
  std::string path_;
  std::vector<uint8_t> data_;
};

TEST_F(ExtractEntryFaultTest, FailedDestinationWritesCloseTheArchive) {
  for (int k = 1; k <= 7; ++k) {  // 50,000 bytes make 7 output blocks
    SCOPED_TRACE("write " + std::to_string(k));
    TestStream dest;
    dest.fail_write_at = k;
    TKVDoziRivovaze component(nullptr);
    EXPECT_EQ(FailureOf([&] { component.ExtractEntry(path_, dest, "A"); }), kWriteError);
    EXPECT_EQ(dest.writes_after_failure, 0);
    ExpectArchiveClosed();
  }
}

TEST_F(ExtractEntryFaultTest, FailedArchiveFileReadsCloseTheArchive) {
  FileFaults counting{test::CanonicalPath(path_)};
  {
    test::ArmedFaults armed(counting);
    TestStream dest;
    TKVDoziRivovaze component(nullptr);
    ASSERT_EQ(FailureOf([&] { component.ExtractEntry(path_, dest, "A"); }), kNone);
    ASSERT_TRUE(dest.Data() == data_);
  }
  ASSERT_GE(counting.reads, 4);
  for (int k = 1; k <= counting.reads; ++k) {
    SCOPED_TRACE("read(2) " + std::to_string(k));
    FileFaults faults{test::CanonicalPath(path_)};
    faults.fail_read_at = k;
    TestStream dest;
    Failure f;
    {
      test::ArmedFaults armed(faults);
      TKVDoziRivovaze component(nullptr);
      f = FailureOf([&] { component.ExtractEntry(path_, dest, "A"); });
    }
    EXPECT_TRUE(faults.failed);
    if (f == kNone) {
      EXPECT_TRUE(dest.Data().empty() || dest.Data() == data_);
    } else {
      EXPECT_TRUE(f == kReadError || f == kBadChecksum) << f;
    }
    ExpectArchiveClosed();
  }
}

// ---------------------------------------------------------------------------
// The launcher's copy and the main sequence.

TEST(LauncherCopyFaultTest, CopyFromStopsAtTheFirstFailure) {
  // The launcher copies the payload with CopyFrom, through one buffer of at
  // most 61,440 bytes: 200,000 bytes take four reads and four writes.
  const std::vector<uint8_t> payload = test::RandomData(200000, 2);
  for (int k = 1; k <= 4; ++k) {
    SCOPED_TRACE("call " + std::to_string(k));
    TestStream source(payload);
    TestStream dest;
    source.fail_read_at = k;
    EXPECT_EQ(FailureOf([&] { dest.CopyFrom(source, 200000); }), kReadError);
    EXPECT_EQ(Writes(dest), k - 1);

    TestStream source2(payload);
    TestStream dest2;
    dest2.fail_write_at = k;
    EXPECT_EQ(FailureOf([&] { dest2.CopyFrom(source2, 200000); }), kWriteError);
    EXPECT_EQ(Reads(source2), k) << "no read after the failed write";
    EXPECT_EQ(dest2.writes_after_failure, 0);
  }
  TestStream source(payload);
  TestStream dest;
  source.max_read = 1000;
  EXPECT_EQ(FailureOf([&] { dest.CopyFrom(source, 200000); }), kReadError);
  EXPECT_EQ(Writes(dest), 0);
}

class LauncherFaultTest : public ::testing::TestWithParam<uint8_t> {
 protected:
  LauncherFaultTest() : platform_(dir_) {
    installer_ = test::BinaryData(150000, 21);
    archive_ = tools::BuildArchive(std::vector<tools::ArchiveEntrySpec>{
        {"Data\\readme.txt", test::TextData(3000, 1), kMethodLh5},
        {"Installer\\ZIVizivaz.exe", installer_, GetParam()}});
    launcher_ = test::StampedLauncher(2048, static_cast<uint32_t>(archive_.size()), archive_);
    test::WriteFile(platform_.ModuleFileName(), launcher_);
  }

  std::string TempArchive() { return platform_.TempArchive(); }
  std::string Installer() { return platform_.InstallerPath(); }

  // Runs the main sequence with `faults` armed; removes what an earlier run
  // left behind first.
  Failure Run(FileFaults& faults) {
    std::filesystem::remove(TempArchive());
    std::filesystem::remove(Installer());
    platform_.ClearRecord();
    test::ArmedFaults armed(faults);
    return FailureOf([&] { EXPECT_EQ(RunLauncher(platform_), 0); });
  }

  // The calls a clean run makes on `path`.
  FileFaults CleanCalls(const std::string& path) {
    FileFaults counting{test::CanonicalPath(path)};
    EXPECT_EQ(Run(counting), kNone);
    EXPECT_EQ(platform_.launches.size(), 1u);
    EXPECT_TRUE(test::ReadFile(Installer()) == installer_);
    return counting;
  }

  test::TempDir dir_;
  test::FakePlatform platform_;
  std::vector<uint8_t> installer_;
  std::vector<uint8_t> archive_;
  std::vector<uint8_t> launcher_;
};

TEST_P(LauncherFaultTest, LauncherFileReads) {
  const int reads = CleanCalls(platform_.ModuleFileName()).reads;
  // The copy reads the archive through a buffer of at most 61,440 bytes.
  const int copy_reads = static_cast<int>((archive_.size() + 61439) / 61440);
  const int scan_reads = reads - 1 - copy_reads;
  ASSERT_GE(scan_reads, 1);
  for (int k = 1; k <= reads; ++k) {
    SCOPED_TRACE("read(2) " + std::to_string(k) + " of the launcher file");
    FileFaults faults{test::CanonicalPath(platform_.ModuleFileName())};
    faults.fail_read_at = k;
    const Failure f = Run(faults);
    if (k <= scan_reads) {
      // The scan treats a failed read as the end of the file: no payload.
      EXPECT_EQ(f, kNone);
      EXPECT_EQ(platform_.beeps, 1);
      EXPECT_FALSE(test::FileExists(TempArchive()));
    } else if (k == scan_reads + 1) {
      // The length field reads as 0, which copies the whole launcher file;
      // that is no archive, and the failed extraction is reported.
      EXPECT_EQ(f, (Failure{"EInvalidHeader", "Can't recognize compressed file header"}));
      EXPECT_TRUE(test::ReadFile(TempArchive()) == launcher_);
    } else {
      EXPECT_EQ(f, kReadError);
      EXPECT_FALSE(test::FileExists(Installer()));
      EXPECT_LT(test::ReadFile(TempArchive()).size(), archive_.size());
    }
    EXPECT_TRUE(platform_.launches.empty());
    if (k != scan_reads + 1) {
      EXPECT_EQ(faults.calls_after_failure, 0) << "no read after it";
    }
  }
}

TEST_P(LauncherFaultTest, TemporaryArchiveWrites) {
  const int writes = CleanCalls(TempArchive()).writes;
  ASSERT_GE(writes, 2);
  for (int k = 1; k <= writes; ++k) {
    SCOPED_TRACE("write(2) " + std::to_string(k) + " of the temporary archive");
    FileFaults faults{test::CanonicalPath(TempArchive())};
    faults.fail_write_at = k;
    EXPECT_EQ(Run(faults), kWriteError);
    EXPECT_EQ(faults.calls_after_failure, 0) << "nothing written after the failure";
    EXPECT_FALSE(test::FileExists(Installer()));
    EXPECT_TRUE(platform_.launches.empty());
  }
}

TEST_P(LauncherFaultTest, TemporaryArchiveReads) {
  const int reads = CleanCalls(TempArchive()).reads;
  ASSERT_GE(reads, 3);
  for (int k = 1; k <= reads; ++k) {
    SCOPED_TRACE("read(2) " + std::to_string(k) + " of the temporary archive");
    FileFaults faults{test::CanonicalPath(TempArchive())};
    faults.fail_read_at = k;
    const Failure f = Run(faults);
    if (f == kNone) {
      // The read of an entry header failed: the walk ended there, as for a
      // truncated archive, before the installer's entry (an empty installer
      // is started, as for an archive without it) or after it.
      const std::vector<uint8_t> written = test::ReadFile(Installer());
      EXPECT_TRUE(written.empty() || written == installer_);
      EXPECT_EQ(platform_.launches.size(), 1u);
    } else {
      EXPECT_TRUE(f == kReadError || f == kBadChecksum || f == kBadTable) << f;
      EXPECT_TRUE(platform_.launches.empty()) << "a failed extraction is never started";
    }
  }
}

TEST_P(LauncherFaultTest, InstallerWrites) {
  const int writes = CleanCalls(Installer()).writes;
  ASSERT_GE(writes, 2);
  for (int k = 1; k <= writes; ++k) {
    SCOPED_TRACE("write(2) " + std::to_string(k) + " of the installer file");
    FileFaults faults{test::CanonicalPath(Installer())};
    faults.fail_write_at = k;
    EXPECT_EQ(Run(faults), kWriteError);
    EXPECT_EQ(faults.calls_after_failure, 0) << "nothing written after the failure";
    EXPECT_TRUE(platform_.launches.empty());
    EXPECT_TRUE(test::ReadFile(TempArchive()) == archive_) << "the temporary archive stays whole";
  }
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, LauncherFaultTest,
                         ::testing::Values(kMethodStored, kMethodRle, kMethodLzh1, kMethodLh5),
                         [](const auto& param_info) {
                           return std::string(MethodName(param_info.param));
                         });

}  // namespace
}  // namespace kv

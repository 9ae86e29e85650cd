// The builder: the archive writer, checked by reading back through the
// archive component; its file helpers; stamping a launcher; and the kvarc
// command line, run as a separate program. (The RLE coder's tests are in
// rle_test.cpp.)
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/rorodovazezudovo.h"
#include "core/bytes.h"
#include "launcher/launcher.h"
#include "tests/kit/archives.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tests/kit/launcher_fake.h"
#include "tests/kit/pe_images.h"
#include "tests/kit/streams.h"
#include "tools/archive_reader.h"
#include "tools/archive_writer.h"
#include "tools/compressors.h"
#include "tools/file_util.h"
#include "tools/methods.h"
#include "tools/stamp.h"
#include "tools/streams.h"

namespace kv {
namespace {

using test::Bytes;
using test::FileExists;
using test::Hex;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using tools::ArchiveEntrySpec;
using tools::BuildArchive;
using tools::BuilderError;

using test::ExtractFromBytes;
using test::Failure;
using test::FailureOf;
using test::Join;
using test::Repeat;
using test::UnstampedLauncher;

// ---------------------------------------------------------------------------
// ArchiveWriterTest

TEST(ArchiveWriterTest, WritesTheFiftyByteExample) {
  const std::vector<uint8_t> expected = Hex(R"(
      5A 45 52 4B 1A     # Magic "ZERK" 0x1A
      4E 4F 4E           # CompressID "NON"
      03 00 00 00        # TotalSize 3
      01                 # ArchiveType caMulti
      00 00 00 00        # Reserved1
      00 00 00 00        # Reserved2
      01 00              # NameLength 1
      00 00 00 00 00 00  # Reserved1
      03 00 00 00        # Destsize 3
      03 00 00 00        # Sourcesize 3
      00                 # Method NON
      26 01 00 00        # Checksum 0x61 + 0x62 + 0x63
      00 00 00 00        # Reserved2
      41                 # name "A"
      61 62 63           # stored data "abc"
  )");
  EXPECT_EQ(BuildArchive(std::vector<ArchiveEntrySpec>{{"A", Bytes("abc"), kMethodStored}}),
            expected);
}

TEST(ArchiveWriterTest, EmptyArchiveIsAHeaderOnly) {
  const std::vector<uint8_t> archive = BuildArchive(std::vector<ArchiveEntrySpec>{});
  EXPECT_EQ(archive, Hex("5A 45 52 4B 1A  4E 4F 4E  00 00 00 00  01  00000000 00000000"));
  EXPECT_TRUE(ExtractFromBytes(archive, "anything").empty());
}

TEST(ArchiveWriterTest, HeaderNamesTheFirstEntrysMethodAndTotalSize) {
  const std::vector<uint8_t> archive = BuildArchive(std::vector<ArchiveEntrySpec>{
      {"one", Repeat(100, 1), kMethodRle}, {"two", Repeat(23, 2), kMethodStored}});
  EXPECT_EQ(std::string(archive.begin() + 5, archive.begin() + 8), "RLE");
  EXPECT_EQ(static_cast<int32_t>(LoadLE32(archive.data() + 8)), 123);
}

TEST(ArchiveWriterTest, EveryEntryRoundTripsThroughTheComponent) {
  // All inputs in one archive, each under two methods: a writer that gets
  // TotalSize, a Sourcesize or an offset wrong loses the later entries.
  std::vector<ArchiveEntrySpec> items;
  int64_t total = 0;
  for (const auto& [label, data] : test::RleEdgeInputs()) {
    items.push_back({"NON\\" + label, data, kMethodStored});
    items.push_back({"RLE\\" + label, data, kMethodRle});
    total += 2 * static_cast<int64_t>(data.size());
  }
  const std::vector<uint8_t> archive = BuildArchive(items);
  EXPECT_EQ(static_cast<int32_t>(LoadLE32(archive.data() + ArchiveHeader::kTotalSize)), total);

  for (const ArchiveEntrySpec& item : items) {
    SCOPED_TRACE(item.name);
    EXPECT_EQ(ExtractFromBytes(archive, item.name), item.data);
  }

  // The listing sees every entry with its sizes and the sum of its data.
  TKVDoziRivovaze component(nullptr);
  TMemoryStream stream(archive);
  const tools::ArchiveListing listing = tools::ListArchive(component, stream);
  ASSERT_EQ(listing.entries.size(), items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    SCOPED_TRACE(items[i].name);
    EXPECT_EQ(listing.entries[i].name, items[i].name);
    // Each entry keeps the method it was asked for: RLE stays RLE where it
    // grows the data (escape bytes, random bytes), so that the component
    // still verifies it; an empty entry has no stored bytes.
    const tools::ListedEntry& e = listing.entries[i];
    EXPECT_EQ(e.header.Method, items[i].method);
    EXPECT_EQ(static_cast<size_t>(e.header.Sourcesize),
              items[i].method == kMethodRle ? tools::CompressRle(items[i].data).size()
                                            : items[i].data.size());
    EXPECT_EQ(listing.entries[i].header.Destsize, static_cast<int32_t>(items[i].data.size()));
    EXPECT_EQ(listing.entries[i].header.Checksum, test::Sum(items[i].data));
  }
}

TEST(ArchiveWriterTest, NamesUpTo32767BytesAreWritten) {
  std::string longest(32767, 'n');
  longest.back() = 'Z';
  const std::vector<uint8_t> data = Bytes("payload");
  const std::vector<uint8_t> archive = BuildArchive(std::vector<ArchiveEntrySpec>{
      {longest, data, kMethodStored}, {"after", Bytes("next"), kMethodRle}});
  EXPECT_EQ(LoadLE16(archive.data() + ArchiveHeader::kSize), 32767);
  EXPECT_EQ(ExtractFromBytes(archive, longest), data);
  EXPECT_EQ(ExtractFromBytes(archive, "after"), Bytes("next"));

  EXPECT_THROW(
      BuildArchive(std::vector<ArchiveEntrySpec>{{std::string(32768, 'n'), data, kMethodStored}}),
      BuilderError);
}

TEST(ArchiveWriterTest, RefusesMethodsItCannotWrite) {
  EXPECT_THROW(BuildArchive(std::vector<ArchiveEntrySpec>{{"x", Bytes("x"), kMethodCustom}}),
               BuilderError);
  EXPECT_THROW(BuildArchive(std::vector<ArchiveEntrySpec>{{"x", Bytes("x"), 7}}), BuilderError);
}

TEST(ArchiveWriterTest, MethodFromNameKnowsTheWritableMethods) {
  EXPECT_EQ(tools::MethodFromName("NON"), 0);
  EXPECT_EQ(tools::MethodFromName("rle"), 1);
  EXPECT_EQ(tools::MethodFromName("Lzh"), 2);
  EXPECT_EQ(tools::MethodFromName("LH5"), 4);
  // Custom data belongs to applications; anything else is unknown.
  EXPECT_EQ(tools::MethodFromName("CUS"), -1);
  EXPECT_EQ(tools::MethodFromName(""), -1);
  EXPECT_EQ(tools::MethodFromName("RL"), -1);
  EXPECT_EQ(tools::MethodFromName("RLEX"), -1);
}

// ---------------------------------------------------------------------------
// FileUtilTest

TEST(FileUtilTest, AMissingFileCannotBeOpened) {
  // The refusal names the file and says why; a file that is not there is
  // no directory.
  TempDir dir;
  const std::string missing = dir.File("missing.bin");
  const Failure f = FailureOf([&] { tools::ReadWholeFile(missing); });
  EXPECT_EQ(f.class_name, "BuilderError");
  EXPECT_NE(f.message.find(missing), std::string::npos) << f;
  EXPECT_EQ(f.message.find("is a directory"), std::string::npos) << f;
}

TEST(FileUtilTest, GatheredWritesKeepEveryByteInPlace) {
  // Session-sized blocks across a piece's end, writes larger than a piece,
  // a seek back to patch, a read: the stream ends as if written directly,
  // positions count what is gathered, and what is gathered goes over when
  // the next write would not fit.
  constexpr int32_t kPiece = tools::GatheredWrites::kPiece;
  const std::vector<uint8_t> data = test::DataOfKind("random", 3 * kPiece + 12345, 7);
  test::TestStream out;
  tools::GatheredWrites gathered(out);
  std::span<const uint8_t> rest(data);
  for (const size_t n : {size_t{8192}, size_t{kPiece - 100}, size_t{4096}, size_t{kPiece + 9},
                         rest.size() - 8192 - (kPiece - 100) - 4096 - (kPiece + 9)}) {
    gathered.WriteBuffer(rest.data(), static_cast<int32_t>(n));
    rest = rest.subspan(n);
    EXPECT_EQ(gathered.Position(), static_cast<int64_t>(data.size() - rest.size()));
  }
  gathered.SetPosition(5);
  gathered.WriteBuffer("patch", 5);
  gathered.SetPosition(0);
  uint8_t head[10];
  gathered.ReadBuffer(head, 10);
  gathered.Flush();
  std::vector<uint8_t> expected = data;
  std::copy_n("patch", 5, expected.begin() + 5);
  EXPECT_EQ(out.Data(), expected);
  EXPECT_EQ(std::vector<uint8_t>(head, head + 10),
            std::vector<uint8_t>(expected.begin(), expected.begin() + 10));
  EXPECT_EQ(out.writes,
            (std::vector<int32_t>{8192, kPiece - 100, 4096, kPiece + 9, kPiece + 148, 5}));

  // A destination that takes a piece short fails the write that finds it
  // full, or the flush.
  for (const int32_t first : {kPiece, 8192}) {
    test::TestStream failing;
    failing.fail_write_at = 1;
    tools::GatheredWrites g(failing);
    EXPECT_EQ(FailureOf([&] {
                g.WriteBuffer(data.data(), first);
                g.WriteBuffer(data.data(), 8192);
                g.Flush();
              }),
              (Failure{"EWriteError", "Stream write error"}));
  }
}

// ---------------------------------------------------------------------------
// StampTest

// The marker's stored offset in the crafted launchers.
constexpr size_t kStoredAt = test::kMarkerOffset + 8;

TEST(StampTest, FindsTheMarkerAndItsPlaceholder) {
  const tools::MarkerSearch found = tools::FindMarker(UnstampedLauncher(4096));
  EXPECT_EQ(found.offset, static_cast<int64_t>(test::kMarkerOffset));
  EXPECT_TRUE(found.placeholder);
  EXPECT_EQ(tools::FindMarker(Bytes("no marker here")).offset, -1);
}

TEST(StampTest, StampedLauncherCarriesTheArchiveAtTheImagesEnd) {
  const std::vector<uint8_t> image = UnstampedLauncher(87040);
  const std::vector<uint8_t> archive =
      BuildArchive(std::vector<ArchiveEntrySpec>{{"Installer\\ZIVizivaz.exe", Bytes("MZ"), 0}});
  const std::vector<uint8_t> stamped = tools::StampLauncher(image, archive);

  ASSERT_EQ(stamped.size(), 87040 + 4 + archive.size());
  // The image is unchanged but for the stored offset.
  EXPECT_EQ(LoadLE32(stamped.data() + kStoredAt), 87040u);
  std::vector<uint8_t> restored(stamped.begin(), stamped.begin() + 87040);
  std::copy_n(Bytes("XXXX").begin(), 4, restored.begin() + kStoredAt);
  EXPECT_EQ(restored, image);
  EXPECT_EQ(LoadLE32(stamped.data() + 87040), archive.size());
  EXPECT_TRUE(std::equal(archive.begin(), archive.end(), stamped.begin() + 87044));

  // The launcher's own locator agrees.
  TempDir dir;
  WriteFile(dir.File("Setup.exe"), stamped);
  EXPECT_EQ(LocatePayload(dir.File("Setup.exe")), 87040);
}

// An archive that a launcher can start: one non-empty installer entry.
std::vector<uint8_t> SetupArchive() {
  return BuildArchive(std::vector<ArchiveEntrySpec>{{"Installer\\ZIVizivaz.exe", Bytes("MZ"), 0}});
}

TEST(StampTest, OffsetNeverEndsInThePlaceholderByte) {
  // Blocks at 0x1058 or 0x1158 would read as unprocessed launchers.
  for (size_t size : {size_t{0x1058}, size_t{0x1158}, size_t{0x1057}, size_t{0x1059}}) {
    SCOPED_TRACE(size);
    const std::vector<uint8_t> archive = SetupArchive();
    const std::vector<uint8_t> stamped = tools::StampLauncher(UnstampedLauncher(size), archive);
    const uint32_t offset = LoadLE32(stamped.data() + kStoredAt);
    EXPECT_NE(offset & 0xFF, 0x58u);
    EXPECT_GE(offset, size);
    EXPECT_LE(offset, size + 1);
    // Padding is zero, and the block follows it.
    for (size_t i = size; i < offset; ++i) EXPECT_EQ(stamped[i], 0) << i;
    EXPECT_EQ(LoadLE32(stamped.data() + offset), archive.size());
    EXPECT_EQ(stamped.size(), offset + 4 + archive.size());

    TempDir dir;
    WriteFile(dir.File("Setup.exe"), stamped);
    EXPECT_EQ(LocatePayload(dir.File("Setup.exe")), static_cast<int32_t>(offset));
  }
}

TEST(StampTest, RefusesFileWithoutMarkerAndOneAlreadyStamped) {
  // Each refusal says which it is: whoever hands over the wrong program must
  // not be told that it was stamped before.
  const std::vector<uint8_t> archive = SetupArchive();
  const std::vector<uint8_t> once = tools::StampLauncher(UnstampedLauncher(1024), archive);
  std::vector<uint8_t> no_marker = UnstampedLauncher(1024);
  no_marker[test::kMarkerOffset] = 'k';
  std::vector<uint8_t> two_markers = UnstampedLauncher(1024);
  test::PutMarker(two_markers, 0x300, Bytes("XXXX"));
  const std::vector<uint8_t> x64 = UnstampedLauncher(1024, test::LauncherPeFields(true));
  std::vector<uint8_t> not_pe = UnstampedLauncher(1024);
  not_pe[0x41] = 'X';
  test::PeFields damaged_fields = test::LauncherPeFields();
  damaged_fields.directory_count = 6;  // one more than the optional header holds
  damaged_fields.optional_size = 96 + 5 * 8;
  const std::vector<uint8_t> damaged = UnstampedLauncher(1024, damaged_fields);
  // Signed before stamping: the security directory names a table at the end.
  test::PeFields signed_fields = test::LauncherPeFields();
  signed_fields.certificate_offset = 1024;
  signed_fields.certificate_size = 0x300;
  const std::vector<uint8_t> code_signed = UnstampedLauncher(1024 + 0x300, signed_fields);

  // The table is the whole set of launcher refusals, each with its reason.
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {Bytes("MZ just a program"), "not a launcher: not a Windows program"},
      {not_pe, "not a launcher: not a Windows program"},
      {damaged,
       "not a launcher: a Windows program with damaged headers (6 data directories do not fit in "
       "the optional header (room for 5))"},
      {x64, "not a launcher: not a 32-bit Windows program"},
      {no_marker, "not a launcher: the marker KVI_SIZE is missing"},
      {two_markers, "not a launcher: the marker KVI_SIZE appears more than once"},
      {once, "launcher already stamped (or its marker is damaged)"},
      {code_signed,
       "not a launcher: it is code-signed; sign the Setup.exe after kvarc setup or kvarc stamp, "
       "not the launcher"},
  };
  for (const auto& [image, message] : cases) {
    EXPECT_EQ(FailureOf([&] { tools::StampLauncher(image, archive); }),
              (Failure{"BuilderError", message}));
  }
  // The x86-64 build of the launcher is taken when asked for.
  EXPECT_NO_THROW(tools::StampLauncher(x64, archive, tools::LauncherMachine::kI386OrX64));
}

TEST(StampTest, RefusesArchivesThatStartNoInstaller) {
  const auto archive = [](std::vector<ArchiveEntrySpec> entries) { return BuildArchive(entries); };
  const ArchiveEntrySpec installer{"installer\\zivizivaz.EXE", Bytes("MZ"), 0};
  const ArchiveEntrySpec data{"Data\\a", Bytes("a"), 0};
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {Bytes("ZERK"), "not an archive (shorter than an archive header)"},
      {Join({Bytes("ZERQ\x1A"), Repeat(40, 0)}),
       "not an archive: Can't recognize compressed file header"},
      {archive({data}),
       "the archive has no entry Installer\\ZIVizivaz.exe, which a launcher starts"},
      {archive({installer, data, installer}),
       "the archive has 2 entries named Installer\\ZIVizivaz.exe (a launcher would join them)"},
      {archive({{"Installer\\ZIVizivaz.exe", {}, 0}, data}),
       "the archive's Installer\\ZIVizivaz.exe is empty"},
  };
  for (const auto& [bytes, message] : cases) {
    EXPECT_EQ(FailureOf([&] { tools::CheckSetupArchive(bytes); }),
              (Failure{"BuilderError", message}));
  }
  // The name is matched with ASCII case ignored, as the launcher matches it.
  EXPECT_NO_THROW(tools::CheckSetupArchive(archive({data, installer})));
}

TEST(StampTest, RefusesResultOf2GiBOrMore) {
  // Address space for a 2 GiB archive, never touched, so never allocated.
  constexpr size_t kSize = size_t{1} << 31;
  void* region =
      ::mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (region == MAP_FAILED) GTEST_SKIP() << "cannot reserve 2 GiB of address space";
  const std::span<const uint8_t> huge(static_cast<const uint8_t*>(region), kSize - 1024);
  EXPECT_THROW(tools::StampLauncher(UnstampedLauncher(1024), huge), BuilderError);
  ::munmap(region, kSize);
}

// ---------------------------------------------------------------------------
// KvarcCliTest: the program as scripts call it, in a scratch directory.

class KvarcCliTest : public ::testing::Test {
 protected:
  struct Result {
    int exit_code = -1;
    std::string out;
    std::string err;
  };

  // Runs kvarc with `args`, each passed as one argument, and `input` on
  // its standard input.
  Result Kvarc(const std::vector<std::string>& args, const std::string& input = "") {
    WriteFile(dir_.File("stdin.txt"), Bytes(input));
    std::string command = "cd '" + dir_.path() + "' && '" KVARC_PATH "'";
    for (const std::string& a : args) command += " '" + a + "'";
    command += " >stdout.txt 2>stderr.txt <stdin.txt";
    const int status = std::system(command.c_str());
    Result r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const std::vector<uint8_t> out = ReadFile(dir_.File("stdout.txt"));
    const std::vector<uint8_t> err = ReadFile(dir_.File("stderr.txt"));
    r.out.assign(out.begin(), out.end());
    r.err.assign(err.begin(), err.end());
    return r;
  }

  // A failure is one line on stderr that starts "kvarc: ".
  static void ExpectOneLineError(const Result& r) {
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(r.err.rfind("kvarc: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }

  std::string Path(const std::string& name) const { return dir_.File(name); }

  // Two files packed as "Installer\ZIVizivaz.exe" (NON) and "data.bin" (RLE).
  void MakeArchive() {
    WriteFile(Path("setup-program"), installer_);
    WriteFile(Path("data.bin"), data_);
    const Result r = Kvarc({"create", "-m", "NON", "a.zerk",
                            "Installer\\ZIVizivaz.exe=setup-program", "RLE:data.bin"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }

  TempDir dir_;
  // A 32-bit Windows program's headers, then code-like bytes.
  const std::vector<uint8_t> installer_ = [] {
    std::vector<uint8_t> program = test::BinaryData(30000, 21);
    const std::vector<uint8_t> headers = test::PeImage(test::PeFields{});
    std::copy(headers.begin(), headers.end(), program.begin());
    return program;
  }();
  const std::vector<uint8_t> data_ = Join({Repeat(5000, 0), test::TextData(5000, 22)});
};

TEST_F(KvarcCliTest, CreateListTestExtractRoundTrip) {
  MakeArchive();

  const Result list = Kvarc({"list", "a.zerk"});
  EXPECT_EQ(list.exit_code, 0) << list.err;
  EXPECT_NE(list.out.find("Installer\\ZIVizivaz.exe"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("data.bin"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("RLE"), std::string::npos) << list.out;
  char sum[9];
  std::snprintf(sum, sizeof sum, "%08x", test::Sum(data_));
  EXPECT_NE(list.out.find(sum), std::string::npos) << list.out;

  const Result check = Kvarc({"test", "a.zerk"});
  EXPECT_EQ(check.exit_code, 0) << check.err;

  // Entry names are matched without regard to ASCII case.
  const Result extract = Kvarc({"extract", "a.zerk", "installer\\zivizivaz.exe", "out.exe"});
  EXPECT_EQ(extract.exit_code, 0) << extract.err;
  EXPECT_EQ(ReadFile(Path("out.exe")), installer_);
  EXPECT_EQ(Kvarc({"extract", "a.zerk", "data.bin", "out.bin"}).exit_code, 0);
  EXPECT_EQ(ReadFile(Path("out.bin")), data_);

  // What kvarc writes, the launcher's component reads.
  EXPECT_EQ(ExtractFromBytes(ReadFile(Path("a.zerk")), "Installer\\ZIVizivaz.exe"), installer_);
}

TEST_F(KvarcCliTest, ExtractRefusesToOverwriteWithoutForce) {
  MakeArchive();
  WriteFile(Path("out.exe"), Bytes("keep me"));
  const Result refused = Kvarc({"extract", "a.zerk", "Installer\\ZIVizivaz.exe", "out.exe"});
  ExpectOneLineError(refused);
  EXPECT_EQ(ReadFile(Path("out.exe")), Bytes("keep me"));

  const Result forced = Kvarc({"extract", "a.zerk", "Installer\\ZIVizivaz.exe", "out.exe", "-f"});
  EXPECT_EQ(forced.exit_code, 0) << forced.err;
  EXPECT_EQ(ReadFile(Path("out.exe")), installer_);
}

TEST_F(KvarcCliTest, CreateRefusesToOverwriteWithoutForce) {
  WriteFile(Path("data.bin"), data_);
  WriteFile(Path("a.zerk"), Bytes("old archive"));
  ExpectOneLineError(Kvarc({"create", "-m", "RLE", "a.zerk", "data.bin"}));
  EXPECT_EQ(ReadFile(Path("a.zerk")), Bytes("old archive"));
  EXPECT_EQ(Kvarc({"create", "-m", "RLE", "-f", "a.zerk", "data.bin"}).exit_code, 0);
  EXPECT_EQ(ExtractFromBytes(ReadFile(Path("a.zerk")), "data.bin"), data_);
}

// A depfile on standard output is the command's data there: the result
// line keeps off it. A depfile names its target, so the output must be a
// file.
TEST_F(KvarcCliTest, DepfileOnStandardOutputTakesItAlone) {
  WriteFile(Path("data.bin"), data_);
  const Result r = Kvarc({"create", "--depfile", "-", "a.zerk", "data.bin"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, Path("a.zerk") + ": \\\n  " + Path("data.bin") + "\n");
  EXPECT_EQ(r.err.rfind("a.zerk: 1 entry, ", 0), 0u) << r.err;

  const Result refused = Kvarc({"create", "--depfile", "d", "-", "data.bin"});
  EXPECT_EQ(refused.exit_code, 2);
  EXPECT_EQ(refused.err, "kvarc: --depfile needs an output file, not standard output\n");
}

TEST_F(KvarcCliTest, ExtractOfAnAbsentEntryFails) {
  MakeArchive();
  ExpectOneLineError(Kvarc({"extract", "a.zerk", "Installer\\Other.exe", "out.exe"}));
  EXPECT_FALSE(FileExists(Path("out.exe")));
}

TEST_F(KvarcCliTest, DamagedArchiveFailsTestAndExtract) {
  MakeArchive();
  // Change one stored byte near the end, inside the RLE entry.
  std::vector<uint8_t> archive = ReadFile(Path("a.zerk"));
  archive[archive.size() - 10] ^= 0x01;
  WriteFile(Path("a.zerk"), archive);

  const Result check = Kvarc({"test", "a.zerk"});
  ExpectOneLineError(check);
  EXPECT_NE(check.out.find("FAILED"), std::string::npos) << check.out;

  // A failed extraction leaves no output file, not even a partial one.
  const auto before = std::distance(std::filesystem::directory_iterator(dir_.path()),
                                    std::filesystem::directory_iterator());
  ExpectOneLineError(Kvarc({"extract", "a.zerk", "data.bin", "out.bin"}));
  EXPECT_FALSE(FileExists(Path("out.bin")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            before);
}

TEST_F(KvarcCliTest, NotAnArchiveIsRejected) {
  WriteFile(Path("bad.zerk"), Join({Bytes("zerk"), Repeat(30, 0x1A)}));
  const Result r = Kvarc({"list", "bad.zerk"});
  ExpectOneLineError(r);
  EXPECT_EQ(r.err, "kvarc: bad.zerk: not an archive, nor a launcher that carries one\n");
  ExpectOneLineError(Kvarc({"test", "missing.zerk"}));
}

TEST_F(KvarcCliTest, UnknownMethodIsRejected) {
  WriteFile(Path("data.bin"), data_);
  ExpectOneLineError(Kvarc({"create", "-m", "ZIP", "a.zerk", "data.bin"}));
  EXPECT_FALSE(FileExists(Path("a.zerk")));
}

TEST_F(KvarcCliTest, StampMakesALauncherThatFindsItsArchive) {
  MakeArchive();
  WriteFile(Path("Setup.exe"), UnstampedLauncher(8192));
  const Result r = Kvarc({"stamp", "Setup.exe", "a.zerk", "MySetup.exe"});
  ASSERT_EQ(r.exit_code, 0) << r.err;

  const std::vector<uint8_t> stamped = ReadFile(Path("MySetup.exe"));
  const std::vector<uint8_t> archive = ReadFile(Path("a.zerk"));
  const int32_t offset = LocatePayload(Path("MySetup.exe"));
  ASSERT_EQ(offset, 8192);
  EXPECT_EQ(LoadLE32(stamped.data() + offset), archive.size());
  EXPECT_TRUE(std::vector<uint8_t>(stamped.begin() + offset + 4, stamped.end()) == archive);
  // The unstamped launcher is left as it was.
  EXPECT_EQ(ReadFile(Path("Setup.exe")), UnstampedLauncher(8192));
}

TEST_F(KvarcCliTest, StampRefusesFilesItCannotUse) {
  MakeArchive();
  WriteFile(Path("plain.exe"), Bytes("MZ no marker in this one"));
  ExpectOneLineError(Kvarc({"stamp", "plain.exe", "a.zerk", "out.exe"}));
  EXPECT_FALSE(FileExists(Path("out.exe")));

  WriteFile(Path("Setup.exe"), UnstampedLauncher(4096));
  ASSERT_EQ(Kvarc({"stamp", "Setup.exe", "a.zerk", "once.exe"}).exit_code, 0);
  ExpectOneLineError(Kvarc({"stamp", "once.exe", "a.zerk", "twice.exe"}));
  EXPECT_FALSE(FileExists(Path("twice.exe")));

  // Nor does it overwrite an existing output unless asked.
  WriteFile(Path("taken.exe"), Bytes("taken"));
  ExpectOneLineError(Kvarc({"stamp", "Setup.exe", "a.zerk", "taken.exe"}));
  EXPECT_EQ(ReadFile(Path("taken.exe")), Bytes("taken"));
}

// ---------------------------------------------------------------------------
// KvarcPackagerTest: folders, setup in one step, extraction of everything,
// stamped files read as archives, and every refusal with its exact line.

class KvarcPackagerTest : public KvarcCliTest {
 protected:
  void SetUp() override {
    MakeArchive();
    WriteFile(Path("inst.exe"), installer_);
    std::filesystem::create_directories(Path("data/sub/deeper"));
    WriteFile(Path("data/a.txt"), test::TextData(20000, 3));
    WriteFile(Path("data/sub/b.bin"), test::RandomData(3000, 4));
    WriteFile(Path("data/sub/deeper/empty.txt"), {});
    WriteFile(Path("Setup.exe"), UnstampedLauncher(4096));
  }
  // The tree below `root`: relative path -> contents.
  std::map<std::string, std::vector<uint8_t>> Tree(const std::string& root) const {
    std::map<std::string, std::vector<uint8_t>> tree;
    for (const auto& f : std::filesystem::recursive_directory_iterator(Path(root)))
      if (f.is_regular_file())
        tree[std::filesystem::relative(f.path(), Path(root)).string()] = ReadFile(f.path());
    return tree;
  }
};

TEST_F(KvarcPackagerTest, SetupPacksAFolderThatExtractsBackWhole) {
  const Result made =
      Kvarc({"setup", "-o", "My Setup.exe", "--launcher", "Setup.exe", "inst.exe", "data"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  EXPECT_EQ(made.err, "");

  // A stamped file is an archive to every reading command, wherever its
  // payload is and whatever follows it (a signature).
  std::vector<uint8_t> signed_setup = ReadFile(Path("My Setup.exe"));
  test::Append(signed_setup, Repeat(700, 0x30));
  WriteFile(Path("signed.exe"), signed_setup);
  const Result list = Kvarc({"list", "signed.exe"});
  ASSERT_EQ(list.exit_code, 0) << list.err;
  // Folders become '\' names; the empty file stands first, where the
  // reader meets it before the total runs out.
  const size_t empty_at = list.out.find("data\\sub\\deeper\\empty.txt");
  EXPECT_NE(empty_at, std::string::npos) << list.out;
  EXPECT_LT(empty_at, list.out.find("Installer\\ZIVizivaz.exe")) << list.out;
  const Result test = Kvarc({"test", "signed.exe"});
  EXPECT_EQ(test.exit_code, 0) << test.err;
  EXPECT_EQ(test.out.substr(test.out.rfind("signed.exe:")),
            "signed.exe: all 4 entries ok, and the launcher finds its installer\n");

  const Result all = Kvarc({"extract", "signed.exe", "-o", "out"});
  ASSERT_EQ(all.exit_code, 0) << all.err;
  EXPECT_EQ(all.out, "signed.exe: 4 files extracted into out\n");
  std::map<std::string, std::vector<uint8_t>> expected = Tree("data");
  std::map<std::string, std::vector<uint8_t>> data_part;
  for (const auto& [name, bytes] : Tree("out/data")) data_part[name] = bytes;
  EXPECT_EQ(data_part, expected);
  EXPECT_EQ(ReadFile(Path("out/Installer/ZIVizivaz.exe")), installer_);

  // What the launcher itself finds and extracts is the installer.
  const int32_t offset = LocatePayload(Path("My Setup.exe"));
  ASSERT_GT(offset, 0);
  const std::vector<uint8_t> payload = ReadFile(Path("My Setup.exe"));
  const std::vector<uint8_t> archive(payload.begin() + offset + 4, payload.end());
  EXPECT_EQ(LoadLE32(payload.data() + offset), archive.size());
  EXPECT_EQ(ExtractFromBytes(archive, "Installer\\ZIVizivaz.exe"), installer_);
}

TEST_F(KvarcPackagerTest, EntriesThatWouldGrowAreRleCodedAndListsComeFromFiles) {
  WriteFile(Path("list.txt"), Bytes("LZH:docs/a=data/a.txt\r\n\ndata/sub/b.bin\n"));
  const Result r = Kvarc({"create", "-v", "a2.zerk", "@list.txt", "@-"}, "inst.exe\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<uint8_t> archive = ReadFile(Path("a2.zerk"));
  TKVDoziRivovaze component(nullptr);
  TMemoryStream stream(archive);
  const tools::ArchiveListing listing = tools::ListArchive(component, stream);
  ASSERT_EQ(listing.entries.size(), 3u);
  EXPECT_EQ(listing.entries[0].name, "docs\\a");
  EXPECT_EQ(listing.entries[0].header.Method, kMethodLzh1);
  EXPECT_EQ(listing.entries[1].name, "data\\sub\\b.bin");   // a file item keeps its path
  EXPECT_EQ(listing.entries[1].header.Method, kMethodRle);  // random bytes do not shrink
  EXPECT_EQ(listing.entries[2].name, "inst.exe");
  EXPECT_EQ(ExtractFromBytes(archive, "data\\sub\\b.bin"), ReadFile(Path("data/sub/b.bin")));
  EXPECT_EQ(r.out.substr(r.out.rfind("a2.zerk:")),
            "a2.zerk: 3 entries, " + std::to_string(archive.size()) + " bytes from 53000\n");
  EXPECT_EQ(ExtractFromBytes(archive, "DOCS\\A"), ReadFile(Path("data/a.txt")));
}

// -1 .. -9 and --level reach the compressors, the last one given counting,
// as in gzip; without either the default level is used.
TEST_F(KvarcPackagerTest, LevelsReachTheCompressorsAndTheLastOneCounts) {
  const std::vector<uint8_t> text = test::TextData(200000, 7);
  WriteFile(Path("t.txt"), text);
  const struct {
    std::vector<std::string> options;
    int level;
  } cases[] = {{{}, tools::kDefaultLevel},
               {{"-1"}, 1},
               {{"--level", "9"}, 9},
               {{"-9", "-m", "LZH", "-1"}, 1},
               {{"-1", "--level=9"}, 9}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    std::vector<std::string> args = {"create", "-f"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"x.zerk", "t.txt"});
    const Result r = Kvarc(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const uint8_t method = c.options.size() == 4 ? kMethodLzh1 : kMethodLh5;
    EXPECT_EQ(ReadFile(Path("x.zerk")),
              BuildArchive(std::vector<ArchiveEntrySpec>{{"t.txt", text, method}}, c.level));
  }
}

TEST_F(KvarcPackagerTest, OneEntryGoesToAFileStandardOutputOrADevice) {
  const Result out = Kvarc({"extract", "a.zerk", "data.bin", "-"});
  ASSERT_EQ(out.exit_code, 0) << out.err;
  EXPECT_TRUE(Bytes(out.out) == data_);
  // A link is written through, not replaced by a file of its own.
  WriteFile(Path("target.bin"), Bytes("old"));
  std::filesystem::create_symlink("target.bin", Path("link.bin"));
  EXPECT_EQ(Kvarc({"extract", "a.zerk", "data.bin", "link.bin"}).exit_code, 1);
  EXPECT_EQ(Kvarc({"extract", "-f", "a.zerk", "data.bin", "link.bin"}).exit_code, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(Path("link.bin")));
  EXPECT_EQ(ReadFile(Path("target.bin")), data_);
  EXPECT_EQ(Kvarc({"extract", "a.zerk", "data.bin", "/dev/null"}).exit_code, 0);
}

}  // namespace
}  // namespace kv

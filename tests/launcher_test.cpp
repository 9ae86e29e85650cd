// The launcher's portable part: the payload locator, the main sequence run
// against the kit's fake of the Windows calls, and the top-level report
// text. Launcher images are crafted byte by byte (tests/kit/launcher_fake.h).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/dozirivovaze.h"
#include "core/bytes.h"
#include "launcher/launcher.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tests/kit/launcher_fake.h"
#include "tools/archive_writer.h"
#include "tools/compressors.h"

namespace kv {
namespace {

using test::Bytes;
using test::FileExists;
using test::Hex;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

using test::Append;
using test::FakePlatform;
using test::LauncherImage;
using test::Le32;
using test::PutMarker;
using test::StampedLauncher;

std::vector<uint8_t> InstallerArchive(const std::string& entry_name,
                                      const std::vector<uint8_t>& data, uint8_t method = 0) {
  return tools::BuildArchive(std::vector<tools::ArchiveEntrySpec>{{entry_name, data, method}});
}

using test::Failure;
using test::FailureOf;

// ---------------------------------------------------------------------------
// LocatePayload

class LocatePayloadTest : public ::testing::Test {
 protected:
  int32_t Locate(const std::vector<uint8_t>& file) {
    const std::string path = dir_.File("Setup.exe");
    WriteFile(path, file);
    return LocatePayload(path);
  }
  TempDir dir_;
};

TEST_F(LocatePayloadTest, StampedLauncherGivesItsOffset) {
  // An image of 87,040 bytes with the block right behind it; the marker sits
  // in the fourth chunk of the scan.
  std::vector<uint8_t> file = LauncherImage(87040);
  PutMarker(file, 50000, Le32(87040));
  Append(file, Le32(50));
  Append(file, std::vector<uint8_t>(50, 0xAA));
  EXPECT_EQ(Locate(file), 87040);
}

TEST_F(LocatePayloadTest, PlaceholderGivesZero) {
  std::vector<uint8_t> file = LauncherImage(4096);
  PutMarker(file, 0x400, Bytes("XXXX"));
  EXPECT_EQ(Locate(file), 0);
}

TEST_F(LocatePayloadTest, OnlyThePlaceholdersFirstByteCounts) {
  std::vector<uint8_t> file = LauncherImage(4096);
  PutMarker(file, 0x400, Hex("58 01 00 00"));  // 0x158 = 344, inside the file
  EXPECT_EQ(Locate(file), 0);
  PutMarker(file, 0x400, Hex("59 01 00 00"));  // 0x159 = 345
  EXPECT_EQ(Locate(file), 345);
}

TEST_F(LocatePayloadTest, FileWithoutMarkerGivesZero) {
  EXPECT_EQ(Locate(LauncherImage(50000)), 0);
  // A marker text cut short by the end of the file is no marker either.
  std::vector<uint8_t> file = LauncherImage(100);
  Append(file, Bytes("KVI_SIZ"));
  EXPECT_EQ(Locate(file), 0);
}

TEST_F(LocatePayloadTest, StoredOffsetMustLieInsideTheFile) {
  std::vector<uint8_t> file = LauncherImage(1000);
  PutMarker(file, 0x100, Le32(1000));  // equal to the size
  EXPECT_EQ(Locate(file), 0);
  PutMarker(file, 0x100, Le32(1001));  // above it
  EXPECT_EQ(Locate(file), 0);
  PutMarker(file, 0x100, Le32(0x7FFFFFFF));
  EXPECT_EQ(Locate(file), 0);
  PutMarker(file, 0x100, Le32(999));  // one below: the last byte of the file
  EXPECT_EQ(Locate(file), 999);
  PutMarker(file, 0x100, Le32(1));
  EXPECT_EQ(Locate(file), 1);
}

TEST_F(LocatePayloadTest, NegativeStoredValueIsReturnedUnchanged) {
  std::vector<uint8_t> file = LauncherImage(1000);
  PutMarker(file, 0x100, Le32(0x80000000u));
  EXPECT_EQ(Locate(file), INT32_MIN);
  PutMarker(file, 0x100, Le32(0xFFFFFFFFu));
  EXPECT_EQ(Locate(file), -1);
}

TEST_F(LocatePayloadTest, StoredZeroAloneGivesZero) {
  std::vector<uint8_t> file = LauncherImage(1000);
  PutMarker(file, 0x100, Le32(0));
  EXPECT_EQ(Locate(file), 0);
  // Also when the zero is the very last thing in the file.
  std::vector<uint8_t> at_end = LauncherImage(100);
  Append(at_end, Bytes("KVI_SIZE"));
  Append(at_end, Le32(0));
  EXPECT_EQ(Locate(at_end), 0);
}

TEST_F(LocatePayloadTest, StoredZeroResumesTheScanWithinTheSameChunk) {
  // Both occurrences lie in the first chunk. The scan resumes 4 bytes past
  // the first one, so the second is examined rather than passed over.
  std::vector<uint8_t> file = LauncherImage(3000);
  PutMarker(file, 0x100, Le32(0));
  PutMarker(file, 0x200, Le32(2000));
  EXPECT_EQ(Locate(file), 2000);
  // Even when the second marker text follows the first stored value at once.
  std::vector<uint8_t> adjacent = LauncherImage(3000);
  PutMarker(adjacent, 0x100, Le32(0));
  PutMarker(adjacent, 0x10C, Le32(2500));
  EXPECT_EQ(Locate(adjacent), 2500);
}

TEST_F(LocatePayloadTest, StoredZeroResumesTheScanIntoLaterChunks) {
  std::vector<uint8_t> file = LauncherImage(60000);
  PutMarker(file, 16000, Le32(0));
  PutMarker(file, 45000, Le32(59000));
  EXPECT_EQ(Locate(file), 59000);
}

TEST_F(LocatePayloadTest, RefusedFirstOccurrenceEndsTheScan) {
  // A valid second occurrence is never looked at.
  std::vector<uint8_t> file = LauncherImage(3000);
  PutMarker(file, 0x200, Le32(2000));
  PutMarker(file, 0x100, Bytes("XXXX"));
  EXPECT_EQ(Locate(file), 0);
  PutMarker(file, 0x100, Le32(3000));
  EXPECT_EQ(Locate(file), 0);
}

TEST_F(LocatePayloadTest, MarkerIsFoundAroundEveryChunkSeam) {
  // Chunks start at 0, 16,376, 32,752, 49,128: a scan that steps by a whole
  // chunk, or overlaps by the wrong amount, loses markers near the seams.
  // One at 16,380 straddles the first two reads and lies whole in the second.
  for (size_t at : {size_t{0}, size_t{16372}, size_t{16376}, size_t{16377}, size_t{16380},
                    size_t{16383}, size_t{16384}, size_t{32748}, size_t{32752}, size_t{32756},
                    size_t{32759}, size_t{49124}, size_t{49132}, size_t{65495}}) {
    SCOPED_TRACE(at);
    std::vector<uint8_t> file = LauncherImage(65507);  // the last position leaves exactly 4 bytes
    PutMarker(file, at, Le32(777));
    EXPECT_EQ(Locate(file), 777);
  }
}

TEST_F(LocatePayloadTest, MarkerTooCloseToTheEndGivesZero) {
  // Only three of the four stored bytes exist.
  std::vector<uint8_t> file = LauncherImage(100);
  Append(file, Bytes("KVI_SIZE"));
  Append(file, Hex("05 00 00"));
  EXPECT_EQ(Locate(file), 0);
  // A chunk full of filler followed by such a marker: still 0.
  std::vector<uint8_t> long_file = LauncherImage(20000);
  Append(long_file, Bytes("KVI_SIZE"));
  Append(long_file, Hex("05"));
  EXPECT_EQ(Locate(long_file), 0);
}

TEST_F(LocatePayloadTest, FilesOfEightBytesOrFewerAreNotSearched) {
  EXPECT_EQ(Locate({}), 0);
  EXPECT_EQ(Locate(Bytes("KVI_SIZE")), 0);
  // Twelve bytes are searched: the marker alone, naming its last byte.
  std::vector<uint8_t> twelve = Bytes("KVI_SIZE");
  Append(twelve, Le32(11));
  EXPECT_EQ(Locate(twelve), 11);
}

TEST_F(LocatePayloadTest, MissingFileRaisesOpenError) {
  const std::string path = dir_.File("absent.exe");
  const Failure f = FailureOf([&] { LocatePayload(path); });
  EXPECT_EQ(f, (Failure{"EFOpenError", "Cannot open file " + path}));
}

// ---------------------------------------------------------------------------
// The main sequence, against the fake platform in a temporary directory.

class LauncherTest : public ::testing::Test {
 protected:
  LauncherTest() : platform_(dir_) {}

  std::string InstallerPath() const { return platform_.InstallerPath(); }
  std::string DataPath() const { return platform_.TempArchive(); }
  bool TempFolderEmpty() const { return std::filesystem::is_empty(dir_.File("TEMP")); }

  // Writes the launcher file and runs the main sequence; returns the
  // failure it raised, if any.
  Failure Run(const std::vector<uint8_t>& launcher) {
    WriteFile(platform_.module_file_name, launcher);
    return FailureOf([&] { EXPECT_EQ(RunLauncher(platform_), 0); });
  }

  TempDir dir_;
  FakePlatform platform_;
};

TEST_F(LauncherTest, WithoutPayloadOnlyBeeps) {
  std::vector<uint8_t> launcher = LauncherImage(5000);
  PutMarker(launcher, 0x400, Bytes("XXXX"));
  const Failure f = Run(launcher);
  EXPECT_EQ(f, test::kNoFailure);
  EXPECT_EQ(platform_.beeps, 1);
  EXPECT_TRUE(TempFolderEmpty());
  EXPECT_FALSE(FileExists(InstallerPath()));
  EXPECT_TRUE(platform_.launches.empty());
}

TEST_F(LauncherTest, NegativeStoredOffsetCountsAsNoPayload) {
  std::vector<uint8_t> launcher = LauncherImage(5000);
  PutMarker(launcher, 0x400, Le32(0xFFFFFF00u));
  EXPECT_EQ(Run(launcher), test::kNoFailure);
  EXPECT_EQ(platform_.beeps, 1);
  EXPECT_TRUE(TempFolderEmpty());
  EXPECT_TRUE(platform_.launches.empty());
}

TEST_F(LauncherTest, NormalEndExtractsAndStartsTheInstaller) {
  const std::vector<uint8_t> installer = test::BinaryData(70000, 7);
  const std::vector<uint8_t> archive = InstallerArchive("Installer\\ZIVizivaz.exe", installer);
  const Failure f = Run(StampedLauncher(87040, static_cast<uint32_t>(archive.size()), archive));
  EXPECT_EQ(f, test::kNoFailure);

  EXPECT_EQ(platform_.beeps, 0);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.File("TEMP")), {}), 1);
  EXPECT_TRUE(ReadFile(DataPath()) == archive) << "the temporary archive is not the payload's";
  ASSERT_TRUE(FileExists(InstallerPath()));
  EXPECT_TRUE(ReadFile(InstallerPath()) == installer);

  ASSERT_EQ(platform_.launches.size(), 1u);
  const FakePlatform::Launch& launch = platform_.launches[0];
  EXPECT_EQ(launch.file, InstallerPath());
  EXPECT_EQ(launch.parameters,
            "\"/SOURCE=" + platform_.module_file_name + "\" \"/DATA=" + DataPath() + "\"");
  EXPECT_EQ(launch.show, 1);
  EXPECT_FALSE(launch.wait);
}

TEST_F(LauncherTest, LauncherPathWithSpacesStaysOneArgument) {
  std::filesystem::create_directory(dir_.File("My Files"));
  platform_.module_file_name = dir_.File("My Files") + "/setup.exe";
  const std::vector<uint8_t> archive = InstallerArchive("Installer\\ZIVizivaz.exe", Bytes("MZ!"));
  EXPECT_EQ(Run(StampedLauncher(1024, static_cast<uint32_t>(archive.size()), archive)),
            test::kNoFailure);
  ASSERT_EQ(platform_.launches.size(), 1u);
  const std::string& p = platform_.launches[0].parameters;
  EXPECT_EQ(p, "\"/SOURCE=" + dir_.File("My Files") + "/setup.exe\" \"/DATA=" + DataPath() + "\"");
  EXPECT_EQ(std::count(p.begin(), p.end(), '"'), 4);
}

TEST_F(LauncherTest, TrailingBytesAfterTheArchiveChangeNothing) {
  // A code signature appended after stamping: it must not reach the
  // temporary archive, and the installer comes out the same.
  const std::vector<uint8_t> installer = test::TextData(5000, 3);
  const std::vector<uint8_t> archive = InstallerArchive("Installer\\ZIVizivaz.exe", installer);
  const std::vector<uint8_t> signature = test::RandomData(4096, 11);
  const Failure f =
      Run(StampedLauncher(2048, static_cast<uint32_t>(archive.size()), archive, signature));
  EXPECT_EQ(f, test::kNoFailure);
  EXPECT_TRUE(ReadFile(DataPath()) == archive);
  EXPECT_TRUE(ReadFile(InstallerPath()) == installer);
  EXPECT_EQ(platform_.launches.size(), 1u);
}

TEST_F(LauncherTest, EntryNameCaseIsIgnored) {
  const std::vector<uint8_t> installer = Bytes("lower-case entry");
  const std::vector<uint8_t> archive = InstallerArchive("installer\\zivizivaz.exe", installer);
  EXPECT_EQ(Run(StampedLauncher(1024, static_cast<uint32_t>(archive.size()), archive)),
            test::kNoFailure);
  EXPECT_TRUE(ReadFile(InstallerPath()) == installer);
  EXPECT_EQ(platform_.launches.size(), 1u);
}

TEST_F(LauncherTest, ArchiveWithoutTheEntryStartsAnEmptyInstaller) {
  const std::vector<uint8_t> archive = InstallerArchive("Installer\\Other.exe", Bytes("other"));
  EXPECT_EQ(Run(StampedLauncher(1024, static_cast<uint32_t>(archive.size()), archive)),
            test::kNoFailure);
  ASSERT_TRUE(FileExists(InstallerPath()));
  EXPECT_TRUE(ReadFile(InstallerPath()).empty());
  ASSERT_EQ(platform_.launches.size(), 1u);
  EXPECT_EQ(platform_.launches[0].file, InstallerPath());
}

TEST_F(LauncherTest, FailedExtractionIsReportedAndNothingIsStarted) {
  // An RLE entry whose checksum is off by one.
  const std::vector<uint8_t> installer = test::TextData(2000, 9);
  const std::vector<uint8_t> archive = tools::BuildArchive(std::vector<tools::PrecompressedEntry>{
      {"Installer\\ZIVizivaz.exe", kMethodRle, static_cast<int32_t>(installer.size()),
       test::Sum(installer) + 1, tools::CompressRle(installer)}});
  const Failure f = Run(StampedLauncher(1024, static_cast<uint32_t>(archive.size()), archive));
  EXPECT_EQ(f, (Failure{"EBadChecksum", "Bad checksum during expansion -- data may be invalid"}));
  EXPECT_TRUE(platform_.launches.empty()) << "a damaged installer must not be started";
  // Nothing is deleted: the temporary archive and the installer file stay.
  EXPECT_TRUE(ReadFile(DataPath()) == archive);
  EXPECT_TRUE(FileExists(InstallerPath()));
}

TEST_F(LauncherTest, LengthZeroCopiesTheWholeLauncherAndFailsExtraction) {
  const std::vector<uint8_t> archive = InstallerArchive("Installer\\ZIVizivaz.exe", Bytes("abc"));
  const std::vector<uint8_t> launcher = StampedLauncher(1024, 0, archive);
  const Failure f = Run(launcher);
  // The copy starts with "MZ", not with an archive header.
  EXPECT_EQ(f, (Failure{"EInvalidHeader", "Can't recognize compressed file header"}));
  EXPECT_TRUE(ReadFile(DataPath()) == launcher) << "length 0 copies the whole launcher file";
  ASSERT_TRUE(FileExists(InstallerPath()));
  EXPECT_TRUE(ReadFile(InstallerPath()).empty());
  EXPECT_TRUE(platform_.launches.empty());
}

TEST_F(LauncherTest, LengthBeyondTheFileRaisesReadError) {
  const std::vector<uint8_t> archive = InstallerArchive("Installer\\ZIVizivaz.exe", Bytes("abc"));
  const auto claimed = static_cast<uint32_t>(archive.size() + 1);
  const Failure f = Run(StampedLauncher(1024, claimed, archive));
  EXPECT_EQ(f, (Failure{"EReadError", "Stream read error"}));
  // The temporary archive stays, incomplete; no installer file was made.
  EXPECT_TRUE(FileExists(DataPath()));
  EXPECT_LT(ReadFile(DataPath()).size(), claimed);
  EXPECT_FALSE(FileExists(InstallerPath()));
  EXPECT_TRUE(platform_.launches.empty());
}

TEST_F(LauncherTest, LengthOf2GiBOrMoreRaisesReadError) {
  const std::vector<uint8_t> archive = InstallerArchive("Installer\\ZIVizivaz.exe", Bytes("abc"));
  for (uint32_t length : {0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(length);
    const Failure f = Run(StampedLauncher(1024, length, archive));
    EXPECT_EQ(f, (Failure{"EReadError", "Stream read error"}));
    EXPECT_FALSE(FileExists(InstallerPath()));
    EXPECT_TRUE(platform_.launches.empty());
  }
}

TEST_F(LauncherTest, InstallerNotCreatableRaisesCreateError) {
  platform_.windows_directory = dir_.File("absent") + "/WINDOWS";
  const std::vector<uint8_t> archive = InstallerArchive("Installer\\ZIVizivaz.exe", Bytes("abc"));
  const Failure f = Run(StampedLauncher(1024, static_cast<uint32_t>(archive.size()), archive));
  EXPECT_EQ(f, (Failure{"EFCreateError",
                        "Cannot create file " + dir_.File("absent") + "/WINDOWS\\ZIVizivaz.exe"}));
  EXPECT_TRUE(ReadFile(DataPath()) == archive) << "the temporary archive must be complete";
  EXPECT_TRUE(platform_.launches.empty());
}

// Without a temporary folder, or in one where no file can be made, the
// failure names the folder and the pattern; nothing else is created.
TEST_F(LauncherTest, TemporaryArchiveNotCreatableRaisesCreateError) {
  const struct {
    std::string temp_path;
    std::string message;
  } cases[] = {
      {dir_.File("gone") + "/", "Cannot create file " + dir_.File("gone") + "/KVIXXXX.tmp"},
      {"", "Cannot create file KVIXXXX.tmp"},  // never a name in the current directory
  };
  const std::vector<uint8_t> archive = InstallerArchive("Installer\\ZIVizivaz.exe", Bytes("abc"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.temp_path);
    platform_.temp_path = c.temp_path;
    const Failure f = Run(StampedLauncher(1024, static_cast<uint32_t>(archive.size()), archive));
    EXPECT_EQ(f, (Failure{"EFCreateError", c.message}));
    EXPECT_FALSE(FileExists("KVI0001.tmp"));
    EXPECT_FALSE(FileExists(InstallerPath()));
    EXPECT_TRUE(platform_.launches.empty());
  }
}

// A name that is taken, by a file or by a link (even one that leads
// nowhere), is passed over and left as it is: the launcher never writes
// through a name that someone else prepared. Numbers wrap at four digits.
TEST_F(LauncherTest, TakenTemporaryNamesArePassedOver) {
  platform_.tick_count = 0xFFFE;
  WriteFile(platform_.TempArchive(0xFFFE), Bytes("someone's file"));
  WriteFile(dir_.File("target"), Bytes("target"));
  std::filesystem::create_symlink(dir_.File("target"), platform_.TempArchive(0xFFFF));
  std::filesystem::create_symlink(dir_.File("planted"), platform_.TempArchive(0x10000));
  const std::vector<uint8_t> archive = InstallerArchive("Installer\\ZIVizivaz.exe", Bytes("abc"));
  EXPECT_EQ(Run(StampedLauncher(1024, static_cast<uint32_t>(archive.size()), archive)),
            test::kNoFailure);
  EXPECT_EQ(platform_.TempArchive(0x10001), platform_.temp_path + "KVI0001.tmp");
  EXPECT_TRUE(ReadFile(platform_.TempArchive(0x10001)) == archive);
  EXPECT_EQ(ReadFile(platform_.TempArchive(0xFFFE)), Bytes("someone's file"));
  EXPECT_EQ(ReadFile(dir_.File("target")), Bytes("target"));
  EXPECT_FALSE(FileExists(dir_.File("planted")));
  ASSERT_EQ(platform_.launches.size(), 1u);
  EXPECT_NE(platform_.launches[0].parameters.find("/DATA=" + platform_.TempArchive(0x10001)),
            std::string::npos);
}

// Another process that swaps the temporary archive by name once it exists
// cannot choose what is started: the installer comes from the bytes the
// launcher copied, through the file it keeps open.
TEST_F(LauncherTest, TheInstallerComesFromTheBytesCopiedNotFromTheName) {
  const std::vector<uint8_t> genuine = Bytes("the genuine installer");
  const std::vector<uint8_t> archive = InstallerArchive("Installer\\ZIVizivaz.exe", genuine);
  const std::vector<uint8_t> planted =
      InstallerArchive("Installer\\ZIVizivaz.exe", Bytes("a planted installer"));
  platform_.on_windows_directory = [&] {
    std::filesystem::rename(DataPath(), DataPath() + ".moved");
    WriteFile(DataPath(), planted);
  };
  EXPECT_EQ(Run(StampedLauncher(1024, static_cast<uint32_t>(archive.size()), archive)),
            test::kNoFailure);
  EXPECT_TRUE(ReadFile(InstallerPath()) == genuine);
  EXPECT_TRUE(ReadFile(DataPath() + ".moved") == archive);
  EXPECT_TRUE(ReadFile(DataPath()) == planted);
}

TEST_F(LauncherTest, MissingLauncherFileRaisesOpenError) {
  platform_.module_file_name = dir_.File("vanished.exe");
  const Failure f = FailureOf([&] { RunLauncher(platform_); });
  EXPECT_EQ(f, (Failure{"EFOpenError", "Cannot open file " + dir_.File("vanished.exe")}));
  EXPECT_TRUE(TempFolderEmpty());
}

// The DLL search is restricted before anything else goes through the
// platform, on every way out: no later call can load a DLL from the
// launcher's folder first.
using Calls = std::vector<std::string>;

TEST_F(LauncherTest, DllSearchIsRestrictedBeforeAnyOtherCall) {
  const std::vector<uint8_t> archive = InstallerArchive("Installer\\ZIVizivaz.exe", Bytes("abc"));
  EXPECT_EQ(Run(StampedLauncher(1024, static_cast<uint32_t>(archive.size()), archive)),
            test::kNoFailure);
  EXPECT_EQ(platform_.calls, (Calls{"SetDefaultDllDirectoriesToSystem", "ModuleFileName",
                                    "TempPath", "TickCount", "WindowsDirectory", "LaunchProgram"}));
}

TEST_F(LauncherTest, WithoutSetDefaultDllDirectoriesTheDllDirectoryIsCleared) {
  platform_.has_default_dll_directories = false;
  // Also on the way out through a failure: the report's message box loads
  // DLLs on demand too.
  const Failure f = Run(StampedLauncher(1024, 0x7FFFFFF0u, Bytes("abc")));
  EXPECT_EQ(f, (Failure{"EReadError", "Stream read error"}));
  EXPECT_EQ(platform_.calls,
            (Calls{"SetDefaultDllDirectoriesToSystem", "ClearDllDirectory", "ModuleFileName",
                   "TempPath", "TickCount", "WindowsDirectory"}));
  platform_.ClearRecord();
  EXPECT_EQ(Run(LauncherImage(100)), test::kNoFailure);  // no payload: the beep
  EXPECT_EQ(platform_.calls, (Calls{"SetDefaultDllDirectoriesToSystem", "ClearDllDirectory",
                                    "ModuleFileName", "Beep"}));
}

TEST(LauncherOperationsTest, WindowsDirectoryPathEndsInExactlyOneBackslash) {
  FakePlatform platform;
  platform.windows_directory = "C:\\WINDOWS";
  EXPECT_EQ(WindowsDirectoryPath(platform), "C:\\WINDOWS\\");
  EXPECT_EQ(WindowsDirectoryPath(platform) + kInstallerFileName, "C:\\WINDOWS\\ZIVizivaz.exe");
  platform.windows_directory = "D:\\";
  EXPECT_EQ(WindowsDirectoryPath(platform), "D:\\");
  platform.windows_directory = "";
  EXPECT_EQ(WindowsDirectoryPath(platform), "\\");
}

TEST(LauncherOperationsTest, InstallerParametersQuoteEachSwitchWithItsValue) {
  const std::string p = InstallerParameters("C:\\My Files\\setup.exe", "C:\\TEMP\\KVI3A.tmp");
  EXPECT_EQ(p, R"("/SOURCE=C:\My Files\setup.exe" "/DATA=C:\TEMP\KVI3A.tmp")");
}

// ---------------------------------------------------------------------------
// The top-level report

TEST(ReportTest, NamesClassModuleOffsetAndMessage) {
  EXPECT_EQ(FormatExceptionReport("EFCreateError", "Setup.exe", 0xABCD,
                                  "Cannot create file C:\\WINDOWS\\ZIVizivaz.exe"),
            "Exception EFCreateError in module Setup.exe at 0000ABCD.\n"
            "Cannot create file C:\\WINDOWS\\ZIVizivaz.exe.");
}

TEST(ReportTest, PeriodIsAddedOnlyWhenMissing) {
  EXPECT_EQ(FormatExceptionReport("EBadChecksum", "Setup.exe", 0x1000, "Already ends."),
            "Exception EBadChecksum in module Setup.exe at 00001000.\nAlready ends.");
  EXPECT_EQ(FormatExceptionReport("Exception", "Setup.exe", 0x1000, ""),
            "Exception Exception in module Setup.exe at 00001000.\n");
  EXPECT_EQ(FormatExceptionReport("EReadError", "Setup.exe", 0x1000, "Stream read error"),
            "Exception EReadError in module Setup.exe at 00001000.\nStream read error.");
}

TEST(ReportTest, OffsetHasEightUpperCaseHexDigits) {
  EXPECT_EQ(FormatExceptionReport("E", "m", 0, "x"), "Exception E in module m at 00000000.\nx.");
  EXPECT_EQ(FormatExceptionReport("E", "m", 0xabcdef01u, "x"),
            "Exception E in module m at ABCDEF01.\nx.");
  EXPECT_EQ(FormatExceptionReport("E", "m", 0xFFFFFFFFu, "x"),
            "Exception E in module m at FFFFFFFF.\nx.");
}

TEST(ReportTest, ModuleNameIsTheFileNameWithoutFolder) {
  EXPECT_EQ(FileNameOnly("C:\\My Files\\Setup.exe"), "Setup.exe");
  EXPECT_EQ(FileNameOnly("Setup.exe"), "Setup.exe");
  EXPECT_EQ(FileNameOnly("\\\\server\\share\\Setup.exe"), "Setup.exe");
}

}  // namespace
}  // namespace kv

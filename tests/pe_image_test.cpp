// The builder's reader of Windows PE headers and what it serves: the
// installer check of `kvarc setup`, the launcher's refusal of a code-signed
// image and the account of the bytes after a stamped launcher's payload.
// Images are crafted by tests/kit/pe_images.h; the real launcher and a
// signature made by osslsigncode are used where they exist.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/bytes.h"
#include "launcher/launcher.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tests/kit/launcher_fake.h"
#include "tests/kit/pe_images.h"
#include "tools/archive_input.h"
#include "tools/archive_writer.h"
#include "tools/commands.h"
#include "tools/pe_image.h"
#include "tools/stamp.h"
#include "tools/streams.h"

namespace kv {
namespace {

using test::Failure;
using test::FailureOf;
using test::PeFields;
using test::PeImage;
using test::TempDir;
using tools::PeFault;
using tools::PeHeaders;

// Three sections whose raw data ends at 0x1600, past SizeOfHeaders; the
// .bss section has no raw data, whatever its offset field says.
PeFields ThreeSections() {
  PeFields fields;
  fields.sections = {{".text", 0x400, 0x800}, {".bss", 0x9000, 0}, {".rsrc", 0xC00, 0xA00}};
  return fields;
}

// An x86-64 program's headers: the machine and the PE32+ optional header.
PeFields X64(PeFields fields = {}) {
  fields.machine = tools::kMachineAmd64;
  fields.magic = tools::kPe32PlusMagic;
  return fields;
}

// ---------------------------------------------------------------------------
// PeHeadersTest

TEST(PeHeadersTest, ReadsTheFieldsOfEachKindOfImage) {
  struct Case {
    const char* label;
    PeFields fields;
    uint64_t image_end;
  };
  PeFields x64 = X64(ThreeSections());
  x64.subsystem = tools::kSubsystemWindowsConsole;
  PeFields arm64 = x64;
  arm64.machine = tools::kMachineArm64;
  arm64.size_of_headers = 0x2000;  // later than every section's data
  PeFields few_directories;        // no security directory at all
  few_directories.directory_count = 2;
  PeFields roomy = ThreeSections();  // the section table is where the size says
  roomy.optional_size = 96 + 16 * 8 + 24;
  PeFields moved = ThreeSections();  // e_lfanew elsewhere than right after the DOS header
  moved.header_offset = 0x80;
  const Case cases[] = {
      {"i386", ThreeSections(), 0x1600},
      {"x86-64", x64, 0x1600},
      {"ARM64", arm64, 0x2000},
      {"no sections", PeFields{}, 0x200},
      {"two directories", few_directories, 0x200},
      {"roomy optional header", roomy, 0x1600},
      {"moved header", moved, 0x1600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::vector<uint8_t> image = PeImage(c.fields);
    const PeHeaders pe = tools::ParsePeHeaders(image);
    ASSERT_EQ(pe.fault, PeFault::kNone) << pe.reason;
    const tools::PeInfo& info = pe.info;
    EXPECT_EQ(info.header_offset, c.fields.header_offset);
    EXPECT_EQ(info.machine, c.fields.machine);
    EXPECT_EQ(info.is_64bit, c.fields.magic == tools::kPe32PlusMagic);
    EXPECT_EQ(info.subsystem, c.fields.subsystem);
    EXPECT_EQ(info.size_of_image, c.fields.size_of_image);
    EXPECT_EQ(info.size_of_headers, c.fields.size_of_headers);
    EXPECT_EQ(info.checksum_offset, test::LayoutOf(c.fields).checksum);
    EXPECT_EQ(LoadLE32(image.data() + info.checksum_offset), 0x12345678u);
    EXPECT_EQ(info.directories.size(), c.fields.directory_count);
    ASSERT_EQ(info.sections.size(), c.fields.sections.size());
    for (size_t i = 0; i < info.sections.size(); ++i) {
      EXPECT_EQ(info.sections[i].name, c.fields.sections[i].name);
      EXPECT_EQ(info.sections[i].raw_offset, c.fields.sections[i].raw_offset);
      EXPECT_EQ(info.sections[i].raw_size, c.fields.sections[i].raw_size);
    }
    EXPECT_EQ(info.image_end, c.image_end);
    EXPECT_FALSE(info.HasCertificateTable());
  }
}

TEST(PeHeadersTest, NamesMachinesAndFindsTheCertificateTable) {
  EXPECT_EQ(tools::MachineName(0x014C), "i386");
  EXPECT_EQ(tools::MachineName(0x8664), "x86-64");
  EXPECT_EQ(tools::MachineName(0xAA64), "ARM64");
  EXPECT_EQ(tools::MachineName(0x01C4), "0x01c4");

  for (const uint16_t magic : {tools::kPe32Magic, tools::kPe32PlusMagic}) {
    SCOPED_TRACE(magic);
    PeFields fields;
    fields.magic = magic;
    fields.certificate_offset = 0x5000;
    fields.certificate_size = 0x1238;
    const tools::PeInfo info = tools::ReadPeHeaders(PeImage(fields));
    EXPECT_TRUE(info.HasCertificateTable());
    EXPECT_EQ(info.certificate_offset, 0x5000u);
    EXPECT_EQ(info.certificate_size, 0x1238u);
    EXPECT_EQ(info.Directory(tools::kSecurityDirectory).size, 0x1238u);
    EXPECT_EQ(info.Directory(99).size, 0u);
  }
}

// Every refusal names the structure at fault; none reads outside the bytes.
TEST(PeHeadersTest, RefusesMalformedHeadersWithTheirReason) {
  const PeFields fields = ThreeSections();  // section table at 0x138, headers end at 0x1b0
  const std::vector<uint8_t> good = PeImage(fields, 0x200);
  const auto with = [&](size_t at, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> image = good;
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    return image;
  };
  const auto cut = [&](size_t size) {
    return std::vector<uint8_t>(good.begin(), good.begin() + size);
  };
  PeFields short_plus;  // PE32+ whose optional header is a PE32 one's size
  short_plus.magic = tools::kPe32PlusMagic;
  short_plus.directory_count = 0;
  short_plus.optional_size = 100;
  PeFields directories_over;
  directories_over.directory_count = 17;
  directories_over.optional_size = 96 + 16 * 8;

  struct Case {
    const char* label;
    std::vector<uint8_t> bytes;
    PeFault fault;
    std::string reason;
  };
  const Case cases[] = {
      {"empty", {}, PeFault::kNoPeHeader, "no MZ signature"},
      {"text", test::Bytes("Hello, this is a text file, not a program."), PeFault::kNoPeHeader,
       "no MZ signature"},
      {"DOS header cut", cut(0x3C), PeFault::kNoPeHeader,
       "the DOS header is cut short (60 of 64 bytes)"},
      {"e_lfanew past the end", with(0x3C, test::Le32(0x10000)), PeFault::kNoPeHeader,
       "the PE header's offset 0x10000 is past the 512 bytes available"},
      {"e_lfanew at the last bytes", with(0x3C, test::Le32(0x1FE)), PeFault::kNoPeHeader,
       "the PE header's offset 0x1fe is past the 512 bytes available"},
      {"e_lfanew at 4 GiB - 1", with(0x3C, test::Le32(0xFFFFFFFF)), PeFault::kNoPeHeader,
       "the PE header's offset 0xffffffff is past the 512 bytes available"},
      {"bad signature", with(0x40, test::Bytes("PE\x01")), PeFault::kNoPeHeader,
       "no PE signature at 0x40"},
      {"COFF header cut", cut(0x50), PeFault::kDamaged,
       "the COFF header at 0x44 runs past the 80 bytes available"},
      {"optional header cut", cut(0x100), PeFault::kDamaged,
       "the optional header (224 bytes at 0x58) runs past the 256 bytes available"},
      {"no optional header", with(0x54, {0, 0}), PeFault::kDamaged,
       "the optional header is 0 bytes, too short to hold its magic"},
      {"ROM magic", with(0x58, {0x07, 0x01}), PeFault::kDamaged,
       "unknown optional header magic 0x107"},
      {"PE32+ fixed part cut", PeImage(short_plus), PeFault::kDamaged,
       "the PE32+ optional header is 100 bytes, shorter than its fixed part of 112"},
      {"one directory too many", PeImage(directories_over), PeFault::kDamaged,
       "17 data directories do not fit in the optional header (room for 16)"},
      {"4 G directories", with(0x58 + 92, test::Le32(0xFFFFFFFF)), PeFault::kDamaged,
       "4294967295 data directories do not fit in the optional header (room for 16)"},
      {"section table cut", cut(0x1AF), PeFault::kDamaged,
       "the section table (3 sections at 0x138) runs past the 431 bytes available"},
      {"65535 sections", with(0x46, {0xFF, 0xFF}), PeFault::kDamaged,
       "the section table (65535 sections at 0x138) runs past the 512 bytes available"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const PeHeaders pe = tools::ParsePeHeaders(c.bytes);
    EXPECT_EQ(pe.fault, c.fault);
    EXPECT_EQ(pe.reason, c.reason);
    EXPECT_EQ(FailureOf([&] { tools::ReadPeHeaders(c.bytes); }),
              (Failure{"BuilderError", "not a Windows program (" + c.reason + ")"}));
  }
}

// The reader needs every byte up to the end of the section table and no
// more: each shorter prefix is refused (under the sanitizers, without a
// read past it), and from the signature on it is a damaged image.
TEST(PeHeadersTest, EveryCutOfTheHeadersIsRefused) {
  for (const PeFields& fields : {ThreeSections(), test::LauncherPeFields(true)}) {
    const std::vector<uint8_t> image = PeImage(fields);
    const size_t end = test::LayoutOf(fields).headers_end;
    ASSERT_EQ(image.size(), end);
    for (size_t size = 0; size < end; ++size) {
      SCOPED_TRACE(size);
      const std::vector<uint8_t> prefix(image.begin(),
                                        image.begin() + static_cast<std::ptrdiff_t>(size));
      const PeHeaders pe = tools::ParsePeHeaders(prefix);
      EXPECT_EQ(pe.fault, size < 0x44 ? PeFault::kNoPeHeader : PeFault::kDamaged);
      EXPECT_FALSE(pe.reason.empty());
    }
    EXPECT_EQ(tools::ParsePeHeaders(image).fault, PeFault::kNone);
  }
}

// The stream form reads the first 64 KiB, whatever the stream's size.
TEST(PeHeadersTest, StreamFormReadsTheFirst64KiBOnly) {
  std::vector<uint8_t> image = PeImage(ThreeSections(), 200000);
  tools::TSpanStream stream(image);
  stream.SetPosition(5000);
  const PeHeaders from_stream = tools::ParsePeHeaders(stream);
  ASSERT_EQ(from_stream.fault, PeFault::kNone) << from_stream.reason;
  EXPECT_EQ(from_stream.info.image_end, 0x1600u);

  // Headers beyond the first 64 KiB are not looked for.
  PeFields far;
  far.header_offset = 70000;
  image = PeImage(far, 80000);
  ASSERT_EQ(tools::ParsePeHeaders(image).fault, PeFault::kNone);
  tools::TSpanStream far_stream(image);
  EXPECT_EQ(tools::ParsePeHeaders(far_stream).reason,
            "the PE header's offset 0x11170 is past the 65536 bytes available");
}

// ---------------------------------------------------------------------------
// InstallerImageTest

TEST(InstallerImageTest, AcceptsWindowsProgramsAndNotesTheOnesNotEveryWindowsRuns) {
  PeFields arm64 = X64();
  arm64.machine = tools::kMachineArm64;
  PeFields arm32;
  arm32.machine = 0x01C4;
  PeFields dll;
  dll.characteristics = 0x2102;
  PeFields damaged;
  damaged.directory_count = 17;
  damaged.optional_size = 96 + 16 * 8;
  std::vector<uint8_t> dos_program = PeImage(PeFields{});
  dos_program[0x40] = 0;  // an old program: no PE signature where e_lfanew points

  const std::string cannot = ": the launcher could not start it";
  struct Case {
    const char* label;
    std::vector<uint8_t> head;
    Failure failure;
    std::string note;
  };
  const Case cases[] = {
      {"i386", PeImage(PeFields{}), {}, ""},
      {"x86-64", PeImage(X64()), {}, "a 64-bit (x86-64) program: it starts only on 64-bit Windows"},
      {"ARM64",
       PeImage(arm64),
       {},
       "a 64-bit (ARM64) program: it starts only on 64-bit Windows for ARM"},
      {"ARM",
       PeImage(arm32),
       {},
       "a program for the machine 0x01c4, not i386: it starts only on Windows for that machine"},
      {"text",
       test::Bytes("@echo off\r\n"),
       {"BuilderError", "not a Windows program (no PE header)" + cannot},
       ""},
      {"DOS program",
       dos_program,
       {"BuilderError", "not a Windows program (no PE header)" + cannot},
       ""},
      {"damaged",
       PeImage(damaged),
       {"BuilderError",
        "a Windows program with damaged headers (17 data directories do not fit in the optional "
        "header (room for 16))" +
            cannot},
       ""},
      {"DLL", PeImage(dll), {"BuilderError", "a DLL, not a program" + cannot}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string note;
    EXPECT_EQ(FailureOf([&] { note = tools::CheckInstallerImage(c.head); }), c.failure);
    EXPECT_EQ(note, c.note);
  }
}

// Installers can be hundreds of MB: the check reads the headers only. A
// sparse file of 4 GiB would take a whole-file reader gigabytes of memory.
TEST(InstallerImageTest, FileFormReadsTheHeadersOnlyAndNamesTheFile) {
  TempDir dir;
  const std::string big = dir.File("big.exe");
  test::WriteFile(big, PeImage(X64()));
  ASSERT_EQ(::truncate(big.c_str(), off_t{1} << 32), 0);
  EXPECT_EQ(tools::CheckInstallerImage(big),
            big + ": a 64-bit (x86-64) program: it starts only on 64-bit Windows");

  const std::string text = dir.File("readme.txt");
  test::WriteFile(text, test::Bytes("not a program"));
  EXPECT_EQ(FailureOf([&] { tools::CheckInstallerImage(text); }),
            (Failure{"BuilderError", text + ": not a Windows program (no PE header): the launcher "
                                            "could not start it"}));
  EXPECT_EQ(FailureOf([&] { tools::CheckInstallerImage(dir.File("missing.exe")); }),
            (Failure{"BuilderError", dir.File("missing.exe") + ": No such file or directory"}));
}

// Keeps what a command says.
class KeptReport final : public tools::Report {
 public:
  void Line(const std::string& text) override { lines.push_back(text); }
  void Warning(const std::string& text) override { warnings.push_back(text); }
  bool Details() const override { return false; }
  bool ShowsProgress() const override { return false; }
  void Progress(const std::string&) override {}

  std::vector<std::string> lines;
  std::vector<std::string> warnings;
};

TEST(InstallerImageTest, SetupWarnsOfA64BitInstallerAndRefusesAText) {
  TempDir dir;
  test::WriteFile(dir.File("Setup.exe"), test::UnstampedLauncher(4096));
  test::WriteFile(dir.File("inst64.exe"), PeImage(X64(), 3000));
  test::WriteFile(dir.File("inst32.exe"), PeImage(PeFields{}, 3000));
  test::WriteFile(dir.File("notes.txt"), test::Bytes("install me"));

  tools::SetupOptions o;
  o.launcher = dir.File("Setup.exe");
  o.out = dir.File("out64.exe");
  o.installer = dir.File("inst64.exe");
  KeptReport report;
  tools::Setup(o, {}, report);
  EXPECT_EQ(report.warnings, std::vector<std::string>{dir.File("inst64.exe") +
                                                      ": a 64-bit (x86-64) program: it starts "
                                                      "only on 64-bit Windows"});
  EXPECT_TRUE(test::FileExists(o.out));

  report.warnings.clear();
  o.out = dir.File("out32.exe");
  o.installer = dir.File("inst32.exe");
  tools::Setup(o, {}, report);
  EXPECT_TRUE(report.warnings.empty());

  o.out = dir.File("out.exe");
  o.installer = dir.File("notes.txt");
  EXPECT_EQ(FailureOf([&] { tools::Setup(o, {}, report); }).message,
            dir.File("notes.txt") +
                ": not a Windows program (no PE header): the launcher could not start it");
  EXPECT_FALSE(test::FileExists(o.out));
}

// ---------------------------------------------------------------------------
// TrailingBytesTest

TEST(TrailingBytesTest, TellsACertificateTableFromOtherBytes) {
  const auto info = [](uint32_t offset, uint32_t size) {
    tools::PeInfo i;
    i.certificate_offset = offset;
    i.certificate_size = size;
    return i;
  };
  using tools::TrailingKind;
  struct Case {
    const char* label;
    tools::PeInfo info;
    uint64_t file_size;
    uint64_t payload_end;
    TrailingKind kind;
    std::string text;
  };
  const Case cases[] = {
      {"nothing after", info(0, 0), 5000, 5000, TrailingKind::kNone, "nothing after the payload"},
      {"unsigned, bytes after", info(0, 0), 5700, 5000, TrailingKind::kUnknown,
       "700 bytes after the payload (not a certificate table)"},
      {"one byte", info(0, 0), 5001, 5000, TrailingKind::kUnknown,
       "1 byte after the payload (not a certificate table)"},
      {"table right after", info(5000, 1234), 6234, 5000, TrailingKind::kCertificateTable,
       "1234 bytes after the payload: a code signature's certificate table"},
      {"table after padding", info(5008, 1232), 6240, 5001, TrailingKind::kCertificateTable,
       "1239 bytes after the payload: a code signature's certificate table"},
      {"table, then more", info(5000, 1200), 6234, 5000, TrailingKind::kCertificateTableAndMore,
       "1234 bytes after the payload: a code signature's certificate table, then 34 bytes after "
       "the certificate table"},
      {"table cut short", info(5000, 1234), 5700, 5000, TrailingKind::kCertificateTableCut,
       "700 bytes after the payload: a code signature's certificate table cut short (700 of its "
       "1234 bytes)"},
      {"gap is not alignment", info(5003, 1231), 6234, 5001, TrailingKind::kUnknown,
       "1233 bytes after the payload (not a certificate table)"},
      {"gap of 8", info(5008, 1226), 6234, 5000, TrailingKind::kUnknown,
       "1234 bytes after the payload (not a certificate table)"},
      {"table inside the image", info(4000, 1000), 5700, 5000, TrailingKind::kUnknown,
       "700 bytes after the payload (not a certificate table)"},
      {"table past the end", info(6240, 8), 6240, 6234, TrailingKind::kUnknown,
       "6 bytes after the payload (not a certificate table)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const tools::TrailingBytes t = tools::AnalyzeTrailingBytes(c.info, c.file_size, c.payload_end);
    EXPECT_EQ(t.kind, c.kind);
    EXPECT_EQ(t.count, c.file_size - c.payload_end);
    EXPECT_EQ(tools::DescribeTrailingBytes(t), c.text);
  }
  const tools::TrailingBytes padded = tools::AnalyzeTrailingBytes(info(5008, 1232), 6240, 5001);
  EXPECT_EQ(padded.padding, 7u);
  EXPECT_EQ(padded.certificate_size, 1232u);
  EXPECT_EQ(FailureOf([&] { tools::AnalyzeTrailingBytes(info(0, 0), 100, 101); }),
            (Failure{"BuilderError",
                     "the payload ends at byte 101, past the end of the file (100 bytes)"}));
}

// A stamped launcher signed as a signer does it: the security directory
// patched to name a table appended after the payload at an 8-byte boundary.
TEST(TrailingBytesTest, ReadsTheHeadersOfAStampedLauncher) {
  const std::vector<uint8_t> archive = tools::BuildArchive(
      std::vector<tools::ArchiveEntrySpec>{{"Installer\\ZIVizivaz.exe", test::Bytes("MZ"), 0}});
  std::vector<uint8_t> file = tools::StampLauncher(test::UnstampedLauncher(1001), archive);
  const uint64_t payload_end = file.size();
  file.resize((file.size() + 7) / 8 * 8, 0);
  const size_t table = file.size();
  test::Append(file, test::Repeat(0x200, 0x30));
  const size_t security = test::LayoutOf(test::LauncherPeFields()).directory_count + 4 + 8 * 4;
  StoreLE32(file.data() + security, static_cast<uint32_t>(table));
  StoreLE32(file.data() + security + 4, 0x200);
  tools::TSpanStream stream(file);
  const tools::TrailingBytes t = tools::AnalyzeTrailingBytes(stream, payload_end);
  EXPECT_EQ(t.kind, tools::TrailingKind::kCertificateTable);
  EXPECT_EQ(t.padding, table - payload_end);

  // A file without readable headers accounts for nothing.
  std::vector<uint8_t> plain = test::Bytes("ZERK and then some");
  tools::TSpanStream plain_stream(plain);
  EXPECT_EQ(tools::AnalyzeTrailingBytes(plain_stream, 4).kind, tools::TrailingKind::kUnknown);
}

// ---------------------------------------------------------------------------
// RealLauncherTest: the win32 build's Setup.exe, when it has been built.

std::string RealLauncher() {
  return std::string(KV_SOURCE_DIR) + "/build/win32/launcher/Setup.exe";
}

TEST(RealLauncherTest, ParsesAsA32BitGuiProgramWithoutSignature) {
  if (!std::filesystem::exists(RealLauncher())) GTEST_SKIP() << "no " << RealLauncher();
  const std::vector<uint8_t> image = test::ReadFile(RealLauncher());
  const tools::PeInfo info = tools::ReadPeHeaders(image);
  EXPECT_EQ(tools::MachineName(info.machine), "i386");
  EXPECT_FALSE(info.is_64bit);
  EXPECT_EQ(info.subsystem, tools::kSubsystemWindowsGui);
  EXPECT_FALSE(info.HasCertificateTable());
  EXPECT_EQ(info.directories.size(), 16u);
  // The stripped launcher has no bytes after its sections: the payload
  // that stamping appends starts where the image ends.
  EXPECT_EQ(info.image_end, image.size());
  EXPECT_NO_THROW(tools::CheckLauncherImage(image));
  EXPECT_EQ(tools::CheckInstallerImage(image), "");
}

// Runs a shell command quietly; true when it succeeded.
bool RunQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(RealLauncherTest, ASignedLauncherIsRefusedAndASignedSetupIsAccountedFor) {
  if (!std::filesystem::exists(RealLauncher())) GTEST_SKIP() << "no " << RealLauncher();
  if (!RunQuietly("command -v osslsigncode") || !RunQuietly("command -v openssl"))
    GTEST_SKIP() << "osslsigncode or openssl is not installed";
  TempDir dir;
  const std::string key = dir.File("key.pem"), cert = dir.File("cert.pem");
  ASSERT_TRUE(
      RunQuietly("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Test -keyout '" +
                 key + "' -out '" + cert + "'"));
  const auto sign = [&](const std::string& in, const std::string& out) {
    return RunQuietly("osslsigncode sign -certs '" + cert + "' -key '" + key + "' -in '" + in +
                      "' -out '" + out + "'");
  };

  // Signed before stamping: refused, or the Setup.exe's signature would break.
  ASSERT_TRUE(sign(RealLauncher(), dir.File("signed-launcher.exe")));
  const std::vector<uint8_t> signed_launcher = test::ReadFile(dir.File("signed-launcher.exe"));
  EXPECT_EQ(FailureOf([&] { tools::CheckLauncherImage(signed_launcher); }),
            (Failure{"BuilderError",
                     "not a launcher: it is code-signed; sign the Setup.exe after kvarc setup or "
                     "kvarc stamp, not the launcher"}));

  // Signed after stamping: the bytes after the payload are the signature.
  const std::vector<uint8_t> archive = tools::BuildArchive(std::vector<tools::ArchiveEntrySpec>{
      {"Installer\\ZIVizivaz.exe", test::ReadFile(RealLauncher()), 0}});
  test::WriteFile(dir.File("setup.exe"),
                  tools::StampLauncher(test::ReadFile(RealLauncher()), archive));
  ASSERT_TRUE(sign(dir.File("setup.exe"), dir.File("signed-setup.exe")));
  const std::string signed_setup = dir.File("signed-setup.exe");
  tools::ArchiveInput input(signed_setup);
  const uint64_t payload_end = static_cast<uint64_t>(input.PayloadOffset()) + 4 + archive.size();
  TFileStream file(signed_setup, FileMode::kOpenReadShared);
  const tools::TrailingBytes t = tools::AnalyzeTrailingBytes(file, payload_end);
  EXPECT_EQ(t.kind, tools::TrailingKind::kCertificateTable) << tools::DescribeTrailingBytes(t);
  EXPECT_GT(t.certificate_size, 0u);
}

}  // namespace
}  // namespace kv

// The builder as a library: the commands called directly with their option
// records and a Report that keeps what they say; the one archive writer fed
// from every kind of source; the method table; the host layer.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/records.h"
#include "tests/kit/archives.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tests/kit/launcher_fake.h"
#include "tools/archive_writer.h"
#include "tools/commands.h"
#include "tools/host.h"
#include "tools/list_report.h"
#include "tools/methods.h"
#include "tools/output.h"
#include "tools/streams.h"
#include "tools/version_record.h"

namespace kv {
namespace {

using test::FailureOf;
using test::Join;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Keeps every line and warning; asks for details.
class KeptReport final : public tools::Report {
 public:
  void Line(const std::string& text) override { lines.push_back(text); }
  void Warning(const std::string& text) override { warnings.push_back(text); }
  bool Details() const override { return true; }
  bool ShowsProgress() const override { return false; }
  void Progress(const std::string&) override { ADD_FAILURE() << "progress while not shown"; }

  std::vector<std::string> lines;
  std::vector<std::string> warnings;
};

// ---------------------------------------------------------------------------
// CommandsTest

// The command line's work without the command line: what create packs,
// list, test and both forms of extract read back, with each result line.
TEST(CommandsTest, CreateListTestAndExtractThroughTheLibrary) {
  TempDir dir;
  std::filesystem::create_directories(dir.File("in/sub"));
  std::filesystem::create_directories(dir.File("in/none"));
  const std::vector<uint8_t> text = test::DataOfKind("text", 20000, 1);
  WriteFile(dir.File("in/sub/a.txt"), text);
  WriteFile(dir.File("in/b.bin"), test::Bytes("b"));
  KeptReport report;

  tools::CreateOptions create;
  create.archive = dir.File("x.kva");
  create.items = {dir.File("in")};
  tools::Create(create, report);
  const auto size = std::filesystem::file_size(create.archive);
  EXPECT_EQ(report.warnings,
            std::vector<std::string>{dir.File("in/none") +
                                     ": empty folder not packed (archives hold files only)"});
  ASSERT_EQ(report.lines.size(), 3u);  // a line per entry, then the result
  EXPECT_EQ(report.lines[2],
            create.archive + ": 2 entries, " + std::to_string(size) + " bytes from 20001\n");

  report.lines.clear();
  tools::Test(create.archive, report);
  EXPECT_EQ(report.lines.back(), create.archive + ": all 2 entries ok\n");

  report.lines.clear();
  tools::List(create.archive, report);
  ASSERT_EQ(report.lines.size(), 4u);
  // The first entry, "in\\b.bin", is one byte, which LH5 cannot shrink.
  EXPECT_EQ(report.lines[0], "archive " + create.archive + ": method RLE, total size 20001\n");

  tools::ExtractOptions one;
  one.archive = create.archive;
  one.args = {"IN\\SUB\\A.TXT", dir.File("a.out")};
  tools::Extract(one, report);
  EXPECT_EQ(ReadFile(dir.File("a.out")), text);

  tools::ExtractOptions tree;
  tree.archive = create.archive;
  tree.folder = dir.File("out");
  report.lines.clear();
  tools::Extract(tree, report);
  EXPECT_EQ(ReadFile(dir.File("out/in/sub/a.txt")), text);
  EXPECT_EQ(report.lines.back(), create.archive + ": 2 files extracted into " + tree.folder + "\n");
}

// `list` marks every entry that the launcher extracts without verifying it
// (stored, "NON") and counts them in a closing line, which an archive
// without one lacks; data that does not shrink is RLE-coded and unmarked.
// An entry after TotalSize, never extracted, keeps its own note uncounted.
TEST(CommandsTest, ListMarksTheEntriesTheLauncherDoesNotVerify) {
  TempDir dir;
  WriteFile(dir.File("r"), test::RandomData(3000, 9));
  WriteFile(dir.File("after.kva"),
            Join({test::ArchiveHeaderBytes(3),
                  test::EntryBytes("x", test::Bytes("abc"), 3, kMethodStored, 0x126),
                  test::EntryBytes("y", test::Bytes("def"), 3, kMethodStored, 0x12F)}));
  // The entries' lines and what follows them.
  auto listed = [&](const std::vector<std::string>& items) {
    KeptReport report;
    tools::CreateOptions create;
    create.archive = dir.File(items.empty() ? "after.kva" : "x.kva");
    create.items = items;
    create.force = true;
    if (!items.empty()) tools::Create(create, report);
    report.lines.clear();
    tools::List(create.archive, report);
    return std::vector<std::string>(report.lines.begin() + 2, report.lines.end());
  };
  const std::string mark = "  (stored: not verified by the launcher)\n";
  const std::string r = dir.File("r");
  std::vector<std::string> lines = listed({"a=" + r, "NON:b=" + r, "NON:c=" + r});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(lines[0].starts_with("RLE") && lines[0].ends_with("  a\n")) << lines[0];
  EXPECT_TRUE(lines[1].ends_with("  b" + mark)) << lines[1];
  EXPECT_TRUE(lines[2].ends_with("  c" + mark)) << lines[2];
  EXPECT_EQ(lines[3],
            "2 entries stored as NON are not verified by the launcher (every other method is)\n");
  EXPECT_EQ(listed({"a=" + r}).size(), 1u);

  lines = listed({});
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[0].ends_with("  x" + mark)) << lines[0];
  EXPECT_TRUE(lines[1].ends_with("  y  (after TotalSize: never extracted)\n")) << lines[1];
  EXPECT_EQ(lines[2],
            "1 entry stored as NON is not verified by the launcher (every other method is)\n");
}

// Entry names reach JSON as UTF-8: a well-formed sequence stays as it is,
// and each byte that starts none becomes the code point of its value, so
// that the JSON writer never meets invalid UTF-8 (which it would refuse)
// and an overlong form or a surrogate is not passed through as text.
TEST(ListReportTest, NamesBecomeUtf8WithStrayBytesAsTheirCodePoints) {
  struct Case {
    const char* label;
    std::string bytes;
    std::string utf8;
  };
  const Case cases[] = {
      {"ASCII", "Data\\a.txt", "Data\\a.txt"},
      {"two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a Latin-1 byte", "caf\xE9", "caf\xC3\xA9"},
      {"a lone continuation byte", "\x80x", "\xC2\x80x"},
      {"overlong slash", "\xC0\xAF", "\xC3\x80\xC2\xAF"},
      {"overlong three bytes", "\xE0\x80\xAF", "\xC3\xA0\xC2\x80\xC2\xAF"},
      {"a surrogate", "\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},
      {"the last code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"cut at the end", "a\xE2\x82", "a\xC3\xA2\xC2\x82"},
      {"FF", "\xFF", "\xC3\xBF"},
      {"an ASCII byte after a cut lead", "\xC3(", "\xC3\x83("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(tools::Utf8WithBytesAsCodePoints(c.bytes), c.utf8);
  }
}

// The sink that keeps an installer's head: exactly the first bytes, and a
// refusal past them, which is what ends the expansion early.
TEST(ListReportTest, HeadSinkKeepsTheFirstBytesAndRefusesMore) {
  const std::vector<uint8_t> data = test::RandomData(100000, 3);
  tools::HeadSink sink(65536);
  TMemoryStream source(data);
  EXPECT_EQ(FailureOf([&] { sink.CopyFrom(source, 0); }).class_name, "EWriteError");
  EXPECT_TRUE(sink.Full());
  EXPECT_TRUE(sink.Head() == std::vector<uint8_t>(data.begin(), data.begin() + 65536));
  tools::HeadSink roomy(65536);
  roomy.WriteBuffer(data.data(), 1000);
  EXPECT_FALSE(roomy.Full());
  EXPECT_EQ(roomy.Head().size(), 1000u);
}

// A block of a version record: wLength, wValueLength, wType, the key in
// UTF-16 with its 0, padding to 4 bytes, the value, padding, the children.
std::vector<uint8_t> VersionBlock(const std::u16string& key, const std::vector<uint8_t>& value,
                                  uint16_t value_length, uint16_t type,
                                  const std::vector<std::vector<uint8_t>>& children = {}) {
  std::vector<uint8_t> b(6, 0);
  auto pad = [&] { b.resize((b.size() + 3) / 4 * 4, 0); };
  for (char16_t c : key + u'\0') {
    b.push_back(static_cast<uint8_t>(c & 0xFF));
    b.push_back(static_cast<uint8_t>(c >> 8));
  }
  pad();
  b.insert(b.end(), value.begin(), value.end());
  for (const std::vector<uint8_t>& child : children) {
    pad();
    b.insert(b.end(), child.begin(), child.end());
  }
  b[0] = static_cast<uint8_t>(b.size() & 0xFF);
  b[1] = static_cast<uint8_t>(b.size() >> 8);
  b[2] = static_cast<uint8_t>(value_length & 0xFF);
  b[3] = static_cast<uint8_t>(value_length >> 8);
  b[4] = static_cast<uint8_t>(type);
  return b;
}

std::vector<uint8_t> Utf16(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text + u'\0') {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

// The launcher's version record as list reports it: StringFileInfo's
// strings in order, UTF-16 (a pair included) as UTF-8, VarFileInfo and the
// fixed part skipped; and every length that leaves its parent, a key
// without its end, or another record is refused by name, not read past.
TEST(ListReportTest, VersionRecordStringsAndItsDamage) {
  auto string = [](const std::u16string& key, const std::u16string& value) {
    return VersionBlock(key, Utf16(value), static_cast<uint16_t>(value.size() + 1), 1);
  };
  auto record = [&](const std::u16string& root_key, uint16_t fixed) {
    const std::vector<uint8_t> table = VersionBlock(
        u"080904E4", {}, 0, 1,
        {string(u"CompanyName", u"K\u00e9 \U0001F600"), string(u"FileVersion", u"1.2.3.4")});
    return VersionBlock(root_key, std::vector<uint8_t>(52, 0xEE), fixed, 0,
                        {VersionBlock(u"StringFileInfo", {}, 0, 1, {table}),
                         VersionBlock(u"VarFileInfo", {}, 0, 1,
                                      {VersionBlock(u"Translation", {9, 8, 0xE4, 4}, 4, 0)})});
  };
  const std::vector<uint8_t> good = record(u"VS_VERSION_INFO", 52);
  EXPECT_EQ(tools::ParseVersionInfo(good),
            (tools::VersionStrings{{"CompanyName", "K\xC3\xA9 \xF0\x9F\x98\x80"},
                                   {"FileVersion", "1.2.3.4"}}));

  // StringFileInfo's wLength, after the root's 40 bytes of header and key
  // and its 52-byte fixed part, made longer than the root.
  std::vector<uint8_t> child_too_long = good;
  child_too_long[92] = 0xFF;
  child_too_long[93] = 0x0F;
  struct Case {
    const char* label;
    std::vector<uint8_t> bytes;
    std::string failure;
  };
  const Case cases[] = {
      {"cut short", std::vector<uint8_t>(good.begin(), good.begin() + 100),
       "version record: a block's length " + std::to_string(good.size()) +
           " at 0 does not fit its parent"},
      {"another key", record(u"VS_VERSION_INFX", 52),
       "version record: the record's key is not VS_VERSION_INFO"},
      {"fixed part too long", record(u"VS_VERSION_INFO", 0xFFF0),
       "version record: the fixed part runs past the record"},
      {"key without an end", std::vector<uint8_t>{10, 0, 0, 0, 0, 0, 'V', 0, 'S', 0},
       "version record: a block's key at 0 has no end"},
      {"a child longer than its parent", child_too_long,
       "version record: a block's length 4095 at 92 does not fit its parent"},
      {"header cut", std::vector<uint8_t>{10, 0, 0},
       "version record: a block's header runs past its parent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(FailureOf([&] { tools::ParseVersionInfo(c.bytes); }),
              (test::Failure{"BuilderError", c.failure}));
  }
}

// What the command line got wrong is a UsageError (exit 2), a file's
// trouble a BuilderError (exit 1), each with its one line.
TEST(CommandsTest, RefusalsAreNamedErrorsWithTheirLines) {
  TempDir dir;
  WriteFile(dir.File("f"), test::Bytes("abc"));
  KeptReport report;
  tools::CreateOptions exists;
  exists.archive = dir.File("f");
  exists.items = {dir.File("f")};
  tools::ExtractOptions one_arg;
  one_arg.archive = dir.File("f");
  one_arg.args = {"x"};
  struct Case {
    std::function<void()> run;
    bool usage;
    std::string message;
  };
  const Case cases[] = {
      {[] { tools::MethodOption("ZIP"); }, true, "unknown method 'ZIP' (NON, RLE, LZH or LH5)"},
      {[] { tools::LevelOption("10"); }, true, "bad level '10' (1 fastest to 9 smallest)"},
      {[&] { tools::Extract(one_arg, report); }, true,
       "extract needs ENTRYNAME OUTFILE, or -o DIR (see kvarc --help)"},
      {[&] { tools::Create(exists, report); }, false,
       dir.File("f") + ": exists (use -f to overwrite it)"},
      {[&] { tools::List(dir.File("f"), report); }, false,
       dir.File("f") + ": not an archive (shorter than an archive header)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(FailureOf(c.run).message, c.message);
    bool usage = false;
    try {
      c.run();
    } catch (const tools::UsageError&) {
      usage = true;
    } catch (const tools::BuilderError&) {
    }
    EXPECT_EQ(usage, c.usage);
  }
  EXPECT_TRUE(report.lines.empty());
}

// ---------------------------------------------------------------------------
// WriteArchiveTest: one archive from every kind of source

// A stored source that records the order of the writer's calls.
class RecordedStored final : public tools::StoredSource {
 public:
  RecordedStored(std::vector<uint8_t> stored, uint32_t sum, std::string& calls)
      : stored_(std::move(stored)), sum_(sum), calls_(calls) {}
  int32_t StoredSize() const override { return static_cast<int32_t>(stored_.size()); }
  uint32_t Verify() override {
    calls_ += "verify ";
    return sum_;
  }
  void CopyTo(TStream& out) override {
    calls_ += "copy ";
    out.WriteBuffer(stored_.data(), StoredSize());
  }

 private:
  std::vector<uint8_t> stored_;
  uint32_t sum_;
  std::string& calls_;
};

TEST(WriteArchiveTest, FilesMemoryAndStoredBytesInOneArchive) {
  TempDir dir;
  const std::vector<uint8_t> file = test::DataOfKind("text", 9000, 2);
  const std::vector<uint8_t> memory = test::DataOfKind("zeros", 5000);
  const std::vector<uint8_t> made = test::DataOfKind("binary", 3000, 3);
  WriteFile(dir.File("file"), file);
  std::string calls;
  const std::vector<tools::SourcedEntry> entries = {
      {"F", kMethodLh5, file.size(), tools::FileData(dir.File("file")), nullptr},
      {"M", kMethodRle, memory.size(), tools::MemoryData(memory), nullptr},
      {"S", kMethodLzh1, made.size(), nullptr,
       std::make_shared<RecordedStored>(tools::CompressLzh1(made), test::Sum(made), calls)},
  };
  TMemoryStream out;
  std::vector<uint8_t> methods;
  tools::WriteArchive(out, entries,
                      [&](const tools::WrittenEntry& w, uint64_t) { methods.push_back(w.method); });
  EXPECT_EQ(calls, "verify copy ");
  EXPECT_EQ(methods, (std::vector<uint8_t>{kMethodLh5, kMethodRle, kMethodLzh1}));
  EXPECT_EQ(test::ExtractFromBytes(out.Data(), "F"), file);
  EXPECT_EQ(test::ExtractFromBytes(out.Data(), "M"), memory);
  EXPECT_EQ(test::ExtractFromBytes(out.Data(), "S"), made);
}

// ---------------------------------------------------------------------------
// MethodTableTest

// Every row is reached from its id, its LHA method and its number, and its
// two compressor forms make the same bytes.
TEST(MethodTableTest, EveryRowIsReachedEveryWay) {
  const std::vector<uint8_t> data = test::DataOfKind("text", 30000, 4);
  for (const tools::BuilderMethod& m : tools::BuilderMethods()) {
    const std::string id(MethodIDs[m.number]);
    SCOPED_TRACE(id);
    EXPECT_EQ(tools::MethodFromName(id), m.number);
    EXPECT_EQ(tools::BuilderMethodFor(m.number), &m);
    if (m.lha != nullptr) {
      EXPECT_EQ(tools::MethodForLha(m.lha), m.number);
    }
    ASSERT_EQ(m.make == nullptr, m.whole == nullptr);
    if (m.make == nullptr) continue;
    std::vector<uint8_t> streamed;
    auto c = m.make(tools::kDefaultLevel, [&](std::span<const uint8_t> b) {
      streamed.insert(streamed.end(), b.begin(), b.end());
    });
    c->Feed(std::span<const uint8_t>(data).first(1000));
    c->Feed(std::span<const uint8_t>(data).subspan(1000));
    c->Finish();
    EXPECT_EQ(streamed, m.whole(data, tools::kDefaultLevel));
  }
  EXPECT_EQ(tools::BuilderMethodFor(kMethodCustom), nullptr);
  EXPECT_EQ(tools::WritableMethodNames(), "NON, RLE, LZH or LH5");
  EXPECT_EQ(tools::ImportableLhaMethods(), "-lh0-, -lh1- and -lh5-");
}

// ---------------------------------------------------------------------------
// HostTest

// Names beyond ASCII pass through the host layer as UTF-8, folders and
// files alike; a symbolic link is seen as one without being followed.
TEST(HostTest, FilesFoldersAndLinksUnderUtf8Names) {
  TempDir dir;
  const std::string folder = dir.File("\xC5\x81ukasz \xE5\xAE\x89\xE8\xA3\x85");  // Łukasz 安装
  ASSERT_TRUE(tools::host::MakeFolder(folder));
  EXPECT_FALSE(tools::host::MakeFolder(folder));
  const std::string file = folder + "/d\xC3\xBC.bin";
  const int fd = tools::host::OpenForWriting(file, true);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "12345", 5), 5);
  ::close(fd);
  tools::host::FileInfo info;
  ASSERT_TRUE(tools::host::Stat(folder, info));
  EXPECT_EQ(info.kind, tools::host::FileKind::kFolder);
  ASSERT_TRUE(tools::host::Stat(file, info));
  EXPECT_EQ(info.kind, tools::host::FileKind::kFile);
  EXPECT_EQ(info.size, 5u);
  EXPECT_EQ(tools::host::Utf8Text(tools::host::Utf8Path(file)), file);

  const std::string link = dir.File("link");
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  ASSERT_TRUE(tools::host::LinkStat(link, info));
  EXPECT_EQ(info.kind, tools::host::FileKind::kLink);
  ASSERT_TRUE(tools::host::Stat(link, info));
  EXPECT_EQ(info.kind, tools::host::FileKind::kFile);

  EXPECT_TRUE(tools::host::Remove(file));
  EXPECT_FALSE(tools::host::Stat(file, info));
  EXPECT_EQ(errno, ENOENT);
}

// ---------------------------------------------------------------------------
// OutputTest: every writing command through one fake output that fails as
// it is told to. Whatever fails, nothing is committed and the message names
// the output; what is committed holds what the system's own output holds.

enum class Fault { kNone, kWriteFails, kCorrupts, kCommitFails };

// A stream in memory that refuses writes past byte kFaultAt (a full disk)
// or stores the byte at kFaultAt with its bits inverted (a bad disk).
class FaultyStream final : public TStream {
 public:
  static constexpr int64_t kFaultAt = 600;
  explicit FaultyStream(Fault fault) : fault_(fault) {}
  int32_t Read(void* buffer, int32_t count) override { return memory_.Read(buffer, count); }
  int32_t Write(const void* buffer, int32_t count) override {
    const int64_t at = memory_.Position();
    if (fault_ == Fault::kWriteFails && at + count > kFaultAt) {
      full_ = true;
      count = static_cast<int32_t>(std::max<int64_t>(kFaultAt - at, 0));
    }
    const int32_t done = memory_.Write(buffer, count);
    if (fault_ == Fault::kCorrupts && at <= kFaultAt && kFaultAt < at + done)
      memory_.Data()[static_cast<size_t>(kFaultAt)] ^= 0xFF;
    return done;
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override { return memory_.Seek(offset, origin); }
  int64_t Size() override { return memory_.Size(); }
  bool Full() const { return full_; }
  const std::vector<uint8_t>& Data() const { return memory_.Data(); }

 private:
  Fault fault_;
  bool full_ = false;
  TMemoryStream memory_;
};

// The fake's outputs: what was committed, by path.
struct FakeDisk {
  Fault fault = Fault::kNone;
  std::map<std::string, std::vector<uint8_t>> committed;

  class File final : public tools::OutputFile {
   public:
    File(FakeDisk& disk, std::string path)
        : disk_(disk), path_(std::move(path)), stream_(disk.fault) {}
    TStream& Stream() override { return stream_; }
    std::string Failure() const override { return stream_.Full() ? "No space left on device" : ""; }
    void Commit() override {
      if (disk_.fault == Fault::kCommitFails)
        throw tools::BuilderError(path_ + ": Permission denied");
      disk_.committed[path_] = stream_.Data();
    }

   private:
    FakeDisk& disk_;
    std::string path_;
    FaultyStream stream_;
  };

  tools::OutputFactory Factory() {
    return [this](const tools::OutputTarget& t) { return std::make_unique<File>(*this, t.path); };
  }
};

TEST(OutputTest, EveryWritingCommandCommitsOnlyWhatReadsBack) {
  TempDir dir;
  const std::vector<uint8_t> launcher = test::UnstampedLauncher(8192);
  WriteFile(dir.File("Setup.exe"), launcher);
  std::filesystem::create_directories(dir.File("data"));
  WriteFile(dir.File("data/text.txt"), test::DataOfKind("text", 30000, 3));
  WriteFile(dir.File("data/noise.bin"), test::DataOfKind("random", 5000, 4));
  KeptReport report;
  tools::CreateOptions payload;
  payload.archive = dir.File("payload.zerk");
  payload.items = {"Installer\\ZIVizivaz.exe=" + dir.File("Setup.exe"), dir.File("data")};
  tools::Create(payload, report);

  // Each command writing `out`, by the same call whatever the output.
  using Command = std::function<void(const std::string& out)>;
  const std::map<std::string, Command> commands = {
      {"create",
       [&](const std::string& out) {
         tools::CreateOptions o;
         o.archive = out;
         o.items = {dir.File("data")};
         tools::Create(o, report);
       }},
      {"setup",
       [&](const std::string& out) {
         tools::SetupOptions o;
         o.out = out;
         o.launcher = dir.File("Setup.exe");
         o.installer = dir.File("Setup.exe");
         o.data = {dir.File("data")};
         tools::Setup(o, {}, report);
       }},
      {"stamp",
       [&](const std::string& out) {
         tools::StampOptions o;
         o.launcher = dir.File("Setup.exe");
         o.archive = payload.archive;
         o.out = out;
         tools::Stamp(o, report);
       }},
      {"import",
       [&](const std::string& out) {
         tools::ImportOptions o;
         o.lzh = test::CorpusDir() + "/lha/h1_lh5.lzh";
         o.out = out;
         tools::Import(o, report);
       }},
      {"extract",
       [&](const std::string& out) {
         tools::ExtractOptions o;
         o.archive = payload.archive;
         o.args = {"data/text.txt", out};
         tools::Extract(o, report);
       }},
  };
  for (const auto& [name, command] : commands) {
    SCOPED_TRACE(name);
    const std::string reference = dir.File(name + ".reference");
    command(reference);
    for (const Fault fault :
         {Fault::kNone, Fault::kWriteFails, Fault::kCorrupts, Fault::kCommitFails}) {
      // Extraction is verified as it expands; what it wrote is not read back.
      if (name == "extract" && fault == Fault::kCorrupts) continue;
      SCOPED_TRACE(static_cast<int>(fault));
      FakeDisk disk;
      disk.fault = fault;
      tools::ScopedOutputFactory fake(disk.Factory());
      const std::string out = dir.File(name + ".out");
      std::string failure;
      try {
        command(out);
      } catch (const tools::BuilderError& e) {
        failure = e.what();
      }
      switch (fault) {
        case Fault::kNone:
          EXPECT_EQ(failure, "");
          EXPECT_EQ(disk.committed[out], ReadFile(reference));
          break;
        case Fault::kWriteFails:
          EXPECT_EQ(failure, out + ": No space left on device");
          break;
        case Fault::kCorrupts:
          EXPECT_EQ(failure.rfind(out + ": does not read back, so nothing was written: ", 0), 0u)
              << failure;
          break;
        case Fault::kCommitFails:
          EXPECT_EQ(failure, out + ": Permission denied");
          break;
      }
      EXPECT_EQ(disk.committed.empty(), fault != Fault::kNone);
      EXPECT_FALSE(test::FileExists(out));
    }
  }
}

// The host's pending file: invisible until committed, never over a file
// that appeared meanwhile unless it replaces, and gone when abandoned.
TEST(OutputTest, PendingFilesAppearOnlyWhenCommitted) {
  TempDir dir;
  const std::string path = dir.File("out.bin");
  {
    auto pending = tools::host::MakePendingFile(path, false);
    ASSERT_NE(pending, nullptr);
    ASSERT_EQ(::write(pending->Descriptor(), "abc", 3), 3);
    EXPECT_FALSE(test::FileExists(path));
  }  // abandoned
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 0);

  auto pending = tools::host::MakePendingFile(path, false);
  ASSERT_NE(pending, nullptr);
  ASSERT_EQ(::write(pending->Descriptor(), "new", 3), 3);
  WriteFile(path, test::Bytes("someone else's"));
  EXPECT_FALSE(pending->Commit());
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFile(path), test::Bytes("someone else's"));

  auto replacing = tools::host::MakePendingFile(path, true);
  ASSERT_NE(replacing, nullptr);
  ASSERT_EQ(::write(replacing->Descriptor(), "new", 3), 3);
  EXPECT_TRUE(replacing->Commit());
  EXPECT_EQ(ReadFile(path), test::Bytes("new"));
  pending.reset();
  replacing.reset();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

}  // namespace
}  // namespace kv

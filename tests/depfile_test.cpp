// The depfile that create and setup write with --depfile: its syntax, read
// back by make itself, and the files it lists, which must be every file the
// command read, so that a build runs the command again when any changes.
#include <unistd.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tests/kit/launcher_fake.h"
#include "tools/commands.h"
#include "tools/depfile.h"
#include "tools/entry_names.h"

namespace kv::tools {
namespace {

namespace fs = std::filesystem;
using test::FailureOf;
using test::TempDir;
using test::WriteFile;

// Says nothing; the commands' words are tested elsewhere.
class QuietReport final : public Report {
 public:
  void Line(const std::string&) override {}
  void Warning(const std::string&) override {}
  bool Details() const override { return false; }
  bool ShowsProgress() const override { return false; }
  void Progress(const std::string&) override {}
};

std::string Text(const std::string& path) {
  const std::vector<uint8_t> bytes = test::ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// The depfile's lines for `target` and `prerequisites`, as expected.
std::string Rule(const std::string& target, const std::vector<std::string>& prerequisites) {
  std::string text = target + ":";
  for (const std::string& p : prerequisites) text += " \\\n  " + p;
  return text + "\n";
}

TEST(DepfileTest, PathsAreEscapedAsMakeAndNinjaReadThem) {
  struct Case {
    std::string path;
    std::string word;
  };
  const Case cases[] = {
      {"/plain/file.txt", "/plain/file.txt"},
      {"/a folder/read me.txt", "/a\\ folder/read\\ me.txt"},
      {"/price$5", "/price$$5"},
      {"/issue#1", "/issue\\#1"},
      // Backslashes stay backslashes: doubled before an escaped character
      // only, where make would otherwise take them as escapes.
      {"/back\\slash", "/back\\slash"},
      {"/back\\ space", "/back\\\\\\ space"},
      {"/back\\\\#hash", "/back\\\\\\\\\\#hash"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(DepfileText("/out", {c.path}), Rule("/out", {c.word}));
    EXPECT_EQ(DepfileText(c.path, {}), c.word + ":\n");
  }
}

TEST(DepfileTest, RelativePathsAreMadeAbsoluteAndEachIsListedOnce) {
  const std::string cwd = fs::current_path().generic_string();
  EXPECT_EQ(DepfileText("out.exe", {"b", "/abs/a", "sub/c d", "b", "/abs/a"}),
            Rule(cwd + "/out.exe", {cwd + "/b", "/abs/a", cwd + "/sub/c\\ d"}));
}

TEST(DepfileTest, NamesTheSyntaxCannotHoldAreRefused) {
  const std::string breaks = "a tab or a line break in a file name cannot be listed in a depfile";
  const std::string ending = "a file name ending in a backslash cannot be listed in a depfile";
  struct Case {
    std::string path;
    std::string reason;
  };
  const Case cases[] = {
      {"/line\nbreak", breaks},
      {"/carriage\rreturn", breaks},
      {"/tab\there", breaks},
      {"/ends\\", ending},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string message = Printable(c.path) + ": " + c.reason;
    EXPECT_EQ(FailureOf([&] { DepfileText("/out", {"/fine", c.path}); }).message, message);
    EXPECT_EQ(FailureOf([&] { DepfileText(c.path, {"/fine"}); }).message, message);
  }
}

// Every file a command reads, and only those: the launcher given with
// --launcher, the list files, the installer and each file of a folder walk
// or a list, in the order read; written after success, replacing an older
// depfile; nothing when the command fails.
class DepfileCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    launcher_ = dir_.File("Setup.exe");
    WriteFile(launcher_, test::UnstampedLauncher(8192));
    installer_ = dir_.File("installer.exe");
    WriteFile(installer_, test::UnstampedLauncher(4096));  // any Windows program will do
    fs::create_directories(dir_.File("data/sub dir"));
    WriteFile(dir_.File("data/a.txt"), test::Bytes("a"));
    WriteFile(dir_.File("data/sub dir/b$#.txt"), test::Bytes("bb"));
    WriteFile(dir_.File("listed.txt"), test::Bytes("listed"));
    list_ = dir_.File("items.lst");
    WriteFile(list_, test::Bytes("Notes\\listed.txt=" + dir_.File("listed.txt") + "\n"));
    depfile_ = dir_.File("out.d");
  }

  std::string At(const std::string& name) const {
    std::string word = dir_.File(name);
    for (size_t i = 0; (i = word.find_first_of(" $#", i)) != std::string::npos; i += 2)
      word.insert(i, word[i] == '$' ? "$" : "\\");
    return word;
  }

  TempDir dir_;
  std::string launcher_;
  std::string installer_;
  std::string list_;
  std::string depfile_;
  QuietReport report_;
};

TEST_F(DepfileCommandTest, SetupListsTheLauncherListsInstallerAndData) {
  SetupOptions o;
  o.out = dir_.File("Setup out.exe");
  o.launcher = launcher_;
  o.installer = installer_;
  o.data = {"Data=" + dir_.File("data"), "@" + list_};
  o.depfile = depfile_;
  WriteFile(depfile_, test::Bytes("stale"));
  tools::Setup(o, {}, report_);
  EXPECT_EQ(Text(depfile_), Rule(At("Setup out.exe"),
                                 {At("Setup.exe"), At("items.lst"), At("installer.exe"),
                                  At("data/a.txt"), At("data/sub dir/b$#.txt"), At("listed.txt")}));

  // Without --launcher only the built-in launcher is read, which is no file.
  o.launcher.clear();
  o.force = true;
  tools::Setup(o, test::UnstampedLauncher(8192), report_);
  EXPECT_EQ(Text(depfile_),
            Rule(At("Setup out.exe"), {At("items.lst"), At("installer.exe"), At("data/a.txt"),
                                       At("data/sub dir/b$#.txt"), At("listed.txt")}));
}

TEST_F(DepfileCommandTest, CreateListsListsAndFilesAndWritesNothingOnFailure) {
  CreateOptions o;
  o.archive = dir_.File("x.zerk");
  o.items = {"@" + list_, dir_.File("data")};
  o.depfile = depfile_;
  Create(o, report_);
  const std::string expected = Rule(At("x.zerk"), {At("items.lst"), At("listed.txt"),
                                                   At("data/a.txt"), At("data/sub dir/b$#.txt")});
  EXPECT_EQ(Text(depfile_), expected);

  // Refused (the archive exists): the depfile stays as it was.
  o.items = {dir_.File("data/a.txt")};
  EXPECT_EQ(FailureOf([&] { Create(o, report_); }).message,
            o.archive + ": exists (use -f to overwrite it)");
  EXPECT_EQ(Text(depfile_), expected);

  // A name the depfile cannot hold refuses the command before it writes.
  fs::remove(depfile_);
  WriteFile(dir_.File("tab\there"), test::Bytes("t"));
  o.items = {"t=" + dir_.File("tab\there")};
  o.archive = dir_.File("y.zerk");
  EXPECT_EQ(FailureOf([&] { Create(o, report_); }).message,
            depfile_ + ": " + Printable(dir_.File("tab\there")) +
                ": a tab or a line break in a file name cannot be listed in a depfile");
  EXPECT_FALSE(test::FileExists(o.archive));
  EXPECT_FALSE(test::FileExists(depfile_));

  o.archive = "-";
  bool usage = false;
  try {
    Create(o, report_);
  } catch (const UsageError& e) {
    usage = std::string(e.what()) == "--depfile needs an output file, not standard output";
  }
  EXPECT_TRUE(usage);
}

// make reads the depfile back to the very files: a newer one makes the
// target out of date, and a name it misread would be a missing file (make
// exits 2, "No rule to make target").
TEST_F(DepfileCommandTest, MakeReadsTheNamesBack) {
  CreateOptions o;
  o.archive = dir_.File("x.zerk");
  o.items = {dir_.File("data")};
  o.depfile = depfile_;
  Create(o, report_);
  WriteFile(dir_.File("check.mk"),
            test::Bytes("include " + At("out.d") + "\n" + At("x.zerk") + ":\n\t@true\n"));
  const std::string make = "make -s -q -f '" + dir_.File("check.mk") + "' '" + o.archive + "'";
  auto question = [&] {
    const int status = std::system((make + " 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  // Times in the past, so that make sees no clock skew: the inputs older
  // than the archive, then each in turn newer.
  const auto now = fs::file_time_type::clock::now();
  const char* inputs[] = {"data/a.txt", "data/sub dir/b$#.txt"};
  for (const char* name : inputs)
    fs::last_write_time(dir_.File(name), now - std::chrono::seconds(30));
  fs::last_write_time(o.archive, now - std::chrono::seconds(20));
  ASSERT_EQ(question(), 0) << make;
  for (const char* name : inputs) {
    SCOPED_TRACE(name);
    fs::last_write_time(dir_.File(name), now - std::chrono::seconds(10));
    EXPECT_EQ(question(), 1);
    fs::last_write_time(dir_.File(name), now - std::chrono::seconds(30));
    EXPECT_EQ(question(), 0);
  }
}

}  // namespace
}  // namespace kv::tools

// What create and setup make of their items, and what extract's typed names
// select: the names Windows cannot make, file items named by their path,
// folder walks that follow links, and the selection of entries by name.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tools/commands.h"
#include "tools/entry_plan.h"

namespace kv::tools {
namespace {

namespace fs = std::filesystem;
using test::FailureOf;

// Each test runs in a scratch folder with a small tree, planned from inside
// it (so that file items can be typed as relative paths).
class EntryPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    for (const char* folder : {"data/real", "elsewhere", "odd"}) fs::create_directories(folder);
    for (const char* file : {"data/a.txt", "data/real/b.txt", "elsewhere/c.txt", "odd/aux.txt"})
      test::WriteFile(file, test::Bytes(file));
  }
  void TearDown() override { fs::current_path(home_); }

  // The names planned for `items` with a space between them, or the refusal.
  std::string Planned(const std::vector<std::string>& items) {
    std::string names;
    const test::Failure f = FailureOf([&] {
      std::vector<PlannedEntry> plan =
          PlanEntries(items, 0, [&](const std::string& w) { warnings.push_back(w); });
      FinishPlan(plan, "x.zerk");
      for (const PlannedEntry& e : plan) names += (names.empty() ? "" : " ") + e.name;
    });
    return f.class_name.empty() ? names : f.message;
  }

  std::vector<std::string> warnings;

 private:
  fs::path home_ = fs::current_path();
  test::TempDir dir_;
};

TEST_F(EntryPlanTest, EveryPartWindowsCannotMakeIsRefusedWithItsReason) {
  for (const char* part : {"readme.txt", ".hidden", "CONSOLE", "con1.txt", "COM0", "LPT10", "x.con",
                           "\xC5\x81ukasz \xE5\xAE\x89", "a\\b"})
    EXPECT_EQ(WindowsNameProblem(part), "") << part;
  const std::string kChar = " has a character Windows does not allow in file names ";
  const std::pair<std::string, std::string> refused[] = {
      {"CON", "'CON' names the device CON on Windows"},
      {"nul.txt", "'nul.txt' names the device NUL on Windows"},
      {"Com1.tar.gz", "'Com1.tar.gz' names the device COM1 on Windows"},
      {"aux .txt", "'aux .txt' names the device AUX on Windows"},
      {"lpt9", "'lpt9' names the device LPT9 on Windows"},
      {"what?.txt", "'what?.txt'" + kChar + "('?')"},
      {"a|b", "'a|b'" + kChar + "('|')"},
      {"a<b>", "'a<b>'" + kChar + "('<')"},
      {"c:d", "'c:d'" + kChar + "(':')"},
      {"\"q", "'\"q'" + kChar + "('\"')"},
      {"*", "'*'" + kChar + "('*')"},
      {"tab\there", "'tab^Ihere'" + kChar + "(byte 0x09)"},
      {"name.", "'name.' ends in a dot, which Windows drops from file names"},
      {"name ", "'name ' ends in a space, which Windows drops from file names"},
  };
  for (const auto& [part, reason] : refused) EXPECT_EQ(WindowsNameProblem(part), reason);
  EXPECT_EQ(WindowsNameProblem("a\\b", NameOrigin::kFileSystem),
            "'a\\b' has a '\\', which Windows takes as a folder separator");
  EXPECT_EQ(WindowsEntryNameProblem("Data\\Nul.txt\\f"),
            "'Nul.txt' names the device NUL on Windows");
}

// Before, a file link was named after its target (a false "two entries"
// refusal) and a folder link failed the build.
TEST_F(EntryPlanTest, LinksAreFollowedUnderTheirOwnNamesAndLoopsRefused) {
  const struct {
    std::string link, target, planned;
  } cases[] = {
      {"data/flink", "a.txt", "data\\a.txt data\\flink data\\real\\b.txt"},
      {"data/dlink", "real", "data\\a.txt data\\dlink\\b.txt data\\real\\b.txt"},
      {"data/out", "../elsewhere", "data\\a.txt data\\out\\c.txt data\\real\\b.txt"},
      {"data/real/up", "..", "data/real/up: symbolic link loop (it leads back to data)"},
      {"data/real/top", fs::absolute("data"),
       "data/real/top: symbolic link loop (it leads back to data)"},
      {"data/self", "self", "data/self: symbolic link loop (its links never reach a file)"},
      {"data/gone", "nowhere",
       "data/gone: dangling symbolic link (what it leads to does not exist)"},
  };
  for (const auto& c : cases) {
    fs::create_symlink(c.target, c.link);
    EXPECT_EQ(Planned({"data"}), c.planned) << c.link;
    fs::remove(c.link);
  }
  // A cycle through two folders that link to each other.
  fs::create_symlink("../../elsewhere", "data/real/there");
  fs::create_symlink("../data/real", "elsewhere/back");
  EXPECT_EQ(Planned({"data"}),
            "data/real/there/back: symbolic link loop (it leads back to data/real)");
  EXPECT_TRUE(warnings.empty());
}

// A file item keeps its path as typed, as tar does; what would climb out of
// the extraction folder goes with a warning. `find . | kvarc create x @-`
// lists a folder and then its files: each file is packed once.
TEST_F(EntryPlanTest, FileItemsKeepTheirPathsAsTyped) {
  const std::string here = fs::current_path().filename().string();
  const std::string absolute = fs::absolute("data/a.txt").string();
  std::string absolute_name = absolute.substr(1);
  std::replace(absolute_name.begin(), absolute_name.end(), '/', '\\');
  const struct {
    std::vector<std::string> items;
    std::string planned, warning;
  } cases[] = {
      {{"data/real/b.txt", "./data/./real//b.txt"}, "data\\real\\b.txt", ""},
      {{"data", "data/a.txt", "./data/real/b.txt"}, "data\\a.txt data\\real\\b.txt", ""},
      {{"data/real/../a.txt"}, "a.txt", "data/real/../a.txt: leading 'data/real/../' removed"},
      {{"../" + here + "/data/a.txt"}, here + "\\data\\a.txt", "leading '../' removed"},
      {{absolute}, absolute_name, absolute + ": leading '/' removed from the entry name"},
      {{"data", "data/a.txt=data/real/b.txt"},
       "data\\a.txt: two entries with this name, ASCII case ignored (data/a.txt and "
       "data/real/b.txt)",
       ""},
      {{"odd"}, "odd/aux.txt: 'aux.txt' names the device AUX on Windows", ""},
      {{"Data/x./y=data/a.txt"},
       "data/a.txt: 'x.' ends in a dot, which Windows drops from file names (entry name "
       "'Data\\x.\\y')",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.items[0]);
    warnings.clear();
    EXPECT_EQ(Planned(c.items), c.planned);
    ASSERT_EQ(warnings.size(), c.warning.empty() ? 0u : 1u);
    if (!c.warning.empty()) {
      EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
    }
  }
  // On POSIX a '\' is part of a file's own name, which Windows would split.
  test::WriteFile("back\\slash", test::Bytes("x"));
  EXPECT_EQ(Planned({"back\\slash"}),
            "back\\slash: 'back\\slash' has a '\\', which Windows takes as a folder separator");
  EXPECT_EQ(Planned({"Docs\\b=back\\slash"}), "Docs\\b");
}

TEST_F(EntryPlanTest, TypedNamesSelectEntriesAndFolders) {
  const std::vector<std::string> entries = {"Data\\a", "Data\\sub\\b", "DataX\\c", "data", "top"};
  const struct {
    std::vector<std::string> typed;
    bool folders;
    std::string selected;  // a digit per entry, 1 when selected
    std::vector<std::string> missing;
  } cases[] = {
      {{}, true, "11111", {}},
      {{"Data"}, true, "11010", {}},
      {{"data/"}, true, "11000", {}},
      {{"DATA/SUB", "TOP"}, true, "01001", {}},
      {{"x", "top", "Data/s", "X", "/"}, true, "00001", {"x", "Data/s", "/"}},
      {{"Data"}, false, "00010", {}},
      {{"data/a", "Data/"}, false, "10000", {"Data/"}},
  };
  for (const auto& c : cases) {
    const EntrySelection s = SelectEntries(entries, c.typed, c.folders);
    std::string selected;
    for (const bool b : s.selected) selected += b ? '1' : '0';
    EXPECT_EQ(selected, c.selected) << testing::PrintToString(c.typed);
    EXPECT_EQ(s.missing, c.missing) << testing::PrintToString(c.typed);
  }
  EXPECT_EQ(QuotedNames({"x", "a\nb"}), "'x', 'a^Jb'");
}

// Both forms of extract take '/' for '\'; the folder form takes folders,
// and names every typed name that matched nothing, writing nothing then.
TEST_F(EntryPlanTest, ExtractSelectsByTypedNamesAndFolders) {
  struct Quiet final : Report {
    void Line(const std::string&) override {}
    void Warning(const std::string&) override {}
    bool Details() const override { return false; }
    bool ShowsProgress() const override { return false; }
    void Progress(const std::string&) override {}
  } report;
  Create(CreateOptions{{}, "x.zerk", {"data", "elsewhere/c.txt"}, ""}, report);
  Extract(ExtractOptions{"x.zerk", "", {"DATA/real/B.TXT", "b.out"}}, report);
  EXPECT_EQ(test::ReadFile("b.out"), test::Bytes("data/real/b.txt"));

  const std::vector<std::string> typed = {"data/real", "nothing", "Data/A.TXT", "data/rea"};
  EXPECT_EQ(FailureOf([&] {
              Extract(ExtractOptions{"x.zerk", "out", typed}, report);
            }).message,
            "x.zerk: no entry named 'nothing', 'data/rea'");
  EXPECT_FALSE(fs::exists("out"));
  Extract(ExtractOptions{"x.zerk", "out", {"data/real", "elsewhere"}}, report);
  EXPECT_EQ(test::ReadFile("out/data/real/b.txt"), test::Bytes("data/real/b.txt"));
  EXPECT_EQ(test::ReadFile("out/elsewhere/c.txt"), test::Bytes("elsewhere/c.txt"));
  EXPECT_FALSE(fs::exists("out/data/a.txt"));
}

}  // namespace
}  // namespace kv::tools

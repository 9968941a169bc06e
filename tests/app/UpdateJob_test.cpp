#include "app/UpdateJob.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/UpdaterArgs.h"
#include "file/ztStringList.h"
#include "tests/common/testutil.h"

namespace {

std::u16string Repeat(char16_t c, size_t n) { return std::u16string(n, c); }

}  // namespace

// ---- the plan ------------------------------------------------------------------

TEST(BuildCopyPlan, JoinsEachRelativePathBelowBothRootsInListOrder) {
  std::vector<CopyPlanEntry> plan;
  ASSERT_EQ(BuildCopyPlan(u"C:\\pkg\\data", u"D:\\Game\\", {u"b.txt", u"sub\\a.txt"}, &plan), 1);
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(std::u16string(plan[0].source), u"C:\\pkg\\data\\b.txt");
  EXPECT_EQ(std::u16string(plan[0].destination), u"D:\\Game\\b.txt");
  EXPECT_EQ(std::u16string(plan[1].source), u"C:\\pkg\\data\\sub\\a.txt");
  EXPECT_EQ(std::u16string(plan[1].destination), u"D:\\Game\\sub\\a.txt");
}

TEST(BuildCopyPlan, APathOfExactly259UnitsFitsOneMoreIsRefusedWhole) {
  const std::u16string root = u"D:\\G";  // 4 units + separator
  const std::u16string fits = Repeat(u'f', 259 - 5);
  const std::u16string over = Repeat(u'o', 259 - 5 + 1);
  std::vector<CopyPlanEntry> plan;
  ASSERT_EQ(BuildCopyPlan(u"C:\\d", root.c_str(), {fits}, &plan), 1);
  EXPECT_EQ(std::u16string(plan[0].destination).size(), 259u);

  std::u16string failed;
  EXPECT_EQ(BuildCopyPlan(u"C:\\d", root.c_str(), {u"first.txt", over, u"last.txt"}, &plan, &failed), 0);
  EXPECT_TRUE(plan.empty());
  EXPECT_EQ(failed, over);
}

TEST(BuildCopyPlan, TheDataFolderSideIsCheckedToo) {
  std::vector<CopyPlanEntry> plan;
  const std::u16string deep = u"C:\\" + Repeat(u'p', 250);
  EXPECT_EQ(BuildCopyPlan(deep.c_str(), u"D:\\G", {u"0123456789.txt"}, &plan), 0);
  EXPECT_EQ(BuildCopyPlan(u"C:\\d", u"D:\\G", {u""}, &plan), 0);  // an empty path names no file
}

TEST(DataFiles, ResetEmptiesTheListAndClearsTheIncompleteFlag) {
  DataFiles files;
  files.paths.push_back(u"a");
  files.sizes.push_back(1);
  files.incomplete = true;
  files.Reset();
  EXPECT_TRUE(files.paths.empty());
  EXPECT_TRUE(files.sizes.empty());
  EXPECT_FALSE(files.incomplete);
}

// ---- install.log lines -------------------------------------------------------------

TEST(QuoteLogLine, EnclosesThePathAndChecksTheRoom) {
  char16_t out[8];
  EXPECT_EQ(QuoteLogLine(u"a\\b.c", out, 8), 1);  // 5 units + 2 quotes + terminator
  EXPECT_EQ(std::u16string(out), u"\"a\\b.c\"");
  EXPECT_EQ(QuoteLogLine(u"a\\b.cd", out, 8), 0);
  EXPECT_EQ(out[0], 0);
}

TEST(AddInstallLogLines, MergedWithEarlierLinesSortedOnceEach) {
  ztStringList log;
  log.Add(u"plain earlier line");
  log.Add(u"\"README.TXT\"");
  ASSERT_EQ(AddInstallLogLines(log, {u"readme.txt", u"bin\\a.dll"}), 1);
  log.SortUnique();
  ASSERT_EQ(log.Count(), 3u);
  // The earlier spelling of a line equal but for case stays.
  EXPECT_EQ(std::u16string(log.At(0)), u"\"bin\\a.dll\"");
  EXPECT_EQ(std::u16string(log.At(1)), u"\"README.TXT\"");
  EXPECT_EQ(std::u16string(log.At(2)), u"plain earlier line");
}

TEST(AddInstallLogLines, ALineTheListWouldCutIsRefused) {
  ztStringList log;
  EXPECT_EQ(AddInstallLogLines(log, {Repeat(u'x', 256)}), 1);  // 258 units quoted
  EXPECT_EQ(AddInstallLogLines(log, {Repeat(u'x', 258)}), 0);
}

TEST(InstallLogBytes, Utf8TextPlusCrLfPerLine) {
  ztStringList log;
  log.Add(u"\"a\"");
  log.Add(u"\"\u65e5\u672c\"");  // two 3-byte characters
  EXPECT_EQ(InstallLogBytes(log), (3u + 2) + (2 + 6u + 2));
}

// ---- room on the drive -------------------------------------------------------------------

TEST(SpaceNeeded, NewContentAddsUpRoundedToClustersAndNothingIsFreedDuringTheRun) {
  EXPECT_EQ(SpaceNeeded({1, 4096, 4097}, 0, 4096), 4096u * 4);
  EXPECT_EQ(SpaceNeeded({1, 4097}, 0, 0), 4098u);  // no cluster size known
  // The replaced files stay in the journal folder until the end, so a
  // smaller later file never fits into room an earlier one freed.
  EXPECT_EQ(SpaceNeeded({1000, 7000}, 300, 1), 8300u);
  EXPECT_EQ(SpaceNeeded({}, 300, 4096), 4096u);
}

TEST(SpaceNeeded, HugeSizesSaturateRatherThanWrap) {
  const uint64_t huge = ~0ull - 10;
  EXPECT_EQ(SpaceNeeded({huge, huge}, 0, 4096), ~0ull);
}

TEST(UpdaterArgs, TheQuietSwitchIsAWordOfItsOwnAfterTheProgram) {
  const struct {
    const char16_t* line;
    bool quiet;
  } cases[] = {
      {u"updater.exe /quiet", true},
      {u"\"C:\\Games\\my updater.exe\"   -QUIET", true},
      {u"updater.exe /x \"/quiet\"", true},
      {u"updater.exe", false},
      {u"/quiet", false},  // the program's own name
      {u"\"C:\\a /quiet\\updater.exe\"", false},
      {u"updater.exe /quieter /quie quiet", false},
      {u"updater.exe \"a /quiet b\"", false},  // one argument that holds the words
      {u"updater.exe \"a /quiet", false},      // its quote never closed
      {u"updater.exe --quiet \\quiet /qUiEt/", false},
      {u"updater.exe\t/quiet", true},
      {u"updater.exe /a \"\" -b\t-QuIeT\t", true},
      {u"updater.exe /a -b c", false},
      {u"", false},
      {u" \t ", false},
  };
  for (const auto& c : cases) EXPECT_EQ(HasQuietSwitch(c.line), c.quiet) << zt_test::Utf8(c.line);
  EXPECT_FALSE(HasQuietSwitch(nullptr));
}

// Where a package's files land in the installation: two paths Windows takes
// for one file, and paths that reach the updater's own files. Each case sits
// exactly at a rule, on one side or the other.
#include "app/PackagePaths.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/common/testutil.h"

// Failures name the reason rather than its bytes.
void PrintTo(PackagePathReason reason, std::ostream* os) { *os << PackagePathReasonWords(reason); }

namespace {

using Paths = std::vector<std::u16string>;
constexpr PackagePathReason kNone = PackagePathReason::kNone;
constexpr PackagePathReason kDuplicate = PackagePathReason::kDuplicateDestination;
constexpr PackagePathReason kReserved = PackagePathReason::kReservedName;

std::string Show(const Paths& paths) {
  std::string s;
  for (const std::u16string& p : paths) s += "[" + zt_test::Utf8(p) + "] ";
  return s;
}

}  // namespace

TEST(PackagePaths, FirstProblemSitsExactlyAtItsRule) {
  struct Case {
    const char* name;
    Paths paths;
    PackagePathReason reason;
    size_t index, other;  // the path named and, for a duplicate, the earlier one
  };
  const Case cases[] = {
      {"nothing wrong", {u"readme.txt", u"bin\\engine.dll", u"config\\startup.xml"}, kNone, 0, 0},
      {"empty list", {}, kNone, 0, 0},
      {"case only", {u"a.txt", u"A.TXT"}, kDuplicate, 1, 0},
      {"one trailing dot", {u"a.txt", u"a.txt."}, kDuplicate, 1, 0},
      {"one trailing space", {u"a.txt", u"a.txt "}, kDuplicate, 1, 0},
      {"a space inside is kept", {u"a.txt", u"a .txt"}, kNone, 0, 0},
      {"a leading dot is kept", {u"txt", u".txt"}, kNone, 0, 0},
      {"folder with a trailing dot", {u"DIR\\x", u"dir.\\x"}, kDuplicate, 1, 0},
      {"'/' separates as '\\' does", {u"a/b", u"A\\B"}, kDuplicate, 1, 0},
      {"same name in different folders", {u"a\\x.txt", u"b\\x.txt"}, kNone, 0, 0},
      {"file where a folder is", {u"a\\b", u"A"}, kDuplicate, 1, 0},
      {"folder where a file is", {u"a", u"x", u"A.\\b"}, kDuplicate, 2, 0},
      {"Latin-1 letters", {u"\u00E9t\u00E9.txt", u"\u00C9T\u00C9.TXT"}, kDuplicate, 1, 0},
      {"y with diaeresis leaves Latin-1", {u"\u00FF", u"\u0178"}, kDuplicate, 1, 0},
      {"Latin Extended-A, lower case odd", {u"\u0101", u"\u0100"}, kDuplicate, 1, 0},
      {"Latin Extended-A, lower case even", {u"\u017E", u"\u017D"}, kDuplicate, 1, 0},
      {"Cyrillic", {u"\u0444\u0430\u0439\u043B", u"\u0424\u0410\u0419\u041B"}, kDuplicate, 1, 0},
      {"Greek with an accent", {u"\u03AC", u"\u0386"}, kDuplicate, 1, 0},
      {"fullwidth letters", {u"\uFF41", u"\uFF21"}, kDuplicate, 1, 0},
      {"division sign is no letter", {u"\u00F7", u"\u00D7"}, kNone, 0, 0},
      {"dotless i is left as it is", {u"\u0131", u"I"}, kNone, 0, 0},
      {"sharp s is not SS", {u"\u00DF", u"SS"}, kNone, 0, 0},
      {"install.log", {u"readme.txt", u"install.log"}, kReserved, 1, 1},
      {"INSTALL.LOG", {u"INSTALL.LOG"}, kReserved, 0, 0},
      {"install.log with a trailing dot", {u"install.log."}, kReserved, 0, 0},
      {"install.log as a folder", {u"install.log\\x"}, kReserved, 0, 0},
      {"update.log with a trailing space", {u"Update.Log "}, kReserved, 0, 0},
      {"the journal folder as a file", {u".ztupdate"}, kReserved, 0, 0},
      {"below the journal folder", {u".ZTUPDATE\\x"}, kReserved, 0, 0},
      {"journal folder with a trailing dot", {u".ztupdate.\\x"}, kReserved, 0, 0},
      {"short alias of the journal folder", {u"ZTUPDA~1\\journal"}, kReserved, 0, 0},
      {"hashed short alias", {u"zt1a2b~1"}, kReserved, 0, 0},
      {"install.log in a sub-folder", {u"sub\\install.log", u"sub\\update.log"}, kNone, 0, 0},
      {"journal name in a sub-folder", {u"sub\\.ztupdate\\x"}, kNone, 0, 0},
      {"longer name than the journal's", {u".ztupdatex\\a"}, kNone, 0, 0},
      {"longer name than the log's", {u"install.log.bak", u"install.logs"}, kNone, 0, 0},
      {"tilde without digits", {u"ZTUPDA~"}, kNone, 0, 0},
      {"too long for a short alias", {u"ZTUPDATE~1"}, kNone, 0, 0},
      // Two problems at once: the one whose path comes first in the list.
      {"reserved before a later duplicate", {u"A.TXT", u"update.log", u"a.txt"}, kReserved, 1, 1},
      {"duplicate before a later reserved", {u"x", u"X", u"install.log"}, kDuplicate, 1, 0},
      // The second install.log is both: the first one is reserved and comes first.
      {"reserved and duplicate", {u"install.log", u"INSTALL.LOG"}, kReserved, 0, 0},
      {"three with one destination", {u"a", u"b", u"A", u"a."}, kDuplicate, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + Show(c.paths));
    const PackagePathProblem p = FindPackagePathProblem(c.paths);
    EXPECT_EQ(p.reason, c.reason);
    if (c.reason == kNone) {
      EXPECT_TRUE(p.path.empty() && p.other.empty());
      EXPECT_TRUE(FindPackagePathProblems(c.paths).empty());
      continue;
    }
    EXPECT_EQ(p.index, c.index);
    EXPECT_EQ(p.otherIndex, c.other);
    EXPECT_EQ(p.path, c.paths[c.index]);
    EXPECT_EQ(p.other, c.reason == kDuplicate ? c.paths[c.other] : u"");
  }
}

TEST(PackagePaths, EveryProblemIsListedOncePerPath) {
  const Paths paths = {u"a", u"install.log", u"b", u"A.", u"INSTALL.LOG", u"a ", u"c\\d", u"C\\D"};
  const std::vector<PackagePathProblem> all = FindPackagePathProblems(paths);
  struct Want {
    PackagePathReason reason;
    size_t index, other;
  };
  const Want want[] = {
      {kReserved, 1, 1}, {kDuplicate, 3, 0}, {kReserved, 4, 4}, {kDuplicate, 5, 0}, {kDuplicate, 7, 6}};
  ASSERT_EQ(all.size(), sizeof want / sizeof want[0]);
  for (size_t i = 0; i < all.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(all[i].reason, want[i].reason);
    EXPECT_EQ(all[i].index, want[i].index);
    EXPECT_EQ(all[i].otherIndex, want[i].other);
  }
  // The first of the list is the one the updater stops at.
  EXPECT_EQ(FindPackagePathProblem(paths).index, 1u);
}

TEST(PackagePaths, KeysAndWords) {
  EXPECT_EQ(DestinationKey(u"Dir. \\Sub/na\u00EFve.txt. "), u"DIR\\SUB\\NA\u00CFVE.TXT");
  EXPECT_EQ(DestinationKey(u"..\\a"), u"\\A");  // such parts are the walk's to refuse, not folded away
  struct Words {
    PackagePathReason reason;
    const char* words;
  };
  for (const Words& w : {Words{kNone, "no problem"}, Words{kDuplicate, "two files name one destination"},
                         Words{kReserved, "a file the updater keeps for itself"}})
    EXPECT_STREQ(PackagePathReasonWords(w.reason), w.words);
}

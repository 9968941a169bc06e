#include "file/ztStringList.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "file/ztFile.h"
#include "tests/common/testutil.h"

using zt_test::TempDir;
using zt_test::U16;

namespace {

std::vector<std::u16string> Entries(const ztStringList& list) {
  std::vector<std::u16string> out;
  for (const ztStringList::Entry* e = list.First(); e; e = e->next) out.push_back(e->text);
  return out;
}

std::vector<std::u16string> V(std::initializer_list<const char16_t*> items) {
  std::vector<std::u16string> out;
  for (auto* s : items) out.push_back(s);
  return out;
}

}  // namespace

// ---- loading -------------------------------------------------------------------

TEST(StringListLoad, MixedLineEndsBlankLineAndLastLineWithoutEnd) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"install.log", "\"a.txt\"\r\n\"b.txt\"\n\r\nlast"));
  ztStringList list;
  EXPECT_EQ(list.LoadText(dir.Join(u"install.log").c_str()), 1);
  EXPECT_EQ(Entries(list), V({u"\"a.txt\"", u"\"b.txt\"", u"", u"last"}));
}

TEST(StringListLoad, ZeroBytesArePassedOverAndTheLinesAfterThemKept) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"x.log", std::string("\"a\"\r\n\0\0\"b\"\r\nc\0d\r\n\0", 18)));
  ztStringList list;
  ASSERT_EQ(list.LoadText(dir.Join(u"x.log").c_str()), 1);
  EXPECT_EQ(Entries(list), V({u"\"a\"", u"\"b\"", u"c", u"d"}));
}

TEST(StringListLoad, LoneCarriageReturnBelongsToTheLine) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"x.log", "a\rb\r\nc\n"));
  ztStringList list;
  ASSERT_EQ(list.LoadText(dir.Join(u"x.log").c_str()), 1);
  EXPECT_EQ(Entries(list), V({u"a\rb", u"c"}));
}

TEST(StringListLoad, AppendsAfterExistingEntriesAndDecodesUtf8) {
  TempDir dir;
  // "データ\音.wav" in UTF-8.
  ASSERT_TRUE(dir.Write(u"x.log", "\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf\\\xe9\x9f\xb3.wav\r\n"));
  ztStringList list;
  list.Add(u"first");
  ASSERT_EQ(list.LoadText(dir.Join(u"x.log").c_str()), 1);
  EXPECT_EQ(Entries(list), V({u"first", u"\u30c7\u30fc\u30bf\\\u97f3.wav"}));
}

TEST(StringListLoad, MissingFileFailsAndLeavesTheList) {
  TempDir dir;
  ztStringList list;
  list.Add(u"keep");
  EXPECT_EQ(list.LoadText(dir.Join(u"missing.log").c_str()), 0);
  EXPECT_EQ(Entries(list), V({u"keep"}));
}

TEST(StringListLoad, EmptyFileAddsNothing) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"x.log", ""));
  ztStringList list;
  EXPECT_EQ(list.LoadText(dir.Join(u"x.log").c_str()), 1);
  EXPECT_EQ(list.Count(), 0u);
}

TEST(StringListLoad, OverlongLineIsCutAtAWholeCharacterAndTheNextLineFollows) {
  TempDir dir;
  // 300 two-byte characters (U+00E9): 600 bytes, far past the working buffer.
  std::string line;
  for (int i = 0; i < 300; ++i) line += "\xc3\xa9";
  ASSERT_TRUE(dir.Write(u"x.log", line + "\r\nnext\r\n"));
  ztStringList list;
  ASSERT_EQ(list.LoadText(dir.Join(u"x.log").c_str()), 1);
  ASSERT_EQ(list.Count(), 2u);
  std::u16string first = list.At(0);
  EXPECT_GT(first.size(), 100u);
  EXPECT_LT(first.size(), 260u);
  EXPECT_EQ(first.find_first_not_of(u'\u00e9'), std::u16string::npos);
  EXPECT_EQ(std::u16string(list.At(1)), u"next");
}

// ---- sorting -------------------------------------------------------------------

TEST(StringListSort, EqualEntriesKeepOrderOfAdditionAndTheFirstSurvives) {
  ztStringList list;
  for (auto* s : {u"B", u"a", u"A", u"b"}) list.Add(s);
  EXPECT_EQ(list.SortUnique(), 1);
  EXPECT_EQ(Entries(list), V({u"a", u"B"}));
}

TEST(StringListSort, RunsAreRemovedWhereverTheyStartInALongList) {
  ztStringList list;
  // 1000 entries, each name present in three spellings, added in an order
  // that puts the upper-case one first for even numbers.
  for (int i = 999; i >= 0; --i) {
    char16_t n[8];
    n[0] = u'f';
    n[1] = static_cast<char16_t>(u'0' + i / 100);
    n[2] = static_cast<char16_t>(u'0' + i / 10 % 10);
    n[3] = static_cast<char16_t>(u'0' + i % 10);
    n[4] = 0;
    std::u16string lower = n, upper = n;
    upper[0] = u'F';
    if (i % 2 == 0) {
      list.Add(upper.c_str());
      list.Add(lower.c_str());
    } else {
      list.Add(lower.c_str());
      list.Add(upper.c_str());
    }
    list.Add(lower.c_str());
  }
  list.SortUnique();
  ASSERT_EQ(list.Count(), 1000u);
  int i = 0;
  for (const ztStringList::Entry* e = list.First(); e; e = e->next, ++i) {
    EXPECT_EQ(e->text[0], i % 2 == 0 ? u'F' : u'f') << i;
    EXPECT_EQ(e->text[3], u'0' + i % 10);
  }
}

TEST(StringListSort, OrderIsExactlyTheSystemComparison) {
  // Texts where a locale-aware comparison differs from code-unit order:
  // hyphens and apostrophes, digits, punctuation, kana and kanji, accents,
  // prefixes of one another, and case variants.
  const char16_t* texts[] = {
      u"co-op",  u"coop",  u"Coop",     u"co'op",   u"c\\a",   u"c/a",    u"c_a",    u"ca",
      u"a10",    u"a9",    u"A1",       u"a",       u"",       u"\u3042", u"\u30a2", u"\u65e5",
      u"\u00e9", u"e",     u"E",        u"\u00c9",  u"zz",     u"z",      u"Z-",     u"[x]",
      u"{x}",    u"(x)",   u"!x",       u"~x",      u"x.txt",  u"X.TXT",  u"x.tx",   u"x txt",
      u"\"q\"",  u"\"Q\"", u"\"q\\r\"", u"\"q r\"", u"\uff21", u"A",      u"0",      u"\u2460",
  };
  std::vector<std::u16string> added;
  ztStringList list;
  for (int round = 0; round < 3; ++round)
    for (auto* t : texts) {
      list.Add(t);
      added.push_back(t);
    }
  // Reference: insertion sort with the system comparison, stable, then
  // keep the first of every run.
  std::vector<std::u16string> ref;
  for (const auto& t : added) {
    // After every entry that does not sort after it: equal entries keep
    // their order of arrival.
    auto at = std::upper_bound(ref.begin(), ref.end(), t, [](const std::u16string& a, const std::u16string& b) {
      return ztStringList::Compare(a.c_str(), b.c_str()) < 0;
    });
    ref.insert(at, t);
  }
  std::vector<std::u16string> unique;
  for (const auto& t : ref)
    if (unique.empty() || ztStringList::Compare(unique.back().c_str(), t.c_str()) != 0)
      unique.push_back(t);
  list.SortUnique();
  std::vector<std::u16string> got = Entries(list);
  ASSERT_EQ(got.size(), unique.size());
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(zt_test::Utf8(got[i]), zt_test::Utf8(unique[i])) << i;
}

TEST(StringListSort, EmptyEntriesSortFirstAndCollapse) {
  ztStringList list;
  for (auto* s : {u"b", u"", u"a", u""}) list.Add(s);
  list.SortUnique();
  EXPECT_EQ(Entries(list), V({u"", u"a", u"b"}));
}

// ---- saving --------------------------------------------------------------------

TEST(StringListSave, Utf8WithCrLfAfterEveryEntry) {
  TempDir dir;
  ztStringList list;
  list.Add(u"\"a.txt\"");
  list.Add(u"");
  list.Add(u"\u97f3");
  EXPECT_EQ(list.SaveText(dir.Join(u"install.log").c_str()), 1);
  EXPECT_EQ(dir.Read(u"install.log"), "\"a.txt\"\r\n\r\n\xe9\x9f\xb3\r\n");
}

TEST(StringListSave, EmptyListCreatesAnEmptyFileAndReplacesAnOldOne) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"install.log", "old contents\r\n"));
  ztStringList list;
  EXPECT_EQ(list.SaveText(dir.Join(u"install.log").c_str()), 1);
  EXPECT_EQ(dir.Read(u"install.log"), "");
  // No temporary file is left beside it.
  EXPECT_EQ(dir.Read(u"install.log.zt~"), "<missing>");
}

TEST(StringListSave, LongEntryIsWrittenWhole) {
  // 259 units of a three-byte character: 777 bytes of UTF-8, more than a
  // fixed 512-byte conversion buffer would hold.
  TempDir dir;
  std::u16string entry(259, u'\u3042');
  ztStringList list;
  list.Add(entry.c_str());
  ASSERT_EQ(list.SaveText(dir.Join(u"x.log").c_str()), 1);
  std::string expected;
  for (int i = 0; i < 259; ++i) expected += "\xe3\x81\x82";
  EXPECT_EQ(dir.Read(u"x.log"), expected + "\r\n");
  ztStringList back;
  ASSERT_EQ(back.LoadText(dir.Join(u"x.log").c_str()), 1);
  ASSERT_EQ(back.Count(), 1u);
  // Reading back gives the whole entry: a cut one would be written back cut.
  EXPECT_EQ(std::u16string(back.At(0)), entry);
}

TEST(StringListSave, FailedSaveLeavesTheOldFileWhole) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"install.log", "\"keep.txt\"\r\n"));
  // A folder where the temporary file would go makes the save fail.
  ASSERT_TRUE(dir.Write(u"install.log.zt~" + std::u16string(1, zt_test::kSep) + u"x", "x"));
  ztStringList list;
  list.Add(u"new");
  EXPECT_EQ(list.SaveText(dir.Join(u"install.log").c_str()), 0);
  EXPECT_EQ(dir.Read(u"install.log"), "\"keep.txt\"\r\n");
}

#ifdef _WIN32
TEST(StringListSave, TargetOf259UnitsIsReplacedWhole) {
  // The replacement file next to it passes 259 units: it is named in the
  // long form instead of being refused.
  TempDir dir;
  std::u16string folder = dir.Path();
  while (folder.size() < 240) folder += u"\\" + std::u16string(std::min<size_t>(60, 239 - folder.size()), u'd');
  const std::u16string path = folder + u"\\" + std::u16string(258 - folder.size(), u'l');
  ASSERT_EQ(path.size(), 259u);
  ASSERT_TRUE(CreateFolderTree(path.c_str(), 1));
  ztStringList list;
  list.Add(u"\"a.txt\"");
  ASSERT_EQ(list.SaveText(path.c_str()), 1);
  ztStringList back;
  ASSERT_EQ(back.LoadText(path.c_str()), 1);
  ASSERT_EQ(back.Count(), 1u);
  EXPECT_EQ(std::u16string(back.At(0)), u"\"a.txt\"");
}
#endif

TEST(StringListSave, TargetInAMissingFolderFails) {
  TempDir dir;
  ztStringList list;
  list.Add(u"x");
  std::u16string path = dir.Join(u"no") + zt_test::kSep + u"install.log";
  EXPECT_EQ(list.SaveText(path.c_str()), 0);
}

TEST(StringListSave, SavedListLoadsBackSortedAndUnique) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"install.log", "\"b\"\r\n\"A\"\r\n"));
  ztStringList list;
  ASSERT_EQ(list.LoadText(dir.Join(u"install.log").c_str()), 1);
  list.Add(u"\"a\"");
  list.Add(u"\"c\"");
  list.SortUnique();
  ASSERT_EQ(list.SaveText(dir.Join(u"install.log").c_str()), 1);
  EXPECT_EQ(dir.Read(u"install.log"), "\"A\"\r\n\"b\"\r\n\"c\"\r\n");
}

// ---- entries -------------------------------------------------------------------

TEST(StringListAdd, LongTextIsCutTo259Units) {
  ztStringList list;
  std::u16string text(400, u'x');
  EXPECT_EQ(list.Add(text.c_str()), 1);
  EXPECT_EQ(std::u16string(list.At(0)).size(), 259u);
  EXPECT_EQ(list.At(1), nullptr);
}

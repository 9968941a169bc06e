// The journal's bytes, the commit mark, the folders an update creates and
// the run record's text.
#include "app/UpdateJournal.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

UpdateJournal Sample() {
  UpdateJournal j;
  j.brand = u"Brand";
  j.app = u"Game";
  j.majorVersion = u"1";
  j.minorVersion = u"5";
  j.logExisted = true;
  j.createdFolders = {u"maps", u"maps\\\u65E5\u672C"};
  j.files = {{u"readme.txt", true}, {u"maps\\\u65E5\u672C\\a.map", false}, {u"bin\\game.exe", true}};
  return j;
}

}  // namespace

TEST(UpdateJournal, ReadsBackWhatWasWritten) {
  for (const UpdateJournal& j : {Sample(), UpdateJournal()}) {
    const std::vector<uint8_t> bytes = EncodeJournal(j);
    UpdateJournal back;
    ASSERT_TRUE(DecodeJournal(bytes.data(), bytes.size(), &back));
    EXPECT_EQ(back.brand, j.brand);
    EXPECT_EQ(back.minorVersion, j.minorVersion);
    EXPECT_EQ(back.logExisted, j.logExisted);
    EXPECT_EQ(back.createdFolders, j.createdFolders);
    ASSERT_EQ(back.files.size(), j.files.size());
    for (size_t i = 0; i < j.files.size(); ++i) {
      EXPECT_EQ(back.files[i].path, j.files[i].path);
      EXPECT_EQ(back.files[i].existed, j.files[i].existed);
    }
  }
}

TEST(UpdateJournal, EveryCutAndEveryFlippedByteIsRefused) {
  const std::vector<uint8_t> bytes = EncodeJournal(Sample());
  UpdateJournal out;
  out.brand = u"untouched";
  for (size_t n = 0; n < bytes.size(); ++n) EXPECT_FALSE(DecodeJournal(bytes.data(), n, &out)) << "cut at " << n;
  for (size_t i = 0; i < bytes.size(); ++i) {
    for (uint8_t flip : {0x01, 0x80, 0xFF}) {
      std::vector<uint8_t> damaged = bytes;
      damaged[i] ^= flip;
      EXPECT_FALSE(DecodeJournal(damaged.data(), damaged.size(), &out)) << "byte " << i << " ^ " << int(flip);
    }
  }
  std::vector<uint8_t> longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(DecodeJournal(longer.data(), longer.size(), &out));
  EXPECT_EQ(out.brand, u"untouched");  // nothing half-read into the result

  const std::vector<uint8_t> mark = EncodeCommitMark(0x12345678u);
  uint32_t crc = 0;
  ASSERT_TRUE(DecodeCommitMark(mark.data(), mark.size(), &crc));
  EXPECT_EQ(crc, 0x12345678u);
  for (size_t n = 0; n < mark.size(); ++n) EXPECT_FALSE(DecodeCommitMark(mark.data(), n, &crc));
  for (size_t i = 0; i < mark.size(); ++i) {
    std::vector<uint8_t> damaged = mark;
    damaged[i] ^= 0x10;
    EXPECT_FALSE(DecodeCommitMark(damaged.data(), damaged.size(), &crc)) << "byte " << i;
  }
}

TEST(UpdateJournal, PathsThatLeaveTheInstallationAreRefusedEvenWithAGoodChecksum) {
  for (const std::u16string& bad :
       std::vector<std::u16string>{u"..\\boot.ini", u"a\\..\\..\\x", u"C:\\x", u"\\x", u"a\\\\b", u"a\\", u"a/b", u".",
                                   u"", std::u16string(260, u'a'), std::u16string(u"a\x01")}) {
    EXPECT_FALSE(IsSafeRelativePath(bad)) << std::string(bad.begin(), bad.end());
    for (int where = 0; where < 2; ++where) {
      UpdateJournal j = Sample();
      (where ? j.files[1].path : j.createdFolders[0]) = bad;
      const std::vector<uint8_t> bytes = EncodeJournal(j);
      UpdateJournal out;
      EXPECT_FALSE(DecodeJournal(bytes.data(), bytes.size(), &out));
    }
  }
  EXPECT_TRUE(IsSafeRelativePath(u"a..b\\.hidden\\x.txt"));
}

TEST(UpdateJournal, FoldersToCreateAreEachAskedOnceAndComeAfterTheirParents) {
  std::map<std::u16string, int> asked;
  auto exists = [&](const std::u16string& f) {
    ++asked[f];
    return f == u"data";
  };
  const std::vector<std::u16string> got =
      FoldersToCreate({u"top.txt", u"data\\new\\deep\\a", u"DATA\\New\\b", u"data\\x", u"maps\\m"}, exists);
  EXPECT_EQ(got, (std::vector<std::u16string>{u"data\\new", u"data\\new\\deep", u"maps"}));
  for (const auto& [folder, count] : asked) EXPECT_EQ(count, 1) << std::string(folder.begin(), folder.end());
  EXPECT_EQ(asked.size(), 4u);
}

TEST(RunRecord, SaysWhatHappenedOnWholeLinesAndKeepsTheLatestRuns) {
  RunRecord r;
  std::u16string when = u"2026-12-08 17:30:01";
  std::copy(when.begin(), when.end(), r.when);
  r.when[when.size()] = 0;
  r.majorVersion = u"1";
  r.minorVersion = u"5";
  r.outcome = 6;
  r.failedFile = u"C:\\Game\\a.dll";
  r.failedText = u"Access denied.\r\n";
  r.milliseconds = 1234;
  r.rollback = 1;
  r.recovery = kRecoveryRolledBack;
  const std::string text = FormatRunRecord(r);
  for (const char* part :
       {"[2026-12-08 17:30:01] update 1.5\r\n", "outcome: 6 (copy failed)",
        "failed: C:\\Game\\a.dll: Access denied.\r\n", "rolled back", "recovery: ", "duration: 1.234 s\r\n"})
    EXPECT_NE(text.find(part), std::string::npos) << part;

  const std::string line = "0123456789\r\n";  // 12 bytes
  std::string log;
  for (int i = 0; i < 10; ++i) log = AppendBounded(log, line, 50);
  EXPECT_EQ(log, line + line + line + line);  // 48 bytes, whole lines
  EXPECT_EQ(AppendBounded("no line end", line, 100), "no line end\r\n" + line);
  const std::string huge(80, 'x');
  EXPECT_EQ(AppendBounded(log, huge + "\r\n", 50), huge + "\r\n");  // one run is never cut
}

TEST(UpdateJournal, LimitsHoldExactlyAtTheirEdgeAndAddedBytesAreRefusedUnderAGoodChecksum) {
  EXPECT_TRUE(IsSafeRelativePath(std::u16string(259, u'a')));
  EXPECT_FALSE(IsSafeRelativePath(std::u16string(260, u'a')));
  EXPECT_TRUE(IsSafeRelativePath(std::u16string(u"a\x20")));
  EXPECT_FALSE(IsSafeRelativePath(std::u16string(u"a\x1f")));
  // A byte more inside the journal, with its checksum made right again, is
  // still not a journal: whatever the parse meets, it must not take it.
  const std::vector<uint8_t> good = EncodeJournal(Sample());
  for (size_t at = 0; at + 4 <= good.size(); ++at) {
    std::vector<uint8_t> longer(good.begin(), good.end() - 4);
    longer.insert(longer.begin() + static_cast<std::ptrdiff_t>(at), 0);
    const uint32_t crc = JournalCrc(longer.data(), longer.size());
    for (int i = 0; i < 4; ++i) longer.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    UpdateJournal out;
    EXPECT_FALSE(DecodeJournal(longer.data(), longer.size(), &out)) << "zero byte added at " << at;
  }
}

TEST(RunRecord, ATrimMeetsTheLimitExactlyOnALineBoundary) {
  const std::string line = "0123456789\r\n";  // 12 bytes
  // 36 + 12 bytes fit 48 exactly: nothing goes; one byte less and the oldest
  // line goes whole.
  EXPECT_EQ(AppendBounded(line + line + line, line, 48), line + line + line + line);
  EXPECT_EQ(AppendBounded(line + line + line, line, 47), line + line + line);
  EXPECT_EQ(AppendBounded(line + line + line, line, 37), line + line + line);
  EXPECT_EQ(AppendBounded(line + line + line, line, 36), line + line + line);
  EXPECT_EQ(AppendBounded(line + line + line, line, 35), line + line);
}

TEST(UpdateJournal, TheTrustedKeyIsNamedAsTheSystemComparesNames) {
  for (const char16_t* name : {u"update.key", u"UPDATE.KEY", u"Update.Key.", u"update.key ", u"update.key. ."})
    EXPECT_TRUE(IsTrustedKeyPath(name)) << std::string(name, name + std::char_traits<char16_t>::length(name));
  for (const char16_t* name : {u"update.ke", u"update.keys", u"x\\update.key", u".update.key", u"update.key\\x", u""})
    EXPECT_FALSE(IsTrustedKeyPath(name)) << std::string(name, name + std::char_traits<char16_t>::length(name));
}

TEST(UpdateJournal, AJournalFolderIsTrustedOnlyWhenNoStandardUserCouldHaveWrittenIt) {
  struct Case {
    bool elevated, known, ownerIsAdmin, protectedAcl, othersMayWrite;
    JournalTrust want;
  };
  const Case cases[] = {
      // Not elevated: a journal can do nothing its user could not.
      {false, false, false, false, true, kJournalTrusted},
      {false, true, false, false, true, kJournalTrusted},
      // Elevated: our own kind of folder, and each one thing short of it.
      {true, true, true, true, false, kJournalTrusted},
      {true, true, false, true, false, kJournalRestricted},
      {true, true, true, false, false, kJournalRestricted},
      {true, true, true, true, true, kJournalRestricted},
      // What Wine shows for the folder an elevated run made.
      {true, true, false, false, false, kJournalRestricted},
      {true, false, true, true, false, kJournalRefused},
  };
  for (const Case& c : cases) {
    JournalFolderFacts f;
    f.elevated = c.elevated;
    f.known = c.known;
    f.ownerIsAdmin = c.ownerIsAdmin;
    f.protectedAcl = c.protectedAcl;
    f.othersMayWrite = c.othersMayWrite;
    EXPECT_EQ(DecideJournalTrust(f), c.want) << c.elevated << c.known << c.ownerIsAdmin << c.protectedAcl
                                             << c.othersMayWrite;
  }
}

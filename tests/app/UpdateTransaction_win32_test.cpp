// The update as one transaction, with the real copy engine: rollback after a
// failure, commit, and recovery of what a killed run left.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/UpdateJournal.h"
#include "app/UpdateTransaction.h"
#include "file/pathutil.h"
#include "file/ztFileCopier.h"
#include "file/ztStringList.h"
#include "platform/ztCaps.h"
#include "tests/common/testutil.h"

using zt_test::Join;
using zt_test::ReadFileBytes;
using zt_test::W;
using zt_test::WriteFileBytes;

namespace {

// Every file and folder below `root`: bytes (or "<folder>"), write time and
// attributes.
using Tree = std::map<std::u16string, std::string>;
void Scan(const std::u16string& root, const std::u16string& relative, Tree* tree) {
  WIN32_FIND_DATAW fd;
  const std::u16string folder = relative.empty() ? root : Join(root, relative);
  HANDLE find = FindFirstFileW(W(Join(folder, u"*")), &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::u16string name = reinterpret_cast<const char16_t*>(fd.cFileName);
    if (name == u"." || name == u"..") continue;
    const std::u16string path = relative.empty() ? name : relative + u"\\" + name;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      (*tree)[path] = "<folder>";
      Scan(root, path, tree);
    } else {
      (*tree)[path] = ReadFileBytes(Join(root, path)) + " @" + std::to_string(fd.ftLastWriteTime.dwLowDateTime) + " a" +
                      std::to_string(fd.dwFileAttributes);
    }
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}
Tree Snapshot(const std::u16string& root) {
  Tree t;
  Scan(root, u"", &t);
  return t;
}

struct Done {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  int error = 0;
  ~Done() { CloseHandle(event); }
};
int32_t OnEnd(void* user, const CopyStatus* s) {
  auto* done = static_cast<Done*>(user);
  if (s->finished) {
    done->error = s->error;
    SetEvent(done->event);
  }
  return s->error ? 0 : 1;
}

class Transaction : public ::testing::Test {
 protected:
  void SetUp() override {
    ztCapsCreate(ZTCAPS_WINDOWS, 0);
    inst_ = Join(dir_.Path(), u"inst");
    src_ = Join(dir_.Path(), u"src");
    Installed(u"readme.txt", "old readme");
    Installed(u"bin\\game.exe", "old game");
    Installed(u"was.txt", "was here");
    Installed(u"install.log", "\"readme.txt\"\r\n");
    FILETIME old = {0x12345678u, 0x01C00000u};
    for (const char16_t* name : {u"readme.txt", u"bin\\game.exe"}) {
      HANDLE h = CreateFileW(W(Join(inst_, name)), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      SetFileTime(h, nullptr, nullptr, &old);
      CloseHandle(h);
    }
    Package(u"readme.txt", "new readme");
    Package(u"maps\\new\\a.map", std::string(300000, 'm'));
    Package(u"bin\\game.exe", std::string(70000, 'g'));
    Package(u"was.txt", "");
  }
  void Installed(const std::u16string& path, const std::string& bytes) {
    ASSERT_TRUE(CreateFolderTree(Join(inst_, path).c_str(), 1));
    ASSERT_TRUE(WriteFileBytes(Join(inst_, path), bytes));
  }
  void Package(const std::u16string& path, const std::string& bytes) {
    ASSERT_TRUE(CreateFolderTree(Join(src_, path).c_str(), 1));
    ASSERT_TRUE(WriteFileBytes(Join(src_, path), bytes));
    paths_.push_back(path);
  }
  UpdateJournal Journal() {
    UpdateJournal j;
    j.logExisted = zt_test::FileExists(Join(inst_, u"install.log"));
    for (const std::u16string& p : paths_) j.files.push_back({p, zt_test::FileExists(Join(inst_, p))});
    j.createdFolders =
        FoldersToCreate(paths_, [&](const std::u16string& f) { return zt_test::PathExists(Join(inst_, f)); });
    return j;
  }
  // Begins the transaction and runs the engine over the package; the
  // engine's error flag.
  int Copy(UpdateTransaction& tx) {
    EXPECT_TRUE(tx.Begin(Journal()));
    ztStringList log;
    EXPECT_TRUE(log.Add(u"\"new\""));
    EXPECT_TRUE(tx.ReplaceInstallLog(log));
    ztFileCopier copier(3, 0);
    EXPECT_TRUE(copier.SetBackupFolder(tx.Folder()));
    for (const std::u16string& p : paths_) EXPECT_TRUE(copier.AddJob(Join(src_, p).c_str(), tx.TargetOf(p).c_str(), 0));
    Done done;
    EXPECT_TRUE(copier.StartCopy(OnEnd, &done, nullptr));
    EXPECT_EQ(WaitForSingleObject(done.event, 60000), WAIT_OBJECT_0);
    return done.error;
  }
  void ExpectNew() {
    for (const std::u16string& p : paths_) EXPECT_EQ(ReadFileBytes(Join(inst_, p)), ReadFileBytes(Join(src_, p)));
    EXPECT_EQ(ReadFileBytes(Join(inst_, u"install.log")), "\"new\"\r\n");
    EXPECT_FALSE(zt_test::PathExists(JournalFolder()));
  }
  std::u16string JournalFolder() const { return Join(inst_, u".ztupdate"); }

  zt_test::TempDir dir_;
  std::u16string inst_, src_;
  std::vector<std::u16string> paths_;
};

}  // namespace

TEST_F(Transaction, AFailureHalfWayIsRolledBackToExactlyTheOldInstallation) {
  // The last job fails at a read-only file, after every other was installed.
  Installed(u"zz.txt", "read-only");
  ASSERT_TRUE(SetFileAttributesW(W(Join(inst_, u"zz.txt")), FILE_ATTRIBUTE_READONLY));
  Package(u"zz.txt", "new");
  const Tree before = Snapshot(inst_);
  UpdateTransaction tx(inst_.c_str());
  ASSERT_EQ(Copy(tx), 1);
  EXPECT_EQ(ReadFileBytes(Join(inst_, u"maps\\new\\a.map")).size(), 300000u);  // really copied
  EXPECT_TRUE(tx.Rollback());
  EXPECT_EQ(Snapshot(inst_), before);
  EXPECT_FALSE(tx.Rollback());  // once only
}

TEST_F(Transaction, TwoJobsForOneFileRollBackToTheInstalledOne) {
  // The second job backs up what the first one wrote: put back newest
  // first, the installed file is the one that stays.
  Package(u"readme.txt", "newer readme");
  const Tree before = Snapshot(inst_);
  UpdateTransaction tx(inst_.c_str());
  ASSERT_EQ(Copy(tx), 0);
  EXPECT_EQ(ReadFileBytes(Join(inst_, u"readme.txt")), "newer readme");
  EXPECT_TRUE(tx.Rollback());
  EXPECT_EQ(Snapshot(inst_), before);
}

TEST_F(Transaction, ANewKeyTakesItsPlaceOnlyWithTheCommit) {
  Installed(u"update.key", "old key");
  Package(u"update.key", "new key");
  const Tree before = Snapshot(inst_);
  {
    UpdateTransaction tx(inst_.c_str());
    ASSERT_EQ(Copy(tx), 0);
    // Every file is in place but the key: it waits in the journal folder.
    EXPECT_EQ(ReadFileBytes(Join(inst_, u"update.key")), "old key");
  }  // killed before the mark
  EXPECT_EQ(RecoverUnfinishedUpdate(inst_.c_str()), kRecoveryRolledBack);
  EXPECT_EQ(Snapshot(inst_), before);
  // The same package again, committed this time.
  UpdateTransaction tx(inst_.c_str());
  ASSERT_EQ(Copy(tx), 0);
  EXPECT_TRUE(tx.Commit());
  ExpectNew();
}

TEST_F(Transaction, ACommitKeepsTheNewFilesAndNothingOfTheJournal) {
  UpdateTransaction tx(inst_.c_str());
  ASSERT_EQ(Copy(tx), 0);
  EXPECT_TRUE(tx.Commit());
  ExpectNew();
  // A journal folder already there (not cleaned by recovery) is not reused.
  ASSERT_TRUE(CreateDirectoryW(W(JournalFolder()), nullptr));
  UpdateTransaction second(inst_.c_str());
  EXPECT_FALSE(second.Begin(Journal()));
}

TEST_F(Transaction, RecoveryUndoesAnUpdateThatWasNeverCommitted) {
  for (bool withoutLog : {false, true}) {
    SCOPED_TRACE(withoutLog ? "no install.log before" : "install.log before");
    if (withoutLog) {
      ASSERT_TRUE(DeleteFileW(W(Join(inst_, u"install.log"))));
    }
    const Tree before = Snapshot(inst_);
    {
      UpdateTransaction tx(inst_.c_str());
      ASSERT_EQ(Copy(tx), 0);
    }  // killed: neither committed nor rolled back
    // A kill during the save of install.log leaves the list's temporary file,
    // and one during a copy the engine's; that one carries a process id the
    // system may have handed out again (here: this very process's).
    ASSERT_TRUE(WriteFileBytes(Join(inst_, u"install.log.zt~"), "\"half"));
    char16_t temp[32];
    ASSERT_TRUE(ztCopyTempName(temp, 32, GetCurrentProcessId(), 7));
    ASSERT_TRUE(WriteFileBytes(Join(inst_, u"bin\\" + std::u16string(temp)), "half a game"));
    EXPECT_EQ(RecoverUnfinishedUpdate(inst_.c_str()), kRecoveryRolledBack);
    EXPECT_EQ(Snapshot(inst_), before);
    EXPECT_EQ(RecoverUnfinishedUpdate(inst_.c_str()), kRecoveryNone);
  }
}

TEST_F(Transaction, RecoveryFinishesAnUpdateWhoseMarkWasWritten) {
  {
    UpdateTransaction tx(inst_.c_str());
    ASSERT_EQ(Copy(tx), 0);
  }
  // The mark as the commit writes it, then the kill before the clean-up.
  std::string journal = ReadFileBytes(Join(JournalFolder(), u"journal"));
  const std::vector<uint8_t> mark =
      EncodeCommitMark(JournalCrc(reinterpret_cast<const uint8_t*>(journal.data()), journal.size()));
  ASSERT_TRUE(WriteFileBytes(Join(JournalFolder(), u"committed"), std::string(mark.begin(), mark.end())));
  EXPECT_EQ(RecoverUnfinishedUpdate(inst_.c_str()), kRecoveryCommitted);
  ExpectNew();
}

TEST_F(Transaction, AJournalThatCannotBeReadIsNeverGuessedAt) {
  {
    UpdateTransaction tx(inst_.c_str());
    ASSERT_EQ(Copy(tx), 0);
  }
  const std::u16string path = Join(JournalFolder(), u"journal");
  const std::string good = ReadFileBytes(path);
  const std::vector<uint8_t> other = EncodeCommitMark(0);
  struct Damage {
    const char* what;
    std::string journal;  // "<missing>" to remove it
    std::string mark;     // "" for none
  };
  const Damage cases[] = {
      {"a flipped byte", good.substr(0, 9) + char(good[9] ^ 0x20) + good.substr(10), ""},
      {"cut short", good.substr(0, good.size() / 2), ""},
      {"a mark of another journal", good, std::string(other.begin(), other.end())},
      {"backups without a journal", "<missing>", ""},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.what);
    if (d.journal == "<missing>") {
      ASSERT_TRUE(DeleteFileW(W(path)));
    } else {
      ASSERT_TRUE(WriteFileBytes(path, d.journal));
    }
    if (!d.mark.empty()) {
      ASSERT_TRUE(WriteFileBytes(Join(JournalFolder(), u"committed"), d.mark));
    }
    const Tree before = Snapshot(inst_);
    EXPECT_EQ(RecoverUnfinishedUpdate(inst_.c_str()), kRecoveryRefused);
    EXPECT_EQ(Snapshot(inst_), before);
    DeleteFileW(W(Join(JournalFolder(), u"committed")));
  }
}

TEST_F(Transaction, AJournalStillBeingWrittenMeansNothingChanged) {
  const Tree before = Snapshot(inst_);
  ASSERT_TRUE(CreateDirectoryW(W(JournalFolder()), nullptr));
  ASSERT_TRUE(WriteFileBytes(Join(JournalFolder(), u"journal.tmp"), "half a jour"));
  EXPECT_EQ(RecoverUnfinishedUpdate(inst_.c_str()), kRecoveryNone);
  EXPECT_EQ(Snapshot(inst_), before);
}

TEST_F(Transaction, OneUpdaterAtATimeAndOnlyThroughPlainFoldersOfTheInstallation) {
  auto owner = std::make_unique<InstallGuard>();
  InstallGuard& first = *owner;
  InstallGuard second;
  ASSERT_TRUE(first.Open(inst_.c_str()));
  // The same folder, by another spelling of its path.
  EXPECT_FALSE(second.Open((inst_ + u"\\bin\\..").c_str()));
  EXPECT_EQ(second.Problem(), InstallGuard::kGuardBusy);
  EXPECT_TRUE(first.HoldFolder(u"bin"));
  EXPECT_TRUE(first.HoldFolder(u"maps\\new\\deeper"));  // not there: nothing below it is either
  // A held folder cannot be renamed away (and a link put in its place).
  EXPECT_FALSE(MoveFileExW(W(Join(inst_, u"bin")), W(Join(inst_, u"bin2")), 0));
  ASSERT_TRUE(WriteFileBytes(Join(inst_, u"afile"), "x"));
  EXPECT_FALSE(first.HoldFolder(u"afile\\below"));
  EXPECT_EQ(first.Problem(), InstallGuard::kGuardNotFolder);
  EXPECT_EQ(first.ProblemFolder(), u"afile");
  // The first run's end lets the next one in.
  owner.reset();
  InstallGuard third;
  EXPECT_TRUE(third.Open(inst_.c_str()));
}

TEST_F(Transaction, AnUpdateLogThatCannotBeReadKeepsItsHistory) {
  const std::u16string log = Join(inst_, u"update.log");
  ASSERT_TRUE(WriteFileBytes(log, "earlier runs\r\n"));
  RunRecord record = {};
  FormatLocalTime(record.when);
  HANDLE held = CreateFileW(W(log), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  AppendRunRecord(inst_.c_str(), record);
  CloseHandle(held);
  EXPECT_EQ(ReadFileBytes(log), "earlier runs\r\n");
  AppendRunRecord(inst_.c_str(), record);
  EXPECT_EQ(ReadFileBytes(log).rfind("earlier runs\r\n[", 0), 0u);
}

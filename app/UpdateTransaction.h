// Applying the journal of app/UpdateJournal.h to an installation: begin,
// commit, roll back, and recover what a killed run left. Windows build only.
//
// The order of the steps is what makes every moment of a run recoverable:
//   1. "journal.tmp" is written and flushed, then renamed to "journal" (a
//      journal under its final name is always whole);
//   2. install.log moves to the journal folder and the new one is saved;
//   3. the copy engine moves each replaced file into the folder just before
//      its new one takes the name (ztFileCopier::SetBackupFolder);
//   4. "committed.tmp" is written, flushed and renamed to "committed";
//   5. the backups go, then "journal", then "committed", then the folder.
// A journal without a commit mark is rolled back; with one, step 5 is
// finished. Every rollback step looks at what is on disk before it acts, so
// a rollback interrupted in its turn can simply be run again.
#pragma once

#include <cstdint>
#include <vector>

#include "app/UpdateJournal.h"
#include "file/pathutil.h"

class ztStringList;

// 1 with the file's bytes, 0 when it is missing, -1 when it is there but
// cannot be read whole (or is larger than 64 MiB).
int ReadFileBytes(const char16_t* path, std::vector<uint8_t>* out);

class UpdateTransaction {
 public:
  // `installRoot`: the full path of the installation folder.
  explicit UpdateTransaction(const char16_t* installRoot);
  UpdateTransaction(const UpdateTransaction&) = delete;
  UpdateTransaction& operator=(const UpdateTransaction&) = delete;

  // The journal folder (for the copy engine's backups); empty when the
  // installation folder is too long to hold it.
  const char16_t* Folder() const { return folder_; }

  // Creates the journal folder and writes the journal, flushed to disk,
  // before anything installed changes. 1, or 0 with nothing left behind
  // (a journal folder already there, which recovery would have removed,
  // is refused too).
  [[nodiscard]] int Begin(const UpdateJournal& journal);
  // Moves the old install.log into the journal folder and saves `log` in
  // its place. 1, or 0 (Rollback puts the old one back).
  [[nodiscard]] int ReplaceInstallLog(ztStringList& log);
  // Every file is in place: the commit mark, then the clean-up. 1 once the
  // mark is on disk (a clean-up that stops half-way is finished by the next
  // run), 0 when it could not be written (the update must be rolled back).
  [[nodiscard]] int Commit();
  // Commit in two halves, for a caller that tells the user as soon as the
  // update is in: the mark alone (1 once it is on disk), then the clean-up
  // of a committed update (nothing otherwise).
  [[nodiscard]] int WriteCommitMark();
  void CleanUp();
  // Puts back what the update changed. 1 when whole (the journal folder is
  // gone); 0 when something could not be put back, and the journal stays
  // for the next run to try again.
  [[nodiscard]] int Rollback();

 private:
  char16_t root_[ZT_MAX_PATH] = {};
  char16_t folder_[ZT_LONG_PATH] = {};
  UpdateJournal journal_;
  uint32_t journalCrc_ = 0;
  bool begun_ = false;
  bool committed_ = false;  // the mark is written, the clean-up not yet done
};

// What a run finds in the installation before its version check: an
// unfinished update is rolled back, a complete one's clean-up finished.
// kRecoveryRefused (nothing touched) for a journal that cannot be read;
// kRecoveryFailed when a rollback could not put everything back.
RecoveryKind RecoverUnfinishedUpdate(const char16_t* installRoot);

// Appends the run's record to the installation's update.log, keeping its
// last kRunRecordLimit bytes. The record is for support only: a failure
// to write it changes nothing in the run.
void AppendRunRecord(const char16_t* installRoot, const RunRecord& record);

// The local date and time as the run record shows it.
void FormatLocalTime(char16_t (&out)[32]);

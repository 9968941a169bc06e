// Applying the journal of app/UpdateJournal.h to an installation: begin,
// commit, roll back, and recover what a killed run left. Windows build only.
//
// The order of the steps is what makes every moment of a run recoverable:
//   1. "journal.tmp" is written and flushed, then renamed to "journal" and
//      the folder flushed (a journal under its final name is always whole);
//      then the folders the update creates are made (and held);
//   2. install.log moves to the journal folder and the new one is saved
//      (flushed before it takes the name);
//   3. the copy engine moves each replaced file into the folder just before
//      its new one takes the name (ztFileCopier::SetBackupFolder); a new
//      trusted key is written into the folder, never over update.key;
//   4. every installed file's data is on the disk (the engine flushed each
//      one as it installed it) and the folders they are in are flushed, then
//      "committed.tmp" is written, flushed and renamed to "committed", and
//      the folder flushed: only now is the update in;
//   5. a new key takes update.key's place, then the backups go, then
//      "journal", then "committed", then the folder.
// A journal without a commit mark is rolled back, newest job first; with one,
// step 5 is finished. Every rollback step looks at what is on disk before it
// acts, so a rollback interrupted in its turn can simply be run again.
//
// Every path goes through the run's InstallGuard: each folder touched is
// checked and held first, so nothing a user plants (a junction, a folder
// swapped for one) can carry a rename or a delete out of the installation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/InstallGuard.h"
#include "app/UpdateJournal.h"
#include "file/pathutil.h"

class ztStringList;

// 1 with the file's bytes, 0 when it is missing, -1 when it is there but
// cannot be read whole (or is larger than 64 MiB).
int ReadFileBytes(const char16_t* path, std::vector<uint8_t>* out);

// True when this process runs with an administrator's full rights.
bool ProcessIsElevated();

// Why a transaction or a recovery stopped, for update.log: the file or
// folder (relative to the installation) and fixed English words.
struct TransactionProblem {
  std::u16string path;
  const char* words = "";
};

class UpdateTransaction {
 public:
  // `guard`: the run's guard, opened on the installation (it outlives the
  // transaction).
  explicit UpdateTransaction(InstallGuard& guard);
  // For tests and tools: a guard of its own over `installRoot`.
  explicit UpdateTransaction(const char16_t* installRoot);
  UpdateTransaction(const UpdateTransaction&) = delete;
  UpdateTransaction& operator=(const UpdateTransaction&) = delete;

  // The journal folder (for the copy engine's backups); empty when the
  // installation folder is too long to hold it or could not be opened.
  const char16_t* Folder() const { return folder_; }
  // Where the job of the relative path `file` writes: the installation's
  // file, or for a new trusted key its place in the journal folder (it
  // takes update.key's name only once the update is committed).
  std::u16string TargetOf(const std::u16string& file) const;

  // Creates the journal folder (protected, when elevated) and writes the
  // journal, flushed to disk, before anything installed changes; then makes
  // the update's new folders. 1, or 0 with nothing left behind (a journal
  // folder already there, which recovery would have removed, is refused
  // too) and Problem() set.
  [[nodiscard]] int Begin(const UpdateJournal& journal);
  // Moves the old install.log into the journal folder and saves `log` in
  // its place. 1, or 0 (Rollback puts the old one back).
  [[nodiscard]] int ReplaceInstallLog(ztStringList& log);
  // Every file is in place: the commit mark, then the clean-up. 1 once the
  // mark is on disk (a clean-up that stops half-way is finished by the next
  // run), 0 when it could not be written (the update must be rolled back).
  [[nodiscard]] int Commit();
  // Commit in two halves, for a caller that tells the user as soon as the
  // update is in: the folders the update wrote into flushed, the mark, its
  // folder flushed, and a new key put in place (1 once the mark is on
  // disk), then the clean-up of a committed update (nothing otherwise).
  // Every installed file's data must be on the disk before: the copy
  // engine flushes each one (ztFileCopier::SetFlushThreads).
  [[nodiscard]] int WriteCommitMark();
  void CleanUp();
  // Puts back what the update changed. 1 when whole (the journal folder is
  // gone); 0 when something could not be put back, and the journal stays
  // for the next run to try again.
  [[nodiscard]] int Rollback();

  const TransactionProblem& Problem() const { return problem_; }

 private:
  int Fail(const std::u16string& path, const char* words);

  std::unique_ptr<InstallGuard> ownGuard_;
  InstallGuard* guard_ = nullptr;
  char16_t root_[ZT_MAX_PATH] = {};
  char16_t folder_[ZT_LONG_PATH] = {};
  UpdateJournal journal_;
  uint32_t journalCrc_ = 0;
  bool begun_ = false;
  bool committed_ = false;  // the mark is written, the clean-up not yet done
  TransactionProblem problem_;
};

// What a run finds in the installation before its version check: an
// unfinished update is rolled back, a complete one's clean-up finished.
// kRecoveryRefused (nothing touched) for a journal that cannot be read or
// trusted, a ".ztupdate" that is a file or a link, or a journal naming a
// folder that leads out of the installation; kRecoveryFailed when a
// rollback could not put everything back. `problem` says why.
RecoveryKind RecoverUnfinishedUpdate(InstallGuard& guard, TransactionProblem* problem);
// For tests: a guard of its own over `installRoot`.
RecoveryKind RecoverUnfinishedUpdate(const char16_t* installRoot);

// Appends the run's record to the installation's update.log, keeping its
// last kRunRecordLimit bytes. The record is for support only: a failure
// to write it changes nothing in the run, and a record that is there but
// cannot be read is left as it is (this run's lines are lost, not the
// history).
void AppendRunRecord(const char16_t* installRoot, const RunRecord& record);

// The local date and time as the run record shows it.
void FormatLocalTime(char16_t (&out)[32]);

#include "app/UpdateTransaction.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>

#include "file/textutil.h"
#include "file/ztFileCopier.h"
#include "file/ztStringList.h"
#include "platform/ztWide.h"

namespace {

// Above any journal or run record this program writes; a bigger file is
// not one of ours.
constexpr DWORD kMaxReadBytes = 64u << 20;

// `base` joined with `name` (a relative path), in the long form when needed.
bool Join(const char16_t* base, const std::u16string& name, char16_t (&out)[ZT_LONG_PATH]) {
  std::u16string tail = u"\\" + name;
  return ztAppendLong(out, ZT_LONG_PATH, base, tail.c_str()) >= 0;
}

// Writes `bytes` to `temp`, flushes them to the disk and renames the file to
// `path`: a file under its final name is always whole.
bool WriteDurably(const char16_t* temp, const char16_t* path, const void* bytes, size_t size) {
  HANDLE f = CreateFileW(W(temp), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  const bool written = size <= MAXDWORD && WriteFile(f, bytes, static_cast<DWORD>(size), &put, nullptr) &&
                       put == size && FlushFileBuffers(f);
  CloseHandle(f);
  if (written && MoveFileExW(W(temp), W(path), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  DeleteFileW(W(temp));
  return false;
}

// Deletes a file that may or may not be there; false only when it stays.
bool DeleteIfThere(const char16_t* path) {
  if (DeleteFileW(W(path))) return true;
  const DWORD e = GetLastError();
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

std::u16string BackupName(size_t index) {
  char16_t name[16];
  (void)ztCopyBackupName(name, 16, static_cast<uint32_t>(index));
  return name;
}

// Removes the journal folder's own files and the folder; false when any
// stays. Backups are removed by the caller first, so that a journal is
// never gone while one of its backups is still there.
bool RemoveJournalFolder(const char16_t* folder) {
  bool ok = true;
  for (const char16_t* name : {kJournalName, kJournalTempName, u"committed.tmp", kCommitName}) {
    char16_t path[ZT_LONG_PATH];
    ok = Join(folder, name, path) && DeleteIfThere(path) && ok;
  }
  if (!RemoveDirectoryW(W(folder)) && ztIsFolder(folder)) ok = false;
  return ok;
}

bool HasBackups(const char16_t* folder) {
  char16_t pattern[ZT_LONG_PATH];
  if (ztAppendLong(pattern, ZT_LONG_PATH, folder, u"\\*.bak") < 0) return true;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(W(pattern), &fd);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

// Step 5 of a commit: every backup, then the journal and the mark. The
// folder is listed rather than each possible backup name asked for: most
// files of an update are usually new and have none.
bool FinishCommit(const char16_t* folder) {
  bool ok = true;
  char16_t pattern[ZT_LONG_PATH], path[ZT_LONG_PATH];
  if (ztAppendLong(pattern, ZT_LONG_PATH, folder, u"\\*.bak") < 0) return false;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(W(pattern), &fd);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      if (!Join(folder, reinterpret_cast<const char16_t*>(fd.cFileName), path) || !DeleteIfThere(path)) ok = false;
    } while (FindNextFileW(find, &fd));
    FindClose(find);
  }
  // With a backup left the journal must stay: it is what says the backup
  // belongs to a finished update.
  return ok && RemoveJournalFolder(folder);
}

// Puts back what the journal's update changed, as far as it got.
bool RollBackJournal(const char16_t* root, const char16_t* folder, const UpdateJournal& journal) {
  bool ok = true;
  char16_t path[ZT_LONG_PATH], backup[ZT_LONG_PATH];
  auto restore = [&](const std::u16string& relative, const std::u16string& backupName, bool existed) {
    if (!Join(root, relative, path) || !Join(folder, backupName, backup)) {
      ok = false;
      return;
    }
    if (ztIsFile(backup)) {
      // The old file, with its own times and attributes, takes its name back.
      if (!MoveFileExW(W(backup), W(path), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) ok = false;
    } else if (!existed && ztIsFile(path) && !DeleteFileW(W(path))) {
      ok = false;
    }
    // Otherwise the file was never reached (or kept by the newer-program
    // rule) and is the old one already.
  };
  restore(u"install.log", kLogBackupName, journal.logExisted);
  // A run killed while it saved the new install.log leaves the list's own
  // temporary file beside it.
  char16_t logTemp[ZT_LONG_PATH];
  if (Join(root, u"install.log", path) && ztReplacementName(path, logTemp) && !DeleteIfThere(logTemp)) ok = false;
  std::set<std::u16string> folders;
  for (size_t i = 0; i < journal.files.size(); ++i) {
    const std::u16string& relative = journal.files[i].path;
    restore(relative, BackupName(i), journal.files[i].existed);
    const size_t cut = relative.rfind(u'\\');
    folders.insert(cut == std::u16string::npos ? std::u16string() : relative.substr(0, cut));
  }
  for (const std::u16string& f : folders) {
    if (f.empty()) {
      ztDeleteCopyLeftovers(root);
    } else if (Join(root, f, path)) {
      ztDeleteCopyLeftovers(path);
    }
  }
  // Deepest first; a folder someone has put other files into stays.
  for (size_t i = journal.createdFolders.size(); i-- > 0;)
    if (Join(root, journal.createdFolders[i], path)) RemoveDirectoryW(W(path));
  return ok && RemoveJournalFolder(folder);
}

bool JournalFolderOf(const char16_t* root, char16_t (&folder)[ZT_LONG_PATH]) {
  return root && root[0] && Join(root, kJournalFolder, folder);
}


}  // namespace

int ReadFileBytes(const char16_t* path, std::vector<uint8_t>* out) {
  out->clear();
  HANDLE f = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? 0 : -1;
  }
  LARGE_INTEGER size;
  int result = -1;
  if (GetFileSizeEx(f, &size) && size.QuadPart <= kMaxReadBytes) {
    out->resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (out->empty() ||
        (ReadFile(f, out->data(), static_cast<DWORD>(out->size()), &got, nullptr) && got == out->size()))
      result = 1;
  }
  CloseHandle(f);
  return result;
}


// ---- one run's transaction ---------------------------------------------------

UpdateTransaction::UpdateTransaction(const char16_t* installRoot) {
  if (CopyText(root_, installRoot) < 0 || !JournalFolderOf(root_, folder_)) {
    root_[0] = 0;
    folder_[0] = 0;
  }
}

int UpdateTransaction::Begin(const UpdateJournal& journal) {
  if (begun_ || !folder_[0]) return 0;
  // Recovery has removed any earlier folder; one here now is not ours to
  // overwrite.
  if (!CreateDirectoryW(W(folder_), nullptr)) return 0;
  SetFileAttributesW(W(folder_), FILE_ATTRIBUTE_HIDDEN);
  const std::vector<uint8_t> bytes = EncodeJournal(journal);
  char16_t temp[ZT_LONG_PATH], path[ZT_LONG_PATH];
  if (!Join(folder_, kJournalTempName, temp) || !Join(folder_, kJournalName, path) ||
      !WriteDurably(temp, path, bytes.data(), bytes.size())) {
    (void)RemoveJournalFolder(folder_);
    return 0;
  }
  journal_ = journal;
  journalCrc_ = JournalCrc(bytes.data(), bytes.size());
  begun_ = true;
  return 1;
}

int UpdateTransaction::ReplaceInstallLog(ztStringList& log) {
  if (!begun_) return 0;
  char16_t path[ZT_LONG_PATH], backup[ZT_LONG_PATH];
  if (!Join(root_, u"install.log", path) || !Join(folder_, kLogBackupName, backup)) return 0;
  if (journal_.logExisted && !MoveFileExW(W(path), W(backup), MOVEFILE_REPLACE_EXISTING)) return 0;
  return log.SaveText(path) ? 1 : 0;
}

int UpdateTransaction::Commit() {
  if (!WriteCommitMark()) return 0;
  CleanUp();
  return 1;
}

int UpdateTransaction::WriteCommitMark() {
  if (!begun_) return 0;
  const std::vector<uint8_t> mark = EncodeCommitMark(journalCrc_);
  char16_t temp[ZT_LONG_PATH], path[ZT_LONG_PATH];
  if (!Join(folder_, u"committed.tmp", temp) || !Join(folder_, kCommitName, path) ||
      !WriteDurably(temp, path, mark.data(), mark.size()))
    return 0;
  begun_ = false;
  committed_ = true;
  return 1;
}

void UpdateTransaction::CleanUp() {
  // The update is in; a clean-up that stops here is finished by the next run.
  if (committed_) (void)FinishCommit(folder_);
  committed_ = false;
}

int UpdateTransaction::Rollback() {
  if (!begun_) return 0;
  begun_ = false;
  return RollBackJournal(root_, folder_, journal_) ? 1 : 0;
}

// ---- what a killed run left --------------------------------------------------

RecoveryKind RecoverUnfinishedUpdate(const char16_t* installRoot) {
  char16_t root[ZT_MAX_PATH], folder[ZT_LONG_PATH];
  if (CopyText(root, installRoot) < 0 || !JournalFolderOf(root, folder) || !ztIsFolder(folder)) return kRecoveryNone;

  char16_t path[ZT_LONG_PATH], markPath[ZT_LONG_PATH];
  if (!Join(folder, kJournalName, path) || !Join(folder, kCommitName, markPath)) return kRecoveryRefused;
  std::vector<uint8_t> bytes, mark;
  const int journalRead = ReadFileBytes(path, &bytes);
  const int markRead = ReadFileBytes(markPath, &mark);
  if (journalRead < 0 || markRead < 0) return kRecoveryRefused;
  if (journalRead == 0) {
    // No journal under its final name: either nothing had changed yet (it
    // was still being written) or a commit's clean-up was cut after the
    // backups were gone. Backups without a journal are never guessed at.
    if (HasBackups(folder)) return kRecoveryRefused;
    const bool committed = markRead == 1;
    if (!RemoveJournalFolder(folder)) return kRecoveryFailed;
    return committed ? kRecoveryCommitted : kRecoveryNone;
  }
  UpdateJournal journal;
  if (!DecodeJournal(bytes.data(), bytes.size(), &journal)) return kRecoveryRefused;
  if (markRead == 1) {
    uint32_t crc = 0;
    if (!DecodeCommitMark(mark.data(), mark.size(), &crc) || crc != JournalCrc(bytes.data(), bytes.size()))
      return kRecoveryRefused;
    return FinishCommit(folder) ? kRecoveryCommitted : kRecoveryFailed;
  }
  return RollBackJournal(root, folder, journal) ? kRecoveryRolledBack : kRecoveryFailed;
}

// ---- the run record ----------------------------------------------------------

void FormatLocalTime(char16_t (&out)[32]) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  for (size_t i = 0; i < sizeof text; ++i) {
    out[i] = static_cast<char16_t>(text[i]);
    if (!text[i]) break;
  }
}

void AppendRunRecord(const char16_t* installRoot, const RunRecord& record) {
  char16_t path[ZT_LONG_PATH], temp[ZT_LONG_PATH];
  if (!installRoot || !installRoot[0] || !Join(installRoot, kRunRecordName, path) ||
      !Join(installRoot, u"update.log.tmp", temp))
    return;
  std::vector<uint8_t> old;
  // A record that cannot be read is started afresh rather than lost with
  // this run's lines too.
  if (ReadFileBytes(path, &old) < 0) old.clear();
  const std::string text = AppendBounded(std::string(old.begin(), old.end()), FormatRunRecord(record), kRunRecordLimit);
  (void)WriteDurably(temp, path, text.data(), text.size());
}

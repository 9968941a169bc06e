#include "app/UpdateTransaction.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h: the security declarations need its types.
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <set>
#include <string>

#include "app/UpdateManifest.h"
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

// Deletes a file that may or may not be there; false only when it stays.
bool DeleteIfThere(const char16_t* path) {
  if (DeleteFileW(W(path))) return true;
  const DWORD e = GetLastError();
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

// Writes `bytes` to `temp`, flushes them to the disk and renames the file to
// `path`: a file under its final name is always whole. The caller flushes
// the folder to make the rename itself durable.
bool WriteDurably(const char16_t* temp, const char16_t* path, const void* bytes, size_t size) {
  // Made anew, never opened: a name planted there (a link to a file
  // elsewhere) is removed as itself, not written through.
  (void)DeleteIfThere(temp);
  HANDLE f = CreateFileW(W(temp), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  const bool written = size <= MAXDWORD && WriteFile(f, bytes, static_cast<DWORD>(size), &put, nullptr) &&
                       put == size && FlushFileBuffers(f);
  CloseHandle(f);
  if (written && MoveFileExW(W(temp), W(path), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  DeleteFileW(W(temp));
  return false;
}

std::u16string BackupName(size_t index) {
  char16_t name[16];
  (void)ztCopyBackupName(name, 16, static_cast<uint32_t>(index));
  return name;
}

std::u16string ParentOf(const std::u16string& relative) {
  const size_t cut = relative.rfind(u'\\');
  return cut == std::u16string::npos ? std::u16string() : relative.substr(0, cut);
}

// Removes the journal folder's own files and the folder; false when any
// stays. Backups are removed by the caller first, so that a journal is
// never gone while one of its backups is still there.
bool RemoveJournalFolder(InstallGuard& guard, const char16_t* folder) {
  bool ok = true;
  for (const char16_t* name : {kStagedKeyName, kJournalName, kJournalTempName, u"committed.tmp", kCommitName}) {
    char16_t path[ZT_LONG_PATH];
    ok = Join(folder, name, path) && DeleteIfThere(path) && ok;
  }
  guard.Release(kJournalFolder);
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

// A new trusted key takes update.key's place: only after the commit mark,
// and only from a journal folder this run trusts.
bool InstallStagedKey(InstallGuard& guard, const char16_t* root, const char16_t* folder) {
  char16_t staged[ZT_LONG_PATH], key[ZT_LONG_PATH];
  if (!Join(folder, kStagedKeyName, staged) || !Join(root, kTrustedKeyName, key)) return false;
  if (!ztIsFile(staged)) return true;
  return MoveFileExW(W(staged), W(key), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) &&
         guard.FlushFolder(u"");
}

// Step 5 of a commit: the new key (when `installKey`; otherwise a staged one
// is dropped), every backup, then the journal and the mark. The folder is
// listed rather than each possible backup name asked for: most files of an
// update are usually new and have none.
bool FinishCommit(InstallGuard& guard, const char16_t* root, const char16_t* folder, bool installKey) {
  if (installKey && !InstallStagedKey(guard, root, folder)) return false;
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
  return ok && RemoveJournalFolder(guard, folder);
}

// Checks (and holds) every folder a journal names before anything of it is
// applied: one that is a link, or leads out of the installation, refuses
// the whole journal.
bool CheckJournalFolders(InstallGuard& guard, const UpdateJournal& journal) {
  for (const JournalFile& f : journal.files)
    if (!guard.HoldParentOf(f.path)) return false;
  for (const std::u16string& f : journal.createdFolders)
    if (!guard.HoldFolder(f)) return false;
  return true;
}

// Puts back what the journal's update changed, as far as it got. Newest job
// first: when two jobs wrote one file, the older backup (the installed
// file) is the one that stays.
bool RollBackJournal(InstallGuard& guard, const char16_t* root, const char16_t* folder,
                     const UpdateJournal& journal) {
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
  std::set<std::u16string> folders;
  for (size_t i = journal.files.size(); i-- > 0;) {
    const std::u16string& relative = journal.files[i].path;
    folders.insert(ParentOf(relative));
    // The trusted key is never written before the commit (a new one waits
    // in the journal folder), so there is nothing of it to put back; and a
    // journal must never be able to delete or replace it.
    if (IsTrustedKeyPath(relative)) {
      // A backup of its name can only be planted: it goes with the folder.
      if (Join(folder, BackupName(i), backup) && !DeleteIfThere(backup)) ok = false;
      continue;
    }
    restore(relative, BackupName(i), journal.files[i].existed);
  }
  restore(u"install.log", kLogBackupName, journal.logExisted);
  // A run killed while it saved the new install.log leaves the list's own
  // temporary file beside it.
  char16_t logTemp[ZT_LONG_PATH];
  if (Join(root, u"install.log", path) && ztReplacementName(path, logTemp) && !DeleteIfThere(logTemp)) ok = false;
  // Every temporary file of the engine there belongs to the run undone: the
  // installation's lock keeps any other updater out, whatever process ids
  // the system has handed out since.
  for (const std::u16string& f : folders) {
    if (f.empty()) {
      ztDeleteCopyLeftovers(root, true);
    } else if (Join(root, f, path)) {
      ztDeleteCopyLeftovers(path, true);
    }
  }
  // Deepest first; a folder someone has put other files into stays.
  for (size_t i = journal.createdFolders.size(); i-- > 0;) {
    guard.Release(journal.createdFolders[i]);
    if (Join(root, journal.createdFolders[i], path)) RemoveDirectoryW(W(path));
  }
  return ok && RemoveJournalFolder(guard, folder);
}

bool JournalFolderOf(const char16_t* root, char16_t (&folder)[ZT_LONG_PATH]) {
  return root && root[0] && Join(root, kJournalFolder, folder);
}

// ---- who may have written the journal folder --------------------------------

bool IsAdminSid(PSID sid) {
  return sid && (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

// Whether an entry lets anyone but SYSTEM and the Administrators write, add
// or delete. Entries that apply only to what is inside count too: the
// journal's files are inside. Kinds of entry other than the plain one are
// counted as letting others in.
bool OthersMayWrite(PACL acl) {
  if (!acl) return true;  // no access list: everyone may do anything
  constexpr ACCESS_MASK kWriting = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                   WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(acl, i, &entry)) return true;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == SYSTEM_AUDIT_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return true;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & kWriting) && !IsAdminSid(reinterpret_cast<PSID>(&allowed->SidStart))) return true;
  }
  return false;
}

JournalFolderFacts FactsOf(HANDLE folder) {
  JournalFolderFacts facts;
  facts.elevated = ProcessIsElevated();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!folder || GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                 &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return facts;
  facts.known = true;
  facts.ownerIsAdmin = IsAdminSid(owner);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  facts.protectedAcl = GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED);
  facts.othersMayWrite = OthersMayWrite(dacl);
  LocalFree(descriptor);
  return facts;
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

bool ProcessIsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation = {};
  DWORD got = 0;
  const bool elevated =
      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &got) && elevation.TokenIsElevated;
  CloseHandle(token);
  return elevated;
}

// ---- one run's transaction ---------------------------------------------------

UpdateTransaction::UpdateTransaction(InstallGuard& guard) : guard_(&guard) {
  if (CopyText(root_, guard.Root()) < 0 || !root_[0] || !JournalFolderOf(root_, folder_)) {
    root_[0] = 0;
    folder_[0] = 0;
  }
}

UpdateTransaction::UpdateTransaction(const char16_t* installRoot) : ownGuard_(new InstallGuard) {
  guard_ = ownGuard_.get();
  if (!guard_->Open(installRoot) || CopyText(root_, guard_->Root()) < 0 || !JournalFolderOf(root_, folder_)) {
    root_[0] = 0;
    folder_[0] = 0;
  }
}

int UpdateTransaction::Fail(const std::u16string& path, const char* words) {
  problem_.path = path;
  problem_.words = words;
  return 0;
}

std::u16string UpdateTransaction::TargetOf(const std::u16string& file) const {
  char16_t path[ZT_LONG_PATH];
  const bool joined = IsTrustedKeyPath(file) ? Join(folder_, kStagedKeyName, path) : Join(root_, file, path);
  return joined ? std::u16string(path) : std::u16string();
}

int UpdateTransaction::Begin(const UpdateJournal& journal) {
  if (begun_ || !folder_[0]) return Fail(kJournalFolder, "the journal folder cannot be made");
  // Recovery has removed any earlier folder; one here now (or a file of its
  // name) is not ours to overwrite or to use.
  if (GetFileAttributesW(W(folder_)) != INVALID_FILE_ATTRIBUTES)
    return Fail(kJournalFolder, "something of the journal folder's name is in the way");
  // An elevated run makes the folder for SYSTEM and the Administrators
  // alone, so that no standard user can change the journal or the backups
  // while the run goes on, nor leave a journal for a later run to trust.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ProcessIsElevated())
    (void)ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                               SDDL_REVISION_1, &descriptor, nullptr);
  const int made = guard_->CreateAndHold(kJournalFolder, descriptor);
  if (descriptor) LocalFree(descriptor);
  if (!made) {
    guard_->Release(kJournalFolder);
    (void)RemoveDirectoryW(W(folder_));
    return Fail(kJournalFolder, "the journal folder cannot be made");
  }
  SetFileAttributesW(W(folder_), FILE_ATTRIBUTE_HIDDEN);
  const std::vector<uint8_t> bytes = EncodeJournal(journal);
  char16_t temp[ZT_LONG_PATH], path[ZT_LONG_PATH];
  if (!Join(folder_, kJournalTempName, temp) || !Join(folder_, kJournalName, path) ||
      !WriteDurably(temp, path, bytes.data(), bytes.size()) || !guard_->FlushFolder(kJournalFolder) ||
      !guard_->FlushFolder(u"")) {
    (void)RemoveJournalFolder(*guard_, folder_);
    return Fail(kJournalFolder, "the journal cannot be written");
  }
  journal_ = journal;
  journalCrc_ = JournalCrc(bytes.data(), bytes.size());
  begun_ = true;
  // The update's new folders, made and held now: made by the engine later,
  // a folder could be swapped for a link between its making and its use.
  for (const std::u16string& f : journal.createdFolders)
    if (!guard_->CreateAndHold(f, nullptr)) return Fail(f, InstallGuard::ProblemWords(guard_->Problem()));
  return 1;
}

int UpdateTransaction::ReplaceInstallLog(ztStringList& log) {
  if (!begun_) return 0;
  char16_t path[ZT_LONG_PATH], backup[ZT_LONG_PATH];
  if (!Join(root_, u"install.log", path) || !Join(folder_, kLogBackupName, backup)) return 0;
  if (journal_.logExisted && !MoveFileExW(W(path), W(backup), MOVEFILE_REPLACE_EXISTING))
    return Fail(u"install.log", "cannot be moved into the journal folder");
  return log.SaveText(path) ? 1 : Fail(u"install.log", "cannot be saved");
}

int UpdateTransaction::Commit() {
  if (!WriteCommitMark()) return 0;
  CleanUp();
  return 1;
}

int UpdateTransaction::WriteCommitMark() {
  if (!begun_) return 0;
  // The mark says the new version is on the disk: it must be, first. The
  // files' data is (the engine flushed each as it installed it, and the new
  // install.log was flushed before it took its name); the folders the
  // update wrote into are flushed here, for the names made in them.
  std::set<std::u16string> folders;
  for (const JournalFile& f : journal_.files) folders.insert(ParentOf(f.path));
  for (const std::u16string& f : journal_.createdFolders) folders.insert(ParentOf(f));
  for (const std::u16string& f : folders)
    if (!guard_->FlushFolder(f)) return Fail(f, "cannot be flushed to the disk");
  const std::vector<uint8_t> mark = EncodeCommitMark(journalCrc_);
  char16_t temp[ZT_LONG_PATH], path[ZT_LONG_PATH];
  if (!Join(folder_, u"committed.tmp", temp) || !Join(folder_, kCommitName, path) ||
      !WriteDurably(temp, path, mark.data(), mark.size()) || !guard_->FlushFolder(kJournalFolder))
    return Fail(kJournalFolder, "the commit mark cannot be written");
  begun_ = false;
  committed_ = true;
  // The update is in. A new key takes its place now, before the user hears
  // of it; one that cannot is put in place by the next run's recovery.
  (void)InstallStagedKey(*guard_, root_, folder_);
  return 1;
}

void UpdateTransaction::CleanUp() {
  // The update is in; a clean-up that stops here is finished by the next run.
  if (committed_) (void)FinishCommit(*guard_, root_, folder_, true);
  committed_ = false;
}

int UpdateTransaction::Rollback() {
  if (!begun_) return 0;
  begun_ = false;
  return RollBackJournal(*guard_, root_, folder_, journal_) ? 1 : 0;
}

// ---- what a killed run left --------------------------------------------------

RecoveryKind RecoverUnfinishedUpdate(InstallGuard& guard, TransactionProblem* problem) {
  TransactionProblem ignored;
  TransactionProblem& why = problem ? *problem : ignored;
  auto refuse = [&](const std::u16string& path, const char* words) {
    why.path = path;
    why.words = words;
    return kRecoveryRefused;
  };
  char16_t folder[ZT_LONG_PATH];
  if (!JournalFolderOf(guard.Root(), folder)) return kRecoveryNone;
  const DWORD attributes = GetFileAttributesW(W(folder));
  if (attributes == INVALID_FILE_ATTRIBUTES) return kRecoveryNone;
  // A file or a link of the journal folder's name was not left by a run:
  // nothing is touched, and no update can run until it is gone.
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return refuse(kJournalFolder, "is a file, not the journal folder");
  if (!guard.HoldFolder(kJournalFolder)) return refuse(kJournalFolder, InstallGuard::ProblemWords(guard.Problem()));
  const JournalTrust trust = DecideJournalTrust(FactsOf(guard.HandleOf(kJournalFolder)));
  if (trust == kJournalRefused) return refuse(kJournalFolder, "who wrote the journal cannot be told");

  char16_t path[ZT_LONG_PATH], markPath[ZT_LONG_PATH];
  if (!Join(folder, kJournalName, path) || !Join(folder, kCommitName, markPath))
    return refuse(kJournalFolder, "the journal cannot be read");
  std::vector<uint8_t> bytes, mark;
  const int journalRead = ReadFileBytes(path, &bytes);
  const int markRead = ReadFileBytes(markPath, &mark);
  if (journalRead < 0 || markRead < 0) return refuse(kJournalFolder, "the journal cannot be read");
  if (journalRead == 0) {
    // No journal under its final name: either nothing had changed yet (it
    // was still being written) or a commit's clean-up was cut after the
    // backups were gone. Backups without a journal are never guessed at.
    if (HasBackups(folder)) return refuse(kJournalFolder, "backups without a journal");
    const bool committed = markRead == 1;
    if (!RemoveJournalFolder(guard, folder)) return kRecoveryFailed;
    return committed ? kRecoveryCommitted : kRecoveryNone;
  }
  UpdateJournal journal;
  if (!DecodeJournal(bytes.data(), bytes.size(), &journal)) return refuse(kJournalFolder, "the journal is damaged");
  if (!CheckJournalFolders(guard, journal))
    return refuse(guard.ProblemFolder(), InstallGuard::ProblemWords(guard.Problem()));
  if (markRead == 1) {
    uint32_t crc = 0;
    if (!DecodeCommitMark(mark.data(), mark.size(), &crc) || crc != JournalCrc(bytes.data(), bytes.size()))
      return refuse(kJournalFolder, "the commit mark is of another journal");
    // Only a journal folder that no standard user could have written may
    // put a new trusted key in place; otherwise the key stays as it is and
    // the same package can simply be run again.
    return FinishCommit(guard, guard.Root(), folder, trust == kJournalTrusted) ? kRecoveryCommitted
                                                                                : kRecoveryFailed;
  }
  return RollBackJournal(guard, guard.Root(), folder, journal) ? kRecoveryRolledBack : kRecoveryFailed;
}

RecoveryKind RecoverUnfinishedUpdate(const char16_t* installRoot) {
  InstallGuard guard;
  if (!guard.Open(installRoot)) return kRecoveryRefused;
  return RecoverUnfinishedUpdate(guard, nullptr);
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
  // A record that is there but cannot be read now (held by another program
  // for a moment, too long) is kept as it is: this run's lines are lost
  // rather than every earlier run's.
  if (ReadFileBytes(path, &old) < 0) return;
  const std::string text = AppendBounded(std::string(old.begin(), old.end()), FormatRunRecord(record), kRunRecordLimit);
  (void)WriteDurably(temp, path, text.data(), text.size());
}

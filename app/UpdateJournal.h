// The update as one transaction: the journal that lets a failed, stopped or
// killed update be undone, and the run record kept for support.
//
// Before the first installed file changes, the updater writes a journal into
// a folder of its own in the installation (kJournalFolder): every file the
// update will write, whether it was there before, and the folders it will
// create. Each installed file the update replaces is first moved into that
// folder (a rename on the same volume, no data copied). When every file is in
// place a commit mark is written and the backups are dropped; on a failure,
// or on the next start after a kill, the journal says exactly what to move
// back and what to delete.
//
// This header is the portable part: the journal's bytes, the commit mark's,
// the names inside the folder and the run record's text. Applying them
// (app/UpdateTransaction_win32.cpp) is Windows only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The journal folder inside the installation, and the files in it.
constexpr const char16_t* kJournalFolder = u".ztupdate";
constexpr const char16_t* kJournalName = u"journal";          // complete once it has this name
constexpr const char16_t* kJournalTempName = u"journal.tmp";  // while it is written
constexpr const char16_t* kCommitName = u"committed";         // every file is in place
constexpr const char16_t* kLogBackupName = u"install.log.bak";

// The run record in the installation, and how much of it is kept.
constexpr const char16_t* kRunRecordName = u"update.log";
constexpr size_t kRunRecordLimit = 256 * 1024;

struct JournalFile {
  std::u16string path;  // relative to the installation folder
  bool existed;         // an installed file was there before the update
};

struct UpdateJournal {
  // The package that wrote it, for whoever reads the journal later.
  std::u16string brand, app, majorVersion, minorVersion;
  bool logExisted = false;  // install.log was there before the update
  // Folders the update creates, relative, each after its parent.
  std::vector<std::u16string> createdFolders;
  // The files in the order the copy engine's jobs have them: the backup of
  // file i is named by i (the engine's job index).
  std::vector<JournalFile> files;
};

// The journal as bytes: a header, the fields, a CRC-32 of everything before.
std::vector<uint8_t> EncodeJournal(const UpdateJournal& journal);
// True only for the bytes of a whole, undamaged journal whose every path is
// relative and stays below the installation folder: a damaged journal is
// never half-applied, and a forged one cannot reach outside.
bool DecodeJournal(const uint8_t* data, size_t size, UpdateJournal* out);
// The CRC-32 (the zlib polynomial) of the bytes.
uint32_t JournalCrc(const uint8_t* data, size_t size);

// The commit mark names the journal it completes (by the journal's CRC), so a
// mark can never complete another journal.
std::vector<uint8_t> EncodeCommitMark(uint32_t journalCrc);
bool DecodeCommitMark(const uint8_t* data, size_t size, uint32_t* journalCrc);

// True for a relative path the journal may hold: not empty, at most 259
// units, no drive, no leading or doubled separator, no "." or ".."
// component, no control characters.
bool IsSafeRelativePath(const std::u16string& path);

// True when the relative path names the installation's trusted key file
// (update.key at the top) as the system compares names: without case, and
// with trailing dots and spaces ignored. The journal never moves that file:
// a package's new key is written into the journal folder and takes its
// place only after the commit mark.
bool IsTrustedKeyPath(const std::u16string& path);
// The new key's name inside the journal folder while an update runs.
constexpr const char16_t* kStagedKeyName = u"update.key.new";

// ---- trusting a journal found at start ---------------------------------------

// What the system says of the journal folder a run finds, and of the run.
struct JournalFolderFacts {
  bool elevated = false;     // this process runs with an administrator's rights
  bool known = false;        // the folder's owner and access list could be read
  bool ownerIsAdmin = false; // owned by SYSTEM or the Administrators group
  bool protectedAcl = false; // its access list inherits nothing
  // Any entry of its access list lets someone other than SYSTEM and the
  // Administrators group write, add or delete in it.
  bool othersMayWrite = true;
};

enum JournalTrust : int {
  kJournalTrusted = 0,     // applied as it is
  kJournalRestricted = 1,  // applied, but never touches the trusted key
  kJournalRefused = 2,     // not applied; nothing touched
};

// A journal is only as trustworthy as the folder it lies in. A process
// without an administrator's rights can do nothing a journal could make it
// do that its user could not do anyway: trusted. An elevated process trusts
// only a folder that its own kind made (owned by SYSTEM or Administrators,
// a protected access list that lets nobody else write); any other may have
// been written by a standard user, and is applied without the one thing
// such a user must never reach through it, the trusted key. A folder whose
// descriptor cannot be read is refused.
JournalTrust DecideJournalTrust(const JournalFolderFacts& facts);

// The folders among the parents of `paths` (relative) for which `exists`
// says no, each after its own parent and each once (compared without case).
std::vector<std::u16string> FoldersToCreate(const std::vector<std::u16string>& paths,
                                            const std::function<bool(const std::u16string&)>& exists);

// ---- the run record ----------------------------------------------------------

struct RunRecord {
  char16_t when[32];  // local date and time, "2026-12-08 17:30:01"
  std::u16string majorVersion, minorVersion;
  int outcome = 0;            // the exit code
  std::u16string failedFile;  // the first file that failed, or empty
  std::u16string failedText;  // its system error text
  uint64_t milliseconds = 0;  // the run's duration
  int rollback = 0;           // this run's own update: 0 kept, 1 rolled back, 2 rollback incomplete
  int recovery = 0;           // RecoveryKind of the journal found at start
  // An unattended run's boxes, "caption: text" each, in the order they
  // would have been shown.
  std::vector<std::u16string> boxes;
  // Installed files that are not the base their delta applies to, and that
  // the package has no whole file for (outcome 9), relative.
  std::vector<std::u16string> notPatchable;
};

enum RecoveryKind : int {
  kRecoveryNone = 0,        // no unfinished update was found
  kRecoveryRolledBack = 1,  // an unfinished update was undone
  kRecoveryCommitted = 2,   // a complete update's clean-up was finished
  kRecoveryRefused = 3,     // a journal that could not be read: nothing touched
  kRecoveryFailed = 4,      // undoing it failed part-way (it is kept for the next run)
};

// What an exit code means, in the record's words.
const char* OutcomeWords(int outcome);

// The record's lines for one run, UTF-8 with CR LF.
std::string FormatRunRecord(const RunRecord& record);

// `existing` with `lines` appended, cut from the front at a line start so
// that the result is at most `limit` bytes (whole lines only; a single run
// longer than the limit is kept whole).
std::string AppendBounded(const std::string& existing, const std::string& lines, size_t limit);

// The folder walk, the progress dialog and the copy engine's callback.
#include <cstring>
#include <memory>
#include <new>
#include <set>

#include "app/DeltaApply.h"
#include "app/PackagePaths.h"
#include "app/UpdateDescription.h"
#include "app/UpdateJob.h"
#include "app/UpdateJournal.h"
#include "app/UpdateManifest.h"
#include "app/UpdateTransaction.h"
#include "app/UpdaterUi.h"
#include "app/discovery.h"
#include "file/pathutil.h"
#include "file/textutil.h"
#include "file/ztFile.h"
#include "file/ztFileCopier.h"
#include "file/ztFlushQueue.h"
#include "file/ztStringList.h"
#include "platform/ztWide.h"
#include "platform/ztWindow.h"

namespace {

// Threads that flush the installed files while the copy goes on. A flush
// mostly waits for the disk; several at once let the file system write
// them out together (bench/flush_bench.cpp measures the choice).
constexpr int32_t kFlushThreads = 4;

bool IsDotEntry(const char16_t* name) { return name[0] == u'.' && (name[1] == 0 || (name[1] == u'.' && name[2] == 0)); }

// Free bytes for this process on the drive of `folder`, and its cluster
// size. 0 when the system cannot tell (the check is then left out rather
// than refusing an update that may well fit).
int QueryDrive(const char16_t* folder, uint64_t* freeBytes, uint32_t* clusterBytes) {
  ULARGE_INTEGER available, total, totalFree;
  if (!GetDiskFreeSpaceExW(W(folder), &available, &total, &totalFree)) return 0;
  *freeBytes = available.QuadPart;
  *clusterBytes = 0;
  // The cluster size comes from the drive root; without it sizes are not
  // rounded, which only makes the estimate a little smaller.
  char16_t full[ZT_MAX_PATH];
  DWORD n = GetFullPathNameW(W(folder), ZT_MAX_PATH, W(full), nullptr);
  if (n > 0 && n < ZT_MAX_PATH) {
    char16_t root[ZT_MAX_PATH];
    size_t i = 0;
    for (; full[i] && full[i] != u'\\'; ++i) root[i] = full[i];
    if (full[i] == u'\\' && full[i + 1] != u'\\') {
      root[i] = u'\\';
      root[i + 1] = 0;
      DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
      if (GetDiskFreeSpaceW(W(root), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
          sectorsPerCluster && bytesPerSector && sectorsPerCluster <= 0xFFFFFFFFu / bytesPerSector)
        *clusterBytes = sectorsPerCluster * bytesPerSector;
    }
  }
  return 1;
}

// Size of an existing file, 0 when there is none (or it is a folder).
uint64_t ExistingSize(const char16_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(W(path), GetFileExInfoStandard, &d)) return 0;
  if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
  return (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

// What the journal records before anything changes: the package, every
// destination in job order and whether it is there, the folders to create.
UpdateJournal MakeJournal(const Updater& updater, const std::vector<CopyPlanEntry>& plan, const char16_t* logPath) {
  UpdateJournal journal;
  const UpdateDescription& d = updater.description;
  journal.brand = d.brand;
  journal.app = d.app;
  journal.majorVersion = d.majorVersion;
  journal.minorVersion = d.minorVersion;
  // Asked by attributes: a listing of the name (GetPathKind) costs a scan of
  // a large folder under some systems, once per installed file.
  journal.logExisted = ztIsFile(logPath) != 0;
  const std::vector<std::u16string>& paths = updater.jobPaths;
  std::vector<std::u16string> all = paths;
  for (const size_t k : updater.deltaJobs) all.push_back(updater.deltas[k].Target());
  journal.createdFolders = FoldersToCreate(all, [&](const std::u16string& folder) {
    char16_t path[ZT_MAX_PATH];
    // Joined paths fit: each file below the folder did (BuildCopyPlan).
    return JoinPath(path, 2, updater.installFolder, folder.c_str()) >= 0 && ztIsFolder(path);
  });
  // A file in a folder the update creates is new: nothing to ask.
  const std::set<std::u16string> created(journal.createdFolders.begin(), journal.createdFolders.end());
  journal.files.reserve(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    const size_t cut = paths[i].rfind(u'\\');
    const bool inNewFolder = cut != std::u16string::npos && created.count(paths[i].substr(0, cut)) != 0;
    journal.files.push_back({paths[i], !inNewFolder && ztIsFile(plan[i].destination)});
  }
  // A delta's file is there: its base was checked.
  for (const size_t k : updater.deltaJobs) journal.files.push_back({updater.deltas[k].Target(), true});
  return journal;
}

// The run's state, kept in the dialog's data from WM_INITDIALOG on.
Updater* UpdaterOf(HWND dialog) { return reinterpret_cast<Updater*>(GetWindowLongPtrW(dialog, DWLP_USER)); }

// The package against its manifest and the installation's key, before
// anything is written (app/UpdateManifest.h has the rules). 1 to go on, with
// the engine's check of the data files ready when the package has a
// manifest; 0 with the reason recorded.
int VerifyPackage(Updater& updater) {
  auto refuse = [&](int failure, const std::u16string& file) {
    updater.verifyFailure = failure;
    updater.record.failedFile = file;
    const char* words = VerifyFailureWords(failure);
    updater.record.failedText.assign(words, words + std::strlen(words));
    return 0;
  };
  char16_t keyPath[ZT_MAX_PATH], manifestPath[kFolderUnits], splashPath[kFolderUnits];
  if (JoinPath(keyPath, 2, updater.installFolder, kTrustedKeyName) < 0 ||
      JoinPath(manifestPath, 2, updater.packageFolder, kManifestName) < 0 ||
      JoinPath(splashPath, 2, updater.packageFolder, u"updatebg.ra3") < 0)
    return refuse(kVerifyBadManifest, kManifestName);

  PackageFacts facts;
  std::vector<uint8_t> keyBytes, manifest;
  uint8_t key[kEd25519PublicKeyBytes];
  const int keyRead = ReadFileBytes(keyPath, &keyBytes);
  if (keyRead == 1 && DecodePublicKeyFile(keyBytes.data(), keyBytes.size(), key))
    facts.trustedKey = key;
  else
    facts.keyFileDamaged = keyRead != 0;
  const int manifestRead = ReadFileBytes(manifestPath, &manifest);
  if (manifestRead < 0) return refuse(kVerifyBadManifest, kManifestName);
  if (manifestRead == 1) facts.manifest = &manifest;
  if (!facts.manifest && !facts.trustedKey && !facts.keyFileDamaged) return 1;  // as every package before

  facts.installedVersion = ReadInstalledVersion(updater.installFolder);
  facts.descriptionDigest = updater.descriptionDigest;
  // The picture as it was read for the window; one that is there but could
  // not be read is not the listed one.
  facts.hasSplash = updater.hasSplashFile;
  facts.splashDigest = updater.splashDigest;
  if (!facts.hasSplash && GetPathKind(splashPath) == ZT_PATH_FILE) return refuse(kVerifyHashMismatch, u"updatebg.ra3");
  facts.dataPaths = &updater.files.paths;
  facts.dataSizes = &updater.files.sizes;
  const VerifyResult result = CheckPackage(facts, &updater.expected, &updater.deltas);
  if (result.failure != kVerifyOk) return refuse(result.failure, result.file);
  updater.hasManifest = facts.manifest != nullptr;
  return 1;
}

// Which file each destination gets: a delta where the installed file is its
// base, the package's whole file otherwise. 0 when an installed file is not
// the base of its delta and the package has no whole file for it (every
// such file is recorded), or when memory runs out.
int ChooseJobs(Updater& updater) {
  const DataFiles& files = updater.files;
  const std::set<std::u16string> whole(files.paths.begin(), files.paths.end());
  std::set<std::u16string> patched;
  for (size_t k = 0; k < updater.deltas.size(); ++k) {
    const std::u16string target = updater.deltas[k].Target();
    if (k < updater.baseMatches.size() && updater.baseMatches[k]) {
      // The delta itself must be there as listed: found missing only when
      // its turn comes, everything before it would be written for nothing.
      char16_t deltaPath[kFolderUnits];
      if (JoinPath(deltaPath, 2, updater.packageFolder, updater.deltas[k].path.c_str()) < 0 ||
          ExistingSize(deltaPath) != updater.deltas[k].size || ztIsFile(deltaPath) != 1) {
        updater.verifyFailure = kVerifyFileMissing;
        RecordProblem(updater, updater.deltas[k].path, VerifyFailureWords(kVerifyFileMissing));
        return 0;
      }
      updater.deltaJobs.push_back(k);
      patched.insert(target);
    } else if (!whole.count(target)) {
      updater.record.notPatchable.push_back(target);
    }
  }
  if (!updater.record.notPatchable.empty()) {
    updater.notPatchable = true;
    RecordProblem(updater, updater.record.notPatchable.front(), OutcomeWords(kExitNotPatchable));
    return 0;
  }
  std::vector<ztSha256Digest> digests;
  for (size_t i = 0; i < files.paths.size(); ++i) {
    if (patched.count(files.paths[i])) continue;  // the whole file is the fallback, not needed here
    updater.jobPaths.push_back(files.paths[i]);
    updater.jobSizes.push_back(i < files.sizes.size() ? files.sizes[i] : 0);
    if (i < updater.expected.size()) digests.push_back(updater.expected[i]);
  }
  if (!updater.hasManifest) return 1;
  // Each file is checked before its last block is written: no unchecked
  // byte ever carries a file's own name, even if the run is killed or its
  // rollback stops half-way.
  try {
    updater.digestCheck = std::make_unique<ManifestDigestCheck>(std::move(digests));
  } catch (...) {
    return 0;  // no memory: a failed copy, nothing written
  }
  return 1;
}

// Every check of the job that can refuse it, made before anything is
// written: the package verifies, the paths fit, the install.log lines fit,
// the drive has room. On success `plan` holds the jobs and `log` the
// merged, sorted install.log.
int PrepareJob(Updater& updater, const char16_t* dataFolder, const char16_t* logPath, std::vector<CopyPlanEntry>* plan,
               ztStringList* log) {
  if (!ChooseJobs(updater)) return 0;
  const std::vector<std::u16string>& paths = updater.jobPaths;
  std::vector<std::u16string> all = paths;
  for (const size_t k : updater.deltaJobs) all.push_back(updater.deltas[k].Target());
  // Two files for one destination would overwrite each other (and back up
  // the same file twice); install.log, update.log and the journal folder
  // are the updater's own.
  const PackagePathProblem clash = FindPackagePathProblem(all);
  if (clash.reason != PackagePathReason::kNone) {
    RecordProblem(updater, u"data\\" + clash.path, PackagePathReasonWords(clash.reason));
    return 0;
  }
  // Every folder the files go into stays what it is now: a plain folder of
  // the installation, held until the run ends.
  // The walk lists a folder's files together: each folder is looked at
  // once (a folder not there yet is asked about again for every file
  // otherwise).
  std::u16string lastParent = u"\\";
  for (const std::u16string& path : all) {
    const size_t cut = path.rfind(u'\\');
    const std::u16string parent = cut == std::u16string::npos ? std::u16string() : path.substr(0, cut);
    if (parent == lastParent) continue;
    lastParent = parent;
    if (!updater.guard.HoldParentOf(path)) {
      RecordProblem(updater, updater.guard.ProblemFolder(), InstallGuard::ProblemWords(updater.guard.Problem()));
      return 0;
    }
  }
  if (!BuildCopyPlan(dataFolder, updater.installFolder, paths, plan)) return 0;
  // A delta's file must fit the path buffers as the engine's do, or it
  // would fail only after everything before it was written.
  for (const size_t k : updater.deltaJobs) {
    char16_t path[ZT_MAX_PATH];
    if (JoinPath(path, 2, updater.installFolder, updater.deltas[k].Target().c_str()) < 0) return 0;
  }
  // A missing install.log leaves the list empty. One that is there but
  // cannot be read (held by another program, past the length limit) would
  // be replaced by this run's lines alone and the record of every earlier
  // update lost: refuse the job instead, before anything is written.
  if (!log->LoadText(logPath) && GetPathKind(logPath) == ZT_PATH_FILE) return 0;
  if (!AddInstallLogLines(*log, all)) return 0;
  log->SortUnique();

  uint64_t freeBytes = 0;
  uint32_t cluster = 0;
  if (QueryDrive(updater.installFolder, &freeBytes, &cluster)) {
    std::vector<uint64_t> sizes = updater.jobSizes;
    if (sizes.size() != plan->size()) {
      sizes.clear();
      for (const CopyPlanEntry& e : *plan) sizes.push_back(ExistingSize(e.source));
    }
    for (const size_t k : updater.deltaJobs) sizes.push_back(updater.deltas[k].outputSize);
    // The journal holds each path once more, with a few bytes around it.
    uint64_t journalBytes = 4096;
    for (const std::u16string& path : all) journalBytes += 2 * path.size() + 8;
    if (SpaceNeeded(sizes, InstallLogBytes(*log) + journalBytes, cluster) > freeBytes) return 0;
  }
  return 1;
}

// The UM_START_COPY step. 1 when the engine runs; 2 when the deltas' bases
// are being checked (the check posts UM_START_COPY again when done); 0 when
// the job was refused before anything was written, or the engine did not
// start.
int StartUpdateJob(Updater& updater, HWND dialog) {
  if (!updater.packageChecked) {
    updater.packageChecked = true;
    if (updater.files.incomplete || !VerifyPackage(updater)) return 0;
    if (!updater.deltas.empty()) {
      // Reading every base can take a while: the dialog stays responsive.
      try {
        updater.baseCheck.thread = std::thread([&updater, dialog] {
          updater.baseMatches = CheckDeltaBases(updater.installFolder, updater.deltas);
          PostMessageW(dialog, UM_START_COPY, 0, 0);
        });
        return 2;
      } catch (...) {
        updater.baseMatches = CheckDeltaBases(updater.installFolder, updater.deltas);
      }
    }
  }
  updater.baseCheck.Join();
  char16_t logPath[ZT_MAX_PATH];
  if (JoinPath(logPath, 2, updater.installFolder, u"install.log") < 0) return 0;

  char16_t dataFolder[kFolderUnits];
  DWORD n = GetCurrentDirectoryW(kFolderUnits, W(dataFolder));
  if (n == 0 || n >= kFolderUnits) return 0;

  std::vector<CopyPlanEntry> plan;
  ztStringList log;
  if (!PrepareJob(updater, dataFolder, logPath, &plan, &log)) return 0;

  updater.copier = new (std::nothrow) ztFileCopier(3, 0);
  ztFileCopier* copier = updater.copier;
  if (!copier) return 0;
  // Keep installed program files that are newer than the package's.
  (void)copier->SetMode(1);  // not started yet: always taken
  // Every installed file is on the disk before the update is called
  // committed: flushed on threads of their own as the copy goes on.
  (void)copier->SetFlushThreads(kFlushThreads);
  // From here on the update is one transaction: the journal is on disk
  // before the first installed file changes, each replaced file is kept in
  // its folder, and the engine's final callback commits or rolls back.
  auto transaction = std::make_unique<UpdateTransaction>(updater.guard);
  // Each job's flag is its index: the final call then knows the job the
  // engine stopped on. A new trusted key is written into the journal
  // folder; it takes its name only once the update is committed.
  for (size_t i = 0; i < plan.size(); ++i) {
    const std::u16string target = transaction->TargetOf(updater.jobPaths[i]);
    if (target.empty() || !copier->AddJob(plan[i].source, target.c_str(), static_cast<int32_t>(i))) return 0;
  }
  if (updater.digestCheck && !copier->SetVerifier(updater.digestCheck.get())) return 0;
  if (!copier->SetBackupFolder(transaction->Folder())) return 0;
  // The walk has the sizes already: the engine need not ask for each file
  // again before its first copy.
  if (updater.jobSizes.size() == plan.size()) {
    uint64_t total = 0;
    for (const uint64_t size : updater.jobSizes) total += size;
    (void)copier->SetTotalSize(total);
  }
  if (!transaction->Begin(MakeJournal(updater, plan, logPath))) {
    RecordProblem(updater, transaction->Problem().path, transaction->Problem().words);
    // Begin leaves nothing behind unless the journal was on disk already.
    if (transaction->Rollback()) updater.record.rollback = 1;
    return 0;
  }
  updater.transaction = std::move(transaction);

  // The log lists every file this update writes. Copying without that
  // record would leave files nobody knows were installed: a failed save
  // ends the job before anything is copied.
  if (updater.transaction->ReplaceInstallLog(log) && copier->StartCopy(OnCopyProgress, dialog, nullptr)) return 1;
  RecordProblem(updater, updater.transaction->Problem().path, updater.transaction->Problem().words);
  // A part that could not be put back is undone by the next run.
  updater.record.rollback = updater.transaction->Rollback() ? 1 : 2;
  updater.transaction.reset();
  return 0;
}

// Applies the chosen deltas after the engine's jobs: job numbers follow
// theirs, so each backup has its own name in the journal folder. False at
// the first failure (recorded); the caller rolls back.
bool ApplyDeltas(Updater& updater) {
  if (updater.deltaJobs.empty()) return true;
  const size_t first = updater.jobPaths.size();
  // Outputs are flushed on threads of their own as the next ones are made;
  // without them each is flushed before it takes its name.
  ztFlushQueue flusher;
  ztFlushQueue* queue = flusher.Start(kFlushThreads) ? &flusher : nullptr;
  for (size_t j = 0; j < updater.deltaJobs.size(); ++j) {
    DeltaFailure failure;
    if (ApplyDeltaJob(updater.packageFolder, updater.installFolder, updater.transaction->Folder(),
                      updater.deltas[updater.deltaJobs[j]], first + j, queue, &failure))
      continue;
    if (failure.notVerified) updater.verifyFailure = kVerifyHashMismatch;
    if (updater.record.failedFile.empty() && updater.record.failedText.empty()) {
      updater.record.failedFile = failure.file;
      updater.record.failedText = failure.text;
    }
    return false;
  }
  if (queue && flusher.Finish() != 0) {
    RecordProblem(updater, u"", "an installed file could not be flushed to the disk");
    return false;
  }
  return true;
}

void ShowOutcome(Updater& updater, HWND dialog, const char16_t* text, UpdaterExitCode outcome) {
  updater.outcome = outcome;
  ShowWindow(dialog, SW_HIDE);
  ShowBox(&updater, dialog, text, updater.language.windowTitle, MB_OK);
  PostMessageW(dialog, UM_CLOSE, 0, 0);
}

}  // namespace

void RecordProblem(Updater& updater, const std::u16string& path, const char* words) {
  RunRecord& record = updater.record;
  if (!words || !words[0] || !record.failedFile.empty() || !record.failedText.empty()) return;
  record.failedFile = path.empty() ? std::u16string(updater.installFolder) : path;
  record.failedText.assign(words, words + std::strlen(words));
}

void WalkDataFolder(const char16_t* relative, DataFiles* files) {
  const bool top = !relative || !relative[0];
  char16_t pattern[ZT_MAX_PATH];
  if (top) {
    (void)CopyText(pattern, u"*.*");
  } else if (JoinPath(pattern, 2, relative, u"*.*") < 0) {
    files->incomplete = true;
    return;
  }
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(W(pattern), &found);
  if (find == INVALID_HANDLE_VALUE) {
    // A folder on a disk lists at least "." and ".."; some file systems
    // (discs, network shares) list nothing for an empty folder and say so.
    // Any other failure means the folder could not be read (or its full
    // path is too long), and its files would silently be left out.
    if (GetLastError() != ERROR_FILE_NOT_FOUND) files->incomplete = true;
    return;
  }
  do {
    const char16_t* name = reinterpret_cast<const char16_t*>(found.cFileName);
    const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (folder && IsDotEntry(name)) continue;
    char16_t path[ZT_MAX_PATH];
    if (top ? CopyText(path, name) < 0 : JoinPath(path, 2, relative, name) < 0) {
      files->incomplete = true;
      continue;
    }
    if (folder) {
      WalkDataFolder(path, files);
    } else {
      files->paths.push_back(path);
      files->sizes.push_back((static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow);
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
  if (message == WM_INITDIALOG) SetWindowLongPtrW(dialog, DWLP_USER, lParam);
  Updater* updater = UpdaterOf(dialog);
  if (!updater) return 0;
  switch (message) {
    case WM_WINDOWPOSCHANGING:
      // A modal dialog is shown whatever its style says; a quiet run's is
      // kept hidden by taking the request to show it out of every move.
      if (updater->quiet) reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
      break;
    case WM_INITDIALOG:
      CentreWindowOver(GetWindow(dialog, GW_OWNER), dialog);
      SetDlgItemTextW(dialog, IDC_PROGRESS_TEXT, W(updater->language.copyingText));
      PostMessageW(dialog, UM_START_COPY, 0, 0);
      break;
    case UM_START_COPY:
      if (!StartUpdateJob(*updater, dialog)) PostMessageW(dialog, UM_COPY_FAILED, 0, 0);
      break;
    case UM_COPY_DONE: ShowOutcome(*updater, dialog, updater->language.successText, kExitInstalled); break;
    case UM_COPY_FAILED:
      ShowOutcome(*updater, dialog, updater->language.copyErrorText,
                  updater->notPatchable                ? kExitNotPatchable
                  : updater->verifyFailure != kVerifyOk ? kExitNotVerified
                                                        : kExitCopyFailed);
      break;
    case UM_CLOSE:
      PostMessageW(GetWindow(dialog, GW_OWNER), UM_CLOSE, 0, 0);
      EndDialog(dialog, 2);
      break;
    default: break;
  }
  return 0;
}

int32_t OnCopyProgress(void* userData, const CopyStatus* status) {
  // Most calls are a block done: the run goes on (a file that is not the
  // package's fails the engine itself, before it is written). Nothing is
  // asked of the window for them: under some systems each such question is
  // a round trip to another process.
  if (!status->finished && !status->error) return 1;
  HWND dialog = static_cast<HWND>(userData);
  Updater* updater = UpdaterOf(dialog);
  if (status->finished) {
    // Every thread of the engine is done with the files: the update is
    // committed, or after a failure rolled back, before the user hears of
    // the outcome.
    bool installed = !status->error;
    // A data file whose bytes were not the listed ones: the package is
    // refused. Files are checked a few jobs ahead of the copy, so one found
    // after the job the engine failed on for another reason leaves that
    // failure's report as it is.
    const intptr_t mismatch = updater && updater->digestCheck ? updater->digestCheck->FailedJob() : -1;
    if (mismatch >= 0 && !(status->error && mismatch > status->jobFlag)) {
      const size_t failed = static_cast<size_t>(mismatch);
      updater->verifyFailure = kVerifyHashMismatch;
      updater->record.failedFile = failed < updater->jobPaths.size() ? u"data\\" + updater->jobPaths[failed] : u"";
      const char* words = VerifyFailureWords(kVerifyHashMismatch);
      updater->record.failedText.assign(words, words + std::strlen(words));
      installed = false;
    }
    // The deltas follow the engine's jobs, inside the same transaction.
    if (installed && updater && updater->transaction) installed = ApplyDeltas(*updater);
    if (updater && updater->transaction) {
      if (installed) {
        installed = updater->transaction->WriteCommitMark() != 0;
        if (!installed)
          RecordProblem(*updater, updater->transaction->Problem().path, updater->transaction->Problem().words);
      }
      if (!installed) {
        // A part that could not be put back is undone by the next run.
        updater->record.rollback = updater->transaction->Rollback() ? 1 : 2;
      }
    }
    PostMessageW(dialog, installed ? UM_COPY_DONE : UM_COPY_FAILED, 0, 0);
    // The update is in (or rolled back) once the mark is on disk: the user
    // reads the outcome while the replaced files are deleted here, and the
    // process ends only after (the engine's destructor waits for this call).
    if (updater && updater->transaction) {
      updater->transaction->CleanUp();
      updater->transaction.reset();
    }
    return 1;
  }
  // A failure: shown from the engine's thread, which waits here until the
  // user has read the message and stops after it. The copy-error box
  // follows the final call.
  if (updater) {
    updater->record.failedFile = status->destination;
    updater->record.failedText = status->errorText;
  }
  ShowBox(updater, dialog, status->errorText, updater ? updater->language.errorTitle : u"", MB_OK);
  return 0;
}

// ztFileCopier: copies a queue of files on worker threads while the caller's
// user interface keeps running.
//
// The run is one pipeline. Two fetcher threads go ahead of the jobs, each
// taking every other job: for each it opens the source, reads a file of one
// block (up to ztCopyBlockSize(0)) whole into a record of its own, and makes
// the destination ready (the installed file moved to the backup folder, the
// new file created), a few jobs ahead, while the files before it are
// written. With a verifier set,
// the records' bytes are checked on the reader thread (idle between files
// of several blocks) or by the coordinator. The coordinating thread takes
// the records in job order and writes and installs each file; a file of
// several blocks goes through a ring of large buffers between a reader and
// a writer thread, so that reading and writing overlap, and where the
// system allows it its source is read without system buffering, in whole
// sectors. The engine creates missing destination folders, keeps newer
// program files that are already installed (mode 1), copies the file
// times, resets the destination's attributes to archive only and reports
// progress, errors and the end of the run through one callback. It stops
// at the first error. The engine's files, each with the contract of its
// threads: ztFileCopier_win32.cpp (set-up, reports), ztCopyCoordinator
// (the jobs' turns), ztCopyFetch (the records), ztCopyRing (reader and
// writer) and ztCopyInstall (a finished file's installation).
//
// An installed file is never left half-written: the data goes into a
// temporary file beside the destination ("~ztcp-<pid>-<n>.tmp") that replaces
// the destination only once it is complete; a failed or stopped file leaves
// the old destination as it was. (An empty source is written in place: with
// no data there is nothing to leave half-done.) Leftover temporary files of
// a run that was killed are removed by the next run that writes into the
// same folder.
//
// With a backup folder set, nothing installed is ever overwritten or
// deleted: each installed file a job replaces is moved (renamed) into that
// folder before its replacement is written (by the fetcher, a few jobs
// ahead, or in the job's own turn), so a caller can put every file back
// after a failure. Such a caller keeps a journal of the run that also
// removes new files it did not finish, so the replacement is then written
// under its own name, with no temporary file and no second rename (and
// still removed by the engine when its copy fails or is stopped, or when
// the run ends before its turn).
//
// The engine itself (threads and system calls) is Windows build only; the
// pieces without system calls at the end of this header build and are tested
// on both. The header stays free of <windows.h>: handles are kept as intptr_t
// (0 when closed).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "file/pathutil.h"

class ztThread;
class ztFlushQueue;

namespace ztcopy {

// Remembers the last folder known to exist, so that the jobs of one folder
// ask the system once. One per thread that asks.
struct FolderCache {
  char16_t known[260] = {};
  bool Exists(const char16_t* folder);
  void Remember(const char16_t* folder);
};

// Bytes per sector of the last source volume asked (the question is slow
// and the answer does not change during a run). One per thread that asks.
struct SectorCache {
  char16_t root[260] = {};
  uint32_t sector = 0;
  uint32_t Of(const char16_t* source);
};

}  // namespace ztcopy

// One queued copy, copied by value into the queue.
struct CopyJob {
  char16_t source[260];
  char16_t destination[260];
  int32_t flag;  // the caller's value, shown in the status while the job runs
};

// One buffer of the ring. `free` is the only hand-off between the reader and
// the writer: the reader stores it (0) after the data, the length and `last`;
// the writer stores it (1) after the write. Release/acquire ordering makes
// the block visible before the flag.
struct CopySlot {
  std::atomic<int32_t> free;  // 1: empty, the reader may fill it; 0: filled
  std::atomic<int32_t> last;  // 1: this block ends the current file
  void* buffer;               // VirtualAlloc memory, null when released
  uint32_t capacity;          // bytes allocated for the buffer
  uint32_t length;            // bytes of file data in the buffer
};

// The run's state as the callback sees it; zeroed when the run starts.
struct CopyStatus {
  char16_t source[260];       // source of the current job
  char16_t destination[260];  // destination of the current job
  uint64_t fileSize;          // size of the current file
  uint64_t fileDone;          // bytes of the current file written so far
  uint64_t totalSize;         // sizes of all queued sources, summed before the first job
  uint64_t totalDone;         // bytes written plus the sizes of skipped files
  int32_t finished;           // 1 for the final call only
  int32_t error;              // 1 once a job failed
  int32_t jobFlag;            // the running job's flag
  char16_t errorText[512];    // the failure's description
};

// Where one job's bytes go: the file being written and the installed file
// it replaces. Made ready by the fetcher ahead of the job's turn, or in
// that turn by the coordinator; see ztCopyInstall_win32.cpp.
struct CopyTarget {
  intptr_t file = 0;       // being written: a temporary file, or the destination itself
  intptr_t installed = 0;  // the installed file, held without sharing until replaced (0: none)
  int32_t ready = 0;       // 1 once the destination side is made
  int32_t inPlace = 0;     // `file` has the destination's own name (a new file, or an emptied one)
  int32_t emptied = 0;     // `file` is the installed file itself, emptied: its attributes are its own
  // The file to remove when the job does not finish: the temporary file,
  // or a new file written in place; empty for none.
  char16_t path[ZT_LONG_PATH] = {};
};

// One job as the fetcher prepared it (see ztCopyFetch_win32.cpp). Record n
// holds job n; `state` is the hand-off: the fetcher fills a free record and
// publishes it (kChecked, or kFilled when its bytes still wait for the
// verifier), a checker claims a filled one (kClaimed) and checks it
// (kChecked), the coordinator takes it in the job's turn and frees it.
struct CopyFetch {
  enum : int32_t { kFree = 0, kFilled = 1, kClaimed = 2, kChecked = 3 };
  // What the job is. kLeft: the coordinator does it all in the job's turn
  // (a program file mode 1 may keep, a job that an earlier one writes).
  enum : int32_t { kLeft = 0, kMissing, kFailed, kFolder, kEmpty, kOneBlock, kBlocks };
  std::atomic<int32_t> state{kFree};
  std::atomic<uint32_t> sequence{0};  // order of filling: the reader checks the oldest first
  size_t index = 0;                   // the job
  int32_t kind = kLeft;
  int32_t loaded = 0;      // kOneBlock: the bytes are in `buffer` (else the source is open)
  int32_t result = 0;      // 1 when the verifier found the bytes right
  uint32_t error = 0;      // kFailed: the system's code
  uint32_t sector = 0;     // kBlocks: read without buffering in sectors of this size (0: buffered)
  intptr_t source = 0;     // kBlocks: the source, open
  uint64_t size = 0;       // the source's size
  uint64_t times[3] = {};  // the source's creation, access and write times (FILETIME values), once read
  void* buffer = nullptr;  // kOneBlock: the whole file (VirtualAlloc memory of ztCopyBlockSize(0) bytes)
  CopyTarget target;
};

// Called after every written block, after every skipped job, on every failure
// and once at the end (finished set). A result of 0 after a block or a skip
// asks the engine to stop; it is ignored for the failure and end calls. The
// engine never runs two calls at once.
using ProgressCallback = int32_t (*)(void* userData, const CopyStatus* status);

// Called by the writer just before each block is written, on the block's own
// memory (so a hook may inspect or transform it in place).
using ChunkHook = void (*)(void* userData, void* data, uint64_t fileDone, uint32_t length, const CopyStatus* status);

// Checks the bytes of each copied file as the engine moves them (a signed
// package's digests): every byte installed is a byte that was checked, with
// no second read in between. The engine calls it from its own threads. With
// a verifier set, a file reaches its own name only once it is checked: one
// of a single block is read whole (files of one block are read ahead, a few
// at a time, and checked on two threads while the files before them are
// written) and checked before it is written, a longer one goes block by
// block and is written under a temporary name; and a source that is a
// folder fails its job (ERROR_FILE_CORRUPT).
class ztCopyVerifier {
 public:
  virtual ~ztCopyVerifier() = default;
  // Before the first block of job `index` (also for a file of zero bytes).
  virtual void BeginFile(size_t index) = 0;
  // Each block of the file, in order, before it is written.
  virtual void AddBlock(const void* data, uint32_t length) = 0;
  // After the last block was added and before it is written: 1 when the
  // file is right. 0 fails the job (ERROR_FILE_CORRUPT) before its last
  // block reaches the disk, so the file is never installed.
  virtual int32_t EndFile() = 0;
  // A whole file of at most one block (ztCopyBlockSize(0)), read before any
  // of it is written: returns as EndFile. The engine may call it from two
  // threads at once for different files, but never while a file goes
  // through BeginFile to EndFile.
  virtual int32_t CheckFile(size_t index, const void* data, uint32_t length) = 0;
};

class ztFileCopier {
 public:
  // `slotCount` ring buffers (at least 1). Unbuffered reading is allowed when
  // `noUnbuffered` is 0 and the capability record says Windows 2000 or later.
  ztFileCopier(uint32_t slotCount, int32_t noUnbuffered);
  // The caller destroys the engine after the final callback (the callback
  // itself may do it). Destroying a running engine from another thread stops
  // the run first and waits for its threads. Destroying it from any other
  // callback (a block, a skip or a failure report, which run on the engine's
  // own threads while it is still in use) is a broken precondition: it
  // shows the assertion box and stops the process.
  virtual ~ztFileCopier();
  ztFileCopier(const ztFileCopier&) = delete;
  ztFileCopier& operator=(const ztFileCopier&) = delete;

  // Appends a job (both paths copied). 1, or 0 when a path is null or does
  // not fit 259 units (a cut path would name another place), or when the run
  // has already been started.
  [[nodiscard]] int32_t AddJob(const char16_t* source, const char16_t* destination, int32_t flag);
  // 1: keep installed exe/dll files whose version is newer than the source's.
  // Any other value copies every job. 1, or 0 (mode unchanged) once the run
  // has been started: the coordinator reads the mode while it runs.
  [[nodiscard]] int32_t SetMode(int32_t mode);
  // Keep what the jobs replace: an installed file is moved to `folder`
  // joined with ztCopyBackupName(its job's index) just before the new file
  // is written (a rename, so the folder must be on the same volume); a move
  // that fails fails the job, and a job that fails after it leaves the old
  // file there for the caller to put back. Files kept by mode 1 are not touched. 1,
  // or 0 (nothing changed) when the folder is null, does not fit 259 units
  // or the run has started.
  [[nodiscard]] int32_t SetBackupFolder(const char16_t* folder);
  // Checks every copied file with `verifier` (owned by the caller, alive
  // until the final callback). 1, or 0 once the run has started.
  [[nodiscard]] int32_t SetVerifier(ztCopyVerifier* verifier);
  // Puts every file the run writes on the disk before the final callback:
  // each file, once installed, is handed to `threads` threads of their own
  // (ztFlushQueue) that flush and close it while the run goes on with the
  // next ones. A flush that fails fails the run with its system error, as
  // a write would. A handed-over file stays open, unshared, until it is
  // flushed: a later job of the same run that reads or replaces it may find
  // it held (the updater's jobs never touch one file twice). 0 (the
  // default): files are closed unflushed. 1, or 0 once the run has started
  // or for more than 16 threads.
  [[nodiscard]] int32_t SetFlushThreads(int32_t threads);
  // The sum of the sources' sizes (CopyStatus::totalSize), for a caller that
  // knows it already; otherwise the engine asks for every source's size
  // before its first job. 1, or 0 once the run has started.
  [[nodiscard]] int32_t SetTotalSize(uint64_t bytes);
  // Starts the coordinator and returns at once: 1, or 0 when a run was
  // already started or the thread could not be created (then no callback
  // will come).
  [[nodiscard]] int32_t StartCopy(ProgressCallback progress, void* userData, ChunkHook chunkHook);

  int32_t GetMode() const { return mode_; }
  int32_t IsUnbufferedAllowed() const { return unbufferedAllowed_; }
  uint32_t GetSlotCount() const { return slotCount_; }

  // Mode 1's rule: 1 to copy the job, 0 to keep the installed file.
  int32_t ShouldCopy(const CopyJob& job) const;

  // Prefix of the temporary files the engine writes beside a destination.
  static constexpr const char16_t* kTempPrefix = u"~ztcp-";

 protected:
  // The system calls that move data, kept apart so that a test can make
  // them fail. Each follows its Win32 counterpart: nonzero on success, 0
  // with the reason in the thread's last error.
  virtual void* AllocateBuffer(uint32_t bytes);
  virtual void FreeBuffer(void* buffer);
  virtual int32_t ReadBlock(intptr_t file, void* buffer, uint32_t request, uint32_t* got);
  virtual int32_t WriteBlock(intptr_t file, const void* buffer, uint32_t length, uint32_t* put);

 private:
  static void CoordinatorRoutine(ztThread* thread, void* self);
  static void ReaderRoutine(ztThread* thread, void* self);
  static void WriterRoutine(ztThread* thread, void* self);
  static void FetcherRoutine(ztThread* thread, void* fetcher);

  // One fetcher thread and what only it touches. Fetcher k takes the jobs n
  // with n % kFetchers == k: two of them, because making a destination
  // ready costs more than writing it (each new name is a lookup in its
  // folder, and under some systems that is a scan of the whole folder).
  struct Fetcher {
    ztFileCopier* engine = nullptr;
    uint32_t number = 0;
    ztThread* thread = nullptr;
    std::atomic<int32_t> waiting{0};
    std::atomic<uint32_t> id{0};
    ztcopy::FolderCache folder;
    ztcopy::SectorCache sectors;
  };
  static constexpr uint32_t kFetchers = 2;

  // The coordinator (ztCopyCoordinator_win32.cpp): the jobs' turns, one
  // function per kind of job. Each step that can fail reports the failure
  // itself and returns 0, which ends the run.
  void RunJobs();
  int32_t StartWorkers();
  void NewWorker(ztThread*& thread, void (*routine)(ztThread*, void*), void* userData);
  void SumSizes();
  void FinishFlushing();
  int32_t RunJob(const CopyJob& job, size_t index);
  int32_t RunRecord(const CopyJob& job, size_t index, CopyFetch& record);
  int32_t SkipJob(const CopyJob& job);
  int32_t ReportRecordFailure(const CopyJob& job, const CopyFetch& record);
  int32_t CopyFolder(const CopyJob& job);
  int32_t CopyEmptyFile(const CopyJob& job, size_t index, CopyFetch& record);
  int32_t CopyOneBlockFile(const CopyJob& job, size_t index, CopyFetch& record);
  int32_t CopyRingFile(const CopyJob& job, size_t index, CopyFetch& record);
  int32_t MakeTargetReady(const CopyJob& job, size_t index, CopyFetch& record);
  int32_t PrepareFolder(const CopyJob& job);
  int32_t FinishFile(const CopyJob& job, size_t index, CopyFetch& record);
  void SetFileStatus(uint64_t size);
  int32_t CheckEmptyFile(size_t index);
  void EndRun();

  // The records (ztCopyFetch_win32.cpp).
  void FetchJobs(Fetcher& fetcher);
  void FetchJob(CopyFetch& record, size_t index, Fetcher* fetcher);
  void OpenForRing(CopyFetch& record, const CopyJob& job, Fetcher* fetcher);
  void ReadWhole(CopyFetch& record, bool inTurn);
  bool WrittenBefore(size_t index, bool* targetTouched) const;
  void PublishRecord(CopyFetch& record);
  CopyFetch* TakeRecord(size_t index);
  int32_t AwaitCheck(CopyFetch& record);
  void FreeRecord(CopyFetch& record);
  void ClearRecord(CopyFetch& record);
  bool CheckFetched(CopyFetch& record);
  CopyFetch* UncheckedEnd(int32_t sign);
  void HoldChecks();
  void ReleaseChecks();
  void DiscardFetches();
  bool Direct(uint64_t size) const;

  // The ring and its two sides (ztCopyRing_win32.cpp).
  void ReadFileBlocks();
  void ReadRingFile();
  void WriteFileBlocks();
  void WriteRingFile();
  int32_t WriteOneBlock(intptr_t file, void* data, uint32_t length, bool last, bool checked);
  void WaitForSides();
  void ResetRing();
  void ClearSlots();
  int32_t PrepareBuffers(uint32_t sector, uint32_t* systemError);

  // A file's destination and its installation (ztCopyInstall_win32.cpp).
  // These touch only the target given to them, so the fetcher and the
  // coordinator may each work on their own at once.
  int32_t OpenSource(const char16_t* source, int32_t unbuffered, intptr_t* handle, uint64_t* size);
  void ReadTimes(intptr_t source, uint64_t* times);
  int32_t OpenTarget(const CopyJob& job, size_t index, bool direct, CopyTarget& target);
  int32_t OpenEmptyTarget(const CopyJob& job, size_t index, CopyTarget& target);
  int32_t HoldInstalled(const CopyJob& job, CopyTarget& target);
  int32_t BackupPath(size_t index, char16_t* path);
  int32_t CreateTemp(const char16_t* destination, CopyTarget& target);
  int32_t CreateInPlace(const char16_t* destination, CopyTarget& target);
  int32_t MoveInstalledToBackup(const CopyJob& job, size_t index, CopyTarget& target);
  int32_t InstallTarget(const CopyJob& job, size_t index, CopyTarget& target, uint32_t* systemError);
  int32_t RenameIntoPlace(const CopyJob& job, CopyTarget& target, uint32_t* systemError);
  void DiscardTarget(CopyTarget& target);
  void HandOver(intptr_t& file);
  void CleanLeftovers(const char16_t* destination);

  // Failure reports: the message (with its key) and its argument, or a
  // system error code. They set the fatal flag and call the callback.
  void ReportMessage(const char16_t* messageTemplate, const char16_t* argument);
  void ReportSystemError(uint32_t code, int32_t fromWorker);
  int32_t CallProgress();
  void RaiseStop();
  void WakeAll();
  bool Halted() const;

  uint32_t slotCount_ = 0;
  CopySlot* slots_ = nullptr;
  void* slotBlock_ = nullptr;  // the heap block the slots sit in, aligned
  std::deque<CopyJob> jobs_;
  std::atomic<int32_t> stop_{0};
  ztThread* coordinator_ = nullptr;
  ztThread* reader_ = nullptr;
  ztThread* writer_ = nullptr;
  Fetcher fetchers_[kFetchers];
  ProgressCallback progress_ = nullptr;
  ChunkHook chunkHook_ = nullptr;
  ztCopyVerifier* verifier_ = nullptr;
  // Flushes installed files while the run goes on (SetFlushThreads); made
  // as the run starts, deleted before the final callback.
  int32_t flushThreads_ = 0;
  ztFlushQueue* flusher_ = nullptr;
  void* userData_ = nullptr;
  CopyStatus status_ = {};
  std::atomic<int32_t> abort_{0};
  std::atomic<int32_t> fatal_{0};
  int32_t mode_ = 0;
  int32_t unbufferedAllowed_ = 0;
  uint64_t totalSize_ = 0;
  int32_t totalGiven_ = 0;
  std::atomic<int32_t> started_{0};
  // Set just before the final callback: from then on the engine may be
  // destroyed from inside the callback.
  std::atomic<int32_t> finalCall_{0};
  // Where replaced files go (empty: they are overwritten).
  char16_t backupFolder_[ZT_MAX_PATH] = {};

  // The file of several blocks the reader and the writer stream (handles
  // owned by the coordinator's record) and its sector size (0: buffered).
  intptr_t ringSource_ = 0;
  intptr_t ringFile_ = 0;
  uint32_t ringSector_ = 0;
  // Set by the coordinator when it hands a file over, cleared by each side
  // when it is done with it, so the ring is never touched under a worker.
  std::atomic<int32_t> readerBusy_{0};
  std::atomic<int32_t> writerBusy_{0};
  // Set once the last block of the current file has been written.
  std::atomic<int32_t> fileComplete_{0};
  // Ids of the engine's workers while they run (0 otherwise). The
  // destructor compares them with its own thread; it may run on another
  // thread while the coordinator ends and deletes the workers, so it never
  // touches the thread objects themselves.
  std::atomic<uint32_t> readerId_{0};
  std::atomic<uint32_t> writerId_{0};
  // Set while a thread sleeps on its event, so that the other side signals
  // the event only when someone is there to wake.
  std::atomic<int32_t> coordinatorWaiting_{0};
  std::atomic<int32_t> readerWaiting_{0};
  std::atomic<int32_t> writerWaiting_{0};
  // The coordinator's: folders cleaned of leftovers, the last destination
  // folder known to exist and the sources' sector sizes.
  std::vector<std::u16string> cleanedFolders_;
  ztcopy::FolderCache knownFolder_;
  ztcopy::SectorCache sectors_;

  // The records, one per job in turn (see CopyFetch). The fetchers fill
  // them in job order, each its own jobs; the coordinator takes them in
  // the same order and publishes the job it is at (`turn_`): a fetcher
  // leaves alone what a job from there on still reads or writes.
  static constexpr uint32_t kFetchRecords = 8;
  CopyFetch fetches_[kFetchRecords];
  CopyFetch own_;  // a job the fetcher left, done in its turn
  std::atomic<size_t> turn_{0};
  std::atomic<uint32_t> fetchSequence_{0};
  // A checked run's checks pause while a file of several blocks goes
  // through the verifier block by block (which must not meet a whole-file
  // check): `checksHeld_` asks them to, `checking_` counts those running.
  std::atomic<int32_t> checksHeld_{0};
  std::atomic<int32_t> checking_{0};
};

// ---- pieces of the engine without system calls ------------------------------

// Block size for a volume with `sector` bytes per sector: the smallest
// multiple of the sector above 1 MiB (0x200000 for buffered reading, sector
// 0). 0 for a sector size that is not usable for unbuffered reading (not a
// power of two, or above 64 KiB).
uint32_t ztCopyBlockSize(uint32_t sector);

// The next read of a file of `size` bytes at `position` into a buffer of
// `capacity` bytes: `length` is the data the block will hold, `request` what
// is asked of the system (rounded up to whole sectors on the last block when
// `sector` is not 0). Positions and sizes are 64-bit, so files of 4 GiB and
// more are read whole. Returns 0 when nothing is left.
int ztCopyNextBlock(uint64_t size, uint64_t position, uint32_t capacity, uint32_t sector, uint32_t* length,
                    uint32_t* request);

// The user's text of a message template: a leading "$key$" is looked up in
// the library's message table and, having no entry, dropped; the first "%s"
// takes `argument`. Cut to fit `cap` units; returns the length, or -1 when
// cut.
int ztFormatCopyMessage(char16_t* out, size_t cap, const char16_t* messageTemplate, const char16_t* argument);

// Name of a temporary file ("~ztcp-PPPPPPPP-NNNN.tmp", process id and
// number in upper-case hexadecimal) and the reverse: 1 with `pid` filled
// when `name` is such a name.
int ztCopyTempName(char16_t* out, size_t cap, uint32_t pid, uint32_t number);
int ztParseCopyTempName(const char16_t* name, uint32_t* pid);

// Deletes the engine's temporary files in `folder` that belong to processes
// no longer running (a run killed half-way through a file). Windows build
// only. `anyProcess`: every one, whatever process id its name carries; for
// a caller that knows no other run can be writing there (the updater holds
// its installation's lock), since the system hands a dead run's process id
// out again, and a file of that id would otherwise pass for a live one's.
void ztDeleteCopyLeftovers(const char16_t* folder, bool anyProcess = false);

// Gives the file behind `handle` (opened with DELETE access) the name
// `destination`, replacing what is there: through the handle, so nobody can
// put another file under the old name in between. 1 or 0. Windows build
// only.
int ztRenameOpenFile(intptr_t handle, const char16_t* destination);

// Name of the backup of job `index` in the backup folder ("0000002A.bak",
// upper-case hexadecimal): 1, or 0 when `cap` is below 13.
int ztCopyBackupName(char16_t* out, size_t cap, uint32_t index);

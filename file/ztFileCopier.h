// ztFileCopier: copies a queue of files on worker threads while the caller's
// user interface keeps running.
//
// One coordinating thread walks the queue. For each file a reader thread and
// a writer thread stream the data through a small ring of large buffers, so
// reading the source and writing the destination overlap. Where the system
// allows it the source is read without system buffering, in whole sectors
// (files read ahead for a verifier, of one block each, are read buffered).
// The engine creates missing destination folders, keeps newer program files
// that are already installed (mode 1), copies the file times, resets the
// destination's attributes to archive only and reports progress, errors and
// the end of the run through one callback. It stops at the first error.
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
// folder just before its replacement is written, so a caller can put every
// file back after a failure. Such a caller keeps a journal of the run that
// also removes new files it did not finish, so the replacement is then
// written under its own name, with no temporary file and no second rename
// (and still removed by the engine when its copy fails or is stopped).
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

// A file of one block read ahead in a checked run (see ztFileCopier).
// `state` is the hand-off: the coordinator fills the record (kFilled),
// whoever is free claims it (kClaimed) and checks it (kChecked), the
// coordinator takes it and, once the bytes are written, lets it go (kFree).
struct CopyFetch {
  enum : int32_t { kFree = 0, kFilled = 1, kClaimed = 2, kChecked = 3 };
  std::atomic<int32_t> state{kFree};
  std::atomic<uint32_t> sequence{0};  // order of filling: the reader checks the oldest first
  size_t index = 0;                   // the job
  int32_t result = 0;                 // 1 when the verifier found the bytes right
  intptr_t source = 0;                // the job's source, open
  uint32_t length = 0;                // the whole file
  void* buffer = nullptr;             // VirtualAlloc memory of ztCopyBlockSize(0) bytes
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

  // The coordinator's run and its steps. Each step that can fail reports
  // the failure itself and returns 0, which ends the run.
  void RunJobs();
  int32_t StartWorkers();
  int32_t RunJob(const CopyJob& job, size_t index);
  int32_t SkipJob(const CopyJob& job);
  int32_t CopyOneFile(const CopyJob& job, size_t index, bool fetched, int32_t* fromTemp);
  int32_t TakeAhead(const CopyJob& job, size_t index, uint64_t* size);
  int32_t OpenFresh(const CopyJob& job, size_t index, int32_t unbuffered, uint64_t* size);
  bool FolderExists(const char16_t* folder);
  void LookAhead(size_t index);
  void DiscardAhead();
  void WaitForSides();
  void EndRun();
  void ReadFileBlocks();
  void WriteFileBlocks();
  int32_t WriteOneBlock(void* data, uint32_t length, bool last, bool checked);
  int32_t CopyOneBlockFile(uint64_t size, size_t index);
  bool IsFetched(size_t index) const;
  int32_t OpenFetched(const CopyJob& job, size_t index, uint64_t* size, void** data);
  void ReleaseFetched();
  void ReadAhead(size_t from);
  bool ReadOneAhead(CopyFetch& record, size_t index, size_t current);
  void CheckFetched(CopyFetch& record);
  CopyFetch* UncheckedEnd(int32_t sign);
  void DiscardFetches();

  void ResetRing();
  void ClearSlots();
  void CloseHandles();
  int32_t PrepareBuffers(const char16_t* source, uint32_t* systemError);
  uint32_t SectorSizeOf(const char16_t* source);
  int32_t OpenPair(const CopyJob& job, size_t index, int32_t unbuffered, uint64_t* size, const char16_t** failed);
  int32_t OpenTarget(const CopyJob& job, size_t index, uint64_t size, bool direct);
  int32_t PrepareFolder(const CopyJob& job);
  int32_t CheckEmptyFile(size_t index);
  int32_t OpenSource(const char16_t* source, int32_t unbuffered, intptr_t* handle, uint64_t* size);
  int32_t CheckDestination(const CopyJob& job, size_t index, uint64_t size);
  int32_t BackupPath(size_t index, char16_t* path);
  int32_t CreateTemp(const char16_t* destination, char16_t* path, intptr_t* handle);
  int32_t CreateInPlace(const char16_t* destination);
  int32_t MoveTargetToBackup(const CopyJob& job, size_t index);
  int32_t InstallTemp(const CopyJob& job, size_t index, uint32_t* systemError);
  void DiscardTemp();
  void HandOverDestination();
  void CleanLeftovers(const char16_t* destination);

  // Failure reports: the message (with its key) and its argument, or a
  // system error code. They set the fatal flag and call the callback.
  void ReportMessage(const char16_t* messageTemplate, const char16_t* argument);
  void ReportSystemError(uint32_t code, int32_t fromWorker);
  int32_t CallProgress();
  void RaiseStop();
  void WakeAll();

  uint32_t slotCount_ = 0;
  CopySlot* slots_ = nullptr;
  void* slotBlock_ = nullptr;  // the heap block the slots sit in, aligned
  std::deque<CopyJob> jobs_;
  std::atomic<int32_t> stop_{0};
  ztThread* coordinator_ = nullptr;
  ztThread* reader_ = nullptr;
  ztThread* writer_ = nullptr;
  intptr_t source_ = 0;
  intptr_t destination_ = 0;  // the temporary file being written
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
  uint32_t sectorSize_ = 0;
  int32_t unbufferedNow_ = 0;

  // The installed destination, opened for writing without sharing while its
  // replacement is written (0 when there was none).
  intptr_t target_ = 0;
  // Long enough for the long form next to a 259-unit destination.
  char16_t tempPath_[ZT_LONG_PATH] = {};
  // Where replaced files go (empty: they are overwritten).
  char16_t backupFolder_[ZT_MAX_PATH] = {};
  // Set while the current file is written under its own name (a new
  // destination with a backup folder set); tempPath_ then names it.
  int32_t inPlace_ = 0;
  // Set by the coordinator when it hands a file over, cleared by each side
  // when it is done with it, so the ring is never touched under a worker.
  std::atomic<int32_t> readerBusy_{0};
  std::atomic<int32_t> writerBusy_{0};
  // Set by the writer once the last block of the file has been written.
  std::atomic<int32_t> fileComplete_{0};
  std::atomic<int32_t> started_{0};
  // Set just before the final callback: from then on the engine may be
  // destroyed from inside the callback.
  std::atomic<int32_t> finalCall_{0};
  // Ids of the reader and the writer while they run (0 otherwise). The
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
  // Bytes per sector of the last source volume asked (the question is slow
  // and the answer does not change during a run).
  char16_t sectorRoot_[260] = {};
  uint32_t sectorOfRoot_ = 0;
  std::vector<std::u16string> cleanedFolders_;
  // The last destination folder known to exist.
  char16_t knownFolder_[260] = {};
  // The next job's source and temporary file, opened by the coordinator
  // while the current file is being copied (index -1 when none).
  intptr_t aheadIndex_ = -1;
  intptr_t aheadSource_ = 0;
  intptr_t aheadTemp_ = 0;
  uint64_t aheadSize_ = 0;
  int32_t aheadUnbuffered_ = 0;
  char16_t aheadTempPath_[ZT_LONG_PATH] = {};
  // In a checked run the files of one block are read ahead by the
  // coordinator into records of their own and checked by the reader, idle
  // meanwhile, or by the coordinator itself when the reader is behind; the
  // coordinator installs each file once it is checked. Working out the
  // digests so overlaps the system calls of the files around them, and the
  // bytes written are the very bytes checked. Records are filled and taken
  // in job order: `fetchRead_` and `fetchTaken_` count them; reading ahead
  // stops at the first job it leaves to the coordinator (`fetchStop_`).
  static constexpr uint32_t kFetchRecords = 8;
  CopyFetch fetches_[kFetchRecords];
  uint32_t fetchRead_ = 0;
  uint32_t fetchTaken_ = 0;
  size_t fetchNext_ = 0;  // the next job to read ahead
  size_t fetchStop_ = SIZE_MAX;
  int32_t fetchDisabled_ = 0;  // set when the records' buffers could not be had
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

// Name of the backup of job `index` in the backup folder ("0000002A.bak",
// upper-case hexadecimal): 1, or 0 when `cap` is below 13.
int ztCopyBackupName(char16_t* out, size_t cap, uint32_t index);

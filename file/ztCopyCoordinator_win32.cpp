// The coordinator: the jobs' turns, in queue order.
//
// Threads: the coordinator starts the workers (fetcher, reader, writer, the
// flush queue), takes each job's record from the fetchers in the job's turn
// and writes and installs the file, itself for a file of one block or
// through the ring for a longer one; it alone installs files, hands them to
// the flush queue and calls the final callback. A turn that fails reports
// the failure and ends the run; a stop asked by the callback ends it after
// the current file (a file whose last block is written is still installed).
#include <windows.h>

#include <new>

#include "file/textutil.h"
#include "file/ztCopyShared_win32.h"
#include "file/ztFileCopier.h"
#include "file/ztFlushQueue.h"
#include "platform/ztThread.h"
#include "platform/ztWide.h"

using namespace ztcopy;

void ztFileCopier::CoordinatorRoutine(ztThread*, void* self) { static_cast<ztFileCopier*>(self)->RunJobs(); }

void ztFileCopier::RunJobs() {
  ZeroBytes(&status_, sizeof status_);
  // The ring's buffers come first: a run that cannot have them fails before
  // anything is read or written.
  uint32_t sector = unbufferedAllowed_ && !jobs_.empty() ? sectors_.Of(jobs_[0].source) : 0;
  if (ztCopyBlockSize(sector) == 0) sector = 0;
  uint32_t error = 0;
  if (!PrepareBuffers(sector, &error)) {
    ReportSystemError(error, 0);
  } else if (StartWorkers()) {
    // The fetcher is already at work while the sizes are summed.
    SumSizes();
    for (size_t index = 0; index < jobs_.size(); ++index) {
      // A stop may come at any moment (the engine destroyed right after its
      // start): no further job of any kind starts after it.
      if (abort_.load(std::memory_order_acquire)) break;
      turn_.store(index, std::memory_order_release);
      if (!RunJob(jobs_[index], index)) break;
    }
    FinishFlushing();
  }
  EndRun();
}

// The member is set before the thread starts: the thread waits on its own
// event through it. A thread that could not be started keeps no handle
// (StartWorkers then fails the run).
void ztFileCopier::NewWorker(ztThread*& thread, void (*routine)(ztThread*, void*), void* userData) {
  thread = new ztThread;
  thread->AddEvent(kWakeEvent, 0, 0);
  (void)thread->Start(userData, routine);
}

int32_t ztFileCopier::StartWorkers() {
  if (flushThreads_ > 0) {
    // Without its threads the queue flushes each file as it is handed
    // over: slower, but every file is still on the disk before the end.
    flusher_ = new (std::nothrow) ztFlushQueue;
    if (!flusher_) {
      ReportSystemError(ERROR_NOT_ENOUGH_MEMORY, 0);
      return 0;
    }
    (void)flusher_->Start(flushThreads_);
  }
  NewWorker(reader_, &ztFileCopier::ReaderRoutine, this);
  NewWorker(writer_, &ztFileCopier::WriterRoutine, this);
  readerId_.store(reader_->GetThreadId(), std::memory_order_release);
  writerId_.store(writer_->GetThreadId(), std::memory_order_release);
  bool started = reader_->GetHandle() && writer_->GetHandle();
  for (uint32_t k = 0; k < kFetchers; ++k) {
    Fetcher& f = fetchers_[k];
    f.engine = this;
    f.number = k;
    NewWorker(f.thread, &ztFileCopier::FetcherRoutine, &f);
    f.id.store(f.thread->GetThreadId(), std::memory_order_release);
    started = started && f.thread->GetHandle();
  }
  if (started) return 1;
  DWORD e = GetLastError();
  ReportSystemError(e ? e : ERROR_NOT_ENOUGH_MEMORY, 0);
  return 0;
}

void ztFileCopier::SumSizes() {
  uint64_t total = totalSize_;
  for (size_t i = 0; !totalGiven_ && i < jobs_.size(); ++i) {
    uint64_t size = 0;
    PathKind(jobs_[i].source, &size);  // 0 for a missing source or a folder
    total += size;
  }
  coordinator_->Lock(kStatusLock);
  status_.totalSize = total;
  coordinator_->Unlock(kStatusLock);
}

// Every file written is on the disk before the run is called done; a flush
// that failed fails a run that had not failed already.
void ztFileCopier::FinishFlushing() {
  if (!flusher_) return;
  const uint32_t e = flusher_->Finish();
  if (e && !abort_.load(std::memory_order_acquire) && !fatal_.load(std::memory_order_acquire)) ReportSystemError(e, 0);
}

void ztFileCopier::EndRun() {
  stop_.store(1, std::memory_order_release);
  WakeAll();
  auto join = [](ztThread*& t) {
    if (t && t->GetHandle()) t->WaitForExit();
    delete t;
    t = nullptr;
  };
  join(reader_);
  join(writer_);
  for (Fetcher& f : fetchers_) join(f.thread);
  readerId_.store(0, std::memory_order_release);
  writerId_.store(0, std::memory_order_release);
  for (Fetcher& f : fetchers_) f.id.store(0, std::memory_order_release);
  ResetRing();
  DiscardFetches();
  // Waits for the files it still holds; they are closed before the caller
  // hears the run is over (and may roll it back).
  delete flusher_;
  flusher_ = nullptr;
  status_.finished = 1;
  finalCall_.store(1, std::memory_order_release);
  // The callback may destroy the engine: nothing of it is touched after.
  ProgressCallback progress = progress_;
  void* userData = userData_;
  if (progress) progress(userData, &status_);
}

// ---- one job's turn ------------------------------------------------------------------

int32_t ztFileCopier::RunJob(const CopyJob& job, size_t index) {
  coordinator_->Lock(kStatusLock);
  (void)CopyText(status_.source, job.source);  // jobs' paths fit (AddJob)
  (void)CopyText(status_.destination, job.destination);
  status_.jobFlag = job.flag;
  status_.fileSize = 0;
  status_.fileDone = 0;
  coordinator_->Unlock(kStatusLock);
  CopyFetch* record = TakeRecord(index);
  if (!record) return 0;
  const int32_t done = RunRecord(job, index, *record);
  FreeRecord(*record);
  return done;
}

// One function per kind of job. A job the fetcher left is looked at here:
// mode 1 may keep it, else it is fetched now, in its turn.
int32_t ztFileCopier::RunRecord(const CopyJob& job, size_t index, CopyFetch& fetched) {
  CopyFetch* record = &fetched;
  if (fetched.kind == CopyFetch::kLeft) {
    if (!ShouldCopy(job)) return SkipJob(job);
    FetchJob(own_, index, nullptr);
    PublishRecord(own_);
    record = &own_;
  }
  int32_t done = 0;
  switch (record->kind) {
    case CopyFetch::kFolder: done = CopyFolder(job); break;
    case CopyFetch::kEmpty: done = CopyEmptyFile(job, index, *record); break;
    case CopyFetch::kOneBlock: done = CopyOneBlockFile(job, index, *record); break;
    case CopyFetch::kBlocks: done = CopyRingFile(job, index, *record); break;
    default: done = ReportRecordFailure(job, *record); break;
  }
  if (record == &own_) FreeRecord(own_);
  return done;
}

int32_t ztFileCopier::SkipJob(const CopyJob& job) {
  // The installed file is kept; its size still counts as done, so the
  // progress reaches the total.
  uint64_t size = 0;
  PathKind(job.source, &size);
  coordinator_->Lock(kStatusLock);
  status_.totalDone += size;
  status_.fileSize = size;
  status_.fileDone = 0;
  const int32_t go = CallProgress();
  coordinator_->Unlock(kStatusLock);
  if (!go) RaiseStop();
  return go;
}

// A source that could not be opened names itself once the destination's
// folder is there; a read that failed reports the system's text.
int32_t ztFileCopier::ReportRecordFailure(const CopyJob& job, const CopyFetch& record) {
  if (record.kind == CopyFetch::kMissing) {
    if (PrepareFolder(job)) ReportMessage(kOpenMessage, job.source);
    return 0;
  }
  ReportSystemError(record.error ? record.error : ERROR_READ_FAULT, 0);
  return 0;
}

int32_t ztFileCopier::CopyFolder(const CopyJob& job) {
  // A verifier checks files: a source that turned into a folder is not the
  // file it was given.
  if (verifier_) {
    ReportSystemError(ERROR_FILE_CORRUPT, 0);
    return 0;
  }
  if (!CreateFolderTree(job.destination, 0)) {
    char16_t parent[ZT_MAX_PATH];
    (void)GetParentFolder(job.destination, parent);
    ReportMessage(kFolderMessage, parent);
    return 0;
  }
  // Asking is cheaper than setting.
  if (GetFileAttributesW(W(job.destination)) != FILE_ATTRIBUTE_ARCHIVE)
    SetFileAttributesW(W(job.destination), FILE_ATTRIBUTE_ARCHIVE);
  return 1;
}

// An empty file has no block to hold back: it is checked before its
// destination is made or emptied, and complete as soon as it exists.
int32_t ztFileCopier::CopyEmptyFile(const CopyJob& job, size_t index, CopyFetch& record) {
  if (!CheckEmptyFile(index) || !PrepareFolder(job)) return 0;
  if (!OpenEmptyTarget(job, index, record.target)) {
    ReportMessage(kOpenMessage, job.destination);
    return 0;
  }
  SetFileStatus(0);
  return FinishFile(job, index, record);
}

// 1 when there is no verifier or the empty file is right; 0 once the
// failure is reported.
int32_t ztFileCopier::CheckEmptyFile(size_t index) {
  if (!verifier_ || verifier_->CheckFile(index, "", 0)) return 1;
  ReportSystemError(ERROR_FILE_CORRUPT, 0);
  return 0;
}

// The whole file is in the record (read now if the fetcher left it): the
// coordinator writes it itself. Handing it to the reader and the writer
// would buy no overlap and cost two thread switches each way. A checked
// file is checked before any of it is written (unless a hook may still
// change the bytes: then as it is written).
int32_t ztFileCopier::CopyOneBlockFile(const CopyJob& job, size_t index, CopyFetch& record) {
  if (!MakeTargetReady(job, index, record)) return 0;
  const bool checkedAhead = verifier_ && !chunkHook_;
  if (!record.loaded) {
    ReadWhole(record, true);
    if (!record.loaded) return ReportRecordFailure(job, record);
    if (checkedAhead) record.state.store(CopyFetch::kFilled, std::memory_order_release);
  }
  if (checkedAhead && !AwaitCheck(record)) return 0;
  if (checkedAhead && !record.result) {
    ReportSystemError(ERROR_FILE_CORRUPT, 0);
    return 0;
  }
  SetFileStatus(record.size);
  fileComplete_.store(0, std::memory_order_release);
  if (verifier_ && !checkedAhead) verifier_->BeginFile(index);
  // A stop the callback asks for after the block still installs the file,
  // which is complete: only a failure ends it here.
  (void)WriteOneBlock(record.target.file, record.buffer, static_cast<uint32_t>(record.size), true, checkedAhead);
  if (fatal_.load(std::memory_order_acquire) || !fileComplete_.load(std::memory_order_acquire)) return 0;
  return FinishFile(job, index, record);
}

// The reader and the writer stream the file through the ring while the
// coordinator waits (and the fetchers go on with the next jobs).
int32_t ztFileCopier::CopyRingFile(const CopyJob& job, size_t index, CopyFetch& record) {
  uint32_t error = 0;
  if (!PrepareBuffers(record.sector, &error)) {
    ReportSystemError(error, 0);
    return 0;
  }
  if (!MakeTargetReady(job, index, record)) return 0;
  SetFileStatus(record.size);
  fileComplete_.store(0, std::memory_order_release);
  if (verifier_) {
    HoldChecks();
    verifier_->BeginFile(index);
  }
  ringSource_ = record.source;
  ringFile_ = record.target.file;
  ringSector_ = record.sector;
  // The writer starts when the reader fills the first slot.
  writerBusy_.store(1, std::memory_order_release);
  readerBusy_.store(1, std::memory_order_release);
  Wake(reader_, readerWaiting_);
  WaitForSides();
  if (verifier_) ReleaseChecks();
  ringSource_ = ringFile_ = 0;
  if (fatal_.load(std::memory_order_acquire)) abort_.store(1, std::memory_order_release);
  // Stopped before the last block, or failed: the installed file stays.
  if (!fileComplete_.load(std::memory_order_acquire) || fatal_.load(std::memory_order_acquire)) return 0;
  ReadTimes(record.source, record.times);
  CloseIf(record.source);
  return FinishFile(job, index, record);
}

// ---- around the data ----------------------------------------------------------------

// The destination side, made ready by a fetcher or here.
int32_t ztFileCopier::MakeTargetReady(const CopyJob& job, size_t index, CopyFetch& record) {
  if (!PrepareFolder(job)) return 0;
  if (record.target.ready || OpenTarget(job, index, Direct(record.size), record.target)) return 1;
  ReportMessage(kOpenMessage, job.destination);
  return 0;
}

int32_t ztFileCopier::PrepareFolder(const CopyJob& job) {
  char16_t parent[ZT_MAX_PATH];
  const int hasParent = GetParentFolder(job.destination, parent);
  // Most files go into a folder that exists already: ask before walking the
  // tree.
  const bool parentExists = hasParent == 1 && knownFolder_.Exists(parent);
  if (!parentExists && !CreateFolderTree(job.destination, 1)) {
    (void)GetParentFolder(job.destination, parent);
    ReportMessage(kFolderMessage, parent);
    return 0;
  }
  if (hasParent == 1) knownFolder_.Remember(parent);
  CleanLeftovers(job.destination);
  return 1;
}

void ztFileCopier::SetFileStatus(uint64_t size) {
  coordinator_->Lock(kStatusLock);
  status_.fileSize = size;
  status_.fileDone = 0;
  coordinator_->Unlock(kStatusLock);
}

// The bytes are written: the file gets the source's times and takes its
// name. Every new file was made with the archive attribute alone; an
// emptied installed file still has its own.
int32_t ztFileCopier::FinishFile(const CopyJob& job, size_t index, CopyFetch& record) {
  FILETIME times[3];
  for (int i = 0; i < 3; ++i) {
    times[i].dwLowDateTime = static_cast<DWORD>(record.times[i]);
    times[i].dwHighDateTime = static_cast<DWORD>(record.times[i] >> 32);
  }
  if (record.times[2]) SetFileTime(H(record.target.file), &times[0], &times[1], &times[2]);
  const bool ownAttributes = record.target.emptied != 0;
  uint32_t error = 0;
  if (!InstallTarget(job, index, record.target, &error)) {
    ReportSystemError(error, 0);
    return 0;
  }
  if (ownAttributes && GetFileAttributesW(W(job.destination)) != FILE_ATTRIBUTE_ARCHIVE)
    SetFileAttributesW(W(job.destination), FILE_ATTRIBUTE_ARCHIVE);
  return 1;
}

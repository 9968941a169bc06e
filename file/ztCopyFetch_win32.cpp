// The records: the fetchers go ahead of the coordinator, a few jobs at a
// time, and do for each job what does not have to wait for the files
// before it: opening the source, reading a file of one block whole, and
// making the destination ready (the installed file moved to the backup
// folder and the new file created, or a temporary file made).
//
// Threads: two fetchers, fetcher k taking the jobs n with n % 2 == k, each
// in job order. Record n % 8 holds job n: its fetcher fills it once the
// coordinator has freed it, and publishes it (`state`, release). The
// coordinator takes job n's record in n's turn, waiting when its fetcher is
// behind, and frees it after the turn. In a checked run a published record
// of one block waits for its check (kFilled): the reader, idle between
// files of several blocks, checks the oldest first; the coordinator, when
// it comes to an unchecked record, checks it itself and then the newest
// ones rather than wait. Checks pause while a file of several blocks goes
// through the verifier (HoldChecks). A fetcher leaves to the job's turn
// (kLeft) what it must not do ahead: a program file mode 1 may keep, and a
// source that a job before it still writes; it makes no destination ready
// that a job before it still reads or writes. Each fetcher ends after its
// last job, or when the run stops or fails.
#include <windows.h>

#include "file/textutil.h"
#include "file/ztCopyShared_win32.h"
#include "file/ztFileCopier.h"
#include "platform/ztThread.h"

using namespace ztcopy;

void ztFileCopier::FetcherRoutine(ztThread*, void* fetcher) {
  auto* f = static_cast<Fetcher*>(fetcher);
  f->engine->FetchJobs(*f);
}

void ztFileCopier::FetchJobs(Fetcher& fetcher) {
  auto ending = [this] { return Halted() || stop_.load(std::memory_order_acquire); };
  for (size_t index = fetcher.number; index < jobs_.size(); index += kFetchers) {
    CopyFetch& record = fetches_[index % kFetchRecords];
    Await(fetcher.thread, fetcher.waiting,
          [&] { return ending() || record.state.load(std::memory_order_acquire) == CopyFetch::kFree; });
    if (ending()) return;
    FetchJob(record, index, &fetcher);
    PublishRecord(record);
  }
}

bool ztFileCopier::Direct(uint64_t size) const { return !verifier_ || size <= ztCopyBlockSize(0); }

// What job `index` is, and as much of it as may be done now. A null
// `fetcher`: the coordinator's call in the job's own turn, which only opens
// the source:
// the turn makes the destination ready before it reads any data, so that a
// destination that cannot be written fails the job before anything is read.
void ztFileCopier::FetchJob(CopyFetch& record, size_t index, Fetcher* fetcher) {
  const bool inTurn = fetcher == nullptr;
  ClearRecord(record);
  record.index = index;
  const CopyJob& job = jobs_[index];
  bool targetTouched = false;
  if (!inTurn && ((mode_ == 1 && IsProgramFile(job.destination)) || WrittenBefore(index, &targetTouched))) return;
  if (!OpenSource(job.source, 0, &record.source, &record.size)) {
    record.error = GetLastError();
    record.kind = PathKind(job.source, nullptr) == ZT_PATH_FOLDER ? CopyFetch::kFolder : CopyFetch::kMissing;
    return;
  }
  if (record.size == 0) {
    record.kind = CopyFetch::kEmpty;
    ReadTimes(record.source, record.times);
    CloseIf(record.source);
    return;
  }
  if (record.size > ztCopyBlockSize(0)) {
    OpenForRing(record, job, fetcher);
  } else {
    record.kind = CopyFetch::kOneBlock;
  }
  if (inTurn) return;
  // The destination is made ready only where its folder is there already
  // (an earlier job may still make it). What fails here is tried again, and
  // reported, in the job's turn, and the data is then read in that turn too.
  char16_t parent[ZT_MAX_PATH];
  if (!targetTouched && GetParentFolder(job.destination, parent) == 1 && fetcher->folder.Exists(parent) &&
      !OpenTarget(job, index, Direct(record.size), record.target))
    return;
  if (record.kind == CopyFetch::kOneBlock) ReadWhole(record, false);
}

// A file of several blocks goes through the ring in the job's turn: its
// source stays open, without system buffering where the volume allows it.
void ztFileCopier::OpenForRing(CopyFetch& record, const CopyJob& job, Fetcher* fetcher) {
  uint32_t sector = unbufferedAllowed_ ? (fetcher ? fetcher->sectors : sectors_).Of(job.source) : 0;
  if (sector && ztCopyBlockSize(sector) == 0) sector = 0;
  if (sector) {
    intptr_t unbuffered = 0;
    uint64_t size = 0;
    if (OpenSource(job.source, 1, &unbuffered, &size) && size == record.size) {
      CloseIf(record.source);
      record.source = unbuffered;
      record.sector = sector;
    } else {
      CloseIf(unbuffered);
    }
  }
  record.kind = CopyFetch::kBlocks;
}

// A file of one block is read whole into the record's buffer; the source is
// closed once its times are read. A read that fails is reported in the
// job's turn; memory the fetcher cannot have leaves the reading to that turn.
void ztFileCopier::ReadWhole(CopyFetch& record, bool inTurn) {
  const uint32_t length = static_cast<uint32_t>(record.size);
  if (!record.buffer) record.buffer = AllocateBuffer(ztCopyBlockSize(0));
  uint32_t got = 0;
  if (!record.buffer) {
    if (!inTurn) return;
    record.kind = CopyFetch::kFailed;
    record.error = ERROR_NOT_ENOUGH_MEMORY;
  } else if (!ReadBlock(record.source, record.buffer, length, &got)) {
    const DWORD e = GetLastError();
    record.kind = CopyFetch::kFailed;
    record.error = e ? e : ERROR_READ_FAULT;
  } else if (got != length) {
    // The source became shorter (or longer) since its size was asked.
    record.kind = CopyFetch::kFailed;
    record.error = ERROR_HANDLE_EOF;
  } else {
    record.loaded = 1;
    ReadTimes(record.source, record.times);
  }
  CloseIf(record.source);
}

// Whether a job from the coordinator's current one up to `index` writes
// job `index`'s source (which is then read in its own turn, after that
// write); `targetTouched` when one of them reads or writes its destination
// (which is then made ready in its own turn).
bool ztFileCopier::WrittenBefore(size_t index, bool* targetTouched) const {
  const CopyJob& job = jobs_[index];
  *targetTouched = false;
  for (size_t j = turn_.load(std::memory_order_acquire); j < index; ++j) {
    const CopyJob& earlier = jobs_[j];
    if (SamePath(earlier.destination, job.source)) return true;
    if (SamePath(earlier.destination, job.destination) || SamePath(earlier.source, job.destination))
      *targetTouched = true;
  }
  return false;
}

void ztFileCopier::PublishRecord(CopyFetch& record) {
  // A hook may still change the bytes a check is to see: with one, the
  // check comes in the job's turn, after the hook.
  const bool toCheck = verifier_ && !chunkHook_ && record.loaded;
  record.sequence.store(fetchSequence_.fetch_add(1, std::memory_order_relaxed), std::memory_order_relaxed);
  record.state.store(toCheck ? CopyFetch::kFilled : CopyFetch::kChecked, std::memory_order_release);
  if (toCheck) Wake(reader_, readerWaiting_);
  Wake(coordinator_, coordinatorWaiting_);
}

// Job `index`'s record, once the fetcher has published it; null when the
// run stops or fails meanwhile.
CopyFetch* ztFileCopier::TakeRecord(size_t index) {
  // The coordinator freed this record's previous job before this turn, so
  // any state but free is this job's.
  CopyFetch& record = fetches_[index % kFetchRecords];
  Await(coordinator_, coordinatorWaiting_,
        [&] { return Halted() || record.state.load(std::memory_order_acquire) != CopyFetch::kFree; });
  if (record.state.load(std::memory_order_acquire) == CopyFetch::kFree) return nullptr;
  return &record;
}

// Waits until the record is checked, checking it (and others) meanwhile.
// 0 when the run ends first: a failure reported elsewhere, or the engine
// destroyed; the run's end waits for the reader before it lets the
// records go.
int32_t ztFileCopier::AwaitCheck(CopyFetch& record) {
  (void)CheckFetched(record);
  while (record.state.load(std::memory_order_acquire) != CopyFetch::kChecked) {
    CopyFetch* newest = UncheckedEnd(-1);
    if (!newest || !CheckFetched(*newest)) break;
  }
  Await(coordinator_, coordinatorWaiting_, [&] {
    return record.state.load(std::memory_order_acquire) == CopyFetch::kChecked ||
           stop_.load(std::memory_order_acquire) || fatal_.load(std::memory_order_acquire);
  });
  return record.state.load(std::memory_order_acquire) == CopyFetch::kChecked ? 1 : 0;
}

// Whoever claims a filled record first checks it. False when it was not
// claimed here (taken already, or checks are held).
bool ztFileCopier::CheckFetched(CopyFetch& record) {
  checking_.fetch_add(1, std::memory_order_seq_cst);
  bool claimed = false;
  if (!checksHeld_.load(std::memory_order_seq_cst)) {
    int32_t filled = CopyFetch::kFilled;
    claimed = record.state.compare_exchange_strong(filled, CopyFetch::kClaimed, std::memory_order_acq_rel);
    if (claimed) {
      record.result = verifier_->CheckFile(record.index, record.buffer, static_cast<uint32_t>(record.size)) ? 1 : 0;
      record.state.store(CopyFetch::kChecked, std::memory_order_release);
    }
  }
  checking_.fetch_sub(1, std::memory_order_seq_cst);
  Wake(coordinator_, coordinatorWaiting_);
  return claimed;
}

// Of the records filled and not yet claimed, the one filled first (`sign`
// 1) or last (-1); null when there is none.
CopyFetch* ztFileCopier::UncheckedEnd(int32_t sign) {
  CopyFetch* best = nullptr;
  for (CopyFetch& r : fetches_) {
    if (r.state.load(std::memory_order_acquire) != CopyFetch::kFilled) continue;
    const int32_t age = static_cast<int32_t>(r.sequence.load(std::memory_order_relaxed) -
                                             (best ? best->sequence.load(std::memory_order_relaxed) : 0));
    if (!best || sign * age < 0) best = &r;
  }
  return best;
}

// A file of several blocks goes through the verifier block by block, which
// must never meet a whole-file check: the coordinator holds the checks
// before the file's first block and lets them go after its last.
void ztFileCopier::HoldChecks() {
  checksHeld_.store(1, std::memory_order_seq_cst);
  Await(coordinator_, coordinatorWaiting_, [&] { return checking_.load(std::memory_order_seq_cst) == 0; });
}

void ztFileCopier::ReleaseChecks() {
  checksHeld_.store(0, std::memory_order_seq_cst);
  Wake(reader_, readerWaiting_);
}

// After the job's turn: what the turn did not install is undone (a new file
// removed, a held installed file let go; a backup stays where the caller's
// journal finds it) and the record goes back to the fetcher.
void ztFileCopier::FreeRecord(CopyFetch& record) {
  CloseIf(record.source);
  DiscardTarget(record.target);
  // The record's next job is the same fetcher's (asked before the record
  // is let go: the fetcher may fill it again at once).
  Fetcher& next = fetchers_[record.index % kFetchers];
  record.state.store(CopyFetch::kFree, std::memory_order_release);
  Wake(next.thread, next.waiting);
}

void ztFileCopier::ClearRecord(CopyFetch& record) {
  CloseIf(record.source);
  DiscardTarget(record.target);
  record.kind = CopyFetch::kLeft;
  record.loaded = 0;
  record.result = 0;
  record.error = 0;
  record.sector = 0;
  record.size = 0;
  for (uint64_t& t : record.times) t = 0;
}

// At the run's end, with every worker ended.
void ztFileCopier::DiscardFetches() {
  auto discard = [this](CopyFetch& record) {
    ClearRecord(record);
    record.state.store(CopyFetch::kFree, std::memory_order_relaxed);
    if (record.buffer) FreeBuffer(record.buffer);
    record.buffer = nullptr;
  };
  for (CopyFetch& record : fetches_) discard(record);
  discard(own_);
}

// The copy engine's set-up, its failure reports and what its threads share.
//
// Threads: the caller's (construction, the setters, StartCopy, the
// destructor), the coordinator, the two fetchers, the ring's reader and writer
// and the flush queue's own. The setters refuse once the run has started,
// so the workers read the settings without a lock. The status record and
// every callback are under the coordinator's status lock: a report may
// come from any engine thread, and the first failure wins (`fatal_`).
#include <windows.h>

#include <new>

#include "file/textutil.h"
#include "file/ztCopyShared_win32.h"
#include "file/ztFileCopier.h"
#include "file/ztFlushQueue.h"
#include "platform/ztCaps.h"
#include "platform/ztDebug.h"
#include "platform/ztHeap.h"
#include "platform/ztThread.h"
#include "platform/ztWide.h"

using namespace ztcopy;

namespace {

// Before a side sleeps it looks at its condition for a while: first a few
// hundred times in a tight loop, then giving its processor away between
// looks for up to half a millisecond. The other side of a hand-off is
// usually that close, and sleeping and waking both cost a system call each.
constexpr int kSpins = 256;
constexpr int64_t kYieldMicroseconds = 500;
// Giving the processor away only pays while nobody else wants it: on a busy
// machine another program's thread takes the rest of its time slice (a
// scheduler tick or more) and the hand-off waits that long. A yield that
// comes back later than this shows such a machine; the thread then sleeps
// on its event at once, and tries yielding again only after a while.
constexpr int64_t kLongYieldMicroseconds = 50;
constexpr int64_t kYieldPauseMicroseconds = 100000;
thread_local int64_t t_yieldPausedUntil = 0;

// Gives the processor away between looks; true once `ready` holds.
bool YieldWhileIdle(ReadyFn ready, const void* context) {
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const int64_t perMicrosecond = frequency.QuadPart / 1000000 > 0 ? frequency.QuadPart / 1000000 : 1;
  if (start.QuadPart < t_yieldPausedUntil) return false;
  int64_t before = start.QuadPart;
  do {
    if (ready(context)) return true;
    SwitchToThread();
    QueryPerformanceCounter(&now);
    if (now.QuadPart - before > kLongYieldMicroseconds * perMicrosecond) {
      t_yieldPausedUntil = now.QuadPart + kYieldPauseMicroseconds * perMicrosecond;
      return false;
    }
    before = now.QuadPart;
  } while (now.QuadPart - start.QuadPart < kYieldMicroseconds * perMicrosecond);
  return false;
}

}  // namespace

namespace ztcopy {

// The fences pair with the one in Wake: either the waker sees `waiting`, or
// this side sees the change.
void Await(ztThread* self, std::atomic<int32_t>& waiting, ReadyFn ready, const void* context) {
  for (int i = 0; i < kSpins; ++i) {
    if (ready(context)) return;
    YieldProcessor();
  }
  if (YieldWhileIdle(ready, context)) return;
  for (;;) {
    waiting.store(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (ready(context)) break;
    self->WaitEvent(kWakeEvent, kPollMs);
    if (ready(context)) break;
  }
  waiting.store(0, std::memory_order_relaxed);
}

void Wake(ztThread* thread, std::atomic<int32_t>& waiting) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (thread && waiting.load(std::memory_order_relaxed)) thread->SetEvent(kWakeEvent);
}

ztPathKind PathKind(const char16_t* path, uint64_t* size) {
  if (size) *size = 0;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(W(path), GetFileExInfoStandard, &data)) return ZT_PATH_NONE;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return ZT_PATH_FOLDER;
  if (size) *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return ZT_PATH_FILE;
}

bool IsProgramFile(const char16_t* path) {
  const char16_t* ext = GetExtension(path);
  return lstrcmpiW(W(ext), L"exe") == 0 || lstrcmpiW(W(ext), L"dll") == 0;
}

bool SamePath(const char16_t* a, const char16_t* b) { return lstrcmpiW(W(a), W(b)) == 0; }

bool FolderCache::Exists(const char16_t* folder) {
  // Jobs come folder by folder, and a folder this run has seen or made
  // stays: asking the system once per folder is enough.
  if (known[0] && SamePath(known, folder)) return true;
  if (PathKind(folder, nullptr) != ZT_PATH_FOLDER) return false;
  Remember(folder);
  return true;
}

void FolderCache::Remember(const char16_t* folder) { (void)CopyText(known, folder); }

uint32_t SectorCache::Of(const char16_t* source) {
  wchar_t full[260];
  DWORD n = GetFullPathNameW(W(source), 260, full, nullptr);
  if (n == 0 || n >= 260) return 0;
  // The root is everything up to the first backslash; two backslashes
  // mean a network path, which is read buffered.
  DWORD cut = 0;
  while (cut < n && full[cut] != L'\\') ++cut;
  if (cut >= n || full[cut + 1] == L'\\') return 0;
  full[cut + 1] = 0;
  if (root[0] && lstrcmpiW(W(root), full) == 0) return sector;
  DWORD perCluster = 0, bytes = 0, freeClusters = 0, clusters = 0;
  sector = GetDiskFreeSpaceW(full, &perCluster, &bytes, &freeClusters, &clusters) ? bytes : 0;
  (void)CopyText(root, reinterpret_cast<const char16_t*>(full));
  return sector;
}

}  // namespace ztcopy

// ---- construction and set-up -----------------------------------------------

ztFileCopier::ztFileCopier(uint32_t slotCount, int32_t noUnbuffered) {
  // コピー用のバッファ数が0です
  if (slotCount == 0)
    AssertBox("\x83R\x83s\x81[\x97p\x82\xcc\x83o\x83\x62\x83t\x83@\x90\x94\x82\xaa\x30\x82\xc5\x82\xb7");
  slotCount_ = slotCount;
  ztWindowsRecord windows;
  GetWindowsRecord(&windows);
  unbufferedAllowed_ = (noUnbuffered == 0 && windows.code >= ZTWIN_2000) ? 1 : 0;
  // A slot array that cannot be had leaves slots_ null; the first file then
  // fails with the system's out-of-memory text instead of touching it. Heap
  // blocks are only 4-byte aligned (a count word precedes them), so the
  // array is placed at the next multiple of its own alignment.
  const uint32_t align = alignof(CopySlot);
  if (slotCount <= (UINT32_MAX - align) / sizeof(CopySlot)) {
    slotBlock_ = ztHeapAlloc(0, static_cast<uint32_t>(slotCount * sizeof(CopySlot) + align));
    if (slotBlock_) {
      uintptr_t at = (reinterpret_cast<uintptr_t>(slotBlock_) + align - 1) & ~static_cast<uintptr_t>(align - 1);
      slots_ = reinterpret_cast<CopySlot*>(at);
      for (uint32_t i = 0; i < slotCount; ++i) {
        CopySlot* s = new (&slots_[i]) CopySlot;
        s->free.store(1, std::memory_order_relaxed);
        s->last.store(0, std::memory_order_relaxed);
        s->buffer = nullptr;
        s->capacity = 0;
        s->length = 0;
      }
    }
  }
}

ztFileCopier::~ztFileCopier() {
  // From a callback other than the final one the engine is still in use on
  // the calling thread (and waiting for it would never end): refuse.
  const DWORD self = GetCurrentThreadId();
  const bool onEngineThread = (coordinator_ && coordinator_->GetThreadId() == self) ||
                              readerId_.load(std::memory_order_acquire) == self ||
                              writerId_.load(std::memory_order_acquire) == self;
  bool onFetcher = false;
  for (const Fetcher& f : fetchers_) onFetcher = onFetcher || f.id.load(std::memory_order_acquire) == self;
  if ((onEngineThread || onFetcher) && !finalCall_.load(std::memory_order_acquire)) {
    // コピー中のコールバックから破棄されました
    AssertBox(
        "\x83R\x83s\x81[\x92\x86\x82\xcc\x83R\x81[\x83\x8b\x83o\x83\x62\x83N\x82\xa9\x82\xe7\x94j\x8a\xfc"
        "\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd");
  }
  if (coordinator_ && coordinator_->GetHandle() && GetCurrentThreadId() != coordinator_->GetThreadId()) {
    // Normally the run has ended and this returns at once. An engine that
    // is destroyed while it runs is stopped first; its threads see the
    // flags within one polling period.
    stop_.store(1, std::memory_order_release);
    abort_.store(1, std::memory_order_release);
    coordinator_->WaitForExit();
  }
  // Only a coordinator that never started its workers leaves them here.
  delete reader_;
  delete writer_;
  reader_ = writer_ = nullptr;
  for (Fetcher& f : fetchers_) {
    delete f.thread;
    f.thread = nullptr;
  }
  ResetRing();
  DiscardFetches();
  if (slots_) {
    for (uint32_t i = 0; i < slotCount_; ++i) slots_[i].~CopySlot();
    slots_ = nullptr;
  }
  ztHeapFree(slotBlock_);
  slotBlock_ = nullptr;
  // Last, because a final callback that destroys the engine runs on this
  // thread: its handle is closed while it finishes, which Windows allows.
  delete coordinator_;
  coordinator_ = nullptr;
}

int32_t ztFileCopier::AddJob(const char16_t* source, const char16_t* destination, int32_t flag) {
  if (!source || !destination || started_.load(std::memory_order_acquire)) return 0;
  CopyJob job;
  if (CopyText(job.source, source) < 0 || CopyText(job.destination, destination) < 0) return 0;
  job.flag = flag;
  jobs_.push_back(job);
  return 1;
}

int32_t ztFileCopier::SetMode(int32_t mode) {
  if (started_.load(std::memory_order_acquire)) return 0;
  mode_ = mode;
  return 1;
}

int32_t ztFileCopier::SetBackupFolder(const char16_t* folder) {
  if (!folder || started_.load(std::memory_order_acquire)) return 0;
  char16_t copy[ZT_MAX_PATH];
  if (CopyText(copy, folder) < 0) return 0;
  (void)CopyText(backupFolder_, copy);  // same width
  return 1;
}

int32_t ztFileCopier::SetFlushThreads(int32_t threads) {
  if (threads < 0 || threads > 16 || started_.load(std::memory_order_acquire)) return 0;
  flushThreads_ = threads;
  return 1;
}

int32_t ztFileCopier::SetTotalSize(uint64_t bytes) {
  if (started_.load(std::memory_order_acquire)) return 0;
  totalSize_ = bytes;
  totalGiven_ = 1;
  return 1;
}

int32_t ztFileCopier::SetVerifier(ztCopyVerifier* verifier) {
  if (started_.load(std::memory_order_acquire)) return 0;
  verifier_ = verifier;
  return 1;
}

int32_t ztFileCopier::StartCopy(ProgressCallback progress, void* userData, ChunkHook chunkHook) {
  if (started_.exchange(1, std::memory_order_acq_rel)) return 0;
  // Set here, before the coordinator exists: a stop asked for from now on
  // (the destructor) must not be wiped out by the run's start.
  abort_.store(0, std::memory_order_relaxed);
  fatal_.store(0, std::memory_order_relaxed);
  progress_ = progress;
  userData_ = userData;
  chunkHook_ = chunkHook;
  coordinator_ = new ztThread;
  coordinator_->AddEvent(kWakeEvent, 0, 0);
  coordinator_->AddLock(kStatusLock);
  return coordinator_->Start(this, &ztFileCopier::CoordinatorRoutine) ? 1 : 0;
}

// ---- the system calls that move data ---------------------------------------

void* ztFileCopier::AllocateBuffer(uint32_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE); }

void ztFileCopier::FreeBuffer(void* buffer) { VirtualFree(buffer, 0, MEM_RELEASE); }

int32_t ztFileCopier::ReadBlock(intptr_t file, void* buffer, uint32_t request, uint32_t* got) {
  DWORD n = 0;
  BOOL ok = ReadFile(H(file), buffer, request, &n, nullptr);
  *got = n;
  return ok ? 1 : 0;
}

int32_t ztFileCopier::WriteBlock(intptr_t file, const void* buffer, uint32_t length, uint32_t* put) {
  DWORD n = 0;
  BOOL ok = WriteFile(H(file), buffer, length, &n, nullptr);
  *put = n;
  return ok ? 1 : 0;
}

// ---- failure reports and the callback -------------------------------------

int32_t ztFileCopier::CallProgress() { return progress_ ? progress_(userData_, &status_) : 1; }

bool ztFileCopier::Halted() const {
  return abort_.load(std::memory_order_acquire) || fatal_.load(std::memory_order_acquire);
}

void ztFileCopier::WakeAll() {
  for (Fetcher& f : fetchers_) Wake(f.thread, f.waiting);
  Wake(reader_, readerWaiting_);
  Wake(writer_, writerWaiting_);
  Wake(coordinator_, coordinatorWaiting_);
}

void ztFileCopier::RaiseStop() {
  stop_.store(1, std::memory_order_release);
  abort_.store(1, std::memory_order_release);
  WakeAll();
}

void ztFileCopier::ReportMessage(const char16_t* messageTemplate, const char16_t* argument) {
  coordinator_->Lock(kStatusLock);
  if (fatal_.exchange(1, std::memory_order_acq_rel)) {
    coordinator_->Unlock(kStatusLock);
    return;
  }
  status_.error = 1;
  ztFormatCopyMessage(status_.errorText, 512, messageTemplate, argument);
  CallProgress();
  coordinator_->Unlock(kStatusLock);
}

void ztFileCopier::ReportSystemError(uint32_t code, int32_t fromWorker) {
  coordinator_->Lock(kStatusLock);
  const bool reported = fatal_.exchange(1, std::memory_order_acq_rel) != 0;
  if (fromWorker) {
    stop_.store(1, std::memory_order_release);
    abort_.store(1, std::memory_order_release);
  }
  // One failure is reported once: when the reader and the writer fail
  // together, the second waits here while the user reads the first one's
  // box, and a second box (and a second failure message to the caller)
  // would only repeat it.
  if (reported) {
    coordinator_->Unlock(kStatusLock);
    WakeAll();
    return;
  }
  status_.error = 1;
  wchar_t* text = W(status_.errorText);
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, 512, nullptr);
  if (n == 0) {
    // システムエラー (%u)
    wsprintfW(text, L"\u30B7\u30B9\u30C6\u30E0\u30A8\u30E9\u30FC (%u)", code);
  } else {
    // The system ends its texts with a line break; a message box shows
    // the text without it.
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ')) text[--n] = 0;
  }
  CallProgress();
  coordinator_->Unlock(kStatusLock);
  // The other side may be waiting for a slot: let it see the flags now.
  WakeAll();
}

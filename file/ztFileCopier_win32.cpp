// The copy engine's threads and system calls.
//
// Three threads take part besides the caller's: the coordinator walks the
// queue and hands each file to the reader and the writer, which stream it
// through the ring of slots. Hand-offs never wait for a timer: whoever moves
// a file or a slot signals the other side's event at once, and a waiting side
// also looks again every 10 ms so that the abort and fatal flags are seen
// even if a signal is lost.
#include <windows.h>

#include <cstddef>
#include <new>

#include "file/pathutil.h"
#include "file/textutil.h"
#include "file/ztFile.h"
#include "file/ztFileCopier.h"
#include "file/ztFlushQueue.h"
#include "platform/ztCaps.h"
#include "platform/ztDebug.h"
#include "platform/ztHeap.h"
#include "platform/ztThread.h"
#include "platform/ztWide.h"

namespace {

HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
intptr_t I(HANDLE h) { return reinterpret_cast<intptr_t>(h); }

// Each thread has one auto-reset event (key 0). Whoever changes what a
// thread waits for (a file handed over, a slot filled or emptied, a side
// done with its file, a stop) signals that thread's event, but only while
// the thread has said it is waiting, which keeps system calls off the path
// of a busy hand-off.
constexpr uint32_t kWakeEvent = 0;
// The coordinator's lock serialises the status record and the callbacks.
constexpr uint32_t kStatusLock = 0;
// Longest time a waiting side goes without looking at the flags.
constexpr uint32_t kPollMs = 10;
// Before a side sleeps it looks at its condition for a while: first a few
// hundred times in a tight loop, then giving its processor away between
// looks for up to half a millisecond. The other side of a hand-off within a
// file is usually that close, and sleeping and waking both cost a system
// call each.
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

// フォルダ [%s] が作成出来ません
const char16_t kFolderMessage[] =
    u"$1010-0171$\u30D5\u30A9\u30EB\u30C0 [%s] \u304C\u4F5C\u6210\u51FA\u6765\u307E\u305B\u3093";
// ファイル [%s] がオープン出来ません
const char16_t kOpenMessage[] =
    u"$1010-0172$\u30D5\u30A1\u30A4\u30EB [%s] \u304C\u30AA\u30FC\u30D7\u30F3\u51FA\u6765\u307E\u305B\u3093";

// Numbers of temporary files, process-wide so that two engines never pick
// the same name.
std::atomic<uint32_t> g_tempNumber{0};

void CloseIf(intptr_t& h) {
  if (h) CloseHandle(H(h));
  h = 0;
}

// Whether a process that may own a leftover temporary file still runs. A
// process that cannot be asked (another user's) counts as running.
bool ProcessRuns(uint32_t pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return GetLastError() == ERROR_ACCESS_DENIED;
  bool runs = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return runs;
}

// Waits until `ready()` holds. Spins a little, then sleeps on the thread's
// event with `waiting` raised, looking again at least every 10 ms. The
// fences pair with the one in Wake: either the waker sees `waiting`, or this
// side sees the change.
template <class Ready>
void Await(ztThread* self, std::atomic<int32_t>& waiting, Ready ready) {
  for (int i = 0; i < kSpins; ++i) {
    if (ready()) return;
    YieldProcessor();
  }
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const int64_t perMicrosecond = frequency.QuadPart / 1000000 > 0 ? frequency.QuadPart / 1000000 : 1;
  if (start.QuadPart >= t_yieldPausedUntil) {
    int64_t before = start.QuadPart;
    do {
      if (ready()) return;
      SwitchToThread();
      QueryPerformanceCounter(&now);
      if (now.QuadPart - before > kLongYieldMicroseconds * perMicrosecond) {
        t_yieldPausedUntil = now.QuadPart + kYieldPauseMicroseconds * perMicrosecond;
        break;
      }
      before = now.QuadPart;
    } while (now.QuadPart - start.QuadPart < kYieldMicroseconds * perMicrosecond);
  }
  for (;;) {
    waiting.store(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (ready()) break;
    self->WaitEvent(kWakeEvent, kPollMs);
    if (ready()) break;
  }
  waiting.store(0, std::memory_order_relaxed);
}

// Called after the change a waiting thread looks for has been stored.
void Wake(ztThread* thread, std::atomic<int32_t>& waiting) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (thread && waiting.load(std::memory_order_relaxed)) thread->SetEvent(kWakeEvent);
}

// What is at a path, through the attribute query (cheaper than a directory
// search); a file's size goes to `size`.
ztPathKind PathKind(const char16_t* path, uint64_t* size) {
  if (size) *size = 0;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(W(path), GetFileExInfoStandard, &data)) return ZT_PATH_NONE;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return ZT_PATH_FOLDER;
  if (size) *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return ZT_PATH_FILE;
}

// Renaming the temporary file over the destination through the handle that
// wrote it: what MoveFileExW does inside, without opening both names again
// (under an emulation layer each name lookup in a large folder is a scan of
// the whole folder). The entry point is looked up once; without it, or when
// the system refuses, the caller falls back to MoveFileExW.
struct RenameInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;  // bytes
  WCHAR fileName[1];
};
struct IoStatus {
  union {
    LONG status;
    PVOID pointer;
  };
  ULONG_PTR information;
};
using SetInformationFileFn = LONG(WINAPI*)(HANDLE, IoStatus*, PVOID, ULONG, int);
constexpr int kFileRenameInformation = 10;

SetInformationFileFn SetInformationFile() {
  static SetInformationFileFn fn = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<SetInformationFileFn>(
                       reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSetInformationFile")))
                 : nullptr;
  }();
  return fn;
}

// The system's own name of a full path ("\??\C:\..." or
// "\??\UNC\server\..."); 0 for paths it has no such form for here.
int NtPathOf(const char16_t* path, wchar_t* out, size_t cap) {
  wchar_t full[ZT_MAX_PATH];
  DWORD n = GetFullPathNameW(W(path), ZT_MAX_PATH, full, nullptr);
  if (n == 0 || n >= ZT_MAX_PATH) return 0;
  const wchar_t* rest = full;
  const wchar_t* prefix = L"\\??\\";
  if (full[0] == L'\\' && full[1] == L'\\') {
    if (full[2] == L'?' || full[2] == L'.') return 0;  // already a device or long form
    prefix = L"\\??\\UNC\\";
    rest = full + 2;
  } else if (!(full[0] && full[1] == L':' && full[2] == L'\\')) {
    return 0;
  }
  size_t p = lstrlenW(prefix), r = lstrlenW(rest);
  if (p + r + 1 > cap) return 0;
  CopyMemory(out, prefix, p * sizeof(wchar_t));
  CopyMemory(out + p, rest, (r + 1) * sizeof(wchar_t));
  return static_cast<int>(p + r);
}

// 1 when the file behind `handle` (opened with DELETE access) now has the
// name `destination`, replacing what was there.
int RenameOpenFile(HANDLE handle, const char16_t* destination) {
  SetInformationFileFn setInformation = SetInformationFile();
  if (!setInformation) return 0;
  // The record ends in the name, as long as it needs to be.
  constexpr size_t kNameCap = ZT_MAX_PATH + 16;
  alignas(RenameInformation) unsigned char request[sizeof(RenameInformation) + kNameCap * sizeof(wchar_t)] = {};
  auto* info = reinterpret_cast<RenameInformation*>(request);
  auto* name = reinterpret_cast<wchar_t*>(request + offsetof(RenameInformation, fileName));
  int length = NtPathOf(destination, name, kNameCap);
  if (length <= 0) return 0;
  info->replaceIfExists = TRUE;
  info->rootDirectory = nullptr;
  info->fileNameLength = static_cast<ULONG>(length * sizeof(wchar_t));
  IoStatus io = {};
  return setInformation(handle, &io, request, sizeof request, kFileRenameInformation) >= 0 ? 1 : 0;
}

}  // namespace

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
  if (onEngineThread && !finalCall_.load(std::memory_order_acquire)) {
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
  ResetRing();
  DiscardTemp();
  DiscardAhead();
  CloseHandles();
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

// ---- buffers and handles -----------------------------------------------------

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

void ztFileCopier::ResetRing() {
  if (!slots_) return;
  for (uint32_t i = 0; i < slotCount_; ++i) {
    CopySlot& s = slots_[i];
    s.free.store(1, std::memory_order_relaxed);
    s.last.store(0, std::memory_order_relaxed);
    s.capacity = 0;
    s.length = 0;
    if (s.buffer) FreeBuffer(s.buffer);
    s.buffer = nullptr;
  }
}

// Between files of the same block size the buffers are kept: only the flags
// go back to empty. Allocating and releasing them per file costs more than
// copying a small file.
void ztFileCopier::ClearSlots() {
  if (!slots_) return;
  for (uint32_t i = 0; i < slotCount_; ++i) {
    slots_[i].free.store(1, std::memory_order_relaxed);
    slots_[i].last.store(0, std::memory_order_relaxed);
    slots_[i].length = 0;
  }
}

void ztFileCopier::CloseHandles() {
  CloseIf(source_);
  CloseIf(destination_);
  CloseIf(target_);
}

uint32_t ztFileCopier::SectorSizeOf(const char16_t* source) {
  wchar_t full[260];
  DWORD n = GetFullPathNameW(W(source), 260, full, nullptr);
  if (n == 0 || n >= 260) return 0;
  // The root is everything up to the first backslash; two backslashes
  // mean a network path, which is read buffered.
  DWORD cut = 0;
  while (cut < n && full[cut] != L'\\') ++cut;
  if (cut >= n || full[cut + 1] == L'\\') return 0;
  full[cut + 1] = 0;
  const char16_t* root = reinterpret_cast<const char16_t*>(full);
  if (sectorRoot_[0] && lstrcmpiW(W(sectorRoot_), full) == 0) return sectorOfRoot_;
  DWORD perCluster = 0, bytes = 0, freeClusters = 0, clusters = 0;
  uint32_t sector = GetDiskFreeSpaceW(full, &perCluster, &bytes, &freeClusters, &clusters) ? bytes : 0;
  (void)CopyText(sectorRoot_, root);
  sectorOfRoot_ = sector;
  return sector;
}

int32_t ztFileCopier::PrepareBuffers(const char16_t* source, uint32_t* systemError) {
  *systemError = 0;
  if (!slots_) {
    *systemError = ERROR_NOT_ENOUGH_MEMORY;
    return -1;
  }
  uint32_t sector = unbufferedAllowed_ ? SectorSizeOf(source) : 0;
  uint32_t block = ztCopyBlockSize(sector);
  if (block == 0) {
    sector = 0;
    block = ztCopyBlockSize(0);
  }
  sectorSize_ = sector;
  if (slots_[0].buffer && slots_[0].capacity == block) {
    ClearSlots();
    return sector ? 1 : 0;
  }
  ResetRing();
  for (uint32_t i = 0; i < slotCount_; ++i) {
    CopySlot& s = slots_[i];
    // Page-aligned memory, as unbuffered reads need.
    s.buffer = AllocateBuffer(block);
    if (!s.buffer) {
      DWORD e = GetLastError();
      *systemError = e ? e : ERROR_NOT_ENOUGH_MEMORY;
      ResetRing();
      return -1;
    }
    s.capacity = block;
    s.length = 0;
    s.last.store(0, std::memory_order_relaxed);
    s.free.store(1, std::memory_order_relaxed);
  }
  return sector ? 1 : 0;
}

int32_t ztFileCopier::OpenSource(const char16_t* source, int32_t unbuffered, intptr_t* handle, uint64_t* size) {
  *handle = 0;
  *size = 0;
  DWORD flags = FILE_FLAG_SEQUENTIAL_SCAN | (unbuffered ? FILE_FLAG_NO_BUFFERING : 0);
  HANDLE s = CreateFileW(W(source), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
  if (s == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER bytes;
  if (!GetFileSizeEx(s, &bytes)) {
    CloseHandle(s);
    return 0;
  }
  *handle = I(s);
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return 1;
}

int32_t ztFileCopier::BackupPath(size_t index, char16_t* path) {
  char16_t name[16] = u"\\";
  if (index > UINT32_MAX || !ztCopyBackupName(name + 1, 15, static_cast<uint32_t>(index)) ||
      ztAppendLong(path, ZT_LONG_PATH, backupFolder_, name) < 0) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  return 1;
}

int32_t ztFileCopier::CheckDestination(const CopyJob& job, size_t index, uint64_t size) {
  // An installed file must be writable now (not read-only, not held by
  // anyone), so the run fails here, before any data moves. The attribute
  // is checked too, because a process with full rights (an
  // administrator's, or one under an emulation layer) may be let in.
  const char16_t* destination = job.destination;
  DWORD attributes = GetFileAttributesW(W(destination));
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  const bool keep = backupFolder_[0] != 0;
  if (size == 0) {
    // No data, so nothing can be left half-written: the destination itself
    // is made (or emptied) and is complete at once. A file the caller wants
    // kept is moved away first.
    if (keep && attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      char16_t backup[ZT_LONG_PATH];
      if (!BackupPath(index, backup) || !MoveFileExW(W(destination), W(backup), MOVEFILE_REPLACE_EXISTING)) return 0;
    }
    HANDLE d = CreateFileW(W(destination), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_ARCHIVE, nullptr);
    if (d == INVALID_HANDLE_VALUE && !keep)
      d = CreateFileW(W(destination), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (d == INVALID_HANDLE_VALUE) return 0;
    destination_ = I(d);
    return 1;
  }
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // Held without sharing until the replacement is in place, so nobody
    // else changes the file meanwhile; with DELETE access when it is to be
    // moved to the backup folder through this handle.
    // A link in the destination's place is opened (and moved) as itself,
    // never followed to whatever it points at.
    HANDLE t = CreateFileW(W(destination), GENERIC_WRITE | (keep ? DELETE : 0), 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (t == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 1 : 0;
    target_ = I(t);
  }
  return 1;
}

int32_t ztFileCopier::CreateTemp(const char16_t* destination, char16_t* path, intptr_t* handle) {
  // The data goes into a temporary file in the same folder, so that the
  // final rename stays on one volume. `path` holds ZT_LONG_PATH units: next
  // to a destination deep in the tree the name is made in the long form.
  *handle = 0;
  path[0] = 0;
  char16_t folder[ZT_MAX_PATH];
  int hasFolder = GetParentFolder(destination, folder);
  if (hasFolder < 0) return 0;
  for (int attempt = 0; attempt < 64; ++attempt) {
    char16_t name[32] = u"\\";
    ztCopyTempName(name + 1, 31, GetCurrentProcessId(), g_tempNumber.fetch_add(1, std::memory_order_relaxed));
    int len = hasFolder == 1 ? ztAppendLong(path, ZT_LONG_PATH, folder, name) : CopyText(path, ZT_LONG_PATH, name + 1);
    if (len < 0) {
      path[0] = 0;
      return 0;
    }
    // Made with the attributes the installed file ends up with.
    // DELETE access lets the finished file be renamed through this handle.
    HANDLE d = CreateFileW(W(path), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (d != INVALID_HANDLE_VALUE) {
      *handle = I(d);
      return 1;
    }
    DWORD e = GetLastError();
    path[0] = 0;
    if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) return 0;
  }
  return 0;
}

// On failure `failed` names the file the user must look at: the source when
// it could not be opened, else the destination (held, read-only, or no room
// for its temporary file beside it); null when the failure was reported.
int32_t ztFileCopier::OpenPair(const CopyJob& job, size_t index, int32_t unbuffered, uint64_t* size,
                               const char16_t** failed) {
  CloseHandles();
  *failed = job.source;
  if (!OpenSource(job.source, unbuffered, &source_, size)) return 0;
  if (*size == 0 && !CheckEmptyFile(index)) {
    *failed = nullptr;
    return 0;
  }
  *failed = job.destination;
  // A verifier's file reaches its own name only once it is checked: a file
  // of one block is checked before that block is written, a longer one goes
  // through a temporary file.
  return OpenTarget(job, index, *size, !verifier_ || *size <= slots_[0].capacity);
}

// The destination side of a job whose source is open. `direct`: the file
// may be written under its own name (it is not a checked file that is
// checked only as its last block passes).
int32_t ztFileCopier::OpenTarget(const CopyJob& job, size_t index, uint64_t size, bool direct) {
  tempPath_[0] = 0;
  inPlace_ = 0;
  // Most destinations of an update are new: trying to make the file first
  // spares asking the system about a name that is not there.
  if (direct && CreateInPlace(job.destination)) return 1;
  if (!CheckDestination(job, index, size)) return 0;
  if (size == 0) return 1;
  // With a backup folder the installed file (held since the check) moves
  // there now, and its replacement is written under its own name: the
  // caller's journal puts the old file back if this one is not finished,
  // and a temporary name would cost a second rename.
  if (direct && target_ && backupFolder_[0]) return MoveTargetToBackup(job, index) && CreateInPlace(job.destination);
  // A new destination was tried above; what is left goes through a
  // temporary file.
  return CreateTemp(job.destination, tempPath_, &destination_);
}

int32_t ztFileCopier::MoveTargetToBackup(const CopyJob& job, size_t index) {
  // Through the handle that holds the file, so nobody can take the name in
  // between; by name when the system cannot rename an open file.
  char16_t backup[ZT_LONG_PATH];
  if (!BackupPath(index, backup)) {
    CloseIf(target_);
    return 0;
  }
  const bool moved = RenameOpenFile(H(target_), backup) != 0;
  CloseIf(target_);
  return moved || MoveFileExW(W(job.destination), W(backup), MOVEFILE_REPLACE_EXISTING);
}

int32_t ztFileCopier::CreateInPlace(const char16_t* destination) {
  // With a backup folder the caller keeps a journal of the run, which
  // removes a new file that was not finished: a destination that is not
  // there yet is then written under its own name, which spares the
  // temporary name and the rename (on some systems each new name in a
  // large folder costs a scan of the folder). It is still removed here when
  // its copy fails or is stopped.
  if (!backupFolder_[0]) return 0;
  HANDLE d = CreateFileW(W(destination), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (d == INVALID_HANDLE_VALUE) return 0;
  destination_ = I(d);
  (void)CopyText(tempPath_, ZT_LONG_PATH, destination);  // jobs' paths fit (AddJob)
  inPlace_ = 1;
  return 1;
}

void ztFileCopier::LookAhead(size_t index) {
  if (aheadIndex_ >= 0 || index >= jobs_.size()) return;
  const CopyJob& job = jobs_[index];
  // Only the common case: a file to copy into a folder that exists. Nothing
  // is reported from here, and nothing is done to the destination itself:
  // the job's own turn does that, after the current file is installed.
  if (!ShouldCopy(job) || PathKind(job.source, nullptr) != ZT_PATH_FILE) return;
  char16_t parent[260];
  if (GetParentFolder(job.destination, parent) != 1 || !FolderExists(parent)) return;
  uint32_t sector = unbufferedAllowed_ ? SectorSizeOf(job.source) : 0;
  int32_t unbuffered = (sector && ztCopyBlockSize(sector)) ? 1 : 0;
  CleanLeftovers(job.destination);
  if (!OpenSource(job.source, unbuffered, &aheadSource_, &aheadSize_)) return;
  if (aheadSize_ > 0 && !CreateTemp(job.destination, aheadTempPath_, &aheadTemp_)) {
    CloseIf(aheadSource_);
    return;
  }
  aheadUnbuffered_ = unbuffered;
  aheadIndex_ = static_cast<intptr_t>(index);
}

void ztFileCopier::DiscardAhead() {
  CloseIf(aheadSource_);
  CloseIf(aheadTemp_);
  if (aheadTempPath_[0]) DeleteFileW(W(aheadTempPath_));
  aheadTempPath_[0] = 0;
  aheadIndex_ = -1;
}

int32_t ztFileCopier::InstallTemp(const CopyJob& job, size_t index, uint32_t* systemError) {
  const char16_t* destination = job.destination;
  CloseIf(source_);
  if (target_ && backupFolder_[0] && !MoveTargetToBackup(job, index)) {
    // A file opened ahead still has its installed file in place: it leaves
    // for the backup folder now, the name is then free for the replacement.
    // A failure here leaves the destination as it was.
    DWORD e = GetLastError();
    *systemError = e ? e : ERROR_WRITE_FAULT;
    DiscardTemp();
    return 0;
  }
  // The installed file is let go just before its replacement takes its name.
  CloseIf(target_);
  // An empty source, or a new file, was written in place.
  if (inPlace_) {
    inPlace_ = 0;
    tempPath_[0] = 0;
  }
  if (!tempPath_[0]) {
    HandOverDestination();
    return 1;
  }
  const int renamed = RenameOpenFile(H(destination_), destination);
  if (renamed) {
    HandOverDestination();
    tempPath_[0] = 0;
    return 1;
  }
  // Moved by name below, which needs the file closed: a file the caller
  // wants on the disk is flushed here first (a rare path).
  if (flushThreads_ > 0 && !FlushFileBuffers(H(destination_))) {
    DWORD e = GetLastError();
    *systemError = e ? e : ERROR_WRITE_FAULT;
    DiscardTemp();
    return 0;
  }
  CloseIf(destination_);
  if (!MoveFileExW(W(tempPath_), W(destination), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DWORD e = GetLastError();
    *systemError = e ? e : ERROR_WRITE_FAULT;
    DiscardTemp();
    return 0;
  }
  tempPath_[0] = 0;
  return 1;
}

void ztFileCopier::HandOverDestination() {
  // An installed file is closed by the flush queue once its data is on the
  // disk; without one, here.
  if (flusher_ && destination_) {
    flusher_->Add(destination_);
    destination_ = 0;
    return;
  }
  CloseIf(destination_);
}

void ztFileCopier::DiscardTemp() {
  CloseIf(destination_);
  if (tempPath_[0]) DeleteFileW(W(tempPath_));
  tempPath_[0] = 0;
  inPlace_ = 0;
}

void ztFileCopier::CleanLeftovers(const char16_t* destination) {
  char16_t folder[260];
  if (GetParentFolder(destination, folder) != 1) return;
  for (const std::u16string& done : cleanedFolders_)
    if (lstrcmpiW(W(done.c_str()), W(folder)) == 0) return;
  cleanedFolders_.emplace_back(folder);
  ztDeleteCopyLeftovers(folder);
}

void ztDeleteCopyLeftovers(const char16_t* folder, bool anyProcess) {
  char16_t pattern[ZT_LONG_PATH];
  if (!folder || ztAppendLong(pattern, ZT_LONG_PATH, folder, u"\\~ztcp-*.tmp") < 0) return;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(W(pattern), &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const char16_t* name = reinterpret_cast<const char16_t*>(fd.cFileName);
    uint32_t pid = 0;
    if (!ztParseCopyTempName(name, &pid)) continue;
    // Our own files belong to a live run of this process; a live process's
    // file may be between its last write and its rename.
    if (!anyProcess && (pid == GetCurrentProcessId() || ProcessRuns(pid))) continue;
    char16_t path[ZT_LONG_PATH];
    char16_t tail[ZT_MAX_PATH + 1] = u"\\";
    if (CopyText(tail + 1, ZT_MAX_PATH, name) >= 0 && ztAppendLong(path, ZT_LONG_PATH, folder, tail) >= 0)
      DeleteFileW(W(path));
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}

// ---- the program-file rule ---------------------------------------------------

namespace {

// The files mode 1 may keep.
bool IsProgramFile(const char16_t* path) {
  const char16_t* ext = GetExtension(path);
  return lstrcmpiW(W(ext), L"exe") == 0 || lstrcmpiW(W(ext), L"dll") == 0;
}

}  // namespace

int32_t ztFileCopier::ShouldCopy(const CopyJob& job) const {
  if (mode_ != 1 || !IsProgramFile(job.destination)) return 1;
  ztFile probe;
  if (!probe.IsFile(job.destination)) return 1;
  // Two records of 6 KB each: too much for the stack of a worker thread
  // that may run inside a small host.
  auto* versions = static_cast<ztFileVersion*>(ztHeapAlloc(0, 2 * sizeof(ztFileVersion)));
  if (!versions) return 1;
  int32_t copy = 1;
  if (ReadFileVersionInfo(job.destination, &versions[0]) && ReadFileVersionInfo(job.source, &versions[1])) {
    // Each version as two words: (first << 16 | second), (third << 16 |
    // fourth); the installed file is kept only when it is strictly newer.
    uint64_t installed = FileVersionValue(versions[0]);
    uint64_t offered = FileVersionValue(versions[1]);
    uint32_t highI = static_cast<uint32_t>(installed >> 32), lowI = static_cast<uint32_t>(installed);
    uint32_t highO = static_cast<uint32_t>(offered >> 32), lowO = static_cast<uint32_t>(offered);
    if (highI > highO || (highI == highO && lowI > lowO)) copy = 0;
  }
  ztHeapFree(versions);
  return copy;
}

// ---- failure reports and the callback -------------------------------------

int32_t ztFileCopier::CallProgress() { return progress_ ? progress_(userData_, &status_) : 1; }

void ztFileCopier::WakeAll() {
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

// ---- the coordinator ----------------------------------------------------------

void ztFileCopier::CoordinatorRoutine(ztThread*, void* self) { static_cast<ztFileCopier*>(self)->RunJobs(); }

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
  reader_ = new ztThread;
  writer_ = new ztThread;
  reader_->AddEvent(kWakeEvent, 0, 0);
  writer_->AddEvent(kWakeEvent, 0, 0);
  const bool started =
      reader_->Start(this, &ztFileCopier::ReaderRoutine) && writer_->Start(this, &ztFileCopier::WriterRoutine);
  readerId_.store(reader_->GetThreadId(), std::memory_order_release);
  writerId_.store(writer_->GetThreadId(), std::memory_order_release);
  if (started) return 1;
  DWORD e = GetLastError();
  ReportSystemError(e ? e : ERROR_NOT_ENOUGH_MEMORY, 0);
  return 0;
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

int32_t ztFileCopier::RunJob(const CopyJob& job, size_t index) {
  coordinator_->Lock(kStatusLock);
  (void)CopyText(status_.source, job.source);  // jobs' paths fit (AddJob)
  (void)CopyText(status_.destination, job.destination);
  status_.jobFlag = job.flag;
  status_.fileSize = 0;
  status_.fileDone = 0;
  coordinator_->Unlock(kStatusLock);

  // A file read ahead is known to be a file, and never one mode 1 may keep.
  const bool fetched = IsFetched(index);
  if (!fetched && !ShouldCopy(job)) return SkipJob(job);

  // A job opened ahead is known to be a file.
  const bool openedAhead = aheadIndex_ == static_cast<intptr_t>(index);
  int32_t fromTemp = 0;
  if (!fetched && !openedAhead && PathKind(job.source, nullptr) == ZT_PATH_FOLDER) {
    // A verifier checks files: a source that turned into a folder is not
    // the file it was given.
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
  } else if (!CopyOneFile(job, index, fetched, &fromTemp)) {
    return 0;
  }

  // A file installed from its temporary file carries the archive attribute
  // alone already (the temporary file was made so). Otherwise asking is
  // cheaper than setting.
  if (!fromTemp && GetFileAttributesW(W(job.destination)) != FILE_ATTRIBUTE_ARCHIVE)
    SetFileAttributesW(W(job.destination), FILE_ATTRIBUTE_ARCHIVE);
  return 1;
}

void ztFileCopier::RunJobs() {
  source_ = destination_ = target_ = 0;
  ZeroBytes(&status_, sizeof status_);
  if (!StartWorkers()) {
    EndRun();
    return;
  }

  uint64_t total = 0;
  for (const CopyJob& job : jobs_) {
    uint64_t size = 0;
    PathKind(job.source, &size);  // 0 for a missing source or a folder
    total += size;
  }
  status_.totalSize = total;
  ResetRing();

  for (size_t index = 0; index < jobs_.size(); ++index) {
    // A stop may come at any moment (the engine destroyed right after its
    // start): no further job of any kind starts after it.
    if (abort_.load(std::memory_order_acquire)) break;
    if (!RunJob(jobs_[index], index)) break;
  }
  // Every file written is on the disk before the run is called done; a
  // flush that failed fails a run that had not failed already.
  if (flusher_) {
    const uint32_t e = flusher_->Finish();
    if (e && !abort_.load(std::memory_order_acquire) && !fatal_.load(std::memory_order_acquire))
      ReportSystemError(e, 0);
  }
  EndRun();
}

int32_t ztFileCopier::TakeAhead(const CopyJob& job, size_t index, uint64_t* size) {
  // Opened while the previous file was copied: only the destination's check
  // is left.
  CloseHandles();
  source_ = aheadSource_;
  destination_ = aheadTemp_;
  *size = aheadSize_;
  (void)CopyText(tempPath_, aheadTempPath_);  // same width
  inPlace_ = 0;
  aheadSource_ = aheadTemp_ = 0;
  aheadTempPath_[0] = 0;
  aheadIndex_ = -1;
  if (*size == 0 && !CheckEmptyFile(index)) return 0;
  if (CheckDestination(job, index, *size)) return 1;
  ReportMessage(kOpenMessage, job.destination);
  return 0;
}

int32_t ztFileCopier::OpenFresh(const CopyJob& job, size_t index, int32_t unbuffered, uint64_t* size) {
  DiscardAhead();
  if (!PrepareFolder(job)) return 0;
  const char16_t* failed = job.source;
  if (OpenPair(job, index, unbuffered, size, &failed)) return 1;
  if (failed) ReportMessage(kOpenMessage, failed);
  return 0;
}

// An empty file has no block to hold back: it is checked before its
// destination is made or emptied. 1 when there is no verifier or the file
// is right; 0 once the failure is reported.
int32_t ztFileCopier::CheckEmptyFile(size_t index) {
  if (!verifier_ || verifier_->CheckFile(index, "", 0)) return 1;
  ReportSystemError(ERROR_FILE_CORRUPT, 0);
  return 0;
}

int32_t ztFileCopier::PrepareFolder(const CopyJob& job) {
  char16_t parent[ZT_MAX_PATH];
  const int hasParent = GetParentFolder(job.destination, parent);
  // Most files go into a folder that exists already: ask before walking the
  // tree.
  const bool parentExists = hasParent == 1 && FolderExists(parent);
  if (!parentExists && !CreateFolderTree(job.destination, 1)) {
    (void)GetParentFolder(job.destination, parent);
    ReportMessage(kFolderMessage, parent);
    return 0;
  }
  if (hasParent == 1) (void)CopyText(knownFolder_, parent);  // same width
  CleanLeftovers(job.destination);
  return 1;
}

int32_t ztFileCopier::CopyOneFile(const CopyJob& job, size_t index, bool fetched, int32_t* fromTemp) {
  *fromTemp = 0;
  uint32_t error = 0;
  uint64_t size = 0;
  int32_t unbuffered = 0;
  void* fetchedData = nullptr;
  if (fetched) {
    // More files are read while this one's check finishes.
    ReadAhead(index + 1);
    if (!OpenFetched(job, index, &size, &fetchedData)) return 0;
  } else {
    unbuffered = PrepareBuffers(job.source, &error);
    if (unbuffered < 0) {
      ReportSystemError(error, 0);
      return 0;
    }
    const bool ahead = aheadIndex_ == static_cast<intptr_t>(index) && aheadUnbuffered_ == unbuffered;
    if (!(ahead ? TakeAhead(job, index, &size) : OpenFresh(job, index, unbuffered, &size))) return 0;
  }
  coordinator_->Lock(kStatusLock);
  status_.fileSize = size;
  status_.fileDone = 0;
  coordinator_->Unlock(kStatusLock);
  unbufferedNow_ = unbuffered;

  // A file of zero bytes makes no block: it is complete as soon as its
  // (empty) replacement exists (it was checked as its source was opened).
  fileComplete_.store(size == 0 ? 1 : 0, std::memory_order_release);
  if (verifier_ && !fetched) {
    if (size == 0) {
      ReadAhead(index + 1);
    } else {
      verifier_->BeginFile(index);
    }
  }
  if (fetched) {
    // As for any file of one block, a stop asked after it still installs
    // it: only a failure ends it here.
    (void)WriteOneBlock(fetchedData, static_cast<uint32_t>(size), true, true);
    ReleaseFetched();
    if (fatal_.load(std::memory_order_acquire)) {
      abort_.store(1, std::memory_order_release);
      return 0;
    }
  } else if (size > 0 && size <= slots_[0].capacity) {
    if (!CopyOneBlockFile(size, index)) {
      abort_.store(1, std::memory_order_release);
      return 0;
    }
  } else if (size > 0) {
    // The writer starts when the reader fills the first slot.
    writerBusy_.store(1, std::memory_order_release);
    readerBusy_.store(1, std::memory_order_release);
    Wake(reader_, readerWaiting_);
    // While the sides copy, open the next job's source and temporary file.
    LookAhead(index + 1);
    WaitForSides();
    if (fatal_.load(std::memory_order_acquire)) {
      abort_.store(1, std::memory_order_release);
      return 0;
    }
  }
  if (!fileComplete_.load(std::memory_order_acquire)) {
    // Stopped by the callback before the last block: the installed file
    // stays as it was.
    return 0;
  }
  FILETIME created, accessed, written;
  if (GetFileTime(H(source_), &created, &accessed, &written))
    SetFileTime(H(destination_), &created, &accessed, &written);
  ClearSlots();
  *fromTemp = tempPath_[0] ? 1 : 0;
  if (!InstallTemp(job, index, &error)) {
    ReportSystemError(error, 0);
    return 0;
  }
  return 1;
}

bool ztFileCopier::FolderExists(const char16_t* folder) {
  // Jobs come folder by folder, and a folder this run has seen or made
  // stays: asking the system once per folder is enough.
  if (knownFolder_[0] && lstrcmpiW(W(knownFolder_), W(folder)) == 0) return true;
  if (PathKind(folder, nullptr) != ZT_PATH_FOLDER) return false;
  (void)CopyText(knownFolder_, folder);
  return true;
}

void ztFileCopier::WaitForSides() {
  // Both sides must be done before the ring is used again. A side whose
  // thread has ended (it saw the stop flag before it took the file) no
  // longer touches anything.
  auto done = [](std::atomic<int32_t>& busy, ztThread* t) {
    return !busy.load(std::memory_order_acquire) || WaitForSingleObject(H(t->GetHandle()), 0) == WAIT_OBJECT_0;
  };
  Await(coordinator_, coordinatorWaiting_, [&] {
    return (!readerBusy_.load(std::memory_order_acquire) && !writerBusy_.load(std::memory_order_acquire)) ||
           stop_.load(std::memory_order_acquire);
  });
  // After a stop a side may have ended without taking the file.
  while (!done(readerBusy_, reader_) || !done(writerBusy_, writer_)) coordinator_->WaitEvent(kWakeEvent, kPollMs);
}

void ztFileCopier::EndRun() {
  stop_.store(1, std::memory_order_release);
  WakeAll();
  for (ztThread** t : {&reader_, &writer_}) {
    if (*t && (*t)->GetHandle()) (*t)->WaitForExit();
    delete *t;
    *t = nullptr;
  }
  readerId_.store(0, std::memory_order_release);
  writerId_.store(0, std::memory_order_release);
  ResetRing();
  DiscardTemp();
  DiscardAhead();
  DiscardFetches();
  CloseHandles();
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

// ---- the reader and the writer ---------------------------------------------

void ztFileCopier::ReaderRoutine(ztThread*, void* self) { static_cast<ztFileCopier*>(self)->ReadFileBlocks(); }

void ztFileCopier::WriterRoutine(ztThread*, void* self) { static_cast<ztFileCopier*>(self)->WriteFileBlocks(); }

void ztFileCopier::ReadFileBlocks() {
  auto ending = [this] { return stop_.load(std::memory_order_acquire) || fatal_.load(std::memory_order_acquire); };
  auto halted = [this] { return abort_.load(std::memory_order_acquire) || fatal_.load(std::memory_order_acquire); };
  for (;;) {
    // Wait for a file or a record to check; the flags end the thread.
    Await(reader_, readerWaiting_,
          [&] { return ending() || readerBusy_.load(std::memory_order_acquire) || (verifier_ && UncheckedEnd(1)); });
    if (ending()) return;
    if (CopyFetch* record = verifier_ ? UncheckedEnd(1) : nullptr) {
      CheckFetched(*record);
      continue;
    }

    const uint64_t size = status_.fileSize;
    const uint32_t sector = unbufferedNow_ ? sectorSize_ : 0;
    uint64_t position = 0;
    uint32_t index = 0;
    while (position < size) {
      CopySlot& slot = slots_[index];
      Await(reader_, readerWaiting_, [&] { return halted() || slot.free.load(std::memory_order_acquire); });
      if (halted()) break;

      uint32_t length = 0, request = 0, got = 0;
      ztCopyNextBlock(size, position, slot.capacity, sector, &length, &request);
      if (!slot.buffer || !ReadBlock(source_, slot.buffer, request, &got)) {
        DWORD e = slot.buffer ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        ReportSystemError(e ? e : ERROR_READ_FAULT, 1);
        break;
      }
      if (got == 0) {
        // The source became shorter than it was when it was opened.
        ReportSystemError(ERROR_HANDLE_EOF, 1);
        break;
      }
      if (got < length) length = got;
      position += length;
      slot.length = length;
      slot.last.store(position >= size ? 1 : 0, std::memory_order_relaxed);
      slot.free.store(0, std::memory_order_release);
      Wake(writer_, writerWaiting_);
      index = (index + 1) % slotCount_;
    }
    // The coordinator waits for both sides; the one that finishes last wakes
    // it (with the fence in Wake, at least one of the two sees the other
    // done).
    readerBusy_.store(0, std::memory_order_seq_cst);
    if (!writerBusy_.load(std::memory_order_seq_cst)) Wake(coordinator_, coordinatorWaiting_);
  }
}

int32_t ztFileCopier::WriteOneBlock(void* data, uint32_t length, bool last, bool checked) {
  if (chunkHook_) {
    coordinator_->Lock(kStatusLock);
    chunkHook_(userData_, data, status_.fileDone, length, &status_);
    coordinator_->Unlock(kStatusLock);
  }
  if (verifier_ && !checked) {
    verifier_->AddBlock(data, length);
    if (last && !verifier_->EndFile()) {
      ReportSystemError(ERROR_FILE_CORRUPT, 1);
      return 0;
    }
  }
  uint32_t put = 0;
  int32_t wrote = WriteBlock(destination_, data, length, &put);
  if (!wrote || put != length) {
    // A short write without an error is a full disk.
    DWORD e = wrote ? ERROR_DISK_FULL : GetLastError();
    ReportSystemError(e ? e : ERROR_WRITE_FAULT, 1);
    return 0;
  }
  coordinator_->Lock(kStatusLock);
  status_.fileDone += put;
  status_.totalDone += put;
  if (last) fileComplete_.store(1, std::memory_order_release);
  // Once the reader has reported a failure (under this lock), the next
  // call the user sees is the final one.
  int32_t go = fatal_.load(std::memory_order_acquire) ? 0 : CallProgress();
  coordinator_->Unlock(kStatusLock);
  if (!go) {
    RaiseStop();
    return 0;
  }
  return 1;
}

int32_t ztFileCopier::CopyOneBlockFile(uint64_t size, size_t index) {
  // The whole file is one block: the coordinator reads and writes it
  // itself. Handing it to the reader and the writer would buy no overlap
  // and cost two thread switches each way.
  CopySlot& slot = slots_[0];
  const uint32_t sector = unbufferedNow_ ? sectorSize_ : 0;
  uint32_t length = 0, request = 0, got = 0;
  ztCopyNextBlock(size, 0, slot.capacity, sector, &length, &request);
  if (!slot.buffer || !ReadBlock(source_, slot.buffer, request, &got)) {
    DWORD e = slot.buffer ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
    ReportSystemError(e ? e : ERROR_READ_FAULT, 1);
    return 0;
  }
  // A source that became shorter since it was opened: what was read is
  // written, then the run fails, as with a file read block by block.
  const bool whole = got >= length;
  // A checked file's bytes are written only once the whole file is checked.
  if (!whole && verifier_) {
    ReportSystemError(ERROR_HANDLE_EOF, 1);
    return 0;
  }
  // A checked file is checked before it is written (unless a hook may
  // still change the bytes), so that the next one can be fetched meanwhile.
  bool checked = false;
  if (verifier_ && whole && !chunkHook_) {
    verifier_->AddBlock(slot.buffer, length);
    if (!verifier_->EndFile()) {
      ReportSystemError(ERROR_FILE_CORRUPT, 1);
      return 0;
    }
    checked = true;
    ReadAhead(index + 1);
  }
  // A stop the callback asks for after the block still installs the file,
  // which is complete: only a failure ends it here.
  if (got > 0) (void)WriteOneBlock(slot.buffer, whole ? length : got, whole, checked);
  if (fatal_.load(std::memory_order_acquire)) return 0;
  if (!whole && !abort_.load(std::memory_order_acquire)) {
    ReportSystemError(ERROR_HANDLE_EOF, 1);
    return 0;
  }
  return 1;
}

void ztFileCopier::WriteFileBlocks() {
  auto ending = [this] { return stop_.load(std::memory_order_acquire) || fatal_.load(std::memory_order_acquire); };
  auto halted = [this] { return abort_.load(std::memory_order_acquire) || fatal_.load(std::memory_order_acquire); };
  for (;;) {
    // A file starts for the writer when its first block is there.
    Await(writer_, writerWaiting_, [&] {
      return ending() ||
             (writerBusy_.load(std::memory_order_acquire) && !slots_[0].free.load(std::memory_order_acquire));
    });
    if (ending()) return;

    uint32_t index = 0;
    for (;;) {
      CopySlot& slot = slots_[index];
      Await(writer_, writerWaiting_, [&] { return halted() || !slot.free.load(std::memory_order_acquire); });
      if (halted()) break;

      const bool last = slot.last.load(std::memory_order_relaxed) != 0;
      if (!WriteOneBlock(slot.buffer, slot.length, last, false)) break;
      slot.free.store(1, std::memory_order_release);
      Wake(reader_, readerWaiting_);
      if (last) break;
      index = (index + 1) % slotCount_;
    }
    writerBusy_.store(0, std::memory_order_seq_cst);
    if (!readerBusy_.load(std::memory_order_seq_cst)) Wake(coordinator_, coordinatorWaiting_);
  }
}

// ---- files read ahead in a checked run -----------------------------------------

bool ztFileCopier::IsFetched(size_t index) const {
  // Records are filled for consecutive jobs, so the oldest one left is the
  // current job's or none is.
  return fetchRead_ != fetchTaken_ && fetches_[fetchTaken_ % kFetchRecords].index == index;
}

void ztFileCopier::ReadAhead(size_t from) {
  // Called once the current file's check is done or handed over: the
  // verifier's whole-file checks never meet a file going through it block
  // by block, and a hook may still change the bytes a check is to see.
  if (!verifier_ || chunkHook_ || fetchDisabled_) return;
  if (fetchNext_ < from) fetchNext_ = from;
  if (fetchStop_ < from) fetchStop_ = SIZE_MAX;  // the coordinator is past it
  while (fetchRead_ - fetchTaken_ < kFetchRecords && fetchNext_ < jobs_.size() && fetchNext_ < fetchStop_) {
    if (!ReadOneAhead(fetches_[fetchRead_ % kFetchRecords], fetchNext_, from - 1)) {
      fetchStop_ = fetchNext_;
      return;
    }
    ++fetchNext_;
  }
}

bool ztFileCopier::ReadOneAhead(CopyFetch& record, size_t index, size_t current) {
  // What is not read here (a program file mode 1 may keep, a folder, an
  // empty file or one of more than one buffer, a read that fails) is the
  // coordinator's in the job's own turn, which reports what is wrong. So is
  // a source that a job before it (from the current one on) writes: it is
  // read after that write (paths compared as they are spelled).
  const CopyJob& job = jobs_[index];
  if (mode_ == 1 && IsProgramFile(job.destination)) return false;
  for (size_t j = current; j < index; ++j)
    if (lstrcmpiW(W(jobs_[j].destination), W(job.source)) == 0) return false;
  const uint32_t block = ztCopyBlockSize(0);
  if (!record.buffer && !(record.buffer = AllocateBuffer(block))) {
    // Without it every further file is read by the coordinator.
    fetchDisabled_ = 1;
    return false;
  }
  uint64_t size = 0;
  uint32_t got = 0;
  if (!OpenSource(job.source, 0, &record.source, &size)) return false;
  if (size == 0 || size > block || !ReadBlock(record.source, record.buffer, static_cast<uint32_t>(size), &got) ||
      got != size) {
    CloseIf(record.source);
    return false;
  }
  record.index = index;
  record.length = got;
  record.result = 0;
  record.sequence.store(fetchRead_, std::memory_order_relaxed);
  record.state.store(CopyFetch::kFilled, std::memory_order_release);
  ++fetchRead_;
  // A reader that has caught up and sleeps is woken for a few files at
  // once: each wake is a system call on the coordinator's path, and a file
  // the reader has not come to by its turn is checked by the coordinator.
  uint32_t unchecked = 0;
  for (const CopyFetch& r : fetches_)
    unchecked += r.state.load(std::memory_order_relaxed) == CopyFetch::kFilled ? 1 : 0;
  if (unchecked >= kFetchRecords / 2) Wake(reader_, readerWaiting_);
  return true;
}

// Of the records filled and not yet claimed, the one filled first (`sign`
// 1) or last (-1); null when there is none.
CopyFetch* ztFileCopier::UncheckedEnd(int32_t sign) {
  CopyFetch* best = nullptr;
  for (CopyFetch& r : fetches_) {
    if (r.state.load(std::memory_order_acquire) != CopyFetch::kFilled) continue;
    if (!best || sign * static_cast<int32_t>(r.sequence.load(std::memory_order_relaxed) -
                                             best->sequence.load(std::memory_order_relaxed)) <
                     0)
      best = &r;
  }
  return best;
}

void ztFileCopier::CheckFetched(CopyFetch& record) {
  // Whoever claims the record first checks it.
  int32_t filled = CopyFetch::kFilled;
  if (!record.state.compare_exchange_strong(filled, CopyFetch::kClaimed, std::memory_order_acq_rel)) return;
  record.result = verifier_->CheckFile(record.index, record.buffer, record.length) ? 1 : 0;
  record.state.store(CopyFetch::kChecked, std::memory_order_release);
  Wake(coordinator_, coordinatorWaiting_);
}

int32_t ztFileCopier::OpenFetched(const CopyJob& job, size_t index, uint64_t* size, void** data) {
  CopyFetch& record = fetches_[fetchTaken_ % kFetchRecords];
  // When the reader has not come to it yet, the coordinator checks it;
  // while the reader is at it, the coordinator checks the newest files
  // rather than wait (the reader takes the oldest first).
  CheckFetched(record);
  while (record.state.load(std::memory_order_acquire) != CopyFetch::kChecked) {
    CopyFetch* newest = UncheckedEnd(-1);
    if (!newest) break;
    CheckFetched(*newest);
  }
  // Otherwise the run is ending (a failure reported elsewhere, or the
  // engine destroyed); its end waits for the reader before it lets the
  // records go.
  Await(coordinator_, coordinatorWaiting_, [&] {
    return record.state.load(std::memory_order_acquire) == CopyFetch::kChecked ||
           stop_.load(std::memory_order_acquire) || fatal_.load(std::memory_order_acquire);
  });
  if (record.state.load(std::memory_order_acquire) != CopyFetch::kChecked) return 0;
  DiscardAhead();
  CloseHandles();
  source_ = record.source;
  record.source = 0;
  *size = record.length;
  *data = record.buffer;
  if (!record.result) {
    ReportSystemError(ERROR_FILE_CORRUPT, 0);
    return 0;
  }
  if (!PrepareFolder(job)) return 0;
  if (OpenTarget(job, index, *size, true)) return 1;
  ReportMessage(kOpenMessage, job.destination);
  return 0;
}

void ztFileCopier::ReleaseFetched() {
  // Its bytes are written: the record may be filled again.
  fetches_[fetchTaken_ % kFetchRecords].state.store(CopyFetch::kFree, std::memory_order_relaxed);
  ++fetchTaken_;
}

void ztFileCopier::DiscardFetches() {
  for (CopyFetch& r : fetches_) {
    CloseIf(r.source);
    r.state.store(CopyFetch::kFree, std::memory_order_relaxed);
    if (r.buffer) FreeBuffer(r.buffer);
    r.buffer = nullptr;
  }
  fetchRead_ = fetchTaken_ = 0;
  fetchNext_ = 0;
  fetchStop_ = SIZE_MAX;
}

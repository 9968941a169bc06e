// The ring: a file of several blocks streams from the reader thread to the
// writer thread through the slots, so that reading the source and writing
// the destination overlap.
//
// Threads: the coordinator hands a file over (ringSource_, ringFile_,
// ringSector_ and the slots' buffers set, then writerBusy_ and readerBusy_
// raised) and touches nothing of the ring until both sides have lowered
// their flag (WaitForSides). The reader fills slots in order and the writer
// empties them in order; a slot's `free` flag is their only hand-off. The
// side that finishes last wakes the coordinator. Between files the reader
// checks records for the verifier (see ztCopyFetch_win32.cpp); the writer
// only writes. Both end when the run ends (stop_) or fails (fatal_); a
// callback's stop (abort_) ends the current file only.
#include <windows.h>

#include "file/ztCopyShared_win32.h"
#include "file/ztFileCopier.h"
#include "platform/ztThread.h"

using namespace ztcopy;

// ---- the slots ----------------------------------------------------------------

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
// go back to empty.
void ztFileCopier::ClearSlots() {
  if (!slots_) return;
  for (uint32_t i = 0; i < slotCount_; ++i) {
    slots_[i].free.store(1, std::memory_order_relaxed);
    slots_[i].last.store(0, std::memory_order_relaxed);
    slots_[i].length = 0;
  }
}

// Buffers of the block size for `sector` (0: buffered reading). 1, or 0
// with the system's code in `systemError`.
int32_t ztFileCopier::PrepareBuffers(uint32_t sector, uint32_t* systemError) {
  *systemError = 0;
  if (!slots_) {
    *systemError = ERROR_NOT_ENOUGH_MEMORY;
    return 0;
  }
  const uint32_t block = ztCopyBlockSize(sector);
  if (slots_[0].buffer && slots_[0].capacity == block) {
    ClearSlots();
    return 1;
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
      return 0;
    }
    s.capacity = block;
  }
  return 1;
}

// ---- the coordinator's side -----------------------------------------------------

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

// ---- the reader -------------------------------------------------------------------

void ztFileCopier::ReaderRoutine(ztThread*, void* self) { static_cast<ztFileCopier*>(self)->ReadFileBlocks(); }

void ztFileCopier::ReadFileBlocks() {
  auto ending = [this] { return stop_.load(std::memory_order_acquire) || fatal_.load(std::memory_order_acquire); };
  auto checkable = [this] { return verifier_ && !checksHeld_.load(std::memory_order_acquire) && UncheckedEnd(1); };
  for (;;) {
    // Wait for a file or a record to check; the flags end the thread.
    Await(reader_, readerWaiting_,
          [&] { return ending() || readerBusy_.load(std::memory_order_acquire) || checkable(); });
    if (ending()) return;
    if (readerBusy_.load(std::memory_order_acquire)) {
      ReadRingFile();
      // The coordinator waits for both sides; the one that finishes last
      // wakes it (with the fence in Wake, at least one of the two sees the
      // other done).
      readerBusy_.store(0, std::memory_order_seq_cst);
      if (!writerBusy_.load(std::memory_order_seq_cst)) Wake(coordinator_, coordinatorWaiting_);
    } else if (CopyFetch* record = verifier_ ? UncheckedEnd(1) : nullptr) {
      (void)CheckFetched(*record);
    }
  }
}

void ztFileCopier::ReadRingFile() {
  const uint64_t size = status_.fileSize;
  uint64_t position = 0;
  uint32_t index = 0;
  while (position < size) {
    CopySlot& slot = slots_[index];
    Await(reader_, readerWaiting_, [&] { return Halted() || slot.free.load(std::memory_order_acquire); });
    if (Halted()) return;
    uint32_t length = 0, request = 0, got = 0;
    ztCopyNextBlock(size, position, slot.capacity, ringSector_, &length, &request);
    if (!ReadBlock(ringSource_, slot.buffer, request, &got)) {
      DWORD e = GetLastError();
      ReportSystemError(e ? e : ERROR_READ_FAULT, 1);
      return;
    }
    if (got == 0) {
      // The source became shorter than it was when it was opened.
      ReportSystemError(ERROR_HANDLE_EOF, 1);
      return;
    }
    if (got < length) length = got;
    position += length;
    slot.length = length;
    slot.last.store(position >= size ? 1 : 0, std::memory_order_relaxed);
    slot.free.store(0, std::memory_order_release);
    Wake(writer_, writerWaiting_);
    index = (index + 1) % slotCount_;
  }
}

// ---- the writer -------------------------------------------------------------------

void ztFileCopier::WriterRoutine(ztThread*, void* self) { static_cast<ztFileCopier*>(self)->WriteFileBlocks(); }

void ztFileCopier::WriteFileBlocks() {
  auto ending = [this] { return stop_.load(std::memory_order_acquire) || fatal_.load(std::memory_order_acquire); };
  for (;;) {
    // A file starts for the writer when its first block is there.
    Await(writer_, writerWaiting_, [&] {
      return ending() ||
             (writerBusy_.load(std::memory_order_acquire) && !slots_[0].free.load(std::memory_order_acquire));
    });
    if (ending()) return;
    WriteRingFile();
    writerBusy_.store(0, std::memory_order_seq_cst);
    if (!readerBusy_.load(std::memory_order_seq_cst)) Wake(coordinator_, coordinatorWaiting_);
  }
}

void ztFileCopier::WriteRingFile() {
  uint32_t index = 0;
  for (;;) {
    CopySlot& slot = slots_[index];
    Await(writer_, writerWaiting_, [&] { return Halted() || !slot.free.load(std::memory_order_acquire); });
    if (Halted()) return;
    const bool last = slot.last.load(std::memory_order_relaxed) != 0;
    if (!WriteOneBlock(ringFile_, slot.buffer, slot.length, last, false)) return;
    slot.free.store(1, std::memory_order_release);
    Wake(reader_, readerWaiting_);
    if (last) return;
    index = (index + 1) % slotCount_;
  }
}

// Writes one block of the current file: the caller's hook sees it first,
// then (for a file checked block by block, `checked` 0) the verifier; the
// callback hears of it after. Used by the writer and, for a file of one
// block, by the coordinator.
int32_t ztFileCopier::WriteOneBlock(intptr_t file, void* data, uint32_t length, bool last, bool checked) {
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
  int32_t wrote = WriteBlock(file, data, length, &put);
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

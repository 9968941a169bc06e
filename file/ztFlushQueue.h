// ztFlushQueue: puts finished files' data on the disk on threads of its own.
//
// A file's data is durable only once the system has been told to flush it,
// and a flush waits for the disk. The copy engine hands each file it has
// installed to this queue instead of closing it: a few threads flush and
// close the files while the engine goes on with the next ones, and several
// flushes at once let the file system write them out together. The handle
// the engine wrote through is flushed as it is (no second open, which under
// some systems costs more than the flush itself).
//
// Contract: Add and Finish are called from one thread (the engine's
// coordinator); the queue's own threads touch only the handles given to
// them. Windows build only.
#pragma once

#include <cstdint>

class ztFlushQueue {
 public:
  ztFlushQueue() = default;
  // Finish, then the threads end.
  ~ztFlushQueue();
  ztFlushQueue(const ztFlushQueue&) = delete;
  ztFlushQueue& operator=(const ztFlushQueue&) = delete;

  // Starts `threads` threads (1 to 16). 1, or 0 when none could be started
  // (the queue then flushes on the caller's thread, in Add).
  int32_t Start(int32_t threads);
  // Takes `handle` (a file open for writing): it is flushed and closed.
  void Add(intptr_t handle);
  // Waits until every file given so far is flushed and closed. 0 when every
  // flush succeeded, else the system error of the first that failed.
  uint32_t Finish();

 private:
  static unsigned long __stdcall ThreadRoutine(void* self);
  void Work();
  void Flush(intptr_t handle);

  void* lock_ = nullptr;       // CRITICAL_SECTION, allocated by Start
  void* wake_ = nullptr;       // CONDITION_VARIABLE: work or the end
  void* idle_ = nullptr;       // CONDITION_VARIABLE: the queue ran dry
  intptr_t* ring_ = nullptr;   // pending handles
  uint32_t capacity_ = 0, head_ = 0, count_ = 0, busy_ = 0;
  bool ending_ = false;
  uint32_t error_ = 0;
  void* threads_[16] = {};
  int32_t threadCount_ = 0;
};

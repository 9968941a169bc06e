#include "file/ztFlushQueue.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <new>

namespace {

CRITICAL_SECTION* Lock(void* p) { return static_cast<CRITICAL_SECTION*>(p); }
CONDITION_VARIABLE* Cv(void* p) { return static_cast<CONDITION_VARIABLE*>(p); }

// Files waiting at once; more make the engine wait for a free place (which
// only happens when the disk is far behind).
constexpr uint32_t kCapacity = 256;

}  // namespace

ztFlushQueue::~ztFlushQueue() {
  (void)Finish();
  if (lock_) {
    EnterCriticalSection(Lock(lock_));
    ending_ = true;
    LeaveCriticalSection(Lock(lock_));
    WakeAllConditionVariable(Cv(wake_));
  }
  for (int32_t i = 0; i < threadCount_; ++i) {
    WaitForSingleObject(threads_[i], INFINITE);
    CloseHandle(threads_[i]);
  }
  if (lock_) DeleteCriticalSection(Lock(lock_));
  delete Lock(lock_);
  delete Cv(wake_);
  delete Cv(idle_);
  delete[] ring_;
}

int32_t ztFlushQueue::Start(int32_t threads) {
  if (lock_ || threads < 1 || threads > 16) return 0;
  auto* lock = new (std::nothrow) CRITICAL_SECTION;
  auto* wake = new (std::nothrow) CONDITION_VARIABLE;
  auto* idle = new (std::nothrow) CONDITION_VARIABLE;
  auto* ring = new (std::nothrow) intptr_t[kCapacity];
  if (!lock || !wake || !idle || !ring) {
    delete lock;
    delete wake;
    delete idle;
    delete[] ring;
    return 0;
  }
  InitializeCriticalSection(lock);
  InitializeConditionVariable(wake);
  InitializeConditionVariable(idle);
  lock_ = lock;
  wake_ = wake;
  idle_ = idle;
  ring_ = ring;
  capacity_ = kCapacity;
  for (; threadCount_ < threads; ++threadCount_) {
    // A flush needs almost no stack.
    threads_[threadCount_] =
        CreateThread(nullptr, 64 * 1024, &ztFlushQueue::ThreadRoutine, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!threads_[threadCount_]) break;
  }
  return threadCount_ > 0 ? 1 : 0;
}

void ztFlushQueue::Flush(intptr_t handle) {
  HANDLE h = reinterpret_cast<HANDLE>(handle);
  const DWORD e = FlushFileBuffers(h) ? 0 : GetLastError();
  CloseHandle(h);
  if (e) {
    if (lock_) EnterCriticalSection(Lock(lock_));
    if (!error_) error_ = e;
    if (lock_) LeaveCriticalSection(Lock(lock_));
  }
}

void ztFlushQueue::Add(intptr_t handle) {
  if (!handle) return;
  if (threadCount_ == 0) {
    Flush(handle);
    return;
  }
  EnterCriticalSection(Lock(lock_));
  while (count_ == capacity_) SleepConditionVariableCS(Cv(idle_), Lock(lock_), INFINITE);
  ring_[(head_ + count_) % capacity_] = handle;
  ++count_;
  LeaveCriticalSection(Lock(lock_));
  WakeConditionVariable(Cv(wake_));
}

uint32_t ztFlushQueue::Finish() {
  if (threadCount_ == 0) return error_;
  EnterCriticalSection(Lock(lock_));
  while (count_ > 0 || busy_ > 0) SleepConditionVariableCS(Cv(idle_), Lock(lock_), INFINITE);
  const uint32_t e = error_;
  LeaveCriticalSection(Lock(lock_));
  return e;
}

unsigned long __stdcall ztFlushQueue::ThreadRoutine(void* self) {
  static_cast<ztFlushQueue*>(self)->Work();
  return 0;
}

void ztFlushQueue::Work() {
  EnterCriticalSection(Lock(lock_));
  for (;;) {
    while (count_ == 0 && !ending_) SleepConditionVariableCS(Cv(wake_), Lock(lock_), INFINITE);
    if (count_ == 0) break;  // ending, nothing left
    const intptr_t handle = ring_[head_];
    head_ = (head_ + 1) % capacity_;
    --count_;
    ++busy_;
    LeaveCriticalSection(Lock(lock_));
    // A place was freed: the engine may be waiting for one.
    WakeAllConditionVariable(Cv(idle_));
    Flush(handle);
    EnterCriticalSection(Lock(lock_));
    --busy_;
    if (count_ == 0 && busy_ == 0) WakeAllConditionVariable(Cv(idle_));
  }
  LeaveCriticalSection(Lock(lock_));
}

// ztThread: one worker thread together with the critical sections and events
// that its owner and the worker share, each addressed by a small key chosen
// by the owner. The owner adds every key before Start; afterwards both
// threads only read the maps, and the objects inside them do the locking.
//
// Win32 threads, critical sections and events in the Windows build; the
// host build has the same behaviour over the C++ library's threads (priority
// is not changed there), so the code built on it runs under the sanitizers.
#pragma once

#include <cstdint>
#include <map>

class ztThread;

// Runs on the new thread with the ztThread that started it and the user data
// given to Start. When it returns the thread ends with exit code 0.
using ztThreadRoutine = void (*)(ztThread* thread, void* userData);

// WaitEvent without a time limit.
constexpr uint32_t ZT_WAIT_FOREVER = 0xFFFFFFFFu;
// SetPriority values (the system's own numbers on Windows).
constexpr int32_t ZT_PRIORITY_NORMAL = 0;
constexpr int32_t ZT_PRIORITY_ABOVE_NORMAL = 1;

class ztThread {
 public:
  ztThread() = default;
  // Deletes the locks, closes the events and the thread handle. It neither
  // stops nor waits for the thread: the owner calls WaitForExit first.
  ~ztThread();
  ztThread(const ztThread&) = delete;
  ztThread& operator=(const ztThread&) = delete;

  // 1 when a new lock was made under `key`, 0 when the key already exists.
  int32_t AddLock(uint32_t key);
  // 1 when a new unnamed event was made under `key` (the handle is kept even
  // when the system refused, so later waits on it fail), 0 when the key exists.
  int32_t AddEvent(uint32_t key, int32_t manualReset, int32_t initialState);

  // A key that was never added does nothing.
  void Lock(uint32_t key);
  void Unlock(uint32_t key);
  // The system's result; 0 for a key that was never added.
  int32_t SetEvent(uint32_t key);
  int32_t ResetEvent(uint32_t key);
  // 1 only when the event was signalled within `milliseconds`
  // (0xFFFFFFFF waits without limit); 0 on time-out, failure or a missing key.
  int32_t WaitEvent(uint32_t key, uint32_t milliseconds);

  // Starts the thread through the runtime library. 1 if it was created.
  int32_t Start(void* userData, ztThreadRoutine routine);
  // SetThreadPriority on a started thread; nothing without one.
  void SetPriority(int32_t priority);
  // Polls every millisecond until the thread's exit code is no longer
  // STILL_ACTIVE; returns the result of the last exit-code query (0 when no
  // thread was started). Does not ask the thread to stop.
  int32_t WaitForExit();

  // The thread's handle (0 before Start) and id.
  intptr_t GetHandle() const { return thread_; }
  uint32_t GetThreadId() const { return threadId_; }

 private:
  // The new thread's first function (each system file defines it; Windows
  // wants its own calling convention for it).
#ifdef _WIN32
  static unsigned __stdcall Entry(void* self);
#else
  static unsigned Entry(void* self);
#endif

  intptr_t thread_ = 0;
  uint32_t threadId_ = 0;
  // Values are a heap-allocated CRITICAL_SECTION and an event HANDLE; the
  // header stays free of <windows.h> so callers need not include it.
  std::map<uint32_t, void*> locks_;
  std::map<uint32_t, void*> events_;
  ztThreadRoutine routine_ = nullptr;
  void* userData_ = nullptr;
};

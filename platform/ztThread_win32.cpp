#include "platform/ztThread.h"

#include <windows.h>
#include <process.h>

namespace {

// Lower-bound search plus equality test: a miss gives null and the caller
// does nothing.
void* Find(const std::map<uint32_t, void*>& map, uint32_t key) {
  auto it = map.lower_bound(key);
  if (it == map.end() || it->first != key) return nullptr;
  return it->second;
}

bool Has(const std::map<uint32_t, void*>& map, uint32_t key) {
  auto it = map.lower_bound(key);
  return it != map.end() && it->first == key;
}

}  // namespace

ztThread::~ztThread() {
  for (auto& kv : locks_) {
    auto* cs = static_cast<CRITICAL_SECTION*>(kv.second);
    DeleteCriticalSection(cs);
    delete cs;
  }
  locks_.clear();
  for (auto& kv : events_) {
    if (kv.second) CloseHandle(static_cast<HANDLE>(kv.second));
  }
  events_.clear();
  if (thread_) CloseHandle(reinterpret_cast<HANDLE>(thread_));
  thread_ = 0;
}

int32_t ztThread::AddLock(uint32_t key) {
  if (Has(locks_, key)) return 0;
  auto* cs = new CRITICAL_SECTION;
  InitializeCriticalSection(cs);
  locks_.emplace(key, cs);
  return 1;
}

int32_t ztThread::AddEvent(uint32_t key, int32_t manualReset, int32_t initialState) {
  if (Has(events_, key)) return 0;
  HANDLE h =
      CreateEventW(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr);
  events_.emplace(key, h);
  return 1;
}

void ztThread::Lock(uint32_t key) {
  if (void* cs = Find(locks_, key)) EnterCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
}

void ztThread::Unlock(uint32_t key) {
  if (void* cs = Find(locks_, key)) LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
}

int32_t ztThread::SetEvent(uint32_t key) {
  if (!Has(events_, key)) return 0;
  return ::SetEvent(static_cast<HANDLE>(Find(events_, key))) ? 1 : 0;
}

int32_t ztThread::ResetEvent(uint32_t key) {
  if (!Has(events_, key)) return 0;
  return ::ResetEvent(static_cast<HANDLE>(Find(events_, key))) ? 1 : 0;
}

int32_t ztThread::WaitEvent(uint32_t key, uint32_t milliseconds) {
  if (!Has(events_, key)) return 0;
  HANDLE h = static_cast<HANDLE>(Find(events_, key));
  if (!h) return 0;
  return WaitForSingleObject(h, milliseconds) == WAIT_OBJECT_0 ? 1 : 0;
}

unsigned __stdcall ztThread::Entry(void* self) {
  auto* t = static_cast<ztThread*>(self);
  if (t->routine_) t->routine_(t, t->userData_);
  _endthreadex(0);
  return 0;
}

int32_t ztThread::Start(void* userData, ztThreadRoutine routine) {
  userData_ = userData;
  routine_ = routine;
  unsigned id = 0;
  // Created suspended: the routine may ask for its own handle and id (the
  // copy engine does, to know whether it is ending on its own thread), so
  // both are stored before it runs.
  uintptr_t h = _beginthreadex(nullptr, 0, &ztThread::Entry, this, CREATE_SUSPENDED, &id);
  if (!h) return 0;
  // A second Start would otherwise leak the first handle; the owner is still
  // responsible for the first thread's end.
  if (thread_) CloseHandle(reinterpret_cast<HANDLE>(thread_));
  thread_ = static_cast<intptr_t>(h);
  threadId_ = id;
  if (ResumeThread(reinterpret_cast<HANDLE>(h)) == static_cast<DWORD>(-1)) {
    // A thread that never runs would make WaitForExit wait for ever; it has
    // run no code yet, so ending it here is safe.
    TerminateThread(reinterpret_cast<HANDLE>(h), 1);
    CloseHandle(reinterpret_cast<HANDLE>(h));
    thread_ = 0;
    threadId_ = 0;
    return 0;
  }
  return 1;
}

void ztThread::SetPriority(int32_t priority) {
  if (thread_) SetThreadPriority(reinterpret_cast<HANDLE>(thread_), priority);
}

int32_t ztThread::WaitForExit() {
  DWORD code = 0;
  BOOL result = FALSE;
  do {
    Sleep(1);
    result = GetExitCodeThread(reinterpret_cast<HANDLE>(thread_), &code);
  } while (result && code == STILL_ACTIVE);
  return result ? 1 : 0;
}

// Host build: the worker thread, its locks and events over the C++ library,
// with the Win32 meanings kept (recursive locks, auto- and manual-reset
// events, a wait with a time limit).
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/ztThread.h"

namespace {

struct Event {
  std::mutex mutex;
  std::condition_variable changed;
  bool manualReset = false;
  bool signaled = false;
};

void* Find(const std::map<uint32_t, void*>& map, uint32_t key) {
  auto it = map.find(key);
  return it == map.end() ? nullptr : it->second;
}

}  // namespace

ztThread::~ztThread() {
  for (auto& kv : locks_) delete static_cast<std::recursive_mutex*>(kv.second);
  locks_.clear();
  for (auto& kv : events_) delete static_cast<Event*>(kv.second);
  events_.clear();
  // The owner waits for the end first; a thread still running is let go
  // rather than ending the process.
  if (auto* t = reinterpret_cast<std::thread*>(thread_)) {
    if (t->joinable()) t->detach();
    delete t;
  }
  thread_ = 0;
}

int32_t ztThread::AddLock(uint32_t key) {
  if (locks_.count(key)) return 0;
  locks_.emplace(key, new std::recursive_mutex);
  return 1;
}

int32_t ztThread::AddEvent(uint32_t key, int32_t manualReset, int32_t initialState) {
  if (events_.count(key)) return 0;
  auto* e = new Event;
  e->manualReset = manualReset != 0;
  e->signaled = initialState != 0;
  events_.emplace(key, e);
  return 1;
}

void ztThread::Lock(uint32_t key) {
  if (void* m = Find(locks_, key)) static_cast<std::recursive_mutex*>(m)->lock();
}

void ztThread::Unlock(uint32_t key) {
  if (void* m = Find(locks_, key)) static_cast<std::recursive_mutex*>(m)->unlock();
}

int32_t ztThread::SetEvent(uint32_t key) {
  auto* e = static_cast<Event*>(Find(events_, key));
  if (!e) return 0;
  {
    std::lock_guard<std::mutex> hold(e->mutex);
    e->signaled = true;
  }
  e->changed.notify_all();
  return 1;
}

int32_t ztThread::ResetEvent(uint32_t key) {
  auto* e = static_cast<Event*>(Find(events_, key));
  if (!e) return 0;
  std::lock_guard<std::mutex> hold(e->mutex);
  e->signaled = false;
  return 1;
}

int32_t ztThread::WaitEvent(uint32_t key, uint32_t milliseconds) {
  auto* e = static_cast<Event*>(Find(events_, key));
  if (!e) return 0;
  std::unique_lock<std::mutex> hold(e->mutex);
  auto signaled = [e] { return e->signaled; };
  if (milliseconds == ZT_WAIT_FOREVER) {
    e->changed.wait(hold, signaled);
  } else if (!e->changed.wait_for(hold, std::chrono::milliseconds(milliseconds), signaled)) {
    return 0;
  }
  // An auto-reset event lets one waiter through.
  if (!e->manualReset) e->signaled = false;
  return 1;
}

unsigned ztThread::Entry(void* self) {
  auto* t = static_cast<ztThread*>(self);
  if (t->routine_) t->routine_(t, t->userData_);
  return 0;
}

int32_t ztThread::Start(void* userData, ztThreadRoutine routine) {
  userData_ = userData;
  routine_ = routine;
  if (auto* old = reinterpret_cast<std::thread*>(thread_)) {
    if (old->joinable()) old->detach();
    delete old;
  }
  // The id is known before the routine runs, as on Windows: the thread
  // waits for this lock, which is held until both are stored.
  static std::mutex starting;
  std::lock_guard<std::mutex> hold(starting);
  auto* t = new std::thread([this] {
    { std::lock_guard<std::mutex> wait(starting); }
    Entry(this);
  });
  thread_ = reinterpret_cast<intptr_t>(t);
  threadId_ = static_cast<uint32_t>(std::hash<std::thread::id>{}(t->get_id()) | 1);
  return 1;
}

void ztThread::SetPriority(int32_t) {}

int32_t ztThread::WaitForExit() {
  auto* t = reinterpret_cast<std::thread*>(thread_);
  if (!t) return 0;
  if (t->joinable()) t->join();
  return 1;
}

#include "platform/ztThread.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

TEST(ThreadKeys, AddingAKeyTwiceFailsAndKeepsTheFirstObject) {
  ztThread t;
  EXPECT_EQ(t.AddLock(3), 1);
  EXPECT_EQ(t.AddLock(3), 0);
  EXPECT_EQ(t.AddLock(4), 1);
  EXPECT_EQ(t.AddEvent(1, 1, 1), 1);
  EXPECT_EQ(t.AddEvent(1, 0, 0), 0);
  // Still the first event: manual-reset and signalled.
  EXPECT_EQ(t.WaitEvent(1, 0), 1);
  EXPECT_EQ(t.WaitEvent(1, 0), 1);
  // Lock and event keys are separate.
  EXPECT_EQ(t.AddEvent(3, 0, 0), 1);
}

TEST(ThreadKeys, MissingKeysDoNothing) {
  ztThread t;
  t.AddEvent(1, 1, 0);
  t.AddLock(1);
  t.Lock(7);
  t.Unlock(7);
  EXPECT_EQ(t.SetEvent(7), 0);
  EXPECT_EQ(t.ResetEvent(7), 0);
  // Must not block, even without a time limit.
  EXPECT_EQ(t.WaitEvent(7, INFINITE), 0);
  EXPECT_EQ(t.WaitEvent(1, 0), 0);
}

TEST(ThreadEvents, WaitResults) {
  ztThread t;
  t.AddEvent(0, 1, 0);  // manual reset
  t.AddEvent(1, 0, 0);  // auto reset
  DWORD before = GetTickCount();
  EXPECT_EQ(t.WaitEvent(0, 0), 0);
  EXPECT_LT(GetTickCount() - before, 500u);
  EXPECT_EQ(t.WaitEvent(0, 20), 0);
  EXPECT_EQ(t.SetEvent(0), 1);
  EXPECT_EQ(t.WaitEvent(0, 0), 1);
  EXPECT_EQ(t.WaitEvent(0, INFINITE), 1);
  EXPECT_EQ(t.ResetEvent(0), 1);
  EXPECT_EQ(t.WaitEvent(0, 0), 0);
  EXPECT_EQ(t.SetEvent(1), 1);
  EXPECT_EQ(t.WaitEvent(1, 0), 1);
  EXPECT_EQ(t.WaitEvent(1, 0), 0);  // the wait consumed it
}

namespace {

struct Shared {
  ztThread* seen = nullptr;
  DWORD threadId = 0;
  std::atomic<int> done{0};
  long counter = 0;
};

void Record(ztThread* t, void* user) {
  auto* s = static_cast<Shared*>(user);
  s->seen = t;
  s->threadId = GetCurrentThreadId();
  s->done = 1;
}

void SlowRecord(ztThread* t, void* user) {
  Sleep(100);
  Record(t, user);
}

void CountUnderLock(ztThread* t, void* user) {
  auto* s = static_cast<Shared*>(user);
  for (int i = 0; i < 20000; ++i) {
    t->Lock(0);
    long v = s->counter;
    if (i % 1000 == 0) Sleep(0);
    s->counter = v + 1;
    t->Unlock(0);
  }
}

void WaitForGo(ztThread* t, void*) { t->WaitEvent(0, 10000); }

}  // namespace

TEST(ThreadRun, RoutineGetsTheObjectAndUserDataOnAnotherThread) {
  ztThread t;
  Shared s;
  EXPECT_EQ(t.GetHandle(), 0);
  ASSERT_EQ(t.Start(&s, &Record), 1);
  EXPECT_NE(t.GetHandle(), 0);
  EXPECT_EQ(t.WaitForExit(), 1);
  EXPECT_EQ(s.done.load(), 1);
  EXPECT_EQ(s.seen, &t);
  EXPECT_NE(s.threadId, GetCurrentThreadId());
  EXPECT_EQ(s.threadId, t.GetThreadId());
  DWORD code = 1234;
  ASSERT_TRUE(GetExitCodeThread(reinterpret_cast<HANDLE>(t.GetHandle()), &code));
  EXPECT_EQ(code, 0u);
}

TEST(ThreadRun, WaitForExitWaitsForTheRoutine) {
  ztThread t;
  Shared s;
  ASSERT_EQ(t.Start(&s, &SlowRecord), 1);
  EXPECT_EQ(t.WaitForExit(), 1);
  EXPECT_EQ(s.done.load(), 1);
}

TEST(ThreadRun, WaitForExitAfterTheRoutineEndedReturnsPromptly) {
  ztThread t;
  Shared s;
  ASSERT_EQ(t.Start(&s, &Record), 1);
  WaitForSingleObject(reinterpret_cast<HANDLE>(t.GetHandle()), 10000);
  DWORD before = GetTickCount();
  EXPECT_EQ(t.WaitForExit(), 1);
  EXPECT_LT(GetTickCount() - before, 500u);
}

TEST(ThreadRun, WithoutAThreadNothingIsWaitedFor) {
  ztThread t;
  t.SetPriority(THREAD_PRIORITY_ABOVE_NORMAL);
  EXPECT_EQ(t.WaitForExit(), 0);
}

TEST(ThreadRun, LocksSerialiseOwnerAndWorker) {
  ztThread t;
  Shared s;
  t.AddLock(0);
  ASSERT_EQ(t.Start(&s, &CountUnderLock), 1);
  CountUnderLock(&t, &s);
  t.WaitForExit();
  EXPECT_EQ(s.counter, 40000);
}

TEST(ThreadRun, PriorityIsSetOnTheRunningThread) {
  ztThread t;
  t.AddEvent(0, 1, 0);
  ASSERT_EQ(t.Start(nullptr, &WaitForGo), 1);
  t.SetPriority(THREAD_PRIORITY_ABOVE_NORMAL);
  EXPECT_EQ(GetThreadPriority(reinterpret_cast<HANDLE>(t.GetHandle())),
            THREAD_PRIORITY_ABOVE_NORMAL);
  t.SetEvent(0);
  EXPECT_EQ(t.WaitForExit(), 1);
}

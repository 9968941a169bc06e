// What the copy engine's files share: handle conversions, the hand-off
// between its threads (Await and Wake), its two user messages and the
// system calls more than one of its stages makes. Internal to the engine.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "file/pathutil.h"

class ztThread;

namespace ztcopy {

inline HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
inline intptr_t I(HANDLE h) { return reinterpret_cast<intptr_t>(h); }

inline void CloseIf(intptr_t& h) {
  if (h) CloseHandle(H(h));
  h = 0;
}

// Each engine thread has one auto-reset event (key 0). Whoever changes what
// a thread waits for (a record filled or freed, a slot filled or emptied, a
// side done with its file, a stop) signals that thread's event, but only
// while the thread has said it is waiting, which keeps system calls off the
// path of a busy hand-off.
constexpr uint32_t kWakeEvent = 0;
// The coordinator's lock serialises the status record and the callbacks.
constexpr uint32_t kStatusLock = 0;
// Longest time a waiting side goes without looking at the flags.
constexpr uint32_t kPollMs = 10;

// フォルダ [%s] が作成出来ません
inline constexpr char16_t kFolderMessage[] =
    u"$1010-0171$\u30D5\u30A9\u30EB\u30C0 [%s] \u304C\u4F5C\u6210\u51FA\u6765\u307E\u305B\u3093";
// ファイル [%s] がオープン出来ません
inline constexpr char16_t kOpenMessage[] =
    u"$1010-0172$\u30D5\u30A1\u30A4\u30EB [%s] \u304C\u30AA\u30FC\u30D7\u30F3\u51FA\u6765\u307E\u305B\u3093";

// Waits until `ready()` holds: spins a little, gives the processor away for
// up to half a millisecond while nobody else wants it, then sleeps on the
// thread's event with `waiting` raised, looking again at least every 10 ms.
// `ready` is a plain function and its argument, so that the loop is not a
// template every caller instantiates.
using ReadyFn = bool (*)(const void* context);
void Await(ztThread* self, std::atomic<int32_t>& waiting, ReadyFn ready, const void* context);

template <class Ready>
void Await(ztThread* self, std::atomic<int32_t>& waiting, const Ready& ready) {
  Await(
      self, waiting, [](const void* c) { return (*static_cast<const Ready*>(c))(); }, &ready);
}

// Called after the change a waiting thread looks for has been stored.
void Wake(ztThread* thread, std::atomic<int32_t>& waiting);

// What is at a path, through the attribute query (cheaper than a directory
// search); a file's size goes to `size`.
ztPathKind PathKind(const char16_t* path, uint64_t* size);

// The files the newer-program rule (mode 1) may keep.
bool IsProgramFile(const char16_t* path);

// Two spellings of one path, compared as the system compares names.
bool SamePath(const char16_t* a, const char16_t* b);

}  // namespace ztcopy

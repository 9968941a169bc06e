#include "app/DeltaApply.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "app/UpdateJournal.h"
#include "file/pathutil.h"
#include "file/ztCrypto.h"
#include "file/ztDelta.h"
#include "file/ztFileCopier.h"
#include "file/ztFlushQueue.h"
#include "platform/ztWide.h"

namespace {

// Bases are hashed in pieces of this size.
constexpr DWORD kHashBlock = 1u << 20;
// Segments from this size on are hashed and written on threads of their own.
constexpr uint32_t kPipelinedSegment = 1u << 20;

// Temporary names of delta outputs: the copy engine's form (so that a
// rollback, or the next run's recovery, removes one a killed run left),
// numbered from the top so they never meet the engine's own.
std::atomic<uint32_t> g_outputNumber{0xD0000000u};

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }
  void Close() {
    if (h_) CloseHandle(h_);
    h_ = nullptr;
  }
  HANDLE Get() const { return h_; }
  void Release() { h_ = nullptr; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HANDLE h_ = nullptr;
};

bool JoinFile(const char16_t* folder, const std::u16string& relative, char16_t (&out)[ZT_LONG_PATH]) {
  return ztAppendLong(out, ZT_LONG_PATH, folder, (u"\\" + relative).c_str()) >= 0;
}

// The installed file, opened as itself (a link is not followed) for
// reading, shared with readers only: nobody changes it while it is read.
// `forMove` adds the right to rename it (into the backup folder). Null for
// anything but a plain file.
HANDLE OpenInstalled(const char16_t* path, bool forMove) {
  HANDLE h = CreateFileW(W(path), GENERIC_READ | (forMove ? DELETE : 0), FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(h);
    return nullptr;
  }
  return h;
}

uint64_t SizeOf(HANDLE h) {
  LARGE_INTEGER size;
  return GetFileSizeEx(h, &size) ? static_cast<uint64_t>(size.QuadPart) : UINT64_MAX;
}

bool ReadAt(HANDLE h, uint64_t offset, void* data, uint32_t length) {
  auto* p = static_cast<uint8_t*>(data);
  while (length > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(h, p, length, &got, &at) || got == 0) return false;
    p += got;
    offset += got;
    length -= got;
  }
  return true;
}

bool ReadNext(HANDLE h, void* data, uint32_t length) {
  auto* p = static_cast<uint8_t*>(data);
  while (length > 0) {
    DWORD got = 0;
    if (!ReadFile(h, p, length, &got, nullptr) || got == 0) return false;
    p += got;
    length -= got;
  }
  return true;
}

// One thread that runs a step on a block while the caller prepares the
// next: Give hands a block over once the previous one is done with; Wait
// waits for the last.
class Stage {
 public:
  explicit Stage(std::function<void(const uint8_t*, uint32_t)> step) : step_(std::move(step)) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (...) {
      // No thread: each block is done on the caller's.
    }
  }
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;
  ~Stage() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ending_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  void Give(const uint8_t* data, uint32_t length) {
    if (!thread_.joinable()) return step_(data, length);
    std::lock_guard<std::mutex> lock(mutex_);
    data_ = data;
    length_ = length;
    pending_ = true;
    changed_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return pending_ || ending_; });
      if (!pending_) return;
      lock.unlock();
      step_(data_, length_);
      lock.lock();
      pending_ = false;
      changed_.notify_all();
    }
  }

  std::function<void(const uint8_t*, uint32_t)> step_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const uint8_t* data_ = nullptr;
  uint32_t length_ = 0;
  bool pending_ = false, ending_ = false;
  std::thread thread_;
};

bool IsBase(const char16_t* installFolder, const ManifestDelta& delta, uint8_t* buffer) {
  char16_t path[ZT_LONG_PATH];
  if (!JoinFile(installFolder, delta.Target(), path)) return false;
  Handle file(OpenInstalled(path, false));
  if (!file || SizeOf(file.Get()) != delta.baseSize) return false;
  ztSha256 hash;
  for (uint64_t left = delta.baseSize; left > 0;) {
    const DWORD n = static_cast<DWORD>(std::min<uint64_t>(left, kHashBlock));
    if (!ReadNext(file.Get(), buffer, n)) return false;
    hash.Update(buffer, n);
    left -= n;
  }
  return hash.Finish() == delta.baseSha256;
}

}  // namespace

std::vector<char> CheckDeltaBases(const char16_t* installFolder, const std::vector<ManifestDelta>& deltas) {
  std::vector<char> matches(deltas.size(), 0);
  std::vector<size_t> order(deltas.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return deltas[a].baseSize > deltas[b].baseSize; });
  std::atomic<size_t> next{0};
  auto work = [&] {
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kHashBlock]);
    if (!buffer) return;  // left unmatched: the whole file, or a refusal
    for (size_t k; (k = next.fetch_add(1)) < order.size();)
      matches[order[k]] = IsBase(installFolder, deltas[order[k]], buffer.get()) ? 1 : 0;
  };
  std::thread second;
  if (deltas.size() > 1) {
    try {
      second = std::thread(work);
    } catch (...) {
      // One thread does it all.
    }
  }
  work();
  if (second.joinable()) second.join();
  return matches;
}

int ApplyDeltaJob(const char16_t* packageFolder, const char16_t* installFolder, const char16_t* backupFolder,
                  const ManifestDelta& delta, size_t index, ztFlushQueue* flusher, DeltaFailure* failure) {
  const std::u16string target = delta.Target();
  auto fail = [&](const std::u16string& file, const char* words, bool notVerified) {
    failure->file = file;
    failure->text.assign(words, words + std::char_traits<char>::length(words));
    failure->notVerified = notVerified;
    return 0;
  };
  char16_t deltaPath[ZT_LONG_PATH], backup[ZT_LONG_PATH], temp[ZT_LONG_PATH];
  char16_t installed[ZT_MAX_PATH], parent[ZT_MAX_PATH];
  char16_t backupName[16] = u"\\", tempName[40] = u"\\";
  // The installation's paths fit (the plan was made from them); the
  // temporary name beside a deep one is made in the long form.
  if (!JoinFile(packageFolder, delta.path, deltaPath) ||
      JoinPath(installed, 2, installFolder, target.c_str()) < 0 || GetParentFolder(installed, parent) != 1 ||
      !ztCopyBackupName(backupName + 1, 15, static_cast<uint32_t>(index)) ||
      ztAppendLong(backup, ZT_LONG_PATH, backupFolder, backupName) < 0 ||
      !ztCopyTempName(tempName + 1, 39, GetCurrentProcessId(), g_outputNumber.fetch_add(1)) ||
      ztAppendLong(temp, ZT_LONG_PATH, parent, tempName) < 0)
    return fail(target, "path too long", false);

  Handle source(CreateFileW(W(deltaPath), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!source || SizeOf(source.Get()) != delta.size) return fail(delta.path, "file missing", true);
  // Held from here until it is in the backup folder.
  Handle base(OpenInstalled(installed, true));
  if (!base || SizeOf(base.Get()) != delta.baseSize) return fail(target, "the installed file changed", false);
  Handle output(CreateFileW(W(temp), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!output) return fail(target, "could not be created", false);
  auto discard = [&] {
    output.Close();
    DeleteFileW(W(temp));
  };

  ztSha256 deltaHash, outputHash;
  uint64_t deltaRead = 0;
  std::atomic<bool> writeFailed{false};
  // A large segment's output is copied once, then hashed on one thread and
  // written on another while the next segment is decoded: the three take
  // about the same time, and hashing alone is the slowest. A small one is
  // hashed and written here (starting threads would cost more).
  std::unique_ptr<uint8_t[]> copy;
  uint32_t copyCapacity = 0;
  auto hash = [&](const uint8_t* data, uint32_t length) { outputHash.Update(data, length); };
  auto write = [&](const uint8_t* data, uint32_t length) {
    DWORD put = 0;
    if (!WriteFile(output.Get(), data, length, &put, nullptr) || put != length) writeFailed = true;
  };
  std::unique_ptr<Stage> hashing, writing;
  auto drain = [&] {
    if (hashing) hashing->Wait();
    if (writing) writing->Wait();
  };
  ztDeltaApplyIo io;
  io.readBase = [&](uint64_t offset, void* data, uint32_t length) { return ReadAt(base.Get(), offset, data, length); };
  io.readDelta = [&](void* data, uint32_t length) {
    if (!ReadNext(source.Get(), data, length)) return false;
    deltaHash.Update(data, length);
    deltaRead += length;
    return true;
  };
  io.writeOutput = [&](const void* data, uint32_t length) {
    drain();
    if (writeFailed) return false;
    if (length < kPipelinedSegment && !hashing) {
      hash(static_cast<const uint8_t*>(data), length);
      write(static_cast<const uint8_t*>(data), length);
      return !writeFailed;
    }
    if (length > copyCapacity) {
      copy.reset();
      copy.reset(new (std::nothrow) uint8_t[length]);
      copyCapacity = copy ? length : 0;
      if (!copy) {
        writeFailed = true;
        return false;
      }
    }
    if (!hashing) {
      hashing.reset(new (std::nothrow) Stage(hash));
      writing.reset(new (std::nothrow) Stage(write));
      if (!hashing || !writing) {
        writeFailed = true;
        return false;
      }
    }
    std::memcpy(copy.get(), data, length);
    hashing->Give(copy.get(), length);
    writing->Give(copy.get(), length);
    return true;
  };
  ztDeltaHeader header;
  int result = ztApplyDelta(io, delta.baseSize, delta.size, &header);
  drain();
  if (result == kDeltaOk && writeFailed) result = kDeltaWriteFailed;
  if (result != kDeltaOk) {
    discard();
    if (result == kDeltaWriteFailed) return fail(target, "write failed", false);
    if (result == kDeltaNoMemory) return fail(target, "not enough memory", false);
    if (result == kDeltaReadFailed) return fail(target, "read failed", false);
    // A delta that does not decode is a damaged package: refused, and
    // reported as any file whose bytes are not the listed ones when it is
    // not (the rest is read for its digest).
    uint8_t rest[4096];
    while (deltaRead < delta.size) {
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(sizeof rest, delta.size - deltaRead));
      if (!io.readDelta(rest, n)) break;
    }
    const bool differs = deltaRead == delta.size && deltaHash.Finish() != delta.sha256;
    return fail(delta.path, differs ? VerifyFailureWords(kVerifyHashMismatch) : ztDeltaResultWords(result), true);
  }
  // Neither a changed delta nor an output other than the listed one ever
  // takes the installed file's name.
  if (deltaHash.Finish() != delta.sha256) {
    discard();
    return fail(delta.path, VerifyFailureWords(kVerifyHashMismatch), true);
  }
  if (header.outputSize != delta.outputSize || outputHash.Finish() != delta.outputSha256) {
    discard();
    return fail(delta.path, VerifyFailureWords(kVerifyHashMismatch), true);
  }
  if (header.writeTime) {
    FILETIME written;
    written.dwLowDateTime = static_cast<DWORD>(header.writeTime);
    written.dwHighDateTime = static_cast<DWORD>(header.writeTime >> 32);
    (void)SetFileTime(output.Get(), nullptr, nullptr, &written);
  }
  // On the disk before the update can be committed: flushed here, or by
  // the caller's queue (which the commit waits for) once it has its name.
  if (!flusher && !FlushFileBuffers(output.Get())) {
    discard();
    return fail(target, "write failed", false);
  }
  if (!ztRenameOpenFile(reinterpret_cast<intptr_t>(base.Get()), backup)) {
    discard();
    return fail(target, "could not be moved to the journal folder", false);
  }
  if (!ztRenameOpenFile(reinterpret_cast<intptr_t>(output.Get()), installed)) {
    // The old file takes its name back; if even that fails, the journal
    // puts it back.
    (void)ztRenameOpenFile(reinterpret_cast<intptr_t>(base.Get()), installed);
    discard();
    return fail(target, "could not be renamed", false);
  }
  if (flusher) {
    flusher->Add(reinterpret_cast<intptr_t>(output.Get()));
    output.Release();
  }
  return 1;
}

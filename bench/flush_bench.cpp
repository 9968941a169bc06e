// What putting an update's files on the disk costs, by method. Each round
// writes the same 1000 files of 100 KiB (an update's typical files) into a
// fresh folder and times the whole, from the first write until every file's
// data is durable:
//   none      no flush at all (the floor);
//   inline    each file flushed on the writing thread before it is closed;
//   overlap-K each file handed to the copy engine's flush queue with K
//             threads (K = 1, 2, 4), which flush and close it while the
//             writer goes on with the next file (what the updater does);
//   after-K   every file written and closed, then opened again and flushed
//             by K threads at once (K = 1, 2, 4, 8);
//   batch     where the system has NtFlushBuffersFileEx: each file's data
//             written out without a flush of the disk's cache, by 4
//             threads, then one flush of the cache; elsewhere not run.
// Methods take turns within a round; the median of each over the rounds is
// printed, with its ratio to "none".
//
// Usage: flush_bench [work folder] [rounds] [files] [KiB per file]
//   defaults: %TEMP%\zt-flush-bench, 5 rounds, 1000 files of 100 KiB.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "file/ztFlushQueue.h"

namespace {

using std::wstring;

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

struct IoStatus {
  void* pointer;
  ULONG_PTR information;
};
using FlushExFn = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, IoStatus*);
constexpr ULONG kFlushNoSync = 0x2;  // write the data out, leave the disk's cache

FlushExFn FlushEx() {
  static FlushExFn fn = reinterpret_cast<FlushExFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtFlushBuffersFileEx")));
  return fn;
}

struct Setup {
  wstring folder;
  int files = 1000;
  DWORD bytes = 100 * 1024;
  std::vector<char> data;
  wstring PathOf(int i) const { return folder + L"\\f" + std::to_wstring(i) + L".dat"; }
};

HANDLE Create(const Setup& s, int i) {
  HANDLE h = CreateFileW(s.PathOf(i).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE,
                         nullptr);
  DWORD put = 0;
  if (h == INVALID_HANDLE_VALUE || !WriteFile(h, s.data.data(), s.bytes, &put, nullptr) || put != s.bytes) {
    std::fprintf(stderr, "cannot write file %d\n", i);
    std::exit(1);
  }
  return h;
}

void Clear(const Setup& s) {
  for (int i = 0; i < s.files; ++i) DeleteFileW(s.PathOf(i).c_str());
}

double RunNone(const Setup& s) {
  const double t0 = Now();
  for (int i = 0; i < s.files; ++i) CloseHandle(Create(s, i));
  return Now() - t0;
}

double RunInline(const Setup& s) {
  const double t0 = Now();
  for (int i = 0; i < s.files; ++i) {
    HANDLE h = Create(s, i);
    FlushFileBuffers(h);
    CloseHandle(h);
  }
  return Now() - t0;
}

// Each file handed, once written, to the engine's own flush queue with
// `threads` threads, which flush and close it while the next is written.
double RunOverlap(const Setup& s, int threads) {
  const double t0 = Now();
  ztFlushQueue queue;
  (void)queue.Start(threads);
  for (int i = 0; i < s.files; ++i) queue.Add(reinterpret_cast<intptr_t>(Create(s, i)));
  if (queue.Finish() != 0) {
    std::fprintf(stderr, "a flush failed\n");
    std::exit(1);
  }
  return Now() - t0;
}

// Every file written first, then flushed by `threads` threads; with
// `writeOut`, through NtFlushBuffersFileEx without the cache flush, and one
// FlushFileBuffers at the end.
double RunAfter(const Setup& s, int threads, bool writeOut) {
  const double t0 = Now();
  for (int i = 0; i < s.files; ++i) CloseHandle(Create(s, i));
  std::atomic<int> next{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (int i; (i = next.fetch_add(1)) < s.files;) {
        HANDLE h = CreateFileW(s.PathOf(i).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (writeOut) {
          IoStatus io = {};
          FlushEx()(h, kFlushNoSync, nullptr, 0, &io);
        } else {
          FlushFileBuffers(h);
        }
        CloseHandle(h);
      }
    });
  }
  for (std::thread& t : pool) t.join();
  if (writeOut) {
    HANDLE h = CreateFileW(s.PathOf(0).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    FlushFileBuffers(h);
    CloseHandle(h);
  }
  return Now() - t0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Setup s;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  s.folder = argc > 1 ? argv[1] : wstring(temp) + L"zt-flush-bench";
  const int rounds = argc > 2 ? std::max(1, _wtoi(argv[2])) : 5;
  if (argc > 3) s.files = std::max(1, _wtoi(argv[3]));
  if (argc > 4) s.bytes = static_cast<DWORD>(std::max(1, _wtoi(argv[4]))) * 1024;
  CreateDirectoryW(s.folder.c_str(), nullptr);
  s.data.resize(s.bytes);
  uint32_t x = 12345;
  for (char& c : s.data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }

  struct Method {
    const char* name;
    double (*run)(const Setup&);
    std::vector<double> times;
  };
  std::vector<Method> methods = {
      {"none", RunNone, {}},
      {"inline", RunInline, {}},
      {"overlap-1", [](const Setup& t) { return RunOverlap(t, 1); }, {}},
      {"overlap-2", [](const Setup& t) { return RunOverlap(t, 2); }, {}},
      {"overlap-4", [](const Setup& t) { return RunOverlap(t, 4); }, {}},
      {"after-1", [](const Setup& t) { return RunAfter(t, 1, false); }, {}},
      {"after-2", [](const Setup& t) { return RunAfter(t, 2, false); }, {}},
      {"after-4", [](const Setup& t) { return RunAfter(t, 4, false); }, {}},
      {"after-8", [](const Setup& t) { return RunAfter(t, 8, false); }, {}},
  };
  if (FlushEx()) methods.push_back({"batch", [](const Setup& t) { return RunAfter(t, 4, true); }, {}});
  std::printf("%d files of %lu KiB in %ls, %d rounds%s\n", s.files, static_cast<unsigned long>(s.bytes / 1024),
              s.folder.c_str(), rounds, FlushEx() ? "" : " (no NtFlushBuffersFileEx here: no batch method)");
  for (int r = 0; r < rounds; ++r) {
    for (Method& m : methods) {
      Clear(s);
      // The write-back of the files just deleted must not land in the
      // next method's time.
      RunAfter(s, 1, false);
      Clear(s);
      m.times.push_back(m.run(s));
    }
  }
  Clear(s);
  RemoveDirectoryW(s.folder.c_str());
  const double floor = Median(methods[0].times);
  for (const Method& m : methods)
    std::printf("%-8s %8.1f ms  x%.2f\n", m.name, Median(m.times), floor > 0 ? Median(m.times) / floor : 0.0);
  return 0;
}

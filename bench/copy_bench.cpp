// Copy engine against a plain CopyFileW loop, on the same files in one run:
//   (a) one 512 MiB file, (b) 200 files of 1 MiB, (c) 2000 files of 4 KiB,
//   (d) 2000 empty files, (e) 1000 files of 100 KiB (an update's typical
//   files).
// Each case is timed several times, the two contenders taking turns so that
// neither always finds a warmer cache; the best time of each is printed with
// the ratio engine / CopyFileW and the processor time of each of those runs
// (all threads), which shows that no engine thread spins while it waits.
//
// Usage: copy_bench [work folder] [rounds] [buffered|unbuffered] [cases]
//   defaults: %TEMP%\zt-copy-bench, 3 rounds; "buffered" builds the engine
//   with unbuffered reading refused, for comparison; cases is a subset of
//   "abcde" (all by default).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "file/ztFileCopier.h"
#include "platform/ztCaps.h"
#include "platform/ztHeap.h"

namespace {

using std::wstring;

int32_t g_noUnbuffered = 0;

const char16_t* U(const wstring& s) { return reinterpret_cast<const char16_t*>(s.c_str()); }

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

bool WriteFileOf(const wstring& path, uint64_t size, uint32_t seed) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::vector<char> block(1 << 20);
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : block) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  bool ok = true;
  for (uint64_t done = 0; ok && done < size;) {
    DWORD n = static_cast<DWORD>(std::min<uint64_t>(block.size(), size - done));
    DWORD put = 0;
    ok = WriteFile(h, block.data(), n, &put, nullptr) && put == n;
    done += n;
  }
  CloseHandle(h);
  return ok;
}

void RemoveTree(const wstring& folder) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      wstring path = folder + L"\\" + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(folder.c_str());
}

struct Case {
  const char* label;
  int count;
  uint64_t size;
  wstring folder;
  std::vector<wstring> names;
};

struct Waiter {
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  int error = 0;
  ~Waiter() { CloseHandle(done); }
};

int32_t OnProgress(void* user, const CopyStatus* s) {
  auto* w = static_cast<Waiter*>(user);
  if (s->finished) {
    w->error = s->error;
    SetEvent(w->done);
  }
  return 1;
}

// Processor time of the whole process so far, in milliseconds.
double CpuNow() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto ms = [](FILETIME t) { return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0; };
  return ms(kernel) + ms(user);
}
double g_cpu = 0;  // of the last run of either contender

// Milliseconds for one contender; negative when a copy failed.
double RunCopyFile(const Case& c, const wstring& out) {
  CreateDirectoryW(out.c_str(), nullptr);
  const double cpu = CpuNow();
  double start = Now();
  for (const wstring& name : c.names)
    if (!CopyFileW((c.folder + L"\\" + name).c_str(), (out + L"\\" + name).c_str(), FALSE)) return -1;
  const double took = Now() - start;
  g_cpu = CpuNow() - cpu;
  return took;
}

double RunEngine(const Case& c, const wstring& out) {
  CreateDirectoryW(out.c_str(), nullptr);
  const double cpu = CpuNow();
  double start = Now();
  Waiter w;
  {
    // As the updater uses it: 3 slots, unbuffered reading allowed, mode 1,
    // replaced files kept in a backup folder beside the destinations.
    ztFileCopier copier(3, g_noUnbuffered);
    (void)copier.SetMode(1);
    const wstring keep = out + L"\\.keep";
    CreateDirectoryW(keep.c_str(), nullptr);
    (void)copier.SetBackupFolder(U(keep));
    for (const wstring& name : c.names)
      (void)copier.AddJob(U(c.folder + L"\\" + name), U(out + L"\\" + name), 0);
    if (!copier.StartCopy(OnProgress, &w, nullptr)) return -1;
    WaitForSingleObject(w.done, INFINITE);
  }
  double took = Now() - start;
  g_cpu = CpuNow() - cpu;
  return w.error ? -1 : took;
}

}  // namespace

int main(int argc, char** argv) {
  ztHeapCreate(0xA00000);
  ztCapsCreate(ZTCAPS_WINDOWS, 0);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  wstring root = wstring(temp) + L"zt-copy-bench";
  if (argc > 1) {
    wchar_t arg[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, arg, MAX_PATH);
    root = arg;
  }
  int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  g_noUnbuffered = (argc > 3 && std::string(argv[3]) == "buffered") ? 1 : 0;
  std::string only = argc > 4 ? argv[4] : "abcde";
  RemoveTree(root);
  CreateDirectoryW(root.c_str(), nullptr);

  std::vector<Case> cases = {{"(a) 1 x 512 MiB", 1, 512ull << 20, L"", {}},
                             {"(b) 200 x 1 MiB", 200, 1ull << 20, L"", {}},
                             {"(c) 2000 x 4 KiB", 2000, 4096, L"", {}},
                             {"(d) 2000 x 0 B", 2000, 0, L"", {}},
                             {"(e) 1000 x 100 KiB", 1000, 100 << 10, L"", {}}};
  std::vector<Case> chosen;
  for (Case& c : cases)
    if (only.find(c.label[1]) != std::string::npos) chosen.push_back(c);
  cases = chosen;
  int index = 0;
  for (Case& c : cases) {
    c.folder = root + L"\\src" + std::to_wstring(index++);
    CreateDirectoryW(c.folder.c_str(), nullptr);
    for (int i = 0; i < c.count; ++i) {
      wchar_t name[32];
      wsprintfW(name, L"file%05d.bin", i);
      c.names.push_back(name);
      if (!WriteFileOf(c.folder + L"\\" + name, c.size, static_cast<uint32_t>(i))) {
        std::printf("cannot write the source files in %ls\n", root.c_str());
        return 1;
      }
    }
  }

  std::printf("%-20s %12s %12s %8s %14s %14s\n", "case", "CopyFileW ms", "engine ms", "ratio", "CopyFileW CPU", "engine CPU");
  int failures = 0;
  for (const Case& c : cases) {
    double bestRef = 1e300, bestEngine = 1e300, refCpu = 0, engineCpu = 0;
    for (int r = 0; r < rounds; ++r) {
      wstring refOut = root + L"\\ref", engineOut = root + L"\\engine";
      double ref, engine;
      double cpuRef = 0, cpuEngine = 0;
      if (r % 2 == 0) {
        ref = RunCopyFile(c, refOut);
        cpuRef = g_cpu;
        engine = RunEngine(c, engineOut);
        cpuEngine = g_cpu;
      } else {
        engine = RunEngine(c, engineOut);
        cpuEngine = g_cpu;
        ref = RunCopyFile(c, refOut);
        cpuRef = g_cpu;
      }
      RemoveTree(refOut);
      RemoveTree(engineOut);
      if (ref < 0 || engine < 0) {
        std::printf("%-20s copy failed\n", c.label);
        ++failures;
        break;
      }
      if (ref < bestRef) refCpu = cpuRef;
      if (engine < bestEngine) engineCpu = cpuEngine;
      bestRef = std::min(bestRef, ref);
      bestEngine = std::min(bestEngine, engine);
    }
    std::printf("%-20s %12.1f %12.1f %8.2f %14.1f %14.1f\n", c.label, bestRef, bestEngine, bestEngine / bestRef, refCpu,
                engineCpu);
    std::fflush(stdout);
  }
  RemoveTree(root);
  return failures ? 1 : 0;
}

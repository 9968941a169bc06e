#include "file/ztFileCopier.h"

#include <gtest/gtest.h>
#include <windows.h>
// After <windows.h>, which they build on.
#include <tlhelp32.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "file/pathutil.h"
#include "file/ztCrypto.h"
#include "file/ztFile.h"
#include "file/ztFlushQueue.h"
#include "platform/ztCaps.h"
#include "platform/ztDebug.h"
#include "tests/common/testutil.h"

using zt_test::Join;
using zt_test::PathExists;
using zt_test::ReadFileBytes;
using zt_test::TempDir;
using zt_test::U16;
using zt_test::W;
using zt_test::WriteFileBytes;

namespace {

std::string Pattern(size_t n, uint32_t seed) {
  std::string out(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x >> 24);
  }
  return out;
}

struct Times {
  FILETIME created, accessed, written;
};

bool GetTimes(const std::u16string& path, Times* t) {
  HANDLE h = CreateFileW(W(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BOOL ok = GetFileTime(h, &t->created, &t->accessed, &t->written);
  CloseHandle(h);
  return ok != 0;
}

bool SetTimes(const std::u16string& path, const Times& t) {
  HANDLE h = CreateFileW(W(path), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BOOL ok = SetFileTime(h, &t.created, &t.accessed, &t.written);
  CloseHandle(h);
  return ok != 0;
}

FILETIME Day(int year, int month, int day) {
  SYSTEMTIME st = {};
  st.wYear = static_cast<WORD>(year);
  st.wMonth = static_cast<WORD>(month);
  st.wDay = static_cast<WORD>(day);
  st.wHour = 12;
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  return ft;
}

uint64_t Ticks(const FILETIME& f) { return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime; }

// The temporary files the engine leaves in a folder (there should be none).
std::vector<std::u16string> TempFiles(const std::u16string& folder) {
  std::vector<std::u16string> out;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(W(Join(folder, u"~ztcp-*")), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  do out.push_back(reinterpret_cast<const char16_t*>(fd.cFileName));
  while (FindNextFileW(h, &fd));
  FindClose(h);
  return out;
}

std::u16string FolderMessage(const std::u16string& folder) {
  return U16("フォルダ [") + folder + U16("] が作成出来ません");
}

std::u16string OpenMessage(const std::u16string& source) {
  return U16("ファイル [") + source + U16("] がオープン出来ません");
}

std::u16string SystemText(DWORD code) {
  wchar_t text[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, 512, nullptr);
  while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ')) --n;
  return std::u16string(reinterpret_cast<const char16_t*>(text), n);
}

std::u16string ExeFolder() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::u16string s(reinterpret_cast<const char16_t*>(path), n);
  return s.substr(0, s.find_last_of(u"\\/"));
}

// A copy of one of the version test programs (built beside this program).
std::string Program(const char* tag) {
  return ReadFileBytes(Join(ExeFolder(), u"copier_ver_" + U16(tag) + u".exe"));
}

// Records every callback. The engine promises never to run two at once.
struct Recorder {
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<CopyStatus> calls;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> finals{0};
  int stopAtCall = -1;  // index of a non-final call that answers 0
  std::vector<uint32_t> hookLengths;
  std::vector<uint64_t> hookDone;
  ~Recorder() { CloseHandle(done); }
  const CopyStatus& Final() const { return calls.back(); }
  std::vector<CopyStatus> Failures() const {
    std::vector<CopyStatus> out;
    for (const auto& c : calls)
      if (c.error && !c.finished) out.push_back(c);
    return out;
  }
};

int32_t Record(void* user, const CopyStatus* s) {
  auto* r = static_cast<Recorder*>(user);
  if (r->inside.fetch_add(1)) r->overlaps++;
  r->calls.push_back(*s);
  int32_t result = 1;
  if (!s->finished && static_cast<int>(r->calls.size()) - 1 == r->stopAtCall) result = 0;
  r->inside--;
  if (s->finished) {
    r->finals++;
    SetEvent(r->done);
  }
  return result;
}

void RecordChunk(void* user, void*, uint64_t fileDone, uint32_t length, const CopyStatus*) {
  auto* r = static_cast<Recorder*>(user);
  r->hookLengths.push_back(length);
  r->hookDone.push_back(fileDone);
}

// Starts the run and waits for the final callback (a minute at most).
bool RunToEnd(ztFileCopier& copier, Recorder& r, bool hook = false) {
  if (!copier.StartCopy(Record, &r, hook ? RecordChunk : nullptr)) return false;
  return WaitForSingleObject(r.done, 60000) == WAIT_OBJECT_0;
}

// An engine whose system calls can be made to fail.
class FaultyCopier : public ztFileCopier {
 public:
  using ztFileCopier::ztFileCopier;
  int failAllocation = -1;  // index of the buffer allocation that fails
  int failRead = -1;        // index of the read that fails
  int failWrite = -1;       // index of the write that fails
  int shortRead = -1;       // index of a read that finds the end of the file
  DWORD readError = ERROR_CRC;
  DWORD writeError = ERROR_DISK_FULL;
  std::atomic<int> allocations{0}, reads{0}, writes{0};

 protected:
  void* AllocateBuffer(uint32_t bytes) override {
    if (allocations++ == failAllocation) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    return ztFileCopier::AllocateBuffer(bytes);
  }
  int32_t ReadBlock(intptr_t file, void* buffer, uint32_t request, uint32_t* got) override {
    int n = reads++;
    if (n == failRead) {
      *got = 0;
      SetLastError(readError);
      return 0;
    }
    if (n == shortRead) {
      *got = 0;
      return 1;
    }
    return ztFileCopier::ReadBlock(file, buffer, request, got);
  }
  int32_t WriteBlock(intptr_t file, const void* buffer, uint32_t length, uint32_t* put) override {
    if (writes++ == failWrite) {
      *put = 0;
      SetLastError(writeError);
      return 0;
    }
    return ztFileCopier::WriteBlock(file, buffer, length, put);
  }
};

class Copier : public ::testing::Test {
 protected:
  void SetUp() override { ztCapsCreate(ZTCAPS_WINDOWS, 0); }
  TempDir dir;
  std::u16string In(const std::u16string& name) const { return Join(dir.Path(), u"in\\" + name); }
  std::u16string Out(const std::u16string& name) const { return Join(dir.Path(), u"out\\" + name); }
  std::u16string Source(const std::u16string& name, const std::string& bytes) {
    EXPECT_TRUE(CreateFolderTree(In(name).c_str(), 1));
    EXPECT_TRUE(WriteFileBytes(In(name), bytes));
    return In(name);
  }
  std::u16string Installed(const std::u16string& name, const std::string& bytes) {
    EXPECT_TRUE(CreateFolderTree(Out(name).c_str(), 1));
    EXPECT_TRUE(WriteFileBytes(Out(name), bytes));
    return Out(name);
  }
};

}  // namespace

// ---- set-up ----------------------------------------------------------------------

TEST_F(Copier, UnbufferedReadingFollowsTheWindowsCode) {
  ztWindowsRecord windows;
  ASSERT_EQ(GetWindowsRecord(&windows), 1);
  EXPECT_EQ(ztFileCopier(3, 0).IsUnbufferedAllowed(), windows.code >= 64 ? 1 : 0);
  EXPECT_EQ(ztFileCopier(3, 1).IsUnbufferedAllowed(), 0);
  // Without a capability record the Windows code reads as 0.
  ztCapsDestroy();
  EXPECT_EQ(ztFileCopier(3, 0).IsUnbufferedAllowed(), 0);
  ztCapsCreate(ZTCAPS_WINDOWS, 0);
  ztFileCopier c(3, 0);
  EXPECT_EQ(c.GetMode(), 0);
  EXPECT_EQ(c.GetSlotCount(), 3u);
}

TEST_F(Copier, NoSlotsIsABrokenPrecondition) {
  EXPECT_THROW(ztFileCopier(0, 0), zt_test::AssertFired);
}

TEST_F(Copier, JobsArePathsThatFitAndAreAddedBeforeTheRun) {
  ztFileCopier c(3, 0);
  std::u16string longPath(259, u'a');
  EXPECT_EQ(c.AddJob(longPath.c_str(), u"C:\\x", 0), 1);
  longPath += u'a';
  EXPECT_EQ(c.AddJob(longPath.c_str(), u"C:\\x", 0), 0);
  EXPECT_EQ(c.AddJob(u"C:\\x", longPath.c_str(), 0), 0);
  EXPECT_EQ(c.AddJob(nullptr, u"C:\\x", 0), 0);
  ztFileCopier empty(3, 0);
  Recorder r;
  ASSERT_TRUE(RunToEnd(empty, r));
  EXPECT_EQ(empty.AddJob(u"C:\\a", u"C:\\b", 0), 0);
  EXPECT_EQ(empty.StartCopy(Record, &r, nullptr), 0);
  EXPECT_EQ(r.finals.load(), 1);
}

// ---- runs that succeed ---------------------------------------------------------

TEST_F(Copier, EmptyQueueCallsBackOnceWithFinished) {
  ztFileCopier c(3, 0);
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  ASSERT_EQ(r.calls.size(), 1u);
  EXPECT_EQ(r.calls[0].finished, 1);
  EXPECT_EQ(r.calls[0].error, 0);
  EXPECT_EQ(r.calls[0].totalSize, 0u);
  EXPECT_EQ(r.calls[0].totalDone, 0u);
}

class CopierSizes : public Copier, public ::testing::WithParamInterface<int> {};

TEST_P(CopierSizes, CopiesAreExactInSizeBytesTimesAndAttributes) {
  const int noUnbuffered = GetParam();
  const uint32_t sizes[] = {0, 1, 511, 512, 4095, (1u << 20) - 1, 1u << 20, (1u << 20) + 1, (5u << 20) + 3};
  ztFileCopier c(3, noUnbuffered);
  std::vector<std::u16string> dests;
  std::vector<std::string> data;
  uint64_t total = 0;
  int k = 0;
  for (uint32_t size : sizes) {
    data.push_back(Pattern(size, size + 1));
    std::u16string name = U16("f" + std::to_string(size) + ".bin");
    std::u16string src = Source(name, data.back());
    // Distinct times and attributes the copy must not keep.
    Times t = {Day(2001, 2, 3 + k), Day(2005, 6, 7 + k), Day(2010, 11, 12 + k)};
    ASSERT_TRUE(SetTimes(src, t));
    SetFileAttributesW(W(src), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    dests.push_back(Out(u"deep\\er\\" + U16(std::to_string(k)) + u"\\" + name));
    EXPECT_EQ(c.AddJob(src.c_str(), dests.back().c_str(), 100 + k), 1);
    total += size;
    ++k;
  }
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r, true));
  EXPECT_EQ(r.finals.load(), 1);
  EXPECT_EQ(r.overlaps.load(), 0);
  EXPECT_EQ(r.Final().error, 0);
  EXPECT_EQ(r.Final().totalSize, total);
  EXPECT_EQ(r.Final().totalDone, total);

  for (size_t i = 0; i < dests.size(); ++i) {
    SCOPED_TRACE(std::to_string(sizes[i]));
    // Times first: reading the bytes may move the access time.
    Times s, d;
    ASSERT_TRUE(GetTimes(In(U16("f" + std::to_string(sizes[i]) + ".bin")), &s));
    ASSERT_TRUE(GetTimes(dests[i], &d));
    EXPECT_EQ(Ticks(d.written), Ticks(s.written));
    EXPECT_EQ(Ticks(d.written), Ticks(Day(2010, 11, 12 + static_cast<int>(i))));
    EXPECT_EQ(Ticks(d.accessed), Ticks(s.accessed));
    // Wine keeps no creation time (it reports the write time), so this
    // only bites on Windows.
    EXPECT_EQ(Ticks(d.created), Ticks(s.created));
    EXPECT_EQ(GetFileAttributesW(W(dests[i])), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    std::string got = ReadFileBytes(dests[i]);
    EXPECT_EQ(got.size(), data[i].size());
    EXPECT_TRUE(got == data[i]);
  }
  EXPECT_TRUE(TempFiles(Out(u"deep\\er\\8")).empty());

  // Progress: every block's call counts its bytes, the job flag follows the
  // job, and the last call of each file reaches its size.
  uint64_t lastTotal = 0;
  for (const CopyStatus& s : r.calls) {
    EXPECT_GE(s.totalDone, lastTotal);
    lastTotal = s.totalDone;
    EXPECT_LE(s.fileDone, s.fileSize);
  }
  // The 5 MiB + 3 file went through several blocks of the block size and a
  // short last block, in order.
  uint32_t block = ztCopyBlockSize(0);
  if (!noUnbuffered) {
    DWORD spc, bps, fc, tc;
    std::u16string root = dir.Path().substr(0, 3);
    ASSERT_TRUE(GetDiskFreeSpaceW(W(root), &spc, &bps, &fc, &tc));
    block = ztCopyBlockSize(bps);
  }
  const uint64_t big = (5u << 20) + 3;
  std::vector<uint32_t> lengths(r.hookLengths.end() - static_cast<long>((big + block - 1) / block),
                                r.hookLengths.end());
  uint64_t done = 0;
  size_t first = r.hookLengths.size() - lengths.size();
  for (size_t i = 0; i < lengths.size(); ++i) {
    EXPECT_EQ(r.hookDone[first + i], done);
    EXPECT_EQ(lengths[i], i + 1 < lengths.size() ? block : static_cast<uint32_t>(big - done));
    done += lengths[i];
  }
  EXPECT_EQ(done, big);
  // No block for the empty file; one for each file up to one block.
  EXPECT_EQ(r.hookLengths.size(), 7 + lengths.size());
  std::vector<int32_t> flags;
  for (const CopyStatus& s : r.calls)
    if (!s.finished && (flags.empty() || flags.back() != s.jobFlag)) flags.push_back(s.jobFlag);
  EXPECT_EQ(flags, (std::vector<int32_t>{101, 102, 103, 104, 105, 106, 107, 108}));
}

INSTANTIATE_TEST_SUITE_P(UnbufferedAndBuffered, CopierSizes, ::testing::Values(0, 1));

TEST_F(Copier, EmptySourceEmptiesTheDestinationAndTheRunGoesOn) {
  std::u16string empty = Source(u"empty.txt", "");
  Times t = {Day(2003, 1, 1), Day(2004, 1, 1), Day(2006, 1, 1)};
  ASSERT_TRUE(SetTimes(empty, t));
  std::u16string next = Source(u"next.txt", "after");
  std::u16string d1 = Installed(u"empty.txt", "old contents");
  SetFileAttributesW(W(d1), FILE_ATTRIBUTE_HIDDEN);
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.AddJob(empty.c_str(), d1.c_str(), 0));
  EXPECT_TRUE(c.AddJob(next.c_str(), Out(u"next.txt").c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(r.Final().error, 0);
  Times d;
  ASSERT_TRUE(GetTimes(d1, &d));
  EXPECT_EQ(Ticks(d.written), Ticks(Day(2006, 1, 1)));
  EXPECT_EQ(GetFileAttributesW(W(d1)), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(ReadFileBytes(d1), "");
  EXPECT_EQ(ReadFileBytes(Out(u"next.txt")), "after");
}

TEST_F(Copier, ABackupFolderReceivesEachReplacedFileUnderItsJobIndex) {
  const std::u16string backups = Join(dir.Path(), u"keep");
  ASSERT_TRUE(CreateDirectoryW(W(backups), nullptr));
  const std::string big = Pattern((2u << 20) + 3, 9);
  const std::u16string replaced = Installed(u"sub\\old.bin", "old bytes");
  const std::u16string emptied = Installed(u"was.txt", "was here");
  const std::u16string locked = Installed(u"locked.txt", "stays");
  ASSERT_TRUE(SetFileAttributesW(W(locked), FILE_ATTRIBUTE_READONLY));
  Times old = {Day(2001, 1, 1), Day(2001, 1, 2), Day(2001, 1, 3)};
  ASSERT_TRUE(SetTimes(replaced, old));
  ztFileCopier c(3, 0);
  EXPECT_FALSE(c.SetBackupFolder(nullptr));
  ASSERT_TRUE(c.SetBackupFolder(backups.c_str()));
  EXPECT_TRUE(c.AddJob(Source(u"fresh.txt", "fresh").c_str(), Out(u"fresh.txt").c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"old.bin", big).c_str(), replaced.c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"was.txt", "").c_str(), emptied.c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"locked.txt", "new").c_str(), locked.c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_FALSE(c.SetBackupFolder(backups.c_str()));  // started
  EXPECT_EQ(r.Final().error, 1);                     // at the read-only file
  EXPECT_EQ(ReadFileBytes(Out(u"fresh.txt")), "fresh");
  EXPECT_EQ(ReadFileBytes(replaced), big);
  EXPECT_EQ(ReadFileBytes(emptied), "");
  EXPECT_EQ(ReadFileBytes(locked), "stays");
  // Job 0 replaced nothing and job 3 failed before its file was touched:
  // exactly jobs 1 and 2 have backups, the old files with their own times.
  EXPECT_EQ(ReadFileBytes(Join(backups, u"00000001.bak")), "old bytes");
  Times kept;
  ASSERT_TRUE(GetTimes(Join(backups, u"00000001.bak"), &kept));
  EXPECT_EQ(Ticks(kept.written), Ticks(old.written));
  EXPECT_EQ(ReadFileBytes(Join(backups, u"00000002.bak")), "was here");
  EXPECT_FALSE(PathExists(Join(backups, u"00000000.bak")));
  EXPECT_FALSE(PathExists(Join(backups, u"00000003.bak")));
  EXPECT_TRUE(TempFiles(Out(u"sub")).empty());
}

TEST_F(Copier, AMoveToTheBackupFolderThatFailsFailsTheJobAndKeepsTheFile) {
  const std::u16string d = Installed(u"a.bin", "old");
  ztFileCopier c(3, 0);
  ASSERT_TRUE(c.SetBackupFolder(Join(dir.Path(), u"no such folder").c_str()));
  EXPECT_TRUE(c.AddJob(Source(u"a.bin", Pattern(5000, 2)).c_str(), d.c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(r.Final().error, 1);
  EXPECT_EQ(ReadFileBytes(d), "old");
  EXPECT_TRUE(TempFiles(Out(u"")).empty());
}

TEST_F(Copier, WithABackupFolderNewFilesAreWrittenInPlaceAndRemovedWhenTheyFail) {
  // One block, several blocks, then a file whose second block cannot be
  // written: the finished new files stay, the half-written one is gone.
  const std::u16string keep = Join(dir.Path(), u"keep");
  ASSERT_TRUE(CreateDirectoryW(W(keep), nullptr));
  const std::string small = Pattern(4096, 1), big = Pattern((5u << 20) + 7, 2), failing = Pattern(3u << 20, 3);
  FaultyCopier c(3, 1);  // buffered: 2 MiB blocks
  c.failWrite = 1 + 3 + 1;
  ASSERT_TRUE(c.SetBackupFolder(keep.c_str()));
  EXPECT_TRUE(c.AddJob(Source(u"small.bin", small).c_str(), Out(u"small.bin").c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"big.bin", big).c_str(), Out(u"big.bin").c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"failing.bin", failing).c_str(), Out(u"failing.bin").c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(r.Final().error, 1);
  EXPECT_EQ(ReadFileBytes(Out(u"small.bin")), small);
  EXPECT_EQ(ReadFileBytes(Out(u"big.bin")), big);
  EXPECT_FALSE(PathExists(Out(u"failing.bin")));
  EXPECT_TRUE(TempFiles(Out(u"")).empty());
  EXPECT_EQ(GetFileAttributesW(W(Out(u"small.bin"))), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
}

TEST_F(Copier, FolderJobsCreateTheirFolders) {
  EXPECT_TRUE(CreateFolderTree(In(u"sub\\x").c_str(), 1));
  std::u16string d = Out(u"a\\b\\sub");
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.AddJob(In(u"sub").c_str(), d.c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"after.txt", "x").c_str(), Out(u"after.txt").c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(r.Final().error, 0);
  EXPECT_EQ(GetPathKind(d.c_str()), 2);
  EXPECT_EQ(ReadFileBytes(Out(u"after.txt")), "x");
}

TEST_F(Copier, HiddenInstalledFilesAreReplaced) {
  std::u16string d = Installed(u"h.txt", "old");
  SetFileAttributesW(W(d), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.AddJob(Source(u"h.txt", "new").c_str(), d.c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(r.Final().error, 0);
  EXPECT_EQ(ReadFileBytes(d), "new");
  EXPECT_EQ(GetFileAttributesW(W(d)), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
}

// The finished file takes its name through the system's own form of the
// full path; a relative destination must still land where it points.
TEST_F(Copier, RelativeDestinationsAreInstalledWhereTheyPoint) {
  wchar_t before[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, before);
  std::u16string old = Installed(u"rel\\old.txt", "old");
  ASSERT_TRUE(SetCurrentDirectoryW(W(dir.Path())));
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.AddJob(Source(u"new.txt", "fresh").c_str(), u"out\\rel\\new.txt", 0));
  EXPECT_TRUE(c.AddJob(Source(u"old.txt", "replaced").c_str(), u"out\\rel\\old.txt", 0));
  Recorder r;
  const bool ended = RunToEnd(c, r);
  SetCurrentDirectoryW(before);
  ASSERT_TRUE(ended);
  EXPECT_EQ(r.Final().error, 0);
  EXPECT_EQ(ReadFileBytes(Out(u"rel\\new.txt")), "fresh");
  EXPECT_EQ(ReadFileBytes(old), "replaced");
  EXPECT_TRUE(TempFiles(Out(u"rel")).empty());
}

TEST_F(Copier, LeftoversOfEndedRunsAreCleanedWhereTheNextRunWrites) {
  // The id of a process that has ended, like a run that was killed.
  std::u16string program = Join(ExeFolder(), u"copier_ver_none.exe");
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  std::u16string cmd = u"\"" + program + u"\"";
  ASSERT_TRUE(CreateProcessW(W(program), const_cast<wchar_t*>(W(cmd)), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &si, &pi));
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD endedPid = pi.dwProcessId;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // A process that still runs (suspended until the end of the test).
  ASSERT_TRUE(CreateProcessW(W(program), const_cast<wchar_t*>(W(cmd)), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                             nullptr, nullptr, &si, &pi));
  DWORD livePid = pi.dwProcessId;

  char16_t dead[32], live[32], own[32];
  ztCopyTempName(dead, 32, endedPid, 7);
  ztCopyTempName(live, 32, livePid, 7);
  ztCopyTempName(own, 32, GetCurrentProcessId(), 0xFFFF);
  Installed(dead, "leftover");
  Installed(live, "in use");
  Installed(own, "ours");
  Installed(u"~ztcp-notours.tmp", "unrelated");
  std::u16string elsewhere = Join(dir.Path(), u"other\\" + std::u16string(dead));
  EXPECT_TRUE(CreateFolderTree(elsewhere.c_str(), 1));
  WriteFileBytes(elsewhere, "not written to");

  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.AddJob(Source(u"a.txt", "a").c_str(), Out(u"a.txt").c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  TerminateProcess(pi.hProcess, 0);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);

  EXPECT_EQ(r.Final().error, 0);
  EXPECT_FALSE(PathExists(Out(dead)));
  EXPECT_TRUE(PathExists(Out(live)));
  EXPECT_TRUE(PathExists(Out(own)));
  EXPECT_TRUE(PathExists(Out(u"~ztcp-notours.tmp")));
  EXPECT_TRUE(PathExists(elsewhere));
  EXPECT_EQ(ReadFileBytes(Out(u"a.txt")), "a");
}

// ---- program files (mode 1) -----------------------------------------------------

TEST_F(Copier, NewerInstalledProgramsAreKeptAndStillCountAsDone) {
  const std::string v120 = Program("1_2_0_0"), v1199 = Program("1_1_9_9"), v1201 = Program("1_2_0_1");
  ASSERT_GT(v120.size(), 1000u);
  ASSERT_NE(v120, v1199);
  std::u16string exe = Installed(u"game.exe", v120);
  std::u16string dll = Installed(u"lib\\core.DLL", v1201);
  std::u16string upper = Installed(u"TOOL.EXE", v120);
  std::u16string s1 = Source(u"game.exe", v1199);   // older by its high word
  std::u16string s2 = Source(u"core.dll", v120);    // older by its low word
  std::u16string s3 = Source(u"tool.exe", v1199);
  std::u16string s4 = Source(u"data.bin", "payload");
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.SetMode(1));
  EXPECT_TRUE(c.AddJob(s1.c_str(), exe.c_str(), 1));
  EXPECT_TRUE(c.AddJob(s2.c_str(), dll.c_str(), 2));
  EXPECT_TRUE(c.AddJob(s3.c_str(), upper.c_str(), 3));
  EXPECT_TRUE(c.AddJob(s4.c_str(), Out(u"data.bin").c_str(), 4));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(r.Final().error, 0);
  EXPECT_EQ(ReadFileBytes(exe), v120);
  EXPECT_EQ(ReadFileBytes(dll), v1201);
  EXPECT_EQ(ReadFileBytes(upper), v120);
  EXPECT_EQ(ReadFileBytes(Out(u"data.bin")), "payload");
  const uint64_t total = v1199.size() + v120.size() + v1199.size() + 7;
  EXPECT_EQ(r.Final().totalSize, total);
  EXPECT_EQ(r.Final().totalDone, total);
  // One call per skip, with the skipped file's size and nothing written.
  ASSERT_GE(r.calls.size(), 5u);
  EXPECT_EQ(r.calls[0].jobFlag, 1);
  EXPECT_EQ(r.calls[0].fileSize, v1199.size());
  EXPECT_EQ(r.calls[0].fileDone, 0u);
  EXPECT_EQ(r.calls[0].totalDone, v1199.size());
  EXPECT_EQ(r.calls[1].jobFlag, 2);
  EXPECT_EQ(r.calls[1].totalDone, v1199.size() + v120.size());
  EXPECT_EQ(r.calls[2].jobFlag, 3);
}

TEST_F(Copier, EqualOlderAndUnversionedProgramsAreReplaced) {
  const std::string v120 = Program("1_2_0_0"), v1199 = Program("1_1_9_9"), none = Program("none");
  ASSERT_GT(none.size(), 1000u);
  // Bytes after the image keep the version resource readable and tell the
  // offered file from the installed one.
  const std::string offered = v120 + "OFFERED";
  std::u16string equal = Installed(u"equal.exe", v120);
  std::u16string older = Installed(u"older.dll", v1199);
  std::u16string plain = Installed(u"plain.exe", none);
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.SetMode(1));
  EXPECT_TRUE(c.AddJob(Source(u"equal.exe", offered).c_str(), equal.c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"older.dll", offered).c_str(), older.c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"plain.exe", v1199).c_str(), plain.c_str(), 0));
  // A source without a version over a versioned program is copied too.
  std::u16string versioned = Installed(u"versioned.exe", v120);
  EXPECT_TRUE(c.AddJob(Source(u"versioned.exe", none).c_str(), versioned.c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(r.Final().error, 0);
  EXPECT_EQ(ReadFileBytes(equal), offered);
  EXPECT_EQ(ReadFileBytes(older), offered);
  EXPECT_EQ(ReadFileBytes(plain), v1199);
  EXPECT_EQ(ReadFileBytes(versioned), none);
}

TEST_F(Copier, OtherModesReplaceNewerProgramsToo) {
  const std::string v120 = Program("1_2_0_0"), v1199 = Program("1_1_9_9");
  std::u16string exe = Installed(u"game.exe", v120);
  std::u16string bin = Installed(u"game.bin", v120);
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.SetMode(2));
  EXPECT_TRUE(c.AddJob(Source(u"game.exe", v1199).c_str(), exe.c_str(), 0));
  ztFileCopier m(3, 0);
  EXPECT_TRUE(m.SetMode(1));
  // Mode 1 looks at the destination's extension only.
  EXPECT_TRUE(m.AddJob(Source(u"game.bin", v1199).c_str(), bin.c_str(), 0));
  Recorder r, q;
  ASSERT_TRUE(RunToEnd(c, r));
  ASSERT_TRUE(RunToEnd(m, q));
  EXPECT_EQ(ReadFileBytes(exe), v1199);
  EXPECT_EQ(ReadFileBytes(bin), v1199);
}

// ---- failures ---------------------------------------------------------------------

TEST_F(Copier, MissingSourceCreatesTheFolderThenNamesTheSource) {
  std::u16string first = Source(u"first.txt", "first");
  std::u16string missing = In(u"missing.txt");
  std::u16string d = Out(u"new\\deep\\missing.txt");
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.AddJob(first.c_str(), Out(u"first.txt").c_str(), 0));
  EXPECT_TRUE(c.AddJob(missing.c_str(), d.c_str(), 0));
  EXPECT_TRUE(c.AddJob(first.c_str(), Out(u"third.txt").c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(GetPathKind(Out(u"new\\deep").c_str()), 2);
  EXPECT_FALSE(PathExists(d));
  EXPECT_EQ(ReadFileBytes(Out(u"first.txt")), "first");
  EXPECT_FALSE(PathExists(Out(u"third.txt")));
  auto failures = r.Failures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(std::u16string(failures[0].errorText), OpenMessage(missing));
  EXPECT_EQ(r.finals.load(), 1);
  EXPECT_EQ(r.Final().finished, 1);
  EXPECT_EQ(r.Final().error, 1);
  EXPECT_EQ(std::u16string(r.Final().errorText), OpenMessage(missing));
  EXPECT_TRUE(TempFiles(Out(u"new\\deep")).empty());
}

TEST_F(Copier, ReadOnlyDestinationFailsAtOpenAndStaysAsItWas) {
  // An empty source is written in place; the same check guards it.
  for (const std::string& offered : {std::string("replacement"), std::string()}) {
    std::u16string d = Installed(u"ro.txt", "installed");
    SetFileAttributesW(W(d), FILE_ATTRIBUTE_READONLY);
    std::u16string s = Source(u"ro.txt", offered);
    FaultyCopier c(3, 0);
    EXPECT_TRUE(c.AddJob(s.c_str(), d.c_str(), 0));
    Recorder r;
    ASSERT_TRUE(RunToEnd(c, r));
    // The source was fine: the message names the file that failed.
    EXPECT_EQ(std::u16string(r.Final().errorText), OpenMessage(d));
    EXPECT_EQ(r.Final().error, 1);
    EXPECT_EQ(c.reads.load(), 0);
    EXPECT_EQ(c.writes.load(), 0);
    EXPECT_TRUE(GetFileAttributesW(W(d)) & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(W(d), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadFileBytes(d), "installed");
    EXPECT_TRUE(TempFiles(Out(u"")).empty());
  }
}

TEST_F(Copier, NextFileOpenedAheadStillFailsAtItsOwnTurn) {
  // The second job's source and temporary file are opened while the first
  // file is copied; its destination is checked only at its turn.
  std::u16string d = Installed(u"second.txt", "installed");
  SetFileAttributesW(W(d), FILE_ATTRIBUTE_READONLY);
  std::u16string first = Source(u"first.bin", Pattern(3u << 20, 8));
  std::u16string second = Source(u"second.txt", "replacement");
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.AddJob(first.c_str(), Out(u"first.bin").c_str(), 0));
  EXPECT_TRUE(c.AddJob(second.c_str(), d.c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_TRUE(ReadFileBytes(Out(u"first.bin")) == Pattern(3u << 20, 8));
  ASSERT_EQ(r.Failures().size(), 1u);
  EXPECT_EQ(std::u16string(r.Final().errorText), OpenMessage(d));
  SetFileAttributesW(W(d), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(ReadFileBytes(d), "installed");
  EXPECT_TRUE(TempFiles(Out(u"")).empty());
}

TEST_F(Copier, DestinationHeldByAnotherHandleFailsAtOpen) {
  for (const std::string& offered : {std::string("replacement"), std::string()}) {
    std::u16string d = Installed(u"busy.dll", "installed");
    std::u16string s = Source(u"busy.dll", offered);
    // Another program holds the file open, sharing reads and writes.
    HANDLE held = CreateFileW(W(d), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    FaultyCopier c(3, 0);
    EXPECT_TRUE(c.AddJob(s.c_str(), d.c_str(), 0));
    Recorder r;
    ASSERT_TRUE(RunToEnd(c, r));
    CloseHandle(held);
    EXPECT_EQ(std::u16string(r.Final().errorText), OpenMessage(d));
    EXPECT_EQ(c.writes.load(), 0);
    EXPECT_EQ(ReadFileBytes(d), "installed");
    EXPECT_TRUE(TempFiles(Out(u"")).empty());
  }
}

TEST_F(Copier, FileInPlaceOfAFolderNamesTheParent) {
  Installed(u"sub", "a file, not a folder");
  std::u16string s = Source(u"x.txt", "x");
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.AddJob(s.c_str(), Out(u"sub\\x.txt").c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(std::u16string(r.Final().errorText), FolderMessage(Out(u"sub")));
  ASSERT_EQ(r.Failures().size(), 1u);
  EXPECT_EQ(r.finals.load(), 1);
  // A folder job whose place is taken names the job's parent folder too.
  ztFileCopier f(3, 0);
  EXPECT_TRUE(CreateFolderTree(In(u"dir\\y").c_str(), 1));
  EXPECT_TRUE(f.AddJob(In(u"dir").c_str(), Out(u"sub\\dir").c_str(), 0));
  Recorder q;
  ASSERT_TRUE(RunToEnd(f, q));
  EXPECT_EQ(std::u16string(q.Final().errorText), FolderMessage(Out(u"sub")));
  EXPECT_EQ(ReadFileBytes(Out(u"sub")), "a file, not a folder");
}

TEST_F(Copier, CallbackStopInsideAFileKeepsTheInstalledFile) {
  const std::string big = Pattern((5u << 20) + 3, 9);
  std::u16string first = Source(u"first.txt", "first");
  std::u16string s = Source(u"big.bin", big);
  std::u16string d = Installed(u"big.bin", "old big");
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.AddJob(first.c_str(), Out(u"first.txt").c_str(), 0));
  EXPECT_TRUE(c.AddJob(s.c_str(), d.c_str(), 0));
  EXPECT_TRUE(c.AddJob(first.c_str(), Out(u"third.txt").c_str(), 0));
  Recorder r;
  r.stopAtCall = 2;  // first.txt's block, then big.bin's first and second
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(r.finals.load(), 1);
  EXPECT_EQ(r.calls.size(), 4u);
  EXPECT_EQ(r.Final().error, 0);
  EXPECT_EQ(r.Final().errorText[0], 0);
  EXPECT_EQ(ReadFileBytes(Out(u"first.txt")), "first");
  EXPECT_EQ(ReadFileBytes(d), "old big");
  EXPECT_FALSE(PathExists(Out(u"third.txt")));
  EXPECT_TRUE(TempFiles(Out(u"")).empty());
}

TEST_F(Copier, CallbackStopAfterTheLastBlockKeepsThatFile) {
  std::u16string s = Source(u"one.txt", "one");
  Times t = {Day(2002, 2, 2), Day(2003, 3, 3), Day(2004, 4, 4)};
  ASSERT_TRUE(SetTimes(s, t));
  std::u16string d = Installed(u"one.txt", "old");
  SetFileAttributesW(W(d), FILE_ATTRIBUTE_HIDDEN);
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.AddJob(s.c_str(), d.c_str(), 0));
  EXPECT_TRUE(c.AddJob(s.c_str(), Out(u"two.txt").c_str(), 0));
  Recorder r;
  r.stopAtCall = 0;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(r.calls.size(), 2u);
  EXPECT_EQ(r.Final().error, 0);
  Times got;
  ASSERT_TRUE(GetTimes(d, &got));
  EXPECT_EQ(Ticks(got.written), Ticks(Day(2004, 4, 4)));
  EXPECT_EQ(GetFileAttributesW(W(d)), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(ReadFileBytes(d), "one");
  EXPECT_FALSE(PathExists(Out(u"two.txt")));
}

TEST_F(Copier, CallbackStopOnASkipEndsTheRun) {
  std::u16string exe = Installed(u"game.exe", Program("1_2_0_0"));
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.SetMode(1));
  EXPECT_TRUE(c.AddJob(Source(u"game.exe", Program("1_1_9_9")).c_str(), exe.c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"next.txt", "n").c_str(), Out(u"next.txt").c_str(), 0));
  Recorder r;
  r.stopAtCall = 0;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(r.calls.size(), 2u);
  EXPECT_FALSE(PathExists(Out(u"next.txt")));
}

TEST_F(Copier, WriteFailureKeepsEarlierFilesAndTheOldDestination) {
  const std::string big = Pattern((3u << 20) + 5, 3);
  std::u16string d = Installed(u"big.bin", "previous version");
  FaultyCopier c(3, 1);  // buffered: 2 MiB blocks
  c.failWrite = 2;       // small.txt's block, big.bin's first block, then this
  EXPECT_TRUE(c.AddJob(Source(u"small.txt", "small").c_str(), Out(u"small.txt").c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"big.bin", big).c_str(), d.c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"after.txt", "after").c_str(), Out(u"after.txt").c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(ReadFileBytes(Out(u"small.txt")), "small");
  EXPECT_EQ(ReadFileBytes(d), "previous version");
  EXPECT_FALSE(PathExists(Out(u"after.txt")));
  EXPECT_TRUE(TempFiles(Out(u"")).empty());
  auto failures = r.Failures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(std::u16string(failures[0].errorText), SystemText(ERROR_DISK_FULL));
  EXPECT_FALSE(failures[0].errorText[0] == 0);
  EXPECT_EQ(r.finals.load(), 1);
  EXPECT_EQ(r.calls.back().finished, 1);
  EXPECT_EQ(r.Final().error, 1);
  EXPECT_EQ(std::u16string(r.Final().errorText), SystemText(ERROR_DISK_FULL));
  // The run ended: no write after the failing one.
  EXPECT_EQ(c.writes.load(), 3);
}

TEST_F(Copier, ReadFailureReportsTheSystemText) {
  std::u16string d = Installed(u"r.bin", "old");
  FaultyCopier c(3, 0);
  c.failRead = 1;
  EXPECT_TRUE(c.AddJob(Source(u"r.bin", Pattern(3u << 20, 5)).c_str(), d.c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  ASSERT_EQ(r.Failures().size(), 1u);
  EXPECT_EQ(std::u16string(r.Final().errorText), SystemText(ERROR_CRC));
  EXPECT_EQ(ReadFileBytes(d), "old");
  EXPECT_TRUE(TempFiles(Out(u"")).empty());
}

TEST_F(Copier, SourceEndingEarlyIsAFailureNotALoop) {
  FaultyCopier c(3, 0);
  c.shortRead = 1;
  EXPECT_TRUE(c.AddJob(Source(u"s.bin", Pattern(3u << 20, 6)).c_str(), Out(u"s.bin").c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(std::u16string(r.Final().errorText), SystemText(ERROR_HANDLE_EOF));
  EXPECT_FALSE(PathExists(Out(u"s.bin")));
}

TEST_F(Copier, FailedBufferAllocationEndsTheRunWithTheSystemText) {
  FaultyCopier c(3, 0);
  c.failAllocation = 1;  // the first file's second buffer
  EXPECT_TRUE(c.AddJob(Source(u"a.txt", "a").c_str(), Out(u"a.txt").c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"b.txt", "b").c_str(), Out(u"b.txt").c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_FALSE(PathExists(Out(u"a.txt")));
  EXPECT_FALSE(PathExists(Out(u"b.txt")));
  EXPECT_EQ(c.reads.load(), 0);
  ASSERT_EQ(r.Failures().size(), 1u);
  EXPECT_EQ(std::u16string(r.Final().errorText), SystemText(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(r.finals.load(), 1);
}

TEST_F(Copier, DestroyingARunningEngineStopsItAndKeepsTheOldDestination) {
  std::u16string d = Installed(u"big.bin", "old");
  std::u16string s = Source(u"big.bin", Pattern(24u << 20, 4));
  Recorder r;  // outlives the engine: the final call comes during its end
  {
    ztFileCopier c(1, 1);
    EXPECT_TRUE(c.AddJob(s.c_str(), d.c_str(), 0));
    ASSERT_EQ(c.StartCopy(Record, &r, nullptr), 1);
    Sleep(5);
  }
  EXPECT_EQ(r.finals.load(), 1);
  EXPECT_EQ(r.overlaps.load(), 0);
  // Either the copy finished before the stop or the old file is intact.
  std::string got = ReadFileBytes(d);
  EXPECT_TRUE(got == "old" || got == Pattern(24u << 20, 4));
  EXPECT_TRUE(TempFiles(Out(u"")).empty());
}

namespace {

struct SelfDestroy {
  ztFileCopier* engine = nullptr;
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~SelfDestroy() { CloseHandle(done); }
};

int32_t DestroyAtEnd(void* user, const CopyStatus* s) {
  auto* d = static_cast<SelfDestroy*>(user);
  if (s->finished) {
    delete d->engine;
    d->engine = nullptr;
    SetEvent(d->done);
  }
  return 1;
}

}  // namespace

TEST_F(Copier, TheFinalCallbackMayDestroyTheEngine) {
  SelfDestroy d;
  d.engine = new ztFileCopier(3, 0);
  EXPECT_TRUE(d.engine->AddJob(Source(u"a.txt", "a").c_str(), Out(u"a.txt").c_str(), 0));
  ASSERT_EQ(d.engine->StartCopy(DestroyAtEnd, &d, nullptr), 1);
  ASSERT_EQ(WaitForSingleObject(d.done, 60000), WAIT_OBJECT_0);
  EXPECT_EQ(d.engine, nullptr);
  EXPECT_EQ(ReadFileBytes(Out(u"a.txt")), "a");
}

namespace {

const char kDestroyedInCallback[] =
    "\x83R\x83s\x81[\x92\x86\x82\xcc\x83R\x81[\x83\x8b\x83o\x83\x62\x83N\x82\xa9\x82\xe7\x94j\x8a\xfc"
    "\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd";

// In the child process of a death test: says on stderr which assertion
// stopped it (a crash would say nothing), then ends the process at once (the
// runtime's abort may wait behind a box of its own when the output is not a
// console).
void NameTheAssertion(void*, const char* text) {
  fprintf(stderr, "%s\n", std::string(text) == kDestroyedInCallback ? "destroyed-in-callback" : "other-assertion");
  fflush(stderr);
  std::_Exit(3);
}

// Destroys the engine from the first call that is not the final one.
int32_t DestroyEarly(void* user, const CopyStatus* s) {
  auto* d = static_cast<SelfDestroy*>(user);
  if (!s->finished && d->engine) {
    ztFileCopier* engine = d->engine;
    d->engine = nullptr;
    delete engine;
  }
  return 1;
}

void DestroyFromAnEarlyCallback(const std::u16string& source, const std::u16string& destination) {
  ztSetAssertHook(NameTheAssertion, nullptr);
  SelfDestroy d;
  d.engine = new ztFileCopier(3, 0);
  EXPECT_TRUE(d.engine->AddJob(source.c_str(), destination.c_str(), 0));
  EXPECT_TRUE(d.engine->StartCopy(DestroyEarly, &d, nullptr));
  // The process ends inside the callback; this only bounds a wrong run.
  Sleep(20000);
}

}  // namespace

TEST_F(Copier, DestroyingTheEngineFromAnEarlierCallbackIsRefused) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  // A failure report on the coordinator, then a block on the writer.
  EXPECT_DEATH(DestroyFromAnEarlyCallback(In(u"missing.bin"), Out(u"m.bin")), "destroyed-in-callback");
  const std::u16string s = Source(u"block.bin", Pattern(5000, 3));
  EXPECT_DEATH(DestroyFromAnEarlyCallback(s, Out(u"block.bin")), "destroyed-in-callback");
}

TEST_F(Copier, DestroyingRightAfterTheStartRunsNoFurtherJobs) {
  // Folder jobs and empty files move no data: only the job loop's own look
  // at the stop can end them.
  constexpr int kJobs = 600;
  EXPECT_TRUE(CreateFolderTree(In(u"dir\\x").c_str(), 1));
  const std::u16string empty = Source(u"empty.bin", "");
  {
    ztFileCopier c(3, 0);
    for (int i = 0; i < kJobs; ++i) {
      const std::u16string n = U16(std::to_string(i));
      EXPECT_TRUE(c.AddJob(i % 2 ? In(u"dir").c_str() : empty.c_str(), Out(u"j" + n).c_str(), 0));
    }
    Recorder r;
    ASSERT_EQ(c.StartCopy(Record, &r, nullptr), 1);
    // Changing the mode now would race with the coordinator reading it.
    EXPECT_EQ(c.SetMode(1), 0);
    EXPECT_EQ(c.GetMode(), 0);
  }
  int made = 0;
  for (int i = 0; i < kJobs; ++i) made += PathExists(Out(u"j" + U16(std::to_string(i)))) ? 1 : 0;
  EXPECT_LT(made, kJobs / 2);
}

TEST_F(Copier, DestinationsOf259UnitsAreInstalled) {
  // The folder leaves room for a short name only: the temporary file beside
  // it (24 units) does not fit a plain path, and the folder is past the
  // length a plain folder creation takes.
  std::u16string folder = Join(dir.Path(), u"out");
  while (folder.size() < 250) folder += u"\\" + std::u16string(std::min<size_t>(60, 249 - folder.size()), u'f');
  const std::u16string replaced = folder + u"\\" + std::u16string(258 - folder.size(), u'r');
  const std::u16string fresh = folder + u"\\" + std::u16string(257 - folder.size(), u'n');
  ASSERT_EQ(replaced.size(), 259u);
  ASSERT_TRUE(CreateFolderTree(replaced.c_str(), 1));
  ASSERT_TRUE(WriteFileBytes(replaced, "old"));
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.AddJob(Source(u"r.bin", Pattern(70000, 5)).c_str(), replaced.c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"n.bin", "new").c_str(), fresh.c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(r.Final().error, 0) << zt_test::Utf8(r.Final().errorText);
  EXPECT_TRUE(ReadFileBytes(replaced) == Pattern(70000, 5));
  EXPECT_EQ(ReadFileBytes(fresh), "new");
  EXPECT_TRUE(TempFiles(u"\\\\?\\" + folder).empty());
}

// ---- large files -------------------------------------------------------------------

TEST_F(Copier, SparseSourceAbove4GiBIsCopiedWhole) {
  // Not a whole number of sectors, so the last block is short too.
  const uint64_t size = 0x100000000ull + 4099;
  std::u16string s = In(u"sparse.bin");
  EXPECT_TRUE(CreateFolderTree(s.c_str(), 1));
  HANDLE h = CreateFileW(W(s), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD ignored = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  // Marks on both sides of the 4 GiB line and at the very end.
  auto put = [&](uint64_t at, const char* text) {
    LARGE_INTEGER pos;
    pos.QuadPart = static_cast<LONGLONG>(at);
    SetFilePointerEx(h, pos, nullptr, FILE_BEGIN);
    DWORD n = 0;
    WriteFile(h, text, 3, &n, nullptr);
  };
  put(0, "BEG");
  put(0xFFFFFFFFull, "MID");
  put(size - 3, "END");
  CloseHandle(h);
  ULARGE_INTEGER freeBytes;
  ASSERT_TRUE(GetDiskFreeSpaceExW(W(dir.Path()), &freeBytes, nullptr, nullptr));
  if (freeBytes.QuadPart < 3 * size) GTEST_SKIP() << "not enough free disk space for a 4 GiB copy";

  std::u16string d = Out(u"sparse.bin");
  ztFileCopier c(3, 0);
  EXPECT_TRUE(c.AddJob(s.c_str(), d.c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_EQ(r.Final().error, 0);
  EXPECT_EQ(r.Final().totalSize, size);
  EXPECT_EQ(r.Final().totalDone, size);
  EXPECT_EQ(GetFileSize64(d.c_str()), size);
  h = CreateFileW(W(d), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  auto get = [&](uint64_t at) {
    LARGE_INTEGER pos;
    pos.QuadPart = static_cast<LONGLONG>(at);
    SetFilePointerEx(h, pos, nullptr, FILE_BEGIN);
    char text[4] = {};
    DWORD n = 0;
    ReadFile(h, text, 3, &n, nullptr);
    return std::string(text, n);
  };
  EXPECT_EQ(get(0), "BEG");
  EXPECT_EQ(get(0xFFFFFFFFull), "MID");
  EXPECT_EQ(get(size - 3), "END");
  EXPECT_EQ(get(0x80000000ull), std::string(3, '\0'));
  CloseHandle(h);
  DeleteFileW(W(d));
  DeleteFileW(W(s));
}

// ---- many runs ----------------------------------------------------------------------

namespace {

DWORD CountThreads() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 te;
  te.dwSize = sizeof te;
  DWORD n = 0;
  DWORD pid = GetCurrentProcessId();
  if (Thread32First(snap, &te)) do
      if (te.th32OwnerProcessID == pid) ++n;
    while (Thread32Next(snap, &te));
  CloseHandle(snap);
  return n;
}

}  // namespace

TEST_F(Copier, ManyShortRunsWithFailuresEachEndOnceAndLeakNothing) {
  std::mt19937 rng(12345);
  std::vector<std::u16string> sources;
  std::vector<std::string> contents;
  for (int i = 0; i < 20; ++i) {
    contents.push_back(Pattern(rng() % 9000, static_cast<uint32_t>(i)));
    sources.push_back(Source(u"s" + U16(std::to_string(i)) + u".bin", contents.back()));
  }
  // The system starts a helper thread of its own early on: leaks are
  // counted from the tenth run.
  DWORD handlesBefore = 0, threadsBefore = 0;
  int failedRuns = 0, stoppedRuns = 0;
  for (int run = 0; run < 200; ++run) {
    SCOPED_TRACE(run);
    if (run == 10) {
      GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
      threadsBefore = CountThreads();
    }
    std::u16string out = Join(dir.Path(), u"run" + U16(std::to_string(run)));
    FaultyCopier c(1 + rng() % 4, static_cast<int32_t>(rng() % 2));
    int kind = static_cast<int>(rng() % 5);
    int at = static_cast<int>(rng() % 20);
    Recorder r;
    if (kind == 0) c.failWrite = at;
    if (kind == 1) c.failRead = at;
    if (kind == 2) r.stopAtCall = at;
    for (int i = 0; i < 20; ++i) {
      // Kind 3: one source is missing.
      std::u16string src = (kind == 3 && i == at) ? In(u"nothing.bin") : sources[i];
      EXPECT_TRUE(c.AddJob(src.c_str(), Join(out, u"d" + U16(std::to_string(i)) + u".bin").c_str(), i));
    }
    ASSERT_TRUE(RunToEnd(c, r)) << "the run did not end";
    EXPECT_EQ(r.finals.load(), 1);
    EXPECT_EQ(r.overlaps.load(), 0);
    EXPECT_EQ(r.calls.back().finished, 1);
    for (size_t i = 0; i + 1 < r.calls.size(); ++i) EXPECT_EQ(r.calls[i].finished, 0);
    if (r.Final().error) ++failedRuns;
    if (kind == 2) ++stoppedRuns;
    // Every file is either whole or absent, and no temporary file is left.
    for (int i = 0; i < 20; ++i) {
      std::string got = ReadFileBytes(Join(out, u"d" + U16(std::to_string(i)) + u".bin"));
      if (got != "<missing>") {
        EXPECT_TRUE(got == contents[i]) << i;
      }
    }
    EXPECT_TRUE(TempFiles(out).empty());
  }
  // Reads and writes of the empty files do not happen, so a few planned
  // failures never trigger; most do.
  EXPECT_GT(failedRuns, 60);
  EXPECT_GT(stoppedRuns, 20);
  DWORD handlesAfter = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
  EXPECT_LE(handlesAfter, handlesBefore + 2) << handlesBefore;
  // A thread that has just returned can still be listed for a moment; one
  // left over from each run would be 200 more.
  DWORD threadsAfter = CountThreads();
  for (int i = 0; i < 100 && threadsAfter > threadsBefore; ++i) {
    Sleep(10);
    threadsAfter = CountThreads();
  }
  EXPECT_EQ(threadsAfter, threadsBefore);
}

// ---- a verifier over the bytes as they pass --------------------------------------

namespace {

// Each job's SHA-256 against a list, as a signed package's check does it.
struct DigestList : ztCopyVerifier {
  std::vector<ztSha256Digest> expected;
  std::vector<size_t> begun;
  ztSha256 hash;
  void BeginFile(size_t index) override {
    begun.push_back(index);
    hash.Reset();
  }
  void AddBlock(const void* data, uint32_t length) override { hash.Update(data, length); }
  int32_t EndFile() override { return hash.Finish() == expected[begun.back()]; }
  int32_t CheckFile(size_t index, const void* data, uint32_t length) override {
    {
      std::lock_guard<std::mutex> guard(lock);
      begun.push_back(index);
    }
    return ztSha256::Of(data, length) == expected[index];
  }
  std::mutex lock;
};

}  // namespace

TEST_F(Copier, AVerifierSeesEveryByteAndAFileThatFailsItIsNeverInstalled) {
  // One block, several blocks (buffered: 2 MiB each), zero bytes, then a
  // file of several blocks whose digest is not the listed one.
  const std::string small = Pattern(4096, 1), big = Pattern((5u << 20) + 7, 2), bad = Pattern(3u << 20, 3);
  const std::u16string installed = Installed(u"bad.bin", "old");
  FaultyCopier c(3, 1);
  DigestList check;
  for (const std::string* bytes : {&small, &big, &bad})
    check.expected.push_back(ztSha256::Of(bytes->data(), bytes->size()));
  check.expected.insert(check.expected.begin() + 2, ztSha256::Of("", 0));
  check.expected.back().bytes[0] ^= 1;
  ASSERT_TRUE(c.SetVerifier(&check));
  EXPECT_TRUE(c.AddJob(Source(u"small.bin", small).c_str(), Out(u"small.bin").c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"big.bin", big).c_str(), Out(u"big.bin").c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"empty.bin", "").c_str(), Out(u"empty.bin").c_str(), 0));
  EXPECT_TRUE(c.AddJob(Source(u"bad.bin", bad).c_str(), installed.c_str(), 0));
  Recorder r;
  ASSERT_TRUE(RunToEnd(c, r));
  EXPECT_FALSE(c.SetVerifier(&check));  // started
  EXPECT_EQ(check.begun, (std::vector<size_t>{0, 1, 2, 3}));
  EXPECT_EQ(ReadFileBytes(Out(u"small.bin")), small);
  EXPECT_EQ(ReadFileBytes(Out(u"big.bin")), big);
  EXPECT_EQ(ReadFileBytes(Out(u"empty.bin")), "");
  EXPECT_TRUE(PathExists(Out(u"empty.bin")));
  ASSERT_EQ(r.Failures().size(), 1u);
  EXPECT_EQ(std::u16string(r.Failures()[0].errorText), SystemText(ERROR_FILE_CORRUPT));
  EXPECT_EQ(ReadFileBytes(installed), "old");
  // The last block of the refused file never reached its temporary file.
  EXPECT_EQ(c.writes.load(), 1 + 3 + 1);
  EXPECT_TRUE(TempFiles(Out(u"")).empty());
}

TEST_F(Copier, FilesReadAheadAreEachCheckedBeforeTheyAreWritten) {
  // Files of one block, read ahead and checked on two threads, among an
  // empty file, a file of several blocks and a program file mode 1 leaves
  // to the coordinator (each stops the reading ahead, which starts again
  // after it); then the same with one file's bytes not the listed ones.
  constexpr size_t kCount = 40;
  std::vector<std::string> bytes(kCount);
  std::vector<std::u16string> names(kCount);
  for (size_t i = 0; i < kCount; ++i) {
    bytes[i] = i == 12 ? "" : i == 25 ? Pattern((3u << 20) + 5, 7) : Pattern(1000 + i * 3001, static_cast<uint32_t>(i));
    names[i] = u"f" + U16(std::to_string(i)) + (i == 7 ? u".dll" : u".bin");
    Source(names[i], bytes[i]);
  }
  for (const size_t bad : {kCount, size_t{31}}) {
    for (const bool backup : {false, true}) {
      SCOPED_TRACE(std::to_string(bad) + (backup ? " with a backup folder" : ""));
      zt_test::RemoveTree(Out(u""));
      ASSERT_TRUE(CreateFolderTree(Out(u"x").c_str(), 1));
      FaultyCopier c(3, 1);
      DigestList check;
      for (const std::string& b : bytes) check.expected.push_back(ztSha256::Of(b.data(), b.size()));
      if (bad < kCount) check.expected[bad].bytes[3] ^= 0x40;
      ASSERT_TRUE(c.SetVerifier(&check));
      ASSERT_TRUE(c.SetMode(1));
      if (backup) {
        ASSERT_TRUE(CreateFolderTree(Join(dir.Path(), u"keep\\x").c_str(), 1));
        ASSERT_TRUE(c.SetBackupFolder(Join(dir.Path(), u"keep").c_str()));
      }
      for (size_t i = 0; i < kCount; ++i) ASSERT_TRUE(c.AddJob(In(names[i]).c_str(), Out(names[i]).c_str(), 0));
      Recorder r;
      ASSERT_TRUE(RunToEnd(c, r));
      // Every file up to the refused one was checked exactly once; files
      // after it may have been read and checked, but none was written.
      std::vector<size_t> begun = check.begun;
      std::sort(begun.begin(), begun.end());
      for (size_t i = 0; i < kCount && i <= bad; ++i)
        EXPECT_EQ(std::count(begun.begin(), begun.end(), i), 1) << i;
      EXPECT_TRUE(std::adjacent_find(begun.begin(), begun.end()) == begun.end());
      for (size_t i = 0; i < kCount; ++i) {
        if (i < bad) {
          EXPECT_EQ(ReadFileBytes(Out(names[i])), bytes[i]) << i;
        } else {
          EXPECT_FALSE(PathExists(Out(names[i]))) << i;
        }
      }
      ASSERT_EQ(r.Failures().size(), bad < kCount ? 1u : 0u);
      if (bad < kCount) {
        EXPECT_EQ(std::u16string(r.Failures()[0].errorText), SystemText(ERROR_FILE_CORRUPT));
      }
      EXPECT_TRUE(TempFiles(Out(u"")).empty());
    }
  }
}

TEST_F(Copier, ACheckedRunWritesNoByteItDidNotCheck) {
  // An empty file that is not the listed one leaves the installed file as
  // it was; a source that an earlier job writes is read after that write.
  const std::string a = Pattern(5000, 1), b = Pattern(6000, 2);
  for (const bool emptyRefused : {false, true}) {
    SCOPED_TRACE(emptyRefused ? "an empty file refused" : "every file right");
    zt_test::RemoveTree(Out(u""));
    const std::u16string installed = Installed(u"empty.bin", "old");
    FaultyCopier copier(3, 1);
    DigestList check;
    const ztSha256Digest digestOfA = ztSha256::Of(a.data(), a.size());
    check.expected = {digestOfA, digestOfA, digestOfA, ztSha256::Of("", 0)};
    if (emptyRefused) check.expected[3] = ztSha256::Of("x", 1);
    ASSERT_TRUE(copier.SetVerifier(&check));
    // a.bin -> out\a.bin, a.bin -> out\b.bin, then out\b.bin -> out\c.bin
    // (read ahead after the first), then an empty file.
    ASSERT_TRUE(copier.AddJob(Source(u"a.bin", a).c_str(), Out(u"a.bin").c_str(), 0));
    ASSERT_TRUE(copier.AddJob(In(u"a.bin").c_str(), Installed(u"b.bin", b).c_str(), 0));
    ASSERT_TRUE(copier.AddJob(Out(u"b.bin").c_str(), Out(u"c.bin").c_str(), 0));
    ASSERT_TRUE(copier.AddJob(Source(u"empty.bin", "").c_str(), installed.c_str(), 0));
    Recorder r;
    ASSERT_TRUE(RunToEnd(copier, r));
    ASSERT_EQ(r.Failures().size(), emptyRefused ? 1u : 0u);
    EXPECT_EQ(ReadFileBytes(Out(u"b.bin")), a);
    EXPECT_EQ(ReadFileBytes(Out(u"c.bin")), a);
    EXPECT_EQ(ReadFileBytes(installed), emptyRefused ? "old" : "");
    EXPECT_TRUE(TempFiles(Out(u"")).empty());
  }
}

TEST_F(Copier, FilesThatEarlierJobsReadOrWriteAreLeftToTheirOwnTurn) {
  // The fetchers work a few jobs ahead, but never on a file a job before
  // still needs: job 1 replaces the file job 0 reads, job 2 reads the file
  // job 1 writes, and job 3 writes over the file job 2 wrote.
  const std::string a = Pattern(5000, 1), b = Pattern(7000, 2), c = Pattern(9000, 3);
  for (const bool backup : {false, true}) {
    SCOPED_TRACE(backup ? "with a backup folder" : "without");
    zt_test::RemoveTree(Out(u""));
    const std::u16string keep = Join(dir.Path(), u"keep");
    zt_test::RemoveTree(keep);
    ASSERT_TRUE(CreateFolderTree(Join(keep, u"x").c_str(), 1));
    const std::u16string shared = Installed(u"shared.bin", a);
    ztFileCopier copier(3, 1);
    if (backup) {
      ASSERT_TRUE(copier.SetBackupFolder(keep.c_str()));
    }
    ASSERT_TRUE(copier.SetTotalSize(123));
    ASSERT_TRUE(copier.AddJob(shared.c_str(), Out(u"first.bin").c_str(), 0));
    ASSERT_TRUE(copier.AddJob(Source(u"b.bin", b).c_str(), shared.c_str(), 0));
    ASSERT_TRUE(copier.AddJob(shared.c_str(), Out(u"second.bin").c_str(), 0));
    ASSERT_TRUE(copier.AddJob(Source(u"c.bin", c).c_str(), Out(u"second.bin").c_str(), 0));
    Recorder r;
    ASSERT_TRUE(RunToEnd(copier, r));
    EXPECT_FALSE(copier.SetTotalSize(1));  // started
    EXPECT_EQ(r.Final().error, 0);
    EXPECT_EQ(r.Final().totalSize, 123u);
    EXPECT_EQ(ReadFileBytes(Out(u"first.bin")), a);
    EXPECT_EQ(ReadFileBytes(shared), b);
    EXPECT_EQ(ReadFileBytes(Out(u"second.bin")), c);
    if (backup) {
      EXPECT_EQ(ReadFileBytes(Join(keep, u"00000001.bak")), a);
      EXPECT_EQ(ReadFileBytes(Join(keep, u"00000003.bak")), b);
    }
    EXPECT_TRUE(TempFiles(Out(u"")).empty());
  }
}

// ---- a mixed run that fails or is stopped part-way --------------------------------

namespace {

// Forty jobs of every kind, with a backup folder: empty files, files of one
// block, files of two blocks (buffered: 2 MiB each) and program files that
// mode 1 keeps (an installed newer one) or replaces; every other
// destination holds an older file.
struct MixedRun {
  static constexpr size_t kCount = 40;
  std::vector<std::string> offered, installed;  // installed: kMissing for a new file
  std::vector<std::u16string> names;
  std::vector<bool> kept;  // mode 1 keeps the installed program
  std::vector<int> blocks;
};

MixedRun MakeMixedRun() {
  MixedRun m;
  for (size_t i = 0; i < MixedRun::kCount; ++i) {
    const uint32_t seed = static_cast<uint32_t>(i + 1);
    const bool program = i % 10 == 5, twoBlocks = i % 10 == 1, empty = i % 10 == 8;
    std::string bytes = empty ? "" : twoBlocks ? Pattern((3u << 20) + 11 * i, seed) : Pattern(700 + 913 * i, seed);
    std::string old = i % 2 ? Pattern(300 + i, seed + 100) : std::string(zt_test::kMissing);
    bool kept = false;
    if (program) {
      kept = i % 20 == 5;
      bytes = Program("1_2_0_0");
      old = Program(kept ? "1_2_0_1" : "1_1_9_9");
    }
    m.offered.push_back(bytes);
    m.installed.push_back(old);
    m.kept.push_back(kept);
    m.blocks.push_back(kept || empty ? 0 : twoBlocks ? 2 : 1);
    m.names.push_back(u"m" + U16(std::to_string(i)) + (program ? u".exe" : u".bin"));
  }
  return m;
}

}  // namespace

TEST_F(Copier, AMixedRunThatFailsOrIsStoppedLeavesEachFileWholeAndEveryBackupInPlace) {
  const MixedRun m = MakeMixedRun();
  for (size_t i = 0; i < MixedRun::kCount; ++i) Source(m.names[i], m.offered[i]);
  // The writes before job 31 (two blocks): its second block fails.
  int writesBefore31 = 0;
  for (size_t i = 0; i < 31; ++i) writesBefore31 += m.blocks[i];
  ASSERT_EQ(m.blocks[31], 2);
  // -1: the failure; else the callback call that asks to stop, spread over
  // the run (skips, blocks of every kind, the first and the last calls).
  const int cases[] = {-1, 0, 1, 2, 5, 9, 14, 20, 26, 31, 35, 38, 39};
  for (const int stopAt : cases) {
    SCOPED_TRACE(stopAt < 0 ? std::string("write failure at job 31") : "stop at call " + std::to_string(stopAt));
    zt_test::RemoveTree(Out(u""));
    const std::u16string keep = Join(dir.Path(), u"keep");
    zt_test::RemoveTree(keep);
    ASSERT_TRUE(CreateFolderTree(Join(keep, u"x").c_str(), 1));
    for (size_t i = 0; i < MixedRun::kCount; ++i)
      if (m.installed[i] != zt_test::kMissing) Installed(m.names[i], m.installed[i]);
    FaultyCopier c(3, 1);
    if (stopAt < 0) c.failWrite = writesBefore31 + 1;
    ASSERT_TRUE(c.SetMode(1));
    ASSERT_TRUE(c.SetBackupFolder(keep.c_str()));
    for (size_t i = 0; i < MixedRun::kCount; ++i)
      ASSERT_TRUE(c.AddJob(In(m.names[i]).c_str(), Out(m.names[i]).c_str(), static_cast<int32_t>(i)));
    Recorder r;
    r.stopAtCall = stopAt;
    ASSERT_TRUE(RunToEnd(c, r));
    EXPECT_EQ(r.finals.load(), 1);
    const bool failed = stopAt < 0;
    EXPECT_EQ(r.Final().error, failed ? 1 : 0);
    if (failed) {
      EXPECT_EQ(r.Final().jobFlag, 31);
      EXPECT_EQ(std::u16string(r.Final().errorText), SystemText(ERROR_DISK_FULL));
    }
    // Each file is the new one, or the old one in its place or in the
    // backup of its job; a new file that was not finished is not there.
    size_t reached = 0;
    for (size_t i = 0; i < MixedRun::kCount; ++i) {
      SCOPED_TRACE(i);
      char16_t backupName[16];
      ASSERT_TRUE(ztCopyBackupName(backupName, 16, static_cast<uint32_t>(i)));
      const std::string now = ReadFileBytes(Out(m.names[i])), backup = ReadFileBytes(Join(keep, backupName));
      const bool isNew = now == m.offered[i] && !m.kept[i];
      if (isNew) reached = i + 1;
      if (failed) {
        EXPECT_EQ(isNew, i < 31 && !m.kept[i]);
      }
      if (isNew || m.kept[i]) {
        if (m.kept[i]) {
          EXPECT_EQ(now, m.installed[i]);
        }
        EXPECT_EQ(backup, m.kept[i] ? zt_test::kMissing : m.installed[i]);
      } else if (now != zt_test::kMissing) {
        EXPECT_EQ(now, m.installed[i]);
        EXPECT_EQ(backup, zt_test::kMissing);
      } else {
        EXPECT_EQ(backup, m.installed[i]);
      }
    }
    // The files are installed in job order, and a stop ends the run at
    // once: the final call comes next.
    for (size_t i = 0; i < reached; ++i) EXPECT_TRUE(m.kept[i] || ReadFileBytes(Out(m.names[i])) == m.offered[i]) << i;
    if (!failed) {
      EXPECT_EQ(r.calls.size(), static_cast<size_t>(stopAt) + 2);
    }
    EXPECT_TRUE(TempFiles(Out(u"")).empty());
  }
}

TEST(FlushQueue, EveryFileHandedOverIsFlushedAndClosedAndAFailureIsKept) {
  zt_test::TempDir dir;
  for (int threads : {0, 1, 4}) {
    SCOPED_TRACE(threads);
    ztFlushQueue queue;
    if (threads) {
      ASSERT_EQ(queue.Start(threads), 1);
    }
    // More files than the queue holds at once: the caller waits for room.
    for (int i = 0; i < 300; ++i) {
      std::u16string name(1, u'f');
      name += static_cast<char16_t>(u'a' + i % 26);
      name += U16(std::to_string(i));
      const std::u16string path = Join(dir.Path(), name);
      HANDLE h = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
      DWORD put = 0;
      ASSERT_TRUE(WriteFile(h, "data", 4, &put, nullptr));
      queue.Add(reinterpret_cast<intptr_t>(h));
    }
    EXPECT_EQ(queue.Finish(), 0u);
    // A file that cannot be flushed (open for reading only) is reported,
    // and the files after it are still flushed and closed.
    HANDLE readOnly = CreateFileW(W(Join(dir.Path(), u"fa0")), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    queue.Add(reinterpret_cast<intptr_t>(readOnly));
    HANDLE last = CreateFileW(W(Join(dir.Path(), u"last")), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    queue.Add(reinterpret_cast<intptr_t>(last));
    EXPECT_NE(queue.Finish(), 0u);
    // Closed: a file opened without sharing can be opened again.
    HANDLE again = CreateFileW(W(Join(dir.Path(), u"last")), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
  }
}

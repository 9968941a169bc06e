// A file's destination and its installation: the installed file held and
// moved to the backup folder, the new file created (under its own name or a
// temporary one) and, once its bytes are written, given its name, its times
// and the archive attribute, then handed to the flush queue.
//
// Threads: the fetchers make targets ready ahead of their jobs' turns and
// the coordinator makes and installs them in the turns; each function here
// touches only the target and the job it is given (and the settings, fixed
// once the run has started), so they may all work at once on different jobs.
// Installing (InstallTarget, HandOver) and the leftovers' clean-up are the
// coordinator's alone: the flush queue takes files from one thread.
#include <windows.h>

#include <cstddef>

#include "file/textutil.h"
#include "file/ztCopyShared_win32.h"
#include "file/ztFile.h"
#include "file/ztFileCopier.h"
#include "file/ztFlushQueue.h"
#include "platform/ztHeap.h"
#include "platform/ztWide.h"

using namespace ztcopy;

namespace {

// Numbers of temporary files, process-wide so that two engines never pick
// the same name.
std::atomic<uint32_t> g_tempNumber{0};

// Whether a process that may own a leftover temporary file still runs. A
// process that cannot be asked (another user's) counts as running.
bool ProcessRuns(uint32_t pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return GetLastError() == ERROR_ACCESS_DENIED;
  bool runs = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return runs;
}

// Renaming a file through the handle that holds it: what MoveFileExW does
// inside, without opening both names again (under an emulation layer each
// name lookup in a large folder is a scan of the whole folder), and with
// nobody able to take the name in between. The entry point is looked up
// once; without it, or when the system refuses, the caller renames by name.
struct RenameInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;  // bytes
  WCHAR fileName[1];
};
struct IoStatus {
  union {
    LONG status;
    PVOID pointer;
  };
  ULONG_PTR information;
};
using SetInformationFileFn = LONG(WINAPI*)(HANDLE, IoStatus*, PVOID, ULONG, int);
constexpr int kFileRenameInformation = 10;

SetInformationFileFn SetInformationFile() {
  static SetInformationFileFn fn = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<SetInformationFileFn>(
                       reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSetInformationFile")))
                 : nullptr;
  }();
  return fn;
}

// The system's own name of a full path ("\??\C:\..." or
// "\??\UNC\server\..."); 0 for paths it has no such form for here.
int NtPathOf(const char16_t* path, wchar_t* out, size_t cap) {
  wchar_t full[ZT_MAX_PATH];
  DWORD n = GetFullPathNameW(W(path), ZT_MAX_PATH, full, nullptr);
  if (n == 0 || n >= ZT_MAX_PATH) return 0;
  const wchar_t* rest = full;
  const wchar_t* prefix = L"\\??\\";
  if (full[0] == L'\\' && full[1] == L'\\') {
    if (full[2] == L'?' || full[2] == L'.') return 0;  // already a device or long form
    prefix = L"\\??\\UNC\\";
    rest = full + 2;
  } else if (!(full[0] && full[1] == L':' && full[2] == L'\\')) {
    return 0;
  }
  size_t p = lstrlenW(prefix), r = lstrlenW(rest);
  if (p + r + 1 > cap) return 0;
  CopyMemory(out, prefix, p * sizeof(wchar_t));
  CopyMemory(out + p, rest, (r + 1) * sizeof(wchar_t));
  return static_cast<int>(p + r);
}

// 1 when the file behind `handle` (opened with DELETE access) now has the
// name `destination`, replacing what was there.
int RenameOpenFile(HANDLE handle, const char16_t* destination) {
  SetInformationFileFn setInformation = SetInformationFile();
  if (!setInformation) return 0;
  // The record ends in the name, as long as it needs to be.
  constexpr size_t kNameCap = ZT_MAX_PATH + 16;
  alignas(RenameInformation) unsigned char request[sizeof(RenameInformation) + kNameCap * sizeof(wchar_t)] = {};
  auto* info = reinterpret_cast<RenameInformation*>(request);
  auto* name = reinterpret_cast<wchar_t*>(request + offsetof(RenameInformation, fileName));
  int length = NtPathOf(destination, name, kNameCap);
  if (length <= 0) return 0;
  info->replaceIfExists = TRUE;
  info->rootDirectory = nullptr;
  info->fileNameLength = static_cast<ULONG>(length * sizeof(wchar_t));
  IoStatus io = {};
  return setInformation(handle, &io, request, sizeof request, kFileRenameInformation) >= 0 ? 1 : 0;
}

}  // namespace

int ztRenameOpenFile(intptr_t handle, const char16_t* destination) {
  return RenameOpenFile(reinterpret_cast<HANDLE>(handle), destination);
}

namespace {

uint64_t Value(const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

}  // namespace

// ---- the source ------------------------------------------------------------------

int32_t ztFileCopier::OpenSource(const char16_t* source, int32_t unbuffered, intptr_t* handle, uint64_t* size) {
  *handle = 0;
  *size = 0;
  DWORD flags = FILE_FLAG_SEQUENTIAL_SCAN | (unbuffered ? FILE_FLAG_NO_BUFFERING : 0);
  HANDLE s = CreateFileW(W(source), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
  if (s == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER bytes;
  if (!GetFileSizeEx(s, &bytes)) {
    CloseHandle(s);
    return 0;
  }
  *handle = I(s);
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return 1;
}

// The source's times as they are once its bytes have been read (reading may
// move the access time), for the installed file to carry.
void ztFileCopier::ReadTimes(intptr_t source, uint64_t* times) {
  FILETIME t[3];
  if (!GetFileTime(H(source), &t[0], &t[1], &t[2])) return;
  for (int i = 0; i < 3; ++i) times[i] = Value(t[i]);
}

// ---- the destination --------------------------------------------------------------

int32_t ztFileCopier::BackupPath(size_t index, char16_t* path) {
  char16_t name[16] = u"\\";
  if (index > UINT32_MAX || !ztCopyBackupName(name + 1, 15, static_cast<uint32_t>(index)) ||
      ztAppendLong(path, ZT_LONG_PATH, backupFolder_, name) < 0) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  return 1;
}

// The destination side of a job of one byte or more whose folder
// exists. `direct`: the file may be written under its own name (it is not
// a checked file that is checked only as its last block passes). 1, or 0
// with nothing of the destination changed except, with a backup folder, the
// installed file moved there.
int32_t ztFileCopier::OpenTarget(const CopyJob& job, size_t index, bool direct, CopyTarget& target) {
  target.ready = 0;
  // Most destinations of an update are new: trying to make the file first
  // spares asking the system about a name that is not there.
  if (!(direct && CreateInPlace(job.destination, target))) {
    if (!HoldInstalled(job, target)) return 0;
    // With a backup folder the installed file (held since the check) moves
    // there now, and its replacement is written under its own name: the
    // caller's journal puts the old file back if this one is not finished,
    // and a temporary name would cost a second rename.
    const bool moveNow = direct && target.installed && backupFolder_[0];
    const int32_t made = moveNow ? MoveInstalledToBackup(job, index, target) && CreateInPlace(job.destination, target)
                                 : CreateTemp(job.destination, target);
    if (!made) {
      DiscardTarget(target);
      return 0;
    }
  }
  target.ready = 1;
  return 1;
}

// An installed file must be writable now (not read-only, not held by
// anyone), so the job fails before any data moves. The attribute is
// checked too, because a process with full rights (an administrator's, or
// one under an emulation layer) may be let in. The file is then held
// without sharing until its replacement is in place, so nobody else changes
// it meanwhile; with DELETE access when it is to be moved to the backup
// folder through this handle. A link in the destination's place is opened
// (and moved) as itself, never followed to whatever it points at.
int32_t ztFileCopier::HoldInstalled(const CopyJob& job, CopyTarget& target) {
  const DWORD attributes = GetFileAttributesW(W(job.destination));
  if (attributes == INVALID_FILE_ATTRIBUTES) return 1;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  HANDLE t = CreateFileW(W(job.destination), GENERIC_WRITE | (backupFolder_[0] ? DELETE : 0), 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (t == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 1 : 0;
  target.installed = I(t);
  return 1;
}

// An empty source has no data to leave half-written: the destination itself
// is made (or emptied) and is complete at once. A file the caller wants
// kept is moved away first.
int32_t ztFileCopier::OpenEmptyTarget(const CopyJob& job, size_t index, CopyTarget& target) {
  const char16_t* destination = job.destination;
  const DWORD attributes = GetFileAttributesW(W(destination));
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  const bool keep = backupFolder_[0] != 0;
  if (keep && attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    char16_t backup[ZT_LONG_PATH];
    if (!BackupPath(index, backup) || !MoveFileExW(W(destination), W(backup), MOVEFILE_REPLACE_EXISTING)) return 0;
  }
  HANDLE d = CreateFileW(W(destination), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_ARCHIVE, nullptr);
  if (d == INVALID_HANDLE_VALUE && !keep) {
    d = CreateFileW(W(destination), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                    nullptr);
    target.emptied = d != INVALID_HANDLE_VALUE ? 1 : 0;
  }
  if (d == INVALID_HANDLE_VALUE) return 0;
  target.file = I(d);
  target.inPlace = 1;
  target.ready = 1;
  return 1;
}

int32_t ztFileCopier::CreateTemp(const char16_t* destination, CopyTarget& target) {
  // The data goes into a temporary file in the same folder, so that the
  // final rename stays on one volume. The path holds ZT_LONG_PATH units:
  // next to a destination deep in the tree the name is made in the long form.
  char16_t* path = target.path;
  path[0] = 0;
  char16_t folder[ZT_MAX_PATH];
  int hasFolder = GetParentFolder(destination, folder);
  if (hasFolder < 0) return 0;
  for (int attempt = 0; attempt < 64; ++attempt) {
    char16_t name[32] = u"\\";
    ztCopyTempName(name + 1, 31, GetCurrentProcessId(), g_tempNumber.fetch_add(1, std::memory_order_relaxed));
    int len = hasFolder == 1 ? ztAppendLong(path, ZT_LONG_PATH, folder, name) : CopyText(path, ZT_LONG_PATH, name + 1);
    if (len < 0) {
      path[0] = 0;
      return 0;
    }
    // Made with the attributes the installed file ends up with. DELETE
    // access lets the finished file be renamed through this handle.
    HANDLE d = CreateFileW(W(path), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (d != INVALID_HANDLE_VALUE) {
      target.file = I(d);
      return 1;
    }
    DWORD e = GetLastError();
    path[0] = 0;
    if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) return 0;
  }
  return 0;
}

int32_t ztFileCopier::CreateInPlace(const char16_t* destination, CopyTarget& target) {
  // With a backup folder the caller keeps a journal of the run, which
  // removes a new file that was not finished: a destination that is not
  // there yet is then written under its own name, which spares the
  // temporary name and the rename (on some systems each new name in a
  // large folder costs a scan of the folder). It is still removed here when
  // its copy fails or is stopped.
  if (!backupFolder_[0]) return 0;
  HANDLE d = CreateFileW(W(destination), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (d == INVALID_HANDLE_VALUE) return 0;
  target.file = I(d);
  (void)CopyText(target.path, ZT_LONG_PATH, destination);  // jobs' paths fit (AddJob)
  target.inPlace = 1;
  return 1;
}

int32_t ztFileCopier::MoveInstalledToBackup(const CopyJob& job, size_t index, CopyTarget& target) {
  // Through the handle that holds the file, so nobody can take the name in
  // between; by name when the system cannot rename an open file.
  char16_t backup[ZT_LONG_PATH];
  if (!BackupPath(index, backup)) {
    CloseIf(target.installed);
    return 0;
  }
  const bool moved = RenameOpenFile(H(target.installed), backup) != 0;
  CloseIf(target.installed);
  return moved || MoveFileExW(W(job.destination), W(backup), MOVEFILE_REPLACE_EXISTING);
}

void ztFileCopier::DiscardTarget(CopyTarget& target) {
  CloseIf(target.file);
  if (target.path[0]) DeleteFileW(W(target.path));
  target.path[0] = 0;
  CloseIf(target.installed);
  target.ready = target.inPlace = target.emptied = 0;
}

// ---- installing a finished file -----------------------------------------------------

// The file's bytes are all written: it takes the destination's name. A
// failure leaves the destination as it was (or, with a backup folder, the
// installed file there) and the new file removed.
int32_t ztFileCopier::InstallTarget(const CopyJob& job, size_t index, CopyTarget& target, uint32_t* systemError) {
  if (target.installed && backupFolder_[0] && !MoveInstalledToBackup(job, index, target)) {
    // A file written under a temporary name still has its installed file in
    // place: it leaves for the backup folder now, the name is then free.
    DWORD e = GetLastError();
    *systemError = e ? e : ERROR_WRITE_FAULT;
    DiscardTarget(target);
    return 0;
  }
  // The installed file is let go just before its replacement takes its name.
  CloseIf(target.installed);
  if (target.inPlace) {
    target.path[0] = 0;
    HandOver(target.file);
    return 1;
  }
  return RenameIntoPlace(job, target, systemError);
}

int32_t ztFileCopier::RenameIntoPlace(const CopyJob& job, CopyTarget& target, uint32_t* systemError) {
  if (RenameOpenFile(H(target.file), job.destination)) {
    target.path[0] = 0;
    HandOver(target.file);
    return 1;
  }
  // Moved by name below, which needs the file closed: a file the caller
  // wants on the disk is flushed here first (a rare path).
  const bool flushed = flushThreads_ == 0 || FlushFileBuffers(H(target.file));
  if (flushed) CloseIf(target.file);
  if (!flushed ||
      !MoveFileExW(W(target.path), W(job.destination), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DWORD e = GetLastError();
    *systemError = e ? e : ERROR_WRITE_FAULT;
    DiscardTarget(target);
    return 0;
  }
  target.path[0] = 0;
  return 1;
}

void ztFileCopier::HandOver(intptr_t& file) {
  // An installed file is closed by the flush queue once its data is on the
  // disk; without one, here.
  if (flusher_ && file) {
    flusher_->Add(file);
    file = 0;
    return;
  }
  CloseIf(file);
}

// ---- leftovers of killed runs ---------------------------------------------------------

void ztFileCopier::CleanLeftovers(const char16_t* destination) {
  char16_t folder[260];
  if (GetParentFolder(destination, folder) != 1) return;
  // Jobs come folder by folder: the last folder cleaned is usually this one.
  if (!cleanedFolders_.empty() && SamePath(cleanedFolders_.back().c_str(), folder)) return;
  for (const std::u16string& done : cleanedFolders_)
    if (SamePath(done.c_str(), folder)) return;
  cleanedFolders_.emplace_back(folder);
  ztDeleteCopyLeftovers(folder);
}

void ztDeleteCopyLeftovers(const char16_t* folder, bool anyProcess) {
  char16_t pattern[ZT_LONG_PATH];
  if (!folder || ztAppendLong(pattern, ZT_LONG_PATH, folder, u"\\~ztcp-*.tmp") < 0) return;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(W(pattern), &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const char16_t* name = reinterpret_cast<const char16_t*>(fd.cFileName);
    uint32_t pid = 0;
    if (!ztParseCopyTempName(name, &pid)) continue;
    // Our own files belong to a live run of this process; a live process's
    // file may be between its last write and its rename.
    if (!anyProcess && (pid == GetCurrentProcessId() || ProcessRuns(pid))) continue;
    char16_t path[ZT_LONG_PATH];
    char16_t tail[ZT_MAX_PATH + 1] = u"\\";
    if (CopyText(tail + 1, ZT_MAX_PATH, name) >= 0 && ztAppendLong(path, ZT_LONG_PATH, folder, tail) >= 0)
      DeleteFileW(W(path));
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}

// ---- the program-file rule ---------------------------------------------------------

int32_t ztFileCopier::ShouldCopy(const CopyJob& job) const {
  if (mode_ != 1 || !IsProgramFile(job.destination)) return 1;
  ztFile probe;
  if (!probe.IsFile(job.destination)) return 1;
  // Two records of 6 KB each: too much for the stack of a worker thread
  // that may run inside a small host.
  auto* versions = static_cast<ztFileVersion*>(ztHeapAlloc(0, 2 * sizeof(ztFileVersion)));
  if (!versions) return 1;
  int32_t copy = 1;
  if (ReadFileVersionInfo(job.destination, &versions[0]) && ReadFileVersionInfo(job.source, &versions[1])) {
    // Each version as two words: (first << 16 | second), (third << 16 |
    // fourth); the installed file is kept only when it is strictly newer.
    uint64_t installed = FileVersionValue(versions[0]);
    uint64_t offered = FileVersionValue(versions[1]);
    uint32_t highI = static_cast<uint32_t>(installed >> 32), lowI = static_cast<uint32_t>(installed);
    uint32_t highO = static_cast<uint32_t>(offered >> 32), lowO = static_cast<uint32_t>(offered);
    if (highI > highO || (highI == highO && lowI > lowO)) copy = 0;
  }
  ztHeapFree(versions);
  return copy;
}

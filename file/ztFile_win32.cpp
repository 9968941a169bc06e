#include <windows.h>

#include "file/file_sys.h"
#include "platform/ztWide.h"

namespace {

// Lookups must not pop up "insert a disk" dialogs for empty drives.
struct QuietErrors {
  UINT old;
  QuietErrors() : old(SetErrorMode(SEM_FAILCRITICALERRORS)) {}
  ~QuietErrors() { SetErrorMode(old); }
};

}  // namespace

namespace zt_filesys {

intptr_t Create(const char16_t* path, bool read, int disposition) {
  if (disposition < 1 || disposition > 5) return -1;
  HANDLE h = CreateFileW(W(path), read ? GENERIC_READ : GENERIC_WRITE, read ? FILE_SHARE_READ : 0, nullptr,
                         static_cast<DWORD>(disposition), read ? 0 : FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(h);
}

bool Close(intptr_t h) { return CloseHandle(reinterpret_cast<HANDLE>(h)) != 0; }

int64_t Read(intptr_t h, void* buffer, uint32_t count) {
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(h), buffer, count, &got, nullptr)) return -1;
  return got;
}

int64_t Write(intptr_t h, const void* buffer, uint32_t count) {
  DWORD put = 0;
  if (!WriteFile(reinterpret_cast<HANDLE>(h), buffer, count, &put, nullptr)) return -1;
  return put;
}

int64_t Size(intptr_t h) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(reinterpret_cast<HANDLE>(h), &size)) return -1;
  return size.QuadPart;
}

int64_t SeekTo(intptr_t h, uint64_t position) {
  LARGE_INTEGER to, now;
  to.QuadPart = static_cast<LONGLONG>(position);
  if (!SetFilePointerEx(reinterpret_cast<HANDLE>(h), to, &now, FILE_BEGIN)) return -1;
  return now.QuadPart;
}

bool Find(const char16_t* path, bool* isFolder, uint64_t* size) {
  if (!path) return false;
  QuietErrors quiet;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(W(path), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  FindClose(h);
  *isFolder = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  *size = (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
  return true;
}

uint32_t GetAttributes(const char16_t* path) {
  if (!path) return INVALID_FILE_ATTRIBUTES;
  QuietErrors quiet;
  return GetFileAttributesW(W(path));
}

int SetAttributes(const char16_t* path, uint32_t attributes) {
  return path ? SetFileAttributesW(W(path), attributes) : 0;
}

int Delete(const char16_t* path) { return DeleteFileW(W(path)); }

}  // namespace zt_filesys

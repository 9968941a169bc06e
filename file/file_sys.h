// System side of the disk file (ztFile_win32.cpp / ztFile_posix.cpp). Handles
// are intptr_t with -1 meaning none.
#pragma once

#include <cstdint>

namespace zt_filesys {

// Win32 creation dispositions, the numbers ztFile::Open builds.
enum : int { kCreateNew = 1, kCreateAlways = 2, kOpenExisting = 3, kOpenAlways = 4, kTruncateExisting = 5 };

// read: GENERIC_READ shared for reading, no attribute flags; otherwise
// GENERIC_WRITE, not shared, FILE_ATTRIBUTE_NORMAL. Any other disposition
// than 1 to 5 fails.
intptr_t Create(const char16_t* path, bool read, int disposition);
bool Close(intptr_t h);
// Bytes moved, or -1 on failure (the system error is then in LastError).
int64_t Read(intptr_t h, void* buffer, uint32_t count);
int64_t Write(intptr_t h, const void* buffer, uint32_t count);
int64_t Size(intptr_t h);
// Moves to an absolute position; the new position or -1.
int64_t SeekTo(intptr_t h, uint64_t position);

// FindFirstFile-style lookup with critical-error dialogs suppressed.
bool Find(const char16_t* path, bool* isFolder, uint64_t* size);
uint32_t GetAttributes(const char16_t* path);
int SetAttributes(const char16_t* path, uint32_t attributes);
int Delete(const char16_t* path);

}  // namespace zt_filesys

// Host build of the disk file over POSIX calls. Sharing modes do not exist
// here, and the Win32 attribute bits are approximated: read-only from the
// owner's write permission, hidden from a leading dot, folder from the type.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "file/file_sys.h"
#include "file/pathutil_sys.h"
#include "file/ztFile.h"

namespace zt_filesys {

intptr_t Create(const char16_t* path, bool read, int disposition) {
  int flags = read ? O_RDONLY : O_WRONLY;
  switch (disposition) {
    case kCreateNew: flags |= O_CREAT | O_EXCL; break;
    case kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case kOpenExisting: break;
    case kOpenAlways: flags |= O_CREAT; break;
    case kTruncateExisting:
      if (read) return -1;  // truncation needs write access, as on Windows
      flags |= O_TRUNC;
      break;
    default: return -1;
  }
  std::string native = zt_path::ToNative(path);
  struct stat st;
  if (stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return -1;
  int fd = open(native.c_str(), flags | O_CLOEXEC, 0666);
  return fd < 0 ? -1 : fd;
}

bool Close(intptr_t h) { return close(static_cast<int>(h)) == 0; }

int64_t Read(intptr_t h, void* buffer, uint32_t count) {
  ssize_t n = read(static_cast<int>(h), buffer, count);
  return n < 0 ? -1 : n;
}

int64_t Write(intptr_t h, const void* buffer, uint32_t count) {
  ssize_t n = write(static_cast<int>(h), buffer, count);
  return n < 0 ? -1 : n;
}

int64_t Size(intptr_t h) {
  struct stat st;
  if (fstat(static_cast<int>(h), &st) != 0) return -1;
  return st.st_size;
}

int64_t SeekTo(intptr_t h, uint64_t position) {
  off_t r = lseek(static_cast<int>(h), static_cast<off_t>(position), SEEK_SET);
  return r < 0 ? -1 : r;
}

bool Find(const char16_t* path, bool* isFolder, uint64_t* size) {
  if (!path) return false;
  struct stat st;
  if (stat(zt_path::ToNative(path).c_str(), &st) != 0) return false;
  *isFolder = S_ISDIR(st.st_mode);
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

uint32_t GetAttributes(const char16_t* path) {
  if (!path) return ZT_ATTR_INVALID;
  std::string native = zt_path::ToNative(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return ZT_ATTR_INVALID;
  uint32_t a = 0;
  if (S_ISDIR(st.st_mode)) a |= ZT_ATTR_DIRECTORY;
  if (!(st.st_mode & S_IWUSR)) a |= ZT_ATTR_READONLY;
  size_t slash = native.find_last_of('/');
  const char* name = native.c_str() + (slash == std::string::npos ? 0 : slash + 1);
  if (name[0] == '.' && name[1] && std::strcmp(name, "..") != 0) a |= ZT_ATTR_HIDDEN;
  return a ? a : ZT_ATTR_NORMAL;
}

int SetAttributes(const char16_t* path, uint32_t attributes) {
  if (!path) return 0;
  std::string native = zt_path::ToNative(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return 0;
  mode_t mode = st.st_mode & 07777;
  if (attributes & ZT_ATTR_READONLY)
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else
    mode |= S_IWUSR;
  return chmod(native.c_str(), mode) == 0 ? 1 : 0;
}

int Delete(const char16_t* path) { return unlink(zt_path::ToNative(path).c_str()) == 0 ? 1 : 0; }

}  // namespace zt_filesys

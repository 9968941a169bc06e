// The file helpers of tests/common/testutil.h in the Windows build: plain
// Win32 calls, as the updater makes them, with sharing that lets a test read
// a file another handle still holds open.
#include <windows.h>

#include <vector>

#include "tests/common/testutil.h"

namespace zt_test {

bool WriteFileBytes(const std::u16string& path, const std::string& bytes) {
  // Every parent folder, outermost first. One that exists already, or a
  // drive, fails here harmlessly; a real failure shows in the open.
  for (size_t i = 1; i < path.size(); ++i)
    if (path[i] == u'\\' || path[i] == u'/') CreateDirectoryW(W(path.substr(0, i)), nullptr);
  HANDLE f = CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  BOOL ok = bytes.empty() ? TRUE : WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  CloseHandle(f);
  return ok && put == bytes.size();
}

bool LoadFileBytes(const std::u16string& path, std::string* bytes) {
  bytes->clear();
  HANDLE f = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  std::vector<char> buffer(1 << 16);
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(f, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    bytes->append(buffer.data(), got);
  }
  CloseHandle(f);
  if (!ok) bytes->clear();
  return ok;
}

bool FileExists(const std::u16string& path) {
  DWORD a = GetFileAttributesW(W(path));
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathExists(const std::u16string& path) { return GetFileAttributesW(W(path)) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::u16string& path) {
  // Read-only files and folders would stay.
  SetFileAttributesW(W(path), FILE_ATTRIBUTE_NORMAL);
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW(W(Join(path, u"*")), &d);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::u16string name = reinterpret_cast<const char16_t*>(d.cFileName);
      if (name == u"." || name == u"..") continue;
      std::u16string child = Join(path, name);
      if ((d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveTree(child);
      } else {
        SetFileAttributesW(W(child), FILE_ATTRIBUTE_NORMAL);
        // A link to a folder elsewhere: the link goes, what it points to stays.
        if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveDirectoryW(W(child));
        else
          DeleteFileW(W(child));
      }
    } while (FindNextFileW(h, &d));
    FindClose(h);
  }
  RemoveDirectoryW(W(path));
}

}  // namespace zt_test

// The Windows side of the package tool's file access: wide Win32 calls, in
// the long path form wherever a path passes the 259-unit limit (a game's
// tree is often deeper than that below a build folder).
#include <windows.h>

#include <io.h>

#include <algorithm>
#include <cstdio>

#include "file/pathutil.h"
#include "pack/packfs.h"
#include "pack/packtext.h"
#include "platform/ztWide.h"

namespace {

// The path with '\' only, in the long form when it is too long for the
// plain one (CreateDirectoryW stops at 248 units).
std::u16string Sys(const std::u16string& path) {
  std::u16string p = path;
  std::replace(p.begin(), p.end(), u'/', u'\\');
  if (p.size() < 248) return p;
  std::vector<char16_t> out(32768);
  if (ztLongPathForm(p.c_str(), out.data(), out.size()) < 0) return p;
  return std::u16string(out.data());
}

std::string Reason() {
  char text[256] = {};
  const DWORD code = GetLastError();
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                 nullptr);
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s.empty() ? "system error " + std::to_string(code) : s;
}

uint64_t SizeOf(const WIN32_FIND_DATAW& d) { return static_cast<uint64_t>(d.nFileSizeHigh) << 32 | d.nFileSizeLow; }

HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

bool ListFiles(const std::u16string& root, std::vector<PackFileEntry>* files, std::string* error) {
  files->clear();
  std::vector<std::u16string> pending{u""};
  while (!pending.empty()) {
    const std::u16string relative = pending.back();
    pending.pop_back();
    const std::u16string folder = relative.empty() ? root : JoinPackPath(root, relative);
    WIN32_FIND_DATAW d;
    HANDLE find = FindFirstFileExW(W(Sys(JoinPackPath(folder, u"*")).c_str()), FindExInfoBasic, &d,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
      *error = "cannot read the folder " + Utf8Of(folder) + ": " + Reason();
      return false;
    }
    do {
      const std::u16string name = reinterpret_cast<const char16_t*>(d.cFileName);
      if (name == u"." || name == u"..") continue;
      const std::u16string inner = relative.empty() ? name : relative + u'\\' + name;
      if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        pending.push_back(inner);
      else
        files->push_back({inner, SizeOf(d)});
    } while (FindNextFileW(find, &d));
    const DWORD end = GetLastError();
    FindClose(find);
    if (end != ERROR_NO_MORE_FILES) {
      *error = "cannot read the folder " + Utf8Of(folder) + ": " + Reason();
      return false;
    }
  }
  std::sort(files->begin(), files->end(),
            [](const PackFileEntry& a, const PackFileEntry& b) { return a.path < b.path; });
  return true;
}

PackReader::~PackReader() { Close(); }

int64_t PackReader::Size() const {
  LARGE_INTEGER size;
  return handle_ != -1 && GetFileSizeEx(H(handle_), &size) ? static_cast<int64_t>(size.QuadPart) : -1;
}

bool PackReader::Open(const std::u16string& path) {
  Close();
  HANDLE h = CreateFileW(W(Sys(path).c_str()), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

int64_t PackReader::Read(void* buffer, size_t size) {
  if (handle_ == -1) return -1;
  size_t done = 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (done < size) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(H(handle_), bytes + done, want, &got, nullptr)) return -1;
    if (got == 0) break;
    done += got;
  }
  return static_cast<int64_t>(done);
}

int64_t PackReader::ReadAt(uint64_t offset, void* buffer, size_t size) {
  if (handle_ == -1) return -1;
  size_t done = 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (done < size) {
    // On a handle opened for synchronous reads the OVERLAPPED only carries
    // the offset: the call still returns when the bytes are there.
    OVERLAPPED at = {};
    const uint64_t where = offset + done;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(H(handle_), bytes + done, want, &got, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<int64_t>(done);
}

uint64_t PackReader::WriteTime() const {
  FILETIME created, accessed, written;
  if (handle_ == -1 || !GetFileTime(H(handle_), &created, &accessed, &written)) return 0;
  return static_cast<uint64_t>(written.dwHighDateTime) << 32 | written.dwLowDateTime;
}

void PackReader::Close() {
  if (handle_ != -1) CloseHandle(H(handle_));
  handle_ = -1;
}

bool IsFolderPath(const std::u16string& path) {
  const DWORD a = GetFileAttributesW(W(Sys(path).c_str()));
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFilePath(const std::u16string& path) {
  const DWORD a = GetFileAttributesW(W(Sys(path).c_str()));
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeFolders(const std::u16string& path) {
  if (IsFolderPath(path)) return true;
  std::u16string p = path;
  std::replace(p.begin(), p.end(), u'/', u'\\');
  while (!p.empty() && p.back() == u'\\') p.pop_back();
  const size_t slash = p.find_last_of(u'\\');
  // A drive ("C:") or a share's root needs no making.
  if (slash != std::u16string::npos && slash > 0 && p[slash - 1] != u':' && p[slash - 1] != u'\\' &&
      !MakeFolders(p.substr(0, slash)))
    return false;
  return CreateDirectoryW(W(Sys(p).c_str()), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool IsMissingOrEmptyFolder(const std::u16string& path) {
  if (!IsFolderPath(path)) return !IsFilePath(path);
  WIN32_FIND_DATAW d;
  HANDLE find = FindFirstFileW(W(Sys(JoinPackPath(path, u"*")).c_str()), &d);
  if (find == INVALID_HANDLE_VALUE) return true;
  bool empty = true;
  do {
    if (wcscmp(d.cFileName, L".") && wcscmp(d.cFileName, L"..")) empty = false;
  } while (empty && FindNextFileW(find, &d));
  FindClose(find);
  return empty;
}

namespace {

bool WriteAll(HANDLE h, const uint8_t* data, size_t size) {
  while (size > 0) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    DWORD put = 0;
    if (!WriteFile(h, data, want, &put, nullptr) || put == 0) return false;
    data += put;
    size -= put;
  }
  return true;
}

}  // namespace

PackWriter::~PackWriter() { Close(); }

bool PackWriter::Open(const std::u16string& path) {
  Close();
  if (!MakeParent(path)) return false;
  HANDLE h = CreateFileW(W(Sys(path).c_str()), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool PackWriter::Write(const void* data, size_t size) {
  return handle_ != -1 && WriteAll(H(handle_), static_cast<const uint8_t*>(data), size);
}

bool PackWriter::Close() {
  if (handle_ == -1) return true;
  const bool ok = CloseHandle(H(handle_)) != 0;
  handle_ = -1;
  return ok;
}

bool RemoveFile(const std::u16string& path) {
  return DeleteFileW(W(Sys(path).c_str())) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool RenameFile(const std::u16string& from, const std::u16string& to) {
  return MoveFileExW(W(Sys(from).c_str()), W(Sys(to).c_str()), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool WriteSmallFile(const std::u16string& path, const void* data, size_t size, bool, bool exclusive) {
  if (!MakeParent(path)) return false;
  HANDLE h = CreateFileW(W(Sys(path).c_str()), GENERIC_WRITE, 0, nullptr, exclusive ? CREATE_NEW : CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool written = WriteAll(h, static_cast<const uint8_t*>(data), size);
  return CloseHandle(h) && written;
}

bool CopyWholeFile(const std::u16string& from, const std::u16string& to, std::vector<uint8_t>* buffer) {
  PackReader in;
  if (!in.Open(from) || !MakeParent(to)) return false;
  HANDLE out = CreateFileW(W(Sys(to).c_str()), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  for (;;) {
    const int64_t n = in.Read(buffer->data(), buffer->size());
    if (n < 0 || !WriteAll(out, buffer->data(), static_cast<size_t>(n))) {
      ok = false;
      break;
    }
    if (static_cast<size_t>(n) < buffer->size()) break;
  }
  FILETIME created, accessed, written;
  if (ok && GetFileTime(H(in.Handle()), &created, &accessed, &written))
    ok = SetFileTime(out, nullptr, nullptr, &written) != 0;
  return CloseHandle(out) && ok;
}

std::u16string ProgramFolder() {
  std::vector<wchar_t> path(32768);
  const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return {};
  std::u16string s(reinterpret_cast<const char16_t*>(path.data()), n);
  const size_t slash = s.find_last_of(u"\\/");
  return slash == std::u16string::npos ? std::u16string() : s.substr(0, slash);
}

bool ErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void PrepareConsole() { SetConsoleOutputCP(CP_UTF8); }

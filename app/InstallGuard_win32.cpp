#include "app/InstallGuard.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "app/PackagePaths.h"
#include "file/textutil.h"
#include "platform/ztWide.h"

namespace {

HANDLE H(void* h) { return static_cast<HANDLE>(h); }

// The path the system gives for an open file or folder, without the
// long-path prefix when it fits a path buffer without it. False when it
// cannot be told.
bool FinalPathOf(HANDLE h, std::u16string* out) {
  std::u16string buffer(ZT_LONG_PATH, u'\0');
  DWORD n = GetFinalPathNameByHandleW(h, W(&buffer[0]), ZT_LONG_PATH, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= ZT_LONG_PATH) return false;
  buffer.resize(n);
  if (buffer.compare(0, 8, u"\\\\?\\UNC\\") == 0) {
    buffer = u"\\\\" + buffer.substr(8);
  } else if (buffer.compare(0, 4, u"\\\\?\\") == 0) {
    buffer = buffer.substr(4);
  }
  // A root keeps its separator ("C:\"); nothing else ends in one.
  while (buffer.size() > 3 && buffer.back() == u'\\') buffer.pop_back();
  *out = buffer;
  return true;
}

// True when `path` is `root` itself or lies below it, compared as the
// system compares names.
bool IsInside(const std::u16string& path, const char16_t* root) {
  const int rootLength = static_cast<int>(TextLength(root));
  if (static_cast<int>(path.size()) < rootLength) return false;
  if (CompareStringOrdinal(W(path.c_str()), rootLength, W(root), rootLength, TRUE) != CSTR_EQUAL) return false;
  if (static_cast<int>(path.size()) == rootLength) return true;
  return path[rootLength] == u'\\' || (rootLength > 0 && root[rootLength - 1] == u'\\');
}

}  // namespace

InstallGuard::~InstallGuard() {
  for (const auto& h : held_) CloseHandle(H(h.second));
  if (rootHandle_) CloseHandle(H(rootHandle_));
}

const char* InstallGuard::ProblemWords(int problem) {
  switch (problem) {
    case kGuardOk: return "";
    case kGuardNotFound: return "the installation folder cannot be opened";
    case kGuardBusy: return "another update of this installation is running";
    case kGuardLink: return "a folder is a link or junction";
    case kGuardOutside: return "a folder leads outside the installation";
    case kGuardNotFolder: return "a file stands where a folder must be";
    default: return "a folder cannot be used";
  }
}

int InstallGuard::Refuse(int problem, const std::u16string& folder) {
  problem_ = problem;
  problemFolder_ = folder;
  return 0;
}

int InstallGuard::Open(const char16_t* installFolder) {
  if (rootHandle_ || !installFolder || !installFolder[0]) return Refuse(kGuardNotFound, u"");
  // Write access without write sharing is the lock; without delete sharing
  // the folder cannot be renamed or removed while the run goes on. The root
  // may itself be a link: it is followed once, here.
  HANDLE h = CreateFileW(W(installFolder), FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return Refuse(GetLastError() == ERROR_SHARING_VIOLATION ? kGuardBusy : kGuardNotFound, u"");
  rootHandle_ = h;
  BY_HANDLE_FILE_INFORMATION info;
  std::u16string final;
  if (!GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return Refuse(kGuardNotFolder, u"");
  if (!FinalPathOf(h, &final) || CopyText(root_, final.c_str()) < 0) return Refuse(kGuardUnusable, u"");
  return 1;
}

int InstallGuard::HoldOne(const std::u16string& relative, bool* missing) {
  *missing = false;
  const std::u16string key = DestinationKey(relative);
  if (held_.count(key)) return 1;
  char16_t path[ZT_LONG_PATH];
  const std::u16string tail = u"\\" + relative;
  if (ztAppendLong(path, ZT_LONG_PATH, root_, tail.c_str()) < 0) return Refuse(kGuardUnusable, relative);
  const DWORD attributes = GetFileAttributesW(W(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) {
      *missing = true;
      return 1;
    }
    return Refuse(kGuardUnusable, relative);
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Refuse(kGuardLink, relative);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Refuse(kGuardNotFolder, relative);
  // Reading access (not just attributes) takes part in sharing: while this
  // handle is open, nobody can open the folder for deletion, which renaming
  // and removing it need.
  HANDLE h = CreateFileW(W(path), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Refuse(kGuardUnusable, relative);
  held_[key] = h;
  // The checks that count are made on the held handle: the name may have
  // been swapped between the look above and the open.
  BY_HANDLE_FILE_INFORMATION info;
  std::u16string final;
  if (!GetFileInformationByHandle(h, &info)) return Refuse(kGuardUnusable, relative);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Refuse(kGuardLink, relative);
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return Refuse(kGuardNotFolder, relative);
  if (!FinalPathOf(h, &final)) return Refuse(kGuardUnusable, relative);
  if (!IsInside(final, root_) || final.size() == TextLength(root_)) return Refuse(kGuardOutside, relative);
  return 1;
}

int InstallGuard::HoldFolder(const std::u16string& relative) {
  if (!rootHandle_) return Refuse(kGuardNotFound, u"");
  if (problem_) return 0;
  // Each level from the top, so that every folder the path passes through
  // is checked (and held) before anything below it is looked at.
  size_t at = 0;
  while (at < relative.size()) {
    size_t cut = relative.find(u'\\', at);
    if (cut == std::u16string::npos) cut = relative.size();
    bool missing = false;
    if (!HoldOne(relative.substr(0, cut), &missing)) return 0;
    if (missing) return 1;
    at = cut + 1;
  }
  return 1;
}

int InstallGuard::HoldParentOf(const std::u16string& file) {
  const size_t cut = file.rfind(u'\\');
  return cut == std::u16string::npos ? HoldFolder(u"") : HoldFolder(file.substr(0, cut));
}

int InstallGuard::CreateAndHold(const std::u16string& relative, void* descriptor) {
  if (!HoldParentOf(relative)) return 0;
  char16_t path[ZT_LONG_PATH];
  const std::u16string tail = u"\\" + relative;
  if (ztAppendLong(path, ZT_LONG_PATH, root_, tail.c_str()) < 0) return Refuse(kGuardUnusable, relative);
  SECURITY_ATTRIBUTES sa = {sizeof sa, descriptor, FALSE};
  if (!CreateDirectoryW(W(path), descriptor ? &sa : nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return Refuse(kGuardUnusable, relative);
  bool missing = false;
  if (!HoldOne(relative, &missing)) return 0;
  return missing ? Refuse(kGuardUnusable, relative) : 1;
}

void* InstallGuard::HandleOf(const std::u16string& relative) const {
  const auto it = held_.find(DestinationKey(relative));
  return it == held_.end() ? nullptr : it->second;
}

void InstallGuard::Release(const std::u16string& relative) {
  const auto it = held_.find(DestinationKey(relative));
  if (it == held_.end()) return;
  CloseHandle(H(it->second));
  held_.erase(it);
}

int InstallGuard::FlushFolder(const std::u16string& relative) {
  if (relative.empty()) return rootHandle_ && FlushFileBuffers(H(rootHandle_)) ? 1 : 0;
  // A flush needs write access; the held handle has none (write sharing is
  // what the lock of the root withholds, the other folders allow it).
  char16_t path[ZT_LONG_PATH];
  const std::u16string tail = u"\\" + relative;
  if (ztAppendLong(path, ZT_LONG_PATH, root_, tail.c_str()) < 0) return 0;
  HANDLE h = CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  const BOOL flushed = FlushFileBuffers(h);
  CloseHandle(h);
  return flushed ? 1 : 0;
}

// Host build: what the path utilities ask of the system, over POSIX calls.
// There are no version resources or shell folders on the host; those answer
// "nothing there" except the temporary folder.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "file/pathutil.h"
#include "file/pathutil_sys.h"
#include "file/textutil.h"

namespace zt_path {

std::string ToNative(const char16_t* path) {
  std::string s(TextLength(path) * 4 + 1, '\0');
  (void)ToUtf8(path, &s[0], s.size());
  s.resize(std::strlen(s.c_str()));
  for (char& c : s)
    if (c == '\\') c = '/';
  return s;
}

bool MakeFolder(const char16_t* path) { return mkdir(ToNative(path).c_str(), 0777) == 0; }

}  // namespace zt_path

int ztLongPathForm(const char16_t* path, char16_t* out, size_t cap) {
  // The host has no 259-unit limit and no long form: the path is used as is.
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (!path) return -1;
  return CopyText(out, cap, path);
}

int ztIsFolder(const char16_t* path) {
  struct stat st;
  return path && stat(zt_path::ToNative(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int ztIsFile(const char16_t* path) {
  struct stat st;
  return path && stat(zt_path::ToNative(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode) ? 1 : 0;
}

ztPathKind GetPathKind(const char16_t* path) {
  if (!path) return ZT_PATH_NONE;
  struct stat st;
  if (stat(zt_path::ToNative(path).c_str(), &st) != 0) return ZT_PATH_NONE;
  return S_ISDIR(st.st_mode) ? ZT_PATH_FOLDER : ZT_PATH_FILE;
}

int ReadFileVersionInfo(const char16_t*, ztFileVersion* out) {
  if (out) std::memset(out, 0, sizeof *out);
  return 0;
}

int GetShellFolder(int kind, char16_t* out, size_t cap) {
  if (!out || cap == 0) return 0;
  out[0] = 0;
  if (kind != 6) return 0;
  const char* tmp = std::getenv("TMPDIR");
  if (!tmp || !*tmp) tmp = "/tmp";
  return FromUtf8(tmp, out, cap) < 0 ? 0 : 1;
}

#include "file/pathutil.h"

#include <cstdarg>
#include <cstring>

#include "file/pathutil_sys.h"
#include "file/textutil.h"

namespace {

bool IsSep(char16_t c) { return c == u'\\' || c == u'/'; }

int LastSep(const char16_t* path) {
  int last = -1;
  for (int i = 0; path[i]; ++i)
    if (IsSep(path[i])) last = i;
  return last;
}

// Appends to a bounded buffer; after the first cut nothing more is added.
struct Appender {
  char16_t* out;
  size_t cap;
  size_t n = 0;
  bool cut = false;
  void Add(const char16_t* s, size_t len) {
    if (cut) return;
    size_t fit = FitUtf16(s, len, cap - n);
    std::memcpy(out + n, s, fit * sizeof(char16_t));
    n += fit;
    out[n] = 0;
    if (fit < len) cut = true;
  }
};

}  // namespace

int JoinPath(char16_t* out, size_t cap, int count, ...) {
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (count <= 0) return 0;
  va_list args;
  va_start(args, count);
  Appender a{out, cap};
  const char16_t* first = va_arg(args, const char16_t*);
  size_t len = TextLength(first);
  a.Add(first, len);
  if (!a.cut && len > 0) {
    // A root keeps its backslash in the first step (C:\ and \\ stay whole);
    // any other path loses one trailing backslash. The second step then
    // strips backslashes from the original end going left, which only finds
    // something for a root: C:\ becomes C:, so C:\ + dir gives C:\dir.
    bool root =
        (len < 4 && len >= 2 && first[1] == u':') || (len < 3 && first[0] == u'\\' && len >= 2 && first[1] == u'\\');
    if (!root && out[len - 1] == u'\\') out[--a.n] = 0;
    for (size_t i = len; i > 0 && out[i - 1] == u'\\'; --i) {
      out[i - 1] = 0;
      a.n = i - 1;
    }
  }
  for (int k = 1; k < count; ++k) {
    const char16_t* part = va_arg(args, const char16_t*);
    a.Add(u"\\", 1);
    a.Add(part, TextLength(part));
    if (!a.cut && a.n > 0 && out[a.n - 1] == u'\\') out[--a.n] = 0;
  }
  va_end(args);
  return a.cut ? -1 : static_cast<int>(a.n);
}

int CreateFolderTree(const char16_t* path, int isFilePath) {
  if (!path) return 0;
  size_t len = TextLength(path);
  if (len == 2 && path[1] == u':' && ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z')))
    return 1;
  char16_t folder[ZT_MAX_PATH];
  if (isFilePath) {
    if (GetParentFolder(path, folder) != 1) return 0;
  } else if (CopyText(folder, path) < 0) {
    return 0;
  }
  const ztPathKind kind = GetPathKind(folder);
  if (kind == ZT_PATH_FOLDER) return 1;
  if (kind == ZT_PATH_FILE) return 0;
  char16_t parent[ZT_MAX_PATH];
  if (GetParentFolder(folder, parent) == 1 && !CreateFolderTree(parent, 0)) return 0;
  // The folder search above finds no folder written with a trailing
  // separator, and another program may make the folder in between: what
  // counts is that it is there now.
  return zt_path::MakeFolder(folder) || ztIsFolder(folder) ? 1 : 0;
}

int GetParentFolder(const char16_t* path, char16_t* out, size_t cap) {
  if (!out || cap == 0) return 0;
  out[0] = 0;
  if (!path || !path[0]) return 0;
  int last = LastSep(path);
  if (last <= 0) return 0;
  size_t fit = FitUtf16(path, static_cast<size_t>(last), cap);
  std::memcpy(out, path, fit * sizeof(char16_t));
  out[fit] = 0;
  return fit == static_cast<size_t>(last) ? 1 : -1;
}

int GetFileNamePart(const char16_t* path, char16_t* out, size_t cap) {
  if (!out || cap == 0) return 0;
  out[0] = 0;
  if (!path) return 1;
  int last = LastSep(path);
  const char16_t* name = last <= 0 ? path : path + last + 1;
  return CopyText(out, cap, name) < 0 ? -1 : 1;
}

const char16_t* GetExtension(const char16_t* path) {
  if (!path) return nullptr;
  int last = LastSep(path);
  const char16_t* dot = nullptr;
  const char16_t* p = path + (last < 0 ? 0 : last + 1);
  for (; *p; ++p)
    if (*p == u'.') dot = p;
  return dot ? dot + 1 : p;
}

int ReplaceExtension(char16_t* path, size_t cap, const char16_t* extension) {
  if (!path) return 0;
  size_t len = TextLength(path);
  int last = LastSep(path);
  size_t base = len;
  for (size_t i = last < 0 ? 0 : static_cast<size_t>(last) + 1; i < len; ++i)
    if (path[i] == u'.') base = i;
  size_t extLen = extension ? TextLength(extension) : 0;
  size_t need = base + (extension ? 1 + extLen : 0);
  if (need + 1 > cap) return -1;
  path[base] = 0;
  if (extension) {
    path[base] = u'.';
    std::memcpy(path + base + 1, extension, extLen * sizeof(char16_t));
    path[need] = 0;
  }
  return 1;
}

void ParseFileVersionText(const char16_t* text, uint16_t version[4]) {
  version[0] = version[1] = version[2] = version[3] = 0;
  if (!text) return;
  char16_t sep;
  if (FindChar(text, u',') >= 0)
    sep = u',';
  else if (FindChar(text, u'.') >= 0)
    sep = u'.';
  else
    return;
  const char16_t* p = text;
  for (int k = 0; k < 4; ++k) {
    const char16_t* end;
    if (k < 3) {
      int at = FindChar(p, sep);
      if (at < 0) return;  // a missing separator ends the reading
      end = p + at;
    } else {
      end = p + TextLength(p);
    }
    const char16_t* q = p;
    while (q < end && *q == u' ') ++q;
    // The piece is read from a small work buffer; one that does not fit, or
    // is not a number, counts as 0 rather than stopping anything.
    char16_t piece[64];
    size_t len = static_cast<size_t>(end - q);
    int32_t value = 0;
    if (len < 64) {
      std::memcpy(piece, q, len * sizeof(char16_t));
      piece[len] = 0;
      int stop = 0;
      if (!ScanNumber(piece, &stop, &value)) value = 0;
    }
    version[3 - k] = static_cast<uint16_t>(value & 0xFFFF);
    if (k < 3) p = end + 1;
  }
}

uint64_t FileVersionValue(const ztFileVersion& v) {
  return (static_cast<uint64_t>(v.version[3]) << 48) | (static_cast<uint64_t>(v.version[2]) << 32) |
         (static_cast<uint64_t>(v.version[1]) << 16) | v.version[0];
}

int ztAppendLong(char16_t* out, size_t cap, const char16_t* path, const char16_t* tail) {
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (!path || !tail) return -1;
  const size_t pathLength = TextLength(path), tailLength = TextLength(tail);
  int length = -1;
  if (pathLength + tailLength < ZT_MAX_PATH && pathLength + tailLength < cap) {
    // The usual case: short enough for every call in its plain form.
    (void)CopyText(out, cap, path);
    length = static_cast<int>(pathLength);
  } else {
    length = ztLongPathForm(path, out, cap);
  }
  if (length < 0 || static_cast<size_t>(length) + tailLength >= cap) {
    out[0] = 0;
    return -1;
  }
  (void)CopyText(out + length, cap - static_cast<size_t>(length), tail);
  return static_cast<int>(static_cast<size_t>(length) + tailLength);
}

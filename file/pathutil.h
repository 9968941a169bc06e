// Path utilities: building and taking apart Windows paths, asking what a path
// names, creating folder trees, version resources and special folders.
//
// Paths are UTF-16 and may use '\' or '/'; the functions that build paths
// write '\'. Output buffers follow the rule of textutil.h: the capacity is
// passed or deduced, a result that does not fit is cut at a whole character
// and the function reports it. A path that was cut names another place, so
// callers of these functions must check the result before using the path.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t ZT_MAX_PATH = 260;

// Room for a path of up to 259 units written in the long form ("\\?\UNC\"
// in front) with the name of a helper file (a temporary or replacement file)
// added: what a file next to a 259-unit path may need.
constexpr size_t ZT_LONG_PATH = ZT_MAX_PATH + 48;

// Joins `count` UTF-16 parts with '\' (see the trailing-backslash rules in
// the implementation). Returns the length of `out`; 0 with an empty `out` when
// count <= 0; -1 when the result did not fit (out holds the cut text).
[[nodiscard]] int JoinPath(char16_t* out, size_t cap, int count, ...);

// `path` as a full path in the long form the system takes past 259 units
// ("\\?\C:\dir\file", "\\?\UNC\server\share\file"; a path in that form
// already is kept). The host build copies the path as it is. The length, or
// -1 when the result does not fit `cap` or the path cannot be made full.
[[nodiscard]] int ztLongPathForm(const char16_t* path, char16_t* out, size_t cap);

// `path` followed by `tail` (a name or a suffix, no separator added). When
// the result is longer than 259 units it is made in the long form, so a
// helper file next to any path that itself fits can always be named. The
// length, or -1 when even that does not fit `cap`.
[[nodiscard]] int ztAppendLong(char16_t* out, size_t cap, const char16_t* path, const char16_t* tail);

// What a path names. The numbers are the ones callers of the library have
// always compared with.
enum ztPathKind : int {
  ZT_PATH_NONE = 0,    // a null path, or nothing there
  ZT_PATH_FILE = 1,    // a file (anything that is not a folder)
  ZT_PATH_FOLDER = 2,  // a folder
};
ztPathKind GetPathKind(const char16_t* path);

// 1 when `path` is a folder now, else 0. Asks for the path's attributes
// rather than searching for its name, so a folder written with a trailing
// separator and a drive root are folders too (GetPathKind finds neither).
int ztIsFolder(const char16_t* path);
// 1 when `path` is a file (anything but a folder) now, else 0; asked the
// same way, which costs no scan of a large folder.
int ztIsFile(const char16_t* path);

// Makes sure a folder exists, creating parents from the root down. With
// `isFilePath` set, `path` names a file and its parent folder is made.
// 1 when the folder exists afterwards, 0 on failure.
[[nodiscard]] int CreateFolderTree(const char16_t* path, int isFilePath);

// `out` receives the text before the last separator and 1 is returned; a null
// or empty path, one whose only separator is its first character, or one with
// none, gives an empty `out` and 0. -1 when the parent did not fit.
[[nodiscard]] int GetParentFolder(const char16_t* path, char16_t* out, size_t cap);

// Copies the text after the last separator (the whole path when there is none
// or the only one is the first character). 1, or 0 for a null `out`, or -1
// when cut.
[[nodiscard]] int GetFileNamePart(const char16_t* path, char16_t* out, size_t cap);

// Pointer just after the last '.' that follows the last separator, or to the
// terminating zero.
const char16_t* GetExtension(const char16_t* path);

// Cuts `path` at the last '.' after the last separator, then appends '.' and
// `extension` when it is not null. 0 for a null path, -1 when the new name did
// not fit (the path is left unchanged), else 1.
[[nodiscard]] int ReplaceExtension(char16_t* path, size_t cap, const char16_t* extension);

// ---- executables and special folders ----------------------------------

// Version resource of an executable. Texts hold at most 255 units.
struct ztFileVersion {
  char16_t comments[256];
  char16_t companyName[256];
  char16_t fileDescription[256];
  char16_t fileVersion[256];
  char16_t internalName[256];
  char16_t legalCopyright[256];
  char16_t legalTrademarks[256];
  char16_t originalFilename[256];
  char16_t productName[256];
  char16_t productVersion[256];
  char16_t privateBuild[256];
  char16_t specialBuild[256];
  // fourth, third, second, first number: read as one little-endian 64-bit
  // value the first number is in the top 16 bits, so versions compare as
  // plain integers.
  uint16_t version[4];
};

// Clears the record; 0 when the file has no version resource or it cannot be
// read, else 1 (also when no translation or file version text exists).
int ReadFileVersionInfo(const char16_t* path, ztFileVersion* out);

// The four numbers of a file version text ("1, 0, 2, 7" or "1.0.2.7") into
// version[0..3] as ReadFileVersionInfo stores them. Pieces that are not
// numbers, or longer than 63 characters, read as 0.
void ParseFileVersionText(const char16_t* text, uint16_t version[4]);

// 64-bit value of a record's version numbers.
uint64_t FileVersionValue(const ztFileVersion& v);

// Fills `out` with the folder of `kind` (0 user desktop, 1 common desktop,
// 2 start menu, 3 programs, 4 common programs, 5 documents, 6 temporary,
// 7 Windows, 8 common application data, 9 user application data, 10 program
// files, 11 pictures). 1 on success, 0 for an unknown kind or when every
// source failed (or the folder did not fit).
int GetShellFolder(int kind, char16_t* out, size_t cap);

// ---- array overloads ------------------------------------------------------
template <size_t N, class... Parts>
[[nodiscard]] int JoinPath(char16_t (&out)[N], int count, Parts... parts) {
  return JoinPath(static_cast<char16_t*>(out), N, count, parts...);
}
template <size_t N>
[[nodiscard]] int GetParentFolder(const char16_t* path, char16_t (&out)[N]) {
  return GetParentFolder(path, out, N);
}
template <size_t N>
[[nodiscard]] int GetFileNamePart(const char16_t* path, char16_t (&out)[N]) {
  return GetFileNamePart(path, out, N);
}
template <size_t N>
[[nodiscard]] int ReplaceExtension(char16_t (&path)[N], const char16_t* extension) {
  return ReplaceExtension(path, N, extension);
}
template <size_t N>
int GetShellFolder(int kind, char16_t (&out)[N]) {
  return GetShellFolder(kind, out, N);
}

// Shared helpers of the test programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zt_test {

// Thrown by the assertion hook that test_main installs, so a test can see
// that a broken precondition stopped the operation (EXPECT_THROW).
struct AssertFired {
  std::string text;  // the formatted message, code page 932 bytes
};

// Debug-log lines written since the last Clear (code page 932 bytes).
std::vector<std::string>& LogLines();
void ClearLog();
// Whether any captured line equals `line`.
bool LogHas(const std::string& line);

// UTF-8 source text to UTF-16 / to code page 932 bytes.
std::u16string U16(const std::string& utf8);
std::string Cp932(const std::string& utf8);
std::string Utf8(const std::u16string& text);

// Native separator of the build.
#ifdef _WIN32
constexpr char16_t kSep = u'\\';
#else
constexpr char16_t kSep = u'/';
#endif

// ---- files ------------------------------------------------------------------
// Files named by UTF-16 paths, as the library names them. They are made and
// read with the system's own calls (Win32 in the Windows build), never with
// the library under test, so a fault in the library cannot hide itself.

// `a` and `b` with the build's separator between them (none is added after
// one `a` already ends with; an empty `a` gives `b`).
std::u16string Join(const std::u16string& a, const std::u16string& b);

// Writes a whole file, making its missing parent folders first; whether it
// worked. An existing file is replaced.
bool WriteFileBytes(const std::u16string& path, const std::string& bytes);

// What ReadFileBytes gives for a file that cannot be opened, so that a
// comparison with the expected content says the file was missing.
constexpr const char kMissing[] = "<missing>";
// The whole content of a file, or kMissing.
std::string ReadFileBytes(const std::u16string& path);
// The whole content of a file into `bytes`; false (and `bytes` empty) when
// the file cannot be read. For callers that hand the bytes on as input.
bool LoadFileBytes(const std::u16string& path, std::string* bytes);

// Whether a file (not a folder) is at `path`.
bool FileExists(const std::u16string& path);
// Whether anything, file or folder, is at `path`: a test that expects
// nothing there also fails when a folder took the place of a file.
bool PathExists(const std::u16string& path);

// Removes a folder and everything in it, read-only files included; quiet
// when it is missing.
void RemoveTree(const std::u16string& path);

#ifdef _WIN32
// A UTF-16 path or name for a Win32 call.
inline const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
#endif

// The binary delta (file/ztDelta.h) that turns `base` into `next`, made in
// memory with segments of `segment` bytes, a quarter segment of margin and
// a fast level; empty when it could not be made.
std::string DeltaOf(const std::string& base, const std::string& next, uint32_t segment);

// A fresh empty folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::u16string& Path() const { return path_; }
  // Path of `name` inside the folder (joined with the build's separator).
  std::u16string Join(const std::u16string& name) const;
  // Writes a file (creating parent folders); returns whether it worked.
  bool Write(const std::u16string& name, const std::string& bytes) const;
  // Whole content of a file, or kMissing.
  std::string Read(const std::u16string& name) const;

 private:
  std::u16string path_;
};

}  // namespace zt_test

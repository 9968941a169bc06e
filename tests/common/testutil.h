// Shared helpers of the test programs.
#pragma once

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
  // Whole content of a file, or "<missing>".
  std::string Read(const std::u16string& name) const;

 private:
  std::u16string path_;
};

// Native separator of the build.
#ifdef _WIN32
constexpr char16_t kSep = u'\\';
#else
constexpr char16_t kSep = u'/';
#endif

}  // namespace zt_test

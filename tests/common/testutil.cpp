#include "tests/common/testutil.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include "file/textutil.h"
#include "file/ztDelta.h"

namespace fs = std::filesystem;

namespace zt_test {

std::vector<std::string>& LogLines() {
  static std::vector<std::string> lines;
  return lines;
}

void ClearLog() { LogLines().clear(); }

bool LogHas(const std::string& line) {
  for (const auto& l : LogLines())
    if (l == line) return true;
  return false;
}

std::u16string U16(const std::string& utf8) {
  std::u16string out(utf8.size() + 1, u'\0');
  (void)FromUtf8(utf8.c_str(), &out[0], out.size());
  out.resize(TextLength(out.c_str()));
  return out;
}

std::string Utf8(const std::u16string& text) {
  std::string out(text.size() * 4 + 1, '\0');
  (void)ToUtf8(text.c_str(), &out[0], out.size());
  out.resize(std::char_traits<char>::length(out.c_str()));
  return out;
}

std::string Cp932(const std::string& utf8) {
  std::u16string w = U16(utf8);
  std::string out(w.size() * 2 + 1, '\0');
  ToShiftJis(&out[0], out.size(), w.c_str());
  out.resize(std::char_traits<char>::length(out.c_str()));
  return out;
}

// A path of the standard library as UTF-16 text (the temporary folder comes
// from there).
static std::u16string FromNative(const fs::path& p) {
#ifdef _WIN32
  std::wstring w = p.wstring();
  return std::u16string(w.begin(), w.end());
#else
  return U16(p.string());
#endif
}

std::u16string Join(const std::u16string& a, const std::u16string& b) {
  if (a.empty()) return b;
  if (a.back() == kSep) return a + b;
  return a + kSep + b;
}

std::string ReadFileBytes(const std::u16string& path) {
  std::string bytes;
  return LoadFileBytes(path, &bytes) ? bytes : std::string(kMissing);
}

TempDir::TempDir() {
  std::random_device rd;
  std::mt19937 gen(rd());
  fs::path base = fs::temp_directory_path();
  for (;;) {
    std::ostringstream name;
    name << "zt-test-" << std::hex << gen();
    fs::path p = base / name.str();
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = FromNative(p);
      while (!path_.empty() && (path_.back() == u'\\' || path_.back() == u'/')) path_.pop_back();
      return;
    }
  }
}

TempDir::~TempDir() { RemoveTree(path_); }

std::u16string TempDir::Join(const std::u16string& name) const { return zt_test::Join(path_, name); }

bool TempDir::Write(const std::u16string& name, const std::string& bytes) const {
  return WriteFileBytes(Join(name), bytes);
}

std::string TempDir::Read(const std::u16string& name) const { return ReadFileBytes(Join(name)); }

std::string DeltaOf(const std::string& base, const std::string& next, uint32_t segment) {
  std::string delta;
  ztDeltaMakeIo io;
  io.readBase = [&](uint64_t at, void* d, uint32_t n) { return std::memcpy(d, base.data() + at, n), true; };
  io.readNew = [&](uint64_t at, void* d, uint32_t n) { return std::memcpy(d, next.data() + at, n), true; };
  io.writeDelta = [&](const void* d, uint32_t n) { return delta.append(static_cast<const char*>(d), n), true; };
  ztDeltaMakeOptions options;
  options.segmentBytes = segment;
  options.marginBytes = segment / 4;
  options.level = 3;
  uint64_t size = 0;
  if (ztMakeDelta(io, base.size(), next.size(), options, &size) != kDeltaOk) return {};
  return delta;
}

}  // namespace zt_test

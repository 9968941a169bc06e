#include "tests/common/testutil.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "file/textutil.h"

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
  FromUtf8(utf8.c_str(), &out[0], out.size());
  out.resize(TextLength(out.c_str()));
  return out;
}

std::string Utf8(const std::u16string& text) {
  std::string out(text.size() * 4 + 1, '\0');
  ToUtf8(text.c_str(), &out[0], out.size());
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

static fs::path Native(const std::u16string& p) {
#ifdef _WIN32
  return fs::path(std::wstring(p.begin(), p.end()));
#else
  return fs::path(Utf8(p));
#endif
}

static std::u16string FromNative(const fs::path& p) {
#ifdef _WIN32
  std::wstring w = p.wstring();
  return std::u16string(w.begin(), w.end());
#else
  return U16(p.string());
#endif
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

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files would stop the removal on Windows.
  for (auto it = fs::recursive_directory_iterator(Native(path_), ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(Native(path_), ec);
}

std::u16string TempDir::Join(const std::u16string& name) const { return path_ + kSep + name; }

bool TempDir::Write(const std::u16string& name, const std::string& bytes) const {
  fs::path p = Native(Join(name));
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

std::string TempDir::Read(const std::u16string& name) const {
  std::ifstream f(Native(Join(name)), std::ios::binary);
  if (!f) return "<missing>";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace zt_test

// The file helpers of tests/common/testutil.h on the host: the standard
// library's files, with UTF-16 paths turned into the system's UTF-8.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/common/testutil.h"

namespace fs = std::filesystem;

namespace zt_test {

static fs::path Native(const std::u16string& p) { return fs::path(Utf8(p)); }

bool WriteFileBytes(const std::u16string& path, const std::string& bytes) {
  fs::path p = Native(path);
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

bool LoadFileBytes(const std::u16string& path, std::string* bytes) {
  bytes->clear();
  std::ifstream f(Native(path), std::ios::binary);
  if (!f) return false;
  std::ostringstream s;
  s << f.rdbuf();
  *bytes = s.str();
  return true;
}

bool FileExists(const std::u16string& path) {
  std::error_code ec;
  fs::file_status st = fs::status(Native(path), ec);
  return fs::exists(st) && !fs::is_directory(st);
}

bool PathExists(const std::u16string& path) {
  std::error_code ec;
  return fs::exists(fs::status(Native(path), ec));
}

void RemoveTree(const std::u16string& path) {
  std::error_code ec;
  // A folder without write permission would keep what is in it.
  for (auto it = fs::recursive_directory_iterator(Native(path), ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(Native(path), ec);
}

}  // namespace zt_test

#include "pack/packfs.h"

#include <algorithm>

#ifdef _WIN32
constexpr char16_t kNativeSeparator = u'\\';
#else
constexpr char16_t kNativeSeparator = u'/';
#endif

// Joined paths go to the library's calls too, and not every one of them
// turns '\' into the host's separator: they are made native here.
std::u16string JoinPackPath(const std::u16string& a, const std::u16string& b) {
  std::u16string tail = b;
  std::replace(tail.begin(), tail.end(), u'\\', kNativeSeparator);
  if (a.empty()) return tail;
  if (a.back() == u'\\' || a.back() == u'/') return a + tail;
  return a + kNativeSeparator + tail;
}

bool MakeParent(const std::u16string& path) {
  const size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos || slash == 0 || MakeFolders(path.substr(0, slash));
}

bool ReadSmallFile(const std::u16string& path, std::vector<uint8_t>* bytes, uint64_t limit) {
  bytes->clear();
  PackReader in;
  if (!in.Open(path)) return false;
  const int64_t size = in.Size();
  if (size < 0 || static_cast<uint64_t>(size) > limit) return false;
  bytes->resize(static_cast<size_t>(size));
  return in.Read(bytes->data(), bytes->size()) == static_cast<int64_t>(bytes->size());
}

// The host side of the package tool's file access: POSIX calls on UTF-8
// paths.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pack/packfs.h"
#include "pack/packtext.h"

namespace {

std::string Native(const std::u16string& path) {
  std::string s = Utf8Of(path);
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

std::string Reason() { return std::strerror(errno); }

std::string Under(const std::string& folder, const std::string& name) {
  std::string path = folder;
  if (!folder.empty()) path += '/';
  path += name;
  return path;
}

bool IsDotEntry(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// "`what` `path`: `why`".
std::string Problem(const char* what, const std::string& path, const std::string& why) {
  std::string text = what;
  text += path;
  text += why;
  return text;
}

struct Dir {
  DIR* d = nullptr;
  ~Dir() {
    if (d) closedir(d);
  }
};

}  // namespace

bool ListFiles(const std::u16string& root, std::vector<PackFileEntry>* files, std::string* error) {
  files->clear();
  // Folders still to read, relative to the root ("" is the root itself).
  std::vector<std::string> pending{""};
  const std::string base = Native(root);
  while (!pending.empty()) {
    const std::string relative = pending.back();
    pending.pop_back();
    const std::string folder = relative.empty() ? base : Under(base, relative);
    Dir dir;
    dir.d = opendir(folder.c_str());
    if (!dir.d) {
      *error = Problem("cannot read the folder ", folder, ": " + Reason());
      return false;
    }
    const int fd = dirfd(dir.d);
    while (const dirent* e = readdir(dir.d)) {
      if (IsDotEntry(e->d_name)) continue;
      const std::string name = e->d_name;
      const std::string inner = Under(relative, name);
      struct stat st;
      // Links are followed: the game's installer would have copied the file.
      if (fstatat(fd, e->d_name, &st, 0) != 0) {
        *error = Problem("cannot read ", Under(base, inner), ": " + Reason());
        return false;
      }
      if (S_ISDIR(st.st_mode)) {
        pending.push_back(inner);
        continue;
      }
      if (!S_ISREG(st.st_mode)) continue;
      std::u16string path;
      if (name.find('\\') != std::string::npos || !Utf16Of(inner, &path, true)) {
        *error =
            Problem("the name of ", Under(base, inner), " cannot be carried to Windows (a backslash, or not UTF-8)");
        return false;
      }
      std::replace(path.begin(), path.end(), u'/', u'\\');
      files->push_back({path, static_cast<uint64_t>(st.st_size)});
    }
  }
  std::sort(files->begin(), files->end(),
            [](const PackFileEntry& a, const PackFileEntry& b) { return a.path < b.path; });
  return true;
}

PackReader::~PackReader() { Close(); }

int64_t PackReader::Size() const {
  struct stat st;
  return handle_ >= 0 && fstat(static_cast<int>(handle_), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool PackReader::Open(const std::u16string& path) {
  Close();
  const int fd = open(Native(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  handle_ = fd;
  return true;
}

int64_t PackReader::Read(void* buffer, size_t size) {
  if (handle_ < 0) return -1;
  size_t done = 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (done < size) {
    const ssize_t n = read(static_cast<int>(handle_), bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t PackReader::ReadAt(uint64_t offset, void* buffer, size_t size) {
  if (handle_ < 0) return -1;
  size_t done = 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (done < size) {
    const ssize_t n = pread(static_cast<int>(handle_), bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

uint64_t PackReader::WriteTime() const {
  struct stat st;
  if (handle_ < 0 || fstat(static_cast<int>(handle_), &st) != 0) return 0;
  // Seconds between 1601-01-01 and 1970-01-01.
  constexpr int64_t kEpochGap = 11644473600;
  const int64_t seconds = static_cast<int64_t>(st.st_mtim.tv_sec) + kEpochGap;
  if (seconds < 0) return 0;
  return static_cast<uint64_t>(seconds) * 10000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100u;
}

void PackReader::Close() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
}

bool IsFolderPath(const std::u16string& path) {
  struct stat st;
  return stat(Native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFilePath(const std::u16string& path) {
  struct stat st;
  return stat(Native(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool MakeFolders(const std::u16string& path) {
  const std::string native = Native(path);
  for (size_t at = native.find('/', 1);; at = native.find('/', at + 1)) {
    const std::string part = native.substr(0, at);
    if (!part.empty() && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (at == std::string::npos) break;
  }
  return IsFolderPath(path);
}

bool IsMissingOrEmptyFolder(const std::u16string& path) {
  Dir dir;
  dir.d = opendir(Native(path).c_str());
  if (!dir.d) return !IsFilePath(path);
  while (const dirent* e = readdir(dir.d))
    if (!IsDotEntry(e->d_name)) return false;
  return true;
}

namespace {

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

PackWriter::~PackWriter() { Close(); }

bool PackWriter::Open(const std::u16string& path) {
  Close();
  if (!MakeParent(path)) return false;
  const int fd = open(Native(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

bool PackWriter::Write(const void* data, size_t size) {
  return handle_ >= 0 && WriteAll(static_cast<int>(handle_), static_cast<const uint8_t*>(data), size);
}

bool PackWriter::Close() {
  if (handle_ < 0) return true;
  const bool ok = close(static_cast<int>(handle_)) == 0;
  handle_ = -1;
  return ok;
}

bool RemoveFile(const std::u16string& path) { return unlink(Native(path).c_str()) == 0 || errno == ENOENT; }

bool RenameFile(const std::u16string& from, const std::u16string& to) {
  return rename(Native(from).c_str(), Native(to).c_str()) == 0;
}

bool WriteSmallFile(const std::u16string& path, const void* data, size_t size, bool secret, bool exclusive) {
  if (!MakeParent(path)) return false;
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  const int fd = open(Native(path).c_str(), flags, secret ? 0600 : 0666);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, static_cast<const uint8_t*>(data), size);
  return close(fd) == 0 && written;
}

bool CopyWholeFile(const std::u16string& from, const std::u16string& to, std::vector<uint8_t>* buffer) {
  PackReader in;
  if (!in.Open(from) || !MakeParent(to)) return false;
  const int fd = open(Native(to).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = true;
  for (;;) {
    const int64_t n = in.Read(buffer->data(), buffer->size());
    if (n < 0 || !WriteAll(fd, buffer->data(), static_cast<size_t>(n))) {
      ok = false;
      break;
    }
    if (static_cast<size_t>(n) < buffer->size()) break;
  }
  struct stat st;
  if (ok && fstat(static_cast<int>(in.Handle()), &st) == 0) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ok = futimens(fd, times) == 0;
  }
  return close(fd) == 0 && ok;
}

std::u16string ProgramFolder() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string s(path, static_cast<size_t>(n));
  const size_t slash = s.rfind('/');
  return slash == std::string::npos ? std::u16string() : Utf16Of(s.substr(0, slash));
}

bool ErrorIsTerminal() { return isatty(2) != 0; }

void PrepareConsole() {}

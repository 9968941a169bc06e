// The file-system work of the package tool: listing a game's folder tree,
// streaming files in large blocks, copying a file with its time, writing a
// small file whole. The library's ztFile keeps 32-bit sizes and a 256-unit
// name, which a 2 GiB game version outgrows; these calls take 64-bit sizes
// and paths of any length.
//
// Paths are UTF-16 and may use '\' or '/' (the host build turns '\' into '/',
// as the library does). Relative paths inside a tree always use '\', the form
// the package and the updater use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PackFileEntry {
  std::u16string path;  // relative to the listed folder, '\' between parts
  uint64_t size = 0;
};

// Every file below `root`, at any depth, sorted by path (UTF-16 code units).
// Folders themselves are not listed (the updater installs files only).
// False with the reason in `error` when `root` or a folder below it cannot
// be read, or a name cannot be carried to Windows (not UTF-8, holds '\').
bool ListFiles(const std::u16string& root, std::vector<PackFileEntry>* files, std::string* error);

// A file read from start to end in blocks of the caller's size.
class PackReader {
 public:
  PackReader() = default;
  ~PackReader();
  PackReader(const PackReader&) = delete;
  PackReader& operator=(const PackReader&) = delete;

  bool Open(const std::u16string& path);
  // Fills `buffer` as far as the file goes: the count read (less than `size`
  // only at the end), or -1 on a read error.
  int64_t Read(void* buffer, size_t size);
  // The same from `offset` on, for files read out of order (a delta's base).
  // The position Read continues from is then undefined: use one or the
  // other on a reader.
  int64_t ReadAt(uint64_t offset, void* buffer, size_t size);
  // The open file's last-write time as a Windows file time (100 ns units
  // since 1601), 0 when it cannot be told.
  uint64_t WriteTime() const;
  // The open file's size, -1 when it cannot be told.
  int64_t Size() const;
  void Close();
  // The system's handle (a descriptor on the host), -1 when closed.
  intptr_t Handle() const { return handle_; }

 private:
  intptr_t handle_ = -1;
};

// A file written from start to end, made (with its folder) or emptied by
// Open.
class PackWriter {
 public:
  PackWriter() = default;
  ~PackWriter();
  PackWriter(const PackWriter&) = delete;
  PackWriter& operator=(const PackWriter&) = delete;

  bool Open(const std::u16string& path);
  bool Write(const void* data, size_t size);
  // True when every byte written reached the file.
  bool Close();

 private:
  intptr_t handle_ = -1;
};

// Removes a file; true when it is gone after (also when it never was).
bool RemoveFile(const std::u16string& path);
// Moves a file to `to` in the same volume, replacing a file there.
bool RenameFile(const std::u16string& from, const std::u16string& to);

// Whether `path` is a folder / a file now.
bool IsFolderPath(const std::u16string& path);
bool IsFilePath(const std::u16string& path);
// Makes `path` and its missing parents. True when the folder exists after.
bool MakeFolders(const std::u16string& path);
// The folders above a file's path (true when it has none to make).
bool MakeParent(const std::u16string& path);
// True when `path` is missing, or a folder holding nothing.
bool IsMissingOrEmptyFolder(const std::u16string& path);

// The whole file, up to `limit` bytes (false for a larger one).
bool ReadSmallFile(const std::u16string& path, std::vector<uint8_t>* bytes, uint64_t limit = 64u << 20);
// Writes a file whole, making its folder first. With `secret` set the file
// is readable by its owner only (host build; Windows keeps the folder's
// rights). `exclusive` refuses an existing file.
bool WriteSmallFile(const std::u16string& path, const void* data, size_t size, bool secret = false,
                    bool exclusive = false);
// Copies `from` to `to` (its folder made first) through `buffer`, and gives
// the copy the source's modification time: the updater copies file times
// into the installation, so the package keeps the new version's times.
bool CopyWholeFile(const std::u16string& from, const std::u16string& to, std::vector<uint8_t>* buffer);

// The folder the running program lies in; empty when the system does not
// say.
std::u16string ProgramFolder();
// Whether standard error is a terminal (progress lines redraw in place).
bool ErrorIsTerminal();
// Lets the console show the UTF-8 the tool prints (Windows build; the host's
// terminals take UTF-8 as it is).
void PrepareConsole();

// `a` and `b` joined with the system's separator (none added after an `a` that
// ends with one); the separators of `b` become the system's too.
std::u16string JoinPackPath(const std::u16string& a, const std::u16string& b);

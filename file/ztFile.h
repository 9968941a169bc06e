// File objects: one small polymorphic interface for every byte the library
// reads or writes. ztFile is a disk file, ztMemFile a block of the private
// heap; ztBigFile (an archive member) lives with the file server.
//
// Results: 1/0 for success/failure, -1 for "no value" in counts, sizes and
// positions. Sizes and positions are 32-bit; GetFileSize64 is the one 64-bit
// size query.
#pragma once

#include <cstdint>

#include "file/pathutil.h"

enum : int32_t {
  ZTFILE_READ = 0x001,           // GENERIC_READ, shared for reading
  ZTFILE_WRITE = 0x002,          // GENERIC_WRITE, not shared (only without READ)
  ZTFILE_OPEN_EXISTING = 0x100,  // disposition 3
  ZTFILE_CREATE_NEW = 0x200,     // ORs 1 into the disposition
  ZTFILE_CREATE_ALWAYS = 0x400,  // write-only: create new, else truncate
  ZTFILE_OPEN_ALWAYS = 0x800,    // ORs 4 into the disposition
};

// Win32 attribute bits, the same numbers on both builds.
enum : uint32_t {
  ZT_ATTR_READONLY = 0x01,
  ZT_ATTR_HIDDEN = 0x02,
  ZT_ATTR_SYSTEM = 0x04,
  ZT_ATTR_DIRECTORY = 0x10,
  ZT_ATTR_ARCHIVE = 0x20,
  ZT_ATTR_NORMAL = 0x80,
  ZT_ATTR_INVALID = 0xFFFFFFFFu,
};

class ztFileBase {
 public:
  virtual ~ztFileBase() = default;
  [[nodiscard]] virtual int32_t Open(const char16_t* path, int32_t flags);
  virtual int32_t Close();
  virtual int32_t Read(void* buffer, uint32_t count);
  virtual int32_t Write(const void* buffer, uint32_t count);
  virtual int32_t GetPosition();
  virtual int32_t Seek(uint32_t position);
  virtual const char16_t* GetName(char16_t* buffer);
  virtual int32_t GetSizeOf(const char16_t* path);
  virtual int32_t GetSize();
  virtual intptr_t GetHandle();
  virtual int32_t IsFile(const char16_t* path);
  virtual uint32_t GetAttributes(const char16_t* path);
  virtual int32_t SetAttributes(const char16_t* path, uint32_t attributes);
  virtual int32_t Remove(const char16_t* path, int32_t force);

 protected:
  ztFileBase() = default;
  ztFileBase(const ztFileBase&) = delete;
  ztFileBase& operator=(const ztFileBase&) = delete;
};

class ztFile : public ztFileBase {
 public:
  ztFile();
  ~ztFile() override;
  [[nodiscard]] int32_t Open(const char16_t* path, int32_t flags) override;
  int32_t Close() override;
  int32_t Read(void* buffer, uint32_t count) override;
  int32_t Write(const void* buffer, uint32_t count) override;
  int32_t GetPosition() override;
  int32_t Seek(uint32_t position) override;
  const char16_t* GetName(char16_t* buffer) override;
  int32_t GetSizeOf(const char16_t* path) override;
  int32_t GetSize() override;
  intptr_t GetHandle() override;
  int32_t IsFile(const char16_t* path) override;
  uint32_t GetAttributes(const char16_t* path) override;
  int32_t SetAttributes(const char16_t* path, uint32_t attributes) override;
  int32_t Remove(const char16_t* path, int32_t force) override;

 private:
  int32_t mode_ = -1;
  intptr_t handle_ = -1;
  char16_t path_[256] = {};
  uint32_t position_ = 0;
};

class ztMemFile : public ztFileBase {
 public:
  ztMemFile() = default;
  ~ztMemFile() override;

  // Allocates `capacity` bytes; writes then grow the block by `capacity`
  // bytes at a time. 0 if a buffer exists or the heap refused.
  int32_t Create(uint32_t capacity);
  // Reads `file` from its current position (GetSize bytes, one Read).
  int32_t LoadFrom(ztFileBase* file);
  // Copies `count` bytes of `data`.
  int32_t LoadBlock(const char16_t* name, const void* data, uint32_t count);
  // Shares another memory file's buffer without owning it.
  int32_t Borrow(ztMemFile* other);
  // The buffer and the current position (the bytes written so far).
  int32_t GetBuffer(void** data, uint32_t* size);

  [[nodiscard]] int32_t Open(const char16_t* path, int32_t flags) override;
  int32_t Close() override;
  int32_t Read(void* buffer, uint32_t count) override;
  int32_t Write(const void* buffer, uint32_t count) override;
  int32_t GetPosition() override;
  int32_t Seek(uint32_t position) override;
  const char16_t* GetName(char16_t* buffer) override;
  int32_t GetSizeOf(const char16_t* path) override;
  int32_t GetSize() override;
  intptr_t GetHandle() override;
  int32_t IsFile(const char16_t* path) override;
  uint32_t GetAttributes(const char16_t* path) override;
  int32_t SetAttributes(const char16_t* path, uint32_t attributes) override;
  int32_t Remove(const char16_t* path, int32_t force) override;

 private:
  int32_t Grow(uint32_t count);

  int32_t mode_ = -1;
  int32_t handle_ = -1;
  char16_t name_[256] = {};
  uint32_t position_ = 0;
  uint8_t* buffer_ = nullptr;
  uint32_t size_ = 0;
  uint32_t growth_ = 0;
  int32_t borrowed_ = 0;
};

// Full 64-bit size of a named file; 0 when missing or a folder.
uint64_t GetFileSize64(const char16_t* path);

// Reads a whole file into a private-heap block of its size plus `padding`
// zero bytes (so text searches always meet a terminator). Null when the file
// cannot be opened, is larger than `limit` bytes, or a read comes back short.
// The caller frees the block with ztHeapFree.
void* ReadWholeFile(const char16_t* path, uint32_t padding, uint32_t* size, uint32_t limit = 0x40000000u);

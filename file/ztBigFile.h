// ztBigFile: a file object over one member of an archive (ztArchive). Read
// only; the archive does the reading and deciphering.
#pragma once

#include "file/ztArchive.h"
#include "file/ztFile.h"

class ztBigFile : public ztFileBase {
 public:
  explicit ztBigFile(ztArchive* archive);
  ~ztBigFile() override;

  // 0 without an archive or without ZTFILE_READ in `flags`; else 1 when the
  // archive has a member `name` and a free open-member record.
  [[nodiscard]] int32_t Open(const char16_t* name, int32_t flags) override;
  int32_t Close() override;
  int32_t Read(void* buffer, uint32_t count) override;
  int32_t Write(const void* buffer, uint32_t count) override;
  int32_t GetPosition() override;
  int32_t Seek(uint32_t position) override;
  const char16_t* GetName(char16_t* buffer) override;
  int32_t GetSizeOf(const char16_t* path) override;
  int32_t GetSize() override;
  intptr_t GetHandle() override;
  int32_t IsFile(const char16_t* name) override;
  uint32_t GetAttributes(const char16_t* path) override;
  int32_t SetAttributes(const char16_t* path, uint32_t attributes) override;
  int32_t Remove(const char16_t* path, int32_t force) override;

  ztArchive* GetArchive() const { return archive_; }

 private:
  ztArchive* archive_;
  ztArchiveMember* entry_ = nullptr;
};

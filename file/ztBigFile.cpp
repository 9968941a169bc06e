#include "file/ztBigFile.h"

#include "platform/ztDebug.h"

namespace {
// "ztBigFile : 統合ファイルがオープンされていません"
const char kNoArchive[] =
    "ztBigFile : \x93\x9d\x8d\x87\x83t\x83@\x83\x43\x83\x8b\x82\xaa\x83I\x81[\x83v\x83\x93\x82"
    "\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1";
// "ztBigFile : ファイルハンドルが無効です"
const char kNoEntry[] =
    "ztBigFile : \x83t\x83@\x83\x43\x83\x8b\x83n\x83\x93\x83h\x83\x8b\x82\xaa\x96\xb3\x8c\xf8\x82"
    "\xc5\x82\xb7";
}  // namespace

ztBigFile::ztBigFile(ztArchive* archive) : archive_(archive) {}

ztBigFile::~ztBigFile() { ztBigFile::Close(); }

int32_t ztBigFile::Open(const char16_t* name, int32_t flags) {
  if (!archive_ || !(flags & ZTFILE_READ)) return 0;
  // An object that is open already gives its record back first rather than
  // leaking it.
  Close();
  entry_ = archive_->OpenMember(name);
  return entry_ ? 1 : 0;
}

int32_t ztBigFile::Close() {
  if (!entry_) return 0;
  if (archive_) archive_->CloseMember(entry_);
  entry_ = nullptr;
  return 1;
}

int32_t ztBigFile::Read(void* buffer, uint32_t count) {
  if (!archive_) {
    DebugLog(kNoArchive);
    return -1;
  }
  if (!entry_) {
    DebugLog(kNoEntry);
    return -1;
  }
  return archive_->ReadMember(entry_, buffer, count);
}

int32_t ztBigFile::Write(const void*, uint32_t) { return -1; }

int32_t ztBigFile::GetPosition() { return entry_ ? static_cast<int32_t>(entry_->position) : 0; }

int32_t ztBigFile::Seek(uint32_t position) {
  if (!archive_ || !entry_) return 0;
  // Positions past 2 GiB cannot be said as a signed offset; they are past
  // the end of any member this format holds, so they land on the last byte.
  int32_t offset = position > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(position);
  return archive_->SeekMember(entry_, offset, 0);
}

const char16_t* ztBigFile::GetName(char16_t*) { return nullptr; }

int32_t ztBigFile::GetSizeOf(const char16_t*) { return -1; }

int32_t ztBigFile::GetSize() {
  if (!archive_ || !entry_) return -1;
  return static_cast<int32_t>(entry_->size);
}

intptr_t ztBigFile::GetHandle() { return -1; }

int32_t ztBigFile::IsFile(const char16_t* name) { return archive_ ? archive_->HasMember(name) : 0; }

uint32_t ztBigFile::GetAttributes(const char16_t*) { return ZT_ATTR_NORMAL; }

int32_t ztBigFile::SetAttributes(const char16_t*, uint32_t) { return 0; }

int32_t ztBigFile::Remove(const char16_t*, int32_t) { return 0; }

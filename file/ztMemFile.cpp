#include <cstring>

#include "file/textutil.h"
#include "file/ztFile.h"
#include "platform/ztDebug.h"
#include "platform/ztHeap.h"

namespace {
void LogNotOpen() {
  // ztMemFile : ファイルがオープンされていません
  DebugLog(
      "ztMemFile : "
      "\x83t\x83@\x83\x43\x83\x8b\x82\xaa\x83I\x81["
      "\x83v\x83\x93\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1");
}
}  // namespace

// Closes through this class on purpose: a destructor never dispatches further.
ztMemFile::~ztMemFile() { ztMemFile::Close(); }

int32_t ztMemFile::Create(uint32_t capacity) {
  if (buffer_) return 0;
  buffer_ = static_cast<uint8_t*>(ztHeapAlloc(0, capacity));
  if (!buffer_) return 0;
  size_ = capacity;
  growth_ = capacity;
  position_ = 0;
  borrowed_ = 0;
  return 1;
}

int32_t ztMemFile::LoadFrom(ztFileBase* file) {
  if (!file || buffer_) return 0;
  char16_t name[256] = {};
  const char16_t* given = file->GetName(name);
  (void)CopyText(name_, given ? given : u"");
  int32_t size = file->GetSize();
  if (size < 0) return 0;
  buffer_ = static_cast<uint8_t*>(ztHeapAlloc(0, static_cast<uint32_t>(size)));
  if (!buffer_) return 0;
  int32_t got = size > 0 ? file->Read(buffer_, static_cast<uint32_t>(size)) : 0;
  if (got < 0) {
    ztHeapFree(buffer_);
    buffer_ = nullptr;
    return 0;
  }
  size_ = static_cast<uint32_t>(got);
  position_ = 0;
  growth_ = 0;
  borrowed_ = 0;
  return 1;
}

int32_t ztMemFile::LoadBlock(const char16_t* name, const void* data, uint32_t count) {
  if (!data || buffer_) return 0;
  (void)CopyText(name_, name ? name : u"");
  buffer_ = static_cast<uint8_t*>(ztHeapAlloc(0, count));
  if (!buffer_) return 0;
  std::memcpy(buffer_, data, count);
  size_ = count;
  position_ = 0;
  growth_ = 0;
  borrowed_ = 0;
  return 1;
}

int32_t ztMemFile::Borrow(ztMemFile* other) {
  if (buffer_ || !other) return 0;
  mode_ = other->mode_;
  handle_ = other->handle_;
  std::memcpy(name_, other->name_, sizeof name_);
  position_ = other->position_;
  buffer_ = other->buffer_;
  size_ = other->size_;
  borrowed_ = 1;
  return 1;
}

int32_t ztMemFile::GetBuffer(void** data, uint32_t* size) {
  if (!buffer_) return 0;
  if (data) *data = buffer_;
  if (size) *size = position_;
  return 1;
}

int32_t ztMemFile::Open(const char16_t*, int32_t) { return 1; }

int32_t ztMemFile::Close() {
  if (!buffer_) return 0;
  if (!borrowed_) ztHeapFree(buffer_);
  buffer_ = nullptr;
  size_ = 0;
  position_ = 0;
  borrowed_ = 0;
  return 1;
}

int32_t ztMemFile::Read(void* buffer, uint32_t count) {
  if (!buffer_) {
    LogNotOpen();
    return -1;
  }
  if (position_ >= size_) return -1;
  uint32_t n = count < size_ - position_ ? count : size_ - position_;
  std::memcpy(buffer, buffer_ + position_, n);
  position_ += n;
  return static_cast<int32_t>(n);
}

// Makes room for `count` bytes at the position. The block grows by whole
// steps past the end needed; a file without a step (loaded or borrowed)
// grows to exactly what is needed. The grown capacity counts as the size.
int32_t ztMemFile::Grow(uint32_t count) {
  uint64_t need = static_cast<uint64_t>(position_) + count;
  if (size_ > need) return 1;
  uint64_t capacity;
  if (growth_ > 0) {
    uint64_t steps = (need - size_) / growth_ + 1;
    capacity = size_ + steps * growth_;
  } else {
    capacity = need;
  }
  if (capacity > UINT32_MAX - 4) return 0;
  // A borrowed block belongs to another file: never replace it.
  if (borrowed_) return 0;
  auto* bigger = static_cast<uint8_t*>(ztHeapAlloc(0, static_cast<uint32_t>(capacity)));
  if (!bigger) return 0;
  std::memset(bigger, 0, static_cast<size_t>(capacity));
  std::memcpy(bigger, buffer_, size_);
  ztHeapFree(buffer_);
  buffer_ = bigger;
  size_ = static_cast<uint32_t>(capacity);
  return 1;
}

int32_t ztMemFile::Write(const void* buffer, uint32_t count) {
  if (!buffer_) {
    LogNotOpen();
    return -1;
  }
  if (!Grow(count)) return -1;
  uint32_t room = position_ < size_ ? size_ - position_ : 0;
  uint32_t n = count < room ? count : room;
  std::memcpy(buffer_ + position_, buffer, n);
  position_ += n;
  return static_cast<int32_t>(n);
}

int32_t ztMemFile::GetPosition() { return static_cast<int32_t>(position_); }

int32_t ztMemFile::Seek(uint32_t position) {
  if (!buffer_) return -1;
  position_ = position < size_ ? position : size_ - 1;
  return static_cast<int32_t>(position_);
}

const char16_t* ztMemFile::GetName(char16_t*) { return nullptr; }
int32_t ztMemFile::GetSizeOf(const char16_t*) { return -1; }
int32_t ztMemFile::GetSize() { return buffer_ ? static_cast<int32_t>(size_) : -1; }
intptr_t ztMemFile::GetHandle() { return -1; }
int32_t ztMemFile::IsFile(const char16_t*) { return 0; }
uint32_t ztMemFile::GetAttributes(const char16_t*) { return 0; }
int32_t ztMemFile::SetAttributes(const char16_t*, uint32_t) { return 0; }
int32_t ztMemFile::Remove(const char16_t*, int32_t) { return 0; }

#include "file/ztFile.h"

#include "file/file_sys.h"
#include "file/textutil.h"
#include "platform/sysdep.h"
#include "platform/ztDebug.h"
#include "platform/ztHeap.h"

// ---- defaults of the interface ------------------------------------------------

int32_t ztFileBase::Open(const char16_t*, int32_t) { return 0; }
int32_t ztFileBase::Close() { return 0; }
int32_t ztFileBase::Read(void*, uint32_t) { return -1; }
int32_t ztFileBase::Write(const void*, uint32_t) { return -1; }
int32_t ztFileBase::GetPosition() { return -1; }
int32_t ztFileBase::Seek(uint32_t) { return -1; }
const char16_t* ztFileBase::GetName(char16_t*) { return nullptr; }
int32_t ztFileBase::GetSizeOf(const char16_t*) { return -1; }
int32_t ztFileBase::GetSize() { return -1; }
intptr_t ztFileBase::GetHandle() { return -1; }
int32_t ztFileBase::IsFile(const char16_t*) { return 0; }
uint32_t ztFileBase::GetAttributes(const char16_t*) { return ZT_ATTR_INVALID; }
int32_t ztFileBase::SetAttributes(const char16_t*, uint32_t) { return 0; }
int32_t ztFileBase::Remove(const char16_t*, int32_t) { return 0; }

// ---- disk file ------------------------------------------------------------------

namespace {

// The path in a message: code page 932 like the rest of the text.
struct NarrowPath {
  char text[600];
  explicit NarrowPath(const char16_t* path) { ToShiftJis(text, sizeof text, path); }
};

}  // namespace

ztFile::ztFile() = default;

// Closes through this class on purpose: a destructor never dispatches further.
ztFile::~ztFile() { ztFile::Close(); }

int32_t ztFile::Open(const char16_t* path, int32_t flags) {
  if (handle_ != -1) {
    // 既に違うファイルがオープンされています
    AssertBox(
        "\x8a\xf9\x82\xc9\x88\xe1\x82\xa4\x83t\x83@\x83\x43\x83\x8b\x82\xaa\x83I\x81["
        "\x83v\x83\x93\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb7");
  }
  if (!(flags & (ZTFILE_READ | ZTFILE_WRITE))) {
    // ZTFILE_READ 又は ZTFILE_WRITE を指定してください
    AssertBox(
        "ZTFILE_READ \x96\x94\x82\xcd ZTFILE_WRITE "
        "\x82\xf0\x8ew\x92\xe8\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2");
  }
  if (!path) return 0;
  bool read = (flags & ZTFILE_READ) != 0;
  int disposition = 0;
  if (flags & ZTFILE_OPEN_EXISTING) disposition = zt_filesys::kOpenExisting;
  if (flags & ZTFILE_CREATE_NEW) disposition |= zt_filesys::kCreateNew;
  if (flags & ZTFILE_OPEN_ALWAYS) disposition |= zt_filesys::kOpenAlways;

  intptr_t h;
  if (flags & ZTFILE_CREATE_ALWAYS) {
    if (read) {
      // ZTFILE_READ ではアクセス出来ません
      AssertBox("ZTFILE_READ \x82\xc5\x82\xcd\x83\x41\x83N\x83Z\x83X\x8fo\x97\x88\x82\xdc\x82\xb9\x82\xf1");
    }
    // Create, or when the file is already there, cut it to nothing.
    h = zt_filesys::Create(path, false, zt_filesys::kCreateNew);
    if (h == -1) h = zt_filesys::Create(path, false, zt_filesys::kTruncateExisting);
  } else {
    h = zt_filesys::Create(path, read, disposition);
  }
  if (h == -1) return 0;
  handle_ = h;
  mode_ = flags;
  // Kept for messages only (the file was opened with the whole path).
  (void)CopyText(path_, path);
  position_ = 0;
  return 1;
}

int32_t ztFile::Close() {
  if (handle_ == -1) return 0;
  if (!zt_filesys::Close(handle_)) return 0;
  handle_ = -1;
  mode_ = -1;
  path_[0] = 0;
  position_ = 0;
  return 1;
}

int32_t ztFile::Read(void* buffer, uint32_t count) {
  if (handle_ == -1) {
    // ztFile : ハンドルが無効です
    DebugLog("ztFile : \x83n\x83\x93\x83h\x83\x8b\x82\xaa\x96\xb3\x8c\xf8\x82\xc5\x82\xb7");
    return -1;
  }
  if (!(mode_ & ZTFILE_READ)) {
    // 読み込みモードでオープンされていません : %s
    AssertBox(
        "\x93\xc7\x82\xdd\x8d\x9e\x82\xdd\x83\x82\x81[\x83h\x82\xc5\x83I\x81["
        "\x83v\x83\x93\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1 : %s",
        NarrowPath(path_).text);
  }
  int64_t n = zt_filesys::Read(handle_, buffer, count);
  if (n < 0) {
    DebugLog("Read file failed : %d", static_cast<int>(zt_sys::LastError()));
    return -1;
  }
  position_ += static_cast<uint32_t>(n);
  return static_cast<int32_t>(n);
}

int32_t ztFile::Write(const void* buffer, uint32_t count) {
  if (handle_ == -1) return -1;
  if (!(mode_ & ZTFILE_WRITE)) {
    // 書き込みモードでオープンされていません : %s
    AssertBox(
        "\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x83\x82\x81[\x83h\x82\xc5\x83I\x81["
        "\x83v\x83\x93\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1 : %s",
        NarrowPath(path_).text);
  }
  int64_t n = zt_filesys::Write(handle_, buffer, count);
  if (n < 0) {
    DebugLog("Write file failed : %d", static_cast<int>(zt_sys::LastError()));
    return -1;
  }
  position_ += static_cast<uint32_t>(n);
  return static_cast<int32_t>(n);
}

int32_t ztFile::GetPosition() { return handle_ == -1 ? -1 : static_cast<int32_t>(position_); }

int32_t ztFile::Seek(uint32_t position) {
  if (handle_ == -1) return -1;
  // Seeking to the size (or beyond) lands on the last byte, not at the end;
  // in an empty file there is no last byte and the seek fails.
  uint32_t size = static_cast<uint32_t>(zt_filesys::Size(handle_));
  int64_t result = -1;
  if (size > position)
    result = zt_filesys::SeekTo(handle_, position);
  else if (size > 0)
    result = zt_filesys::SeekTo(handle_, size - 1);
  position_ = static_cast<uint32_t>(result);
  return static_cast<int32_t>(position_);
}

const char16_t* ztFile::GetName(char16_t*) { return nullptr; }

int32_t ztFile::GetSizeOf(const char16_t* path) {
  bool folder = false;
  uint64_t size = 0;
  if (!zt_filesys::Find(path, &folder, &size) || folder) return 0;
  return static_cast<int32_t>(static_cast<uint32_t>(size));
}

int32_t ztFile::GetSize() {
  if (handle_ == -1) return -1;
  return static_cast<int32_t>(static_cast<uint32_t>(zt_filesys::Size(handle_)));
}

intptr_t ztFile::GetHandle() { return handle_; }

int32_t ztFile::IsFile(const char16_t* path) {
  bool folder = false;
  uint64_t size = 0;
  return (zt_filesys::Find(path, &folder, &size) && !folder) ? 1 : 0;
}

uint32_t ztFile::GetAttributes(const char16_t* path) { return zt_filesys::GetAttributes(path); }

int32_t ztFile::SetAttributes(const char16_t* path, uint32_t attributes) {
  return zt_filesys::SetAttributes(path, attributes);
}

int32_t ztFile::Remove(const char16_t* path, int32_t force) {
  uint32_t attributes = zt_filesys::GetAttributes(path);
  if (attributes == ZT_ATTR_INVALID) return 0;
  if (attributes & ZT_ATTR_DIRECTORY) return 0;
  if (force) {
    zt_filesys::SetAttributes(path, ZT_ATTR_NORMAL);
  } else if (attributes & (ZT_ATTR_READONLY | ZT_ATTR_HIDDEN | ZT_ATTR_SYSTEM)) {
    return 0;
  }
  return zt_filesys::Delete(path);
}

uint64_t GetFileSize64(const char16_t* path) {
  bool folder = false;
  uint64_t size = 0;
  if (!zt_filesys::Find(path, &folder, &size) || folder) return 0;
  return size;
}

void* ReadWholeFile(const char16_t* path, uint32_t padding, uint32_t* size, uint32_t limit) {
  if (size) *size = 0;
  ztFile file;
  if (!file.Open(path, ZTFILE_READ | ZTFILE_OPEN_EXISTING)) return nullptr;
  int32_t n = file.GetSize();
  if (n < 0 || static_cast<uint32_t>(n) > limit || static_cast<uint32_t>(n) > UINT32_MAX - 4 - padding) return nullptr;
  uint32_t bytes = static_cast<uint32_t>(n);
  auto* block = static_cast<uint8_t*>(ztHeapAlloc(0, bytes + padding));
  if (!block) return nullptr;
  ZeroBytes(block, bytes + padding);
  if (bytes > 0 && file.Read(block, bytes) != n) {
    ztHeapFree(block);
    return nullptr;
  }
  if (size) *size = bytes;
  return block;
}

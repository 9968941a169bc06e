#include "app/discovery.h"

#include <cstring>

#include "app/UpdateDescription.h"
#include "file/textutil.h"
#include "file/ztFile.h"
#include "platform/ztHeap.h"

namespace {

// Bytes between the first opening tag and the first closing tag, each
// searched from the start on its own; nothing when the closing tag comes
// first. -1 when a tag is missing.
int Between(const char* bytes, const char* open, const char* close, const char** start) {
  int a = FindTextA(bytes, open);
  int b = FindTextA(bytes, close);
  if (a < 0 || b < 0) return -1;
  int from = a + static_cast<int>(std::strlen(open));
  *start = bytes + from;
  return b > from ? b - from : 0;
}

// A version piece has room for 129 characters. A longer one is not read at
// all: cutting digits off would make it a different number.
int32_t ReadPart(const char* bytes, const char* open, const char* close) {
  const char* start = nullptr;
  int len = Between(bytes, open, close, &start);
  if (len < 0 || len > 129) return 0;
  char16_t text[130] = {};
  // Each byte on its own becomes one unit: the numbers are plain ASCII.
  for (int i = 0; i < len; ++i) text[i] = static_cast<unsigned char>(start[i]);
  return ParseVersionNumber(text);
}

}  // namespace

int ExtractInstallFolder(const char* bytes, char16_t* out, size_t cap) {
  if (!bytes || !out || cap == 0) return 0;
  const char* start = nullptr;
  int len = Between(bytes, "<path>", "</path>", &start);
  if (len < 0) return 0;
  out[0] = 0;
  char work[520] = {};
  if (len > 519) return 0;
  std::memcpy(work, start, static_cast<size_t>(len));
  if (FromUtf8(work, out, cap) < 0) {
    out[0] = 0;
    return 0;
  }
  return 1;
}

uint32_t ParseInstalledVersion(const char* bytes) {
  if (!bytes) return 0;
  uint32_t major = static_cast<uint32_t>(ReadPart(bytes, "<major>", "</major>"));
  uint32_t minor = static_cast<uint32_t>(ReadPart(bytes, "<minor>", "</minor>"));
  return (major << 16) | minor;
}

int FindInstallFolder(const char16_t* brand, const char16_t* app, char16_t (&out)[ZT_MAX_PATH]) {
  // The updater refuses such a description before it gets here; this keeps
  // the lookup inside its folder for any other caller too.
  auto plain = [](const char16_t* name) { return !name || !name[0] || IsPlainPathComponent(name); };
  if (!plain(brand) || !plain(app)) return 0;
  char16_t folder[ZT_MAX_PATH];
  if (!GetShellFolder(8, folder)) return 0;
  char16_t name[ZT_MAX_PATH];
  if (CopyText(name, app ? app : u"") < 0) return 0;
  size_t n = TextLength(name);
  if (n + 5 > ZT_MAX_PATH) return 0;
  std::memcpy(name + n, u".xml", 5 * sizeof(char16_t));
  char16_t path[ZT_MAX_PATH];
  if (JoinPath(path, 3, folder, brand ? brand : u"", name) < 0) return 0;

  uint32_t size = 0;
  auto* bytes = static_cast<char*>(ReadWholeFile(path, 8, &size));
  if (!bytes) return 0;
  char16_t found[ZT_MAX_PATH];
  int ok = ExtractInstallFolder(bytes, found, ZT_MAX_PATH);
  ztHeapFree(bytes);
  if (!ok) {
    // A tag missing leaves the previous answer alone; a folder that did not
    // fit must not survive as a usable value.
    return 0;
  }
  (void)CopyText(out, found);
  return 1;
}

uint32_t ReadInstalledVersion(const char16_t* installFolder) {
  char16_t path[ZT_MAX_PATH];
  if (JoinPath(path, 3, installFolder ? installFolder : u"", u"config", u"startup.xml") < 0) return 0;
  uint32_t size = 0;
  auto* bytes = static_cast<char*>(ReadWholeFile(path, 8, &size));
  if (!bytes) return 0;
  uint32_t version = ParseInstalledVersion(bytes);
  ztHeapFree(bytes);
  return version;
}

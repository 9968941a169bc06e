#include "platform/ztLimits.h"

#include "platform/ztDebug.h"

// 画像の大きさ(%u x %u)が上限を超えています。
const char kMsgPictureTooLarge[] =
    "\x89\xe6\x91\x9c\x82\xcc\x91\xe5\x82\xab\x82\xb3(%u x %u)\x82\xaa\x8f\xe3\x8c\xc0\x82\xf0\x92\xb4\x82\xa6\x82\xc4"
    "\x82\xa2\x82\xdc\x82\xb7\x81\x42";

namespace {

constexpr uint32_t kDefaults[ZTLIMIT_COUNT] = {
    ZTLIMIT_DEFAULT_PICTURE_PIXELS,
    ZTLIMIT_DEFAULT_PICTURE_BYTES,
    ZTLIMIT_DEFAULT_XML_BYTES,
    ZTLIMIT_DEFAULT_INSTALL_LOG_BYTES,
};

uint32_t g_limits[ZTLIMIT_COUNT] = {
    ZTLIMIT_DEFAULT_PICTURE_PIXELS,
    ZTLIMIT_DEFAULT_PICTURE_BYTES,
    ZTLIMIT_DEFAULT_XML_BYTES,
    ZTLIMIT_DEFAULT_INSTALL_LOG_BYTES,
};

bool Known(int kind) { return kind >= 0 && kind < ZTLIMIT_COUNT; }

}  // namespace

uint32_t ztGetLimit(int kind) { return Known(kind) ? g_limits[kind] : 0; }

uint32_t ztDefaultLimit(int kind) { return Known(kind) ? kDefaults[kind] : 0; }

uint32_t ztSetLimit(int kind, uint32_t value) {
  if (!Known(kind)) return 0;
  uint32_t previous = g_limits[kind];
  g_limits[kind] = value ? value : kDefaults[kind];
  return previous;
}

void ztResetLimits() {
  for (int k = 0; k < ZTLIMIT_COUNT; ++k) g_limits[k] = kDefaults[k];
}

bool ztPictureWithinLimit(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0) return false;
  if (static_cast<uint64_t>(width) * height <= g_limits[ZTLIMIT_PICTURE_PIXELS]) return true;
  DebugLog(kMsgPictureTooLarge, width, height);
  return false;
}

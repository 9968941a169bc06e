#include "image/zlibutil.h"

#include <zlib.h>

#include <cstring>

#include "platform/ztDebug.h"

namespace {
constexpr uint32_t kInflateStep = 4096;
}

int32_t ztZlibInflate(uint8_t* dest, uint32_t capacity, const uint8_t* source, uint32_t sourceLength) {
  if (!dest) capacity = 0;
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  if (inflateInit(&zs) != Z_OK) {
    DebugLog("zlib init error : %s\n", zs.msg ? zs.msg : "");
    return -1;
  }
  zs.next_in = const_cast<Bytef*>(source);
  zs.avail_in = source ? sourceLength : 0;
  // Zeroed, so that what is copied out of it can only be what zlib wrote
  // (the analysers cannot see through inflate that this always holds).
  uint8_t chunk[kInflateStep] = {};
  uint32_t count = 0;
  while (zs.avail_in > 0) {
    // While at least one step of room is left the output goes straight into
    // the destination, all of that room at once (zlib's fast path needs room
    // to work in; the bytes produced are the same as in 4096-byte steps).
    // The last partial step goes through a scratch chunk whose excess is
    // dropped.
    uint32_t room = capacity - count;
    bool direct = room >= kInflateStep;
    uint8_t* out = direct ? dest + count : chunk;
    uint32_t step = direct ? room : kInflateStep;
    zs.next_out = out;
    zs.avail_out = step;
    // zlib's return code is not needed: every way a stream can stop (its
    // end, corrupt data, input used up) shows as a step that yields nothing.
    inflate(&zs, Z_NO_FLUSH);
    uint32_t got = step - zs.avail_out;
    if (got == 0) {
      if (capacity > count) memset(dest + count, 0, capacity - count);
      break;
    }
    if (!direct) {
      uint32_t n = got < room ? got : room;
      if (n) memcpy(dest + count, chunk, n);
      count += n;
    } else {
      count += got;
    }
    // A full destination can take nothing more: inflating the rest of a
    // (possibly hostile) stream would only be thrown away.
    if (count == capacity) break;
  }
  inflateEnd(&zs);
  return static_cast<int32_t>(count);
}

int32_t ztZlibDeflate(uint8_t* dest, uint32_t capacity, const uint8_t* source, uint32_t sourceLength) {
  if (!dest) capacity = 0;
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  if (deflateInit(&zs, 9) != Z_OK) return -1;
  zs.next_in = const_cast<Bytef*>(source);
  zs.avail_in = source ? sourceLength : 0;
  zs.next_out = dest;
  zs.avail_out = capacity;
  bool failed = false;
  while (zs.avail_in > 0) {
    if (zs.avail_out == 0) {
      failed = true;  // out of room
      break;
    }
    int rc = deflate(&zs, Z_NO_FLUSH);
    if (rc != Z_OK) {
      DebugLog("zlib encode error : %s", zs.msg ? zs.msg : "");
      failed = true;
      break;
    }
  }
  while (!failed) {
    int rc = deflate(&zs, Z_FINISH);
    if (rc == Z_STREAM_END) break;
    // Z_OK with no room left means the stream does not fit.
    if ((rc != Z_OK && rc != Z_BUF_ERROR) || zs.avail_out == 0)
      failed = true;
    else if (rc == Z_BUF_ERROR)
      failed = true;  // no progress possible
  }
  uint32_t total = capacity - zs.avail_out;
  deflateEnd(&zs);
  if (failed || total > 0x7FFFFFFFu) return -1;
  return static_cast<int32_t>(total);
}

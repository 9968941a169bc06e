#include "image/ztImagePsd.h"

#include <cstring>

#include "platform/ztBytes.h"
#include "platform/ztLimits.h"

namespace {

struct PsdLayout {
  uint32_t width;
  uint32_t height;
  uint32_t channels;
  uint32_t compression;  // 0 raw, 1 PackBits
  uint32_t dataOffset;   // first byte after the compression code
};

// Header and section walk. Every length is checked against what is left, so
// the result is an offset the image data really starts at.
bool ParseLayout(const uint8_t* data, uint32_t size, PsdLayout* out) {
  ztByteCursor cur(data, size);
  const uint8_t* sig = cur.Take(4);
  if (!sig || memcmp(sig, "8BPS", 4) != 0) return false;
  uint32_t version = cur.U16BE();
  cur.Skip(6);
  uint32_t channels = cur.U16BE();
  uint32_t height = cur.U32BE();
  uint32_t width = cur.U32BE();
  uint32_t depth = cur.U16BE();
  uint32_t mode = cur.U16BE();
  if (!cur.Ok() || version != 1) return false;
  // Only what the decoder can show: 8-bit RGB with at least three channels,
  // sides from 1 to 65535.
  if (depth != 8 || mode != 3 || channels < 3 || channels > 56) return false;
  if (width == 0 || height == 0 || width > 0xFFFF || height > 0xFFFF) return false;
  for (int section = 0; section < 3; ++section) {  // colour mode, resources, layers
    uint32_t length = cur.U32BE();
    if (!cur.Ok() || !cur.Skip(length)) return false;
  }
  uint32_t compression = cur.U16BE();
  if (!cur.Ok() || compression > 1) return false;
  *out = {width, height, channels, compression, cur.Pos()};
  return true;
}

// One row of PackBits into `row` (w bytes). A packet that runs past the row's
// end is consumed whole and its excess dropped.
bool UnpackRow(ztByteCursor& cur, uint8_t* row, uint32_t w, uint32_t step) {
  uint32_t x = 0;
  while (x < w) {
    uint8_t n = cur.U8();
    if (!cur.Ok()) return false;
    if (n < 128) {
      uint32_t count = n + 1u;
      const uint8_t* lit = cur.Take(count);
      if (!lit) return false;
      for (uint32_t i = 0; i < count && x < w; ++i, ++x) row[static_cast<size_t>(x) * step] = lit[i];
    } else {
      uint32_t count = (257u - n) & 0xFF;
      uint8_t v = cur.U8();
      if (!cur.Ok()) return false;
      for (uint32_t i = 0; i < count && x < w; ++i, ++x) row[static_cast<size_t>(x) * step] = v;
    }
  }
  return true;
}

}  // namespace

int ztImagePsd::Detect(const uint8_t* data, uint32_t size) {
  PsdLayout layout;
  return data && ParseLayout(data, size, &layout);
}

int ztImagePsd::Load(const ztMemBlock* source, int) {
  if (!source || !source->data) return 0;
  PsdLayout psd;
  if (!ParseLayout(source->data, source->size, &psd)) return 0;
  uint32_t w = psd.width, h = psd.height;
  if (!ztPictureWithinLimit(w, h)) return 0;
  uint32_t stride = ComputeStride(w, 4, false);
  uint32_t bytes = stride ? ComputeBufferSize(stride, h) : 0;
  if (!bytes || !ReserveBuffer(bytes)) return 0;
  SetGeometry(w, h, 4, stride);
  SetCanvasSize(static_cast<int32_t>(w), static_cast<int32_t>(h));
  memset(pixels_, 0, bytes);

  ztByteCursor cur(source->data, source->size);
  cur.Seek(psd.dataOffset);
  // The run-length table (one 16-bit count per row per channel) is skipped:
  // the packets themselves say where each row ends.
  if (psd.compression == 1 && !cur.Skip(static_cast<uint32_t>(psd.channels * h * 2))) return 0;

  // Channels 0, 1, 2 are red, green, blue, and land in bytes 2, 1, 0 of the
  // pixels; each plane starts where the previous one ended.
  for (int channel = 0; channel < 3; ++channel) {
    for (uint32_t i = 0; i < h; ++i) {
      uint8_t* row = pixels_ + static_cast<size_t>(h - 1 - i) * stride + (2 - channel);
      if (psd.compression == 0) {
        const uint8_t* src = cur.Take(w);
        if (!src) return 0;
        for (uint32_t x = 0; x < w; ++x) row[static_cast<size_t>(x) * 4] = src[x];
      } else if (!UnpackRow(cur, row, w, 4)) {
        return 0;
      }
    }
  }
  for (uint32_t y = 0; y < h; ++y) {
    uint8_t* p = pixels_ + static_cast<size_t>(y) * stride + 3;
    for (uint32_t x = 0; x < w; ++x, p += 4) *p = 255;
  }
  ClearTransparentColour();
  return 1;
}

#include "image/ztImageZtf.h"

#include <cstring>

#include "image/imagemsg.h"
#include "image/zure.h"
#include "platform/ztBytes.h"
#include "platform/ztDebug.h"
#include "platform/ztLimits.h"

int ztImageZtf::Detect(const uint8_t* data, uint32_t size) {
  return data && size >= 4 && memcmp(data, "ZTF\0", 4) == 0;
}

int ztImageZtf::Load(const ztMemBlock* source, int) {
  if (!source || !source->data || !Detect(source->data, source->size)) {
    DebugLog(zt_imagemsg::kWrongType);
    return 0;
  }
  ztByteCursor cur(source->data, source->size);
  cur.Skip(4);
  uint32_t w = cur.U16LE();
  uint32_t h = cur.U16LE();
  uint32_t stride = cur.U16LE();
  uint32_t bpp = cur.U16LE();
  if (!cur.Ok()) return 0;
  const uint8_t* block = cur.Here();
  uint32_t blockSize = cur.Left();
  uint32_t unpacked = ztZureDecode(block, blockSize, nullptr, 0, nullptr, nullptr);
  if (unpacked == 0) return 0;
  // The header's geometry must describe rows that the block really holds.
  if (w == 0 || h == 0 || bpp < 1 || bpp > 4 || stride < w * bpp) return 0;
  if (!ztPictureWithinLimit(w, h)) return 0;
  uint32_t rows = ComputeBufferSize(stride, h);
  if (!rows || unpacked < rows || unpacked > ztGetLimit(ZTLIMIT_PICTURE_BYTES)) return 0;
  if (!ReserveBuffer(unpacked)) return 0;
  uint32_t got = ztZureDecode(block, blockSize, pixels_, bufferSize_, nullptr, nullptr);
  if (got != unpacked) return 0;
  bufferSize_ = got;
  SetGeometry(w, h, static_cast<int32_t>(bpp), stride);
  SetCanvasSize(static_cast<int32_t>(w), static_cast<int32_t>(h));
  return 1;
}

int ztImageZtf::Save(ztMemBlock* dest, int, int, int, int) {
  if (!dest) return 0;
  dest->Clear();
  // The header keeps 16-bit sides and stride; a picture beyond them cannot be
  // stored faithfully and is refused rather than written wrong.
  if (!GeometryValid() || width_ > 0xFFFF || height_ > 0xFFFF || stride_ > 0xFFFF) {
    DebugLog(zt_imagemsg::kSaveFailed);
    return 0;
  }
  ClearTransparentColour();
  // The end of each row past its pixels is padding that no loader fills; it
  // is stored zeroed, so a saved file depends on the picture alone and never
  // carries whatever the heap held before.
  const uint32_t used = width_ * static_cast<uint32_t>(bpp_);
  if (stride_ > used)
    for (uint32_t y = 0; y < height_; ++y) memset(pixels_ + static_cast<size_t>(y) * stride_ + used, 0, stride_ - used);
  uint32_t bytes = stride_ * height_;
  uint32_t best = 0;
  int bestSet = 0;
  for (int set = 0; set < ZTZURE_PARAM_SETS; ++set) {
    uint32_t size = ztZureEncode(pixels_, bytes, nullptr, 0, set, nullptr, nullptr);
    if (size == 0) {
      DebugLog(zt_imagemsg::kSaveFailed);
      return 0;
    }
    if (best == 0 || size < best) {
      best = size;
      bestSet = set;
    }
  }
  if (best > UINT32_MAX - 8 - ZTF_HEADER_SIZE) {
    DebugLog(zt_imagemsg::kSaveFailed);
    return 0;
  }
  uint8_t* out = dest->Allocate(best + ZTF_HEADER_SIZE);
  if (!out) {
    DebugLog(zt_imagemsg::kSaveFailed);
    return 0;
  }
  // The rounding to 8 bytes leaves a few bytes after the block; they are
  // zeroed so a saved file is the same every time.
  memset(out, 0, dest->size);
  uint32_t written =
      ztZureEncode(pixels_, bytes, out + ZTF_HEADER_SIZE, dest->size - ZTF_HEADER_SIZE, bestSet, nullptr, nullptr);
  if (written == 0) {
    dest->Clear();
    DebugLog(zt_imagemsg::kSaveFailed);
    return 0;
  }
  memcpy(out, "ZTF\0", 4);
  ztPutU16LE(out + 4, width_);
  ztPutU16LE(out + 6, height_);
  ztPutU16LE(out + 8, stride_);
  ztPutU16LE(out + 10, static_cast<uint32_t>(bpp_));
  lastSet_ = bestSet;
  return 1;
}

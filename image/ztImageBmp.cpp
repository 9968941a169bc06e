#include "image/ztImageBmp.h"

#include <cstring>

#include "image/imagemsg.h"
#include "platform/ztBytes.h"
#include "platform/ztDebug.h"
#include "platform/ztLimits.h"

namespace {
constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kDefaultPixelOffset = kFileHeaderSize + kInfoHeaderSize;  // 54
}  // namespace

ztImageBmp::ztImageBmp() { memset(info_, 0, sizeof info_); }

int ztImageBmp::Detect(const uint8_t* data, uint32_t size) {
  if (!data || size < 30 || data[0] != 'B' || data[1] != 'M') return 0;
  uint16_t bits = ztGetU16LE(data + 28);
  return bits == 24 || bits == 32;
}

int ztImageBmp::Load(const ztMemBlock* source, int) {
  if (!source || !source->data) return 0;
  uint32_t pixelOffset = 0, headerSize = 0;
  int32_t width = 0, height = 0;
  uint16_t bits = 0;
  if (!ReadHeaders(source, &pixelOffset, &headerSize, &width, &height, &bits)) return 0;
  if (bits != 24 && bits != 32) return 0;
  // A negative height marks a top-down file; it is read into the same row
  // order a bottom-up file of the same picture gives.
  bool topDown = height < 0;
  uint32_t h = topDown ? 0u - static_cast<uint32_t>(height) : static_cast<uint32_t>(height);
  if (width <= 0 || h == 0 || h > 0x7FFFFFFFu) return 0;
  uint32_t w = static_cast<uint32_t>(width);
  if (!ztPictureWithinLimit(w, h)) return 0;
  uint32_t fileBpp = bits / 8;
  uint32_t fileStride = ztImage::ComputeStride(w, fileBpp, true);
  uint32_t stride = ztImage::ComputeStride(w, 4, false);
  uint32_t bytes = stride ? ztImage::ComputeBufferSize(stride, h) : 0;
  if (!fileStride || !bytes) return 0;

  // The header's pixel offset is used when it lies past the headers and
  // inside the file; otherwise the rows follow a 40-byte header.
  uint32_t headersEnd = kFileHeaderSize + headerSize;
  uint32_t offset = (pixelOffset >= headersEnd && pixelOffset < source->size) ? pixelOffset : kDefaultPixelOffset;
  // Every row must lie inside the source; the last one needs no padding.
  uint64_t need = static_cast<uint64_t>(fileStride) * (h - 1) + static_cast<uint64_t>(w) * fileBpp;
  if (offset > source->size || need > source->size - offset) return 0;

  if (!ReserveBuffer(bytes)) return 0;
  SetGeometry(w, h, 4, stride);
  SetCanvasSize(static_cast<int32_t>(w), static_cast<int32_t>(h));
  CopyRows(source->data + offset, fileStride, fileBpp, topDown);
  return 1;
}

int ztImageBmp::ReadHeaders(const ztMemBlock* source, uint32_t* pixelOffset, uint32_t* headerSize, int32_t* width,
                            int32_t* height, uint16_t* bits) {
  ztByteCursor cur(source->data, source->size);
  const uint8_t* sig = cur.Take(2);
  if (!sig || sig[0] != 'B' || sig[1] != 'M') {
    DebugLog(zt_imagemsg::kWrongType);
    return 0;
  }
  cur.Skip(8);
  *pixelOffset = cur.U32LE();
  *headerSize = cur.U32LE();
  if (!cur.Ok() || (*headerSize != kInfoHeaderSize && *headerSize != kCoreHeaderSize)) {
    DebugLog(zt_imagemsg::kWrongType);
    return 0;
  }
  cur.Seek(kFileHeaderSize);  // the info header starts with its own size
  if (*headerSize == kInfoHeaderSize) {
    if (!cur.Read(info_, kInfoHeaderSize)) return 0;
    *width = static_cast<int32_t>(ztGetU32LE(info_ + 4));
    *height = static_cast<int32_t>(ztGetU32LE(info_ + 8));
    *bits = ztGetU16LE(info_ + 14);
    return 1;
  }
  // Core header: 16-bit unsigned sides, planes and bit count; widened into
  // the info header form.
  const uint8_t* core = cur.Take(kCoreHeaderSize);
  if (!core) return 0;
  *width = ztGetU16LE(core + 4);
  *height = ztGetU16LE(core + 6);
  *bits = ztGetU16LE(core + 10);
  memset(info_, 0, sizeof info_);
  ztPutU32LE(info_, kInfoHeaderSize);
  ztPutU32LE(info_ + 4, static_cast<uint32_t>(*width));
  ztPutU32LE(info_ + 8, static_cast<uint32_t>(*height));
  memcpy(info_ + 12, core + 8, 4);  // planes, bit count
  return 1;
}

void ztImageBmp::CopyRows(const uint8_t* rows, uint32_t fileStride, uint32_t fileBpp, bool topDown) {
  for (uint32_t i = 0; i < height_; ++i) {
    const uint8_t* s = rows + static_cast<size_t>(i) * fileStride;
    uint8_t* d = pixels_ + static_cast<size_t>(topDown ? height_ - 1 - i : i) * stride_;
    if (fileBpp == 4) {
      memcpy(d, s, stride_);
    } else {
      for (uint32_t x = 0; x < width_; ++x, s += 3, d += 4) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
        d[3] = 255;
      }
    }
  }
}

int ztImageBmp::Save(ztMemBlock* dest, int, int, int, int) {
  if (!dest || (bpp_ != 3 && bpp_ != 4) || !GeometryValid()) return 0;
  // Rows are written with the BMP's own stride, whatever stride the buffer
  // has, so a readable file comes out of every buffer layout.
  uint32_t fileStride = ComputeStride(width_, bpp_, true);
  uint32_t imageBytes = fileStride ? ComputeBufferSize(fileStride, height_) : 0;
  if (!imageBytes) return 0;
  uint8_t* out = dest->Allocate(kDefaultPixelOffset + imageBytes);
  if (!out) return 0;
  memset(out, 0, kDefaultPixelOffset);
  out[0] = 'B';
  out[1] = 'M';
  ztPutU32LE(out + 2, kDefaultPixelOffset + imageBytes);
  ztPutU32LE(out + 10, kDefaultPixelOffset);
  ztPutU32LE(out + 14, kInfoHeaderSize);
  ztPutU32LE(out + 18, width_);
  ztPutU32LE(out + 22, height_);
  ztPutU16LE(out + 26, 1);
  ztPutU16LE(out + 28, static_cast<uint32_t>(bpp_) * 8);
  ztPutU32LE(out + 30, 0);
  ztPutU32LE(out + 34, imageBytes);
  size_t rowBytes = static_cast<size_t>(width_) * bpp_;
  for (uint32_t y = 0; y < height_; ++y) {
    uint8_t* d = out + kDefaultPixelOffset + static_cast<size_t>(y) * fileStride;
    memcpy(d, pixels_ + static_cast<size_t>(y) * stride_, rowBytes);
    memset(d + rowBytes, 0, fileStride - rowBytes);
  }
  return 1;
}

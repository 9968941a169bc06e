#include "image/ztImage.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "image/imagemsg.h"
#include "platform/ztDebug.h"
#include "platform/ztHeap.h"
#include "platform/ztLimits.h"

namespace {

// Floor division by 256 of a signed product: the colour blend must round
// toward minus infinity whatever the compiler does with `>>` on negatives.
inline int FloorShift8(int v) { return v >= 0 ? v >> 8 : -((-v + 255) >> 8); }

}  // namespace

ztImage::ztImage() = default;

ztImage::~ztImage() {
  FreeBuffer();
  if (records_) {
    for (auto& entry : *records_) ztHeapFree(entry.second);
    delete records_;
    records_ = nullptr;
  }
}

int ztImage::Load(const ztMemBlock*, int) { return 0; }

int ztImage::LoadByIndex(const ztMemBlock*, unsigned, int*) { return 0; }

int ztImage::Save(ztMemBlock*, int, int, int, int) { return 0; }

uint32_t ztImage::GetSize(uint32_t* width, uint32_t* height) const {
  if (width) *width = width_;
  if (height) *height = height_;
  return bufferSize_;
}

int ztImage::GetOffset(int32_t* x, int32_t* y) const {
  if (x) *x = offsetX_;
  if (y) *y = offsetY_;
  return 1;
}

int ztImage::GetCanvasSize(int32_t* width, int32_t* height) const {
  if (width) *width = canvasWidth_ ? canvasWidth_ : static_cast<int32_t>(width_);
  if (height) *height = canvasHeight_ ? canvasHeight_ : static_cast<int32_t>(height_);
  return 1;
}

uint8_t* ztImage::GetPixelAddress(uint32_t x, uint32_t y) const {
  if (!pixels_ || x >= width_ || y >= height_ || !GeometryValid()) return nullptr;
  return pixels_ + static_cast<size_t>(y) * stride_ + static_cast<size_t>(x) * bpp_;
}

uint8_t* ztImage::GetPixelAddressFromBottom(uint32_t x, uint32_t y) const {
  if (!pixels_ || x >= width_ || y >= height_ || !GeometryValid()) return nullptr;
  return pixels_ + static_cast<size_t>(height_ - 1 - y) * stride_ + static_cast<size_t>(x) * bpp_;
}

uint32_t ztImage::ComputeStride(uint32_t width, uint32_t bytesPerPixel, bool roundTo4) {
  if (width == 0 || bytesPerPixel == 0 || bytesPerPixel > 4) return 0;
  uint64_t row = static_cast<uint64_t>(width) * bytesPerPixel;
  if (roundTo4) row = (row + 3) & ~static_cast<uint64_t>(3);
  if (row > ztGetLimit(ZTLIMIT_PICTURE_BYTES)) return 0;
  return static_cast<uint32_t>(row);
}

uint32_t ztImage::ComputeBufferSize(uint32_t stride, uint32_t height) {
  uint64_t bytes = static_cast<uint64_t>(stride) * height;
  if (bytes == 0 || bytes > ztGetLimit(ZTLIMIT_PICTURE_BYTES)) return 0;
  return static_cast<uint32_t>(bytes);
}

void ztImage::SetGeometry(uint32_t width, uint32_t height, int32_t bytesPerPixel, uint32_t stride) {
  width_ = width;
  height_ = height;
  bpp_ = bytesPerPixel;
  stride_ = stride;
  bounds_ = {0, 0, static_cast<int32_t>(width), static_cast<int32_t>(height)};
}

void ztImage::FreeBuffer() {
  if (pixels_) ztHeapFree(pixels_);
  pixels_ = nullptr;
  bufferSize_ = 0;
}

bool ztImage::GeometryValid() const {
  if (!pixels_ || bpp_ < 1 || bpp_ > 4) return false;
  if (static_cast<uint64_t>(width_) * bpp_ > stride_) return false;
  return static_cast<uint64_t>(stride_) * height_ <= bufferSize_;
}

uint8_t* ztImage::ReserveBuffer(uint32_t bytes) {
  if (pixels_ && bufferSize_ >= bytes) return pixels_;
  FreeBuffer();
  pixels_ = static_cast<uint8_t*>(ztHeapAlloc(0, bytes));
  if (!pixels_) {
    DebugLog(zt_imagemsg::kBufferFailed);
    return nullptr;
  }
  bufferSize_ = bytes;
  return pixels_;
}

int ztImage::CreateBuffer(int32_t width, int32_t height, int32_t bytesPerPixel) {
  if (bytesPerPixel > 4) AssertBox(zt_imagemsg::kBadBpp);
  if (width <= 0 || height <= 0 || bytesPerPixel <= 0) return 0;
  if (!ztPictureWithinLimit(static_cast<uint32_t>(width), static_cast<uint32_t>(height))) {
    DebugLog(zt_imagemsg::kBufferFailed);
    return 0;
  }
  uint32_t stride = ComputeStride(static_cast<uint32_t>(width), static_cast<uint32_t>(bytesPerPixel), true);
  uint32_t bytes = stride ? ComputeBufferSize(stride, static_cast<uint32_t>(height)) : 0;
  if (bytes == 0) {
    DebugLog(zt_imagemsg::kBufferFailed);
    return 0;
  }
  // A buffer that is too small for the new geometry is replaced, never
  // written past its end.
  if (!pixels_ || bufferSize_ < bytes) {
    FreeBuffer();
    pixels_ = static_cast<uint8_t*>(ztHeapAlloc(0, bytes));
    if (!pixels_) {
      DebugLog(zt_imagemsg::kBufferFailed);
      return 0;
    }
  }
  memset(pixels_, 0, bytes);
  bufferSize_ = bytes;
  SetGeometry(static_cast<uint32_t>(width), static_cast<uint32_t>(height), bytesPerPixel, stride);
  return 1;
}

int ztImage::CopyFrom(const ztImage* other) {
  if (!other || other == this || other->bufferSize_ == 0 || !other->pixels_) return 0;
  if (!ReserveBuffer(other->bufferSize_)) return 0;
  memcpy(pixels_, other->pixels_, other->bufferSize_);
  SetGeometry(other->width_, other->height_, other->bpp_, other->stride_);
  other->GetCanvasSize(&canvasWidth_, &canvasHeight_);
  offsetX_ = other->offsetX_;
  offsetY_ = other->offsetY_;
  alphaState_ = other->alphaState_;
  userValue1_ = other->userValue1_;
  userValue2_ = other->userValue2_;
  cpType_ = other->cpType_;
  return 1;
}

ztImage* ztImage::NewOnCanvas() const {
  int32_t cw = 0, ch = 0;
  GetCanvasSize(&cw, &ch);
  ztImage* canvas = new (std::nothrow) ztImage;
  if (!canvas) return nullptr;
  if (!canvas->CreateBuffer(cw, ch, bpp_)) {
    canvas->Release();
    return nullptr;
  }
  canvas->Blit(offsetX_, offsetY_, this, 0, 0, static_cast<int32_t>(width_), static_cast<int32_t>(height_));
  return canvas;
}

int ztImage::Blit(int32_t destX, int32_t destY, const ztImage* source, int32_t sourceX, int32_t sourceY,
                  int32_t width, int32_t height) {
  if (!source || source->bpp_ != bpp_ || !GeometryValid() || !source->GeometryValid()) return 0;
  // Clip the source rectangle to the source image (64-bit: no wrap).
  int64_t sl = std::max<int64_t>(sourceX, 0);
  int64_t st = std::max<int64_t>(sourceY, 0);
  int64_t sr = std::min<int64_t>(static_cast<int64_t>(sourceX) + width, source->width_);
  int64_t sb = std::min<int64_t>(static_cast<int64_t>(sourceY) + height, source->height_);
  if (sl >= sr || st >= sb) return 0;
  // The clipped rectangle goes with its top-left to (destX, destY), then is
  // clipped to the destination; pixels keep their placed positions.
  int64_t dl = std::max<int64_t>(destX, 0);
  int64_t dt = std::max<int64_t>(destY, 0);
  int64_t dr = std::min<int64_t>(destX + (sr - sl), width_);
  int64_t db = std::min<int64_t>(destY + (sb - st), height_);
  if (dl >= dr || dt >= db) return 0;
  int64_t srcLeft = sl + (dl - destX);
  int64_t srcTop = st + (dt - destY);
  size_t span = static_cast<size_t>(dr - dl) * bpp_;
  for (int64_t y = dt; y < db; ++y) {
    uint8_t* d = pixels_ + static_cast<size_t>(y) * stride_ + static_cast<size_t>(dl) * bpp_;
    const uint8_t* s = source->pixels_ + static_cast<size_t>(srcTop + (y - dt)) * source->stride_ +
                       static_cast<size_t>(srcLeft) * bpp_;
    memmove(d, s, span);
  }
  return 1;
}

int ztImage::Crop(ztRect* rect) {
  if (!rect || !GeometryValid()) return 0;
  rect->left = std::max(rect->left, 0);
  rect->top = std::max(rect->top, 0);
  rect->right = static_cast<int32_t>(std::min<int64_t>(rect->right, width_));
  rect->bottom = static_cast<int32_t>(std::min<int64_t>(rect->bottom, height_));
  if (rect->left == 0 && rect->top == 0 && rect->right == static_cast<int32_t>(width_) &&
      rect->bottom == static_cast<int32_t>(height_))
    return 1;
  if (rect->right <= rect->left || rect->bottom <= rect->top) return 0;
  uint32_t w = static_cast<uint32_t>(rect->right - rect->left);
  uint32_t h = static_cast<uint32_t>(rect->bottom - rect->top);
  uint32_t stride = ComputeStride(w, bpp_, true);
  uint32_t bytes = ComputeBufferSize(stride, h);
  uint8_t* fresh = bytes ? static_cast<uint8_t*>(ztHeapAlloc(0, bytes)) : nullptr;
  if (!fresh) {
    DebugLog(zt_imagemsg::kBufferFailed);
    return 0;
  }
  memset(fresh, 0, bytes);
  for (uint32_t y = 0; y < h; ++y) {
    memcpy(fresh + static_cast<size_t>(y) * stride,
           pixels_ + static_cast<size_t>(rect->top + y) * stride_ + static_cast<size_t>(rect->left) * bpp_,
           static_cast<size_t>(w) * bpp_);
  }
  FreeBuffer();
  pixels_ = fresh;
  bufferSize_ = bytes;
  SetGeometry(w, h, bpp_, stride);
  return 1;
}

int ztImage::GetOpaqueBounds(ztRect* rect) const {
  if (!rect || !GeometryValid()) return 0;
  *rect = {0, 0, static_cast<int32_t>(width_), static_cast<int32_t>(height_)};
  if (bpp_ != 4) return 1;
  // One pass over the rows: a row with any visible pixel extends the top and
  // bottom, its first and last visible pixels the left and right. This is
  // the same rectangle as scanning columns first, at a fraction of the cost.
  int64_t left = width_, right = -1, top = -1, bottom = -1;
  for (uint32_t y = 0; y < height_; ++y) {
    const uint8_t* row = pixels_ + static_cast<size_t>(y) * stride_;
    int64_t first = -1, last = -1;
    for (uint32_t x = 0; x < width_; ++x) {
      if (row[x * 4 + 3]) {
        first = x;
        break;
      }
    }
    if (first < 0) continue;
    for (uint32_t x = width_; x-- > static_cast<uint32_t>(first);) {
      if (row[x * 4 + 3]) {
        last = x;
        break;
      }
    }
    if (top < 0) top = y;
    bottom = y;
    left = std::min(left, first);
    right = std::max(right, last);
  }
  if (top < 0) {
    *rect = {static_cast<int32_t>(width_), static_cast<int32_t>(height_), static_cast<int32_t>(width_),
             static_cast<int32_t>(height_)};
    return 1;
  }
  *rect = {static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(right + 1),
           static_cast<int32_t>(bottom + 1)};
  return 1;
}

int ztImage::HasTransparency() {
  if (bpp_ < 4) return 0;
  if (alphaState_ == ZTIMAGE_ALPHA_UNKNOWN && GeometryValid()) {
    alphaState_ = ZTIMAGE_ALPHA_OPAQUE;
    for (uint32_t y = 0; y < height_ && alphaState_ == ZTIMAGE_ALPHA_OPAQUE; ++y) {
      const uint8_t* row = pixels_ + static_cast<size_t>(y) * stride_;
      for (uint32_t x = 0; x < width_; ++x) {
        if (row[x * 4 + 3] != 255) {
          alphaState_ = ZTIMAGE_ALPHA_TRANSPARENT;
          break;
        }
      }
    }
  }
  return alphaState_ == ZTIMAGE_ALPHA_TRANSPARENT;
}

void ztImage::FlattenOnColour(uint32_t colour) {
  if (bpp_ != 4 || !GeometryValid()) return;
  uint32_t stride = ComputeStride(width_, 3, true);
  uint32_t bytes = ComputeBufferSize(stride, height_);
  uint8_t* fresh = bytes ? static_cast<uint8_t*>(ztHeapAlloc(0, bytes)) : nullptr;
  if (!fresh) {
    DebugLog(zt_imagemsg::kBufferFailed);
    return;
  }
  const int c[3] = {static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                    static_cast<int>((colour >> 16) & 0xFF)};
  for (uint32_t y = 0; y < height_; ++y) {
    const uint8_t* s = pixels_ + static_cast<size_t>(y) * stride_;
    uint8_t* d = fresh + static_cast<size_t>(y) * stride;
    for (uint32_t x = 0; x < width_; ++x, s += 4, d += 3) {
      int a = s[3];
      for (int k = 0; k < 3; ++k) d[k] = static_cast<uint8_t>(c[k] + FloorShift8((s[k] - c[k]) * a));
    }
    // Row padding is defined too: the painter hands whole strides to Windows.
    memset(d, 0, stride - static_cast<size_t>(width_) * 3);
  }
  FreeBuffer();
  pixels_ = fresh;
  bufferSize_ = bytes;
  bpp_ = 3;
  stride_ = stride;
}

int ztImage::FlipVertical() {
  if (height_ < 2 || !GeometryValid()) return 1;
  // Swapping in place needs no temporary row at all.
  for (uint32_t i = 0; i < height_ / 2; ++i) {
    uint8_t* a = pixels_ + static_cast<size_t>(i) * stride_;
    uint8_t* b = pixels_ + static_cast<size_t>(height_ - 1 - i) * stride_;
    std::swap_ranges(a, a + stride_, b);
  }
  return 1;
}

void ztImage::ExpandTo32() {
  if (bpp_ != 3 || !GeometryValid()) return;
  uint32_t stride = ComputeStride(width_, 4, false);
  uint32_t bytes = stride ? ComputeBufferSize(stride, height_) : 0;
  uint8_t* fresh = bytes ? static_cast<uint8_t*>(ztHeapAlloc(0, bytes)) : nullptr;
  if (!fresh) {
    DebugLog(zt_imagemsg::kBufferFailed);
    return;
  }
  for (uint32_t y = 0; y < height_; ++y) {
    const uint8_t* s = pixels_ + static_cast<size_t>(y) * stride_;
    uint8_t* d = fresh + static_cast<size_t>(y) * stride;
    for (uint32_t x = 0; x < width_; ++x, s += 3, d += 4) {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
      d[3] = 255;
    }
  }
  FreeBuffer();
  pixels_ = fresh;
  bufferSize_ = bytes;
  bpp_ = 4;
  stride_ = stride;
}

void ztImage::ClearTransparentColour() {
  if (bpp_ != 4 || !GeometryValid()) return;
  for (uint32_t y = 0; y < height_; ++y) {
    uint8_t* p = pixels_ + static_cast<size_t>(y) * stride_;
    for (uint32_t x = 0; x < width_; ++x, p += 4) {
      if (p[3] == 0) p[0] = p[1] = p[2] = 0;
    }
  }
}

void ztImage::SwapRedBlue() {
  if (imgMode_ != 1) return;
  if (bpp_ >= 3 && GeometryValid()) {
    for (uint32_t y = 0; y < height_; ++y) {
      uint8_t* p = pixels_ + static_cast<size_t>(y) * stride_;
      for (uint32_t x = 0; x < width_; ++x, p += bpp_) std::swap(p[0], p[2]);
    }
  }
  imgMode_ = 0;
}

void ztImage::Release() {
  if (--refCount_ <= 0) delete this;
}

int ztImage::StoreRecord(int32_t number, const uint8_t* bytes) {
  if (!bytes) return 0;
  uint16_t key = static_cast<uint16_t>(number & 0xFFFF);
  if (!records_) {
    records_ = new (std::nothrow) std::map<uint16_t, uint8_t*>;
    if (!records_) return 0;
  }
  auto it = records_->find(key);
  if (it != records_->end()) {
    ztHeapFree(it->second);
    records_->erase(it);
  }
  uint8_t* block = static_cast<uint8_t*>(ztHeapAlloc(0, ZTIMAGE_RECORD_SIZE));
  if (!block) return 0;
  memcpy(block, bytes, ZTIMAGE_RECORD_SIZE);
  records_->emplace(key, block);
  return 1;
}

const uint8_t* ztImage::GetRecord(int32_t number) const {
  if (!records_) return nullptr;
  auto it = records_->find(static_cast<uint16_t>(number & 0xFFFF));
  return it == records_->end() ? nullptr : it->second;
}

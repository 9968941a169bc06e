// The image object: one decoded picture as a pixel buffer, plus the small set
// of pixel operations that prepare it for painting.
//
// Pixel layout: row y starts at pixels + y * stride; within a row pixel x
// starts at x * bytes-per-pixel. 3 bytes per pixel are blue, green, red; 4 add
// alpha (255 opaque, not premultiplied): the byte order of a Windows DIB. Each
// format class says which stored row becomes buffer row 0.
//
// Every format class derives from ztImage and overrides Load / LoadByIndex /
// Save. ztImage itself is a plain buffer with no file format. Objects are
// reference counted: created with count 1, destroyed by the Release that takes
// the count to 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "image/ztClassBase.h"
#include "image/ztMemBlock.h"

// Same layout as the Windows RECT.
struct ztRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

// Largest pixel buffer any decoder or pixel operation will create. Pictures
// beyond it (or with zero or negative sides) are refused before allocation.
constexpr uint32_t ZT_IMAGE_MAX_BYTES = 0x40000000u;  // 1 GiB

// Alpha state values.
enum : int32_t {
  ZTIMAGE_ALPHA_UNKNOWN = 0,
  ZTIMAGE_ALPHA_OPAQUE = 1,       // every alpha byte is 255
  ZTIMAGE_ALPHA_TRANSPARENT = 2,  // some alpha byte is below 255
};

// Size of one numbered record.
constexpr uint32_t ZTIMAGE_RECORD_SIZE = 20;

class ztImage : public ztClassBase {
 public:
  ztImage();
  ~ztImage() override;

  // Decodes frame `frameId` of a file in memory; 1 when decoded. The plain
  // image decodes nothing.
  [[nodiscard]] virtual int Load(const ztMemBlock* source, int frameId);
  // Decodes the frame at position `index` of a multi-frame file and reports
  // its id.
  [[nodiscard]] virtual int LoadByIndex(const ztMemBlock* source, unsigned index, int* frameId);
  // Writes a complete file into `dest` (allocated by the saver).
  [[nodiscard]] virtual int Save(ztMemBlock* dest, int frameId, int userValue1, int userValue2, int clearTransparent);

  // --- accessors -------------------------------------------------------
  uint32_t GetStride() const { return stride_; }
  int GetBytesPerPixel() const { return bpp_; }
  uint8_t* GetPixels() const { return pixels_; }
  // Width and height (either pointer may be null); returns the buffer size.
  uint32_t GetSize(uint32_t* width, uint32_t* height) const;
  int GetOffset(int32_t* x, int32_t* y) const;
  // Canvas size, the image's own size where no canvas was set.
  int GetCanvasSize(int32_t* width, int32_t* height) const;
  uint32_t GetWidth() const { return width_; }
  uint32_t GetHeight() const { return height_; }
  uint32_t GetBufferSize() const { return bufferSize_; }
  const ztRect& GetBounds() const { return bounds_; }

  void SetCanvasSize(int32_t width, int32_t height) {
    canvasWidth_ = width;
    canvasHeight_ = height;
  }
  void SetOffset(int32_t x, int32_t y) {
    offsetX_ = x;
    offsetY_ = y;
  }
  int32_t GetAlphaState() const { return alphaState_; }
  void SetAlphaState(int32_t state) { alphaState_ = state; }
  int32_t GetUserValue1() const { return userValue1_; }
  int32_t GetUserValue2() const { return userValue2_; }
  void SetUserValues(int32_t value1, int32_t value2) {
    userValue1_ = value1;
    userValue2_ = value2;
  }
  uint32_t GetCpType() const { return cpType_; }
  void SetCpType(uint32_t value) { cpType_ = value; }
  uint32_t GetImgMode() const { return imgMode_; }
  void SetImgMode(uint32_t value) { imgMode_ = value; }

  // Pixel (x, y), or null outside the picture.
  uint8_t* GetPixelAddress(uint32_t x, uint32_t y) const;
  // Pixel (x, y) counting rows from the last buffer row upward (the strip
  // codec's order), or null outside the picture.
  uint8_t* GetPixelAddressFromBottom(uint32_t x, uint32_t y) const;

  // --- buffer management -------------------------------------------------
  // A buffer of at least `bytes`: an existing one that is large enough stays
  // (contents and recorded size unchanged), otherwise a new one of exactly
  // `bytes` (contents undefined). Null on failure.
  uint8_t* ReserveBuffer(uint32_t bytes);
  // A zero-filled buffer for width x height pixels of `bytesPerPixel`, stride
  // rounded up to 4. Reuses the existing buffer only when it is large enough.
  // More than 4 bytes per pixel is a programming error (assertion box).
  int CreateBuffer(int32_t width, int32_t height, int32_t bytesPerPixel);
  // A copy of another image's pixels and geometry (canvas as it reports it).
  int CopyFrom(const ztImage* other);
  // A new plain image of the canvas size holding this frame at its offset,
  // transparent elsewhere (all of it when the frame lies off the canvas).
  // Null when the canvas cannot be made; the caller releases the result.
  ztImage* NewOnCanvas() const;

  // --- pixel operations --------------------------------------------------
  // Copies a rectangle of `source` (same bytes per pixel) to (destX, destY),
  // clipped to both images. 0 when nothing is left to copy.
  int Blit(int32_t destX, int32_t destY, const ztImage* source, int32_t sourceX, int32_t sourceY,
           int32_t width, int32_t height);
  // Keeps only `rect` (clamped to the image; the clamped rectangle is written
  // back). Its top-left becomes the origin.
  int Crop(ztRect* rect);
  // Smallest rectangle holding every pixel whose alpha is not 0 (the whole
  // image below 4 bytes per pixel). Fully transparent: {w, h, w, h}.
  int GetOpaqueBounds(ztRect* rect) const;
  // Whether some alpha byte is below 255; the answer is cached in the alpha
  // state and not recomputed after later pixel changes.
  int HasTransparency();
  // Composes a 4-byte picture onto a solid colour, leaving 3 bytes per pixel.
  void FlattenOnColour(uint32_t colour);
  int FlipVertical();
  void ExpandTo32();
  void ClearTransparentColour();
  // Swaps bytes 0 and 2 of every pixel when imgmode is 1, then clears it.
  void SwapRedBlue();

  // --- reference count ---------------------------------------------------
  int AddRef() { return ++refCount_; }
  int GetRefCount() const { return refCount_; }
  void Release();

  // --- numbered records --------------------------------------------------
  // Stores a copy of 20 bytes under the number's low 16 bits, replacing an
  // earlier record with the same key. 0 only when the heap refuses.
  int StoreRecord(int32_t number, const uint8_t* bytes);
  // The record stored under the number's low 16 bits, or null.
  const uint8_t* GetRecord(int32_t number) const;
  size_t GetRecordCount() const { return records_ ? records_->size() : 0; }

  // --- size arithmetic shared by the decoders ------------------------------
  // width x bytesPerPixel, rounded up to a multiple of 4 when asked; 0 when
  // the inputs are out of range or the row alone exceeds the size limit.
  static uint32_t ComputeStride(uint32_t width, uint32_t bytesPerPixel, bool roundTo4);
  // stride x height, or 0 when it exceeds ZT_IMAGE_MAX_BYTES.
  static uint32_t ComputeBufferSize(uint32_t stride, uint32_t height);

 protected:
  // Records the geometry of a buffer the caller has filled or is filling;
  // bounds follow. The caller guarantees stride x height <= buffer size.
  void SetGeometry(uint32_t width, uint32_t height, int32_t bytesPerPixel, uint32_t stride);
  // Frees the pixel buffer and zeroes the recorded size.
  void FreeBuffer();
  // Whether the buffer holds the rows the geometry describes; every pixel
  // operation checks it before touching the buffer.
  bool GeometryValid() const;

  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint8_t* pixels_ = nullptr;
  uint32_t bufferSize_ = 0;
  uint32_t stride_ = 0;
  int32_t bpp_ = 0;
  int32_t canvasWidth_ = 0;
  int32_t canvasHeight_ = 0;
  int32_t offsetX_ = 0;
  int32_t offsetY_ = 0;
  int32_t alphaState_ = ZTIMAGE_ALPHA_UNKNOWN;
  int32_t userValue1_ = 0;
  int32_t userValue2_ = 0;
  ztRect bounds_ = {0, 0, 0, 0};
  std::map<uint16_t, uint8_t*>* records_ = nullptr;
  int32_t refCount_ = 1;
  uint32_t cpType_ = 0;
  uint32_t imgMode_ = 0;
};

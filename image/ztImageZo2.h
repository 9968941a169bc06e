// ZO-2: the older container of the lossless strip codec. A file holds one
// frame (version 16) or a chain of frames (versions 32 and 37); each frame
// is one block of pixels coded like an RA-3 strip. Decoded frames keep their
// stored pixel size (no widening to 4 bytes), rows of width x bytes per
// pixel with no padding, buffer row 0 the top row. Save writes a
// single-frame version-37 file.
//
// This header also holds the encoder of the strip codec, which the image
// tool's RA-3 writer shares.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/stripcodec.h"
#include "image/ztImage.h"
#include "platform/ztHeapBuffer.h"

// The unpacked areas of one coded strip.
struct ztStripCode {
  ztHeapBuffer byteArea;
  uint32_t byteSize = 0;
  ztHeapBuffer bitArea;
  uint32_t bitSize = 0;
};

// Codes `rows` rows of width x bytesPerPixel bytes: the first stored row at
// `firstRow`, each following stored row `step` bytes from the one before
// (a negative step walks up the buffer, the codec's bottom-up order).
// 1 on success, 0 when the sizes are out of range or the heap refuses.
int ztEncodeStrip(const uint8_t* firstRow, ptrdiff_t step, uint32_t width, uint32_t rows, uint32_t bytesPerPixel,
                  ztStripCode* out);

// Size of the file header plus version-37 frame information.
constexpr uint32_t ZTZO2_HEADER_SIZE = 88;

class ztImageZo2 : public ztImage {
 public:
  ztImageZo2() = default;
  int Load(const ztMemBlock* source, int frameId) override;
  int LoadByIndex(const ztMemBlock* source, unsigned index, int* frameId) override;
  // Crops to the visible pixels (crop-on-save flag, set after construction)
  // and writes a version-37 file. On any failure the block is left empty.
  int Save(ztMemBlock* dest, int frameId, int userValue1, int userValue2, int clearTransparent) override;

  static int Detect(const uint8_t* data, uint32_t size);

  int GetCropOnSave() const { return strip_.cropOnSave; }
  void SetCropOnSave(int flag) { strip_.cropOnSave = flag; }

  // Codes the image into `out` (capacity bytes) as a version-37 file; the
  // file's length, or -1 (nothing usable written).
  int32_t Encode(uint8_t* out, uint32_t capacity, int frameId);

 private:
  int DecodeFrame(const uint8_t* data, uint32_t size, uint32_t framePos, int version);

  ztStripState strip_;
};

// ZTF: the library's own raw picture container. A 12-byte header ("ZTF\0",
// then width, height, stride and bytes per pixel as 16-bit values) and one
// ZURE block holding the pixel buffer exactly as it lies in memory, rows in
// buffer order.
#pragma once

#include "image/ztImage.h"

constexpr uint32_t ZTF_HEADER_SIZE = 12;

class ztImageZtf : public ztImage {
 public:
  int Load(const ztMemBlock* source, int frameId) override;
  // Clears fully transparent pixels, packs with every ZURE parameter set and
  // keeps the smallest block (the lower set on a tie).
  int Save(ztMemBlock* dest, int frameId, int userValue1, int userValue2, int clearTransparent) override;

  static int Detect(const uint8_t* data, uint32_t size);
  // Parameter set used by the last successful Save (-1 before).
  int GetLastParamSet() const { return lastSet_; }

 private:
  int lastSet_ = -1;
};

// WebP through libwebp. Loading gives 4 bytes per pixel in the order red,
// green, blue, alpha (not the buffer's usual blue first), rows top first,
// stride width x 4. Saving is lossy at the object's quality.
#pragma once

#include "image/ztImage.h"

class ztImageWebP : public ztImage {
 public:
  int Load(const ztMemBlock* source, int frameId) override;
  int Save(ztMemBlock* dest, int frameId, int userValue1, int userValue2, int clearTransparent) override;

  // Detection: libwebp's feature query succeeds.
  static int Detect(const uint8_t* data, uint32_t size);

  int GetQuality() const { return quality_; }
  void SetQuality(int quality) { quality_ = quality; }

 private:
  int quality_ = 90;
};

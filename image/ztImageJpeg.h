// JPEG through libjpeg-turbo. Loading gives 3 bytes per pixel in the order
// red, green, blue (not the buffer's usual blue first), rows top first, stride
// rounded up to 4. Saving treats the buffer's bytes as red, green, blue
// (3 bytes per pixel) or as four CMYK components (4 bytes per pixel).
//
// libjpeg's fatal errors return failure through the adaptor's own error
// manager (its text goes to the debug log) instead of ending the process.
#pragma once

#include "image/ztImage.h"

class ztImageJpeg : public ztImage {
 public:
  int Load(const ztMemBlock* source, int frameId) override;
  int Save(ztMemBlock* dest, int frameId, int userValue1, int userValue2, int clearTransparent) override;

  // Detection: at least 11 bytes, FF D8, and a complete header read.
  static int Detect(const uint8_t* data, uint32_t size);

  int GetQuality() const { return quality_; }
  void SetQuality(int quality) { quality_ = quality; }

 private:
  friend struct ztJpegAccess;
  int quality_ = 90;
};

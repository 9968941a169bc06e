// PNG through libpng. Loading gives blue, green, red (, alpha): 4 bytes per
// pixel when the picture has alpha (an alpha channel or a tRNS chunk), else
// 3; grey pictures get three equal bytes; 16-bit samples are cut to 8; rows
// top first, stride rounded up to 4. Saving writes 8-bit RGB or RGBA.
//
// libpng errors come back as failure through a recovery point, with every
// buffer freed; their texts go to the debug log.
#pragma once

#include "image/ztImage.h"

class ztImagePng : public ztImage {
 public:
  int Load(const ztMemBlock* source, int frameId) override;
  // Crops to the visible pixels first when the crop-on-save flag is set.
  int Save(ztMemBlock* dest, int frameId, int userValue1, int userValue2, int clearTransparent) override;

  // Detection: libpng's signature check over the first min(size, 8) bytes.
  static int Detect(const uint8_t* data, uint32_t size);

  int GetCropOnSave() const { return cropOnSave_; }
  void SetCropOnSave(int flag) { cropOnSave_ = flag; }

 private:
  friend struct ztPngAccess;
  void* coding_ = nullptr;  // the read or write state while coding
  int cropOnSave_ = 0;
};

// The merged picture of a Photoshop file: 8-bit RGB only, raw or PackBits
// image data, always 4 bytes per pixel with alpha 255. Layers, masks and
// extra channels are not read. PSD rows are stored top first and go to the
// buffer in reverse (PSD row i to buffer row h - 1 - i), like a bottom-up BMP.
#pragma once

#include "image/ztImage.h"

class ztImagePsd : public ztImage {
 public:
  int Load(const ztMemBlock* source, int frameId) override;

  // Detection: the header test and the walk over the sections.
  static int Detect(const uint8_t* data, uint32_t size);
};

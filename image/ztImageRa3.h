// RA-3: the library's frame-and-tag picture container (the updater's splash
// picture). Recognised by the holder from its "RA-3" signature.
//
// Not decoded yet: the frame walk, the tags and the strip decoder come with
// the RA-3 work, built on the shared strip codec (image/stripcodec.h). Until
// then Load and LoadByIndex fail, so the holder yields no picture.
#pragma once

#include "image/stripcodec.h"
#include "image/ztImage.h"

class ztImageRa3 : public ztImage {
 public:
  int Load(const ztMemBlock* source, int frameId) override;
  int LoadByIndex(const ztMemBlock* source, unsigned index, int* frameId) override;

  static int Detect(const uint8_t* data, uint32_t size);

 private:
  ztStripState strip_;
  int32_t quality_ = 90;
};

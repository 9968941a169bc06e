// ZO-2: the older single-block container of the strip codec. Recognised by
// the holder from its "ZO-2" signature.
//
// Not decoded or encoded yet: that comes with the ZO-2 work, built on the
// shared strip codec (image/stripcodec.h). Until then Load, LoadByIndex and
// Save fail.
#pragma once

#include "image/stripcodec.h"
#include "image/ztImage.h"

class ztImageZo2 : public ztImage {
 public:
  int Load(const ztMemBlock* source, int frameId) override;
  int LoadByIndex(const ztMemBlock* source, unsigned index, int* frameId) override;
  int Save(ztMemBlock* dest, int frameId, int userValue1, int userValue2, int clearTransparent) override;

  static int Detect(const uint8_t* data, uint32_t size);

 private:
  ztStripState strip_;
};

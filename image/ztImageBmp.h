// Uncompressed 24- and 32-bit BMP files. Loading always gives 4 bytes per
// pixel (24-bit pixels get alpha 255). File rows are bottom-up, and file row
// i becomes buffer row i, so buffer row 0 is the bottom of the picture: the
// opposite of the other decoders, and exactly what a bottom-up DIB wants.
#pragma once

#include "image/ztImage.h"

class ztImageBmp : public ztImage {
 public:
  ztImageBmp();
  int Load(const ztMemBlock* source, int frameId) override;
  int Save(ztMemBlock* dest, int frameId, int userValue1, int userValue2, int clearTransparent) override;

  // Detection: "BM" and a bit count of 24 or 32 at offset 28.
  static int Detect(const uint8_t* data, uint32_t size);
  // The 40-byte info header of the last load (a 12-byte core header is
  // widened into this form).
  const uint8_t* GetInfoHeader() const { return info_; }

 private:
  // The file header and the info or core header: where the rows start, the
  // info header's size, the picture's sides and bit count (info_ gets the
  // info header form). 0 when they are not there or not a BMP's.
  int ReadHeaders(const ztMemBlock* source, uint32_t* pixelOffset, uint32_t* headerSize, int32_t* width,
                  int32_t* height, uint16_t* bits);
  // File rows (bottom-up unless `topDown`) into the 4-byte buffer set up for
  // them; 24-bit pixels get alpha 255.
  void CopyRows(const uint8_t* rows, uint32_t fileStride, uint32_t fileBpp, bool topDown);

  uint8_t info_[40];
};

// A small RA-3 writer for package authors and tests. The library reads RA-3
// but keeps no writer; this one makes single-frame files in the three pixel
// forms the decoder knows:
//   strips: "stdinfo" + "img0000", "img0001", ... coded with the library's
//           strip encoder (lossless);
//   jpeg:   "stdinfo" + "img_jpg" (+ "img_al" with the alpha plane when the
//           picture has transparent pixels);
//   webp:   "stdinfo" + "imgmode" 1 + "img_wbp" (lossy, alpha kept).
#pragma once

#include <cstdint>
#include <vector>

#include "image/ztImage.h"

enum class ztRa3Form { kStrips, kJpeg, kWebP };

struct ztRa3WriteOptions {
  ztRa3Form form = ztRa3Form::kStrips;
  uint32_t stripHeight = 64;  // rows per strip; 0 puts the whole picture in one
  int32_t frameId = 0;
  int quality = 90;        // JPEG and WebP
  bool alphaPlane = true;  // JPEG form: write "img_al" when some pixel is not opaque
};

// Writes `image` (3 or 4 bytes per pixel, blue first, row 0 the top row) as
// a one-frame RA-3 file into `out`. Canvas, offset and user values are taken
// from the image. 1 on success, 0 on failure (`out` then empty).
int ztWriteRa3(const ztImage& image, const ztRa3WriteOptions& options, std::vector<uint8_t>* out);

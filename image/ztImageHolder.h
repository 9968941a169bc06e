// The image holder: recognises a picture's format from its first bytes,
// creates the matching image object, decodes one frame and keeps the result.
//
// Formats are tried in a fixed order (RA-3, ZO-2, PNG, JPEG, BMP, PSD, WebP,
// ZTF); the first whose test passes decides, even when its decoder then
// fails. A new format plugs in as one row of the detection table.
#pragma once

#include <cstdint>

#include "image/ztImage.h"

enum : int32_t {
  ZTIMAGE_FORMAT_NONE = 0,
  ZTIMAGE_FORMAT_BMP = 1,
  ZTIMAGE_FORMAT_PSD = 2,
  ZTIMAGE_FORMAT_ZTF = 3,
  ZTIMAGE_FORMAT_ZO2 = 4,
  ZTIMAGE_FORMAT_JPEG = 5,
  ZTIMAGE_FORMAT_RA3 = 6,
  ZTIMAGE_FORMAT_PNG = 7,
  ZTIMAGE_FORMAT_WEBP = 8,
};

class ztImageHolder {
 public:
  ztImageHolder();
  ~ztImageHolder();
  ztImageHolder(const ztImageHolder&) = delete;
  ztImageHolder& operator=(const ztImageHolder&) = delete;

  // Decodes frame `frameId` of the picture in `source`; with `expandToCanvas`
  // the result is placed on its canvas. Returns the pixels, or null (the
  // holder is then empty).
  uint8_t* LoadFromMemory(const ztMemBlock* source, int expandToCanvas, int frameId);
  // Replaces the held image by one of its canvas size with the image drawn
  // at its offset (the surround transparent black). Nothing happens when the
  // canvas is the image's own size. 0 only when that replacement failed.
  int ExpandToCanvas();

  // Format code of the first passing test, ZTIMAGE_FORMAT_NONE when none.
  static int32_t DetectFormat(const ztMemBlock* source);
  // A new, empty image object of a format (null for an unknown code).
  static ztImage* CreateImage(int32_t format);

  // Forwarding accessors: 0 or null when nothing is held.
  uint32_t GetStride() const { return image_ ? image_->GetStride() : 0; }
  int GetBytesPerPixel() const { return image_ ? image_->GetBytesPerPixel() : 0; }
  uint8_t* GetPixels() const { return image_ ? image_->GetPixels() : nullptr; }
  ztImage* GetImage() const { return image_; }
  uint32_t GetSize(uint32_t* width, uint32_t* height) const;
  int32_t GetFormat() const { return format_; }
  // A name buffer kept for callers; loading neither reads nor writes it.
  const char16_t* GetName() const { return name_; }
  int32_t GetFlags() const { return flags_; }

 private:
  void Drop();

  ztImage* image_ = nullptr;
  int32_t format_ = ZTIMAGE_FORMAT_NONE;
  ztClassBase* companion_ = nullptr;  // owned; never created in this program
  char16_t name_[260] = {};
  int32_t flags_ = 1;
};

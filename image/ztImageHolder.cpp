#include "image/ztImageHolder.h"

#include <new>

#include "image/imagemsg.h"
#include "image/ztImageBmp.h"
#include "image/ztImageJpeg.h"
#include "image/ztImagePng.h"
#include "image/ztImagePsd.h"
#include "image/ztImageRa3.h"
#include "image/ztImageWebP.h"
#include "image/ztImageZo2.h"
#include "image/ztImageZtf.h"
#include "platform/ztDebug.h"

namespace {

struct FormatEntry {
  int32_t code;
  int (*detect)(const uint8_t* data, uint32_t size);
};

// Detection order. RA-3 comes first: a file starting with "RA-3" is RA-3
// whatever later tests would say.
constexpr FormatEntry kFormats[] = {
    {ZTIMAGE_FORMAT_RA3, ztImageRa3::Detect}, {ZTIMAGE_FORMAT_ZO2, ztImageZo2::Detect},
    {ZTIMAGE_FORMAT_PNG, ztImagePng::Detect}, {ZTIMAGE_FORMAT_JPEG, ztImageJpeg::Detect},
    {ZTIMAGE_FORMAT_BMP, ztImageBmp::Detect}, {ZTIMAGE_FORMAT_PSD, ztImagePsd::Detect},
    {ZTIMAGE_FORMAT_WEBP, ztImageWebP::Detect}, {ZTIMAGE_FORMAT_ZTF, ztImageZtf::Detect},
};

}  // namespace

ztImageHolder::ztImageHolder() = default;

ztImageHolder::~ztImageHolder() {
  Drop();
  delete companion_;
  companion_ = nullptr;
}

void ztImageHolder::Drop() {
  if (image_) image_->Release();
  image_ = nullptr;
}

int32_t ztImageHolder::DetectFormat(const ztMemBlock* source) {
  if (!source || !source->data) return ZTIMAGE_FORMAT_NONE;
  for (const FormatEntry& f : kFormats) {
    if (f.detect(source->data, source->size)) return f.code;
  }
  return ZTIMAGE_FORMAT_NONE;
}

ztImage* ztImageHolder::CreateImage(int32_t format) {
  switch (format) {
    case ZTIMAGE_FORMAT_BMP: return new (std::nothrow) ztImageBmp;
    case ZTIMAGE_FORMAT_PSD: return new (std::nothrow) ztImagePsd;
    case ZTIMAGE_FORMAT_ZTF: return new (std::nothrow) ztImageZtf;
    case ZTIMAGE_FORMAT_ZO2: return new (std::nothrow) ztImageZo2;
    case ZTIMAGE_FORMAT_JPEG: return new (std::nothrow) ztImageJpeg;
    case ZTIMAGE_FORMAT_RA3: return new (std::nothrow) ztImageRa3;
    case ZTIMAGE_FORMAT_PNG: return new (std::nothrow) ztImagePng;
    case ZTIMAGE_FORMAT_WEBP: return new (std::nothrow) ztImageWebP;
    default: return nullptr;
  }
}

uint8_t* ztImageHolder::LoadFromMemory(const ztMemBlock* source, int expandToCanvas, int frameId) {
  Drop();
  int32_t format = DetectFormat(source);
  format_ = format;
  if (format == ZTIMAGE_FORMAT_NONE) {
    DebugLog(zt_imagemsg::kUnknownFormat);
    return nullptr;
  }
  image_ = CreateImage(format);
  if (!image_) return nullptr;
  if (!image_->Load(source, frameId)) {
    Drop();
    return nullptr;
  }
  if (expandToCanvas) ExpandToCanvas();
  return image_ ? image_->GetPixels() : nullptr;
}

int ztImageHolder::ExpandToCanvas() {
  if (!image_) return 0;
  int32_t cw, ch;
  uint32_t w, h;
  image_->GetCanvasSize(&cw, &ch);
  image_->GetSize(&w, &h);
  if (static_cast<int64_t>(cw) == w && static_cast<int64_t>(ch) == h) return 1;
  ztImage* canvas = image_->NewOnCanvas();
  if (!canvas) return 0;
  Drop();
  image_ = canvas;
  return 1;
}

uint32_t ztImageHolder::GetSize(uint32_t* width, uint32_t* height) const {
  if (!image_) {
    if (width) *width = 0;
    if (height) *height = 0;
    return 0;
  }
  return image_->GetSize(width, height);
}

#include "image/ztImageWebP.h"

#include <webp/decode.h>
#include <webp/encode.h>

#include <cstring>

#include "platform/ztLimits.h"

int ztImageWebP::Detect(const uint8_t* data, uint32_t size) {
  if (!data || size == 0) return 0;
  WebPBitstreamFeatures features;
  return WebPGetFeatures(data, size, &features) == VP8_STATUS_OK;
}

int ztImageWebP::Load(const ztMemBlock* source, int) {
  if (!source || !source->data || source->size == 0) return 0;
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return 0;
  if (WebPGetFeatures(source->data, source->size, &config.input) != VP8_STATUS_OK) return 0;
  if (config.input.width <= 0 || config.input.height <= 0) return 0;
  uint32_t w = static_cast<uint32_t>(config.input.width);
  uint32_t h = static_cast<uint32_t>(config.input.height);
  if (!ztPictureWithinLimit(w, h)) return 0;
  uint32_t stride = ComputeStride(w, 4, false);
  uint32_t bytes = stride ? ComputeBufferSize(stride, h) : 0;
  if (!bytes || !ReserveBuffer(bytes)) return 0;
  SetGeometry(w, h, 4, stride);
  SetCanvasSize(static_cast<int32_t>(w), static_cast<int32_t>(h));
  // The decoder writes straight into the pixel buffer.
  config.output.colorspace = MODE_RGBA;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = pixels_;
  config.output.u.RGBA.stride = static_cast<int>(stride);
  config.output.u.RGBA.size = bytes;
  VP8StatusCode status = WebPDecode(source->data, source->size, &config);
  WebPFreeDecBuffer(&config.output);
  if (status != VP8_STATUS_OK) {
    FreeBuffer();
    return 0;
  }
  return 1;
}

int ztImageWebP::Save(ztMemBlock* dest, int, int, int, int) {
  if (!dest || (bpp_ != 3 && bpp_ != 4) || !GeometryValid()) return 0;
  if (width_ > 0x3FFF || height_ > 0x3FFF) return 0;  // the format's limit
  uint8_t* encoded = nullptr;
  // A 3-byte buffer is handed over as RGB; reading it as RGBA would run past
  // every row.
  size_t size = bpp_ == 4 ? WebPEncodeRGBA(pixels_, static_cast<int>(width_), static_cast<int>(height_),
                                           static_cast<int>(stride_), static_cast<float>(quality_), &encoded)
                          : WebPEncodeRGB(pixels_, static_cast<int>(width_), static_cast<int>(height_),
                                          static_cast<int>(stride_), static_cast<float>(quality_), &encoded);
  if (size == 0 || size > 0x7FFFFFFF) {
    if (encoded) WebPFree(encoded);
    return 0;
  }
  uint8_t* out = dest->Allocate(static_cast<uint32_t>(size));
  if (out) {
    memcpy(out, encoded, size);
    memset(out + size, 0, dest->size - size);
  }
  WebPFree(encoded);
  return out ? 1 : 0;
}

// Pictures: the holder with format detection (the updater's own path for
// its splash picture, pixel operations included), and each decoder on its
// own without detection, so a decoder is reached even by inputs that another
// format's test would have claimed first.
#include <memory>
#include <vector>

#include "fuzz/targets/fuzz_targets.h"
#include "fuzz/targets/fuzzsupport.h"
#include "image/ztImageBmp.h"
#include "image/ztImageHolder.h"
#include "image/ztImageJpeg.h"
#include "image/ztImagePng.h"
#include "image/ztImagePsd.h"
#include "image/ztImageRa3.h"
#include "image/ztImageWebP.h"
#include "image/ztImageZo2.h"
#include "image/ztImageZtf.h"
#include "image/zure.h"

namespace {

uint32_t Size32(size_t size) { return size > 0xFFFFFFF0u ? 0xFFFFFFF0u : static_cast<uint32_t>(size); }

// Touches every pixel a decoded image claims, so a buffer smaller than its
// geometry shows under the address sanitizer, and runs the operations that
// walk the pixels.
void Exercise(ztImage* image) {
  uint32_t w = 0, h = 0;
  image->GetSize(&w, &h);
  const uint8_t* last = image->GetPixelAddress(w ? w - 1 : 0, h ? h - 1 : 0);
  const uint8_t* first = image->GetPixelAddress(0, 0);
  volatile uint8_t sink = 0;
  if (first && last) {
    const size_t bpp = static_cast<size_t>(image->GetBytesPerPixel());
    for (uint32_t y = 0; y < h; ++y) {
      const uint8_t* row = image->GetPixelAddress(0, y);
      if (!row) ztFuzzFail("row %u of a %ux%u picture has no address", y, w, h);
      sink = static_cast<uint8_t>(sink + row[0] + row[static_cast<size_t>(w) * bpp - 1]);
    }
  }
  ztRect bounds;
  image->GetOpaqueBounds(&bounds);
  image->HasTransparency();
  (void)sink;
}

template <class Image>
int DecodeOne(const uint8_t* data, size_t size, int (*detect)(const uint8_t*, uint32_t)) {
  ztMemBlock source(data, Size32(size));
  if (detect) detect(source.data, source.size);
  Image* image = new Image;
  if (image->Load(&source, 0)) Exercise(image);
  image->Release();
  return 0;
}

// The multi-frame formats: the first byte picks the frame (top bit clear:
// by position, LoadByIndex; set: by id, Load); the rest is the file.
template <class Image>
int DecodeFrame(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t pick = data[0];
  ztMemBlock source(data + 1, Size32(size - 1));
  Image::Detect(source.data, source.size);
  Image* image = new Image;
  int ok;
  if (pick & 0x80) {
    ok = image->Load(&source, pick & 0x7F);
  } else {
    int id = -1;
    ok = image->LoadByIndex(&source, pick, &id);
  }
  if (ok) Exercise(image);
  image->Release();
  return 0;
}

}  // namespace

int ztFuzzImageHolder(const uint8_t* data, size_t size) {
  ztMemBlock source(data, Size32(size));
  ztImageHolder holder;
  // What the updater does with its splash picture: decode frame 0 onto its
  // canvas, flatten onto white, flip for a bottom-up DIB.
  if (!holder.LoadFromMemory(&source, 1, 0)) return 0;
  ztImage* image = holder.GetImage();
  Exercise(image);
  if (image->GetBytesPerPixel() == 4) image->FlattenOnColour(0xFFFFFF);
  image->FlipVertical();
  Exercise(image);
  holder.ExpandToCanvas();
  return 0;
}

int ztFuzzRa3(const uint8_t* data, size_t size) {
  DecodeFrame<ztImageRa3>(data, size);
  if (size > 1) {
    ztMemBlock source(data + 1, Size32(size - 1));
    std::vector<ztRa3FrameInfo> frames;
    ztImageRa3::ListFrames(&source, &frames);
  }
  return 0;
}

int ztFuzzZo2(const uint8_t* data, size_t size) { return DecodeFrame<ztImageZo2>(data, size); }
int ztFuzzBmp(const uint8_t* data, size_t size) { return DecodeOne<ztImageBmp>(data, size, ztImageBmp::Detect); }
int ztFuzzPsd(const uint8_t* data, size_t size) { return DecodeOne<ztImagePsd>(data, size, ztImagePsd::Detect); }
int ztFuzzZtf(const uint8_t* data, size_t size) { return DecodeOne<ztImageZtf>(data, size, ztImageZtf::Detect); }
int ztFuzzJpeg(const uint8_t* data, size_t size) { return DecodeOne<ztImageJpeg>(data, size, ztImageJpeg::Detect); }
int ztFuzzPng(const uint8_t* data, size_t size) { return DecodeOne<ztImagePng>(data, size, ztImagePng::Detect); }
int ztFuzzWebP(const uint8_t* data, size_t size) { return DecodeOne<ztImageWebP>(data, size, ztImageWebP::Detect); }

int ztFuzzZure(const uint8_t* data, size_t size) {
  const uint32_t blockSize = Size32(size);
  uint32_t length = ztZureDecode(data, blockSize, nullptr, 0, nullptr, nullptr);
  // A block of at most 64 KiB that claims more than 4 MiB fails on its
  // tokens long before the end; larger claims are not worth the buffer.
  if (length == 0 || length > (4u << 20)) return 0;
  std::unique_ptr<uint8_t[]> out(new uint8_t[length]);
  uint32_t got = ztZureDecode(data, blockSize, out.get(), length, nullptr, nullptr);
  if (got != 0 && got != length) ztFuzzFail("ZURE decoded %u bytes of a block that says %u", got, length);
  // One byte short: must be refused, never written past.
  if (ztZureDecode(data, blockSize, out.get(), length - 1, nullptr, nullptr) != 0)
    ztFuzzFail("ZURE decoded a %u-byte block into %u bytes", length, length - 1);
  return 0;
}

int ztFuzzZureRoundTrip(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int set = data[0] % ZTZURE_PARAM_SETS;
  const uint8_t* input = data + 1;
  const uint32_t length = Size32(size - 1);
  uint32_t blockSize = ztZureEncode(input, length, nullptr, 0, set, nullptr, nullptr);
  if (blockSize == 0) ztFuzzFail("ZURE set %d cannot size a block for %u bytes", set, length);
  std::vector<uint8_t> block(blockSize);
  uint32_t written = ztZureEncode(input, length, block.data(), blockSize, set, nullptr, nullptr);
  if (written != blockSize) ztFuzzFail("ZURE set %d measured %u bytes but wrote %u", set, blockSize, written);
  std::vector<uint8_t> back(length + 1);
  uint32_t got = ztZureDecode(block.data(), blockSize, back.data(), length + 1, nullptr, nullptr);
  if (got != length) ztFuzzFail("ZURE set %d: %u bytes packed, %u unpacked", set, length, got);
  for (uint32_t i = 0; i < length; ++i)
    if (back[i] != input[i]) ztFuzzFail("ZURE set %d: byte %u of %u changed", set, i, length);
  return 0;
}

int ztFuzzZo2RoundTrip(const uint8_t* data, size_t size) {
  // Header: width - 1, height - 1, options (bit 0: 4 bytes per pixel, else
  // 3; bit 1: crop to the visible pixels on saving), frame id; the rest are
  // the pixels, repeated as often as the picture needs.
  ztFuzzInput in(data, size);
  const uint32_t w = in.Byte() % 64 + 1;
  const uint32_t h = in.Byte() % 64 + 1;
  const uint8_t options = in.Byte();
  const int frameId = in.Byte();
  const int bpp = (options & 1) ? 4 : 3;
  const bool crop = (options & 2) != 0;
  const uint8_t* pixels = in.Rest();
  const size_t count = in.Left();

  ztImageZo2* original = new ztImageZo2;
  if (!original->CreateBuffer(static_cast<int32_t>(w), static_cast<int32_t>(h), bpp))
    ztFuzzFail("no %ux%u buffer", w, h);
  size_t k = 0;
  for (uint32_t y = 0; y < h; ++y) {
    uint8_t* row = original->GetPixelAddress(0, y);
    for (uint32_t x = 0; x < w * static_cast<uint32_t>(bpp); ++x) row[x] = count ? pixels[k++ % count] : 0;
  }
  // A copy to compare with: saving may crop the original.
  ztImageZo2* copy = new ztImageZo2;
  copy->CopyFrom(original);
  original->SetCropOnSave(crop ? 1 : 0);

  ztMemBlock file;
  if (!original->Save(&file, frameId, 0, 0, 0)) ztFuzzFail("ZO-2 cannot save a %ux%ux%d picture", w, h, bpp);
  ztImageZo2* decoded = new ztImageZo2;
  if (!decoded->Load(&file, frameId)) ztFuzzFail("ZO-2 cannot load the %ux%ux%d picture it saved", w, h, bpp);
  uint32_t dw = 0, dh = 0;
  decoded->GetSize(&dw, &dh);
  int32_t ox = 0, oy = 0;
  decoded->GetOffset(&ox, &oy);
  if (decoded->GetBytesPerPixel() != bpp) ztFuzzFail("saved %d bytes per pixel, loaded %d", bpp, decoded->GetBytesPerPixel());
  if (!crop && (dw != w || dh != h || ox != 0 || oy != 0))
    ztFuzzFail("saved %ux%u, loaded %ux%u at %d,%d", w, h, dw, dh, ox, oy);
  if (ox < 0 || oy < 0 || static_cast<uint64_t>(ox) + dw > w || static_cast<uint64_t>(oy) + dh > h)
    ztFuzzFail("loaded %ux%u at %d,%d lies outside the saved %ux%u", dw, dh, ox, oy, w, h);
  for (uint32_t y = 0; y < dh; ++y) {
    for (uint32_t x = 0; x < dw; ++x) {
      const uint8_t* a = copy->GetPixelAddress(x + static_cast<uint32_t>(ox), y + static_cast<uint32_t>(oy));
      const uint8_t* b = decoded->GetPixelAddress(x, y);
      for (int c = 0; c < bpp; ++c)
        if (a[c] != b[c]) ztFuzzFail("pixel %u,%u byte %d of a %ux%ux%d picture changed", x, y, c, w, h, bpp);
    }
  }
  decoded->Release();
  copy->Release();
  original->Release();
  return 0;
}

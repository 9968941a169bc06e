#include "image/ztImageWebP.h"

#include <gtest/gtest.h>
#include <webp/encode.h>

#include <cstdlib>

#include "platform/ztHeap.h"
#include "tests/image/imagetest.h"

using namespace zt_imgtest;

namespace {

// A lossless file made with libwebp directly, so pixels come back exactly.
Bytes Lossless(uint32_t w, uint32_t h, const Bytes& rgba) {
  uint8_t* out = nullptr;
  size_t n = WebPEncodeLosslessRGBA(rgba.data(), static_cast<int>(w), static_cast<int>(h), static_cast<int>(w * 4),
                                    &out);
  Bytes f(out, out + n);
  WebPFree(out);
  return f;
}

struct WebP {
  ztImageWebP* p = new ztImageWebP;
  ~WebP() { p->Release(); }
  ztImageWebP* operator->() { return p; }
};

int Load(ztImageWebP* img, const Bytes& f) {
  ztMemBlock src(f.data(), static_cast<uint32_t>(f.size()));
  return img->Load(&src, 0);
}

Bytes PatternRgba(uint32_t w, uint32_t h) {
  Bytes px;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      for (int k = 0; k < 4; ++k) px.push_back(Pattern(x, y, k));
  return px;
}

}  // namespace

TEST(WebPLoad, DeliversRedGreenBlueAlphaTopRowFirst) {
  WebP img;
  ASSERT_EQ(Load(img.p, Lossless(5, 3, PatternRgba(5, 3))), 1);
  EXPECT_EQ(img->GetBytesPerPixel(), 4);
  EXPECT_EQ(img->GetStride(), 20u);
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 5; ++x)
      ASSERT_EQ(PixelAt(img.p, x, y), (Bytes{Pattern(x, y, 0), Pattern(x, y, 1), Pattern(x, y, 2), Pattern(x, y, 3)}));
  int32_t cw, ch;
  img->GetCanvasSize(&cw, &ch);
  EXPECT_EQ(cw, 5);
  EXPECT_EQ(ch, 3);
}

TEST(WebPLoad, BrokenDataFailsAndFreesTheBuffer) {
  Bytes f = Lossless(16, 16, PatternRgba(16, 16));
  long before = ztHeapLiveBlocks();
  {
    WebP img;
    Bytes cut(f.begin(), f.begin() + f.size() / 2);
    EXPECT_EQ(Load(img.p, cut), 0);
    EXPECT_EQ(img->GetPixels(), nullptr);
    EXPECT_EQ(Load(img.p, Bytes{'R', 'I', 'F', 'F'}), 0);
  }
  EXPECT_EQ(ztHeapLiveBlocks(), before);
  MutateAndLoad(f, 61, 300, [](const Bytes& d) {
    WebP img;
    Load(img.p, d);
  });
}

TEST(WebPDetect, FeatureQueryDecides) {
  Bytes f = Lossless(2, 2, PatternRgba(2, 2));
  EXPECT_EQ(ztImageWebP::Detect(f.data(), static_cast<uint32_t>(f.size())), 1);
  f[8] = 'X';  // not "WEBP"
  EXPECT_EQ(ztImageWebP::Detect(f.data(), static_cast<uint32_t>(f.size())), 0);
}

TEST(WebPSave, LossyRoundTripKeepsChannelOrder) {
  WebP img;
  // Left half red, right half blue, in the loader's own red-first order.
  FillImage(img.p, 32, 16, 4, [](uint32_t x, uint32_t, int k) {
    if (k == 3) return uint8_t{255};
    bool left = x < 16;
    return static_cast<uint8_t>((k == 0 && left) || (k == 2 && !left) ? 240 : 0);
  });
  ztMemBlock out;
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  EXPECT_EQ(out.size % 8, 0u);
  EXPECT_EQ(0, memcmp(out.data, "RIFF", 4));
  WebP back;
  ztMemBlock src(out.data, out.size);
  ASSERT_EQ(back->Load(&src, 0), 1);
  Bytes left = PixelAt(back.p, 4, 8), right = PixelAt(back.p, 28, 8);
  EXPECT_GT(left[0], 200);
  EXPECT_LT(left[2], 40);
  EXPECT_GT(right[2], 200);
  EXPECT_LT(right[0], 40);
  EXPECT_EQ(img->GetQuality(), 90);
}

TEST(WebPSave, ThreeBytePixelsAreReadAsRgb) {
  WebP img;
  FillImage(img.p, 7, 5, 3, [](uint32_t, uint32_t, int k) { return static_cast<uint8_t>(k == 1 ? 200 : 10); });
  ztMemBlock out;
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  WebP back;
  ztMemBlock src(out.data, out.size);
  ASSERT_EQ(back->Load(&src, 0), 1);
  Bytes p = PixelAt(back.p, 3, 2);
  EXPECT_GT(p[1], 170);
  EXPECT_LT(p[0], 50);
  EXPECT_EQ(p[3], 255);
}

#include "image/ztImageHolder.h"

#include <gtest/gtest.h>

#include "image/ztImageBmp.h"
#include "image/ztImagePng.h"
#include "image/ztImageZtf.h"
#include "image/zure.h"
#include "platform/ztHeap.h"
#include "tests/common/testutil.h"
#include "tests/image/imagetest.h"

using namespace zt_imgtest;

namespace {

// A small file of each format the library writes itself.
Bytes Saved(ztImage* img, int bpp = 4) {
  FillPattern(img, 3, 2, bpp);
  ztMemBlock out;
  EXPECT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  Bytes b = BlockBytes(out);
  img->Release();
  return b;
}

int32_t Detect(const Bytes& b) {
  ztMemBlock src(b.data(), static_cast<uint32_t>(b.size()));
  return ztImageHolder::DetectFormat(&src);
}

Bytes WithPrefix(const char* prefix, Bytes body) {
  memcpy(body.data(), prefix, 4);
  return body;
}

}  // namespace

TEST(HolderDetect, EachFormatGetsItsCode) {
  EXPECT_EQ(Detect(Saved(new ztImageBmp)), ZTIMAGE_FORMAT_BMP);
  EXPECT_EQ(Detect(Saved(new ztImagePng)), ZTIMAGE_FORMAT_PNG);
  EXPECT_EQ(Detect(Saved(new ztImageZtf)), ZTIMAGE_FORMAT_ZTF);
  Bytes ra3 = {'R', 'A', '-', '3', 12, 0, 0, 0};
  EXPECT_EQ(Detect(ra3), ZTIMAGE_FORMAT_RA3);
  Bytes zo2 = {'Z', 'O', '-', '2', 12, 0, 0, 0};
  EXPECT_EQ(Detect(zo2), ZTIMAGE_FORMAT_ZO2);
  EXPECT_EQ(Detect(Bytes{'n', 'o', 'p', 'e', 0, 0, 0, 0}), ZTIMAGE_FORMAT_NONE);
  ztMemBlock empty;
  EXPECT_EQ(ztImageHolder::DetectFormat(&empty), ZTIMAGE_FORMAT_NONE);
  EXPECT_EQ(ztImageHolder::DetectFormat(nullptr), ZTIMAGE_FORMAT_NONE);
}

// No input passes two of the eight detectors: each wants its own bytes at
// the start ("BM", "8BPS", "ZTF\0", "ZO-2", FF D8, "RA-3", the PNG
// signature; WebP "RIFF", "VP8", 0x2F, or a raw frame with 9D 01 2A at
// offset 3, which the four-byte signatures rule out and whose frame tag
// cannot begin "BM" (an invisible frame) or FF (not a key frame)). So the
// detection order cannot be seen from outside and is not tested; what is
// tested is that the first four bytes alone make a file RA-3.
TEST(HolderDetect, RaThreeSignatureAloneMakesAFileRaThree) {
  // The rest of each file is another format's picture (its own signature
  // overwritten); only the first four bytes say RA-3.
  for (Bytes body : {Saved(new ztImageBmp), Saved(new ztImagePng), Saved(new ztImageZtf)}) {
    Bytes f = WithPrefix("RA-3", body);
    EXPECT_EQ(Detect(f), ZTIMAGE_FORMAT_RA3);
    ztImageHolder holder;
    ztMemBlock src(f.data(), static_cast<uint32_t>(f.size()));
    zt_test::ClearLog();
    // Recognised, so no "cannot decode" message; the bytes after the
    // signature are no RA-3 header, so the RA-3 decoder refuses them.
    EXPECT_EQ(holder.LoadFromMemory(&src, 0, 0), nullptr);
    EXPECT_FALSE(zt_test::LogHas(zt_test::Cp932("展開できないイメージです")));
    EXPECT_EQ(holder.GetImage(), nullptr);
    EXPECT_EQ(holder.GetFormat(), ZTIMAGE_FORMAT_RA3);
  }
  EXPECT_EQ(Detect(WithPrefix("ZO-2", Saved(new ztImagePng))), ZTIMAGE_FORMAT_ZO2);
}

TEST(HolderLoad, UnknownDataYieldsNullTheMessageAndAnEmptyHolder) {
  ztImageHolder holder;
  Bytes bmp = Saved(new ztImageBmp);
  ztMemBlock good(bmp.data(), static_cast<uint32_t>(bmp.size()));
  ASSERT_NE(holder.LoadFromMemory(&good, 0, 0), nullptr);
  Bytes junk(64, 0x11);
  ztMemBlock src(junk.data(), 64);
  zt_test::ClearLog();
  EXPECT_EQ(holder.LoadFromMemory(&src, 0, 0), nullptr);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932("展開できないイメージです")));
  uint32_t w = 9, h = 9;
  EXPECT_EQ(holder.GetSize(&w, &h), 0u);
  EXPECT_EQ(w, 0u);
  EXPECT_EQ(holder.GetStride(), 0u);
  EXPECT_EQ(holder.GetBytesPerPixel(), 0);
  EXPECT_EQ(holder.GetPixels(), nullptr);
  EXPECT_EQ(holder.GetImage(), nullptr);
}

TEST(HolderLoad, DecodesAndForwards) {
  Bytes bmp = Saved(new ztImageBmp, 3);
  ztImageHolder holder;
  ztMemBlock src(bmp.data(), static_cast<uint32_t>(bmp.size()));
  uint8_t* px = holder.LoadFromMemory(&src, 0, 0);
  ASSERT_NE(px, nullptr);
  EXPECT_EQ(px, holder.GetPixels());
  EXPECT_EQ(holder.GetFormat(), ZTIMAGE_FORMAT_BMP);
  EXPECT_EQ(holder.GetBytesPerPixel(), 4);
  EXPECT_EQ(holder.GetStride(), 12u);
  uint32_t w, h;
  EXPECT_EQ(holder.GetSize(&w, &h), 24u);
  EXPECT_EQ(w, 3u);
  EXPECT_EQ(h, 2u);
  // What the painter does: flatten onto white and flip.
  holder.GetImage()->FlattenOnColour(0xFFFFFF);
  holder.GetImage()->FlipVertical();
  EXPECT_EQ(holder.GetBytesPerPixel(), 3);
  EXPECT_EQ(PixelAt(holder.GetImage(), 0, 0), (Bytes{Pattern(0, 1, 0), Pattern(0, 1, 1), Pattern(0, 1, 2)}));
}

TEST(HolderLoad, AFailedDecodeLeavesTheHolderEmptyAndFreesEverything) {
  long before = ztHeapLiveBlocks();
  {
    Bytes bmp = Saved(new ztImageBmp);
    bmp.resize(60);  // "BM", bit count 32, rows missing
    ztImageHolder holder;
    ztMemBlock src(bmp.data(), static_cast<uint32_t>(bmp.size()));
    EXPECT_EQ(holder.LoadFromMemory(&src, 0, 0), nullptr);
    EXPECT_EQ(holder.GetFormat(), ZTIMAGE_FORMAT_BMP);
    EXPECT_EQ(holder.GetImage(), nullptr);
  }
  EXPECT_EQ(ztHeapLiveBlocks(), before);
}

TEST(HolderCanvas, SameSizeCanvasLeavesImageAndOffsetAlone) {
  Bytes bmp = Saved(new ztImageBmp);
  ztImageHolder holder;
  ztMemBlock src(bmp.data(), static_cast<uint32_t>(bmp.size()));
  ASSERT_NE(holder.LoadFromMemory(&src, 1, 0), nullptr);
  ztImage* img = holder.GetImage();
  img->SetOffset(7, 7);
  EXPECT_EQ(holder.ExpandToCanvas(), 1);
  EXPECT_EQ(holder.GetImage(), img);
  int32_t x, y;
  img->GetOffset(&x, &y);
  EXPECT_EQ(x, 7);
}

TEST(HolderCanvas, PlacesTheImageAtItsOffsetOnATransparentCanvas) {
  Bytes bmp = Saved(new ztImageBmp);
  ztImageHolder holder;
  ztMemBlock src(bmp.data(), static_cast<uint32_t>(bmp.size()));
  ASSERT_NE(holder.LoadFromMemory(&src, 0, 0), nullptr);
  ztImage* img = holder.GetImage();
  Bytes p00 = PixelAt(img, 0, 0), p21 = PixelAt(img, 2, 1);
  img->SetCanvasSize(6, 4);
  img->SetOffset(2, 1);
  img->SetUserValues(5, 6);
  ASSERT_EQ(holder.ExpandToCanvas(), 1);
  ztImage* canvas = holder.GetImage();
  ASSERT_NE(canvas, img);
  uint32_t w, h;
  canvas->GetSize(&w, &h);
  EXPECT_EQ(w, 6u);
  EXPECT_EQ(h, 4u);
  EXPECT_EQ(PixelAt(canvas, 2, 1), p00);
  EXPECT_EQ(PixelAt(canvas, 4, 2), p21);
  EXPECT_EQ(PixelAt(canvas, 0, 0), Bytes(4, 0));
  EXPECT_EQ(PixelAt(canvas, 5, 3), Bytes(4, 0));
  int32_t x, y;
  canvas->GetOffset(&x, &y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(canvas->GetUserValue1(), 0);
}

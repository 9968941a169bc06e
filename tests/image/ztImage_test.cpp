#include "image/ztImage.h"

#include <gtest/gtest.h>

#include "platform/ztHeap.h"
#include "tests/common/testutil.h"
#include "tests/image/imagetest.h"

using zt_imgtest::Bytes;
using zt_imgtest::PixelAt;

namespace {

// Owns an image through its reference count.
struct ImagePtr {
  ztImage* p = new ztImage;
  ~ImagePtr() {
    if (p) p->Release();
  }
  ztImage* operator->() { return p; }
  ztImage* get() { return p; }
};

void SetPixel(ztImage* img, uint32_t x, uint32_t y, Bytes v) {
  memcpy(img->GetPixelAddress(x, y), v.data(), v.size());
}

}  // namespace

// --- buffer management ---------------------------------------------------

TEST(ImageBuffer, CreateBufferRoundsTheStrideAndZeroFills) {
  ImagePtr img;
  ASSERT_EQ(img->CreateBuffer(3, 2, 3), 1);
  EXPECT_EQ(img->GetStride(), 12u);
  uint32_t w, h;
  EXPECT_EQ(img->GetSize(&w, &h), 24u);
  EXPECT_EQ(w, 3u);
  EXPECT_EQ(h, 2u);
  for (uint32_t i = 0; i < 24; ++i) EXPECT_EQ(img->GetPixels()[i], 0) << i;
  const ztRect& r = img->GetBounds();
  EXPECT_EQ(r.right, 3);
  EXPECT_EQ(r.bottom, 2);
}

TEST(ImageBuffer, CreateBufferReplacesABufferThatIsTooSmall) {
  ImagePtr img;
  ASSERT_EQ(img->CreateBuffer(2, 2, 4), 1);
  ASSERT_EQ(img->CreateBuffer(100, 50, 4), 1);
  EXPECT_GE(img->GetBufferSize(), 100u * 50 * 4);
  // Writing the whole new geometry must stay inside the buffer (the
  // sanitizer build checks).
  memset(img->GetPixels(), 0x5A, img->GetStride() * 50);
  EXPECT_EQ(img->GetPixelAddress(99, 49)[3], 0x5A);
}

TEST(ImageBuffer, CreateBufferReusesALargeEnoughBufferAndClearsIt) {
  ImagePtr img;
  ASSERT_EQ(img->CreateBuffer(10, 10, 4), 1);
  uint8_t* first = img->GetPixels();
  memset(first, 0xFF, 400);
  ASSERT_EQ(img->CreateBuffer(2, 2, 4), 1);
  EXPECT_EQ(img->GetPixels(), first);
  EXPECT_EQ(img->GetBufferSize(), 16u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(first[i], 0);
}

TEST(ImageBuffer, CreateBufferWithMoreThan4BytesPerPixelAsserts) {
  ImagePtr img;
  ASSERT_EQ(img->CreateBuffer(2, 2, 3), 1);
  uint8_t* before = img->GetPixels();
  before[0] = 77;
  try {
    img->CreateBuffer(4, 4, 5);
    FAIL() << "no assertion";
  } catch (const zt_test::AssertFired& a) {
    EXPECT_EQ(a.text, zt_test::Cp932("不正な bpp です"));
  }
  EXPECT_EQ(img->GetPixels(), before);
  EXPECT_EQ(before[0], 77);
  EXPECT_EQ(img->GetBytesPerPixel(), 3);
}

TEST(ImageBuffer, RefusesEmptyNegativeAndOversizedPictures) {
  ImagePtr img;
  long before = ztHeapLiveBlocks();
  EXPECT_EQ(img->CreateBuffer(0, 5, 4), 0);
  EXPECT_EQ(img->CreateBuffer(5, -1, 4), 0);
  EXPECT_EQ(img->CreateBuffer(5, 5, 0), 0);
  zt_test::ClearLog();
  EXPECT_EQ(img->CreateBuffer(16384, 16385, 4), 0);  // just over 1 GiB
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932("ピクセルイメージ用バッファの確保に失敗しました")));
  EXPECT_EQ(img->CreateBuffer(0x7FFFFFFF, 0x7FFFFFFF, 4), 0);  // would wrap in 32 bits
  EXPECT_EQ(ztHeapLiveBlocks(), before);
  EXPECT_EQ(img->GetPixels(), nullptr);
}

TEST(ImageBuffer, SizeArithmeticRefusesOverflow) {
  EXPECT_EQ(ztImage::ComputeStride(3, 3, true), 12u);
  EXPECT_EQ(ztImage::ComputeStride(3, 3, false), 9u);
  EXPECT_EQ(ztImage::ComputeStride(0x40000000u, 4, false), 0u);
  EXPECT_EQ(ztImage::ComputeBufferSize(0x10000, 0x4000), 0x40000000u);
  EXPECT_EQ(ztImage::ComputeBufferSize(0x10000, 0x4001), 0u);
  EXPECT_EQ(ztImage::ComputeBufferSize(0xFFFFFFFFu, 0xFFFFFFFFu), 0u);
}

TEST(ImageBuffer, ReserveBufferKeepsALargerBufferWithItsContents) {
  ImagePtr img;
  uint8_t* p = img->ReserveBuffer(100);
  ASSERT_NE(p, nullptr);
  p[99] = 9;
  EXPECT_EQ(img->ReserveBuffer(50), p);
  EXPECT_EQ(img->GetBufferSize(), 100u);
  EXPECT_EQ(p[99], 9);
  uint8_t* q = img->ReserveBuffer(200);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(img->GetBufferSize(), 200u);
}

TEST(ImageBuffer, CopyFromTakesPixelsGeometryAndCarriedValues) {
  ImagePtr src, dst;
  zt_imgtest::FillPattern(src.get(), 3, 2, 4);
  src->SetOffset(5, 6);
  src->SetUserValues(-7, 8);
  src->SetCpType(9);
  src->SetAlphaState(ZTIMAGE_ALPHA_OPAQUE);
  ASSERT_EQ(dst->CopyFrom(src.get()), 1);
  EXPECT_EQ(0, memcmp(dst->GetPixels(), src->GetPixels(), src->GetBufferSize()));
  EXPECT_EQ(dst->GetStride(), 12u);
  int32_t cw, ch, x, y;
  dst->GetCanvasSize(&cw, &ch);
  EXPECT_EQ(cw, 3);  // the canvas as the source reports it, never 0
  EXPECT_EQ(ch, 2);
  dst->GetOffset(&x, &y);
  EXPECT_EQ(x, 5);
  EXPECT_EQ(y, 6);
  EXPECT_EQ(dst->GetUserValue1(), -7);
  EXPECT_EQ(dst->GetUserValue2(), 8);
  EXPECT_EQ(dst->GetCpType(), 9u);
  EXPECT_EQ(dst->GetAlphaState(), ZTIMAGE_ALPHA_OPAQUE);
  ImagePtr empty;
  EXPECT_EQ(dst->CopyFrom(empty.get()), 0);
  EXPECT_EQ(dst->CopyFrom(nullptr), 0);
}

TEST(ImageBuffer, PixelAddressesAreBoundsChecked) {
  ImagePtr img;
  zt_imgtest::FillPattern(img.get(), 4, 3, 3);
  EXPECT_EQ(img->GetPixelAddress(3, 2), img->GetPixels() + 2 * 12 + 9);
  EXPECT_EQ(img->GetPixelAddress(4, 0), nullptr);
  EXPECT_EQ(img->GetPixelAddress(0, 3), nullptr);
  EXPECT_EQ(img->GetPixelAddressFromBottom(1, 0), img->GetPixels() + 2 * 12 + 3);
  EXPECT_EQ(img->GetPixelAddressFromBottom(0, 3), nullptr);
}

// --- pixel operations ----------------------------------------------------

TEST(ImageBlit, CopiesTheClippedRectangleRowByRow) {
  ImagePtr src, dst;
  zt_imgtest::FillPattern(src.get(), 4, 4, 4);
  ASSERT_EQ(dst->CreateBuffer(3, 3, 4), 1);
  // Source (1,1)-(4,4) placed at (1,1): only a 2x2 part fits.
  ASSERT_EQ(dst->Blit(1, 1, src.get(), 1, 1, 3, 3), 1);
  EXPECT_EQ(PixelAt(dst.get(), 0, 0), Bytes(4, 0));
  EXPECT_EQ(PixelAt(dst.get(), 1, 1), PixelAt(src.get(), 1, 1));
  EXPECT_EQ(PixelAt(dst.get(), 2, 2), PixelAt(src.get(), 2, 2));
  EXPECT_EQ(PixelAt(dst.get(), 2, 0), Bytes(4, 0));
}

TEST(ImageBlit, NegativeDestinationKeepsPlacedPositions) {
  ImagePtr src, dst;
  zt_imgtest::FillPattern(src.get(), 4, 4, 3);
  ASSERT_EQ(dst->CreateBuffer(4, 4, 3), 1);
  ASSERT_EQ(dst->Blit(-2, -1, src.get(), 0, 0, 4, 4), 1);
  // Source pixel (2, 1) lands at (0, 0).
  EXPECT_EQ(PixelAt(dst.get(), 0, 0), PixelAt(src.get(), 2, 1));
  EXPECT_EQ(PixelAt(dst.get(), 1, 2), PixelAt(src.get(), 3, 3));
  EXPECT_EQ(PixelAt(dst.get(), 2, 0), Bytes(3, 0));
}

TEST(ImageBlit, FailsOnDifferentPixelSizesOrNothingToCopy) {
  ImagePtr a, b;
  zt_imgtest::FillPattern(a.get(), 2, 2, 3);
  ASSERT_EQ(b->CreateBuffer(2, 2, 4), 1);
  EXPECT_EQ(b->Blit(0, 0, a.get(), 0, 0, 2, 2), 0);
  ImagePtr c;
  ASSERT_EQ(c->CreateBuffer(2, 2, 3), 1);
  EXPECT_EQ(c->Blit(0, 0, a.get(), 2, 0, 2, 2), 0);  // source rectangle empty
  EXPECT_EQ(c->Blit(5, 0, a.get(), 0, 0, 2, 2), 0);  // placed outside
  EXPECT_EQ(c->Blit(0x7FFFFFFF, 0, a.get(), 0, 0, 0x7FFFFFFF, 2), 0);
}

TEST(ImageCrop, KeepsTheClampedRectangleWithARoundedStride) {
  ImagePtr img;
  zt_imgtest::FillPattern(img.get(), 5, 4, 3);
  Bytes p21 = PixelAt(img.get(), 2, 1);
  Bytes p43 = PixelAt(img.get(), 4, 3);
  ztRect r = {2, 1, 9, 9};
  ASSERT_EQ(img->Crop(&r), 1);
  EXPECT_EQ(r.right, 5);
  EXPECT_EQ(r.bottom, 4);
  uint32_t w, h;
  EXPECT_EQ(img->GetSize(&w, &h), 12u * 3);
  EXPECT_EQ(w, 3u);
  EXPECT_EQ(h, 3u);
  EXPECT_EQ(img->GetStride(), 12u);  // 9 rounded up
  EXPECT_EQ(PixelAt(img.get(), 0, 0), p21);
  EXPECT_EQ(PixelAt(img.get(), 2, 2), p43);
  EXPECT_EQ(img->GetBounds().right, 3);
}

TEST(ImageCrop, WholeImageIsLeftAlone) {
  ImagePtr img;
  zt_imgtest::FillPattern(img.get(), 3, 3, 4);
  uint8_t* before = img->GetPixels();
  ztRect r = {-5, -5, 10, 10};
  EXPECT_EQ(img->Crop(&r), 1);
  EXPECT_EQ(img->GetPixels(), before);
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.right, 3);
}

TEST(ImageOpaqueBounds, NarrowsToPixelsWithNonZeroAlpha) {
  ImagePtr img;
  ASSERT_EQ(img->CreateBuffer(6, 5, 4), 1);
  SetPixel(img.get(), 1, 3, {0, 0, 0, 1});
  SetPixel(img.get(), 4, 2, {0, 0, 0, 200});
  ztRect r;
  ASSERT_EQ(img->GetOpaqueBounds(&r), 1);
  EXPECT_EQ(r.left, 1);
  EXPECT_EQ(r.top, 2);
  EXPECT_EQ(r.right, 5);
  EXPECT_EQ(r.bottom, 4);
}

TEST(ImageOpaqueBounds, FullyTransparentIsEmptyAtTheFarCorner) {
  ImagePtr img;
  ASSERT_EQ(img->CreateBuffer(6, 5, 4), 1);
  ztRect r;
  ASSERT_EQ(img->GetOpaqueBounds(&r), 1);
  EXPECT_EQ(r.left, 6);
  EXPECT_EQ(r.top, 5);
  EXPECT_EQ(r.right, 6);
  EXPECT_EQ(r.bottom, 5);
  ImagePtr rgb, none;
  ASSERT_EQ(rgb->CreateBuffer(6, 5, 3), 1);
  ASSERT_EQ(rgb->GetOpaqueBounds(&r), 1);
  EXPECT_EQ(r.right, 6);
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(none->GetOpaqueBounds(&r), 0);
}

TEST(ImageTransparency, IsCachedAfterTheFirstScan) {
  ImagePtr img;
  zt_imgtest::FillImage(img.get(), 3, 3, 4, [](uint32_t, uint32_t, int) { return uint8_t{255}; });
  EXPECT_EQ(img->HasTransparency(), 0);
  EXPECT_EQ(img->GetAlphaState(), ZTIMAGE_ALPHA_OPAQUE);
  img->GetPixelAddress(2, 2)[3] = 0;
  EXPECT_EQ(img->HasTransparency(), 0);  // cached, not rescanned
  img->SetAlphaState(ZTIMAGE_ALPHA_UNKNOWN);
  EXPECT_EQ(img->HasTransparency(), 1);
  EXPECT_EQ(img->GetAlphaState(), ZTIMAGE_ALPHA_TRANSPARENT);
  ImagePtr rgb;
  ASSERT_EQ(rgb->CreateBuffer(2, 2, 3), 1);
  EXPECT_EQ(rgb->HasTransparency(), 0);
}

struct FlattenCase {
  uint8_t value;
  uint8_t alpha;
  uint32_t colour;
  uint8_t expect;
};

class ImageFlatten : public testing::TestWithParam<FlattenCase> {};

TEST_P(ImageFlatten, ExactBlendValues) {
  const FlattenCase& c = GetParam();
  ImagePtr img;
  ASSERT_EQ(img->CreateBuffer(1, 1, 4), 1);
  SetPixel(img.get(), 0, 0, {c.value, c.value, c.value, c.alpha});
  img->FlattenOnColour(c.colour);
  ASSERT_EQ(img->GetBytesPerPixel(), 3);
  EXPECT_EQ(PixelAt(img.get(), 0, 0), Bytes(3, c.expect));
}

INSTANTIATE_TEST_SUITE_P(
    WhiteAndBlack, ImageFlatten,
    testing::Values(FlattenCase{0, 0, 0xFFFFFF, 255}, FlattenCase{200, 0, 0xFFFFFF, 255},
                    FlattenCase{0, 128, 0xFFFFFF, 127},   // 255 + floor(-255*128/256) = 255 - 128
                    FlattenCase{200, 128, 0xFFFFFF, 227},  // 255 + floor(-55*128/256) = 255 - 28
                    FlattenCase{0, 255, 0xFFFFFF, 0}, FlattenCase{200, 255, 0xFFFFFF, 200},
                    FlattenCase{255, 255, 0xFFFFFF, 255}, FlattenCase{255, 0, 0x000000, 0},
                    FlattenCase{255, 128, 0x000000, 127}, FlattenCase{200, 128, 0x000000, 100},
                    FlattenCase{255, 255, 0x000000, 254},  // an opaque byte above the colour drops by one
                    FlattenCase{0, 255, 0x000000, 0}));

TEST(ImageFlattenLayout, PairsByteKWithColourByteKAndRoundsTheStride) {
  ImagePtr img;
  ASSERT_EQ(img->CreateBuffer(3, 2, 4), 1);
  SetPixel(img.get(), 0, 0, {10, 20, 30, 0});
  img->FlattenOnColour(0x332211);
  EXPECT_EQ(img->GetStride(), 12u);
  EXPECT_EQ(img->GetBufferSize(), 24u);
  EXPECT_EQ(PixelAt(img.get(), 0, 0), (Bytes{0x11, 0x22, 0x33}));
  ImagePtr rgb;
  zt_imgtest::FillPattern(rgb.get(), 3, 2, 3);
  uint8_t* before = rgb->GetPixels();
  rgb->FlattenOnColour(0xFFFFFF);
  EXPECT_EQ(rgb->GetPixels(), before);
  EXPECT_EQ(PixelAt(rgb.get(), 1, 1), (Bytes{zt_imgtest::Pattern(1, 1, 0), zt_imgtest::Pattern(1, 1, 1),
                                             zt_imgtest::Pattern(1, 1, 2)}));
}

TEST(ImageFlip, SwapsRowsAroundTheMiddle) {
  ImagePtr one;
  zt_imgtest::FillPattern(one.get(), 2, 1, 3);
  Bytes row(one->GetPixels(), one->GetPixels() + 8);
  EXPECT_EQ(one->FlipVertical(), 1);
  EXPECT_EQ(Bytes(one->GetPixels(), one->GetPixels() + 8), row);
  ImagePtr three;
  zt_imgtest::FillPattern(three.get(), 2, 3, 4);
  Bytes r0 = PixelAt(three.get(), 1, 0), r1 = PixelAt(three.get(), 1, 1), r2 = PixelAt(three.get(), 1, 2);
  EXPECT_EQ(three->FlipVertical(), 1);
  EXPECT_EQ(PixelAt(three.get(), 1, 0), r2);
  EXPECT_EQ(PixelAt(three.get(), 1, 1), r1);
  EXPECT_EQ(PixelAt(three.get(), 1, 2), r0);
}

TEST(ImageConvert, ExpandTo32AddsOpaqueAlpha) {
  ImagePtr img;
  zt_imgtest::FillPattern(img.get(), 3, 2, 3);
  Bytes p = PixelAt(img.get(), 2, 1);
  img->ExpandTo32();
  EXPECT_EQ(img->GetBytesPerPixel(), 4);
  EXPECT_EQ(img->GetStride(), 12u);
  EXPECT_EQ(img->GetBufferSize(), 24u);
  EXPECT_EQ(PixelAt(img.get(), 2, 1), (Bytes{p[0], p[1], p[2], 255}));
}

TEST(ImageConvert, ClearTransparentColourZeroesOnlyAlphaZeroPixels) {
  ImagePtr img;
  ASSERT_EQ(img->CreateBuffer(2, 1, 4), 1);
  SetPixel(img.get(), 0, 0, {1, 2, 3, 0});
  SetPixel(img.get(), 1, 0, {4, 5, 6, 1});
  img->ClearTransparentColour();
  EXPECT_EQ(PixelAt(img.get(), 0, 0), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(PixelAt(img.get(), 1, 0), (Bytes{4, 5, 6, 1}));
}

TEST(ImageConvert, SwapRedBlueOnlyWhenImgModeIsOne) {
  ImagePtr img;
  ASSERT_EQ(img->CreateBuffer(2, 1, 3), 1);
  SetPixel(img.get(), 1, 0, {1, 2, 3});
  img->SwapRedBlue();
  EXPECT_EQ(PixelAt(img.get(), 1, 0), (Bytes{1, 2, 3}));
  img->SetImgMode(1);
  img->SwapRedBlue();
  EXPECT_EQ(PixelAt(img.get(), 1, 0), (Bytes{3, 2, 1}));
  EXPECT_EQ(img->GetImgMode(), 0u);
  img->SwapRedBlue();
  EXPECT_EQ(PixelAt(img.get(), 1, 0), (Bytes{3, 2, 1}));
}

// --- lifetime and records ------------------------------------------------

TEST(ImageLifetime, ReleaseAfterAddRefOnlyDecrements) {
  long before = ztHeapLiveBlocks();
  ztImage* img = new ztImage;
  ASSERT_EQ(img->CreateBuffer(4, 4, 4), 1);
  EXPECT_EQ(img->AddRef(), 2);
  img->Release();
  EXPECT_EQ(img->GetRefCount(), 1);
  EXPECT_EQ(img->GetBytesPerPixel(), 4);
  img->Release();
  EXPECT_EQ(ztHeapLiveBlocks(), before);
}

TEST(ImageRecords, KeyIsTheLow16BitsAndARepeatReplaces) {
  long before = ztHeapLiveBlocks();
  {
    ImagePtr img;
    uint8_t a[20], b[20];
    memset(a, 'a', 20);
    memset(b, 'b', 20);
    EXPECT_EQ(img->GetRecord(5), nullptr);
    EXPECT_EQ(img->StoreRecord(5, a), 1);
    EXPECT_EQ(img->StoreRecord(0x10005, b), 1);  // same key
    EXPECT_EQ(img->GetRecordCount(), 1u);
    ASSERT_NE(img->GetRecord(5), nullptr);
    EXPECT_EQ(img->GetRecord(5)[19], 'b');
    EXPECT_EQ(img->StoreRecord(-1, a), 1);  // key 0xFFFF
    EXPECT_EQ(img->GetRecord(0xFFFF)[0], 'a');
    EXPECT_EQ(ztHeapLiveBlocks(), before + 2);
  }
  EXPECT_EQ(ztHeapLiveBlocks(), before);
}

#include "image/ztImageZtf.h"

#include <gtest/gtest.h>

#include "image/zure.h"
#include "tests/common/testutil.h"
#include "tests/image/imagetest.h"

using namespace zt_imgtest;

namespace {

struct Ztf {
  ztImageZtf* p = new ztImageZtf;
  ~Ztf() { p->Release(); }
  ztImageZtf* operator->() { return p; }
};

int Load(ztImageZtf* img, const Bytes& f) {
  ztMemBlock src(f.data(), static_cast<uint32_t>(f.size()));
  return img->Load(&src, 0);
}

// A ZTF file made by hand from a header and any pixel bytes.
Bytes MakeZtf(uint32_t w, uint32_t h, uint32_t stride, uint32_t bpp, const Bytes& pixels, int set = 0) {
  Bytes f;
  PutText(f, "ZTF");
  f.push_back(0);
  Put16(f, w);
  Put16(f, h);
  Put16(f, stride);
  Put16(f, bpp);
  uint32_t size = ztZureEncode(pixels.data(), static_cast<uint32_t>(pixels.size()), nullptr, 0, set, nullptr, nullptr);
  size_t at = f.size();
  f.resize(at + size);
  ztZureEncode(pixels.data(), static_cast<uint32_t>(pixels.size()), &f[at], size, set, nullptr, nullptr);
  return f;
}

}  // namespace

TEST(ZtfRoundTrip, OnePixelRestoresHeaderAndBytesWithSet0OnATie) {
  Ztf img;
  FillImage(img.p, 1, 1, 4, [](uint32_t, uint32_t, int k) { return static_cast<uint8_t>(0x10 + k); });
  ztMemBlock out;
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  EXPECT_EQ(img->GetLastParamSet(), 0);
  ASSERT_GE(out.size, 12u + 28);
  EXPECT_EQ(out.size % 8, 0u);
  EXPECT_EQ(0, memcmp(out.data, "ZTF\0", 4));
  EXPECT_EQ(ztGetU16LE(out.data + 4), 1);
  EXPECT_EQ(ztGetU16LE(out.data + 6), 1);
  EXPECT_EQ(ztGetU16LE(out.data + 8), 4);
  EXPECT_EQ(ztGetU16LE(out.data + 10), 4);
  EXPECT_EQ(0, memcmp(out.data + 12, "ZURE", 4));
  EXPECT_EQ(ztGetU32LE(out.data + 16), 0u);  // parameter set
  Ztf back;
  ztMemBlock src(out.data, out.size);
  ASSERT_EQ(back->Load(&src, 0), 1);
  EXPECT_EQ(PixelAt(back.p, 0, 0), (Bytes{0x10, 0x11, 0x12, 0x13}));
  int32_t cw, ch;
  back->GetCanvasSize(&cw, &ch);
  EXPECT_EQ(cw, 1);
}

TEST(ZtfRoundTrip, PicksTheSmallestParameterSet) {
  // Long runs of one pixel: the sets with longer references win, and set 4
  // (130 bytes per reference) is the smallest.
  Ztf img;
  FillImage(img.p, 400, 30, 4, [](uint32_t, uint32_t, int) { return uint8_t{0x80}; });
  ztMemBlock out;
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  uint32_t sizes[ZTZURE_PARAM_SETS];
  int best = 0;
  for (int s = 0; s < ZTZURE_PARAM_SETS; ++s) {
    sizes[s] = ztZureEncode(img->GetPixels(), 400 * 30 * 4, nullptr, 0, s, nullptr, nullptr);
    if (sizes[s] < sizes[best]) best = s;
  }
  EXPECT_EQ(best, 4);
  EXPECT_EQ(img->GetLastParamSet(), best);
  EXPECT_EQ(ztGetU32LE(out.data + 16), static_cast<uint32_t>(best));
  EXPECT_EQ(out.size, (sizes[best] + 12 + 7) & ~7u);
}

TEST(ZtfRoundTrip, ThreeBytePixelsWithRoundedStrideAndTransparentPixelsCleared) {
  Ztf img;
  FillPattern(img.p, 5, 3, 3);
  ztMemBlock out;
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  Ztf back;
  ztMemBlock src(out.data, out.size);
  ASSERT_EQ(back->Load(&src, 0), 1);
  EXPECT_EQ(back->GetStride(), 16u);
  EXPECT_EQ(back->GetBytesPerPixel(), 3);
  EXPECT_EQ(0, memcmp(back->GetPixels(), img->GetPixels(), 48));

  Ztf alpha;
  FillImage(alpha.p, 2, 1, 4, [](uint32_t x, uint32_t, int k) { return static_cast<uint8_t>(k == 3 ? x * 9 : 50); });
  ASSERT_EQ(alpha->Save(&out, 0, 0, 0, 0), 1);
  Ztf back2;
  ztMemBlock src2(out.data, out.size);
  ASSERT_EQ(back2->Load(&src2, 0), 1);
  EXPECT_EQ(PixelAt(back2.p, 0, 0), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(PixelAt(back2.p, 1, 0), (Bytes{50, 50, 50, 9}));
}

TEST(ZtfLoad, WrongSignatureIsTheWrongTypeMessage) {
  Bytes f = MakeZtf(1, 1, 4, 4, Bytes(4, 1));
  f[3] = 'X';
  Ztf img;
  zt_test::ClearLog();
  EXPECT_EQ(Load(img.p, f), 0);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932("イメージのタイプが違います")));
}

TEST(ZtfLoad, PayloadMustBeAZureBlockHoldingTheRows) {
  Ztf img;
  Bytes notZure = MakeZtf(1, 1, 4, 4, Bytes(4, 1));
  notZure[12] = 'Y';
  EXPECT_EQ(Load(img.p, notZure), 0);
  // Header says 2 x 2 at stride 8: 16 bytes, but the block holds 12.
  EXPECT_EQ(Load(img.p, MakeZtf(2, 2, 8, 4, Bytes(12, 1))), 0);
  // Stride shorter than a row.
  EXPECT_EQ(Load(img.p, MakeZtf(2, 2, 7, 4, Bytes(16, 1))), 0);
  // Zero sides and impossible pixel sizes.
  EXPECT_EQ(Load(img.p, MakeZtf(0, 2, 8, 4, Bytes(16, 1))), 0);
  EXPECT_EQ(Load(img.p, MakeZtf(2, 2, 16, 8, Bytes(32, 1))), 0);
  // The block cut short: its areas reach past the file.
  Bytes cut = MakeZtf(2, 2, 8, 4, Bytes(16, 1));
  cut.pop_back();
  EXPECT_EQ(Load(img.p, cut), 0);
  // More bytes than the rows need is fine.
  EXPECT_EQ(Load(img.p, MakeZtf(2, 2, 8, 4, Bytes(20, 1))), 1);
  EXPECT_EQ(img->GetBufferSize(), 20u);
}

TEST(ZtfLoad, DamagedFilesNeverReadOutside) {
  Ztf img;
  FillPattern(img.p, 7, 5, 4);
  ztMemBlock out;
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  MutateAndLoad(BlockBytes(out), 31, 500, [](const Bytes& f) {
    Ztf z;
    Load(z.p, f);
  });
}

TEST(ZtfSave, RowPaddingIsStoredZeroedWhateverItHeld) {
  // 5 pixels of 3 bytes: 15 bytes of a 16-byte row. Two pictures that differ
  // only in that last byte (left as the heap gave it by some loaders) must
  // give the same file.
  std::vector<Bytes> files;
  for (uint8_t junk : {0x00, 0xBE}) {
    Ztf img;
    FillPattern(img.p, 5, 3, 3);
    for (uint32_t y = 0; y < 3; ++y) img->GetPixels()[y * img->GetStride() + 15] = junk;
    ztMemBlock out;
    ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
    files.push_back(Bytes(out.data, out.data + out.size));
  }
  EXPECT_EQ(files[0], files[1]);
}

TEST(ZtfSave, RefusesWhatTheHeaderCannotHold) {
  Ztf img;
  ASSERT_EQ(img->CreateBuffer(70000, 1, 3), 1);
  ztMemBlock out;
  zt_test::ClearLog();
  EXPECT_EQ(img->Save(&out, 0, 0, 0, 0), 0);
  EXPECT_EQ(out.data, nullptr);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932("イメージの保存に失敗しました")));
  Ztf empty;
  EXPECT_EQ(empty->Save(&out, 0, 0, 0, 0), 0);
}

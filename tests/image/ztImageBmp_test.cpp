#include "image/ztImageBmp.h"

#include <gtest/gtest.h>

#include "platform/ztHeap.h"
#include "tests/common/testutil.h"
#include "tests/image/imagetest.h"

using namespace zt_imgtest;

namespace {

struct BmpSpec {
  int32_t width = 3;
  int32_t height = 2;
  int bits = 24;
  uint32_t headerSize = 40;
  uint32_t pixelOffset = 54;  // written into the file header
  uint32_t gap = 0;           // bytes between the headers and the rows
  bool truncateLastPadding = false;
};

// File pixel (x, row i in file order), channel k.
uint8_t FileByte(uint32_t x, uint32_t i, int k) { return static_cast<uint8_t>(k * 50 + x * 5 + i * 17 + 3); }

Bytes MakeBmp(const BmpSpec& s) {
  uint32_t w = static_cast<uint32_t>(s.width);
  uint32_t h = static_cast<uint32_t>(s.height < 0 ? -s.height : s.height);
  uint32_t bpp = s.bits / 8;
  uint32_t stride = (w * bpp + 3) & ~3u;
  Bytes b;
  PutText(b, "BM");
  Put32(b, 0);
  Put32(b, 0);
  Put32(b, s.pixelOffset);
  if (s.headerSize == 12) {
    Put32(b, 12);
    Put16(b, w);
    Put16(b, h);
    Put16(b, 1);
    Put16(b, s.bits);
  } else {
    Put32(b, s.headerSize);
    Put32(b, w);
    Put32(b, static_cast<uint32_t>(s.height));
    Put16(b, 1);
    Put16(b, s.bits);
    Put32(b, 0);
    Put32(b, stride * h);
    for (int i = 0; i < 4; ++i) Put32(b, 0);
  }
  b.insert(b.end(), s.gap, 0xEE);
  for (uint32_t i = 0; i < h; ++i) {
    for (uint32_t x = 0; x < w; ++x)
      for (uint32_t k = 0; k < bpp; ++k) b.push_back(FileByte(x, i, static_cast<int>(k)));
    if (!(s.truncateLastPadding && i == h - 1)) b.insert(b.end(), stride - w * bpp, 0);
  }
  return b;
}

int Load(ztImageBmp* img, const Bytes& file) {
  ztMemBlock src(file.data(), static_cast<uint32_t>(file.size()));
  return img->Load(&src, 0);
}

struct Bmp {
  ztImageBmp* p = new ztImageBmp;
  ~Bmp() { p->Release(); }
  ztImageBmp* operator->() { return p; }
};

}  // namespace

TEST(BmpLoad, Width3At24BitsUsesA12ByteFileStrideAndAddsAlpha) {
  Bmp img;
  ASSERT_EQ(Load(img.p, MakeBmp({})), 1);
  EXPECT_EQ(img->GetBytesPerPixel(), 4);
  EXPECT_EQ(img->GetStride(), 12u);
  // File row i is buffer row i (no reversal), channels as stored.
  EXPECT_EQ(PixelAt(img.p, 0, 0), (Bytes{FileByte(0, 0, 0), FileByte(0, 0, 1), FileByte(0, 0, 2), 255}));
  EXPECT_EQ(PixelAt(img.p, 2, 1), (Bytes{FileByte(2, 1, 0), FileByte(2, 1, 1), FileByte(2, 1, 2), 255}));
  int32_t cw, ch;
  img->GetCanvasSize(&cw, &ch);
  EXPECT_EQ(cw, 3);
  EXPECT_EQ(ch, 2);
  EXPECT_EQ(img->GetInfoHeader()[14], 24);
}

TEST(BmpLoad, ThirtyTwoBitPixelsAreCopiedWithTheirAlpha) {
  BmpSpec s;
  s.bits = 32;
  Bmp img;
  ASSERT_EQ(Load(img.p, MakeBmp(s)), 1);
  EXPECT_EQ(PixelAt(img.p, 1, 1), (Bytes{FileByte(1, 1, 0), FileByte(1, 1, 1), FileByte(1, 1, 2), FileByte(1, 1, 3)}));
}

TEST(BmpLoad, NegativeHeightIsATopDownPicture) {
  BmpSpec s;
  s.height = -2;
  Bmp img;
  ASSERT_EQ(Load(img.p, MakeBmp(s)), 1);
  uint32_t h;
  img->GetSize(nullptr, &h);
  EXPECT_EQ(h, 2u);
  // The top file row is the picture's top: it lands where a bottom-up file
  // would put its top row, the last buffer row.
  EXPECT_EQ(PixelAt(img.p, 0, 1)[0], FileByte(0, 0, 0));
  EXPECT_EQ(PixelAt(img.p, 0, 0)[0], FileByte(0, 1, 0));
}

TEST(BmpLoad, CoreHeaderIsWidenedAndItsPixelOffsetUsed) {
  BmpSpec s;
  s.headerSize = 12;
  s.pixelOffset = 26;
  Bmp img;
  ASSERT_EQ(Load(img.p, MakeBmp(s)), 1);
  EXPECT_EQ(PixelAt(img.p, 1, 0)[1], FileByte(1, 0, 1));
  const uint8_t* info = img->GetInfoHeader();
  EXPECT_EQ(ztGetU32LE(info), 40u);
  EXPECT_EQ(ztGetU32LE(info + 4), 3u);
  EXPECT_EQ(ztGetU32LE(info + 8), 2u);
  EXPECT_EQ(ztGetU16LE(info + 14), 24);
}

TEST(BmpLoad, PixelOffsetFromTheHeaderWhenInsideTheFile) {
  BmpSpec s;
  s.gap = 12;
  s.pixelOffset = 66;
  Bmp img;
  ASSERT_EQ(Load(img.p, MakeBmp(s)), 1);
  EXPECT_EQ(PixelAt(img.p, 0, 0)[0], FileByte(0, 0, 0));
  // An offset past the end falls back to 54 (here that reads the gap).
  s.pixelOffset = 100000;
  Bmp other;
  ASSERT_EQ(Load(other.p, MakeBmp(s)), 1);
  EXPECT_EQ(PixelAt(other.p, 0, 0)[0], 0xEE);
}

TEST(BmpLoad, LastRowNeedsNoPadding) {
  BmpSpec s;
  s.truncateLastPadding = true;
  Bmp img;
  EXPECT_EQ(Load(img.p, MakeBmp(s)), 1);
}

TEST(BmpLoad, RefusesWrongTypeWithTheMessage) {
  Bmp img;
  zt_test::ClearLog();
  Bytes file = MakeBmp({});
  file[1] = 'X';
  EXPECT_EQ(Load(img.p, file), 0);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932("イメージのタイプが違います")));
  zt_test::ClearLog();
  BmpSpec v5;
  v5.headerSize = 124;
  EXPECT_EQ(Load(img.p, MakeBmp(v5)), 0);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932("イメージのタイプが違います")));
}

TEST(BmpLoad, RefusesOtherBitCountsSilently) {
  BmpSpec s;
  s.bits = 16;
  Bmp img;
  zt_test::ClearLog();
  EXPECT_EQ(Load(img.p, MakeBmp(s)), 0);
  EXPECT_TRUE(zt_test::LogLines().empty());
}

TEST(BmpLoad, RowsMustLieInsideTheFile) {
  Bytes file = MakeBmp({});
  file.pop_back();  // last row one byte short (beyond its padding)
  file.pop_back();
  file.pop_back();
  file.pop_back();
  Bmp img;
  EXPECT_EQ(Load(img.p, file), 0);
  Bytes headerOnly = MakeBmp({});
  headerOnly.resize(40);
  EXPECT_EQ(Load(img.p, headerOnly), 0);
}

TEST(BmpLoad, RefusesZeroAndHugeSides) {
  long before = ztHeapLiveBlocks();
  BmpSpec zero;
  zero.width = 0;
  Bmp img;
  EXPECT_EQ(Load(img.p, MakeBmp(zero)), 0);
  Bytes huge = MakeBmp({});
  ztPutU32LE(&huge[18], 0x40000000);  // rows far beyond the file and 1 GiB
  ztPutU32LE(&huge[22], 0x40000000);
  EXPECT_EQ(Load(img.p, huge), 0);
  Bytes minHeight = MakeBmp({});
  ztPutU32LE(&minHeight[22], 0x80000000u);
  EXPECT_EQ(Load(img.p, minHeight), 0);
  EXPECT_EQ(ztHeapLiveBlocks(), before);  // nothing was allocated for them
}

TEST(BmpLoad, DamagedFilesNeverReadOutside) {
  Bytes valid = MakeBmp({});
  MutateAndLoad(valid, 11, 400, [](const Bytes& f) {
    Bmp img;
    Load(img.p, f);
  });
}

TEST(BmpSave, HeaderAndRowsAsWritten) {
  Bmp img;
  ASSERT_EQ(Load(img.p, MakeBmp({})), 1);
  ztMemBlock out;
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  ASSERT_GE(out.size, 54u + 24);
  EXPECT_EQ(out.size % 8, 0u);
  EXPECT_EQ(out.data[0], 'B');
  EXPECT_EQ(out.data[1], 'M');
  EXPECT_EQ(ztGetU32LE(out.data + 2), 54u + 24);
  EXPECT_EQ(ztGetU32LE(out.data + 10), 54u);
  EXPECT_EQ(ztGetU32LE(out.data + 14), 40u);
  EXPECT_EQ(ztGetU32LE(out.data + 18), 3u);
  EXPECT_EQ(ztGetU32LE(out.data + 22), 2u);
  EXPECT_EQ(ztGetU16LE(out.data + 26), 1);
  EXPECT_EQ(ztGetU16LE(out.data + 28), 32);
  EXPECT_EQ(ztGetU32LE(out.data + 30), 0u);
  EXPECT_EQ(ztGetU32LE(out.data + 34), 24u);
  // Loaded again, the rows are byte-identical.
  Bmp again;
  ztMemBlock src(out.data, out.size);
  ASSERT_EQ(again->Load(&src, 0), 1);
  EXPECT_EQ(0, memcmp(again->GetPixels(), img->GetPixels(), 24));
}

TEST(BmpSave, ThreeBytePixelsGetTheFileStride) {
  Bmp img;
  FillPattern(img.p, 3, 2, 3);  // stride 12, rows of 9 bytes + padding
  ztMemBlock out;
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  EXPECT_EQ(ztGetU16LE(out.data + 28), 24);
  EXPECT_EQ(out.data[54 + 12 + 3], Pattern(1, 1, 0));
  Bmp back;
  ztMemBlock src(out.data, out.size);
  ASSERT_EQ(back->Load(&src, 0), 1);
  EXPECT_EQ(PixelAt(back.p, 2, 1), (Bytes{Pattern(2, 1, 0), Pattern(2, 1, 1), Pattern(2, 1, 2), 255}));
}

TEST(BmpDetect, NeedsBmAndA24Or32BitCount) {
  Bytes f = MakeBmp({});
  EXPECT_EQ(ztImageBmp::Detect(f.data(), static_cast<uint32_t>(f.size())), 1);
  f[28] = 8;
  EXPECT_EQ(ztImageBmp::Detect(f.data(), static_cast<uint32_t>(f.size())), 0);
  EXPECT_EQ(ztImageBmp::Detect(f.data(), 29), 0);
}

#include "image/ztImagePsd.h"

#include <gtest/gtest.h>

#include "tests/image/imagetest.h"

using namespace zt_imgtest;

namespace {

// Channel c of PSD pixel (x, row i from the top).
uint8_t Sample(uint32_t x, uint32_t i, int c) { return static_cast<uint8_t>(c * 80 + x * 3 + i * 29 + 5); }

Bytes PsdHeader(uint32_t w, uint32_t h, uint32_t channels = 3, uint32_t depth = 8, uint32_t mode = 3) {
  Bytes b;
  PutText(b, "8BPS");
  Put16BE(b, 1);
  b.insert(b.end(), 6, 0);
  Put16BE(b, channels);
  Put32BE(b, h);
  Put32BE(b, w);
  Put16BE(b, depth);
  Put16BE(b, mode);
  Put32BE(b, 0);  // colour mode data
  Put32BE(b, 4);  // image resources, four bytes of them
  PutText(b, "8BIM");
  Put32BE(b, 0);  // layers and masks
  return b;
}

Bytes RawPsd(uint32_t w, uint32_t h, uint32_t channels = 3) {
  Bytes b = PsdHeader(w, h, channels);
  Put16BE(b, 0);
  for (uint32_t c = 0; c < channels; ++c)
    for (uint32_t i = 0; i < h; ++i)
      for (uint32_t x = 0; x < w; ++x) b.push_back(Sample(x, i, static_cast<int>(c)));
  return b;
}

// Run-length data from explicit packet bytes per channel (rows are split
// by the packets themselves).
Bytes RlePsd(uint32_t w, uint32_t h, const std::vector<Bytes>& channelPackets) {
  Bytes b = PsdHeader(w, h, 3);
  Put16BE(b, 1);
  for (uint32_t i = 0; i < 3 * h; ++i) Put16BE(b, 0);  // the byte-count table is not used
  for (const Bytes& p : channelPackets) b.insert(b.end(), p.begin(), p.end());
  return b;
}

struct Psd {
  ztImagePsd* p = new ztImagePsd;
  ~Psd() { p->Release(); }
  ztImagePsd* operator->() { return p; }
};

int Load(ztImagePsd* img, const Bytes& f) {
  ztMemBlock src(f.data(), static_cast<uint32_t>(f.size()));
  return img->Load(&src, 0);
}

}  // namespace

TEST(PsdLoad, RawRgbBecomesBgraWithRowsReversed) {
  Psd img;
  ASSERT_EQ(Load(img.p, RawPsd(3, 2)), 1);
  EXPECT_EQ(img->GetBytesPerPixel(), 4);
  EXPECT_EQ(img->GetStride(), 12u);
  // PSD row 0 (top) is buffer row 1 (h - 1 - 0).
  EXPECT_EQ(PixelAt(img.p, 2, 1), (Bytes{Sample(2, 0, 2), Sample(2, 0, 1), Sample(2, 0, 0), 255}));
  EXPECT_EQ(PixelAt(img.p, 0, 0), (Bytes{Sample(0, 1, 2), Sample(0, 1, 1), Sample(0, 1, 0), 255}));
}

TEST(PsdLoad, ExtraChannelsAreIgnored) {
  Psd img;
  ASSERT_EQ(Load(img.p, RawPsd(2, 2, 4)), 1);
  EXPECT_EQ(PixelAt(img.p, 1, 1), (Bytes{Sample(1, 0, 2), Sample(1, 0, 1), Sample(1, 0, 0), 255}));
}

TEST(PsdLoad, PackBitsLiteralsAndRuns) {
  // Width 4, height 1. Red: run of 4 x 0x11 (n = 253 -> 4). Green: literal
  // 4 bytes (n = 3). Blue: run of 2 then literal 2.
  std::vector<Bytes> ch = {{253, 0x11}, {3, 1, 2, 3, 4}, {255, 0x77, 1, 8, 9}};
  Psd img;
  ASSERT_EQ(Load(img.p, RlePsd(4, 1, ch)), 1);
  EXPECT_EQ(PixelAt(img.p, 0, 0), (Bytes{0x77, 1, 0x11, 255}));
  EXPECT_EQ(PixelAt(img.p, 3, 0), (Bytes{9, 4, 0x11, 255}));
}

TEST(PsdLoad, HeaderByte128RepeatsItsValue129Times) {
  std::vector<Bytes> ch = {{128, 0x42}, {128, 0x43}, {128, 0x44}};
  Psd img;
  ASSERT_EQ(Load(img.p, RlePsd(129, 1, ch)), 1);
  EXPECT_EQ(PixelAt(img.p, 128, 0), (Bytes{0x44, 0x43, 0x42, 255}));
}

TEST(PsdLoad, PacketOverrunningARowIsDroppedAndTheNextRowStartsFresh) {
  // Width 3, height 2. Red row 0: a literal of 5 bytes (two past the end);
  // row 1 starts with a new packet.
  std::vector<Bytes> ch = {{4, 10, 11, 12, 98, 99, 2, 20, 21, 22},
                           {2, 1, 1, 1, 2, 2, 2, 2},
                           {254, 5, 254, 6}};
  Psd img;
  ASSERT_EQ(Load(img.p, RlePsd(3, 2, ch)), 1);
  // Row 0 (top) is buffer row 1.
  EXPECT_EQ(PixelAt(img.p, 2, 1)[2], 12);
  EXPECT_EQ(PixelAt(img.p, 0, 0)[2], 20);
  EXPECT_EQ(PixelAt(img.p, 2, 0)[2], 22);
  EXPECT_EQ(PixelAt(img.p, 1, 0), (Bytes{6, 2, 21, 255}));
}

TEST(PsdLoad, PacketsMustLieInsideTheFile) {
  std::vector<Bytes> ch = {{253, 0x11}, {3, 1, 2, 3, 4}, {3, 1, 2}};  // literal cut short
  Psd img;
  EXPECT_EQ(Load(img.p, RlePsd(4, 1, ch)), 0);
  std::vector<Bytes> noValue = {{253, 0x11}, {3, 1, 2, 3, 4}, {253}};
  EXPECT_EQ(Load(img.p, RlePsd(4, 1, noValue)), 0);
  Bytes raw = RawPsd(3, 2);
  raw.pop_back();
  EXPECT_EQ(Load(img.p, raw), 0);
}

TEST(PsdLoad, SectionLengthsAreChecked) {
  Bytes f = RawPsd(2, 2);
  Bytes bad = f;
  ztPutU32LE(&bad[26], 0xFFFFFF7F);  // colour mode section "length" (big-endian, huge)
  Psd img;
  EXPECT_EQ(Load(img.p, bad), 0);
  EXPECT_EQ(ztImagePsd::Detect(bad.data(), static_cast<uint32_t>(bad.size())), 0);
  Bytes cut(f.begin(), f.begin() + 40);
  EXPECT_EQ(Load(img.p, cut), 0);
}

TEST(PsdLoad, OnlyEightBitRgbIsAccepted) {
  Psd img;
  auto with = [](uint32_t channels, uint32_t depth, uint32_t mode) {
    Bytes b = PsdHeader(2, 2, channels, depth, mode);
    Put16BE(b, 0);
    b.insert(b.end(), 2 * 2 * 4 * 2, 0x33);
    return b;
  };
  EXPECT_EQ(Load(img.p, with(3, 8, 3)), 1);
  EXPECT_EQ(Load(img.p, with(3, 16, 3)), 0);
  EXPECT_EQ(Load(img.p, with(4, 8, 4)), 0);  // CMYK
  EXPECT_EQ(Load(img.p, with(1, 8, 1)), 0);  // grey
  EXPECT_EQ(Load(img.p, with(2, 8, 3)), 0);
  Bytes wide = PsdHeader(70000, 1);
  Put16BE(wide, 0);
  EXPECT_EQ(Load(img.p, wide), 0);
  Bytes zero = PsdHeader(0, 1);
  Put16BE(zero, 0);
  EXPECT_EQ(Load(img.p, zero), 0);
}

TEST(PsdLoad, DamagedFilesNeverReadOutside) {
  std::vector<Bytes> ch = {{4, 10, 11, 12, 98, 99, 2, 20, 21, 22}, {2, 1, 1, 1, 2, 2, 2, 2}, {254, 5, 254, 6}};
  MutateAndLoad(RlePsd(3, 2, ch), 21, 500, [](const Bytes& f) {
    Psd img;
    Load(img.p, f);
  });
  MutateAndLoad(RawPsd(4, 3), 22, 300, [](const Bytes& f) {
    Psd img;
    Load(img.p, f);
  });
}

#include "tools/ra3writer.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "image/ztImageRa3.h"
#include "tests/image/ra3_testbytes.h"

using namespace zt_ra3test;
using zt_imgtest::PixelAt;

namespace {

struct TagView {
  std::string name;
  Bytes data;
};

// Walks a written file by hand: header, one frame, its tags.
std::vector<TagView> TagsOf(const Bytes& f, int32_t* id) {
  std::vector<TagView> tags;
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 8), (Bytes{'R', 'A', '-', '3', 12, 0, 0, 0}));
  EXPECT_EQ(ztGetU32LE(&f[12]), 0u);  // one frame
  *id = static_cast<int32_t>(ztGetU32LE(&f[16]));
  size_t pos = 20;
  for (;;) {
    std::string name(reinterpret_cast<const char*>(&f[pos]), strnlen(reinterpret_cast<const char*>(&f[pos]), 8));
    uint32_t next = ztGetU32LE(&f[pos + 8]);
    uint32_t len = ztGetU32LE(&f[pos + 12]);
    tags.push_back({name, Bytes(f.begin() + pos + 16, f.begin() + pos + 16 + len)});
    if (!next) break;
    pos += next;
  }
  return tags;
}

ztImage* Picture(uint32_t w, uint32_t h, int bpp, bool transparent) {
  ztImage* img = new ztImage;
  zt_imgtest::FillImage(img, w, h, bpp, [&](uint32_t x, uint32_t y, int k) {
    if (k == 3) return static_cast<uint8_t>(transparent ? (x * 40 + y * 9) & 0xFF : 255);
    return static_cast<uint8_t>(k == 0 ? 30 + x * 8 : k == 1 ? 200 - y * 10 : 120);
  });
  return img;
}

ztImageRa3* Decode(const Bytes& file) {
  ztImageRa3* img = new ztImageRa3;
  ztMemBlock src(file.data(), static_cast<uint32_t>(file.size()));
  EXPECT_EQ(img->Load(&src, 5), 1);
  return img;
}

}  // namespace

TEST(Ra3Writer, StripsAreCutFromTheBottomAndCodedByTheRules) {
  ztImage* img = Picture(10, 7, 4, true);
  img->SetCanvasSize(30, 20);
  img->SetOffset(4, -6);
  img->SetUserValues(11, -12);
  ztRa3WriteOptions o;
  o.stripHeight = 3;
  o.frameId = 5;
  Bytes file;
  ASSERT_EQ(ztWriteRa3(*img, o, &file), 1);
  int32_t id;
  auto tags = TagsOf(file, &id);
  EXPECT_EQ(id, 5);
  ASSERT_EQ(tags.size(), 4u);
  EXPECT_EQ(tags[0].name, "stdinfo");
  const Bytes& s = tags[0].data;
  ASSERT_EQ(s.size(), 40u);
  EXPECT_EQ(ztGetU32LE(&s[0]), 10u);
  EXPECT_EQ(ztGetU32LE(&s[4]), 7u);
  EXPECT_EQ(ztGetU16LE(&s[8]), 32u);
  EXPECT_EQ(ztGetU32LE(&s[12]), 4u);
  EXPECT_EQ(static_cast<int32_t>(ztGetU32LE(&s[16])), -6);
  EXPECT_EQ(ztGetU32LE(&s[20]), 30u);
  EXPECT_EQ(ztGetU32LE(&s[24]), 20u);
  EXPECT_EQ(ztGetU32LE(&s[28]), 1u);
  EXPECT_EQ(ztGetU32LE(&s[32]), 11u);
  EXPECT_EQ(static_cast<int32_t>(ztGetU32LE(&s[36])), -12);

  // Strip n holds rows [y0, y0 + rows) counted from the bottom.
  const uint32_t y0s[] = {0, 3, 6}, counts[] = {3, 3, 1};
  for (int n = 0; n < 3; ++n) {
    const Bytes& d = tags[1 + n].data;
    EXPECT_EQ(tags[1 + n].name, "img000" + std::to_string(n));
    EXPECT_EQ(ztGetU32LE(&d[0]), y0s[n]);
    EXPECT_EQ(ztGetU32LE(&d[4]), counts[n]);
    uint32_t bp = ztGetU32LE(&d[8]), bs = ztGetU32LE(&d[12]), tp = ztGetU32LE(&d[16]), ts = ztGetU32LE(&d[20]);
    ASSERT_EQ(d.size(), 24u + bp + tp);
    std::vector<Bytes> rows;
    for (uint32_t y = 7 - y0s[n] - counts[n]; y < 7 - y0s[n]; ++y) {
      const uint8_t* p = img->GetPixelAddress(0, y);
      rows.emplace_back(p, p + 40);
    }
    RefStrip ref = RefEncode(rows, 4);
    EXPECT_EQ(Unzlib(&d[24], bp, bs), ref.byteArea) << n;
    EXPECT_EQ(Unzlib(&d[24 + bp], tp, ts), ref.bitArea) << n;
  }

  ztImageRa3* back = Decode(file);
  for (uint32_t y = 0; y < 7; ++y)
    for (uint32_t x = 0; x < 10; ++x) EXPECT_EQ(PixelAt(back, x, y), PixelAt(img, x, y));
  int32_t cw, ch, ox, oy;
  back->GetCanvasSize(&cw, &ch);
  back->GetOffset(&ox, &oy);
  EXPECT_EQ(cw, 30);
  EXPECT_EQ(oy, -6);
  EXPECT_EQ(back->GetUserValue2(), -12);
  back->Release();
  img->Release();
}

TEST(Ra3Writer, ThreeBytePicturesAndOneStrip) {
  ztImage* img = Picture(5, 4, 3, false);
  ztRa3WriteOptions o;
  o.stripHeight = 0;
  o.frameId = 5;
  Bytes file;
  ASSERT_EQ(ztWriteRa3(*img, o, &file), 1);
  int32_t id;
  auto tags = TagsOf(file, &id);
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(ztGetU16LE(&tags[0].data[8]), 24u);
  EXPECT_EQ(ztGetU32LE(&tags[1].data[4]), 4u);
  ztImageRa3* back = Decode(file);
  ASSERT_EQ(back->GetBytesPerPixel(), 4);
  for (uint32_t y = 0; y < 4; ++y)
    for (uint32_t x = 0; x < 5; ++x) {
      Bytes p = PixelAt(img, x, y);
      p.push_back(255);
      EXPECT_EQ(PixelAt(back, x, y), p);
    }
  back->Release();
  img->Release();
}

TEST(Ra3Writer, JpegFormAddsAnAlphaPlaneOnlyWhenNeeded) {
  for (bool transparent : {false, true}) {
    ztImage* img = Picture(16, 8, 4, transparent);
    ztRa3WriteOptions o;
    o.form = ztRa3Form::kJpeg;
    o.frameId = 5;
    Bytes file;
    ASSERT_EQ(ztWriteRa3(*img, o, &file), 1);
    int32_t id;
    auto tags = TagsOf(file, &id);
    ASSERT_EQ(tags.size(), transparent ? 3u : 2u);
    EXPECT_EQ(tags[1].name, "img_jpg");
    if (transparent) {
      EXPECT_EQ(tags[2].name, "img_al");
    }
    ztImageRa3* back = Decode(file);
    for (uint32_t y = 0; y < 8; ++y)
      for (uint32_t x = 0; x < 16; ++x) {
        Bytes a = PixelAt(img, x, y), b = PixelAt(back, x, y);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(a[k], b[k], 12) << x << "," << y << "," << k;
        EXPECT_EQ(a[3], b[3]);  // alpha is lossless
      }
    back->Release();
    img->Release();
  }
}

TEST(Ra3Writer, WebPFormSaysItsChannelOrder) {
  ztImage* img = Picture(16, 8, 4, false);
  ztRa3WriteOptions o;
  o.form = ztRa3Form::kWebP;
  o.frameId = 5;
  Bytes file;
  ASSERT_EQ(ztWriteRa3(*img, o, &file), 1);
  int32_t id;
  auto tags = TagsOf(file, &id);
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[1].name, "imgmode");
  EXPECT_EQ(ztGetU32LE(tags[1].data.data()), 1u);
  EXPECT_EQ(tags[2].name, "img_wbp");
  EXPECT_EQ(Bytes(tags[2].data.begin(), tags[2].data.begin() + 4), (Bytes{'R', 'I', 'F', 'F'}));
  EXPECT_EQ(tags[2].data.size(), ztGetU32LE(&tags[2].data[4]) + 8u);
  ztImageRa3* back = Decode(file);
  for (uint32_t y = 0; y < 8; ++y)
    for (uint32_t x = 0; x < 16; ++x) {
      Bytes a = PixelAt(img, x, y), b = PixelAt(back, x, y);
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(a[k], b[k], 16) << x << "," << y << "," << k;
      EXPECT_EQ(b[3], 255);
    }
  back->Release();
  img->Release();
}

TEST(Ra3Writer, RefusesWhatItCannotWrite) {
  ztImage* img = new ztImage;
  Bytes file{1, 2, 3};
  EXPECT_EQ(ztWriteRa3(*img, ztRa3WriteOptions(), &file), 0);
  EXPECT_TRUE(file.empty());
  img->CreateBuffer(2, 2, 2);
  EXPECT_EQ(ztWriteRa3(*img, ztRa3WriteOptions(), &file), 0);
  img->Release();
}

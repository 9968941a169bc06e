#include "image/ztImageJpeg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "platform/ztHeap.h"
#include "tests/common/testutil.h"
#include "tests/image/imagetest.h"

extern "C" {
#include <jpeglib.h>
}

using namespace zt_imgtest;

namespace {

// An independent JPEG writer (libjpeg directly), so the loader is checked
// against files it did not make itself.
Bytes EncodeDirect(uint32_t w, uint32_t h, int components, J_COLOR_SPACE space, const Bytes& pixels,
                   int quality = 95) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &mem, &size);
  c.image_width = w;
  c.image_height = h;
  c.input_components = components;
  c.in_color_space = space;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < h) {
    JSAMPROW row = const_cast<uint8_t*>(&pixels[static_cast<size_t>(c.next_scanline) * w * components]);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Bytes out(mem, mem + size);
  free(mem);
  return out;
}

// A 16 x 16 picture: left half pure red, right half pure blue (RGB order).
Bytes RedBlue(uint32_t w = 16, uint32_t h = 16) {
  Bytes px;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      bool left = x < w / 2;
      px.push_back(left ? 250 : 0);
      px.push_back(0);
      px.push_back(left ? 0 : 250);
    }
  return px;
}

J_COLOR_SPACE ColourSpaceOf(const ztMemBlock& b) {
  jpeg_decompress_struct d;
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, b.data, b.size);
  jpeg_read_header(&d, TRUE);
  J_COLOR_SPACE s = d.jpeg_color_space;
  jpeg_destroy_decompress(&d);
  return s;
}

struct Jpeg {
  ztImageJpeg* p = new ztImageJpeg;
  ~Jpeg() { p->Release(); }
  ztImageJpeg* operator->() { return p; }
};

int Load(ztImageJpeg* img, const Bytes& f) {
  ztMemBlock src(f.data(), static_cast<uint32_t>(f.size()));
  return img->Load(&src, 0);
}

bool Near(uint8_t a, int b) { return std::abs(static_cast<int>(a) - b) <= 12; }

}  // namespace

TEST(JpegLoad, DeliversRedGreenBlueTopRowFirst) {
  // Top half red, bottom half blue, so the row order shows too.
  Bytes px;
  for (uint32_t y = 0; y < 16; ++y)
    for (uint32_t x = 0; x < 18; ++x) {
      px.push_back(y < 8 ? 250 : 0);
      px.push_back(0);
      px.push_back(y < 8 ? 0 : 250);
    }
  Jpeg img;
  ASSERT_EQ(Load(img.p, EncodeDirect(18, 16, 3, JCS_RGB, px)), 1);
  uint32_t w, h;
  img->GetSize(&w, &h);
  EXPECT_EQ(w, 18u);
  EXPECT_EQ(h, 16u);
  EXPECT_EQ(img->GetBytesPerPixel(), 3);
  EXPECT_EQ(img->GetStride(), 56u);  // 54 rounded up
  Bytes top = PixelAt(img.p, 3, 2), bottom = PixelAt(img.p, 3, 13);
  EXPECT_TRUE(Near(top[0], 250) && Near(top[1], 0) && Near(top[2], 0)) << int(top[0]) << " " << int(top[2]);
  EXPECT_TRUE(Near(bottom[0], 0) && Near(bottom[2], 250)) << int(bottom[0]) << " " << int(bottom[2]);
}

TEST(JpegLoad, GreyPicturesComeOutAsThreeEqualBytes) {
  Bytes grey(8 * 8, 0x60);
  Jpeg img;
  ASSERT_EQ(Load(img.p, EncodeDirect(8, 8, 1, JCS_GRAYSCALE, grey)), 1);
  Bytes p = PixelAt(img.p, 4, 4);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0], p[1]);
  EXPECT_EQ(p[1], p[2]);
  EXPECT_TRUE(Near(p[0], 0x60));
}

// Offset of the first marker `code` (after its FF byte), or 0.
size_t FindMarker(const Bytes& f, uint8_t code) {
  for (size_t i = 2; i + 1 < f.size(); ++i)
    if (f[i] == 0xFF && f[i + 1] == code) return i + 1;
  return 0;
}

Bytes Noise(uint32_t w, uint32_t h, int comps, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes px(static_cast<size_t>(w) * h * comps);
  for (auto& b : px) b = static_cast<uint8_t>(rng());
  return px;
}

TEST(JpegLoad, TruncatedDataEndsThePictureInsteadOfFailing) {
  Bytes f = EncodeDirect(64, 64, 3, JCS_RGB, Noise(64, 64, 3, 1));
  size_t sos = FindMarker(f, 0xDA);
  ASSERT_GT(sos, 0u);
  f.resize((sos + f.size()) / 2);  // cut inside the scan data
  Jpeg img;
  EXPECT_EQ(Load(img.p, f), 1);
  uint32_t w;
  img->GetSize(&w, nullptr);
  EXPECT_EQ(w, 64u);
}

TEST(JpegLoad, LibraryErrorsFailWithoutEndingTheProcessOrLeaking) {
  long before = ztHeapLiveBlocks();
  Bytes f = EncodeDirect(32, 32, 3, JCS_RGB, RedBlue(32, 32));
  {
    Jpeg img;
    Bytes bad = f;
    size_t sof = FindMarker(f, 0xC0);
    ASSERT_GT(sof, 0u);
    bad[sof + 4] = 0;  // height 0: libjpeg's fatal "empty image"
    bad[sof + 5] = 0;
    EXPECT_EQ(Load(img.p, bad), 0);
    EXPECT_EQ(Load(img.p, Bytes{0xFF, 0xD8, 0xFF, 0xD9, 0, 0, 0, 0, 0, 0, 0}), 0);  // no frame
    EXPECT_EQ(Load(img.p, Bytes(f.begin(), f.begin() + 10)), 0);                     // under 11 bytes
  }
  EXPECT_EQ(ztHeapLiveBlocks(), before);
}

TEST(JpegLoad, DamagedFilesNeverReadOutside) {
  Bytes f = EncodeDirect(24, 16, 3, JCS_RGB, RedBlue(24, 16));
  MutateAndLoad(f, 41, 300, [](const Bytes& d) {
    Jpeg img;
    Load(img.p, d);
  });
}

TEST(JpegDetect, NeedsElevenBytesFfd8AndAReadableHeader) {
  Bytes f = EncodeDirect(8, 8, 3, JCS_RGB, RedBlue(8, 8));
  EXPECT_EQ(ztImageJpeg::Detect(f.data(), static_cast<uint32_t>(f.size())), 1);
  EXPECT_EQ(ztImageJpeg::Detect(f.data(), 10), 0);
  Bytes noSoi = f;
  noSoi[1] = 0xD9;
  EXPECT_EQ(ztImageJpeg::Detect(noSoi.data(), static_cast<uint32_t>(noSoi.size())), 0);
  Bytes junk = {0xFF, 0xD8, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(ztImageJpeg::Detect(junk.data(), static_cast<uint32_t>(junk.size())), 0);
}

TEST(JpegSave, ThreeBytesAreWrittenAsRgbAndReadBackInOrder) {
  Jpeg img;
  Bytes px = RedBlue();
  img->CreateBuffer(16, 16, 3);
  for (uint32_t y = 0; y < 16; ++y) memcpy(img->GetPixelAddress(0, y), &px[y * 48], 48);
  ztMemBlock out;
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  EXPECT_EQ(out.data[0], 0xFF);
  EXPECT_EQ(out.data[1], 0xD8);
  EXPECT_EQ(out.data[out.size - 2], 0xFF);  // exact length: ends with EOI
  EXPECT_EQ(out.data[out.size - 1], 0xD9);
  EXPECT_GE(out.capacity, 8192u);
  EXPECT_EQ(ColourSpaceOf(out), JCS_YCbCr);
  Jpeg back;
  ztMemBlock src(out.data, out.size);
  ASSERT_EQ(back->Load(&src, 0), 1);
  Bytes left = PixelAt(back.p, 2, 5), right = PixelAt(back.p, 13, 5);
  EXPECT_TRUE(Near(left[0], 250) && Near(left[2], 0));
  EXPECT_TRUE(Near(right[0], 0) && Near(right[2], 250));
}

TEST(JpegSave, FourBytePixelsAreWrittenAsCmyk) {
  Jpeg img;
  FillPattern(img.p, 8, 8, 4);
  ztMemBlock out;
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  EXPECT_EQ(ColourSpaceOf(out), JCS_CMYK);
}

TEST(JpegSave, RunningOutOfOutputRoomFailsCleanly) {
  // Four-component noise at quality 100 (no subsampling) packs to more than
  // the raw bytes, which is all the room the saver gives itself.
  long before = ztHeapLiveBlocks();
  {
    Jpeg img;
    std::mt19937 rng(3);
    FillImage(img.p, 64, 64, 4, [&](uint32_t, uint32_t, int) { return static_cast<uint8_t>(rng()); });
    img->SetQuality(100);
    ztMemBlock out;
    EXPECT_EQ(img->Save(&out, 0, 0, 0, 0), 0);
    EXPECT_EQ(out.data, nullptr);
  }
  EXPECT_EQ(ztHeapLiveBlocks(), before);
}

TEST(JpegSave, RefusesEmptyAndOneBytePictures) {
  Jpeg img;
  ztMemBlock out;
  EXPECT_EQ(img->Save(&out, 0, 0, 0, 0), 0);
  img->CreateBuffer(4, 4, 1);
  EXPECT_EQ(img->Save(&out, 0, 0, 0, 0), 0);
  EXPECT_EQ(img->GetQuality(), 90);
}

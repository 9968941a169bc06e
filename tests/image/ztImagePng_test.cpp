#include "image/ztImagePng.h"

#include <gtest/gtest.h>
#include <png.h>

#include "platform/ztHeap.h"
#include "tests/image/imagetest.h"

using namespace zt_imgtest;

namespace {

struct PngSpec {
  uint32_t w = 2;
  uint32_t h = 2;
  int type = PNG_COLOR_TYPE_RGB;
  int depth = 8;
  Bytes rows;  // packed rows as PNG stores them, top first
  std::vector<png_color> palette;
  Bytes trnsAlpha;              // palette tRNS
  png_color_16 trnsColour = {};  // grey / RGB tRNS
  bool hasTrnsColour = false;
  bool interlace = false;
};

void Append(png_structp png, png_bytep data, size_t n) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}
void NoFlush(png_structp) {}

// An independent PNG writer (libpng directly, no channel swaps), so the
// loader is checked against files it did not make itself.
Bytes EncodeDirect(const PngSpec& s) {
  Bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, Append, NoFlush);
  png_set_IHDR(png, info, s.w, s.h, s.depth, s.type, s.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!s.palette.empty()) png_set_PLTE(png, info, s.palette.data(), static_cast<int>(s.palette.size()));
  if (!s.trnsAlpha.empty())
    png_set_tRNS(png, info, s.trnsAlpha.data(), static_cast<int>(s.trnsAlpha.size()), nullptr);
  if (s.hasTrnsColour) png_set_tRNS(png, info, nullptr, 0, const_cast<png_color_16*>(&s.trnsColour));
  png_write_info(png, info);
  size_t rowBytes = s.rows.size() / s.h;
  std::vector<png_bytep> rows(s.h);
  for (uint32_t y = 0; y < s.h; ++y) rows[y] = const_cast<uint8_t*>(&s.rows[y * rowBytes]);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

struct Png {
  ztImagePng* p = new ztImagePng;
  ~Png() { p->Release(); }
  ztImagePng* operator->() { return p; }
};

int Load(ztImagePng* img, const Bytes& f) {
  ztMemBlock src(f.data(), static_cast<uint32_t>(f.size()));
  return img->Load(&src, 0);
}

}  // namespace

TEST(PngLoad, RgbBecomesBlueGreenRedTopRowFirst) {
  PngSpec s;
  s.w = 3;
  s.rows = {10, 20, 30, 11, 21, 31, 12, 22, 32,  // top row
            40, 50, 60, 41, 51, 61, 42, 52, 62};
  Png img;
  ASSERT_EQ(Load(img.p, EncodeDirect(s)), 1);
  EXPECT_EQ(img->GetBytesPerPixel(), 3);
  EXPECT_EQ(img->GetStride(), 12u);
  EXPECT_EQ(PixelAt(img.p, 0, 0), (Bytes{30, 20, 10}));
  EXPECT_EQ(PixelAt(img.p, 2, 1), (Bytes{62, 52, 42}));
}

TEST(PngLoad, RgbaKeepsAlphaLast) {
  PngSpec s;
  s.w = 1;
  s.h = 1;
  s.type = PNG_COLOR_TYPE_RGB_ALPHA;
  s.rows = {1, 2, 3, 4};
  Png img;
  ASSERT_EQ(Load(img.p, EncodeDirect(s)), 1);
  EXPECT_EQ(PixelAt(img.p, 0, 0), (Bytes{3, 2, 1, 4}));
  EXPECT_EQ(img->GetStride(), 4u);
}

TEST(PngLoad, PaletteWithTrnsBecomesBgra) {
  PngSpec s;
  s.type = PNG_COLOR_TYPE_PALETTE;
  s.palette = {{200, 100, 50}, {1, 2, 3}};
  s.trnsAlpha = {0x80};  // entry 0 half transparent, entry 1 opaque
  s.rows = {0, 1, 1, 0};
  Png img;
  ASSERT_EQ(Load(img.p, EncodeDirect(s)), 1);
  EXPECT_EQ(img->GetBytesPerPixel(), 4);
  EXPECT_EQ(PixelAt(img.p, 0, 0), (Bytes{50, 100, 200, 0x80}));
  EXPECT_EQ(PixelAt(img.p, 1, 0), (Bytes{3, 2, 1, 255}));
}

TEST(PngLoad, PaletteWithoutTrnsIsThreeBytes) {
  PngSpec s;
  s.type = PNG_COLOR_TYPE_PALETTE;
  s.depth = 4;
  s.palette = {{200, 100, 50}, {1, 2, 3}};
  s.rows = {0x01, 0x10};
  Png img;
  ASSERT_EQ(Load(img.p, EncodeDirect(s)), 1);
  EXPECT_EQ(img->GetBytesPerPixel(), 3);
  EXPECT_EQ(PixelAt(img.p, 1, 0), (Bytes{3, 2, 1}));
  EXPECT_EQ(PixelAt(img.p, 0, 1), (Bytes{3, 2, 1}));
}

TEST(PngLoad, GreyOfDepth4GivesThreeEqualBytes) {
  PngSpec s;
  s.w = 3;
  s.type = PNG_COLOR_TYPE_GRAY;
  s.depth = 4;
  s.rows = {0xF8, 0x30, 0x1F, 0x00};  // row 0: 15, 8, 3; row 1: 1, 15, 0
  Png img;
  ASSERT_EQ(Load(img.p, EncodeDirect(s)), 1);
  EXPECT_EQ(img->GetBytesPerPixel(), 3);
  EXPECT_EQ(PixelAt(img.p, 0, 0), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(PixelAt(img.p, 1, 0), (Bytes{0x88, 0x88, 0x88}));
  EXPECT_EQ(PixelAt(img.p, 2, 0), (Bytes{0x33, 0x33, 0x33}));
  EXPECT_EQ(PixelAt(img.p, 0, 1), (Bytes{0x11, 0x11, 0x11}));
}

TEST(PngLoad, GreyWithAlphaBecomesBgra) {
  PngSpec s;
  s.w = 2;
  s.h = 1;
  s.type = PNG_COLOR_TYPE_GRAY_ALPHA;
  s.rows = {0x40, 0x10, 0xC0, 0xFF};
  Png img;
  ASSERT_EQ(Load(img.p, EncodeDirect(s)), 1);
  EXPECT_EQ(img->GetBytesPerPixel(), 4);
  EXPECT_EQ(PixelAt(img.p, 0, 0), (Bytes{0x40, 0x40, 0x40, 0x10}));
  EXPECT_EQ(PixelAt(img.p, 1, 0), (Bytes{0xC0, 0xC0, 0xC0, 0xFF}));
}

TEST(PngLoad, GreyWithTrnsBecomesBgra) {
  PngSpec s;
  s.w = 2;
  s.h = 1;
  s.type = PNG_COLOR_TYPE_GRAY;
  s.rows = {7, 9};
  s.hasTrnsColour = true;
  s.trnsColour.gray = 7;
  Png img;
  ASSERT_EQ(Load(img.p, EncodeDirect(s)), 1);
  EXPECT_EQ(PixelAt(img.p, 0, 0), (Bytes{7, 7, 7, 0}));
  EXPECT_EQ(PixelAt(img.p, 1, 0), (Bytes{9, 9, 9, 255}));
}

TEST(PngLoad, SixteenBitSamplesAreCutTo8) {
  PngSpec s;
  s.w = 1;
  s.h = 1;
  s.depth = 16;
  s.rows = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  Png img;
  ASSERT_EQ(Load(img.p, EncodeDirect(s)), 1);
  EXPECT_EQ(PixelAt(img.p, 0, 0), (Bytes{0x9A, 0x56, 0x12}));
}

TEST(PngLoad, InterlacedPicturesReadWhole) {
  PngSpec s;
  s.w = 9;
  s.h = 9;
  for (uint32_t y = 0; y < 9; ++y)
    for (uint32_t x = 0; x < 9; ++x)
      for (int k = 0; k < 3; ++k) s.rows.push_back(Pattern(x, y, k));
  s.interlace = true;
  Png img;
  ASSERT_EQ(Load(img.p, EncodeDirect(s)), 1);
  for (uint32_t y = 0; y < 9; ++y)
    for (uint32_t x = 0; x < 9; ++x)
      ASSERT_EQ(PixelAt(img.p, x, y), (Bytes{Pattern(x, y, 2), Pattern(x, y, 1), Pattern(x, y, 0)})) << x << "," << y;
}

TEST(PngLoad, LibraryErrorsFailWithoutLeaking) {
  PngSpec s;
  s.w = 40;
  s.h = 40;
  s.rows.assign(40 * 40 * 3, 0x55);
  Bytes f = EncodeDirect(s);
  long before = ztHeapLiveBlocks();
  {
    Png img;
    EXPECT_EQ(Load(img.p, Bytes(f.begin(), f.begin() + f.size() - 30)), 0);  // truncated
    Bytes crc = f;
    crc[20] ^= 0xFF;  // inside IHDR: CRC error
    EXPECT_EQ(Load(img.p, crc), 0);
    EXPECT_EQ(Load(img.p, Bytes{0x89, 'P', 'N', 'G'}), 0);
  }
  EXPECT_EQ(ztHeapLiveBlocks(), before);
}

TEST(PngLoad, DamagedFilesNeverReadOutside) {
  PngSpec s;
  s.type = PNG_COLOR_TYPE_PALETTE;
  s.palette = {{200, 100, 50}, {1, 2, 3}};
  s.trnsAlpha = {0x80};
  s.w = 5;
  s.h = 4;
  s.rows.assign(20, 1);
  MutateAndLoad(EncodeDirect(s), 51, 400, [](const Bytes& d) {
    Png img;
    Load(img.p, d);
  });
}

TEST(PngDetect, SignatureOverTheFirstEightBytesAtMost) {
  Bytes sig = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_EQ(ztImagePng::Detect(sig.data(), 8), 1);
  EXPECT_EQ(ztImagePng::Detect(sig.data(), 3), 1);  // a prefix passes
  sig[7] = 0;
  EXPECT_EQ(ztImagePng::Detect(sig.data(), 8), 0);
}

TEST(PngSave, WritesRgbOrRgbaThatReadsBackExactly) {
  Png img;
  FillPattern(img.p, 5, 3, 4);
  ztMemBlock out;
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  EXPECT_EQ(out.size % 8, 0u);
  EXPECT_EQ(out.data[25], PNG_COLOR_TYPE_RGB_ALPHA);  // IHDR colour type
  // Read back with libpng directly: the file holds red, green, blue, alpha.
  png_image pi = {};
  pi.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_memory(&pi, out.data, out.size));
  pi.format = PNG_FORMAT_RGBA;
  Bytes rgba(PNG_IMAGE_SIZE(pi));
  ASSERT_TRUE(png_image_finish_read(&pi, nullptr, rgba.data(), 0, nullptr));
  size_t at = (2 * 5 + 4) * 4;
  EXPECT_EQ(rgba[at], Pattern(4, 2, 2));
  EXPECT_EQ(rgba[at + 2], Pattern(4, 2, 0));
  EXPECT_EQ(rgba[at + 3], Pattern(4, 2, 3));
  Png back;
  ztMemBlock src(out.data, out.size);
  ASSERT_EQ(back->Load(&src, 0), 1);
  for (uint32_t y = 0; y < 3; ++y) EXPECT_EQ(0, memcmp(back->GetPixelAddress(0, y), img->GetPixelAddress(0, y), 20));

  Png rgb;
  FillPattern(rgb.p, 3, 2, 3);
  ASSERT_EQ(rgb->Save(&out, 0, 0, 0, 0), 1);
  EXPECT_EQ(out.data[25], PNG_COLOR_TYPE_RGB);
}

TEST(PngSave, CropsToVisiblePixelsOnlyWhenAsked) {
  Png img;
  ASSERT_EQ(img->CreateBuffer(6, 6, 4), 1);
  img->GetPixelAddress(2, 3)[3] = 255;
  ztMemBlock out;
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  EXPECT_EQ(ztGetU32LE(out.data + 16), 0x06000000u);  // width 6, big-endian
  img->SetCropOnSave(1);
  ASSERT_EQ(img->Save(&out, 0, 0, 0, 0), 1);
  uint32_t w, h;
  img->GetSize(&w, &h);
  EXPECT_EQ(w, 1u);
  EXPECT_EQ(h, 1u);
  Png empty;
  ASSERT_EQ(empty->CreateBuffer(6, 6, 4), 1);
  empty->SetCropOnSave(1);
  ASSERT_EQ(empty->Save(&out, 0, 0, 0, 0), 1);  // fully transparent: 2 x 2
  empty->GetSize(&w, &h);
  EXPECT_EQ(w, 2u);
  EXPECT_EQ(h, 2u);
}

// Painting the splash picture (Windows build).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/SplashPicture.h"
#include "app/UpdaterUi.h"
#include "image/ztImage.h"
#include "image/ztImageHolder.h"
#include "tests/common/testutil.h"
#include "tools/ra3writer.h"

namespace {

// 3x2 picture: top row red, green, blue; bottom row white, black, grey; as
// an RA-3 file made with the image tool's writer.
std::string Ra3() {
  static const uint32_t kColours[6] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x000000, 0x808080};
  ztImage image;
  image.CreateBuffer(3, 2, 4);
  for (int i = 0; i < 6; ++i) {
    uint8_t* p = image.GetPixelAddress(i % 3, i / 3);
    p[0] = static_cast<uint8_t>(kColours[i]);
    p[1] = static_cast<uint8_t>(kColours[i] >> 8);
    p[2] = static_cast<uint8_t>(kColours[i] >> 16);
    p[3] = 255;
  }
  std::vector<uint8_t> out;
  ztWriteRa3(image, ztRa3WriteOptions(), &out);
  return std::string(out.begin(), out.end());
}

// The picture as the start-up prepares it, painted on a 32-bit memory bitmap
// of 5x4 pixels first filled with 0x123456; returns the bitmap's pixels.
std::vector<uint32_t> PaintOnBitmap(const ztImageHolder* holder) {
  HDC dc = CreateCompatibleDC(nullptr);
  BITMAPINFO bmi = {};
  bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bmi.bmiHeader.biWidth = 5;
  bmi.bmiHeader.biHeight = -4;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, dib);
  auto* p = static_cast<uint32_t*>(bits);
  for (int i = 0; i < 20; ++i) p[i] = 0x123456;
  PaintSplashPicture(dc, holder);
  GdiFlush();
  std::vector<uint32_t> out(p, p + 20);
  for (uint32_t& v : out) v &= 0xFFFFFF;
  SelectObject(dc, old);
  DeleteObject(dib);
  DeleteDC(dc);
  return out;
}

}  // namespace

TEST(PaintSplashPicture, ThePictureUprightAtTheOriginInItsOwnSize) {
  zt_test::TempDir dir;
  ASSERT_TRUE(dir.Write(u"updatebg.ra3", Ra3()));
  std::unique_ptr<ztImageHolder> holder(LoadSplashPicture(dir.Join(u"updatebg.ra3").c_str()));
  ASSERT_NE(holder, nullptr);
  ASSERT_TRUE(SplashPaintable(holder.get()));
  const std::vector<uint32_t> px = PaintOnBitmap(holder.get());
  EXPECT_EQ(px[0], 0xFF0000u);
  EXPECT_EQ(px[1], 0x00FF00u);
  EXPECT_EQ(px[2], 0x0000FFu);
  EXPECT_EQ(px[5], 0xFFFFFFu);
  EXPECT_EQ(px[6], 0x000000u);
  EXPECT_EQ(px[7], 0x808080u);
  // Nothing outside the picture is touched.
  EXPECT_EQ(px[3], 0x123456u);
  EXPECT_EQ(px[10], 0x123456u);
}

TEST(PaintSplashPicture, NothingHeldPaintsNothing) {
  ztImageHolder empty;
  EXPECT_EQ(PaintOnBitmap(&empty), std::vector<uint32_t>(20, 0x123456u));
  EXPECT_EQ(PaintOnBitmap(nullptr), std::vector<uint32_t>(20, 0x123456u));
}

#include "app/SplashPicture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "image/ztImage.h"
#include "image/ztImageHolder.h"
#include "tests/common/testutil.h"
#include "tools/ra3writer.h"

namespace {

// An RA-3 file (lossless strips, made with the image tool's writer) of a
// w x h picture whose top row is red and every other row blue, row 0 the top.
std::string Ra3(int w, int h, int alphaOfFirstColumn = 255) {
  ztImage image;
  if (!image.CreateBuffer(w, h, 4)) return std::string();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = image.GetPixelAddress(x, y);
      p[0] = y == 0 ? 0x00 : 0xFF;  // blue first
      p[1] = 0x00;
      p[2] = y == 0 ? 0xFF : 0x00;
      p[3] = x == 0 ? static_cast<uint8_t>(alphaOfFirstColumn) : 255;
    }
  std::vector<uint8_t> out;
  if (!ztWriteRa3(image, ztRa3WriteOptions(), &out)) return std::string();
  return std::string(out.begin(), out.end());
}

struct HolderDeleter {
  void operator()(ztImageHolder* h) const { delete h; }
};
using Holder = std::unique_ptr<ztImageHolder, HolderDeleter>;

}  // namespace

class SplashPicture : public ::testing::Test {
 protected:
  Holder Load(const std::string& bytes) {
    dir_.Write(u"updatebg.ra3", bytes);
    return Holder(LoadSplashPicture(dir_.Join(u"updatebg.ra3").c_str()));
  }
  zt_test::TempDir dir_;
};

TEST_F(SplashPicture, MissingEmptyOrUndecodableFilesGiveNoPicture) {
  EXPECT_EQ(LoadSplashPicture(dir_.Join(u"updatebg.ra3").c_str()), nullptr);
  EXPECT_EQ(Load(""), nullptr);
  EXPECT_EQ(Load("RA-3"), nullptr);
  EXPECT_EQ(Load("just some text"), nullptr);
  // A picture cut short is not shown either.
  const std::string ra3 = Ra3(7, 3);
  ASSERT_FALSE(ra3.empty());
  EXPECT_EQ(Load(ra3.substr(0, ra3.size() - 5)), nullptr);
}

TEST_F(SplashPicture, ReadyForPaintingBottomUpWithBitmapStride) {
  Holder h = Load(Ra3(7, 3));
  ASSERT_NE(h, nullptr);
  uint32_t w = 0, hh = 0;
  h->GetSize(&w, &hh);
  EXPECT_EQ(w, 7u);
  EXPECT_EQ(hh, 3u);
  ASSERT_TRUE(SplashPaintable(h.get()));
  EXPECT_EQ(h->GetStride(), DibStride(7, h->GetBytesPerPixel()));
  // Flipped: the picture's top (red) row is the buffer's last row.
  const int bpp = h->GetBytesPerPixel();
  const uint8_t* last = h->GetPixels() + 2 * h->GetStride();
  const uint8_t* first = h->GetPixels();
  EXPECT_EQ(last[0], 0x00);
  EXPECT_EQ(last[2], 0xFF);
  EXPECT_EQ(first[0], 0xFF);
  EXPECT_EQ(first[2], 0x00);
  EXPECT_EQ(first[bpp * 6], 0xFF);
}

TEST_F(SplashPicture, TransparentPixelsAreFlattenedOntoWhite) {
  Holder h = Load(Ra3(4, 2, 0));  // first column fully transparent
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetBytesPerPixel(), 3);
  EXPECT_EQ(h->GetStride(), 12u);
  const uint8_t* row = h->GetPixels();  // the picture's bottom row (blue)
  EXPECT_EQ(row[0], 0xFF);
  EXPECT_EQ(row[1], 0xFF);
  EXPECT_EQ(row[2], 0xFF);
  EXPECT_EQ(row[3], 0xFF);
  EXPECT_EQ(row[4], 0x00);
  EXPECT_EQ(row[5], 0x00);
}

TEST(SplashClientSize, ThePicturesSizeOrTheDefault) {
  uint32_t w = 1, h = 1;
  SplashClientSize(nullptr, &w, &h);
  EXPECT_EQ(w, 640u);
  EXPECT_EQ(h, 360u);
  ztImageHolder empty;
  SplashClientSize(&empty, &w, &h);
  EXPECT_EQ(w, 640u);
  EXPECT_EQ(h, 360u);
}

TEST(DibStride, RowsPaddedToFourBytes) {
  EXPECT_EQ(DibStride(1, 3), 4u);
  EXPECT_EQ(DibStride(4, 3), 12u);
  EXPECT_EQ(DibStride(5, 3), 16u);
  EXPECT_EQ(DibStride(3, 4), 12u);
  EXPECT_EQ(DibStride(0x7FFFFFFF, 4), 0u);  // does not fit 32 bits
  EXPECT_EQ(DibStride(5, 0), 0u);
}

TEST(SplashPaintable, NothingHeldIsNotPaintable) {
  EXPECT_EQ(SplashPaintable(nullptr), 0);
  ztImageHolder empty;
  EXPECT_EQ(SplashPaintable(&empty), 0);
}

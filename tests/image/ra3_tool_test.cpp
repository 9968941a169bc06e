#include "tools/imagetool.h"

#include <gtest/gtest.h>

#include "image/ztImageHolder.h"
#include "image/ztImageJpeg.h"
#include "image/ztImagePng.h"
#include "image/ztImageRa3.h"
#include "tests/common/testutil.h"
#include "tests/image/ra3_testbytes.h"

using namespace zt_ra3test;
using zt_imgtest::PixelAt;

namespace {

struct ToolRun {
  int rc;
  std::string out, err;
};

ToolRun Tool(std::vector<std::u16string> args) {
  ToolRun r;
  r.rc = RunImageTool(args, &r.out, &r.err);
  return r;
}

Bytes ReadBytes(const zt_test::TempDir& dir, const std::u16string& name) {
  std::string s = dir.Read(name);
  return Bytes(s.begin(), s.end());
}

// A PNG with transparent and opaque pixels, written by the library's saver.
std::string PngFile(uint32_t w, uint32_t h) {
  ztImagePng* png = new ztImagePng;
  zt_imgtest::FillImage(png, w, h, 4, [](uint32_t x, uint32_t y, int k) {
    return static_cast<uint8_t>(k == 3 ? (x < 2 ? 0 : 255) : k * 50 + x * 9 + y * 21);
  });
  ztMemBlock out;
  png->Save(&out, 0, 0, 0, 0);
  png->Release();
  return std::string(reinterpret_cast<char*>(out.data), out.size);
}

// Decodes a file through the holder (the updater's path).
std::vector<Bytes> PixelsOf(const Bytes& file, int32_t* format) {
  ztMemBlock src(file.data(), static_cast<uint32_t>(file.size()));
  ztImageHolder holder;
  std::vector<Bytes> px;
  if (!holder.LoadFromMemory(&src, 0, 0)) return px;
  *format = holder.GetFormat();
  ztImage* img = holder.GetImage();
  for (uint32_t y = 0; y < img->GetHeight(); ++y)
    for (uint32_t x = 0; x < img->GetWidth(); ++x) px.push_back(PixelAt(img, x, y));
  return px;
}

}  // namespace

TEST(ImageToolCommands, PngToRa3StripsIsWhatTheUpdaterDecodes) {
  zt_test::TempDir dir;
  ASSERT_TRUE(dir.Write(u"in.png", PngFile(9, 6)));
  ToolRun r = Tool({u"convert", dir.Join(u"in.png"), dir.Join(u"updatebg.ra3"), u"--form", u"strips", u"--strip-height",
                    u"4", u"--id", u"0"});
  ASSERT_EQ(r.rc, 0) << r.err;
  int32_t pngFormat = 0, ra3Format = 0;
  auto want = PixelsOf(ReadBytes(dir, u"in.png"), &pngFormat);
  auto got = PixelsOf(ReadBytes(dir, u"updatebg.ra3"), &ra3Format);
  EXPECT_EQ(ra3Format, ZTIMAGE_FORMAT_RA3);
  EXPECT_EQ(got, want);

  ToolRun info = Tool({u"info", dir.Join(u"updatebg.ra3")});
  ASSERT_EQ(info.rc, 0) << info.err;
  EXPECT_NE(info.out.find("format: RA-3\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("size: 9 x 6\n"), std::string::npos);
  EXPECT_NE(info.out.find("bytes per pixel: 4\n"), std::string::npos);
  EXPECT_NE(info.out.find("canvas: 9 x 6\n"), std::string::npos);
  EXPECT_NE(info.out.find("frame 0: id 0, tags: stdinfo img0000 img0001\n"), std::string::npos) << info.out;
}

TEST(ImageToolCommands, RoundTripsThroughEveryLosslessFormat) {
  zt_test::TempDir dir;
  ASSERT_TRUE(dir.Write(u"in.png", PngFile(7, 5)));
  int32_t format = 0;
  auto want = PixelsOf(ReadBytes(dir, u"in.png"), &format);
  for (const char16_t* ext : {u"bmp", u"ztf", u"ra3", u"zo2"}) {
    std::u16string mid = std::u16string(u"mid.") + ext;
    ASSERT_EQ(Tool({u"convert", dir.Join(u"in.png"), dir.Join(mid)}).rc, 0);
    ToolRun back = Tool({u"convert", dir.Join(mid), dir.Join(u"back.png")});
    ASSERT_EQ(back.rc, 0) << back.err;
    // The ZTF saver clears the colour of fully transparent pixels; a ZO-2
    // frame is stored cropped to its opaque part and comes back on its
    // canvas, transparent around it.
    auto expect = want;
    if (std::u16string(ext) == u"ztf" || std::u16string(ext) == u"zo2")
      for (auto& p : expect)
        if (p[3] == 0) p = Bytes(4, 0);
    EXPECT_EQ(PixelsOf(ReadBytes(dir, u"back.png"), &format), expect) << zt_test::Utf8(ext);
  }
}

TEST(ImageToolCommands, Zo2OutputKeepsTheFrameIdAndInfoListsIt) {
  zt_test::TempDir dir;
  ASSERT_TRUE(dir.Write(u"in.png", PngFile(7, 5)));
  ASSERT_EQ(Tool({u"convert", dir.Join(u"in.png"), dir.Join(u"out.zo2"), u"--id", u"12"}).rc, 0);
  ToolRun info = Tool({u"info", dir.Join(u"out.zo2")});
  ASSERT_EQ(info.rc, 0) << info.err;
  EXPECT_NE(info.out.find("format: ZO-2\n"), std::string::npos);
  EXPECT_NE(info.out.find("frame 0: id 12"), std::string::npos) << info.out;
  // Columns 0 and 1 are transparent: cropped, with the offset kept.
  EXPECT_NE(info.out.find("size: 5 x 5\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("offset: 2, 0\n"), std::string::npos);
  EXPECT_EQ(Tool({u"info", dir.Join(u"out.zo2"), u"--frame", u"3"}).rc, 1);
}

TEST(ImageToolCommands, JpegInputIsBroughtToBlueFirstOrder) {
  zt_test::TempDir dir;
  ztImageJpeg* jpeg = new ztImageJpeg;
  zt_imgtest::FillImage(jpeg, 8, 8, 3, [](uint32_t, uint32_t, int k) {
    return static_cast<uint8_t>(k == 0 ? 200 : k == 1 ? 100 : 20);  // red 200, green 100, blue 20
  });
  ztMemBlock out;
  ASSERT_EQ(jpeg->Save(&out, 0, 0, 0, 0), 1);
  jpeg->Release();
  ASSERT_TRUE(dir.Write(u"in.jpg", std::string(reinterpret_cast<char*>(out.data), out.size)));
  for (const char16_t* form : {u"strips", u"jpg", u"wbp"}) {
    ASSERT_EQ(Tool({u"convert", dir.Join(u"in.jpg"), dir.Join(u"out.ra3"), u"--form", form}).rc, 0);
    int32_t format = 0;
    auto px = PixelsOf(ReadBytes(dir, u"out.ra3"), &format);
    ASSERT_FALSE(px.empty());
    EXPECT_NEAR(px[0][0], 20, 6) << zt_test::Utf8(form);
    EXPECT_NEAR(px[0][1], 100, 6);
    EXPECT_NEAR(px[0][2], 200, 6);
    EXPECT_EQ(px[0][3], 255);
  }
}

TEST(ImageToolCommands, BadCommandLinesAndFiles) {
  zt_test::TempDir dir;
  ToolRun none = Tool({});
  EXPECT_EQ(none.rc, 2);
  EXPECT_NE(none.err.find("usage:"), std::string::npos);
  EXPECT_EQ(Tool({u"explode"}).rc, 2);
  EXPECT_EQ(Tool({u"convert", u"a.png"}).rc, 2);
  ASSERT_TRUE(dir.Write(u"in.png", PngFile(3, 3)));
  EXPECT_EQ(Tool({u"convert", dir.Join(u"in.png"), dir.Join(u"o.ra3"), u"--form", u"gif"}).rc, 2);
  EXPECT_EQ(Tool({u"convert", dir.Join(u"in.png"), dir.Join(u"o.ra3"), u"--strip-height"}).rc, 2);
  EXPECT_EQ(Tool({u"convert", dir.Join(u"in.png"), dir.Join(u"o.ra3"), u"--quality", u"0"}).rc, 2);
  ToolRun ext = Tool({u"convert", dir.Join(u"in.png"), dir.Join(u"o.gif")});
  EXPECT_EQ(ext.rc, 1);
  EXPECT_NE(ext.err.find("unknown output extension"), std::string::npos);
  ToolRun missing = Tool({u"convert", dir.Join(u"nothing.png"), dir.Join(u"o.ra3")});
  EXPECT_EQ(missing.rc, 1);
  EXPECT_NE(missing.err.find("cannot read"), std::string::npos);
  ASSERT_TRUE(dir.Write(u"junk.bin", "not a picture"));
  EXPECT_EQ(Tool({u"convert", dir.Join(u"junk.bin"), dir.Join(u"o.ra3")}).rc, 1);
  EXPECT_EQ(dir.Read(u"o.ra3"), "<missing>");
}

#include "platform/ztLimits.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "file/ztStringList.h"
#include "image/ztImageBmp.h"
#include "image/ztImageHolder.h"
#include "image/ztImageJpeg.h"
#include "image/ztImagePng.h"
#include "image/ztImageWebP.h"
#include "image/ztImageZo2.h"
#include "image/ztImageZtf.h"
#include "tests/common/testutil.h"
#include "tools/ra3writer.h"
#include "xml/ztXml.h"
#include "xml/ztXmlParser.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Limits : public ::testing::Test {
 protected:
  void SetUp() override {
    ztResetLimits();
    zt_test::ClearLog();
  }
  void TearDown() override { ztResetLimits(); }
};

std::string PictureMessage(unsigned w, unsigned h) {
  char text[200];
  std::snprintf(text, sizeof text, kMsgPictureTooLarge, w, h);
  return text;
}

// ---- the values themselves ------------------------------------------------

TEST_F(Limits, DefaultsAreInPlaceAndSetReturnsThePreviousValue) {
  EXPECT_EQ(ztGetLimit(ZTLIMIT_PICTURE_PIXELS), 0x10000000u);
  EXPECT_EQ(ztGetLimit(ZTLIMIT_PICTURE_BYTES), 0x40000000u);
  EXPECT_EQ(ztGetLimit(ZTLIMIT_XML_BYTES), 64u << 20);
  EXPECT_EQ(ztGetLimit(ZTLIMIT_INSTALL_LOG_BYTES), 64u << 20);
  // The picture byte limit is the one the image header has always named.
  EXPECT_EQ(ztDefaultLimit(ZTLIMIT_PICTURE_BYTES), ZT_IMAGE_MAX_BYTES);

  EXPECT_EQ(ztSetLimit(ZTLIMIT_XML_BYTES, 100), 64u << 20);
  EXPECT_EQ(ztGetLimit(ZTLIMIT_XML_BYTES), 100u);
  EXPECT_EQ(ztSetLimit(ZTLIMIT_XML_BYTES, 0), 100u);  // 0 restores the default
  EXPECT_EQ(ztGetLimit(ZTLIMIT_XML_BYTES), 64u << 20);
  ztSetLimit(ZTLIMIT_PICTURE_PIXELS, 5);
  ztResetLimits();
  EXPECT_EQ(ztGetLimit(ZTLIMIT_PICTURE_PIXELS), 0x10000000u);
}

TEST_F(Limits, UnknownKindsChangeNothing) {
  EXPECT_EQ(ztSetLimit(-1, 5), 0u);
  EXPECT_EQ(ztSetLimit(ZTLIMIT_COUNT, 5), 0u);
  EXPECT_EQ(ztGetLimit(ZTLIMIT_COUNT), 0u);
  EXPECT_EQ(ztDefaultLimit(-1), 0u);
  for (int k = 0; k < ZTLIMIT_COUNT; ++k) EXPECT_EQ(ztGetLimit(k), ztDefaultLimit(k));
}

TEST_F(Limits, PixelCountIsComputedWithoutWrapping) {
  ztSetLimit(ZTLIMIT_PICTURE_PIXELS, 0xFFFFFFFFu);
  // 0x10000 x 0x10000 wraps to 0 in 32 bits.
  EXPECT_FALSE(ztPictureWithinLimit(0x10000, 0x10000));
  EXPECT_TRUE(ztPictureWithinLimit(0xFFFFFFFFu, 1));
  EXPECT_FALSE(ztPictureWithinLimit(0, 5));
  EXPECT_FALSE(ztPictureWithinLimit(5, 0));
}

// ---- largest picture in pixels ----------------------------------------------

// A 4 x 3 picture of `bpp` bytes per pixel.
template <class Image>
Image* Picture(int bpp) {
  Image* img = new Image;
  img->CreateBuffer(4, 3, bpp);
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 4; ++x)
      for (int k = 0; k < bpp; ++k) img->GetPixelAddress(x, y)[k] = static_cast<uint8_t>(x * 40 + y * 70 + k * 20 + 9);
  return img;
}

template <class Image>
Bytes Saved(int bpp) {
  Image* img = Picture<Image>(bpp);
  ztMemBlock block;
  Bytes out;
  if (img->Save(&block, 0, 0, 0, 0)) out.assign(block.data, block.data + block.size);
  img->Release();
  return out;
}

Bytes Ra3File() {
  ztImage* img = Picture<ztImage>(4);
  Bytes out;
  ztWriteRa3(*img, ztRa3WriteOptions(), &out);
  img->Release();
  return out;
}

// An uncompressed 8-bit RGB PSD of 4 x 3.
Bytes PsdFile() {
  Bytes b = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 4, 0, 8, 0, 3};
  Bytes tail = {0, 0, 0, 0, 0, 0, 0, 4, '8', 'B', 'I', 'M', 0, 0, 0, 0, 0, 0};
  b.insert(b.end(), tail.begin(), tail.end());
  b.insert(b.end(), 3 * 12, 0x55);
  return b;
}

struct Format {
  const char* name;
  Bytes file;
};

std::vector<Format> FourByThreeFiles() {
  return {{"bmp", Saved<ztImageBmp>(4)},   {"png", Saved<ztImagePng>(4)},   {"jpeg", Saved<ztImageJpeg>(3)},
          {"webp", Saved<ztImageWebP>(4)}, {"zo2", Saved<ztImageZo2>(4)},   {"ztf", Saved<ztImageZtf>(4)},
          {"ra3", Ra3File()},              {"psd", PsdFile()}};
}

TEST_F(Limits, EveryDecoderTakesAPictureAtThePixelLimitAndRefusesOnePast) {
  for (const Format& f : FourByThreeFiles()) {
    SCOPED_TRACE(f.name);
    ASSERT_FALSE(f.file.empty());
    ztMemBlock source(f.file.data(), static_cast<uint32_t>(f.file.size()));
    ztImageHolder holder;

    ztSetLimit(ZTLIMIT_PICTURE_PIXELS, 12);
    ASSERT_NE(holder.LoadFromMemory(&source, 0, 0), nullptr);
    uint32_t w = 0, h = 0;
    holder.GetSize(&w, &h);
    EXPECT_EQ(w, 4u);
    EXPECT_EQ(h, 3u);

    ztSetLimit(ZTLIMIT_PICTURE_PIXELS, 11);
    zt_test::ClearLog();
    EXPECT_EQ(holder.LoadFromMemory(&source, 0, 0), nullptr);
    EXPECT_EQ(holder.GetImage(), nullptr);
    EXPECT_TRUE(zt_test::LogHas(PictureMessage(4, 3)));
  }
}

TEST_F(Limits, CanvasExpansionObeysThePixelLimit) {
  ztImage img;
  ztSetLimit(ZTLIMIT_PICTURE_PIXELS, 12);
  EXPECT_EQ(img.CreateBuffer(4, 3, 4), 1);
  EXPECT_EQ(img.CreateBuffer(13, 1, 4), 0);
  EXPECT_TRUE(zt_test::LogHas(PictureMessage(13, 1)));
}

// ---- largest picture in bytes -----------------------------------------------

TEST_F(Limits, BufferSizeAtTheByteLimitAndOnePast) {
  ztSetLimit(ZTLIMIT_PICTURE_BYTES, 48);
  EXPECT_EQ(ztImage::ComputeBufferSize(16, 3), 48u);
  EXPECT_EQ(ztImage::ComputeBufferSize(49, 1), 0u);
  EXPECT_EQ(ztImage::ComputeStride(12, 4, false), 48u);
  EXPECT_EQ(ztImage::ComputeStride(13, 4, false), 0u);
  // Rounding up to 4 counts: 47 bytes of row become 48.
  ztSetLimit(ZTLIMIT_PICTURE_BYTES, 47);
  EXPECT_EQ(ztImage::ComputeStride(47, 1, true), 0u);
}

TEST_F(Limits, DecodersRefuseAPictureOneBytePastTheLimit) {
  // 4 x 3 at 4 bytes per pixel (BMP, PNG with alpha, WebP, RA-3) is 48 bytes.
  for (const Format& f : FourByThreeFiles()) {
    if (f.name != std::string("bmp") && f.name != std::string("png") && f.name != std::string("webp") &&
        f.name != std::string("ra3"))
      continue;
    SCOPED_TRACE(f.name);
    ztMemBlock source(f.file.data(), static_cast<uint32_t>(f.file.size()));
    ztImageHolder holder;
    ztSetLimit(ZTLIMIT_PICTURE_BYTES, 48);
    EXPECT_NE(holder.LoadFromMemory(&source, 0, 0), nullptr);
    ztSetLimit(ZTLIMIT_PICTURE_BYTES, 47);
    EXPECT_EQ(holder.LoadFromMemory(&source, 0, 0), nullptr);
  }
}

// ---- longest XML document ---------------------------------------------------

const std::string kXml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><document><a>1</a></document>";

TEST_F(Limits, XmlFromMemoryAtTheLimitAndOnePast) {
  const uint32_t n = static_cast<uint32_t>(kXml.size());
  ztSetLimit(ZTLIMIT_XML_BYTES, n);
  ztXml xml;
  ASSERT_EQ(xml.OpenMem(kXml.data(), static_cast<int32_t>(n)), 1);
  EXPECT_EQ(xml.GetInt(0, 1, "a"), 1);

  ztSetLimit(ZTLIMIT_XML_BYTES, n - 1);
  EXPECT_EQ(xml.OpenMem(kXml.data(), static_cast<int32_t>(n)), 0);
  EXPECT_EQ(xml.LastErrorCode(), ZTXML_ERR_BUFFER);
  // XMLの長さ(n バイト)が上限を超えています。
  EXPECT_EQ(std::string(xml.MessageText()),
            zt_test::Cp932("XMLの長さ(" + std::to_string(n) + " バイト)が上限を超えています。"));
  EXPECT_EQ(xml.GetInt(0, 1, "a"), 0);
}

TEST_F(Limits, XmlFileAtTheLimitAndOnePast) {
  zt_test::TempDir dir;
  ASSERT_TRUE(dir.Write(u"a.xml", kXml));
  const std::u16string path = dir.Join(u"a.xml");
  const uint32_t n = static_cast<uint32_t>(kXml.size());

  ztSetLimit(ZTLIMIT_XML_BYTES, n);
  ztXml xml;
  ASSERT_EQ(xml.Open(path.c_str()), 1);

  ztSetLimit(ZTLIMIT_XML_BYTES, n - 1);
  ztXmlParser parser;
  EXPECT_EQ(parser.LoadFile(path.c_str()), ZTXML_ERR_READ);
  EXPECT_EQ(std::string(parser.MessageText()),
            zt_test::Cp932("XMLの長さ(" + std::to_string(n) + " バイト)が上限を超えています。"));
  EXPECT_EQ(xml.Open(path.c_str()), 0);
}

// ---- longest install.log ----------------------------------------------------

TEST_F(Limits, InstallLogAtTheLimitAndOnePast) {
  zt_test::TempDir dir;
  const std::string text = "\"data\\a.bin\"\r\n\"data\\b.bin\"\r\n";
  ASSERT_TRUE(dir.Write(u"install.log", text));
  const std::u16string path = dir.Join(u"install.log");
  const uint32_t n = static_cast<uint32_t>(text.size());

  ztSetLimit(ZTLIMIT_INSTALL_LOG_BYTES, n);
  ztStringList list;
  ASSERT_EQ(list.LoadText(path.c_str()), 1);
  EXPECT_EQ(list.Count(), 2u);

  ztSetLimit(ZTLIMIT_INSTALL_LOG_BYTES, n - 1);
  ztStringList other;
  other.Add(u"kept");
  EXPECT_EQ(other.LoadText(path.c_str()), 0);
  // The list is as it was.
  ASSERT_EQ(other.Count(), 1u);
  EXPECT_EQ(std::u16string(other.At(0)), u"kept");
  // ファイルの長さ(n バイト)が上限を超えています。
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932("ファイルの長さ(" + std::to_string(n) + " バイト)が上限を超えています。")));
}

}  // namespace

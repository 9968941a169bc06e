#include "image/ztImageRa3.h"

#include <gtest/gtest.h>

#include "image/ztImageHolder.h"
#include "image/ztImageJpeg.h"
#include "image/ztImageWebP.h"
#include "platform/ztHeap.h"
#include "tests/common/testutil.h"
#include "tests/image/ra3_testbytes.h"

using namespace zt_ra3test;
using zt_imgtest::BlockBytes;
using zt_imgtest::PixelAt;
using zt_imgtest::RowsOf;

namespace {

const std::string kByteAreaMsg = zt_test::Cp932(u8"ztImageRa3 : バイト領域のサイズが異常です");
const std::string kBitAreaMsg = zt_test::Cp932(u8"ztImageRa3 : ビット領域のサイズが異常です");

// One frame of id 0 with "stdinfo" and the given tags after it.
Bytes OneFrame(const StdInfo& info, std::vector<Tag> tags, int32_t id = 0) {
  Frame f;
  f.id = id;
  f.tags.push_back({"stdinfo", StdInfoBytes(info)});
  for (auto& t : tags) f.tags.push_back(t);
  return Ra3File({f});
}

StdInfo Info(uint32_t w, uint32_t h, int16_t bits = 32) {
  StdInfo s;
  s.width = w;
  s.height = h;
  s.bits = bits;
  return s;
}

struct Loaded {
  ztImageRa3* image = new ztImageRa3;
  int result = 0;
  ~Loaded() { image->Release(); }
};

// Decodes frame `id` of a file; the test then looks at the image.
std::unique_ptr<Loaded> Load(const Bytes& file, int id = 0) {
  auto l = std::make_unique<Loaded>();
  ztMemBlock src(file.data(), static_cast<uint32_t>(file.size()));
  l->result = l->image->Load(&src, id);
  return l;
}

uint8_t Fill(uint32_t x, uint32_t y, int k) { return static_cast<uint8_t>(k * 70 + x * 13 + y * y * 5 + 3); }

}  // namespace

// ---- bit level ------------------------------------------------------------------

TEST(Ra3StripBits, SingleOneBitGammaCodesAreOne) {
  // Flag 0, T = 4 (0 0 1 0 0), then runs zero 1, copy 1, zero 1, copy 1,
  // each the one-bit code "1". Bits in reading order: 0 00100 1111, stored
  // from bit 0 of each byte: 0xC8 0x03.
  Bytes bits = {0xC8, 0x03};
  ASSERT_EQ(bits, BitsLsbFirst("0 00100 1 1 1 1"));
  // Expanded stream 00 E4 00 1B: planes 1 and 3 carry the pixel.
  // Byte j = plane1 pair j << 4 | plane3 pair j: codes 3, 18, 33, 48, which
  // the sign map turns into 254, 9, 239, 24.
  Bytes file = OneFrame(Info(1, 1), {{"img0000", StripData(0, 1, {0xE4, 0x1B}, bits)}});
  auto l = Load(file);
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(PixelAt(l->image, 0, 0), (Bytes{254, 9, 239, 24}));
}

TEST(Ra3StripBits, ZeroZeroOneOneZeroIsSix) {
  // 2 x 1 pixels, T = 8: flag 1, T (0001000), copy 2 (010), zero 6 (00110).
  Bytes bits = BitsLsbFirst("1 0001000 010 00110");
  EXPECT_EQ(bits, (Bytes{0x11, 0x62}));
  // Plane 0 = {01, 80}: byte 0 of pixel 0 gets code 64 (value 32), byte 3
  // of pixel 1 code 128 (value 64); pixel 1 adds pixel 0.
  Bytes file = OneFrame(Info(2, 1), {{"img0000", StripData(0, 1, {0x01, 0x80}, bits)}});
  auto l = Load(file);
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(PixelAt(l->image, 0, 0), (Bytes{32, 0, 0, 0}));
  EXPECT_EQ(PixelAt(l->image, 1, 0), (Bytes{32, 0, 0, 64}));
}

TEST(Ra3StripBits, OnePixelFromFourPlanesThroughTheSignMap) {
  // Codes 0, 1, 2, 255 spread over four planes: C0 C0 C0 E4.
  Bytes bits = BitsLsbFirst("1 00100 00100");
  Bytes file = OneFrame(Info(1, 1), {{"img0000", StripData(0, 1, {0xC0, 0xC0, 0xC0, 0xE4}, bits)}});
  auto l = Load(file);
  ASSERT_EQ(l->result, 1);
  // Sign map: 0 -> 0, 1 -> 255 (-1), 2 -> 1, 255 -> 128 (-128).
  EXPECT_EQ(PixelAt(l->image, 0, 0), (Bytes{0, 255, 1, 128}));
}

TEST(Ra3StripBits, ZeroRunOnlyStripGivesZeroRowsAndNeedsNoBytes) {
  // 1 x 2: the bottom row from strip 0, the top row from a strip that is one
  // zero run of T = 4 with an empty byte area.
  Bytes file =
      OneFrame(Info(1, 2), {{"img0000", StripData(0, 1, {0xC0, 0xC0, 0xC0, 0xE4}, BitsLsbFirst("1 00100 00100"))},
                            {"img0001", StripData(1, 1, {}, BitsLsbFirst("0 00100 00100"))}});
  auto l = Load(file);
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(PixelAt(l->image, 0, 1), (Bytes{0, 255, 1, 128}));
  EXPECT_EQ(PixelAt(l->image, 0, 0), (Bytes{0, 0, 0, 0}));
}

TEST(Ra3StripBits, LaterRowsAddTheRowStoredBefore) {
  // 1 x 2, one strip of two rows: stored row 0 is the bottom row; stored
  // row 1 (the top row) is its difference from the bottom row.
  auto rows = Rows(1, 2, 4, [](uint32_t, uint32_t y, int k) { return static_cast<uint8_t>(y ? 10 + k : 250 - k); });
  RefStrip s = RefEncode(rows, 4);
  auto l = Load(OneFrame(Info(1, 2), {{"img0000", StripData(0, 2, s.byteArea, s.bitArea)}}));
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(RowsOf(l->image), rows);
}

// ---- strips -----------------------------------------------------------------------

TEST(Ra3Strips, StripsCountRowsFromTheBottomInAnyTagOrder) {
  auto rows = Rows(5, 6, 4, Fill);
  std::vector<Tag> strips = StripTags(rows, 4, {2, 3, 1});
  // Chain order img0002, img0000, img0001: lookup is by name.
  auto l = Load(OneFrame(Info(5, 6), {strips[2], strips[0], strips[1]}));
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(l->image->GetBytesPerPixel(), 4);
  EXPECT_EQ(l->image->GetStride(), 20u);
  EXPECT_EQ(RowsOf(l->image), rows);
}

TEST(Ra3Strips, MissingStripEndsTheListEvenWhenALaterOneExists) {
  auto rows = Rows(3, 3, 4, Fill);
  std::vector<Tag> strips = StripTags(rows, 4, {1, 1, 1});
  // img0001 missing: img0002 (the top row) is never decoded, even though it
  // is broken.
  strips[2].data.resize(10);
  auto l = Load(OneFrame(Info(3, 3), {strips[0], strips[2]}));
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(RowsOf(l->image)[2], rows[2]);
  EXPECT_EQ(RowsOf(l->image)[1], Bytes(12, 0));
  EXPECT_EQ(RowsOf(l->image)[0], Bytes(12, 0));
}

TEST(Ra3Strips, TwentyFourBitFramesComeOutWithFourBytesAndOpaqueAlpha) {
  auto rows = Rows(3, 2, 3, Fill);
  auto l = Load(OneFrame(Info(3, 2, 24), StripTags(rows, 3, {2})));
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(l->image->GetBytesPerPixel(), 4);
  EXPECT_EQ(l->image->GetStride(), 12u);
  for (uint32_t y = 0; y < 2; ++y)
    for (uint32_t x = 0; x < 3; ++x)
      EXPECT_EQ(PixelAt(l->image, x, y), (Bytes{Fill(x, y, 0), Fill(x, y, 1), Fill(x, y, 2), 255}));
}

TEST(Ra3Strips, FrameWithoutPixelTagsIsZeroFilled) {
  auto l = Load(OneFrame(Info(2, 2), {}));
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(RowsOf(l->image), std::vector<Bytes>(2, Bytes(8, 0)));
}

TEST(Ra3Strips, GeometryAndCarriedValuesComeFromStdinfo) {
  StdInfo s = Info(2, 1);
  s.offsetX = -3;
  s.offsetY = 7;
  s.canvasW = 40;
  s.canvasH = 30;
  s.transparent = 1;
  s.user1 = -5;
  s.user2 = 123456;
  auto l = Load(OneFrame(s, StripTags(Rows(2, 1, 4, Fill), 4, {1})));
  ASSERT_EQ(l->result, 1);
  int32_t x, y, cw, ch;
  l->image->GetOffset(&x, &y);
  l->image->GetCanvasSize(&cw, &ch);
  EXPECT_EQ(x, -3);
  EXPECT_EQ(y, 7);
  EXPECT_EQ(cw, 40);
  EXPECT_EQ(ch, 30);
  EXPECT_EQ(l->image->GetAlphaState(), ZTIMAGE_ALPHA_TRANSPARENT);
  EXPECT_EQ(l->image->GetUserValue1(), -5);
  EXPECT_EQ(l->image->GetUserValue2(), 123456);

  s.transparent = 0;
  auto o = Load(OneFrame(s, {}));
  EXPECT_EQ(o->image->GetAlphaState(), ZTIMAGE_ALPHA_OPAQUE);
}

// ---- messages and silent failures --------------------------------------------------

TEST(Ra3Failures, HeaderMessages) {
  Bytes file = OneFrame(Info(1, 1), {});
  zt_test::ClearLog();
  file[3] = '2';
  EXPECT_EQ(Load(file)->result, 0);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932(u8"RA3 : ヘッダが違います")));
  file[3] = '3';
  file[4] = 16;
  zt_test::ClearLog();
  EXPECT_EQ(Load(file)->result, 0);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932(u8"RA3 : ヘッダサイズが違います")));
  // Too short to hold the header size.
  zt_test::ClearLog();
  EXPECT_EQ(Load(Bytes{'R', 'A', '-', '3', 12})->result, 0);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932(u8"RA3 : ヘッダサイズが違います")));
}

TEST(Ra3Failures, UnknownIdAndMissingStdinfoFailSilently) {
  zt_test::ClearLog();
  EXPECT_EQ(Load(OneFrame(Info(1, 1), {}, 4), 5)->result, 0);
  Frame f;
  f.tags.push_back({"stdinfx", StdInfoBytes(Info(1, 1))});
  EXPECT_EQ(Load(Ra3File({f}))->result, 0);
  EXPECT_TRUE(zt_test::LogLines().empty());
}

TEST(Ra3Failures, AreaSizeMismatchesHaveTheirMessages) {
  Bytes bits = BitsLsbFirst("1 00100 00100");
  Bytes data = StripData(0, 1, {0xC0, 0xC0, 0xC0, 0xE4}, bits);
  Bytes wrongBytes = data;
  wrongBytes[12] = 5;  // unpacked byte-area size 5, stream gives 4
  zt_test::ClearLog();
  EXPECT_EQ(Load(OneFrame(Info(1, 1), {{"img0000", wrongBytes}}))->result, 0);
  EXPECT_TRUE(zt_test::LogHas(kByteAreaMsg));
  EXPECT_FALSE(zt_test::LogHas(kBitAreaMsg));

  Bytes wrongBits = data;
  wrongBits[20] = 1;  // unpacked bit-area size 1, stream gives 2
  zt_test::ClearLog();
  EXPECT_EQ(Load(OneFrame(Info(1, 1), {{"img0000", wrongBits}}))->result, 0);
  EXPECT_TRUE(zt_test::LogHas(kBitAreaMsg));
}

TEST(Ra3Failures, LengthNotAMultipleOfFourFailsSilently) {
  // T = 3: one copy run of 3.
  Bytes file = OneFrame(Info(1, 1), {{"img0000", StripData(0, 1, {1, 2, 3}, BitsLsbFirst("1 011 011"))}});
  zt_test::ClearLog();
  EXPECT_EQ(Load(file)->result, 0);
  EXPECT_TRUE(zt_test::LogLines().empty());
}

// ---- limits the format leaves open: the frame is refused --------------------------

TEST(Ra3Limits, ShortStdinfoIsRefused) {
  Frame f;
  Bytes info = StdInfoBytes(Info(1, 1));
  info.resize(39);
  f.tags.push_back({"stdinfo", info});
  EXPECT_EQ(Load(Ra3File({f}))->result, 0);
}

TEST(Ra3Limits, ChainsLeadingOutsideTheFileAreRefused) {
  Frame a, b;
  a.id = 1;
  a.tags.push_back({"stdinfo", StdInfoBytes(Info(1, 1))});
  b.id = 2;
  b.tags.push_back({"stdinfo", StdInfoBytes(Info(1, 1))});
  Bytes file = Ra3File({a, b});
  ASSERT_EQ(Load(file, 2)->result, 1);
  Bytes badFrame = file;
  ztPutU32LE(&badFrame[12], 0xFFFFFFF0u);  // next frame far past the end
  EXPECT_EQ(Load(badFrame, 2)->result, 0);
  EXPECT_EQ(Load(badFrame, 1)->result, 1);

  a.tags.push_back({"cptype", U32Data(3)});
  Bytes badTag = Ra3File({a});
  ztPutU32LE(&badTag[20 + 8], static_cast<uint32_t>(badTag.size()));  // stdinfo's next tag
  EXPECT_EQ(Load(badTag, 1)->result, 0);
  Bytes longData = Ra3File({a});
  ztPutU32LE(&longData[20 + 12], 1000);  // stdinfo data longer than the file
  EXPECT_EQ(Load(longData, 1)->result, 0);
}

TEST(Ra3Limits, StripRowsOutsideThePictureAreRefused) {
  auto rows = Rows(2, 2, 4, Fill);
  RefStrip s = RefEncode({rows[1]}, 4);
  EXPECT_EQ(Load(OneFrame(Info(2, 2), {{"img0000", StripData(1, 1, s.byteArea, s.bitArea)}}))->result, 1);
  EXPECT_EQ(Load(OneFrame(Info(2, 2), {{"img0000", StripData(2, 1, s.byteArea, s.bitArea)}}))->result, 0);
  EXPECT_EQ(Load(OneFrame(Info(2, 2), {{"img0000", StripData(0, -1, s.byteArea, s.bitArea)}}))->result, 0);
  EXPECT_EQ(Load(OneFrame(Info(2, 2), {{"img0000", StripData(0xFFFFFFFFu, 2, s.byteArea, s.bitArea)}}))->result, 0);
}

TEST(Ra3Limits, RunsAndCodesOutsideTheirAreasAreRefused) {
  auto load = [](const Bytes& byteArea, const std::string& bits) {
    return Load(OneFrame(Info(1, 1), {{"img0000", StripData(0, 1, byteArea, BitsLsbFirst(bits))}}))->result;
  };
  Bytes four = {0xC0, 0xC0, 0xC0, 0xE4};
  ASSERT_EQ(load(four, "1" + Gamma(4) + Gamma(4)), 1);
  // Expanded length beyond w x h x b + 4096.
  EXPECT_EQ(load(four, "1" + Gamma(4 + 4097) + Gamma(4)), 0);
  // Copy run past T.
  EXPECT_EQ(load(four, "1" + Gamma(4) + Gamma(5)), 0);
  // Zero run past T.
  EXPECT_EQ(load(four, "0" + Gamma(4) + Gamma(5)), 0);
  // Copy run needing more bytes than the byte area holds.
  EXPECT_EQ(load({0xC0, 0xC0, 0xC0}, "1" + Gamma(4) + Gamma(4)), 0);
  // Gamma code running off the bit area (T's code cut short).
  EXPECT_EQ(load(four, "1 0001"), 0);
  // A code of 32 zero bits cannot be a 32-bit number.
  EXPECT_EQ(load(four, "1 " + std::string(32, '0') + "1" + std::string(32, '0')), 0);
}

TEST(Ra3Limits, StreamShorterThanTheRowsIsRefused) {
  // 2 x 1 needs 8 bytes; the stream gives 4.
  Bytes file =
      OneFrame(Info(2, 1), {{"img0000", StripData(0, 1, {0xC0, 0xC0, 0xC0, 0xE4}, BitsLsbFirst("1 00100 00100"))}});
  EXPECT_EQ(Load(file)->result, 0);
}

TEST(Ra3Limits, StripAreasBeyondTheTagAreRefused) {
  Bytes data = StripData(0, 1, {0xC0, 0xC0, 0xC0, 0xE4}, BitsLsbFirst("1 00100 00100"));
  ztPutU32LE(&data[16], 1000);  // packed bit area larger than the tag
  EXPECT_EQ(Load(OneFrame(Info(1, 1), {{"img0000", data}}))->result, 0);
  // An unpacked size no stream of that length can give is refused before any
  // allocation, with the size message.
  Bytes huge = StripData(0, 1, {0xC0, 0xC0, 0xC0, 0xE4}, BitsLsbFirst("1 00100 00100"));
  ztPutU32LE(&huge[12], 0x7FFFFFF0u);
  zt_test::ClearLog();
  EXPECT_EQ(Load(OneFrame(Info(1, 1), {{"img0000", huge}}))->result, 0);
  EXPECT_TRUE(zt_test::LogHas(kByteAreaMsg));
}

TEST(Ra3Limits, BadPixelSizesAreRefused) {
  EXPECT_EQ(Load(OneFrame(Info(1, 1, 40), {}))->result, 0);
  EXPECT_EQ(Load(OneFrame(Info(1, 1, -32), {}))->result, 0);
  EXPECT_EQ(Load(OneFrame(Info(0, 1), {}))->result, 0);
  EXPECT_EQ(Load(OneFrame(Info(0x10000, 0x10000), {}))->result, 0);
}

TEST(Ra3Limits, DamagedFilesNeverReachOutsideTheirBuffers) {
  auto rows = Rows(7, 5, 4, Fill);
  Bytes file = OneFrame(Info(7, 5), StripTags(rows, 4, {2, 3}));
  long live = ztHeapLiveBlocks();
  zt_imgtest::MutateAndLoad(file, 7, 1000, [](const Bytes& b) { Load(b); });
  EXPECT_EQ(ztHeapLiveBlocks(), live);
}

// ---- tags ----------------------------------------------------------------------------

TEST(Ra3Tags, AtsRecordsCptypeAndImgmode) {
  Bytes rec1(20), rec2(20), rec3(20);
  for (int i = 0; i < 20; ++i) {
    rec1[i] = static_cast<uint8_t>(i);
    rec2[i] = static_cast<uint8_t>(100 + i);
    rec3[i] = static_cast<uint8_t>(200 + i);
  }
  auto l = Load(OneFrame(Info(1, 1), {{"ats1", rec1},
                                      {"ats0x10", rec2},
                                      {"ats-1", rec3},
                                      {"ats12.5", rec1},
                                      {"atsx", rec1},
                                      {"ats1", rec3},
                                      {"ats7", {9, 8, 7}},
                                      {"cptype", U32Data(0xABCD)},
                                      {"imgmode", U32Data(5)}}));
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(l->image->GetRecordCount(), 4u);
  // The later "ats1" replaced the earlier one.
  EXPECT_EQ(Bytes(l->image->GetRecord(1), l->image->GetRecord(1) + 20), rec3);
  EXPECT_EQ(Bytes(l->image->GetRecord(16), l->image->GetRecord(16) + 20), rec2);
  ASSERT_NE(l->image->GetRecord(0xFFFF), nullptr);  // -1 modulo 65536
  EXPECT_EQ(l->image->GetRecord(0xFFFF)[0], 200);
  EXPECT_EQ(l->image->GetRecord(12), nullptr);
  // A short record tag is padded with zeros, not read past.
  Bytes seven(20, 0);
  seven[0] = 9;
  seven[1] = 8;
  seven[2] = 7;
  EXPECT_EQ(Bytes(l->image->GetRecord(7), l->image->GetRecord(7) + 20), seven);
  EXPECT_EQ(l->image->GetCpType(), 0xABCDu);
  // imgmode other than 1 is kept as it is (no swap consumes it).
  EXPECT_EQ(l->image->GetImgMode(), 5u);
}

TEST(Ra3Tags, ImgmodeOneSwapsRedAndBlueOfStripFrames) {
  Bytes strip = StripData(0, 1, {0xC0, 0xC0, 0xC0, 0xE4}, BitsLsbFirst("1 00100 00100"));
  auto l = Load(OneFrame(Info(1, 1), {{"imgmode", U32Data(1)}, {"img0000", strip}}));
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(PixelAt(l->image, 0, 0), (Bytes{1, 255, 0, 128}));
  EXPECT_EQ(l->image->GetImgMode(), 0u);
  // "img_jpa" alone also asks for the swap.
  auto j = Load(OneFrame(Info(1, 1), {{"img_jpa", {}}, {"img0000", strip}}));
  ASSERT_EQ(j->result, 1);
  EXPECT_EQ(PixelAt(j->image, 0, 0), (Bytes{1, 255, 0, 128}));
}

// ---- frames ----------------------------------------------------------------------------

TEST(Ra3Frames, LoadByIndexReportsTheIdAndDecodesTheFirstFrameOfIt) {
  auto frameOf = [](int32_t id, uint8_t value) {
    Frame f;
    f.id = id;
    f.tags.push_back({"stdinfo", StdInfoBytes(Info(1, 1))});
    RefStrip s = RefEncode({Bytes{value, value, value, 255}}, 4);
    f.tags.push_back({"img0000", StripData(0, 1, s.byteArea, s.bitArea)});
    return f;
  };
  Bytes file = Ra3File({frameOf(10, 1), frameOf(20, 2), frameOf(10, 3)});
  ztMemBlock src(file.data(), static_cast<uint32_t>(file.size()));
  int id = -1;
  {
    ztImageRa3* img = new ztImageRa3;
    EXPECT_EQ(img->LoadByIndex(&src, 0, &id), 1);
    EXPECT_EQ(id, 10);
    EXPECT_EQ(PixelAt(img, 0, 0)[0], 1);
    img->Release();
  }
  {
    ztImageRa3* img = new ztImageRa3;
    EXPECT_EQ(img->LoadByIndex(&src, 1, &id), 1);
    EXPECT_EQ(id, 20);
    EXPECT_EQ(PixelAt(img, 0, 0)[0], 2);
    img->Release();
  }
  {
    // The third frame has id 10 again: the first frame of that id decodes.
    ztImageRa3* img = new ztImageRa3;
    EXPECT_EQ(img->LoadByIndex(&src, 2, &id), 1);
    EXPECT_EQ(id, 10);
    EXPECT_EQ(PixelAt(img, 0, 0)[0], 1);
    img->Release();
  }
  ztImageRa3* img = new ztImageRa3;
  EXPECT_EQ(img->LoadByIndex(&src, 3, &id), 0);
  img->Release();
  auto l = Load(file, 20);
  EXPECT_EQ(PixelAt(l->image, 0, 0)[0], 2);
}

TEST(Ra3Frames, HolderDecodesRa3FirstAndListFramesNamesTags) {
  Bytes file = OneFrame(Info(2, 1), StripTags(Rows(2, 1, 4, Fill), 4, {1}));
  ztMemBlock src(file.data(), static_cast<uint32_t>(file.size()));
  ztImageHolder holder;
  ASSERT_NE(holder.LoadFromMemory(&src, 0, 0), nullptr);
  EXPECT_EQ(holder.GetFormat(), ZTIMAGE_FORMAT_RA3);
  EXPECT_EQ(holder.GetBytesPerPixel(), 4);
  std::vector<ztRa3FrameInfo> frames;
  ASSERT_EQ(ztImageRa3::ListFrames(&src, &frames), 1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].tags, (std::vector<std::string>{"stdinfo", "img0000"}));
}

// ---- JPEG and WebP frames -------------------------------------------------------------

namespace {

Bytes JpegOf(uint32_t w, uint32_t h) {
  ztImageJpeg* jpeg = new ztImageJpeg;
  zt_imgtest::FillImage(jpeg, w, h, 3, [](uint32_t x, uint32_t y, int k) {
    return static_cast<uint8_t>(k == 0 ? 200 : k == 1 ? 40 + x * 20 : 10 + y * 30);
  });
  ztMemBlock out;
  jpeg->Save(&out, 0, 0, 0, 0);
  jpeg->Release();
  return BlockBytes(out);
}

Bytes WebPOf(uint32_t w, uint32_t h) {
  ztImageWebP* webp = new ztImageWebP;
  zt_imgtest::FillImage(webp, w, h, 4, [](uint32_t x, uint32_t y, int k) {
    return static_cast<uint8_t>(k == 0 ? 220 : k == 1 ? 30 + x * 20 : k == 2 ? 10 + y * 30 : 255);
  });
  ztMemBlock out;
  webp->Save(&out, 0, 0, 0, 0);
  webp->Release();
  return BlockBytes(out);
}

// What the adaptor itself decodes from the same bytes.
template <class T>
std::vector<Bytes> Reference(const Bytes& data) {
  T* img = new T;
  ztMemBlock src(data.data(), static_cast<uint32_t>(data.size()));
  img->Load(&src, 0);
  std::vector<Bytes> px;
  for (uint32_t y = 0; y < img->GetHeight(); ++y)
    for (uint32_t x = 0; x < img->GetWidth(); ++x) px.push_back(PixelAt(img, x, y));
  img->Release();
  return px;
}

Bytes AlphaData(const Bytes& plane, uint32_t claimed) {
  Bytes packed = Zlib(plane), b;
  Put32(b, static_cast<uint32_t>(packed.size()));
  Put32(b, claimed);
  Append(b, packed);
  return b;
}

}  // namespace

TEST(Ra3Jpeg, WithoutImgmodeRedAndBlueAreSwappedAndAlphaIsOpaque) {
  Bytes jpeg = JpegOf(4, 3);
  auto ref = Reference<ztImageJpeg>(jpeg);
  auto l = Load(OneFrame(Info(4, 3), {{"img_jpg", jpeg}}));
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(l->image->GetStride(), 16u);
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 4; ++x) {
      const Bytes& r = ref[y * 4 + x];
      EXPECT_EQ(PixelAt(l->image, x, y), (Bytes{r[2], r[1], r[0], 255}));
    }
}

TEST(Ra3Jpeg, ImgmodeZeroKeepsTheJpegOrder) {
  Bytes jpeg = JpegOf(4, 3);
  auto ref = Reference<ztImageJpeg>(jpeg);
  auto l = Load(OneFrame(Info(4, 3), {{"img_jpg", jpeg}, {"imgmode", U32Data(0)}}));
  ASSERT_EQ(l->result, 1);
  const Bytes& r = ref[5];
  EXPECT_EQ(PixelAt(l->image, 1, 1), (Bytes{r[0], r[1], r[2], 255}));
}

TEST(Ra3Jpeg, TwentyFourBitJpegFramesComeOutWithFourBytes) {
  Bytes jpeg = JpegOf(4, 3);
  auto ref = Reference<ztImageJpeg>(jpeg);
  auto l = Load(OneFrame(Info(4, 3, 24), {{"img_jpg", jpeg}}));
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(l->image->GetBytesPerPixel(), 4);
  const Bytes& r = ref[11];
  EXPECT_EQ(PixelAt(l->image, 3, 2), (Bytes{r[2], r[1], r[0], 255}));
}

TEST(Ra3Jpeg, AlphaPlaneFillsAlphaTopRowFirst) {
  Bytes jpeg = JpegOf(4, 3);
  Bytes plane(12);
  for (int i = 0; i < 12; ++i) plane[i] = static_cast<uint8_t>(i * 20);
  auto l = Load(OneFrame(Info(4, 3), {{"img_jpg", jpeg}, {"img_al", AlphaData(plane, 12)}}));
  ASSERT_EQ(l->result, 1);
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 4; ++x) EXPECT_EQ(PixelAt(l->image, x, y)[3], plane[y * 4 + x]);
}

TEST(Ra3Jpeg, WrongSizedAlphaPlaneLeavesAlphaOpaque) {
  Bytes jpeg = JpegOf(4, 3);
  Bytes plane(12, 7);
  for (uint32_t claimed : {11u, 13u, 5000u, 0x7FFFFFFFu}) {
    auto l = Load(OneFrame(Info(4, 3), {{"img_jpg", jpeg}, {"img_al", AlphaData(plane, claimed)}}));
    ASSERT_EQ(l->result, 1) << claimed;
    EXPECT_EQ(PixelAt(l->image, 2, 2)[3], 255) << claimed;
  }
}

TEST(Ra3Jpeg, MismatchesWithStdinfoAreRefused) {
  Bytes jpeg = JpegOf(4, 3);
  // Size differs from "stdinfo".
  EXPECT_EQ(Load(OneFrame(Info(5, 3), {{"img_jpg", jpeg}}))->result, 0);
  EXPECT_EQ(Load(OneFrame(Info(4, 2), {{"img_jpg", jpeg}}))->result, 0);
  // A pixel size that cannot hold the colours.
  EXPECT_EQ(Load(OneFrame(Info(4, 3, 16), {{"img_jpg", jpeg}}))->result, 0);
  // Not a JPEG at all.
  EXPECT_EQ(Load(OneFrame(Info(4, 3), {{"img_jpg", Bytes(40, 1)}}))->result, 0);
  // An alpha plane that inflates to its stated size but is shorter than the
  // picture.
  EXPECT_EQ(Load(OneFrame(Info(4, 3), {{"img_jpg", jpeg}, {"img_al", AlphaData(Bytes(11, 9), 11)}}))->result, 0);
  // Alpha plane data past its tag.
  Bytes cut = AlphaData(Bytes(12, 9), 12);
  ztPutU32LE(&cut[0], 500);
  EXPECT_EQ(Load(OneFrame(Info(4, 3), {{"img_jpg", jpeg}, {"img_al", cut}}))->result, 0);
}

TEST(Ra3WebP, WebPFramesKeepTheirOrderUnlessImgmodeIsOne) {
  Bytes webp = WebPOf(4, 3);
  auto ref = Reference<ztImageWebP>(webp);
  auto plain = Load(OneFrame(Info(4, 3), {{"img_wbp", webp}}));
  ASSERT_EQ(plain->result, 1);
  EXPECT_EQ(PixelAt(plain->image, 2, 1), ref[6]);
  auto swapped = Load(OneFrame(Info(4, 3), {{"img_wbp", webp}, {"imgmode", U32Data(1)}}));
  ASSERT_EQ(swapped->result, 1);
  const Bytes& r = ref[6];
  EXPECT_EQ(PixelAt(swapped->image, 2, 1), (Bytes{r[2], r[1], r[0], r[3]}));
  // "img_wbp" wins over "img_jpg" and over strips.
  auto both = Load(OneFrame(Info(4, 3), {{"img_jpg", JpegOf(4, 3)}, {"img_wbp", webp}, {"imgmode", U32Data(0)}}));
  ASSERT_EQ(both->result, 1);
  EXPECT_EQ(PixelAt(both->image, 2, 1), ref[6]);
}

TEST(Ra3WebP, MismatchesWithStdinfoAreRefused) {
  Bytes webp = WebPOf(4, 3);
  EXPECT_EQ(Load(OneFrame(Info(3, 3), {{"img_wbp", webp}}))->result, 0);
  EXPECT_EQ(Load(OneFrame(Info(4, 3, 24), {{"img_wbp", webp}}))->result, 0);
  EXPECT_EQ(Load(OneFrame(Info(4, 3), {{"img_wbp", Bytes(30, 0)}}))->result, 0);
}

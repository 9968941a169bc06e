#include "image/ztImageZo2.h"

#include <gtest/gtest.h>

#include "image/ztImageHolder.h"
#include "platform/ztHeap.h"
#include "tests/common/testutil.h"
#include "tests/image/ra3_testbytes.h"

using namespace zt_ra3test;
using zt_imgtest::BlockBytes;
using zt_imgtest::PixelAt;
using zt_imgtest::RowsOf;

namespace {

uint8_t Fill(uint32_t x, uint32_t y, int k) { return static_cast<uint8_t>(k * 61 + x * 17 + y * 3 + 5); }

// A frame holding `rows` (top first) coded by the reference coder.
Zo2Frame FrameOf(const std::vector<Bytes>& rows, int bpp, int32_t id = 0) {
  Zo2Frame z;
  z.height = static_cast<uint32_t>(rows.size());
  z.width = static_cast<uint32_t>(rows[0].size() / bpp);
  z.bits = static_cast<int16_t>(bpp * 8);
  z.id = id;
  z.canvasW = static_cast<int32_t>(z.width);
  z.canvasH = static_cast<int32_t>(z.height);
  RefStrip s = RefEncode(rows, bpp);
  z.byteArea = s.byteArea;
  z.bitArea = s.bitArea;
  return z;
}

struct Loaded {
  ztImageZo2* image = new ztImageZo2;
  int result = 0;
  int id = -1;
  ~Loaded() { image->Release(); }
};

std::unique_ptr<Loaded> Load(const Bytes& file, int id = 0) {
  auto l = std::make_unique<Loaded>();
  ztMemBlock src(file.data(), static_cast<uint32_t>(file.size()));
  l->result = l->image->Load(&src, id);
  return l;
}

std::unique_ptr<Loaded> LoadIndex(const Bytes& file, unsigned index) {
  auto l = std::make_unique<Loaded>();
  ztMemBlock src(file.data(), static_cast<uint32_t>(file.size()));
  l->result = l->image->LoadByIndex(&src, index, &l->id);
  return l;
}

Bytes Saved(ztImageZo2* img, int id, int u1, int u2, int clear) {
  ztMemBlock out;
  if (!img->Save(&out, id, u1, u2, clear)) return {};
  return BlockBytes(out);
}

}  // namespace

// ---- decoding -----------------------------------------------------------------

TEST(Zo2Load, Version37CarriesCanvasOffsetUserValuesAndTransparency) {
  auto rows = Rows(4, 3, 4, Fill);
  Zo2Frame z = FrameOf(rows, 4, 9);
  z.canvasW = 50;
  z.canvasH = 60;
  z.offsetX = 11;
  z.offsetY = -2;
  z.transparent = 1;
  z.user1 = 77;
  z.user2 = -78;
  auto l = Load(Zo2File(37, {z}), 9);
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(RowsOf(l->image), rows);
  EXPECT_EQ(l->image->GetStride(), 16u);
  int32_t cw, ch, ox, oy;
  l->image->GetCanvasSize(&cw, &ch);
  l->image->GetOffset(&ox, &oy);
  EXPECT_EQ(cw, 50);
  EXPECT_EQ(ch, 60);
  EXPECT_EQ(ox, 11);
  EXPECT_EQ(oy, -2);
  EXPECT_EQ(l->image->GetAlphaState(), ZTIMAGE_ALPHA_TRANSPARENT);
  EXPECT_EQ(l->image->GetUserValue1(), 77);
  EXPECT_EQ(l->image->GetUserValue2(), -78);
}

TEST(Zo2Load, ThreeBytePixelsStayThreeBytesWithUnpaddedRows) {
  auto rows = Rows(3, 2, 3, Fill);
  auto l = Load(Zo2File(37, {FrameOf(rows, 3)}));
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(l->image->GetBytesPerPixel(), 3);
  EXPECT_EQ(l->image->GetStride(), 9u);
  EXPECT_EQ(RowsOf(l->image), rows);
}

TEST(Zo2Load, Version16AnswersAnyIdAndOnlyIndexZero) {
  auto rows = Rows(2, 2, 4, Fill);
  Zo2Frame z = FrameOf(rows, 4);
  z.user1 = 5;  // not stored by version 16
  Bytes file = Zo2File(16, {z});
  for (int id : {0, 3, -1}) {
    auto l = Load(file, id);
    ASSERT_EQ(l->result, 1) << id;
    EXPECT_EQ(RowsOf(l->image), rows);
    EXPECT_EQ(l->image->GetAlphaState(), ZTIMAGE_ALPHA_UNKNOWN);
    EXPECT_EQ(l->image->GetUserValue1(), 0);
    int32_t cw, ch;
    l->image->GetCanvasSize(&cw, &ch);
    EXPECT_EQ(cw, 2);
    EXPECT_EQ(ch, 2);
  }
  auto first = LoadIndex(file, 0);
  EXPECT_EQ(first->result, 1);
  EXPECT_EQ(first->id, 0);
  EXPECT_EQ(LoadIndex(file, 1)->result, 0);
}

TEST(Zo2Load, ChainsAreSearchedByIdAndWalkedByIndex) {
  auto a = Rows(2, 1, 4, [](uint32_t, uint32_t, int) { return uint8_t{10}; });
  auto b = Rows(1, 2, 4, [](uint32_t, uint32_t, int) { return uint8_t{20}; });
  Bytes file = Zo2File(37, {FrameOf(a, 4, 4), FrameOf(b, 4, 8)});
  auto byId = Load(file, 8);
  ASSERT_EQ(byId->result, 1);
  EXPECT_EQ(RowsOf(byId->image), b);
  auto second = LoadIndex(file, 1);
  ASSERT_EQ(second->result, 1);
  EXPECT_EQ(second->id, 8);
  EXPECT_EQ(RowsOf(second->image), b);
  EXPECT_EQ(LoadIndex(file, 2)->result, 0);

  zt_test::ClearLog();
  EXPECT_EQ(Load(file, 5)->result, 0);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932(u8"ZO2(5) : 対応するIDが見つかりません")));

  // Version 32: same chain; below 37 LoadByIndex only knows index 0 as id 0.
  Bytes v32 = Zo2File(32, {FrameOf(a, 4, 0), FrameOf(b, 4, 8)});
  EXPECT_EQ(RowsOf(Load(v32, 8)->image), b);
  auto zero = LoadIndex(v32, 0);
  EXPECT_EQ(zero->result, 1);
  EXPECT_EQ(zero->id, 0);
  EXPECT_EQ(LoadIndex(v32, 1)->result, 0);
}

TEST(Zo2Load, SignificantBitsWidenEveryByte) {
  auto widened = [](uint16_t m, uint8_t value) {
    auto rows = Rows(1, 1, 4, [&](uint32_t, uint32_t, int) { return value; });
    Zo2Frame z = FrameOf(rows, 4);
    z.significant = m;
    auto l = Load(Zo2File(37, {z}));
    EXPECT_EQ(l->result, 1);
    return PixelAt(l->image, 0, 0);
  };
  EXPECT_EQ(widened(4, 0x0F), Bytes(4, 0xFF));
  EXPECT_EQ(widened(4, 0x08), Bytes(4, 0x88));
  EXPECT_EQ(widened(5, 0x10), Bytes(4, 0x84));
  EXPECT_EQ(widened(6, 0x3F), Bytes(4, 0xFF));
  EXPECT_EQ(widened(6, 0x20), Bytes(4, 0x82));
  EXPECT_EQ(widened(7, 0x40), Bytes(4, 0x81));
  EXPECT_EQ(widened(8, 0x3F), Bytes(4, 0x3F));
  // 1 to 3 would need a negative shift: taken as 8, no widening.
  for (uint16_t m : {1, 2, 3}) EXPECT_EQ(widened(m, 0x05), Bytes(4, 0x05)) << m;
}

TEST(Zo2Load, HeaderVersionAndAreaMessages) {
  Bytes file = Zo2File(37, {FrameOf(Rows(1, 1, 4, Fill), 4)});
  Bytes bad = file;
  bad[1] = 'X';
  zt_test::ClearLog();
  EXPECT_EQ(Load(bad)->result, 0);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932(u8"ZO2 : ヘッダが違います")));
  bad = file;
  bad[8] = 33;
  zt_test::ClearLog();
  EXPECT_EQ(Load(bad)->result, 0);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932(u8"ZO2 : 未対応のバージョンです")));
  bad = file;
  bad[12 + 24] += 1;  // unpacked byte-area size
  zt_test::ClearLog();
  EXPECT_EQ(Load(bad)->result, 0);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932(u8"ztImageZo2 : バイト領域のサイズが異常です")));
  bad = file;
  bad[12 + 32] += 1;  // unpacked bit-area size
  zt_test::ClearLog();
  EXPECT_EQ(Load(bad)->result, 0);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932(u8"ztImageZo2 : ビット領域のサイズが異常です")));
}

TEST(Zo2Limits, BrokenFramesAreRefused) {
  auto rows = Rows(3, 3, 4, Fill);
  Bytes file = Zo2File(37, {FrameOf(rows, 4, 1), FrameOf(rows, 4, 2)});
  ASSERT_EQ(Load(file, 2)->result, 1);
  Bytes bad = file;
  ztPutU32LE(&bad[12 + 64], 0xFFFFFF00u);  // next frame outside the file
  EXPECT_EQ(Load(bad, 2)->result, 0);
  bad = file;
  ztPutU32LE(&bad[12 + 36], 0x7FFFFFFFu);  // data offset outside the file
  EXPECT_EQ(Load(bad, 1)->result, 0);
  bad = file;
  ztPutU32LE(&bad[12 + 28], 0x10000);  // packed bit area past the end
  EXPECT_EQ(Load(bad, 1)->result, 0);
  // Cut inside the frame information.
  EXPECT_EQ(Load(Bytes(file.begin(), file.begin() + 40), 1)->result, 0);
  // A stream that gives fewer bytes than the rows need.
  Zo2Frame small = FrameOf(Rows(1, 1, 4, Fill), 4);
  small.width = 2;
  EXPECT_EQ(Load(Zo2File(37, {small}))->result, 0);
  long live = ztHeapLiveBlocks();
  zt_imgtest::MutateAndLoad(file, 11, 1000, [](const Bytes& b) {
    Load(b, 1);
    LoadIndex(b, 1);
  });
  EXPECT_EQ(ztHeapLiveBlocks(), live);
}

// ---- saving -------------------------------------------------------------------

TEST(Zo2Save, RoundTripRestoresPixelsAndCarriedValues) {
  ztImageZo2* img = new ztImageZo2;
  zt_imgtest::FillImage(img, 6, 5, 4, [](uint32_t x, uint32_t y, int k) {
    return static_cast<uint8_t>(k == 3 ? (x == 0 ? 0 : 200) : Fill(x, y, k));
  });
  auto before = RowsOf(img);
  Bytes file = Saved(img, 42, 1234, -99, 0);
  img->Release();
  ASSERT_FALSE(file.empty());
  auto l = Load(file, 42);
  ASSERT_EQ(l->result, 1);
  // Column 0 is fully transparent: cropped away, its place kept by the offset.
  EXPECT_EQ(l->image->GetWidth(), 5u);
  int32_t cw, ch, ox, oy;
  l->image->GetCanvasSize(&cw, &ch);
  l->image->GetOffset(&ox, &oy);
  EXPECT_EQ(cw, 6);
  EXPECT_EQ(ch, 5);
  EXPECT_EQ(ox, 1);
  EXPECT_EQ(oy, 0);
  for (uint32_t y = 0; y < 5; ++y) EXPECT_EQ(RowsOf(l->image)[y], Bytes(before[y].begin() + 4, before[y].end())) << y;
  EXPECT_EQ(l->image->GetAlphaState(), ZTIMAGE_ALPHA_TRANSPARENT);
  EXPECT_EQ(l->image->GetUserValue1(), 1234);
  EXPECT_EQ(l->image->GetUserValue2(), -99);
  auto byIndex = LoadIndex(file, 0);
  EXPECT_EQ(byIndex->id, 42);
}

TEST(Zo2Save, ClearTransparentFlagZeroesHiddenColours) {
  ztImageZo2* img = new ztImageZo2;
  img->SetCropOnSave(0);
  zt_imgtest::FillImage(
      img, 2, 1, 4, [](uint32_t x, uint32_t, int k) { return static_cast<uint8_t>(k == 3 ? (x ? 255 : 0) : 90 + k); });
  Bytes kept = Saved(img, 0, 0, 0, 0);
  Bytes cleared = Saved(img, 0, 0, 0, 1);
  img->Release();
  EXPECT_EQ(PixelAt(Load(kept)->image, 0, 0), (Bytes{90, 91, 92, 0}));
  EXPECT_EQ(PixelAt(Load(cleared)->image, 0, 0), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(PixelAt(Load(cleared)->image, 1, 0), (Bytes{90, 91, 92, 255}));
}

TEST(Zo2Save, OpaqueThreeBytePicturesRoundTrip) {
  ztImageZo2* img = new ztImageZo2;
  zt_imgtest::FillImage(img, 7, 3, 3, Fill);
  auto before = RowsOf(img);
  Bytes file = Saved(img, 1, 0, 0, 0);
  img->Release();
  auto l = Load(file, 1);
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(l->image->GetBytesPerPixel(), 3);
  EXPECT_EQ(RowsOf(l->image), before);
  EXPECT_EQ(l->image->GetAlphaState(), ZTIMAGE_ALPHA_OPAQUE);
}

TEST(Zo2Save, FullyTransparentPictureCropsToTwoByTwo) {
  ztImageZo2* img = new ztImageZo2;
  img->CreateBuffer(9, 7, 4);  // all zero: alpha 0 everywhere
  Bytes file = Saved(img, 0, 0, 0, 0);
  EXPECT_EQ(img->GetWidth(), 2u);
  img->Release();
  auto l = Load(file);
  ASSERT_EQ(l->result, 1);
  EXPECT_EQ(l->image->GetWidth(), 2u);
  EXPECT_EQ(l->image->GetHeight(), 2u);
  int32_t cw, ch, ox, oy;
  l->image->GetCanvasSize(&cw, &ch);
  l->image->GetOffset(&ox, &oy);
  EXPECT_EQ(ox, 0);
  EXPECT_EQ(oy, 0);
  EXPECT_EQ(cw, 9);
  EXPECT_EQ(ch, 7);
}

TEST(Zo2Save, WithoutCropTheWholePictureIsKept) {
  ztImageZo2* img = new ztImageZo2;
  img->SetCropOnSave(0);
  img->CreateBuffer(5, 4, 4);
  img->GetPixelAddress(3, 2)[3] = 255;
  img->SetOffset(8, 9);
  Bytes file = Saved(img, 0, 0, 0, 0);
  img->Release();
  auto l = Load(file);
  EXPECT_EQ(l->image->GetWidth(), 5u);
  EXPECT_EQ(l->image->GetHeight(), 4u);
  int32_t ox, oy;
  l->image->GetOffset(&ox, &oy);
  EXPECT_EQ(ox, 0);
  EXPECT_EQ(oy, 0);
  EXPECT_EQ(PixelAt(l->image, 3, 2)[3], 255);
}

TEST(Zo2Save, HeaderAndAreasAreLaidOutExactly) {
  // One pixel 0, 255, 1, 128: codes 0, 1, 2, 255, planes C0 C0 C0 E4.
  ztImageZo2* img = new ztImageZo2;
  img->CreateBuffer(1, 1, 4);
  memcpy(img->GetPixels(), "\x00\xff\x01\x80", 4);
  Bytes f = Saved(img, 0x1234, 7, 8, 0);
  img->Release();
  ASSERT_GE(f.size(), 88u);
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 12), (Bytes{'Z', 'O', '-', '2', 12, 0, 0, 0, 37, 0, 0, 0}));
  const uint8_t* h = &f[12];
  EXPECT_EQ(ztGetU32LE(h + 0), 1u);
  EXPECT_EQ(ztGetU32LE(h + 4), 1u);
  EXPECT_EQ(ztGetU16LE(h + 8), 32u);
  EXPECT_EQ(ztGetU16LE(h + 10), 0u);
  EXPECT_EQ(ztGetU32LE(h + 12), 0u);
  EXPECT_EQ(ztGetU32LE(h + 16), 0u);
  uint32_t bytePacked = ztGetU32LE(h + 20), byteSize = ztGetU32LE(h + 24);
  uint32_t bitPacked = ztGetU32LE(h + 28), bitSize = ztGetU32LE(h + 32);
  EXPECT_EQ(ztGetU32LE(h + 36), 40u);
  EXPECT_EQ(ztGetU32LE(h + 40), 0x1234u);
  EXPECT_EQ(ztGetU32LE(h + 44), 1u);
  EXPECT_EQ(ztGetU32LE(h + 48), 1u);
  EXPECT_EQ(ztGetU32LE(h + 52), 0u);
  EXPECT_EQ(ztGetU32LE(h + 56), 0u);
  EXPECT_EQ(ztGetU32LE(h + 60), 1u);  // alpha 128: transparent
  EXPECT_EQ(ztGetU32LE(h + 64), 0u);
  EXPECT_EQ(ztGetU32LE(h + 68), 7u);
  EXPECT_EQ(ztGetU32LE(h + 72), 8u);
  EXPECT_EQ(f.size(), 88u + bytePacked + bitPacked);
  EXPECT_EQ(Unzlib(&f[88], bytePacked, byteSize), (Bytes{0xC0, 0xC0, 0xC0, 0xE4}));
  // Flag 1, gamma 4, copy run gamma 4: bits 1 00100 00100.
  EXPECT_EQ(Unzlib(&f[88 + bytePacked], bitPacked, bitSize), BitsLsbFirst("1 00100 00100"));
}

TEST(Zo2Save, StreamStartingWithZeroBytesBeginsWithAZeroRun) {
  // Two opaque black pixels: plane 0 (top bit pairs) is all zero.
  ztImageZo2* img = new ztImageZo2;
  img->SetCropOnSave(0);
  zt_imgtest::FillImage(img, 2, 1, 4, [](uint32_t, uint32_t, int k) { return static_cast<uint8_t>(k == 3 ? 255 : 0); });
  Bytes f = Saved(img, 0, 0, 0, 0);
  img->Release();
  uint32_t bytePacked = ztGetU32LE(&f[32]), byteSize = ztGetU32LE(&f[36]);
  uint32_t bitPacked = ztGetU32LE(&f[40]), bitSize = ztGetU32LE(&f[44]);
  // Pixel 0 codes 0 0 0 1 (255 is -1), pixel 1 repeats it: all codes are
  // below 4, so plane 0 and the stream's first byte are zero.
  RefStrip ref = RefEncode({Bytes{0, 0, 0, 255, 0, 0, 0, 255}}, 4);
  ASSERT_EQ(ref.expanded[0], 0);
  EXPECT_EQ(Unzlib(&f[88], bytePacked, byteSize), ref.byteArea);
  Bytes bits = Unzlib(&f[88 + bytePacked], bitPacked, bitSize);
  EXPECT_EQ(bits, ref.bitArea);
  EXPECT_EQ(bits[0] & 1, 0);
}

TEST(Zo2Save, EncoderMatchesTheReferenceCoderOnAPicture) {
  ztImageZo2* img = new ztImageZo2;
  img->SetCropOnSave(0);
  zt_imgtest::FillImage(img, 13, 9, 4, [](uint32_t x, uint32_t y, int k) {
    return static_cast<uint8_t>(k == 3 ? 255 : (x * x + y * 7 + k * 40) & 0xF8);
  });
  auto rows = RowsOf(img);
  Bytes f = Saved(img, 0, 0, 0, 0);
  img->Release();
  RefStrip ref = RefEncode(rows, 4);
  uint32_t bytePacked = ztGetU32LE(&f[32]), byteSize = ztGetU32LE(&f[36]);
  uint32_t bitPacked = ztGetU32LE(&f[40]), bitSize = ztGetU32LE(&f[44]);
  EXPECT_EQ(Unzlib(&f[88], bytePacked, byteSize), ref.byteArea);
  EXPECT_EQ(Unzlib(&f[88 + bytePacked], bitPacked, bitSize), ref.bitArea);
}

TEST(Zo2Save, UnsupportedPixelSizeFailsWithMessageAndEmptyBlock) {
  ztImageZo2* img = new ztImageZo2;
  img->CreateBuffer(3, 3, 2);
  ztMemBlock out;
  zt_test::ClearLog();
  EXPECT_EQ(img->Save(&out, 0, 0, 0, 0), 0);
  EXPECT_EQ(out.data, nullptr);
  EXPECT_EQ(out.size, 0u);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932(u8"この色数には対応していません")));
  img->Release();
}

TEST(Zo2Save, AreasThatDoNotFitFailWithoutClaimingBytes) {
  ztImageZo2* img = new ztImageZo2;
  zt_imgtest::FillImage(img, 64, 64, 4, [](uint32_t x, uint32_t y, int k) {
    return static_cast<uint8_t>((x * 2654435761u + y * 40503u + k * 97u) >> 7);
  });
  std::vector<uint8_t> out(300000, 0xAB);
  int32_t full = img->Encode(out.data(), static_cast<uint32_t>(out.size()), 0);
  ASSERT_GT(full, 88);
  // Too small for the byte area, then too small for the bit area only.
  EXPECT_EQ(img->Encode(out.data(), 200, 0), -1);
  uint32_t bytePacked = ztGetU32LE(&out[32]);
  EXPECT_EQ(img->Encode(out.data(), 88 + bytePacked + 2, 0), -1);
  EXPECT_EQ(img->Encode(out.data(), static_cast<uint32_t>(full), 0), full);
  EXPECT_EQ(img->Encode(out.data(), 50, 0), -1);
  img->Release();
}

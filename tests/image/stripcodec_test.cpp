#include "image/stripcodec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

using zt_strip::kTables;

TEST(StripSignMap, FoldsSignedDifferencesIntoCodes) {
  EXPECT_EQ(kTables.signMap[0], 0);
  EXPECT_EQ(kTables.signMap[1], 255);  // -1
  EXPECT_EQ(kTables.signMap[2], 1);
  EXPECT_EQ(kTables.signMap[254], 127);
  EXPECT_EQ(kTables.signMap[255], 128);  // -128
  for (int c = 0; c < 256; ++c) EXPECT_EQ(kTables.signCode[kTables.signMap[c]], c) << c;
}

TEST(StripPlanes, TablesPlaceEachPlanesBitPairs) {
  // Plane 0 byte with bit pair 7-6 set goes to bits 7-6 of output byte 3.
  EXPECT_EQ(kTables.plane[0][0xC0], 0xC0000000u);
  // Plane 3 byte 0x01 goes to bit 0 of output byte 0.
  EXPECT_EQ(kTables.plane[3][0x01], 0x00000001u);
  // Plane 1, bit pair 3-2 (output byte 1) = 10b: bits 5-4 of byte 1.
  EXPECT_EQ(kTables.plane[1][0x08], 0x00002000u);
  EXPECT_EQ(kTables.plane[2][0xFF], 0x0C0C0C0Cu);
}

TEST(StripPlanes, OnePixelIsAssembledFromBitPairsOfAllFourPlanes) {
  // Pixel bytes j = 0..3; plane k holds, at bit pair j, bits (7-2k)..(6-2k)
  // of byte j.
  const uint8_t pixel[4] = {0x1B, 0xE4, 0x80, 0x7F};
  uint8_t planes[4];
  zt_strip::SplitPlanes(pixel, 4, planes);
  for (int k = 0; k < 4; ++k) {
    uint8_t expect = 0;
    for (int j = 0; j < 4; ++j) expect |= static_cast<uint8_t>(((pixel[j] >> (6 - 2 * k)) & 3) << (2 * j));
    EXPECT_EQ(planes[k], expect) << k;
  }
  uint8_t back[4];
  zt_strip::Recombine(planes, 4, back);
  EXPECT_EQ(0, memcmp(back, pixel, 4));
}

TEST(StripPlanes, SplitAndRecombineAreInverse) {
  std::mt19937 rng(1);
  std::vector<uint8_t> in(4096), planes(4096), out(4096);
  for (auto& b : in) b = static_cast<uint8_t>(rng());
  zt_strip::SplitPlanes(in.data(), 4096, planes.data());
  // Planes are laid one after another: the first quarter only holds the
  // top bit pairs.
  EXPECT_EQ(planes[0], static_cast<uint8_t>((in[0] >> 6) | (in[1] >> 6) << 2 | (in[2] >> 6) << 4 | (in[3] >> 6) << 6));
  zt_strip::Recombine(planes.data(), 4096, out.data());
  EXPECT_EQ(out, in);
}

TEST(StripBits, GammaCodesReadLeastSignificantBitFirst) {
  const uint8_t one[] = {0x01};
  ztBitReader r1(one, 1);
  EXPECT_EQ(r1.ReadGamma(), 1u);
  // Bits 0, 0, 1 then 1, 0 in reading order: 4 + 2 = 6.
  const uint8_t six[] = {0x0C};
  ztBitReader r6(six, 1);
  EXPECT_EQ(r6.ReadGamma(), 6u);
  EXPECT_TRUE(r6.Ok());
}

TEST(StripBits, ReadingPastTheAreaFails) {
  const uint8_t zeros[] = {0x00, 0x00};
  ztBitReader r(zeros, 2);
  EXPECT_EQ(r.ReadGamma(), 0u);
  EXPECT_FALSE(r.Ok());
  // 32 zero bits are longer than any 32-bit number.
  const uint8_t many[] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  ztBitReader r2(many, sizeof many);
  EXPECT_EQ(r2.ReadGamma(), 0u);
  EXPECT_FALSE(r2.Ok());
  // A code cut short in its value bits.
  const uint8_t cut[] = {0x80};  // seven zeros, a one, then nothing
  ztBitReader r3(cut, 1);
  EXPECT_EQ(r3.ReadGamma(), 0u);
  EXPECT_FALSE(r3.Ok());
}

TEST(StripBits, WriterProducesWhatTheReaderReads) {
  uint8_t buf[1];
  ztBitWriter w(buf, 1);
  w.WriteGamma(6);
  EXPECT_EQ(w.Finish(), 1u);
  EXPECT_EQ(buf[0], 0x0C);

  std::vector<uint32_t> numbers = {1, 2, 3, 4, 5, 127, 128, 255, 256, 65535, 1000000, 0x80000000u, 0xFFFFFFFFu};
  std::vector<uint8_t> area(256);
  ztBitWriter wr(area.data(), 256);
  wr.WriteBit(1);
  for (uint32_t n : numbers) wr.WriteGamma(n);
  uint32_t bytes = wr.Finish();
  ASSERT_GT(bytes, 0u);
  ztBitReader rd(area.data(), bytes);
  EXPECT_EQ(rd.ReadBit(), 1);
  for (uint32_t n : numbers) EXPECT_EQ(rd.ReadGamma(), n);
  EXPECT_TRUE(rd.Ok());
}

TEST(StripBits, WriterStopsAtItsCapacity) {
  uint8_t buf[2] = {0xAA, 0xAA};
  ztBitWriter w(buf, 1);
  w.WriteGamma(0xFFFF);  // 31 bits
  EXPECT_FALSE(w.Ok());
  EXPECT_EQ(w.Finish(), 0u);
  EXPECT_EQ(buf[1], 0xAA);
  ztBitWriter z(buf, 2);
  z.WriteGamma(0);
  EXPECT_FALSE(z.Ok());
}

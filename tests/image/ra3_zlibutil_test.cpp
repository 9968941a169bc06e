#include "image/zlibutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/image/ra3_testbytes.h"

using namespace zt_ra3test;

namespace {

Bytes Random(size_t n, uint32_t seed, int range = 256) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<uint8_t>(rng() % range);
  return b;
}

}  // namespace

TEST(ZlibInflate, GivesTheStreamAndZeroesTheRestAfterAnEmptyStep) {
  Bytes data = Random(10000, 1, 16);
  Bytes packed = Zlib(data);
  Bytes out(10100 + 8, 0xAA);
  EXPECT_EQ(ztZlibInflate(out.data(), 10100, packed.data(), static_cast<uint32_t>(packed.size())), 10000);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 10000), data);
  EXPECT_EQ(Bytes(out.begin() + 10100, out.end()), Bytes(8, 0xAA));
  // Bytes after the stream keep the loop going; the step after the end
  // yields nothing, which clears the rest of the capacity and nothing past.
  Bytes trailing = packed;
  trailing.insert(trailing.end(), 5, 0x55);
  std::fill(out.begin(), out.end(), 0xAA);
  EXPECT_EQ(ztZlibInflate(out.data(), 10100, trailing.data(), static_cast<uint32_t>(trailing.size())), 10000);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 10000), data);
  EXPECT_EQ(Bytes(out.begin() + 10000, out.begin() + 10100), Bytes(100, 0));
  EXPECT_EQ(Bytes(out.begin() + 10100, out.end()), Bytes(8, 0xAA));
}

TEST(ZlibInflate, OutputBeyondTheCapacityIsDropped) {
  Bytes data = Random(9000, 2);
  Bytes packed = Zlib(data);
  for (uint32_t cap : {0u, 1u, 4095u, 4096u, 4097u, 8999u}) {
    Bytes out(cap + 16, 0xAA);
    EXPECT_EQ(ztZlibInflate(out.data(), cap, packed.data(), static_cast<uint32_t>(packed.size())),
              static_cast<int32_t>(cap));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + cap), Bytes(data.begin(), data.begin() + cap));
    EXPECT_EQ(Bytes(out.begin() + cap, out.end()), Bytes(16, 0xAA)) << cap;
  }
}

TEST(ZlibInflate, WholeStepsAndEmptyStreams) {
  Bytes data = Random(8192, 3, 4);
  Bytes packed = Zlib(data);
  Bytes out(8192 + 16);
  EXPECT_EQ(ztZlibInflate(out.data(), 8192 + 16, packed.data(), static_cast<uint32_t>(packed.size())), 8192);
  Bytes empty = Zlib({});
  EXPECT_EQ(ztZlibInflate(out.data(), 16, empty.data(), static_cast<uint32_t>(empty.size())), 0);
  EXPECT_EQ(ztZlibInflate(out.data(), 16, nullptr, 0), 0);
}

TEST(ZlibInflate, CorruptOrCutStreamsStopWithWhatCameBefore) {
  Bytes data = Random(20000, 4, 8);
  Bytes packed = Zlib(data);
  Bytes cut(packed.begin(), packed.begin() + packed.size() / 2);
  Bytes out(30000, 0xAA);
  int32_t n = ztZlibInflate(out.data(), 30000, cut.data(), static_cast<uint32_t>(cut.size()));
  EXPECT_GT(n, 0);
  EXPECT_LT(n, 20000);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + n), Bytes(data.begin(), data.begin() + n));
  Bytes garbage = Random(500, 5);
  EXPECT_EQ(ztZlibInflate(out.data(), 30000, garbage.data(), 500), 0);
  EXPECT_EQ(out[0], 0);  // the empty first step cleared the destination
}

TEST(ZlibDeflate, IsLevelNineZlibAndFitsOrFails) {
  Bytes data = Random(50000, 6, 32);
  Bytes out(60000);
  int32_t n = ztZlibDeflate(out.data(), 60000, data.data(), static_cast<uint32_t>(data.size()));
  ASSERT_GT(n, 0);
  // The same bytes as zlib's own one-call compression at level 9.
  uLongf refSize = compressBound(50000);
  Bytes ref(refSize);
  compress2(ref.data(), &refSize, data.data(), 50000, 9);
  ref.resize(refSize);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + n), ref);
  EXPECT_EQ(Unzlib(out.data(), static_cast<size_t>(n), 50000), data);
  // One byte short: a failure, never a count of bytes that were not kept.
  EXPECT_EQ(ztZlibDeflate(out.data(), static_cast<uint32_t>(n - 1), data.data(), 50000), -1);
  EXPECT_EQ(ztZlibDeflate(out.data(), static_cast<uint32_t>(n), data.data(), 50000), n);
  EXPECT_EQ(ztZlibDeflate(out.data(), 0, data.data(), 50000), -1);
  // An empty source is still a complete stream.
  int32_t e = ztZlibDeflate(out.data(), 64, nullptr, 0);
  ASSERT_GT(e, 0);
  EXPECT_EQ(Unzlib(out.data(), static_cast<size_t>(e), 0), Bytes{});
}

TEST(ZlibDeflate, LargeIncompressibleInputSpansSeveralSteps) {
  Bytes data = Random(300000, 7);
  Bytes out(310000);
  int32_t n = ztZlibDeflate(out.data(), 310000, data.data(), 300000);
  ASSERT_GT(n, 300000);
  Bytes back(300000 + 16);
  EXPECT_EQ(ztZlibInflate(back.data(), 300016, out.data(), static_cast<uint32_t>(n)), 300000);
  back.resize(300000);
  EXPECT_EQ(back, data);
}

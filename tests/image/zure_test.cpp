#include "image/zure.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/image/imagetest.h"

using zt_imgtest::Bytes;

namespace {

Bytes Encode(const Bytes& in, int set) {
  uint32_t size = ztZureEncode(in.data(), static_cast<uint32_t>(in.size()), nullptr, 0, set, nullptr, nullptr);
  Bytes out(size);
  uint32_t written =
      ztZureEncode(in.data(), static_cast<uint32_t>(in.size()), out.data(), size, set, nullptr, nullptr);
  EXPECT_EQ(written, size);
  return out;
}

// Decodes into a buffer of exactly the unpacked length (so the sanitizers
// see any write past it); returns the decoder's result.
uint32_t Decode(const Bytes& block, Bytes* out) {
  uint32_t length = ztZureDecode(block.data(), static_cast<uint32_t>(block.size()), nullptr, 0, nullptr, nullptr);
  out->assign(length, 0xCD);
  return ztZureDecode(block.data(), static_cast<uint32_t>(block.size()), out->data(), length, nullptr, nullptr);
}

struct Token {
  bool ref;
  uint32_t value;  // literal byte or reference word
};

// The token list of a block, read independently of the decoder.
std::vector<Token> Tokens(const Bytes& b) {
  uint32_t length = ztGetU32LE(&b[8]);
  uint32_t set = ztGetU32LE(&b[4]);
  uint32_t lengthBits = ztZureGetParams(static_cast<int>(set))->lengthBits;
  uint32_t fo = ztGetU32LE(&b[20]), dof = ztGetU32LE(&b[24]);
  std::vector<Token> tokens;
  uint32_t produced = 0, bit = 0, d = dof;
  while (produced < length) {
    bool ref = (b[fo + bit / 8] >> (bit % 8)) & 1;
    ++bit;
    if (ref) {
      uint32_t w = b[d] | b[d + 1] << 8;
      d += 2;
      tokens.push_back({true, w});
      produced += (w & ((1u << lengthBits) - 1)) + 3;
    } else {
      tokens.push_back({false, b[d++]});
      ++produced;
    }
  }
  return tokens;
}

Bytes Header(uint32_t set, uint32_t length, uint32_t f, uint32_t d, uint32_t fo, uint32_t dof) {
  Bytes b;
  zt_imgtest::PutText(b, "ZURE");
  zt_imgtest::Put32(b, set);
  zt_imgtest::Put32(b, length);
  zt_imgtest::Put32(b, f);
  zt_imgtest::Put32(b, d);
  zt_imgtest::Put32(b, fo);
  zt_imgtest::Put32(b, dof);
  return b;
}

// A hand-made block: flag bytes then data bytes.
Bytes Block(uint32_t set, uint32_t length, const Bytes& flags, const Bytes& data) {
  Bytes b = Header(set, length, static_cast<uint32_t>(flags.size()), static_cast<uint32_t>(data.size()), 28,
                   28 + static_cast<uint32_t>(flags.size()));
  b.insert(b.end(), flags.begin(), flags.end());
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

}  // namespace

// --- exact block layout --------------------------------------------------

TEST(ZureLayout, EightEqualBytesWithSet0GiveTheDocumented33ByteBlock) {
  Bytes in(8, 'A');
  Bytes b = Encode(in, 0);
  Bytes expect = Header(0, 8, 1, 4, 28, 29);
  expect.push_back(0x02);                                    // literal, reference
  expect.insert(expect.end(), {'A', 0x04, 0x00, 0x00});      // literal, word 4, carried byte
  EXPECT_EQ(b, expect);
}

TEST(ZureLayout, EmptyInputIsA30ByteBlock) {
  Bytes b = Encode({}, 3);
  EXPECT_EQ(b, [] {
    Bytes e = Header(3, 0, 1, 1, 28, 29);
    e.push_back(0);
    e.push_back(0);
    return e;
  }());
}

TEST(ZureLayout, FlagCountIsTokensOver8PlusOneAndTrailingBytesAreZero) {
  // Eight distinct bytes: eight literals fill one flag byte, so F is 2 and
  // the second flag byte is the empty one in progress.
  Bytes in = {1, 2, 3, 4, 5, 6, 7, 8};
  Bytes b = Encode(in, 2);
  EXPECT_EQ(ztGetU32LE(&b[12]), 2u);
  EXPECT_EQ(ztGetU32LE(&b[16]), 9u);
  EXPECT_EQ(b.size(), 28u + 2 + 9);
  EXPECT_EQ(b[28], 0x00);
  EXPECT_EQ(b[29], 0x00);
  EXPECT_EQ(b.back(), 0x00);
  EXPECT_EQ(Encode(in, 2), b);
}

TEST(ZureLayout, SizeOnlyEncodeMatchesTheWrittenBlock) {
  Bytes in = zt_imgtest::PhotoLike(64, 16, 3);
  for (int set = 0; set < ZTZURE_PARAM_SETS; ++set) {
    uint32_t size = ztZureEncode(in.data(), static_cast<uint32_t>(in.size()), nullptr, 0, set, nullptr, nullptr);
    EXPECT_EQ(Encode(in, set).size(), size) << "set " << set;
  }
}

TEST(ZureLayout, OutputSmallerThanTheBlockFails) {
  Bytes in(100, 7);
  uint32_t size = ztZureEncode(in.data(), 100, nullptr, 0, 0, nullptr, nullptr);
  Bytes out(size - 1);
  EXPECT_EQ(ztZureEncode(in.data(), 100, out.data(), size - 1, 0, nullptr, nullptr), 0u);
}

TEST(ZureLayout, UnknownParameterSetFails) {
  Bytes in(10, 1);
  EXPECT_EQ(ztZureEncode(in.data(), 10, nullptr, 0, 5, nullptr, nullptr), 0u);
  EXPECT_EQ(ztZureEncode(in.data(), 10, nullptr, 0, -1, nullptr, nullptr), 0u);
  EXPECT_EQ(ztZureGetParams(5), nullptr);
  EXPECT_EQ(ztZureGetParams(4)->longestRef, 130u);
  EXPECT_EQ(ztZureGetParams(0)->window, 8192u);
}

// --- encoder choices -----------------------------------------------------

TEST(ZureEncoder, EqualMatchesKeepTheOldestCandidate) {
  // At position 8 "abc" matches at 0 and at 4, three bytes each: the oldest
  // (distance 8) is kept.
  Bytes in = {'a', 'b', 'c', 'X', 'a', 'b', 'c', 'Y', 'a', 'b', 'c'};
  auto t = Tokens(Encode(in, 0));
  ASSERT_EQ(t.size(), 7u);  // a b c X ref Y ref
  EXPECT_TRUE(t[4].ref);
  EXPECT_EQ(t[4].value, (3u << 3) | 0);
  EXPECT_TRUE(t[6].ref);
  EXPECT_EQ(t[6].value, (7u << 3) | 0);  // distance 8, not 4
}

TEST(ZureEncoder, LongestMatchWins) {
  // "abcd" at 0, "abcZ" at 5: at 10 "abcd" matches 4 bytes at 0 and 3 at 5.
  Bytes in = {'a', 'b', 'c', 'd', 'Q', 'a', 'b', 'c', 'Z', 'R', 'a', 'b', 'c', 'd'};
  auto t = Tokens(Encode(in, 0));
  ASSERT_FALSE(t.empty());
  Token last = t.back();
  ASSERT_TRUE(last.ref);
  EXPECT_EQ(last.value, ((10u - 0 - 1) << 3) | (4 - 3));
}

TEST(ZureEncoder, ReferencesStopAtTheLongestLengthOfTheSet) {
  Bytes in(31, 'z');  // literal, then 10 + 10 + 10 with set 0
  auto t = Tokens(Encode(in, 0));
  ASSERT_EQ(t.size(), 4u);
  EXPECT_FALSE(t[0].ref);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(t[i].value & 7, 7u) << i;  // length 10
  auto t4 = Tokens(Encode(Bytes(200, 'z'), 4));                        // 1 + 130 + 69
  ASSERT_EQ(t4.size(), 3u);
  EXPECT_EQ(t4[1].value & 127, 127u);
  EXPECT_EQ(t4[2].value & 127, 66u);
}

TEST(ZureEncoder, WindowLimitsTheDistance) {
  std::mt19937 rng(5);
  Bytes head(512);
  for (auto& b : head) b = static_cast<uint8_t>(rng());
  // Set 4 keeps 512 positions: a repeat 512 bytes back is found...
  Bytes in = head;
  in.insert(in.end(), head.begin(), head.begin() + 8);
  auto t = Tokens(Encode(in, 4));
  ASSERT_TRUE(t.back().ref);
  EXPECT_EQ(t.back().value >> 7, 511u);
  // ...one byte further back it has left the dictionary.
  Bytes far = head;
  far.push_back(0xEE);
  far.insert(far.end(), head.begin(), head.begin() + 8);
  auto tf = Tokens(Encode(far, 4));
  ASSERT_GE(tf.size(), 8u);
  for (size_t i = tf.size() - 8; i < tf.size(); ++i) EXPECT_FALSE(tf[i].ref) << i;
  Bytes out;
  Bytes block = Encode(far, 4);
  EXPECT_EQ(Decode(block, &out), far.size());
  EXPECT_EQ(out, far);
}

TEST(ZureEncoder, ProgressIsReportedAfterEveryToken) {
  struct Seen {
    std::vector<uint32_t> done;
    uint32_t total = 0;
  } seen;
  auto cb = [](void* user, uint32_t done, uint32_t total) {
    auto* s = static_cast<Seen*>(user);
    s->done.push_back(done);
    s->total = total;
  };
  Bytes in(8, 'A');
  ztZureEncode(in.data(), 8, nullptr, 0, 0, cb, &seen);
  EXPECT_EQ(seen.done, (std::vector<uint32_t>{1, 8}));
  EXPECT_EQ(seen.total, 8u);
  Seen dec;
  Bytes block = Encode(in, 0);
  Bytes out(8);
  ztZureDecode(block.data(), static_cast<uint32_t>(block.size()), out.data(), 8, cb, &dec);
  EXPECT_EQ(dec.done, (std::vector<uint32_t>{1, 8, 8}));
}

// --- round trips ---------------------------------------------------------

class ZureRoundTrip : public testing::TestWithParam<int> {};

TEST_P(ZureRoundTrip, RandomRepetitiveAndTinyInputs) {
  const int set = GetParam();
  std::mt19937 rng(100 + set);
  std::vector<Bytes> inputs;
  inputs.push_back({});
  inputs.push_back({0x42});
  inputs.push_back({0x42, 0x42});
  inputs.push_back({1, 2, 3});
  inputs.push_back({9, 9, 9});
  Bytes random(20000);
  for (auto& b : random) b = static_cast<uint8_t>(rng());
  inputs.push_back(random);
  Bytes runs;  // runs and short periods: overlapping references
  for (int i = 0; i < 300; ++i) runs.insert(runs.end(), 1 + rng() % 200, static_cast<uint8_t>(rng() % 4));
  inputs.push_back(runs);
  Bytes periodic;
  for (int i = 0; i < 30000; ++i) periodic.push_back(static_cast<uint8_t>("ABCDEFG"[i % 7]));
  inputs.push_back(periodic);
  Bytes mixed = zt_imgtest::PhotoLike(100, 60, 9);
  Bytes ui = zt_imgtest::FlatUi(300, 200);
  mixed.insert(mixed.end(), ui.begin(), ui.end());
  inputs.push_back(mixed);
  for (const Bytes& in : inputs) {
    Bytes block = Encode(in, set);
    Bytes out;
    ASSERT_EQ(Decode(block, &out), in.size()) << "length " << in.size();
    EXPECT_EQ(out, in) << "length " << in.size();
  }
}

INSTANTIATE_TEST_SUITE_P(AllSets, ZureRoundTrip, testing::Range(0, ZTZURE_PARAM_SETS));

// --- decoder -------------------------------------------------------------

TEST(ZureDecoder, DistanceOneReplicatesThePreviousByte) {
  Bytes b = Block(0, 8, {0x02}, {'Q', 0x04, 0x00});
  Bytes out;
  EXPECT_EQ(Decode(b, &out), 8u);
  EXPECT_EQ(out, Bytes(8, 'Q'));
}

TEST(ZureDecoder, OverlappingReferenceRepeatsAPeriod) {
  // "ab", then distance 2 length 6 (set 1: word (1 << 4) | 3).
  Bytes b = Block(1, 8, {0x04}, {'a', 'b', 0x13, 0x00});
  Bytes out;
  EXPECT_EQ(Decode(b, &out), 8u);
  EXPECT_EQ(std::string(out.begin(), out.end()), "abababab");
}

TEST(ZureDecoder, NoOutputBufferReturnsTheLengthWithoutReadingTokens) {
  Bytes b = Header(2, 123456, 0, 0, 28, 28);  // no tokens at all
  EXPECT_EQ(ztZureDecode(b.data(), static_cast<uint32_t>(b.size()), nullptr, 0, nullptr, nullptr), 123456u);
}

TEST(ZureDecoder, RejectsMalformedBlocks) {
  Bytes out(64);
  auto dec = [&](const Bytes& b, uint32_t cap = 64) {
    return ztZureDecode(b.data(), static_cast<uint32_t>(b.size()), out.data(), cap, nullptr, nullptr);
  };
  Bytes good = Block(0, 8, {0x02}, {'Q', 0x04, 0x00});
  ASSERT_EQ(dec(good), 8u);

  Bytes sig = good;
  sig[3] = 'F';
  EXPECT_EQ(dec(sig), 0u) << "signature";
  EXPECT_EQ(ztZureDecode(sig.data(), static_cast<uint32_t>(sig.size()), nullptr, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(dec(Bytes(good.begin(), good.begin() + 27)), 0u) << "short header";

  Bytes set5 = good;
  set5[4] = 5;
  EXPECT_EQ(dec(set5), 0u) << "parameter set";

  Bytes flagOut = good;
  flagOut[20] = 200;
  EXPECT_EQ(dec(flagOut), 0u) << "flag offset outside";
  Bytes flagCount = good;
  flagCount[12] = 5;
  EXPECT_EQ(dec(flagCount), 0u) << "flag area runs past the end";
  Bytes dataCount = good;
  dataCount[16] = 9;
  EXPECT_EQ(dec(dataCount), 0u) << "data count outside";
  Bytes hugeOffset = good;
  hugeOffset[24] = 0xFF, hugeOffset[25] = 0xFF, hugeOffset[26] = 0xFF, hugeOffset[27] = 0xFF;
  EXPECT_EQ(dec(hugeOffset), 0u) << "data offset wraps";

  // A reference before the output start: distance 2 after one byte.
  EXPECT_EQ(dec(Block(0, 8, {0x02}, {'Q', 0x0C, 0x00})), 0u) << "reference before start";
  // A reference past the unpacked length: length 10 where 7 remain.
  EXPECT_EQ(dec(Block(0, 8, {0x02}, {'Q', 0x07, 0x00})), 0u) << "past the length";
  // Tokens that need more flag or data bytes than the block holds.
  EXPECT_EQ(dec(Block(0, 9, {0x00}, {1, 2, 3, 4, 5, 6, 7, 8, 9})), 0u) << "flags run out";
  EXPECT_EQ(dec(Block(0, 3, {0x00}, {1, 2})), 0u) << "data runs out";
  EXPECT_EQ(dec(Block(0, 4, {0x02}, {1, 0x04})), 0u) << "half a reference word";
  // An output buffer smaller than the unpacked length.
  EXPECT_EQ(dec(good, 7), 0u) << "small output";
}

TEST(ZureDecoder, LongBlocksAreCheckedAsCarefullyAsShortOnes) {
  // Long enough for the decoder's bulk path: a reference as the very first
  // token, and one reaching before the start after a run of literals.
  Bytes flags(300, 0x00), data(2400, 'x');
  flags[0] = 0x01;
  data[0] = 0x00;  // distance 1 with nothing produced yet
  data[1] = 0x00;
  Bytes out(2000);
  Bytes b = Block(0, 2000, flags, data);
  EXPECT_EQ(ztZureDecode(b.data(), static_cast<uint32_t>(b.size()), out.data(), 2000, nullptr, nullptr), 0u);
  Bytes flags2(300, 0x00);
  flags2[2] = 0x01;                    // token 16: a reference after 16 literals
  Bytes data2(2400, 'y');
  data2[16] = 0xF8, data2[17] = 0x00;  // set 0: distance (0xF8 >> 3) + 1 = 32 > 16
  Bytes b2 = Block(0, 2000, flags2, data2);
  EXPECT_EQ(ztZureDecode(b2.data(), static_cast<uint32_t>(b2.size()), out.data(), 2000, nullptr, nullptr), 0u);
  data2[16] = 0x78;                    // distance 16: fine
  Bytes b3 = Block(0, 2000, flags2, data2);
  EXPECT_EQ(ztZureDecode(b3.data(), static_cast<uint32_t>(b3.size()), out.data(), 2000, nullptr, nullptr), 2000u);
  EXPECT_EQ(out[16 + 2], 'y');
}

TEST(ZureDecoder, DamagedBlocksNeverReadOrWriteOutside) {
  Bytes in = zt_imgtest::PhotoLike(40, 30, 4);
  Bytes ui = zt_imgtest::FlatUi(60, 40);
  in.insert(in.end(), ui.begin(), ui.end());
  for (int set = 0; set < ZTZURE_PARAM_SETS; ++set) {
    zt_imgtest::MutateAndLoad(Encode(in, set), 70 + set, 200, [](const Bytes& b) {
      uint32_t n = ztZureDecode(b.data(), static_cast<uint32_t>(b.size()), nullptr, 0, nullptr, nullptr);
      if (n == 0 || n > (1u << 20)) return;
      Bytes out(n);
      ztZureDecode(b.data(), static_cast<uint32_t>(b.size()), out.data(), n, nullptr, nullptr);
    });
  }
}

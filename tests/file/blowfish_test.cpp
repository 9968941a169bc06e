#include "file/blowfish.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Vector {
  uint64_t key, plain, cipher;
};

// The published test vectors (8-byte keys, big-endian halves).
const Vector kVectors[] = {
    {0x0000000000000000ull, 0x0000000000000000ull, 0x4EF997456198DD78ull},
    {0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull, 0x51866FD5B85ECB8Aull},
    {0x3000000000000000ull, 0x1000000000000001ull, 0x7D856F9A613063F2ull},
    {0x1111111111111111ull, 0x1111111111111111ull, 0x2466DD878B963C9Dull},
    {0x0123456789ABCDEFull, 0x1111111111111111ull, 0x61F9C3802281B096ull},
    {0x1111111111111111ull, 0x0123456789ABCDEFull, 0x7D0CC630AFDA1EC7ull},
    {0xFEDCBA9876543210ull, 0x0123456789ABCDEFull, 0x0ACEAB0FC6A0A28Dull},
    {0x7CA110454A1A6E57ull, 0x01A1D6D039776742ull, 0x59C68245EB05282Bull},
};

void KeyBytes(uint64_t key, uint8_t out[8]) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(key >> (56 - 8 * i));
}

}  // namespace

TEST(Blowfish, PublishedVectorsEncipherAndDecipher) {
  for (const Vector& v : kVectors) {
    uint8_t key[8];
    KeyBytes(v.key, key);
    ztBlowfish bf;
    ASSERT_EQ(bf.SetKey(key, 8), 1);
    uint32_t l = static_cast<uint32_t>(v.plain >> 32), r = static_cast<uint32_t>(v.plain);
    bf.EncryptBlock(&l, &r);
    EXPECT_EQ((static_cast<uint64_t>(l) << 32) | r, v.cipher) << std::hex << v.key;
    bf.DecryptBlock(&l, &r);
    EXPECT_EQ((static_cast<uint64_t>(l) << 32) | r, v.plain);
  }
}

TEST(Blowfish, BuffersUseLittleEndianHalvesWithTheFirstAsLeft) {
  uint8_t key[8];
  KeyBytes(0xFEDCBA9876543210ull, key);
  ztBlowfish bf;
  bf.SetKey(key, 8);
  // Plain 0x01234567 / 0x89ABCDEF as two little-endian words.
  uint8_t block[8] = {0x67, 0x45, 0x23, 0x01, 0xEF, 0xCD, 0xAB, 0x89};
  ASSERT_EQ(bf.Encrypt(block, 8), 1);
  const uint8_t expected[8] = {0x0F, 0xAB, 0xCE, 0x0A, 0x8D, 0xA2, 0xA0, 0xC6};
  EXPECT_EQ(std::memcmp(block, expected, 8), 0);
  ASSERT_EQ(bf.Decrypt(block, 8), 1);
  const uint8_t plain[8] = {0x67, 0x45, 0x23, 0x01, 0xEF, 0xCD, 0xAB, 0x89};
  EXPECT_EQ(std::memcmp(block, plain, 8), 0);
}

TEST(Blowfish, KeyBytesAreCycled) {
  // A 4-byte key cycled is the same schedule as that key written twice.
  const uint8_t shortKey[4] = {1, 2, 3, 4};
  const uint8_t longKey[8] = {1, 2, 3, 4, 1, 2, 3, 4};
  ztBlowfish a, b;
  a.SetKey(shortKey, 4);
  b.SetKey(longKey, 8);
  uint32_t l1 = 5, r1 = 6, l2 = 5, r2 = 6;
  a.EncryptBlock(&l1, &r1);
  b.EncryptBlock(&l2, &r2);
  EXPECT_EQ(l1, l2);
  EXPECT_EQ(r1, r2);
}

TEST(Blowfish, RefusesPartialBlocksAndEmptyKeys) {
  ztBlowfish bf;
  uint8_t data[12] = {1, 2, 3};
  uint8_t copy[12];
  std::memcpy(copy, data, sizeof data);
  EXPECT_EQ(bf.Encrypt(data, 12), 0);
  EXPECT_EQ(std::memcmp(data, copy, sizeof data), 0);
  EXPECT_EQ(bf.SetKey(nullptr, 8), 0);
  const uint8_t k = 1;
  EXPECT_EQ(bf.SetKey(&k, 0), 0);
}

// Blowfish, the published 64-bit block cipher, as the archive format uses
// it: ECB over 8-byte blocks, each block read as two 32-bit halves in
// little-endian byte order with the first half as the left half.
#pragma once

#include <cstddef>
#include <cstdint>

class ztBlowfish {
 public:
  static constexpr size_t kMaxKeyBytes = 72;  // longer keys add nothing

  ztBlowfish();
  // The standard key schedule over `key` (cycled, four bytes at a time in
  // big-endian order). 1, or 0 for an empty or null key (state unchanged).
  int SetKey(const uint8_t* key, size_t bytes);

  // One block as two halves (the cipher's own view).
  void EncryptBlock(uint32_t* left, uint32_t* right) const;
  void DecryptBlock(uint32_t* left, uint32_t* right) const;

  // In place over whole 8-byte blocks with little-endian halves. 1, or 0
  // when `bytes` is not a multiple of 8 (nothing is changed).
  int Encrypt(void* data, size_t bytes) const;
  int Decrypt(void* data, size_t bytes) const;

 private:
  uint32_t F(uint32_t x) const;
  void Reset();

  uint32_t p_[18];
  uint32_t s_[4][256];
};

// Memory block descriptor: the bytes an image loader reads from and an image
// saver writes into. Owned data comes from the private heap; borrowed data
// (borrowed != 0) belongs to someone else and is never freed here.
#pragma once

#include <cstddef>
#include <cstdint>

struct ztMemBlock {
  uint8_t* data = nullptr;
  uint32_t size = 0;      // bytes of valid data
  uint32_t capacity = 0;  // bytes allocated
  uint32_t unit = 1;
  int32_t borrowed = 0;

  ztMemBlock() = default;
  // A borrowed view of bytes owned by the caller (what loaders are given).
  ztMemBlock(const void* bytes, uint32_t count);
  ~ztMemBlock() { Clear(); }
  ztMemBlock(const ztMemBlock&) = delete;
  ztMemBlock& operator=(const ztMemBlock&) = delete;

  // Frees owned data and empties the descriptor.
  void Clear();
  // Clears, then allocates `bytes` raised to the next multiple of 8; size and
  // capacity both become that count. Null (descriptor empty) on failure.
  uint8_t* Allocate(uint32_t bytes);
  // Clears, then points at bytes the caller keeps owning.
  void Borrow(const void* bytes, uint32_t count);
  // Clears, then takes ownership of a private-heap block holding `count`
  // valid bytes out of `cap`.
  void Adopt(uint8_t* block, uint32_t count, uint32_t cap);
};

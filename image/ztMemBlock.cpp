#include "image/ztMemBlock.h"

#include "platform/ztHeap.h"

ztMemBlock::ztMemBlock(const void* bytes, uint32_t count) { Borrow(bytes, count); }

void ztMemBlock::Clear() {
  if (!borrowed && data) ztHeapFree(data);
  data = nullptr;
  size = 0;
  capacity = 0;
}

uint8_t* ztMemBlock::Allocate(uint32_t bytes) {
  Clear();
  borrowed = 0;
  if (bytes > UINT32_MAX - 7) return nullptr;
  uint32_t rounded = (bytes + 7) & ~7u;
  data = static_cast<uint8_t*>(ztHeapAlloc(0, rounded));
  if (!data) return nullptr;
  size = rounded;
  capacity = rounded;
  return data;
}

void ztMemBlock::Borrow(const void* bytes, uint32_t count) {
  Clear();
  data = static_cast<uint8_t*>(const_cast<void*>(bytes));
  size = bytes ? count : 0;
  capacity = size;
  borrowed = 1;
}

void ztMemBlock::Adopt(uint8_t* block, uint32_t count, uint32_t cap) {
  Clear();
  data = block;
  size = block ? count : 0;
  capacity = block ? cap : 0;
  borrowed = 0;
}

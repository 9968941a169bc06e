// A scratch block of the private heap owned by one scope: freed on every
// return path, so decoders can leave early without leaking.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ztHeap.h"

class ztHeapBuffer {
 public:
  ztHeapBuffer() = default;
  ~ztHeapBuffer() { Free(); }
  ztHeapBuffer(const ztHeapBuffer&) = delete;
  ztHeapBuffer& operator=(const ztHeapBuffer&) = delete;

  // Replaces the block with a new one of `bytes` bytes (contents undefined).
  uint8_t* Alloc(uint32_t bytes) {
    Free();
    data_ = static_cast<uint8_t*>(ztHeapAlloc(0, bytes));
    size_ = data_ ? bytes : 0;
    return data_;
  }
  void Free() {
    if (data_) ztHeapFree(data_);
    data_ = nullptr;
    size_ = 0;
  }
  // Hands the block to the caller, who frees it with ztHeapFree.
  uint8_t* Detach() {
    uint8_t* p = data_;
    data_ = nullptr;
    size_ = 0;
    return p;
  }
  uint8_t* Get() const { return data_; }
  uint32_t Size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
};

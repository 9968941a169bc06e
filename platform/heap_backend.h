// The system side of the private heap, one file per build. The portable part
// (ztHeap.cpp) keeps the reference counts and the messages.
#pragma once

#include <cstdint>

namespace zt_heap {
bool BackendCreate(uint32_t initialSize);
// Returns `bytes` bytes whose first word holds the count; the bytes after that
// word are what callers see.
void* BackendAlloc(uint32_t bytes);
bool BackendFree(void* p);
void BackendDestroy();
bool BackendExists();
}  // namespace zt_heap

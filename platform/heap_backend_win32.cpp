#include <windows.h>

#include "platform/heap_backend.h"

namespace {
// Serialised (no HEAP_NO_SERIALIZE), so any thread may allocate and free.
HANDLE g_heap = nullptr;
}  // namespace

namespace zt_heap {
bool BackendCreate(uint32_t initialSize) {
  g_heap = HeapCreate(0, initialSize, 0);
  return g_heap != nullptr;
}
void* BackendAlloc(uint32_t bytes) { return g_heap ? HeapAlloc(g_heap, 0, bytes) : nullptr; }
bool BackendFree(void* p) { return g_heap && HeapFree(g_heap, 0, p); }
void BackendDestroy() {
  if (g_heap) HeapDestroy(g_heap);
  g_heap = nullptr;
}
bool BackendExists() { return g_heap != nullptr; }
}  // namespace zt_heap

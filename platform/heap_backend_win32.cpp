#include <windows.h>

#include "platform/heap_backend.h"

namespace {
// Serialised (no HEAP_NO_SERIALIZE), so any thread may allocate and free.
HANDLE g_heap = nullptr;
// The system returns 8- or 16-byte aligned blocks. Handing out the block
// itself would leave the caller's bytes (after the 4-byte count) only 4-byte
// aligned, which breaks setjmp buffers and vector code on x86_64; so the
// count is placed 12 bytes in, and the caller's bytes start 16 bytes in.
constexpr SIZE_T kLead = 12;
}  // namespace

namespace zt_heap {
bool BackendCreate(uint32_t initialSize) {
  g_heap = HeapCreate(0, initialSize, 0);
  return g_heap != nullptr;
}
void* BackendAlloc(uint32_t bytes) {
  // In the 32-bit build the lead would wrap a request near 4 GiB to a
  // handful of bytes, and the caller would write far past them.
  if (!g_heap || bytes > static_cast<SIZE_T>(-1) - kLead) return nullptr;
  auto* raw = static_cast<char*>(HeapAlloc(g_heap, 0, kLead + bytes));
  return raw ? raw + kLead : nullptr;
}
bool BackendFree(void* p) { return g_heap && HeapFree(g_heap, 0, static_cast<char*>(p) - kLead); }
void BackendDestroy() {
  if (g_heap) HeapDestroy(g_heap);
  g_heap = nullptr;
}
bool BackendExists() { return g_heap != nullptr; }
}  // namespace zt_heap

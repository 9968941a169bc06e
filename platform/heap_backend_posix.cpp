// Host build of the heap: malloc underneath, every block kept on a list so
// that destroying the heap releases what is still allocated, as the system
// heap does. The caller's bytes (after the count word) stay 16-byte aligned.
// Each block is exactly as long as asked, not rounded up, so that in the
// sanitizer builds a write one byte past the caller's bytes is caught.
#include <cstdlib>
#include <mutex>

#include "platform/heap_backend.h"

namespace {

struct alignas(16) Node {
  Node* prev;
  Node* next;
};
// The block handed to the portable part starts 12 bytes before a 16-byte
// boundary, so its first word (the count) ends right at that boundary.
constexpr size_t kLead = 32 - 4;

std::mutex g_lock;
bool g_exists = false;
Node g_list = {&g_list, &g_list};

}  // namespace

namespace zt_heap {

bool BackendCreate(uint32_t) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_exists = true;
  return true;
}

void* BackendAlloc(uint32_t bytes) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_exists) return nullptr;
  void* memory = nullptr;
  if (posix_memalign(&memory, 16, kLead + static_cast<size_t>(bytes)) != 0) return nullptr;
  auto* n = static_cast<Node*>(memory);
  n->prev = g_list.prev;
  n->next = &g_list;
  g_list.prev->next = n;
  g_list.prev = n;
  return reinterpret_cast<char*>(n) + kLead;
}

bool BackendFree(void* p) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_exists) return false;
  auto* n = reinterpret_cast<Node*>(static_cast<char*>(p) - kLead);
  n->prev->next = n->next;
  n->next->prev = n->prev;
  std::free(n);
  return true;
}

void BackendDestroy() {
  std::lock_guard<std::mutex> guard(g_lock);
  for (Node* n = g_list.next; n != &g_list;) {
    Node* next = n->next;
    std::free(n);
    n = next;
  }
  g_list.prev = g_list.next = &g_list;
  g_exists = false;
}

bool BackendExists() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_exists;
}

}  // namespace zt_heap

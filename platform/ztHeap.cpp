#include "platform/ztHeap.h"

#include <atomic>

#include "platform/heap_backend.h"
#include "platform/ztDebug.h"

namespace {
std::atomic<long> g_live{0};
}

int ztHeapCreate(uint32_t initialSize) {
  if (zt_heap::BackendExists()) return 0;
  if (!zt_heap::BackendCreate(initialSize)) {
    // ヒープ領域の作成に失敗しました
    DebugLog(
        "\x83q\x81[\x83v\x97\xcc\x88\xe6\x82\xcc\x8d\xec\x90\xac\x82\xc9\x8e\xb8\x94s\x82\xb5\x82\xdc\x82\xb5\x82\xbd");
    return 0;
  }
  // ヒープを作成しました。 size = %d (0x%x) byte (%fMB)
  DebugLog(
      "\x83q\x81[\x83v\x82\xf0\x8d\xec\x90\xac\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42 size = %d (0x%x) byte (%fMB)",
      static_cast<int>(initialSize), initialSize, initialSize / 1024.0 / 1024.0);
  return 1;
}

void* ztHeapAlloc(int tag, uint32_t bytes) {
  void* raw = nullptr;
  if (bytes <= UINT32_MAX - 4) raw = zt_heap::BackendAlloc(bytes + 4);
  if (!raw) {
    // メモリが確保出来ませんでした  id = %d  size = %d(0x%x)
    DebugLog(
        "\x83\x81\x83\x82\x83\x8a\x82\xaa\x8am\x95\xdb\x8fo\x97\x88\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd  "
        "id = %d  size = %d(0x%x)",
        tag, static_cast<int>(bytes + 4), bytes + 4);
    return nullptr;
  }
  auto* header = static_cast<int32_t*>(raw);
  *header = 1;
  ++g_live;
  return header + 1;
}

// The count in front of a block is changed with atomic operations: a block
// shared between threads (a lent preload buffer) may gain a reference on one
// while another gives one back.
int ztHeapFree(void* block) {
  // After the heap is gone its blocks are too: not even the count is read.
  if (!block || !zt_heap::BackendExists()) return 0;
  int32_t* header = static_cast<int32_t*>(block) - 1;
  int32_t count = __atomic_load_n(header, __ATOMIC_ACQUIRE);
  while (count > 1) {
    if (__atomic_compare_exchange_n(header, &count, count - 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
      return count - 1;
  }
  --g_live;
  return zt_heap::BackendFree(header) ? 1 : 0;
}

int ztHeapAddRef(void* block) {
  return block ? __atomic_add_fetch(static_cast<int32_t*>(block) - 1, 1, __ATOMIC_ACQ_REL) : 0;
}

int ztHeapRefCount(const void* block) {
  return block ? __atomic_load_n(static_cast<const int32_t*>(block) - 1, __ATOMIC_ACQUIRE) : 0;
}

int ztHeapDestroy() {
  zt_heap::BackendDestroy();
  g_live = 0;
  // ヒープを破棄しました。
  DebugLog("\x83q\x81[\x83v\x82\xf0\x94j\x8a\xfc\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42");
  return 1;
}

bool ztHeapExists() { return zt_heap::BackendExists(); }

long ztHeapLiveBlocks() { return g_live.load(); }

// Private heap: one process-wide growable heap for pixels, file buffers,
// memory files and text buffers. Every block carries a 32-bit reference count
// in the word just before the address handed out; a holder that shares a
// block raises it with ztHeapAddRef and every holder calls ztHeapFree.
#pragma once

#include <cstdint>

// Creates the heap. 0 when it already exists (the first heap is kept) or the
// system refused; 1 on success.
int ztHeapCreate(uint32_t initialSize);

// bytes + 4 from the heap, count set to 1, memory not cleared. Null (and a
// debug-log line) on failure, when bytes + 4 would overflow, or when the heap
// has not been created.
void* ztHeapAlloc(int tag, uint32_t bytes);

// Null gives 0. A count above 1 is lowered and the new count returned; a count
// of 1 returns the block to the heap and gives the system's result.
int ztHeapFree(void* block);

// Raises the reference count of a block from ztHeapAlloc; returns the new count.
int ztHeapAddRef(void* block);

// Current reference count of a block (0 for null).
int ztHeapRefCount(const void* block);

// Destroys the heap if it exists (blocks still allocated vanish with it).
// Always 1.
int ztHeapDestroy();

// Whether the heap exists.
bool ztHeapExists();

// Number of blocks handed out and not yet returned (tests use it to find
// leaks; blocks that vanish with the heap are no longer counted).
long ztHeapLiveBlocks();

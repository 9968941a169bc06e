// A bump allocator for the element and node trees.
//
// A parsed document has one small object per element and per attribute; taking
// them from a few large chunks keeps loading linear and makes destruction a
// walk over the chunks instead of a walk over the tree (which, for a deeply
// nested document, would otherwise need a stack as deep as the nesting).
// Objects placed here must be trivially destructible or destroyed by their
// owner; the arena only returns memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

class ztXmlArena {
 public:
  ztXmlArena() = default;
  ~ztXmlArena() { Clear(); }
  ztXmlArena(const ztXmlArena&) = delete;
  ztXmlArena& operator=(const ztXmlArena&) = delete;

  // `bytes` bytes aligned for any object. Out of memory ends the process the
  // ordinary way (operator new).
  void* Alloc(size_t bytes) {
    size_t pad = static_cast<size_t>(-reinterpret_cast<uintptr_t>(cur_)) & (kAlign - 1);
    if (pad > left_ || bytes > left_ - pad) return Fresh(bytes);
    cur_ += pad;
    left_ -= pad;
    return Take(bytes);
  }

  template <class T>
  T* New() {
    return new (Alloc(sizeof(T))) T();
  }

  // A terminated copy of `size` bytes, packed without alignment: most
  // strings of a document are a few bytes long.
  char* Copy(const char* text, size_t size) {
    char* p = static_cast<char*>(size + 1 > left_ ? Fresh(size + 1) : Take(size + 1));
    if (size) std::memcpy(p, text, size);
    p[size] = 0;
    return p;
  }

  void Clear() {
    while (head_) {
      Chunk* prev = head_->prev;
      ::operator delete(head_);
      head_ = prev;
    }
    cur_ = nullptr;
    left_ = 0;
    next_ = kFirstChunk;
  }

 private:
  static constexpr size_t kAlign = alignof(std::max_align_t);
  static constexpr size_t kFirstChunk = 4096;
  static constexpr size_t kMaxChunk = 1u << 20;
  struct alignas(std::max_align_t) Chunk {
    Chunk* prev;
  };

  void* Take(size_t bytes) {
    void* p = cur_;
    cur_ += bytes;
    left_ -= bytes;
    return p;
  }

  // Memory for a request that does not fit the current chunk. A large one
  // gets a chunk of its own, linked behind the current one, so the current
  // chunk's remainder is not thrown away; otherwise a new chunk (each twice
  // the last, up to 1 MiB) becomes current. Chunk memory is aligned for any
  // object.
  void* Fresh(size_t bytes) {
    if (bytes > kMaxChunk / 4) {
      Chunk* c = static_cast<Chunk*>(::operator new(sizeof(Chunk) + bytes));
      if (head_) {
        c->prev = head_->prev;
        head_->prev = c;
      } else {
        c->prev = nullptr;
        head_ = c;  // no bump space: left_ stays 0
      }
      return c + 1;
    }
    size_t size = next_;
    if (next_ < kMaxChunk) next_ *= 2;
    if (size < bytes) size = bytes;
    Chunk* c = static_cast<Chunk*>(::operator new(sizeof(Chunk) + size));
    c->prev = head_;
    head_ = c;
    cur_ = reinterpret_cast<char*>(c + 1);
    left_ = size;
    return Take(bytes);
  }

  Chunk* head_ = nullptr;
  char* cur_ = nullptr;
  size_t left_ = 0;
  size_t next_ = kFirstChunk;
};

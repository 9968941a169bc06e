// Bytes of files: the one bounds-checked cursor every parser of untrusted
// input reads through (image decoders, archives), and the little-endian
// stores and loads of the writers.
//
// Each request of the cursor is compared with the bytes that are left
// (`n > left`, which cannot wrap) and a failed request clears a sticky ok
// flag, so a parser can read a whole header and check once at the end. A read
// past the end yields zeros and moves nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

class ztByteCursor {
 public:
  ztByteCursor(const uint8_t* data, uint32_t size) : data_(data), size_(data ? size : 0), pos_(0) {}

  bool Ok() const { return ok_; }
  uint32_t Left() const { return size_ - pos_; }
  uint32_t Pos() const { return pos_; }
  uint32_t Size() const { return size_; }
  const uint8_t* Here() const { return data_ + pos_; }

  // Moves to an absolute position inside the data (the end itself allowed).
  bool Seek(uint32_t pos) {
    if (pos > size_) return Fail();
    pos_ = pos;
    return ok_;
  }
  bool Skip(uint32_t n) {
    if (n > Left()) return Fail();
    pos_ += n;
    return ok_;
  }
  // Pointer to the next n bytes, consuming them; null when they are not there.
  const uint8_t* Take(uint32_t n) {
    if (n > Left()) {
      Fail();
      return nullptr;
    }
    const uint8_t* p = data_ + pos_;
    pos_ += n;
    return p;
  }
  bool Read(void* out, uint32_t n) {
    const uint8_t* p = Take(n);
    if (!p) {
      memset(out, 0, n);
      return false;
    }
    memcpy(out, p, n);
    return true;
  }
  uint8_t U8() {
    const uint8_t* p = Take(1);
    return p ? p[0] : 0;
  }
  uint16_t U16LE() {
    const uint8_t* p = Take(2);
    return p ? static_cast<uint16_t>(p[0] | p[1] << 8) : 0;
  }
  uint32_t U32LE() {
    const uint8_t* p = Take(4);
    return p ? (p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24) : 0;
  }
  uint16_t U16BE() {
    const uint8_t* p = Take(2);
    return p ? static_cast<uint16_t>(p[0] << 8 | p[1]) : 0;
  }
  uint32_t U32BE() {
    const uint8_t* p = Take(4);
    return p ? (static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]) : 0;
  }

 private:
  bool Fail() {
    ok_ = false;
    return false;
  }

  const uint8_t* data_;
  uint32_t size_;
  uint32_t pos_;
  bool ok_ = true;
};

// Little-endian stores for the writers.
inline void ztPutU16LE(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void ztPutU32LE(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t ztGetU32LE(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t ztGetU16LE(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline void ztAppendU32LE(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  ztPutU32LE(b, v);
  out.insert(out.end(), b, b + 4);
}

// Byte layouts laid out by hand: the test programs, the end-to-end package
// builders and the fuzz seed writers make files the library only reads (or
// damage the ones it writes) field by field. Every helper works on any
// growable byte buffer, std::vector<uint8_t> or std::string, so a layout is
// written once whichever form its user keeps bytes in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zt_test {

using Bytes = std::vector<uint8_t>;

// Appends the low byte of `v`.
template <class Buffer>
inline void PutByte(Buffer& b, uint32_t v) {
  b.push_back(static_cast<typename Buffer::value_type>(v & 0xFF));
}

// Numbers appended least significant byte first, as in RA-3, ZO-2, BMP, ZTF,
// ZURE and the archive.
template <class Buffer>
inline void Put16(Buffer& b, uint32_t v) {
  PutByte(b, v);
  PutByte(b, v >> 8);
}
template <class Buffer>
inline void Put32(Buffer& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// Numbers appended most significant byte first, as in PSD.
template <class Buffer>
inline void Put16BE(Buffer& b, uint32_t v) {
  PutByte(b, v >> 8);
  PutByte(b, v);
}
template <class Buffer>
inline void Put32BE(Buffer& b, uint32_t v) {
  Put16BE(b, v >> 16);
  Put16BE(b, v & 0xFFFF);
}

// The characters of `s` without its terminator (signatures, tag names).
template <class Buffer>
inline void PutText(Buffer& b, const char* s) {
  while (*s) PutByte(b, static_cast<uint8_t>(*s++));
}

// Appends a whole buffer.
template <class Buffer>
inline void Append(Buffer& b, const Buffer& more) {
  b.insert(b.end(), more.begin(), more.end());
}

// The little-endian 32-bit number at `at`, and one written over it: for
// reading a field of a file made elsewhere and for damaging it in place.
template <class Buffer>
inline uint32_t Get32(const Buffer& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
  return v;
}
template <class Buffer>
inline void Set32(Buffer& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<typename Buffer::value_type>((v >> (8 * i)) & 0xFF);
}

}  // namespace zt_test

#include "image/stripcodec.h"

namespace zt_strip {

void Recombine(const uint8_t* planes, uint32_t length, uint8_t* out) {
  uint32_t q = length / 4;
  const uint8_t* p0 = planes;
  const uint8_t* p1 = planes + q;
  const uint8_t* p2 = planes + 2 * static_cast<size_t>(q);
  const uint8_t* p3 = planes + 3 * static_cast<size_t>(q);
  for (uint32_t i = 0; i < q; ++i) {
    uint32_t v = kTables.plane[0][p0[i]] | kTables.plane[1][p1[i]] | kTables.plane[2][p2[i]] |
                 kTables.plane[3][p3[i]];
    out[4 * static_cast<size_t>(i)] = static_cast<uint8_t>(v);
    out[4 * static_cast<size_t>(i) + 1] = static_cast<uint8_t>(v >> 8);
    out[4 * static_cast<size_t>(i) + 2] = static_cast<uint8_t>(v >> 16);
    out[4 * static_cast<size_t>(i) + 3] = static_cast<uint8_t>(v >> 24);
  }
}

void SplitPlanes(const uint8_t* bytes, uint32_t length, uint8_t* planes) {
  uint32_t q = length / 4;
  for (int k = 0; k < 4; ++k) {
    int shift = 6 - 2 * k;
    uint8_t* plane = planes + static_cast<size_t>(k) * q;
    for (uint32_t i = 0; i < q; ++i) {
      const uint8_t* g = bytes + 4 * static_cast<size_t>(i);
      plane[i] = static_cast<uint8_t>(((g[0] >> shift) & 3) | ((g[1] >> shift) & 3) << 2 |
                                      ((g[2] >> shift) & 3) << 4 | ((g[3] >> shift) & 3) << 6);
    }
  }
}

}  // namespace zt_strip

void ztBitReader::Reset(const uint8_t* data, uint32_t size) {
  cursor_ = data;
  left_ = data ? size : 0;
  bitIndex_ = 0;
  current_ = 0;
  ok_ = true;
}

uint32_t ztBitReader::ReadGamma() {
  int k = 0;
  while (ReadBit() == 0) {
    if (!ok_ || ++k > 31) {
      ok_ = false;
      return 0;
    }
  }
  uint32_t v = 0;
  for (int i = 0; i < k; ++i) v = v << 1 | static_cast<uint32_t>(ReadBit());
  if (!ok_) return 0;
  return (1u << k) + v;
}

void ztBitWriter::Reset(uint8_t* out, uint32_t capacity) {
  out_ = out;
  capacity_ = out ? capacity : 0;
  pos_ = 0;
  bitIndex_ = 0;
  current_ = 0;
  ok_ = true;
}

void ztBitWriter::Flush() {
  if (pos_ < capacity_) {
    out_[pos_++] = current_;
  } else {
    ok_ = false;
  }
  current_ = 0;
  bitIndex_ = 0;
}

void ztBitWriter::WriteGamma(uint32_t a) {
  if (a == 0) {
    ok_ = false;
    return;
  }
  int i = 31;
  while (!(a >> i)) --i;
  for (int n = 0; n < i; ++n) WriteBit(0);
  WriteBit(1);
  for (int n = i - 1; n >= 0; --n) WriteBit((a >> n) & 1);
}

uint32_t ztBitWriter::Finish() {
  if (bitIndex_ > 0) Flush();
  return ok_ ? pos_ : 0;
}

// Pieces of the lossless strip codec shared by the RA-3 and ZO-2 formats:
// the sign map that folds signed differences into small codes, the four
// bit-plane tables that rebuild bytes from their planes, and the bit reader
// and writer with their Elias gamma numbers.
//
// Bits are stored least significant first within each byte. A gamma number
// a >= 1 is written as i zero bits, a 1 bit, then the low i bits of a, most
// significant first, where 2^i <= a < 2^(i+1).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt_strip {

struct Tables {
  // Code -> difference byte: even codes 2i are i (0..127), odd codes 2i+1
  // are 255 - i (-1..-128 modulo 256).
  uint8_t signMap[256];
  // Difference byte -> code (the encoder's inverse of signMap).
  uint8_t signCode[256];
  // plane[k][p]: plane byte p of plane k spread into a 32-bit group of four
  // output bytes; output byte j takes p's bit pair 2j+1..2j at bits
  // (7-2k)..(6-2k). Built as spread(p) << (6 - 2k), where spread puts bit
  // pairs 1-0, 3-2, 5-4, 7-6 at bits 1-0, 9-8, 17-16, 25-24.
  uint32_t plane[4][256];

  constexpr Tables() : signMap(), signCode(), plane() {
    for (int i = 0; i < 128; ++i) {
      signMap[2 * i] = static_cast<uint8_t>(i);
      signMap[2 * i + 1] = static_cast<uint8_t>(255 - i);
      signCode[i] = static_cast<uint8_t>(2 * i);
      signCode[255 - i] = static_cast<uint8_t>(2 * i + 1);
    }
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t spread = (i & 3) | ((i >> 2) & 3) << 8 | ((i >> 4) & 3) << 16 | ((i >> 6) & 3) << 24;
      plane[0][i] = spread << 6;
      plane[1][i] = spread << 4;
      plane[2][i] = spread << 2;
      plane[3][i] = spread;
    }
  }
};

// Built by the compiler, once for the whole program.
inline constexpr Tables kTables{};

// Rebuilds `length` bytes (a multiple of 4) from four planes of length / 4
// bytes laid one after another in `planes`; `out` must not overlap them.
void Recombine(const uint8_t* planes, uint32_t length, uint8_t* out);
// The inverse: splits `length` bytes (a multiple of 4) into four planes.
void SplitPlanes(const uint8_t* bytes, uint32_t length, uint8_t* planes);

}  // namespace zt_strip

// Reads bits and gamma numbers from an unpacked bit area. Reading past the
// end clears a sticky ok flag and yields 0 bits (and gamma 0, which no valid
// code produces).
class ztBitReader {
 public:
  ztBitReader() = default;
  ztBitReader(const uint8_t* data, uint32_t size) { Reset(data, size); }
  void Reset(const uint8_t* data, uint32_t size);

  int ReadBit() {
    if (bitIndex_ == 0) {
      if (left_ == 0) {
        ok_ = false;
        return 0;
      }
      current_ = *cursor_++;
      --left_;
    }
    int bit = (current_ >> bitIndex_) & 1;
    bitIndex_ = (bitIndex_ + 1) & 7;
    return bit;
  }
  // 2^k + v for k zero bits, a 1 bit and k more bits; 0 on a code longer
  // than 32 bits or one that runs past the area.
  uint32_t ReadGamma();
  bool Ok() const { return ok_; }

 private:
  const uint8_t* cursor_ = nullptr;
  uint32_t left_ = 0;
  int bitIndex_ = 0;
  uint8_t current_ = 0;
  bool ok_ = true;
};

// Writes bits and gamma numbers into a caller's buffer of fixed capacity.
// Running out of room clears a sticky ok flag; nothing is written past it.
class ztBitWriter {
 public:
  ztBitWriter() = default;
  ztBitWriter(uint8_t* out, uint32_t capacity) { Reset(out, capacity); }
  void Reset(uint8_t* out, uint32_t capacity);

  void WriteBit(int bit) {
    if (bit) current_ |= static_cast<uint8_t>(1u << bitIndex_);
    if (++bitIndex_ == 8) Flush();
  }
  // a must be at least 1.
  void WriteGamma(uint32_t a);
  // Stores a partly filled byte (padded with zero bits) and returns the byte
  // count, or 0 when the buffer was too small.
  uint32_t Finish();
  bool Ok() const { return ok_; }
  uint32_t BytesWritten() const { return pos_; }

 private:
  void Flush();

  uint8_t* out_ = nullptr;
  uint32_t capacity_ = 0;
  uint32_t pos_ = 0;
  int bitIndex_ = 0;
  uint8_t current_ = 0;
  bool ok_ = true;
};

#include "platform/ztHeapBuffer.h"

// Decoder and encoder state of the two strip-codec formats (RA-3, ZO-2): the
// unpacked bit area of the strip being decoded and the reader over it, two
// values the ZO-2 encoder carries, and its crop-on-save flag. The sign map
// and plane tables are the shared constant zt_strip::kTables.
struct ztStripState {
  ztHeapBuffer bitArea;
  ztBitReader reader;
  int32_t value1 = 0;
  int32_t value2 = 0;
  int32_t cropOnSave = 1;
};

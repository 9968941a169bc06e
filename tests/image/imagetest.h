// Helpers of the image tests: pictures made in code, and (from
// tests/common/bytes.h) the writers of file layouts the library does not
// write itself.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "image/ztImage.h"
#include "image/ztMemBlock.h"
#include "platform/ztBytes.h"
#include "tests/common/bytes.h"

namespace zt_imgtest {

using zt_test::Bytes;
using zt_test::Put16;
using zt_test::Put16BE;
using zt_test::Put32;
using zt_test::Put32BE;
using zt_test::PutText;

// Pixel byte k of pixel (x, y) in the test pattern: distinct per channel,
// column and row, so a swapped channel, row or column shows.
inline uint8_t Pattern(uint32_t x, uint32_t y, int k) {
  return static_cast<uint8_t>(k * 64 + x * 7 + y * 31 + 1);
}

// An image of width x height filled by `fill(x, y, k)`.
template <class Fill>
inline void FillImage(ztImage* img, uint32_t width, uint32_t height, int bpp, Fill fill) {
  img->CreateBuffer(static_cast<int32_t>(width), static_cast<int32_t>(height), bpp);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x)
      for (int k = 0; k < bpp; ++k) img->GetPixelAddress(x, y)[k] = fill(x, y, k);
}

inline void FillPattern(ztImage* img, uint32_t width, uint32_t height, int bpp) {
  FillImage(img, width, height, bpp, Pattern);
}

// Bytes of pixel (x, y) as a vector, for readable comparisons.
inline Bytes PixelAt(const ztImage* img, uint32_t x, uint32_t y) {
  const uint8_t* p = img->GetPixelAddress(x, y);
  if (!p) return {};
  return Bytes(p, p + img->GetBytesPerPixel());
}

// Every row of an image, top first, as the bytes of its pixels.
inline std::vector<Bytes> RowsOf(const ztImage* img) {
  std::vector<Bytes> rows;
  for (uint32_t y = 0; y < img->GetHeight(); ++y) {
    const uint8_t* p = img->GetPixelAddress(0, y);
    rows.emplace_back(p, p + img->GetWidth() * img->GetBytesPerPixel());
  }
  return rows;
}

inline Bytes BlockBytes(const ztMemBlock& b) { return Bytes(b.data, b.data + b.size); }

// A 32-bit picture that looks like a photograph: smooth gradients with
// noise, so neither a flat run coder nor a dictionary has it easy.
inline Bytes PhotoLike(uint32_t width, uint32_t height, uint32_t seed) {
  Bytes out(static_cast<size_t>(width) * height * 4);
  std::mt19937 rng(seed);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = &out[(static_cast<size_t>(y) * width + x) * 4];
      int noise = static_cast<int>(rng() % 9) - 4;
      p[0] = static_cast<uint8_t>((x * 255 / (width ? width : 1) + noise) & 0xFF);
      p[1] = static_cast<uint8_t>(((x + y) * 128 / (width + height) + (y % 64) + noise) & 0xFF);
      p[2] = static_cast<uint8_t>((y * 255 / (height ? height : 1) + noise / 2) & 0xFF);
      p[3] = 255;
    }
  }
  return out;
}

// A user-interface picture: flat panels, a few borders and buttons.
inline Bytes FlatUi(uint32_t width, uint32_t height) {
  Bytes out(static_cast<size_t>(width) * height * 4);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = &out[(static_cast<size_t>(y) * width + x) * 4];
      uint32_t c = 0xFFF0F0F0;                                 // background
      if (y < 40) c = 0xFF203060;                              // title bar
      if (x < 200 && y >= 40) c = 0xFFE0E4EC;                  // side panel
      if ((x / 160) % 3 == 1 && (y / 90) % 4 == 2) c = 0xFF3A78C8;  // buttons
      if (x % 160 == 0 || y % 90 == 0) c = 0xFF808080;         // borders
      p[0] = static_cast<uint8_t>(c);
      p[1] = static_cast<uint8_t>(c >> 8);
      p[2] = static_cast<uint8_t>(c >> 16);
      p[3] = static_cast<uint8_t>(c >> 24);
    }
  }
  return out;
}

// Flips random bytes of a valid file, `rounds` times, and hands each
// damaged copy to `load`. Under the sanitizers this shows any read or write
// outside a buffer; the load result itself is not asserted.
template <class Load>
inline void MutateAndLoad(const Bytes& valid, uint32_t seed, int rounds, Load load) {
  std::mt19937 rng(seed);
  for (int r = 0; r < rounds; ++r) {
    Bytes copy = valid;
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips && !copy.empty(); ++i) copy[rng() % copy.size()] = static_cast<uint8_t>(rng());
    if (rng() % 4 == 0 && !copy.empty()) copy.resize(rng() % copy.size());
    load(copy);
  }
}

}  // namespace zt_imgtest

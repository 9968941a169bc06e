// Image library timings on a 1920 x 1080 32-bit picture:
//   - ZURE encode and decode speed (MB/s of unpacked bytes) and block size
//     for each parameter set, next to zlib levels 1, 6 and 9 on the same
//     bytes, for a photo-like picture and a flat-colour UI picture;
//   - ZURE encode time per input byte from 64 KB to 8 MB (it must stay flat);
//   - decode time of each format for the same photo-like picture.
//
//   image_bench [--quick]     (--quick: fewer repetitions)
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "image/zure.h"
#include "image/ztImage.h"
#include "image/ztImageBmp.h"
#include "image/ztImageHolder.h"
#include "image/ztImageJpeg.h"
#include "image/ztImagePng.h"
#include "image/ztImageWebP.h"
#include "image/ztImageZtf.h"
#include "platform/ztHeap.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kWidth = 1920, kHeight = 1080;
int g_reps = 5;

// Best wall time of `reps` runs, in seconds.
double Best(int reps, const std::function<void()>& fn) {
  double best = 1e30;
  for (int i = 0; i < reps; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    fn();
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

// Smooth gradients with mild noise, like a photograph.
Bytes PhotoLike(uint32_t w, uint32_t h) {
  Bytes out(static_cast<size_t>(w) * h * 4);
  std::mt19937 rng(7);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = &out[(static_cast<size_t>(y) * w + x) * 4];
      int n = static_cast<int>(rng() % 7) - 3;
      p[0] = static_cast<uint8_t>(x * 255 / w + n);
      p[1] = static_cast<uint8_t>((x + y) * 128 / (w + h) + (y % 64) + n);
      p[2] = static_cast<uint8_t>(y * 255 / h + n / 2);
      p[3] = 255;
    }
  return out;
}

// Flat panels, borders and buttons, like a user interface.
Bytes FlatUi(uint32_t w, uint32_t h) {
  Bytes out(static_cast<size_t>(w) * h * 4);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t c = 0xFFF0F0F0;
      if (y < 40) c = 0xFF203060;
      if (x < 200 && y >= 40) c = 0xFFE0E4EC;
      if ((x / 160) % 3 == 1 && (y / 90) % 4 == 2) c = 0xFF3A78C8;
      if (x % 160 == 0 || y % 90 == 0) c = 0xFF808080;
      memcpy(&out[(static_cast<size_t>(y) * w + x) * 4], &c, 4);
    }
  return out;
}

double Mb(size_t bytes) { return bytes / 1e6; }

void ZureTable(const char* name, const Bytes& data) {
  printf("\n%s picture, %u x %u x 4 = %zu bytes\n", name, kWidth, kHeight, data.size());
  printf("  %-10s %12s %8s %14s %14s\n", "coder", "size", "ratio", "encode MB/s", "decode MB/s");
  const uint32_t n = static_cast<uint32_t>(data.size());
  for (int set = 0; set < ZTZURE_PARAM_SETS; ++set) {
    uint32_t size = ztZureEncode(data.data(), n, nullptr, 0, set, nullptr, nullptr);
    Bytes block(size);
    double enc = Best(g_reps, [&] { ztZureEncode(data.data(), n, block.data(), size, set, nullptr, nullptr); });
    Bytes out(n);
    double dec = Best(g_reps * 4, [&] { ztZureDecode(block.data(), size, out.data(), n, nullptr, nullptr); });
    if (out != data) printf("  ZURE set %d: ROUND TRIP MISMATCH\n", set);
    char label[32];
    snprintf(label, sizeof label, "ZURE %d", set);
    printf("  %-10s %12u %7.2f%% %14.1f %14.1f\n", label, size, 100.0 * size / n, Mb(n) / enc, Mb(n) / dec);
  }
  for (int level : {1, 6, 9}) {
    uLongf cap = compressBound(n);
    Bytes packed(cap);
    uLongf size = cap;
    double enc = Best(g_reps, [&] {
      size = cap;
      compress2(packed.data(), &size, data.data(), n, level);
    });
    Bytes out(n);
    double dec = Best(g_reps * 4, [&] {
      uLongf outSize = n;
      uncompress(out.data(), &outSize, packed.data(), size);
    });
    char label[32];
    snprintf(label, sizeof label, "zlib %d", level);
    printf("  %-10s %12lu %7.2f%% %14.1f %14.1f\n", label, static_cast<unsigned long>(size), 100.0 * size / n,
           Mb(n) / enc, Mb(n) / dec);
  }
}

void EncodeScaling(const Bytes& photo) {
  printf("\nZURE encode time per input byte (photo-like bytes, prefix of the picture)\n");
  printf("  %-10s", "set");
  const size_t sizes[] = {64 << 10, 256 << 10, 1 << 20, 4 << 20, 8 << 20};
  for (size_t s : sizes) printf(" %10zuK", s >> 10);
  printf("   (ns per byte)\n");
  for (int set = 0; set < ZTZURE_PARAM_SETS; ++set) {
    printf("  ZURE %-5d", set);
    for (size_t s : sizes) {
      Bytes in(photo.begin(), photo.begin() + std::min(s, photo.size()));
      while (in.size() < s) in.insert(in.end(), photo.begin(), photo.begin() + std::min(s - in.size(), photo.size()));
      double t = Best(std::max(1, g_reps / 2),
                      [&] { ztZureEncode(in.data(), static_cast<uint32_t>(s), nullptr, 0, set, nullptr, nullptr); });
      printf(" %11.2f", t * 1e9 / s);
    }
    printf("\n");
  }
}

// A raw 8-bit RGB PSD of the picture (blue, green, red, alpha buffer rows).
Bytes MakePsd(const Bytes& bgra, uint32_t w, uint32_t h) {
  Bytes f = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 3};
  auto be32 = [&](uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) f.push_back(static_cast<uint8_t>(v >> s));
  };
  be32(h);
  be32(w);
  f.insert(f.end(), {0, 8, 0, 3});
  be32(0);
  be32(0);
  be32(0);
  f.insert(f.end(), {0, 0});
  for (int c = 0; c < 3; ++c)
    for (uint32_t i = 0; i < h; ++i)
      for (uint32_t x = 0; x < w; ++x) f.push_back(bgra[(static_cast<size_t>(i) * w + x) * 4 + (2 - c)]);
  return f;
}

Bytes SaveAs(ztImage* img, const Bytes& bgra, int bpp) {
  img->CreateBuffer(kWidth, kHeight, bpp);
  for (uint32_t y = 0; y < kHeight; ++y)
    for (uint32_t x = 0; x < kWidth; ++x)
      memcpy(img->GetPixelAddress(x, y), &bgra[(static_cast<size_t>(y) * kWidth + x) * 4], bpp);
  ztMemBlock out;
  Bytes file;
  if (img->Save(&out, 0, 0, 0, 0)) file.assign(out.data, out.data + out.size);
  img->Release();
  return file;
}

void FormatTable(const Bytes& photo) {
  printf("\nDecode time of the photo-like picture through the image holder\n");
  printf("  %-6s %12s %10s %12s\n", "format", "file bytes", "ms", "MB/s out");
  struct Entry {
    const char* name;
    Bytes file;
  } entries[] = {
      {"BMP", SaveAs(new ztImageBmp, photo, 4)},   {"PSD", MakePsd(photo, kWidth, kHeight)},
      {"ZTF", SaveAs(new ztImageZtf, photo, 4)},   {"PNG", SaveAs(new ztImagePng, photo, 4)},
      {"JPEG", SaveAs(new ztImageJpeg, photo, 3)}, {"WebP", SaveAs(new ztImageWebP, photo, 4)},
  };
  for (const Entry& e : entries) {
    ztMemBlock src(e.file.data(), static_cast<uint32_t>(e.file.size()));
    ztImageHolder holder;
    bool ok = true;
    uint32_t bytes = 0;
    double t = Best(g_reps, [&] {
      ok = holder.LoadFromMemory(&src, 0, 0) != nullptr;
      bytes = holder.GetSize(nullptr, nullptr);
    });
    printf("  %-6s %12zu %10.2f %12.1f%s\n", e.name, e.file.size(), t * 1e3, Mb(bytes) / t, ok ? "" : "  FAILED");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--quick") == 0) g_reps = 1;
  ztHeapCreate(0xA00000);
  Bytes photo = PhotoLike(kWidth, kHeight);
  Bytes ui = FlatUi(kWidth, kHeight);
  ZureTable("Photo-like", photo);
  ZureTable("Flat-colour UI", ui);
  EncodeScaling(photo);
  FormatTable(photo);
  ztHeapDestroy();
  return 0;
}

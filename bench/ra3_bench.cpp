// Decoding speed and file size of the library's lossless strip formats
// against PNG, on two 1920 x 1080 32-bit pictures: a photo-like one (smooth
// gradients with noise) and a flat user-interface one.
//   RA-3 strips (the updater's splash format, 64-row strips, made by the
//   image tool's writer), ZO-2 (the library's saver), and PNG written and
//   read by libpng at its default settings: what a user would pick instead.
// The sizes are printed first; the timings follow from Google Benchmark.
#include <benchmark/benchmark.h>
#include <png.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "image/ztImageRa3.h"
#include "image/ztImageZo2.h"
#include "platform/ztHeap.h"
#include "tests/image/imagetest.h"
#include "tools/ra3writer.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kWidth = 1920, kHeight = 1080;

struct Picture {
  const char* name;
  Bytes pixels;  // blue, green, red, alpha; row 0 the top row
  Bytes ra3, zo2, png;
};

ztImage* ImageOf(const Bytes& pixels) {
  ztImage* img = new ztImage;
  img->CreateBuffer(kWidth, kHeight, 4);
  memcpy(img->GetPixels(), pixels.data(), pixels.size());
  return img;
}

void PngWrite(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}
void PngFlush(png_structp) {}

Bytes PngEncode(const Bytes& pixels) {
  Bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, PngWrite, PngFlush);
  png_set_IHDR(png, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_bgr(png);
  std::vector<png_bytep> rows(kHeight);
  for (uint32_t y = 0; y < kHeight; ++y)
    rows[y] = const_cast<png_bytep>(pixels.data() + static_cast<size_t>(y) * kWidth * 4);
  png_write_image(png, rows.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

struct PngSource {
  const Bytes* data;
  size_t pos;
};

void PngRead(png_structp png, png_bytep out, png_size_t n) {
  auto* s = static_cast<PngSource*>(png_get_io_ptr(png));
  if (n > s->data->size() - s->pos) png_error(png, "read past the end");
  memcpy(out, s->data->data() + s->pos, n);
  s->pos += n;
}

bool PngDecode(const Bytes& file, Bytes* pixels) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  PngSource src{&file, 0};
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &src, PngRead);
  png_read_info(png, info);
  png_set_bgr(png);
  png_read_update_info(png, info);
  uint32_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  pixels->resize(static_cast<size_t>(w) * h * 4);
  std::vector<png_bytep> rows(h);
  for (uint32_t y = 0; y < h; ++y) rows[y] = pixels->data() + static_cast<size_t>(y) * w * 4;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

std::vector<Picture>& Pictures() {
  static std::vector<Picture> pictures = [] {
    std::vector<Picture> p(2);
    p[0].name = "photo";
    p[0].pixels = zt_imgtest::PhotoLike(kWidth, kHeight, 1);
    p[1].name = "flat-ui";
    p[1].pixels = zt_imgtest::FlatUi(kWidth, kHeight);
    for (Picture& pic : p) {
      ztImage* img = ImageOf(pic.pixels);
      ztWriteRa3(*img, ztRa3WriteOptions(), &pic.ra3);
      img->Release();
      ztImageZo2* zo2 = new ztImageZo2;
      zo2->CreateBuffer(kWidth, kHeight, 4);
      memcpy(zo2->GetPixels(), pic.pixels.data(), pic.pixels.size());
      ztMemBlock out;
      zo2->Save(&out, 0, 0, 0, 0);
      pic.zo2.assign(out.data, out.data + out.size);
      zo2->Release();
      pic.png = PngEncode(pic.pixels);
    }
    return p;
  }();
  return pictures;
}

template <class T>
void DecodeLibrary(benchmark::State& state, const Bytes Picture::*file) {
  const Picture& pic = Pictures()[static_cast<size_t>(state.range(0))];
  const Bytes& data = pic.*file;
  ztMemBlock src(data.data(), static_cast<uint32_t>(data.size()));
  while (state.KeepRunning()) {
    T* img = new T;
    if (!img->Load(&src, 0) || memcmp(img->GetPixels(), pic.pixels.data(), pic.pixels.size()) != 0)
      state.SkipWithError("decode failed");
    img->Release();
  }
  state.SetLabel(pic.name);
  state.counters["file_bytes"] = static_cast<double>(data.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(pic.pixels.size()));
}

void BM_Ra3StripsDecode(benchmark::State& state) { DecodeLibrary<ztImageRa3>(state, &Picture::ra3); }
void BM_Zo2Decode(benchmark::State& state) { DecodeLibrary<ztImageZo2>(state, &Picture::zo2); }

void BM_LibpngDecode(benchmark::State& state) {
  const Picture& pic = Pictures()[static_cast<size_t>(state.range(0))];
  while (state.KeepRunning()) {
    // A fresh picture each time, as the library's decoders make.
    Bytes pixels;
    if (!PngDecode(pic.png, &pixels) || pixels != pic.pixels) state.SkipWithError("decode failed");
  }
  state.SetLabel(pic.name);
  state.counters["file_bytes"] = static_cast<double>(pic.png.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(pic.pixels.size()));
}

BENCHMARK(BM_Ra3StripsDecode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Zo2Decode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibpngDecode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  ztHeapCreate(0xA00000);
  printf("%-8s %12s %12s %12s %10s\n", "picture", "RA-3 strips", "ZO-2", "PNG", "ZO-2/PNG");
  for (const Picture& p : Pictures())
    printf("%-8s %12zu %12zu %12zu %10.3f\n", p.name, p.ra3.size(), p.zo2.size(), p.png.size(),
           static_cast<double>(p.zo2.size()) / static_cast<double>(p.png.size()));
  fflush(stdout);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ztHeapDestroy();
  return 0;
}

#include "image/ztImagePng.h"

#include <png.h>

#include <cstring>
#include <new>

#include "platform/ztDebug.h"
#include "platform/ztHeap.h"
#include "platform/ztLimits.h"

namespace {

constexpr uint32_t kInitialOutput = 0x100000;  // 1 MiB

struct ReadState {
  png_structp png;
  png_infop info;
  const uint8_t* data;
  uint32_t left;
  uint8_t* grey;     // temporary grey plane
  png_bytep* rows;   // row pointers (plain new: private-heap blocks are
                     // only 4-byte aligned)
};

struct WriteState {
  png_structp png;
  png_infop info;
  uint8_t* out;
  uint32_t size;
  uint32_t capacity;
  png_bytep* rows;
};

void OnError(png_structp png, png_const_charp text) {
  DebugLog("libpng: %s", text);
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp text) { DebugLog("libpng: %s", text); }

void ReadData(png_structp png, png_bytep out, size_t count) {
  ReadState* s = static_cast<ReadState*>(png_get_io_ptr(png));
  if (count > s->left) png_error(png, "read past the end of the data");
  memcpy(out, s->data, count);
  s->data += count;
  s->left -= static_cast<uint32_t>(count);
}

void WriteData(png_structp png, png_bytep bytes, size_t count) {
  WriteState* s = static_cast<WriteState*>(png_get_io_ptr(png));
  if (count > s->capacity - s->size) {
    uint64_t want = static_cast<uint64_t>(s->capacity) * 2;
    if (want < static_cast<uint64_t>(s->size) + count) want = static_cast<uint64_t>(s->size) + count;
    if (want > 0x7FFFFFFF) png_error(png, "output too large");
    uint8_t* grown = static_cast<uint8_t*>(ztHeapAlloc(0, static_cast<uint32_t>(want)));
    if (!grown) png_error(png, "out of memory");
    if (s->out) {
      memcpy(grown, s->out, s->size);
      ztHeapFree(s->out);
    }
    s->out = grown;
    s->capacity = static_cast<uint32_t>(want);
  }
  memcpy(s->out + s->size, bytes, count);
  s->size += static_cast<uint32_t>(count);
}

void FlushData(png_structp) {}

}  // namespace

// The libpng work of Load and Save: each sets the recovery point itself and
// keeps nothing with a destructor in its frame, and all state it changes
// lives in the state record outside, so the caller can clean up after a jump.
struct ztPngAccess {
  static int Decode(ztImagePng* self, ReadState* s) {
    if (setjmp(png_jmpbuf(s->png))) return 0;
    png_set_read_fn(s->png, s, ReadData);
    // libpng's own allocations follow the caller's limits too: no chunk
    // larger than the largest picture is held in memory (a few hundred
    // bytes of file can otherwise claim a chunk of 2 GiB), and a header past
    // the pixel limit fails at once.
    png_set_chunk_malloc_max(s->png, ztGetLimit(ZTLIMIT_PICTURE_BYTES));
    png_set_user_limits(s->png, ztGetLimit(ZTLIMIT_PICTURE_PIXELS), ztGetLimit(ZTLIMIT_PICTURE_PIXELS));
    // Only IHDR, PLTE, tRNS and the image data shape the pixels; every other
    // chunk is skipped unread (libpng spends seconds on a suggested palette
    // whose length claims gigabytes, even when it refuses the chunk).
    static const png_byte kIgnored[] =
        "bKGD\0cHRM\0eXIf\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0pHYs\0sBIT\0sCAL\0sPLT\0sRGB\0tEXt\0tIME\0zTXt";
    png_set_keep_unknown_chunks(s->png, PNG_HANDLE_CHUNK_NEVER, kIgnored, static_cast<int>(sizeof kIgnored / 5));
    png_read_info(s->png, s->info);
    png_uint_32 w, h;
    int depth, type, interlace;
    png_get_IHDR(s->png, s->info, &w, &h, &depth, &type, &interlace, nullptr, nullptr);
    png_set_strip_16(s->png);
    png_set_packswap(s->png);
    if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(s->png);
    if (type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(s->png);
    bool trns = png_get_valid(s->png, s->info, PNG_INFO_tRNS) != 0;
    if (trns) png_set_tRNS_to_alpha(s->png);
    // Grey with alpha (its own colour type, or grey with tRNS) becomes RGBA;
    // read as RGB it would be misread.
    if ((type & PNG_COLOR_MASK_COLOR) == 0 && ((type & PNG_COLOR_MASK_ALPHA) || trns))
      png_set_gray_to_rgb(s->png);
    png_set_interlace_handling(s->png);
    png_read_update_info(s->png, s->info);
    png_get_IHDR(s->png, s->info, &w, &h, &depth, &type, &interlace, nullptr, nullptr);
    const bool grey = type == PNG_COLOR_TYPE_GRAY;
    if (!grey && type != PNG_COLOR_TYPE_RGB && type != PNG_COLOR_TYPE_RGB_ALPHA) return 0;
    if (depth != 8) return 0;
    int bpp = type == PNG_COLOR_TYPE_RGB_ALPHA ? 4 : 3;
    if (!ztPictureWithinLimit(w, h)) return 0;
    uint32_t stride = ztImage::ComputeStride(w, static_cast<uint32_t>(bpp), true);
    uint32_t bytes = stride ? ztImage::ComputeBufferSize(stride, h) : 0;
    if (!bytes) return 0;
    if (png_get_rowbytes(s->png, s->info) != (grey ? w : static_cast<size_t>(w) * bpp)) return 0;
    if (!self->ReserveBuffer(bytes)) return 0;
    self->SetGeometry(w, h, bpp, stride);
    self->SetCanvasSize(static_cast<int32_t>(w), static_cast<int32_t>(h));
    s->rows = new (std::nothrow) png_bytep[h];
    if (!s->rows) return 0;
    if (grey) {
      s->grey = static_cast<uint8_t*>(ztHeapAlloc(0, w * h));
      if (!s->grey) return 0;
      for (uint32_t y = 0; y < h; ++y) s->rows[y] = s->grey + static_cast<size_t>(y) * w;
      png_read_image(s->png, s->rows);
      for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* g = s->grey + static_cast<size_t>(y) * w;
        uint8_t* d = self->pixels_ + static_cast<size_t>(y) * stride;
        for (uint32_t x = 0; x < w; ++x, d += 3) d[0] = d[1] = d[2] = g[x];
      }
    } else {
      png_set_bgr(s->png);
      for (uint32_t y = 0; y < h; ++y) s->rows[y] = self->pixels_ + static_cast<size_t>(y) * stride;
      png_read_image(s->png, s->rows);
    }
    png_read_end(s->png, nullptr);
    return 1;
  }

  static int Encode(ztImagePng* self, WriteState* s) {
    if (setjmp(png_jmpbuf(s->png))) return 0;
    png_set_write_fn(s->png, s, WriteData, FlushData);
    png_set_IHDR(s->png, s->info, self->width_, self->height_, 8,
                 self->bpp_ == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(s->png, s->info);
    png_set_bgr(s->png);
    s->rows = new (std::nothrow) png_bytep[self->height_];
    if (!s->rows) return 0;
    for (uint32_t y = 0; y < self->height_; ++y) s->rows[y] = self->pixels_ + static_cast<size_t>(y) * self->stride_;
    png_write_image(s->png, s->rows);
    png_write_end(s->png, nullptr);
    return 1;
  }
};

int ztImagePng::Detect(const uint8_t* data, uint32_t size) {
  if (!data || size == 0) return 0;
  return png_sig_cmp(data, 0, size < 8 ? size : 8) == 0;
}

int ztImagePng::Load(const ztMemBlock* source, int) {
  if (!source || !source->data || source->size == 0) return 0;
  ReadState s = {};
  s.data = source->data;
  s.left = source->size;
  s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, OnWarning);
  if (!s.png) return 0;
  s.info = png_create_info_struct(s.png);
  int ok = 0;
  if (s.info) {
    coding_ = &s;
    ok = ztPngAccess::Decode(this, &s);
    coding_ = nullptr;
  }
  png_destroy_read_struct(&s.png, s.info ? &s.info : nullptr, nullptr);
  delete[] s.rows;
  if (s.grey) ztHeapFree(s.grey);
  return ok;
}

int ztImagePng::Save(ztMemBlock* dest, int, int, int, int) {
  if (!dest || (bpp_ != 3 && bpp_ != 4) || !GeometryValid()) return 0;
  ztRect rect;
  if (GetOpaqueBounds(&rect)) {
    if (rect.right <= rect.left || rect.bottom <= rect.top) rect = {0, 0, 2, 2};
    if (cropOnSave_) Crop(&rect);
  }
  WriteState s = {};
  s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, OnWarning);
  if (!s.png) return 0;
  s.info = png_create_info_struct(s.png);
  s.out = static_cast<uint8_t*>(ztHeapAlloc(0, kInitialOutput));
  s.capacity = s.out ? kInitialOutput : 0;
  int ok = 0;
  if (s.info && s.out) {
    coding_ = &s;
    ok = ztPngAccess::Encode(this, &s);
    coding_ = nullptr;
  }
  png_destroy_write_struct(&s.png, s.info ? &s.info : nullptr);
  delete[] s.rows;
  if (ok) {
    uint8_t* out = dest->Allocate(s.size);
    if (out) {
      memcpy(out, s.out, s.size);
      memset(out + s.size, 0, dest->size - s.size);
    } else {
      ok = 0;
    }
  }
  if (s.out) ztHeapFree(s.out);
  return ok;
}

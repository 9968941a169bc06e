#include "app/SplashPicture.h"

#include <new>

#include "file/ztFile.h"
#include "image/ztImageHolder.h"
#include "image/ztMemBlock.h"
#include "platform/ztHeap.h"

ztImageHolder* LoadSplashPicture(const char16_t* path) {
  ztFile file;
  if (!file.Open(path, ZTFILE_READ | ZTFILE_OPEN_EXISTING)) return nullptr;
  const int32_t size = file.GetSize();
  if (size <= 0) return nullptr;
  auto* bytes = static_cast<uint8_t*>(ztHeapAlloc(0, static_cast<uint32_t>(size)));
  if (!bytes) return nullptr;
  ztImageHolder* holder = nullptr;
  // A read that stops short would hand the decoder a cut picture whose tail
  // is whatever the heap held: only the whole file counts.
  if (file.Read(bytes, static_cast<uint32_t>(size)) == size) holder = LoadSplashPictureFromMemory(bytes, size);
  ztHeapFree(bytes);
  file.Close();
  return holder;
}

ztImageHolder* LoadSplashPictureFromMemory(const uint8_t* bytes, size_t size) {
  if (!bytes || size == 0 || size > INT32_MAX) return nullptr;
  ztMemBlock block;
  block.data = const_cast<uint8_t*>(bytes);
  block.size = static_cast<uint32_t>(size);
  block.capacity = static_cast<uint32_t>(size);
  block.borrowed = 1;  // the caller's bytes, never freed by the block
  auto* holder = new (std::nothrow) ztImageHolder;
  if (holder && holder->LoadFromMemory(&block, 0, 0) && holder->GetImage()) {
    holder->GetImage()->FlattenOnColour(0xFFFFFF);
    holder->GetImage()->FlipVertical();
  } else {
    delete holder;
    holder = nullptr;
  }
  uint32_t w = 0, h = 0;
  if (holder && (holder->GetSize(&w, &h), w == 0 || h == 0)) {
    delete holder;
    holder = nullptr;
  }
  block.Clear();
  return holder;
}

void SplashClientSize(const ztImageHolder* holder, uint32_t* width, uint32_t* height) {
  uint32_t w = 0, h = 0;
  if (holder) holder->GetSize(&w, &h);
  if (w == 0 || h == 0) {
    w = kDefaultSplashWidth;
    h = kDefaultSplashHeight;
  }
  if (width) *width = w;
  if (height) *height = h;
}

uint32_t DibStride(uint32_t width, int bytesPerPixel) {
  if (bytesPerPixel <= 0) return 0;
  const uint64_t bits = static_cast<uint64_t>(width) * static_cast<uint32_t>(bytesPerPixel) * 8;
  const uint64_t stride = (bits + 31) / 32 * 4;
  return stride > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(stride);
}

int SplashPaintable(const ztImageHolder* holder) {
  if (!holder || !holder->GetPixels()) return 0;
  uint32_t w = 0, h = 0;
  holder->GetSize(&w, &h);
  const int bpp = holder->GetBytesPerPixel();
  if (w == 0 || h == 0 || w > 0x7FFFFFFF || h > 0x7FFFFFFF) return 0;
  if (bpp != 3 && bpp != 4) return 0;
  const uint32_t stride = DibStride(w, bpp);
  if (stride == 0 || holder->GetStride() != stride) return 0;
  return static_cast<uint64_t>(stride) * h <= 0xFFFFFFFFull ? 1 : 0;
}

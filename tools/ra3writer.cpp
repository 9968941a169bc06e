#include "tools/ra3writer.h"

#include <cstdio>
#include <cstring>

#include "image/zlibutil.h"
#include "image/ztImageJpeg.h"
#include "image/ztImageWebP.h"
#include "image/ztImageZo2.h"
#include "image/ztMemBlock.h"
#include "platform/ztBytes.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Tags are appended one after another; each one's next-tag offset is patched
// when the following tag arrives, so the last keeps 0.
class FrameWriter {
 public:
  FrameWriter(Bytes* out, int32_t frameId) : out_(out) {
    ztAppendU32LE(*out_, 0);  // the only frame
    ztAppendU32LE(*out_, static_cast<uint32_t>(frameId));
  }
  void AddTag(const char* name, const Bytes& data) {
    size_t pos = out_->size();
    if (lastTag_ != kNone) ztPutU32LE(out_->data() + lastTag_ + 8, static_cast<uint32_t>(pos - lastTag_));
    // A 16-byte header: the name (no terminator needed at 8 characters),
    // then the data's size at offset 12.
    out_->resize(pos + 16, 0);
    size_t n = strlen(name);
    memcpy(out_->data() + pos, name, n < 8 ? n : 8);
    ztPutU32LE(out_->data() + pos + 12, static_cast<uint32_t>(data.size()));
    out_->insert(out_->end(), data.begin(), data.end());
    lastTag_ = pos;
  }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  Bytes* out_;
  size_t lastTag_ = kNone;
};

// Whole zlib stream of `n` bytes, or false.
bool Deflate(const uint8_t* data, uint32_t n, Bytes* packed) {
  uint64_t cap = static_cast<uint64_t>(n) + n / 8 + 1024;
  if (cap > 0x7FFFFFFF) return false;
  packed->resize(static_cast<size_t>(cap));
  int32_t got = ztZlibDeflate(packed->data(), static_cast<uint32_t>(cap), data, n);
  if (got < 0) return false;
  packed->resize(static_cast<size_t>(got));
  return true;
}

bool HasTransparentPixel(const ztImage& image) {
  if (image.GetBytesPerPixel() != 4) return false;
  for (uint32_t y = 0; y < image.GetHeight(); ++y) {
    const uint8_t* p = image.GetPixelAddress(0, y);
    for (uint32_t x = 0; x < image.GetWidth(); ++x, p += 4)
      if (p[3] != 255) return true;
  }
  return false;
}

Bytes StdInfo(const ztImage& image, int bits, bool transparent) {
  Bytes b;
  int32_t cw, ch, ox, oy;
  image.GetCanvasSize(&cw, &ch);
  image.GetOffset(&ox, &oy);
  ztAppendU32LE(b, image.GetWidth());
  ztAppendU32LE(b, image.GetHeight());
  ztAppendU32LE(b, static_cast<uint32_t>(bits) & 0xFFFF);  // bits, then 2 unread bytes
  ztAppendU32LE(b, static_cast<uint32_t>(ox));
  ztAppendU32LE(b, static_cast<uint32_t>(oy));
  ztAppendU32LE(b, static_cast<uint32_t>(cw));
  ztAppendU32LE(b, static_cast<uint32_t>(ch));
  ztAppendU32LE(b, transparent ? 1 : 0);
  ztAppendU32LE(b, static_cast<uint32_t>(image.GetUserValue1()));
  ztAppendU32LE(b, static_cast<uint32_t>(image.GetUserValue2()));
  return b;
}

bool WriteStrips(const ztImage& image, const ztRa3WriteOptions& o, FrameWriter* frame) {
  uint32_t w = image.GetWidth(), h = image.GetHeight();
  uint32_t b = static_cast<uint32_t>(image.GetBytesPerPixel());
  uint32_t stripHeight = o.stripHeight == 0 || o.stripHeight > h ? h : o.stripHeight;
  // Strips count their rows from the bottom of the picture: strip 0 holds
  // the lowest rows, each stored bottom row first.
  uint32_t number = 0;
  for (uint32_t y0 = 0; y0 < h; y0 += stripHeight, ++number) {
    uint32_t rows = h - y0 < stripHeight ? h - y0 : stripHeight;
    const uint8_t* first = image.GetPixelAddress(0, h - 1 - y0);
    ztStripCode code;
    if (!ztEncodeStrip(first, -static_cast<ptrdiff_t>(image.GetStride()), w, rows, b, &code)) return false;
    Bytes bytePacked, bitPacked;
    if (!Deflate(code.byteArea.Get(), code.byteSize, &bytePacked) ||
        !Deflate(code.bitArea.Get(), code.bitSize, &bitPacked))
      return false;
    Bytes data;
    ztAppendU32LE(data, y0);
    ztAppendU32LE(data, rows);
    ztAppendU32LE(data, static_cast<uint32_t>(bytePacked.size()));
    ztAppendU32LE(data, code.byteSize);
    ztAppendU32LE(data, static_cast<uint32_t>(bitPacked.size()));
    ztAppendU32LE(data, code.bitSize);
    data.insert(data.end(), bytePacked.begin(), bytePacked.end());
    data.insert(data.end(), bitPacked.begin(), bitPacked.end());
    char name[16];
    snprintf(name, sizeof name, "img%04u", number);
    if (strlen(name) > 8) return false;  // more strips than names
    frame->AddTag(name, data);
  }
  return true;
}

bool WriteJpeg(const ztImage& image, const ztRa3WriteOptions& o, bool transparent, FrameWriter* frame) {
  uint32_t w = image.GetWidth(), h = image.GetHeight();
  int b = image.GetBytesPerPixel();
  // The JPEG holds the true colours (red first); the decoder swaps them back
  // to blue first because no "imgmode" tag is written.
  ztImageJpeg jpeg;
  jpeg.SetQuality(o.quality);
  if (!jpeg.CreateBuffer(static_cast<int32_t>(w), static_cast<int32_t>(h), 3)) return false;
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* s = image.GetPixelAddress(0, y);
    uint8_t* d = jpeg.GetPixelAddress(0, y);
    for (uint32_t x = 0; x < w; ++x, s += b, d += 3) {
      d[0] = s[2];
      d[1] = s[1];
      d[2] = s[0];
    }
  }
  ztMemBlock encoded;
  if (!jpeg.Save(&encoded, 0, 0, 0, 0)) return false;
  frame->AddTag("img_jpg", Bytes(encoded.data, encoded.data + encoded.size));
  if (b == 4 && transparent && o.alphaPlane) {
    Bytes plane;
    plane.reserve(static_cast<size_t>(w) * h);
    for (uint32_t y = 0; y < h; ++y) {
      const uint8_t* s = image.GetPixelAddress(0, y);
      for (uint32_t x = 0; x < w; ++x, s += 4) plane.push_back(s[3]);
    }
    Bytes packed;
    if (!Deflate(plane.data(), static_cast<uint32_t>(plane.size()), &packed)) return false;
    Bytes data;
    ztAppendU32LE(data, static_cast<uint32_t>(packed.size()));
    ztAppendU32LE(data, static_cast<uint32_t>(plane.size()));
    data.insert(data.end(), packed.begin(), packed.end());
    frame->AddTag("img_al", data);
  }
  return true;
}

bool WriteWebP(const ztImage& image, const ztRa3WriteOptions& o, FrameWriter* frame) {
  uint32_t w = image.GetWidth(), h = image.GetHeight();
  int b = image.GetBytesPerPixel();
  // True colours in the WebP (red first); "imgmode" 1 tells the decoder to
  // swap them to the buffer's blue-first order.
  ztImageWebP webp;
  webp.SetQuality(o.quality);
  if (!webp.CreateBuffer(static_cast<int32_t>(w), static_cast<int32_t>(h), 4)) return false;
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* s = image.GetPixelAddress(0, y);
    uint8_t* d = webp.GetPixelAddress(0, y);
    for (uint32_t x = 0; x < w; ++x, s += b, d += 4) {
      d[0] = s[2];
      d[1] = s[1];
      d[2] = s[0];
      d[3] = b == 4 ? s[3] : 255;
    }
  }
  ztMemBlock encoded;
  if (!webp.Save(&encoded, 0, 0, 0, 0)) return false;
  // The saver rounds its block up to 8 bytes; the file is as long as its
  // RIFF header says.
  uint32_t size = encoded.size;
  if (size >= 8 && memcmp(encoded.data, "RIFF", 4) == 0) {
    uint64_t riff = static_cast<uint64_t>(ztGetU32LE(encoded.data + 4)) + 8;
    if (riff <= size) size = static_cast<uint32_t>(riff);
  }
  Bytes mode;
  ztAppendU32LE(mode, 1);
  frame->AddTag("imgmode", mode);
  frame->AddTag("img_wbp", Bytes(encoded.data, encoded.data + size));
  return true;
}

}  // namespace

int ztWriteRa3(const ztImage& image, const ztRa3WriteOptions& options, std::vector<uint8_t>* out) {
  if (!out) return 0;
  out->clear();
  int b = image.GetBytesPerPixel();
  if ((b != 3 && b != 4) || !image.GetPixels() || image.GetWidth() == 0 || image.GetHeight() == 0) return 0;
  bool transparent = HasTransparentPixel(image);
  // The WebP form always decodes to 4 bytes per pixel.
  int bits = options.form == ztRa3Form::kWebP ? 32 : b * 8;

  out->insert(out->end(), {'R', 'A', '-', '3'});
  ztAppendU32LE(*out, 12);
  ztAppendU32LE(*out, 0);
  FrameWriter frame(out, options.frameId);
  frame.AddTag("stdinfo", StdInfo(image, bits, transparent));
  bool ok = false;
  switch (options.form) {
    case ztRa3Form::kStrips: ok = WriteStrips(image, options, &frame); break;
    case ztRa3Form::kJpeg: ok = WriteJpeg(image, options, transparent, &frame); break;
    case ztRa3Form::kWebP: ok = WriteWebP(image, options, &frame); break;
  }
  if (!ok) {
    out->clear();
    return 0;
  }
  return 1;
}

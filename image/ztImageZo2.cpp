#include "image/ztImageZo2.h"

#include <cstring>

#include "image/zlibutil.h"
#include "image/ztImageRa3.h"
#include "platform/ztBytes.h"
#include "platform/ztDebug.h"
#include "platform/ztLimits.h"

namespace {

// ZO2 : ヘッダが違います
constexpr const char kBadHeader[] = "ZO2 : \x83w\x83\x62\x83_\x82\xaa\x88\xe1\x82\xa2\x82\xdc\x82\xb7";
// ZO2(%d) : 対応するIDが見つかりません
constexpr const char kNoSuchId[] =
    "ZO2(%d) : \x91\xce\x89\x9e\x82\xb7\x82\xe9ID\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1";
// ZO2 : 未対応のバージョンです
constexpr const char kBadVersion[] =
    "ZO2 : \x96\xa2\x91\xce\x89\x9e\x82\xcc\x83o\x81[\x83W\x83\x87\x83\x93\x82\xc5\x82\xb7";
// ztImageZo2 : バイト領域のサイズが異常です
constexpr const char kByteAreaSize[] =
    "ztImageZo2 : \x83o\x83\x43\x83g\x97\xcc\x88\xe6\x82\xcc\x83T\x83\x43\x83Y\x82\xaa\x88\xd9\x8f\xed\x82\xc5\x82\xb7";
// ztImageZo2 : ビット領域のサイズが異常です
constexpr const char kBitAreaSize[] =
    "ztImageZo2 : \x83r\x83\x62\x83g\x97\xcc\x88\xe6\x82\xcc\x83T\x83\x43\x83Y\x82\xaa\x88\xd9\x8f\xed\x82\xc5\x82\xb7";
// この色数には対応していません
constexpr const char kBadColours[] =
    "\x82\xb1\x82\xcc\x90\x46\x90\x94\x82\xc9\x82\xcd\x91\xce\x89\x9e\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1";

constexpr uint32_t kFileHeaderSize = 12;
constexpr uint32_t kInfoSize16 = 36;  // version 16: up to the area sizes
constexpr uint32_t kInfoSize32 = 68;  // version 32: up to the next-frame offset
constexpr uint32_t kInfoSize37 = 76;  // version 37: plus the user values
constexpr uint32_t kMinSaveCapacity = 102400;

uint32_t InfoSize(int version) { return version >= 37 ? kInfoSize37 : version >= 32 ? kInfoSize32 : kInfoSize16; }

bool CheckSignature(const ztMemBlock* source) {
  if (!source || !source->data || source->size < 4 || memcmp(source->data, "ZO-2", 4) != 0) {
    DebugLog(kBadHeader);
    return false;
  }
  return true;
}

// Version field; 0 (no version this decoder knows) when the header is cut.
int ReadVersion(const ztMemBlock* source) {
  ztByteCursor c(source->data, source->size);
  c.Skip(8);
  int16_t version = static_cast<int16_t>(c.U16LE());
  return c.Ok() ? version : 0;
}

// The frame information of `version` at `pos` fits in the file.
bool FrameFits(uint32_t size, uint64_t pos, int version) { return pos <= size && InfoSize(version) <= size - pos; }

// Next frame of a chain; false at its end or when it leads outside the file
// (offsets are unsigned and added in 64 bits: the walk only moves forward).
bool NextFrame(const uint8_t* data, uint32_t size, uint32_t pos, int version, uint32_t* next) {
  uint32_t offset = ztGetU32LE(data + pos + 64);
  if (offset == 0) return false;
  uint64_t np = static_cast<uint64_t>(pos) + offset;
  if (!FrameFits(size, np, version)) return false;
  *next = static_cast<uint32_t>(np);
  return true;
}

// Widening table for m significant bits: the top bits are repeated into the
// low bits freed by the shift. Only 4 to 7 need it; 8 (and 0) keep the
// bytes, and 1 to 3, for which the formula would shift by a negative count,
// are taken as 8.
bool BuildWidening(unsigned m, uint8_t table[256]) {
  if (m < 4 || m > 7) return false;
  for (unsigned x = 0; x < 256; ++x) table[x] = static_cast<uint8_t>((x << (8 - m)) | (x >> (2 * m - 8)));
  return true;
}

// A frame's information, with its packed areas located in the file. The
// canvas, offset and alpha exist from version 32 on, the user values from
// version 37 on; older frames leave them 0.
struct FrameInfo {
  uint32_t width = 0;
  uint32_t height = 0;
  int16_t bits = 0;
  unsigned significant = 0;
  ztStripAreas areas;
  int32_t canvasW = 0, canvasH = 0, offsetX = 0, offsetY = 0, user1 = 0, user2 = 0;
  uint32_t transparent = 0;
};

// Reads the frame information of `version` at `pos`; false when it or the
// areas it names are not inside the file.
bool ReadFrameInfo(const uint8_t* data, uint32_t size, uint32_t pos, int version, FrameInfo* f) {
  ztByteCursor c(data, size);
  c.Seek(pos);
  f->width = c.U32LE();
  f->height = c.U32LE();
  f->bits = static_cast<int16_t>(c.U16LE());
  f->significant = c.U16LE();
  c.Skip(8);
  f->areas.bytePackedSize = c.U32LE();
  f->areas.byteSize = c.U32LE();
  f->areas.bitPackedSize = c.U32LE();
  f->areas.bitSize = c.U32LE();
  uint64_t dataPos = static_cast<uint64_t>(pos) + kInfoSize16;
  if (version >= 32) {
    dataPos += c.U32LE();  // counted from the field itself
    c.Skip(4);             // frame id: matched by the caller
    f->canvasW = static_cast<int32_t>(c.U32LE());
    f->canvasH = static_cast<int32_t>(c.U32LE());
    f->offsetX = static_cast<int32_t>(c.U32LE());
    f->offsetY = static_cast<int32_t>(c.U32LE());
    f->transparent = c.U32LE();
    c.Skip(4);  // next frame
  }
  if (version >= 37) {
    f->user1 = static_cast<int32_t>(c.U32LE());
    f->user2 = static_cast<int32_t>(c.U32LE());
  }
  if (!c.Ok() || dataPos > size) return false;
  c.Seek(static_cast<uint32_t>(dataPos));
  f->areas.bytePacked = c.Take(f->areas.bytePackedSize);
  f->areas.bitPacked = c.Take(f->areas.bitPackedSize);
  return c.Ok();  // false: areas beyond the end of the file
}

}  // namespace

// ---------------------------------------------------------------------------
// Strip encoder

int ztEncodeStrip(const uint8_t* firstRow, ptrdiff_t step, uint32_t width, uint32_t rows, uint32_t bytesPerPixel,
                  ztStripCode* out) {
  if (!firstRow || !out || rows == 0) return 0;
  uint32_t rowBytes = ztImage::ComputeStride(width, bytesPerPixel, false);
  uint32_t size = rowBytes ? ztImage::ComputeBufferSize(rowBytes, rows) : 0;
  if (!size) return 0;
  uint32_t length = (size + 3) & ~3u;
  // Mapped differences and their planes.
  ztHeapBuffer mapped, planes;
  if (!mapped.Alloc(length) || !planes.Alloc(length)) return 0;
  const uint8_t* code = zt_strip::kTables.signCode;
  uint8_t* m = mapped.Get();
  const uint8_t* row = firstRow;
  const uint32_t b = bytesPerPixel;
  // First stored row: against the pixel to the left.
  for (uint32_t i = 0; i < b; ++i) m[i] = code[row[i]];
  for (uint32_t i = b; i < rowBytes; ++i) m[i] = code[static_cast<uint8_t>(row[i] - row[i - b])];
  m += rowBytes;
  // Every later row: against the row stored before it.
  for (uint32_t k = 1; k < rows; ++k) {
    const uint8_t* prev = row;
    row += step;
    for (uint32_t i = 0; i < rowBytes; ++i) m[i] = code[static_cast<uint8_t>(row[i] - prev[i])];
    m += rowBytes;
  }
  memset(mapped.Get() + size, 0, length - size);
  zt_strip::SplitPlanes(mapped.Get(), length, planes.Get());
  mapped.Free();

  // Runs of nonzero bytes (copied to the byte area) and of zero bytes, each
  // closed by the gamma code of its length. The bit area's worst case is
  // runs of two (3 bits for 2 bytes): under length / 4 bytes plus codes.
  const uint8_t* ex = planes.Get();
  uint32_t bitCap = length / 4 + 1024;
  if (!out->byteArea.Alloc(length) || !out->bitArea.Alloc(bitCap)) return 0;
  uint8_t* bytes = out->byteArea.Get();
  uint32_t byteCount = 0;
  ztBitWriter bits(out->bitArea.Get(), bitCap);
  bool nonzero = ex[0] != 0;
  bits.WriteBit(nonzero ? 1 : 0);
  bits.WriteGamma(length);
  for (uint32_t i = 0; i < length;) {
    uint32_t j = i;
    if (nonzero) {
      while (j < length && ex[j]) ++j;
      memcpy(bytes + byteCount, ex + i, j - i);
      byteCount += j - i;
    } else {
      while (j < length && !ex[j]) ++j;
    }
    bits.WriteGamma(j - i);
    i = j;
    nonzero = !nonzero;
  }
  uint32_t bitCount = bits.Finish();
  if (!bits.Ok() || bitCount == 0) return 0;
  out->byteSize = byteCount;
  out->bitSize = bitCount;
  return 1;
}

// ---------------------------------------------------------------------------
// ZO-2 files

int ztImageZo2::Detect(const uint8_t* data, uint32_t size) { return data && size >= 4 && memcmp(data, "ZO-2", 4) == 0; }

int ztImageZo2::Load(const ztMemBlock* source, int frameId) {
  if (!CheckSignature(source)) return 0;
  const uint8_t* data = source->data;
  uint32_t size = source->size;
  int version = ReadVersion(source);
  uint32_t pos = kFileHeaderSize;
  if (version == 16) {
    if (!FrameFits(size, pos, version)) return 0;
  } else if (version == 32 || version == 37) {
    for (;;) {
      if (!FrameFits(size, pos, version)) {
        DebugLog(kNoSuchId, frameId);
        return 0;
      }
      if (static_cast<int32_t>(ztGetU32LE(data + pos + 40)) == frameId) break;
      if (!NextFrame(data, size, pos, version, &pos)) {
        DebugLog(kNoSuchId, frameId);
        return 0;
      }
    }
  } else {
    DebugLog(kBadVersion);
    return 0;
  }
  return DecodeFrame(data, size, pos, version);
}

int ztImageZo2::LoadByIndex(const ztMemBlock* source, unsigned index, int* frameId) {
  if (!CheckSignature(source)) return 0;
  int version = ReadVersion(source);
  if (version < 37) {
    // One frame, answered as id 0.
    if (index != 0) return 0;
    if (frameId) *frameId = 0;
    return Load(source, 0);
  }
  uint32_t pos = kFileHeaderSize;
  if (!FrameFits(source->size, pos, version)) return 0;
  for (unsigned i = 0; i < index; ++i) {
    if (!NextFrame(source->data, source->size, pos, version, &pos)) return 0;
  }
  int32_t id = static_cast<int32_t>(ztGetU32LE(source->data + pos + 40));
  if (frameId) *frameId = id;
  return Load(source, id);
}

int ztImageZo2::DecodeFrame(const uint8_t* data, uint32_t size, uint32_t pos, int version) {
  FrameInfo f;
  if (!ReadFrameInfo(data, size, pos, version, &f)) return 0;
  int32_t bpp = f.bits / 8;
  if (bpp < 1 || bpp > 4) return 0;
  if (!ztPictureWithinLimit(f.width, f.height)) return 0;
  uint32_t stride = ComputeStride(f.width, static_cast<uint32_t>(bpp), false);
  uint32_t bytes = stride ? ComputeBufferSize(stride, f.height) : 0;
  if (!bytes) return 0;
  ztStripDecoder decoder(&strip_, kByteAreaSize, kBitAreaSize);
  // A byte-area size its stream cannot reach gets no work area of its own:
  // the decoder reports it as a size mismatch.
  uint32_t workByteSize = f.areas.byteSize <= ztZlibMaxInflated(f.areas.bytePackedSize) ? f.areas.byteSize : 0;
  if (!decoder.Prepare(f.width, f.height, static_cast<uint32_t>(bpp), workByteSize)) return 0;
  if (!ReserveBuffer(bytes)) return 0;
  SetGeometry(f.width, f.height, bpp, stride);
  if (!decoder.Decode(f.areas, pixels_, 0, static_cast<int32_t>(f.height))) return 0;
  decoder.Release();

  uint8_t widen[256];
  if (BuildWidening(f.significant, widen)) {
    for (uint32_t i = 0; i < bytes; ++i) pixels_[i] = widen[pixels_[i]];
  }
  if (version >= 32) {
    SetCanvasSize(f.canvasW, f.canvasH);
    SetOffset(f.offsetX, f.offsetY);
    alphaState_ = f.transparent ? ZTIMAGE_ALPHA_TRANSPARENT : ZTIMAGE_ALPHA_OPAQUE;
  } else {
    SetCanvasSize(static_cast<int32_t>(f.width), static_cast<int32_t>(f.height));
    SetOffset(0, 0);
    alphaState_ = ZTIMAGE_ALPHA_UNKNOWN;
  }
  SetUserValues(f.user1, f.user2);
  return 1;
}

int ztImageZo2::Save(ztMemBlock* dest, int frameId, int userValue1, int userValue2, int clearTransparent) {
  if (!dest) return 0;
  if (!GeometryValid()) {
    dest->Clear();
    return 0;
  }
  SetCanvasSize(static_cast<int32_t>(width_), static_cast<int32_t>(height_));
  SetOffset(0, 0);
  SetUserValues(userValue1, userValue2);
  ztRect rect;
  if (GetOpaqueBounds(&rect)) {
    // A picture with nothing visible keeps a 2 x 2 corner.
    if (rect.left >= rect.right || rect.top >= rect.bottom) rect = {0, 0, 2, 2};
    if (strip_.cropOnSave && Crop(&rect)) SetOffset(rect.left, rect.top);
  }
  if (clearTransparent) ClearTransparentColour();
  uint64_t need = static_cast<uint64_t>(bpp_ > 0 ? bpp_ : 0) * width_ * height_ * 2 + ZTZO2_HEADER_SIZE;
  if (need < kMinSaveCapacity) need = kMinSaveCapacity;
  if (need > 0xFFFFFFF0u || !dest->Allocate(static_cast<uint32_t>(need))) {
    dest->Clear();
    return 0;
  }
  int32_t length = Encode(dest->data, static_cast<uint32_t>(need), frameId);
  if (length < 0) {
    dest->Clear();
    return 0;
  }
  dest->size = static_cast<uint32_t>(length);
  return 1;
}

int32_t ztImageZo2::Encode(uint8_t* out, uint32_t capacity, int frameId) {
  if (bpp_ != 3 && bpp_ != 4) {
    DebugLog(kBadColours);
    return -1;
  }
  if (!out || !GeometryValid() || capacity < ZTZO2_HEADER_SIZE) return -1;
  uint32_t transparent = HasTransparency() ? 1 : 0;
  // Stored order is bottom-up: buffer row h - 1 first.
  ztStripCode code;
  const uint8_t* lastRow = pixels_ + static_cast<size_t>(height_ - 1) * stride_;
  if (!ztEncodeStrip(lastRow, -static_cast<ptrdiff_t>(stride_), width_, height_, static_cast<uint32_t>(bpp_), &code))
    return -1;
  int32_t bytePacked =
      ztZlibDeflate(out + ZTZO2_HEADER_SIZE, capacity - ZTZO2_HEADER_SIZE, code.byteArea.Get(), code.byteSize);
  if (bytePacked < 0) return -1;
  uint32_t bitPos = ZTZO2_HEADER_SIZE + static_cast<uint32_t>(bytePacked);
  int32_t bitPacked = ztZlibDeflate(out + bitPos, capacity - bitPos, code.bitArea.Get(), code.bitSize);
  if (bitPacked < 0) return -1;

  int32_t canvasW, canvasH;
  GetCanvasSize(&canvasW, &canvasH);
  uint8_t* h = out;
  memcpy(h, "ZO-2", 4);
  ztPutU32LE(h + 4, kFileHeaderSize);
  ztPutU16LE(h + 8, 37);
  ztPutU16LE(h + 10, 0);
  uint8_t* f = out + kFileHeaderSize;
  ztPutU32LE(f + 0, width_);
  ztPutU32LE(f + 4, height_);
  ztPutU16LE(f + 8, static_cast<uint32_t>(bpp_ * 8));
  ztPutU16LE(f + 10, 0);  // all 8 bits significant
  ztPutU32LE(f + 12, static_cast<uint32_t>(strip_.value1));
  ztPutU32LE(f + 16, static_cast<uint32_t>(strip_.value2));
  ztPutU32LE(f + 20, static_cast<uint32_t>(bytePacked));
  ztPutU32LE(f + 24, code.byteSize);
  ztPutU32LE(f + 28, static_cast<uint32_t>(bitPacked));
  ztPutU32LE(f + 32, code.bitSize);
  ztPutU32LE(f + 36, 40);  // data follows the frame information
  ztPutU32LE(f + 40, static_cast<uint32_t>(frameId));
  ztPutU32LE(f + 44, static_cast<uint32_t>(canvasW));
  ztPutU32LE(f + 48, static_cast<uint32_t>(canvasH));
  ztPutU32LE(f + 52, static_cast<uint32_t>(offsetX_));
  ztPutU32LE(f + 56, static_cast<uint32_t>(offsetY_));
  ztPutU32LE(f + 60, transparent);
  ztPutU32LE(f + 64, 0);  // the only frame
  ztPutU32LE(f + 68, static_cast<uint32_t>(userValue1_));
  ztPutU32LE(f + 72, static_cast<uint32_t>(userValue2_));
  return static_cast<int32_t>(bitPos + static_cast<uint32_t>(bitPacked));
}

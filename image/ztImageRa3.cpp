#include "image/ztImageRa3.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "file/textutil.h"
#include "image/zlibutil.h"
#include "image/ztImageJpeg.h"
#include "image/ztImageWebP.h"
#include "platform/ztBytes.h"
#include "platform/ztDebug.h"
#include "platform/ztLimits.h"

namespace {

// RA3 : ヘッダが違います
constexpr const char kBadHeader[] = "RA3 : \x83w\x83\x62\x83_\x82\xaa\x88\xe1\x82\xa2\x82\xdc\x82\xb7";
// RA3 : ヘッダサイズが違います
constexpr const char kBadHeaderSize[] =
    "RA3 : \x83w\x83\x62\x83_\x83T\x83\x43\x83Y\x82\xaa\x88\xe1\x82\xa2\x82\xdc\x82\xb7";
// ztImageRa3 : バイト領域のサイズが異常です
constexpr const char kByteAreaSize[] =
    "ztImageRa3 : \x83o\x83\x43\x83g\x97\xcc\x88\xe6\x82\xcc\x83T\x83\x43\x83Y\x82\xaa\x88\xd9\x8f\xed\x82\xc5\x82\xb7";
// ztImageRa3 : ビット領域のサイズが異常です
constexpr const char kBitAreaSize[] =
    "ztImageRa3 : \x83r\x83\x62\x83g\x97\xcc\x88\xe6\x82\xcc\x83T\x83\x43\x83Y\x82\xaa\x88\xd9\x8f\xed\x82\xc5\x82\xb7";

constexpr uint32_t kFileHeaderSize = 12;
constexpr uint32_t kFrameHeaderSize = 8;
constexpr uint32_t kTagHeaderSize = 16;
constexpr uint32_t kStdInfoSize = 40;
constexpr uint32_t kStripHeaderSize = 24;
constexpr uint32_t kWorkSlack = 4096;
constexpr uint32_t kRunSlack = 16;

// First frame header, or 0 when the file header is wrong (with its message).
uint32_t CheckFileHeader(const ztMemBlock* source) {
  if (!source || !source->data || source->size < 4 || memcmp(source->data, "RA-3", 4) != 0) {
    DebugLog(kBadHeader);
    return 0;
  }
  ztByteCursor c(source->data, source->size);
  c.Skip(4);
  uint32_t headerSize = c.U32LE();
  if (!c.Ok() || headerSize != kFileHeaderSize) {
    DebugLog(kBadHeaderSize);
    return 0;
  }
  return kFileHeaderSize;
}

// Reads the frame header at `pos`; false when it is not inside the file.
bool ReadFrameHeader(const uint8_t* data, uint32_t size, uint32_t pos, uint32_t* next, int32_t* id) {
  ztByteCursor c(data, size);
  if (!c.Seek(pos)) return false;
  *next = c.U32LE();
  *id = static_cast<int32_t>(c.U32LE());
  return c.Ok();
}

// Position `offset` bytes after `pos`, when a header of `need` bytes still
// fits in the file there. Offsets are unsigned and added in 64 bits, so a
// chain can only move forward: it cannot wrap or loop back.
bool Advance(uint32_t size, uint32_t pos, uint32_t offset, uint32_t need, uint32_t* out) {
  uint64_t next = static_cast<uint64_t>(pos) + offset;
  if (next > size || need > size - next) return false;
  *out = static_cast<uint32_t>(next);
  return true;
}

// Frame with the id: its position, or false when the chain ends first (or
// leads outside the file).
bool FindFrame(const uint8_t* data, uint32_t size, int32_t frameId, uint32_t* framePos) {
  uint32_t pos = kFileHeaderSize;
  for (;;) {
    uint32_t next;
    int32_t id;
    if (!ReadFrameHeader(data, size, pos, &next, &id)) return false;
    if (id == frameId) {
      *framePos = pos;
      return true;
    }
    if (next == 0 || !Advance(size, pos, next, kFrameHeaderSize, &pos)) return false;
  }
}

// Frame reached by following the chain `index` times.
bool FrameAtIndex(const uint8_t* data, uint32_t size, unsigned index, uint32_t* framePos, int32_t* frameId) {
  uint32_t pos = kFileHeaderSize;
  for (unsigned i = 0;; ++i) {
    uint32_t next;
    int32_t id;
    if (!ReadFrameHeader(data, size, pos, &next, &id)) return false;
    if (i == index) {
      *framePos = pos;
      *frameId = id;
      return true;
    }
    if (next == 0 || !Advance(size, pos, next, kFrameHeaderSize, &pos)) return false;
  }
}

uint32_t ValueOf(const uint8_t* data, uint32_t length) {
  // A value tag shorter than 4 bytes reads as if zero-padded.
  uint8_t bytes[4] = {0, 0, 0, 0};
  memcpy(bytes, data, length < 4 ? length : 4);
  return ztGetU32LE(bytes);
}

// Strip number of a tag named exactly as "img%04d" prints it, or -1.
int64_t StripNumber(const char* name) {
  if (strncmp(name, "img", 3) != 0) return -1;
  const char* digits = name + 3;
  size_t n = strlen(digits);
  if (n < 4) return -1;
  int64_t value = 0;
  for (size_t i = 0; i < n; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return -1;
    value = value * 10 + (digits[i] - '0');
  }
  // Five or more digits only without a leading zero ("img10000").
  if (n > 4 && digits[0] == '0') return -1;
  return value;
}

// Bytes with their bit order reversed.
struct ReverseTable {
  uint8_t v[256];
  constexpr ReverseTable() : v() {
    for (int i = 0; i < 256; ++i) {
      int r = 0;
      for (int b = 0; b < 8; ++b) r |= ((i >> b) & 1) << (7 - b);
      v[i] = static_cast<uint8_t>(r);
    }
  }
  uint8_t operator[](uint32_t i) const { return v[i]; }
};
constexpr ReverseTable kReverse{};

// Bits of the unpacked bit area, least significant bit of each byte first,
// read through a 64-bit window so that a gamma number costs a count of
// trailing zeros instead of a loop per bit. Reading past the area clears a
// sticky ok flag.
class GammaReader {
 public:
  GammaReader(const uint8_t* data, uint32_t size) : p_(data), end_(data + size) {}
  bool Ok() const { return ok_; }

  int Bit() {
    Refill();
    if (count_ == 0) return Fail();
    int bit = static_cast<int>(window_ & 1);
    Drop(1);
    return bit;
  }
  // k zero bits, a 1 bit, then k bits most significant first: 2^k + v.
  // 0 (and not ok) for a code longer than 32 bits or one cut by the end.
  uint32_t Gamma() {
    Refill();
    if (window_ == 0) return Fail();  // more than 31 zeros, or the end
    int k = Ctz(window_);
    if (k > 31) return Fail();
    Drop(k + 1);
    if (k == 0) return 1;
    Refill();
    if (count_ < k) return Fail();
    uint32_t raw = static_cast<uint32_t>(window_) & ((1u << k) - 1);
    Drop(k);
    // The k bits arrived in reading order from bit 0 up; the number wants
    // the first of them as its highest bit.
    uint32_t reversed = static_cast<uint32_t>(kReverse[raw & 0xFF]) << 24 |
                        static_cast<uint32_t>(kReverse[(raw >> 8) & 0xFF]) << 16 |
                        static_cast<uint32_t>(kReverse[(raw >> 16) & 0xFF]) << 8 | kReverse[raw >> 24];
    return (1u << k) + (reversed >> (32 - k));
  }

 private:
  static int Ctz(uint64_t v) {
#if defined(__GNUC__)
    return __builtin_ctzll(v);
#else
    int n = 0;
    while (!(v & 1)) {
      v >>= 1;
      ++n;
    }
    return n;
#endif
  }
  // Tops the window up to at least 57 bits while bytes remain. With eight
  // bytes ahead it loads them at once; bits above the count are then already
  // the following bits of the area, which a later load ORs in again
  // unchanged.
  void Refill() {
    if (count_ > 56) return;
    if (end_ - p_ >= 8) {
      uint64_t next = 0;
      for (int i = 7; i >= 0; --i) next = next << 8 | p_[i];
      window_ |= next << count_;
      p_ += (63 - count_) >> 3;
      count_ |= 56;
      return;
    }
    while (count_ <= 56 && p_ < end_) {
      window_ |= static_cast<uint64_t>(*p_++) << count_;
      count_ += 8;
    }
  }
  void Drop(int n) {
    window_ = n < 64 ? window_ >> n : 0;
    count_ -= n;
  }
  uint32_t Fail() {
    ok_ = false;
    return 0;
  }

  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t window_ = 0;
  int count_ = 0;
  bool ok_ = true;
};

// Sign map of eight codes at once: even codes 2i are i, odd codes 2i + 1
// are 255 - i, i.e. (c >> 1) with every bit flipped when c is odd.
inline uint64_t SignMap8(uint64_t c) {
  const uint64_t low = 0x0101010101010101ull;
  return ((c >> 1) & (low * 0x7F)) ^ ((c & low) * 0xFF);
}
// Byte-wise sum of eight bytes, modulo 256 in each byte.
inline uint64_t AddBytes8(uint64_t a, uint64_t b) {
  const uint64_t high = 0x8080808080808080ull;
  return ((a & ~high) + (b & ~high)) ^ ((a ^ b) & high);
}
inline uint64_t Load8(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}
inline void Store8(uint8_t* p, uint64_t v) { memcpy(p, &v, 8); }

}  // namespace

struct ztImageRa3::Tag {
  char name[9];
  const uint8_t* data;
  uint32_t length;
};

namespace {

// Reads a frame's whole tag chain; false when any tag header or tag data
// lies outside the file.
template <class TagT>
bool ReadTags(const uint8_t* data, uint32_t size, uint32_t framePos, std::vector<TagT>* tags) {
  tags->clear();
  uint32_t pos;
  if (!Advance(size, framePos, kFrameHeaderSize, kTagHeaderSize, &pos)) return false;
  for (;;) {
    ztByteCursor c(data, size);
    c.Seek(pos);
    TagT tag;
    c.Read(tag.name, 8);
    tag.name[8] = 0;
    uint32_t next = c.U32LE();
    tag.length = c.U32LE();
    tag.data = c.Take(tag.length);
    if (!c.Ok()) return false;
    tags->push_back(tag);
    if (next == 0) return true;
    if (!Advance(size, pos, next, kTagHeaderSize, &pos)) return false;
  }
}

template <class TagT>
const TagT* FindTag(const std::vector<TagT>& tags, const char* name) {
  for (const TagT& t : tags) {
    if (strcmp(t.name, name) == 0) return &t;
  }
  return nullptr;
}

struct StoredStrip {
  uint32_t y0;
  int32_t rows;
  ztStripAreas areas;
};

// The strips of a frame in order, with the largest byte area a stream could
// really give; false when a strip's areas lie beyond its tag's data.
template <class TagT>
bool ReadStrips(const std::vector<TagT>& tags, std::vector<StoredStrip>* strips, uint32_t* maxByteSize) {
  // Strips by number, the first tag of each name; they count from "img0000"
  // until a number is missing.
  std::vector<const TagT*> byNumber(tags.size(), nullptr);
  for (const TagT& t : tags) {
    int64_t n = StripNumber(t.name);
    if (n >= 0 && static_cast<uint64_t>(n) < byNumber.size() && !byNumber[static_cast<size_t>(n)])
      byNumber[static_cast<size_t>(n)] = &t;
  }
  for (const TagT* t : byNumber) {
    if (!t) break;
    ztByteCursor c(t->data, t->length);
    StoredStrip s;
    s.y0 = c.U32LE();
    s.rows = static_cast<int32_t>(c.U32LE());
    s.areas.bytePackedSize = c.U32LE();
    s.areas.byteSize = c.U32LE();
    s.areas.bitPackedSize = c.U32LE();
    s.areas.bitSize = c.U32LE();
    s.areas.bytePacked = c.Take(s.areas.bytePackedSize);
    s.areas.bitPacked = c.Take(s.areas.bitPackedSize);
    if (!c.Ok()) return false;  // areas beyond the tag's data
    // Only sizes a stream could really give count for the work area; an
    // impossible one fails when its strip is reached.
    if (s.areas.byteSize > *maxByteSize && s.areas.byteSize <= ztZlibMaxInflated(s.areas.bytePackedSize))
      *maxByteSize = s.areas.byteSize;
    strips->push_back(s);
  }
  return true;
}

// Zeroes the rows no strip covered (every row of a frame without pixel tags).
void ZeroUncoveredRows(const std::vector<StoredStrip>& strips, uint8_t* pixels, uint32_t stride, uint32_t height) {
  std::vector<std::pair<uint32_t, uint32_t>> covered;  // buffer rows [first, end)
  for (const StoredStrip& s : strips) {
    uint32_t end = height - s.y0;
    covered.emplace_back(end - static_cast<uint32_t>(s.rows), end);
  }
  std::sort(covered.begin(), covered.end());
  uint32_t row = 0;
  for (const auto& c : covered) {
    if (c.first > row)
      memset(pixels + static_cast<size_t>(row) * stride, 0, static_cast<size_t>(c.first - row) * stride);
    if (c.second > row) row = c.second;
  }
  if (row < height) memset(pixels + static_cast<size_t>(row) * stride, 0, static_cast<size_t>(height - row) * stride);
}

}  // namespace

// ---------------------------------------------------------------------------
// Strip decoder

int ztStripDecoder::Prepare(uint32_t width, uint32_t height, uint32_t bytesPerPixel, uint32_t maxByteSize) {
  Release();
  uint32_t stride = ztImage::ComputeStride(width, bytesPerPixel, false);
  uint32_t pixelBytes = stride ? ztImage::ComputeBufferSize(stride, height) : 0;
  if (!pixelBytes || maxByteSize > 0xFFFFFFF0u) return 0;
  uint64_t region = static_cast<uint64_t>(pixelBytes) + kWorkSlack;
  if (!work_.Alloc(maxByteSize + 16)) return 0;
  width_ = width;
  height_ = height;
  bpp_ = bytesPerPixel;
  maxByteSize_ = maxByteSize;
  expandedCap_ = static_cast<uint32_t>(region);
  return 1;
}

int ztStripDecoder::Decode(const ztStripAreas& a, uint8_t* pixels, uint32_t y0, int32_t rows) {
  if (!work_.Get() || !pixels) return 0;
  if (rows < 0 || y0 > height_ || static_cast<uint32_t>(rows) > height_ - y0) return 0;
  if (!Inflate(a)) return 0;
  uint32_t length = 0;
  bool ok = ExpandRuns(a, &length);
  // The stream must hold whole groups of four bytes, and at least the rows
  // the prediction pass reads.
  uint64_t rowBytes = static_cast<uint64_t>(width_) * bpp_;
  if (!ok || length % 4 != 0 || static_cast<uint64_t>(length) < rowBytes * static_cast<uint32_t>(rows)) return 0;
  if (rows == 0) return 1;

  uint8_t* expanded = streams_.Get();
  uint8_t* recombined = expanded + streamCap_ + kRunSlack;
  zt_strip::Recombine(expanded, length, recombined);
  UndoPrediction(recombined, pixels, y0, rows);
  return 1;
}

int ztStripDecoder::Inflate(const ztStripAreas& a) {
  uint8_t* byteArea = work_.Get();
  // Byte area. A claim larger than the work area was sized for, or larger
  // than its packed bytes could ever give, is the same fault as a stream that
  // inflates to another size.
  if (a.byteSize > maxByteSize_ || a.byteSize > ztZlibMaxInflated(a.bytePackedSize) ||
      ztZlibInflate(byteArea, a.byteSize + 16, a.bytePacked, a.bytePackedSize) != static_cast<int32_t>(a.byteSize)) {
    DebugLog(byteAreaMessage_);
    return 0;
  }
  // Bit area, in a buffer of its own.
  ztHeapBuffer& bits = state_->bitArea;
  if (a.bitSize > ztZlibMaxInflated(a.bitPackedSize) || a.bitSize > 0xFFFFFFF0u || !bits.Alloc(a.bitSize + 16) ||
      ztZlibInflate(bits.Get(), a.bitSize + 16, a.bitPacked, a.bitPackedSize) != static_cast<int32_t>(a.bitSize)) {
    bits.Free();
    DebugLog(bitAreaMessage_);
    return 0;
  }
  return 1;
}

bool ztStripDecoder::ReserveStreams(uint32_t total) {
  if (total <= streamCap_) return true;
  // Room for the stream and its recombined copy, each with 16 spare bytes.
  bool ok = streams_.Alloc(2 * total + 2 * kRunSlack);
  streamCap_ = ok ? total : 0;
  return ok;
}

bool ztStripDecoder::ExpandRuns(const ztStripAreas& a, uint32_t* length) {
  // Runs: alternately zero bytes and bytes copied from the byte area, each
  // run's length a gamma number; the first run copies when the flag says so.
  ztHeapBuffer& bits = state_->bitArea;
  GammaReader reader(bits.Get(), a.bitSize);
  int copyFirst = reader.Bit();
  uint32_t total = reader.Gamma();
  bool ok = reader.Ok() && total <= expandedCap_ && ReserveStreams(total);
  uint8_t* expanded = streams_.Get();
  // A good stream is never empty (a gamma number is at least 1), so a good
  // strip always has the buffer; without one nothing below may run.
  if (!expanded) ok = false;
  // Short runs are the common case: they move a fixed 16 bytes, which the
  // spare bytes after the stream and after the byte area allow; later runs
  // overwrite the excess.
  uint8_t* byteArea = work_.Get();
  memset(byteArea + a.byteSize, 0, kRunSlack);
  uint32_t p = 0, left = total, taken = 0;
  auto copyRun = [&](uint32_t n) {
    if (!expanded || !reader.Ok() || n > left || n > a.byteSize - taken) return false;
    if (n <= kRunSlack) {
      memcpy(expanded + p, byteArea + taken, kRunSlack);
    } else {
      memcpy(expanded + p, byteArea + taken, n);
    }
    p += n;
    left -= n;
    taken += n;
    return true;
  };
  if (ok && copyFirst) ok = copyRun(reader.Gamma());
  while (ok && left > 0) {
    uint32_t zeros = reader.Gamma();
    if (!reader.Ok() || zeros > left) {
      ok = false;
      break;
    }
    if (zeros <= kRunSlack) {
      memset(expanded + p, 0, kRunSlack);
    } else {
      memset(expanded + p, 0, zeros);
    }
    p += zeros;
    left -= zeros;
    if (left == 0) break;
    ok = copyRun(reader.Gamma());
  }
  bits.Free();
  *length = p;
  return ok;
}

void ztStripDecoder::UndoPrediction(const uint8_t* recombined, uint8_t* pixels, uint32_t y0, int32_t rows) {
  // The first stored row against the pixel to its left, every later row
  // against the row stored before it (one row lower in the picture, one row
  // later in memory).
  const uint8_t* map = zt_strip::kTables.signMap;
  const size_t rb = static_cast<size_t>(width_) * bpp_;
  const uint8_t* c = recombined;
  uint8_t* row = pixels + static_cast<size_t>(height_ - 1 - y0) * rb;
  for (size_t i = 0; i < bpp_; ++i) row[i] = map[c[i]];
  for (size_t i = bpp_; i < rb; ++i) row[i] = static_cast<uint8_t>(map[c[i]] + row[i - bpp_]);
  c += rb;
  for (int32_t k = 1; k < rows; ++k) {
    const uint8_t* below = row;
    row -= rb;
    // Eight bytes per step; the arithmetic keeps every byte to itself.
    size_t i = 0;
    for (; i + 8 <= rb; i += 8) Store8(row + i, AddBytes8(SignMap8(Load8(c + i)), Load8(below + i)));
    for (; i < rb; ++i) row[i] = static_cast<uint8_t>(map[c[i]] + below[i]);
    c += rb;
  }
}

// ---------------------------------------------------------------------------
// RA-3 frames

int ztImageRa3::Detect(const uint8_t* data, uint32_t size) { return data && size >= 4 && memcmp(data, "RA-3", 4) == 0; }

int ztImageRa3::Load(const ztMemBlock* source, int frameId) {
  if (!CheckFileHeader(source)) return 0;
  uint32_t framePos;
  if (!FindFrame(source->data, source->size, frameId, &framePos)) return 0;
  return DecodeFrame(source->data, source->size, framePos);
}

int ztImageRa3::LoadByIndex(const ztMemBlock* source, unsigned index, int* frameId) {
  if (!CheckFileHeader(source)) return 0;
  uint32_t framePos;
  int32_t id;
  if (!FrameAtIndex(source->data, source->size, index, &framePos, &id)) return 0;
  if (frameId) *frameId = id;
  // Decoded by id, as Load would: with two frames of one id, the first wins.
  if (!FindFrame(source->data, source->size, id, &framePos)) return 0;
  return DecodeFrame(source->data, source->size, framePos);
}

int ztImageRa3::ListFrames(const ztMemBlock* source, std::vector<ztRa3FrameInfo>* frames) {
  if (!frames || !CheckFileHeader(source)) return 0;
  frames->clear();
  std::vector<Tag> tags;
  for (unsigned i = 0;; ++i) {
    uint32_t pos;
    int32_t id;
    if (!FrameAtIndex(source->data, source->size, i, &pos, &id)) break;
    ztRa3FrameInfo info;
    info.id = id;
    if (!ReadTags(source->data, source->size, pos, &tags)) return 0;
    for (const Tag& t : tags) info.tags.push_back(t.name);
    frames->push_back(info);
  }
  return 1;
}

int ztImageRa3::DecodeFrame(const uint8_t* data, uint32_t size, uint32_t framePos) {
  std::vector<Tag> tags;
  if (!ReadTags(data, size, framePos, &tags)) return 0;
  const Tag* info = FindTag(tags, "stdinfo");
  if (!info || info->length < kStdInfoSize) return 0;
  ztByteCursor c(info->data, info->length);
  uint32_t width = c.U32LE();
  uint32_t height = c.U32LE();
  int16_t bits = static_cast<int16_t>(c.U16LE());
  c.Skip(2);
  int32_t offsetX = static_cast<int32_t>(c.U32LE());
  int32_t offsetY = static_cast<int32_t>(c.U32LE());
  int32_t canvasW = static_cast<int32_t>(c.U32LE());
  int32_t canvasH = static_cast<int32_t>(c.U32LE());
  uint32_t transparent = c.U32LE();
  int32_t user1 = static_cast<int32_t>(c.U32LE());
  int32_t user2 = static_cast<int32_t>(c.U32LE());
  int32_t bpp = bits / 8;
  if (bpp < 1 || bpp > 4) return 0;
  if (!ztPictureWithinLimit(width, height)) return 0;

  int ok;
  if (const Tag* webp = FindTag(tags, "img_wbp")) {
    ok = DecodeWebP(*webp, width, height, bpp);
  } else if (const Tag* jpeg = FindTag(tags, "img_jpg")) {
    ok = DecodeJpeg(*jpeg, FindTag(tags, "img_al"), width, height, bpp);
  } else {
    ok = DecodeStrips(tags, width, height, bpp);
  }
  if (!ok) return 0;

  SetCanvasSize(canvasW, canvasH);
  SetOffset(offsetX, offsetY);
  alphaState_ = transparent ? ZTIMAGE_ALPHA_TRANSPARENT : ZTIMAGE_ALPHA_OPAQUE;
  SetUserValues(user1, user2);
  if (bpp_ == 3) {
    ExpandTo32();
    if (bpp_ != 4) return 0;  // the heap refused the wider buffer
  }
  ScanTags(tags);
  SwapRedBlue();
  return 1;
}

void ztImageRa3::ScanTags(const std::vector<Tag>& tags) {
  bool sawImgMode = false, sawJpeg = false;
  for (const Tag& t : tags) {
    if (strncmp(t.name, "ats", 3) == 0) {
      int end;
      int32_t number;
      if (ScanNumberA(t.name + 3, &end, &number)) {
        // A record tag shorter than a record is zero-padded, never read past.
        uint8_t record[ZTIMAGE_RECORD_SIZE] = {};
        memcpy(record, t.data, t.length < ZTIMAGE_RECORD_SIZE ? t.length : ZTIMAGE_RECORD_SIZE);
        StoreRecord(number, record);
      }
    } else if (strcmp(t.name, "cptype") == 0) {
      cpType_ = ValueOf(t.data, t.length);
    } else if (strcmp(t.name, "imgmode") == 0) {
      imgMode_ = ValueOf(t.data, t.length);
      sawImgMode = true;
    } else if (strcmp(t.name, "img_jpg") == 0 || strcmp(t.name, "img_jpa") == 0) {
      sawJpeg = true;
    }
  }
  // JPEG data decodes red first; without a word from the file, such a frame
  // still needs the swap to the buffer's blue-first order.
  if (sawJpeg && !sawImgMode) imgMode_ = 1;
}

int ztImageRa3::DecodeWebP(const Tag& tag, uint32_t width, uint32_t height, int32_t bpp) {
  ztImageWebP webp;
  ztMemBlock src(tag.data, tag.length);
  if (!webp.Load(&src, 0)) return 0;
  // The copy below is laid out by "stdinfo": a picture of another size or
  // pixel size would be read outside its rows.
  if (webp.GetWidth() != width || webp.GetHeight() != height || webp.GetBytesPerPixel() != bpp) return 0;
  uint32_t stride = ComputeStride(width, static_cast<uint32_t>(bpp), false);
  uint32_t bytes = stride ? ComputeBufferSize(stride, height) : 0;
  if (!bytes || webp.GetStride() != stride || !ReserveBuffer(bytes)) return 0;
  SetGeometry(width, height, bpp, stride);
  memcpy(pixels_, webp.GetPixels(), bytes);
  return 1;
}

int ztImageRa3::DecodeJpeg(const Tag& tag, const Tag* alpha, uint32_t width, uint32_t height, int32_t bpp) {
  ztImageJpeg jpeg;
  ztMemBlock src(tag.data, tag.length);
  if (!jpeg.Load(&src, 0)) return 0;
  if (jpeg.GetWidth() != width || jpeg.GetHeight() != height || jpeg.GetBytesPerPixel() != 3) return 0;
  if (bpp != 3 && bpp != 4) return 0;
  uint32_t stride = ComputeStride(width, static_cast<uint32_t>(bpp), false);
  uint32_t bytes = stride ? ComputeBufferSize(stride, height) : 0;
  if (!bytes || !ReserveBuffer(bytes)) return 0;
  SetGeometry(width, height, bpp, stride);
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* s = jpeg.GetPixelAddress(0, y);
    uint8_t* d = pixels_ + static_cast<size_t>(y) * stride;
    if (bpp == 3) {
      memcpy(d, s, stride);
      continue;
    }
    for (uint32_t x = 0; x < width; ++x, s += 3, d += 4) {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
      d[3] = 255;
    }
  }
  if (bpp != 4 || !alpha) return 1;

  // The packed alpha plane: width x height bytes, top row first.
  ztByteCursor c(alpha->data, alpha->length);
  uint32_t packed = c.U32LE();
  uint32_t unpacked = c.U32LE();
  const uint8_t* stream = c.Take(packed);
  if (!c.Ok()) return 0;  // the plane would lie outside its tag
  // A size the stream cannot reach leaves alpha at 255, as a plane that
  // inflates to another size does.
  if (unpacked > ztZlibMaxInflated(packed) || unpacked > 0xFFFFFFF0u) return 1;
  ztHeapBuffer plane;
  uint32_t cap = unpacked > 1024 ? unpacked : 1024;
  if (!plane.Alloc(cap)) return 1;
  if (ztZlibInflate(plane.Get(), cap, stream, packed) != static_cast<int32_t>(unpacked)) return 1;
  uint64_t need = static_cast<uint64_t>(width) * height;
  if (unpacked < need) return 0;  // a plane too short for the picture
  const uint8_t* a = plane.Get();
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* d = pixels_ + static_cast<size_t>(y) * stride + 3;
    for (uint32_t x = 0; x < width; ++x, d += 4) *d = *a++;
  }
  return 1;
}

int ztImageRa3::DecodeStrips(const std::vector<Tag>& tags, uint32_t width, uint32_t height, int32_t bpp) {
  uint32_t stride = ComputeStride(width, static_cast<uint32_t>(bpp), false);
  uint32_t bytes = stride ? ComputeBufferSize(stride, height) : 0;
  if (!bytes || !ReserveBuffer(bytes)) return 0;
  SetGeometry(width, height, bpp, stride);

  std::vector<StoredStrip> strips;
  uint32_t maxByteSize = 0;
  if (!ReadStrips(tags, &strips, &maxByteSize)) return 0;
  if (!strips.empty()) {
    ztStripDecoder decoder(&strip_, kByteAreaSize, kBitAreaSize);
    if (!decoder.Prepare(width, height, static_cast<uint32_t>(bpp), maxByteSize)) return 0;
    for (const StoredStrip& s : strips) {
      if (!decoder.Decode(s.areas, pixels_, s.y0, s.rows)) return 0;
    }
  }
  // Done last, so a frame whose header claims a huge picture costs no more
  // than its strips when those turn out to be broken.
  ZeroUncoveredRows(strips, pixels_, stride, height);
  return 1;
}

#include "image/zure.h"

#include <cstring>

#include "platform/ztBytes.h"
#include "platform/ztHeapBuffer.h"

namespace {

constexpr ztZureParams kParams[ZTZURE_PARAM_SETS] = {
    {13, 3, 8192, 10}, {12, 4, 4096, 18}, {11, 5, 2048, 34}, {10, 6, 1024, 66}, {9, 7, 512, 130},
};

constexpr int32_t kNone = -1;

// The encoder's dictionary: the last W input positions, each in the chain of
// its bucket (key modulo 2W), chains ordered oldest to newest. Positions enter
// a ring slot in turn, so the slot about to be reused always holds the oldest
// position of the whole dictionary, which is therefore the head of its
// bucket's chain: eviction is a pop from the front.
class Dictionary {
 public:
  bool Init(uint32_t window) {
    // Every parameter set has a window; one without a slot could not hold
    // a position, and the ring arithmetic below divides by it.
    if (window == 0) return false;
    window_ = window;
    buckets_ = window * 2;
    // Per slot: position, next-newer slot, bucket. Per bucket: head, tail.
    if (!mem_.Alloc(window * 3 * 4 + buckets_ * 2 * 4)) return false;
    int32_t* base = reinterpret_cast<int32_t*>(mem_.Get());
    pos_ = base;
    next_ = base + window;
    bucketOf_ = base + 2 * window;
    head_ = base + 3 * window;
    tail_ = head_ + buckets_;
    for (uint32_t i = 0; i < buckets_; ++i) head_[i] = tail_[i] = kNone;
    count_ = 0;
    return true;
  }

  int32_t Head(uint32_t bucket) const { return head_[bucket]; }
  int32_t Next(int32_t slot) const { return next_[slot]; }
  int32_t Position(int32_t slot) const { return pos_[slot]; }
  uint32_t BucketOf(uint32_t key) const { return key % buckets_; }

  void Insert(uint32_t position, uint32_t key) {
    int32_t slot = static_cast<int32_t>(count_ % window_);
    if (count_ >= window_) {
      int32_t b = bucketOf_[slot];
      head_[b] = next_[slot];
      if (head_[b] == kNone) tail_[b] = kNone;
    }
    uint32_t b = BucketOf(key);
    pos_[slot] = static_cast<int32_t>(position);
    bucketOf_[slot] = static_cast<int32_t>(b);
    next_[slot] = kNone;
    if (tail_[b] == kNone) {
      head_[b] = slot;
    } else {
      next_[tail_[b]] = slot;
    }
    tail_[b] = slot;
    ++count_;
  }

 private:
  ztHeapBuffer mem_;
  uint32_t window_ = 0;
  uint32_t buckets_ = 0;
  uint32_t count_ = 0;
  int32_t* pos_ = nullptr;
  int32_t* next_ = nullptr;
  int32_t* bucketOf_ = nullptr;
  int32_t* head_ = nullptr;
  int32_t* tail_ = nullptr;
};

// Key of the three bytes at p. Near the end the missing bytes count as 0;
// such keys only decide a bucket, every match is verified byte by byte.
inline uint32_t KeyAt(const uint8_t* in, uint32_t p, uint32_t length) {
  uint32_t left = length - p;
  uint32_t k = in[p];
  if (left > 1) k += 256u * in[p + 1];
  if (left > 2) k += 65536u * in[p + 2];
  return k;
}

// Longest earlier occurrence, at most `maxLen` bytes, of the bytes at q among
// the dictionary's positions with q's key; its length (0 with fewer than
// three bytes left) and in `matchPos` where it starts. The first of equally
// long candidates, the oldest, wins.
uint32_t LongestMatch(const Dictionary& dict, const uint8_t* input, uint32_t q, uint32_t length, uint32_t maxLen,
                      uint32_t* matchPos) {
  uint32_t best = 0;
  uint32_t left = length - q;
  if (left < 3) return 0;
  uint32_t limit = left < maxLen ? left : maxLen;
  const uint8_t* cur = input + q;
  for (int32_t slot = dict.Head(dict.BucketOf(KeyAt(input, q, length))); slot != kNone; slot = dict.Next(slot)) {
    uint32_t c = static_cast<uint32_t>(dict.Position(slot));
    const uint8_t* cand = input + c;
    if (cand[0] != cur[0]) continue;
    // A candidate can only win by matching one byte beyond the best.
    if (best > 0 && (best >= limit || cand[best] != cur[best])) continue;
    uint32_t n = 1;
    while (n < limit && cand[n] == cur[n]) ++n;
    if (n > best) {
      best = n;
      *matchPos = c;
      if (best == maxLen) break;
    }
  }
  return best;
}

// The flag area and the data area of a block, filled token by token. When
// the block is only measured, nothing is stored and just the counts move.
// Each area ends in a zero byte that belongs to the block: the flag byte in
// progress and the byte after the last data byte.
class TokenAreas {
 public:
  bool Init(bool store, uint32_t length) {
    store_ = store;
    if (!store) return true;
    if (length > UINT32_MAX - 16) return false;
    if (!flagArea_.Alloc(length / 8 + 2) || !dataArea_.Alloc(length + 1)) return false;
    memset(flagArea_.Get(), 0, flagArea_.Size());
    dataArea_.Get()[0] = 0;
    return true;
  }

  void Literal(uint8_t byte) {
    if (store_) {
      uint8_t* data = dataArea_.Get();
      data[dataCount_] = byte;
      data[dataCount_ + 1] = 0;
    }
    dataCount_ += 1;
    NextFlag();
  }
  void Reference(uint32_t word) {
    if (store_) {
      uint8_t* data = dataArea_.Get();
      flagArea_.Get()[flagIndex_] |= static_cast<uint8_t>(1u << flagBit_);
      data[dataCount_] = static_cast<uint8_t>(word);
      data[dataCount_ + 1] = static_cast<uint8_t>(word >> 8);
      data[dataCount_ + 2] = 0;
    }
    dataCount_ += 2;
    NextFlag();
  }

  uint32_t FlagBytes() const { return flagIndex_ + 1; }
  uint32_t DataBytes() const { return dataCount_ + 1; }
  const uint8_t* Flags() const { return flagArea_.Get(); }
  const uint8_t* Data() const { return dataArea_.Get(); }

 private:
  void NextFlag() {
    if (++flagBit_ == 8) {
      flagBit_ = 0;
      ++flagIndex_;
    }
  }

  bool store_ = false;
  ztHeapBuffer flagArea_;
  ztHeapBuffer dataArea_;
  uint32_t flagIndex_ = 0;
  uint32_t flagBit_ = 0;
  uint32_t dataCount_ = 0;
};

// The fields of a block's header.
struct BlockHeader {
  uint32_t set;
  uint32_t length;
  uint32_t flagCount;
  uint32_t dataCount;
  uint32_t flagOffset;
  uint32_t dataOffset;
};

// Reads the header; false for a wrong signature, an unknown set or an area
// outside the block.
bool ReadBlockHeader(const uint8_t* block, uint32_t blockSize, BlockHeader* h) {
  ztByteCursor cur(block, blockSize);
  const uint8_t* sig = cur.Take(4);
  if (!sig || memcmp(sig, "ZURE", 4) != 0) return false;
  h->set = cur.U32LE();
  h->length = cur.U32LE();
  h->flagCount = cur.U32LE();
  h->dataCount = cur.U32LE();
  h->flagOffset = cur.U32LE();
  h->dataOffset = cur.U32LE();
  if (!cur.Ok() || h->set >= ZTZURE_PARAM_SETS) return false;
  if (h->flagOffset > blockSize || h->flagCount > blockSize - h->flagOffset) return false;
  if (h->dataOffset > blockSize || h->dataCount > blockSize - h->dataOffset) return false;
  return true;
}

// Where a decode stands: the flag and data bytes still to read, and the
// output made so far (from `output` to `o`) and still to make (to `oend`).
struct DecodeState {
  uint32_t lengthBits;
  uint32_t lengthMask;
  const uint8_t* fp;
  const uint8_t* fend;
  const uint8_t* dp;
  const uint8_t* dend;
  uint8_t* output;
  uint8_t* o;
  uint8_t* oend;
};

// Fast loop, one flag byte at a time, while every token of that byte is
// sure to fit: 8 tokens read at most 16 data bytes and write at most
// 8 x 130 bytes, plus 7 bytes of overshoot from the 8-byte copies (later
// tokens overwrite them). Only references are checked here; false for one
// reaching before the output start.
bool DecodeFast(DecodeState& s) {
  constexpr size_t kOutSlack = 8 * 130 + 8;
  // The positions are locals while the loop runs: a byte store may alias any
  // memory, so fields of `s` would be read again after every one.
  const uint8_t* fp = s.fp;
  const uint8_t* dp = s.dp;
  uint8_t* o = s.o;
  while (fp < s.fend && static_cast<size_t>(s.oend - o) >= kOutSlack && s.dend - dp >= 16) {
    uint32_t f = *fp++;
    if (f == 0) {  // eight literals
      memcpy(o, dp, 8);
      o += 8;
      dp += 8;
      continue;
    }
    for (int bit = 0; bit < 8; ++bit, f >>= 1) {
      if (!(f & 1)) {
        *o++ = *dp++;
        continue;
      }
      uint32_t r = dp[0] | static_cast<uint32_t>(dp[1]) << 8;
      dp += 2;
      uint32_t len = (r & s.lengthMask) + 3;
      size_t dist = (r >> s.lengthBits) + 1;
      if (dist > static_cast<size_t>(o - s.output)) return false;
      const uint8_t* src = o - dist;
      if (dist >= 8) {
        // Each 8-byte chunk reads only bytes produced before it.
        for (uint32_t i = 0; i < len; i += 8) memcpy(o + i, src + i, 8);
      } else {
        // Overlapping: each byte may be one this reference just produced.
        for (uint32_t i = 0; i < len; ++i) o[i] = src[i];
      }
      o += len;
    }
  }
  s.fp = fp;
  s.dp = dp;
  s.o = o;
  return true;
}

// Careful loop for the rest (and for every token when progress is
// reported): each token is checked against what is left. False for a token
// that needs flag or data bytes the block lacks, or a reference reaching
// before the output start or past its end.
bool DecodeCareful(DecodeState& s, ztZureProgress progress, void* user) {
  const uint32_t length = static_cast<uint32_t>(s.oend - s.output);
  const uint8_t* fp = s.fp;
  const uint8_t* dp = s.dp;
  uint8_t* o = s.o;
  while (o < s.oend) {
    if (fp >= s.fend) return false;
    uint32_t f = *fp++;
    for (int bit = 0; bit < 8 && o < s.oend; ++bit, f >>= 1) {
      if (f & 1) {
        if (s.dend - dp < 2) return false;
        uint32_t r = dp[0] | static_cast<uint32_t>(dp[1]) << 8;
        dp += 2;
        uint32_t len = (r & s.lengthMask) + 3;
        size_t dist = (r >> s.lengthBits) + 1;
        if (dist > static_cast<size_t>(o - s.output) || len > static_cast<size_t>(s.oend - o)) return false;
        const uint8_t* src = o - dist;
        for (uint32_t i = 0; i < len; ++i) o[i] = src[i];
        o += len;
      } else {
        if (dp >= s.dend) return false;
        *o++ = *dp++;
      }
      if (progress) progress(user, static_cast<uint32_t>(o - s.output), length);
    }
  }
  return true;
}

}  // namespace

const ztZureParams* ztZureGetParams(int paramSet) {
  if (paramSet < 0 || paramSet >= ZTZURE_PARAM_SETS) return nullptr;
  return &kParams[paramSet];
}

uint32_t ztZureEncode(const uint8_t* input, uint32_t length, uint8_t* output, uint32_t outputCapacity,
                      int paramSet, ztZureProgress progress, void* user) {
  const ztZureParams* prm = ztZureGetParams(paramSet);
  if (!prm || (!input && length > 0)) return 0;
  Dictionary dict;
  if (!dict.Init(prm->window)) return 0;

  // Without an output block the areas are only counted.
  const bool store = output != nullptr;
  TokenAreas areas;
  if (!areas.Init(store, length)) return 0;

  uint32_t q = 0;
  while (q < length) {
    uint32_t matchPos = 0;
    uint32_t best = LongestMatch(dict, input, q, length, prm->longestRef, &matchPos);
    uint32_t advance;
    if (best >= 3) {
      areas.Reference(((q - matchPos - 1) << prm->lengthBits) | (best - 3));
      advance = best;
    } else {
      areas.Literal(input[q]);
      advance = 1;
    }
    for (uint32_t i = 0; i < advance; ++i, ++q) dict.Insert(q, KeyAt(input, q, length));
    if (progress) progress(user, q, length);
  }

  uint32_t f = areas.FlagBytes();
  uint32_t d = areas.DataBytes();
  uint64_t total = static_cast<uint64_t>(ZTZURE_HEADER_SIZE) + f + d;
  if (total > UINT32_MAX) return 0;
  if (store) {
    if (outputCapacity < total) return 0;
    memcpy(output, "ZURE", 4);
    ztPutU32LE(output + 4, static_cast<uint32_t>(paramSet));
    ztPutU32LE(output + 8, length);
    ztPutU32LE(output + 12, f);
    ztPutU32LE(output + 16, d);
    ztPutU32LE(output + 20, ZTZURE_HEADER_SIZE);
    ztPutU32LE(output + 24, ZTZURE_HEADER_SIZE + f);
    memcpy(output + ZTZURE_HEADER_SIZE, areas.Flags(), f);
    memcpy(output + ZTZURE_HEADER_SIZE + f, areas.Data(), d);
  }
  return static_cast<uint32_t>(total);
}

uint32_t ztZureDecode(const uint8_t* block, uint32_t blockSize, uint8_t* output, uint32_t outputCapacity,
                      ztZureProgress progress, void* user) {
  BlockHeader h;
  if (!ReadBlockHeader(block, blockSize, &h)) return 0;
  if (!output) return h.length;
  if (outputCapacity < h.length) return 0;

  DecodeState s;
  s.lengthBits = kParams[h.set].lengthBits;
  s.lengthMask = (1u << s.lengthBits) - 1;
  s.fp = block + h.flagOffset;
  s.fend = s.fp + h.flagCount;
  s.dp = block + h.dataOffset;
  s.dend = s.dp + h.dataCount;
  s.output = output;
  s.o = output;
  s.oend = output + h.length;
  if (!progress && !DecodeFast(s)) return 0;
  if (!DecodeCareful(s, progress, user)) return 0;
  if (progress) progress(user, h.length, h.length);
  return h.length;
}

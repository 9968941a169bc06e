#include "file/ztDelta.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "platform/ztBytes.h"

namespace {

constexpr char kMagic[8] = {'Z', 'T', 'D', 'E', 'L', 'T', 'A', '1'};
// A window that covers the largest reference and segment together.
constexpr int kMaxWindowLog = 27;

void PutU64(uint8_t* p, uint64_t v) {
  ztPutU32LE(p, static_cast<uint32_t>(v));
  ztPutU32LE(p + 4, static_cast<uint32_t>(v >> 32));
}
uint64_t GetU64(const uint8_t* p) { return ztGetU32LE(p) | static_cast<uint64_t>(ztGetU32LE(p + 4)) << 32; }

// A buffer that grows to the largest segment seen and never shrinks:
// allocations fail cleanly (no exception) so a 32-bit process short of
// address space reports it.
class Buffer {
 public:
  bool Reserve(size_t bytes) {
    if (bytes <= capacity_) return true;
    data_.reset();
    capacity_ = 0;
    data_.reset(new (std::nothrow) uint8_t[bytes]);
    if (!data_) return false;
    capacity_ = bytes;
    return true;
  }
  uint8_t* Data() { return data_.get(); }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t capacity_ = 0;
};

struct DCtx {
  ZSTD_DCtx* ctx = ZSTD_createDCtx();
  ~DCtx() { ZSTD_freeDCtx(ctx); }
};
struct CCtx {
  ZSTD_CCtx* ctx = ZSTD_createCCtx();
  ~CCtx() { ZSTD_freeCCtx(ctx); }
};

int WindowLogFor(uint64_t bytes) {
  int log = 10;  // zstd's smallest window
  while (log < kMaxWindowLog && (uint64_t{1} << log) < bytes) ++log;
  return log;
}

}  // namespace

const char* ztDeltaResultWords(int result) {
  switch (result) {
    case kDeltaOk: return "applied";
    case kDeltaBadFormat: return "damaged delta";
    case kDeltaWrongBase: return "delta for another base";
    case kDeltaReadFailed: return "read failed";
    case kDeltaWriteFailed: return "write failed";
    case kDeltaNoMemory: return "not enough memory";
    case kDeltaStopped: return "stopped";
    default: return "delta failed";
  }
}

int ztReadDeltaHeader(const uint8_t* bytes, size_t size, ztDeltaHeader* header) {
  if (!bytes || size < kDeltaHeaderBytes || std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return kDeltaBadFormat;
  header->baseSize = GetU64(bytes + 8);
  header->outputSize = GetU64(bytes + 16);
  header->writeTime = GetU64(bytes + 24);
  header->segmentCount = ztGetU32LE(bytes + 32);
  if (ztGetU32LE(bytes + 36) != 0) return kDeltaBadFormat;
  // Every segment but the last is not empty: no more segments than bytes.
  if (header->segmentCount > header->outputSize + 1) return kDeltaBadFormat;
  return kDeltaOk;
}

int ztApplyDelta(const ztDeltaApplyIo& io, uint64_t baseSize, uint64_t deltaSize, ztDeltaHeader* headerOut) {
  uint8_t head[kDeltaHeaderBytes];
  if (deltaSize < kDeltaHeaderBytes) return kDeltaBadFormat;
  if (!io.readDelta(head, kDeltaHeaderBytes)) return kDeltaReadFailed;
  ztDeltaHeader header;
  if (const int r = ztReadDeltaHeader(head, sizeof head, &header)) return r;
  if (headerOut) *headerOut = header;
  if (header.baseSize != baseSize) return kDeltaWrongBase;

  DCtx d;
  if (!d.ctx) return kDeltaNoMemory;
  if (ZSTD_isError(ZSTD_DCtx_setParameter(d.ctx, ZSTD_d_windowLogMax, kMaxWindowLog))) return kDeltaNoMemory;
  Buffer reference, frame, output;
  uint64_t deltaLeft = deltaSize - kDeltaHeaderBytes;
  uint64_t outputLeft = header.outputSize;
  for (uint32_t s = 0; s < header.segmentCount; ++s) {
    uint8_t sh[kDeltaSegmentHeaderBytes];
    if (deltaLeft < sizeof sh) return kDeltaBadFormat;
    if (!io.readDelta(sh, sizeof sh)) return kDeltaReadFailed;
    deltaLeft -= sizeof sh;
    const uint64_t refOffset = GetU64(sh);
    const uint32_t refLength = ztGetU32LE(sh + 8);
    const uint32_t outLength = ztGetU32LE(sh + 12);
    const uint32_t frameLength = ztGetU32LE(sh + 16);
    // Every length is bounded before anything is allocated or read: a
    // damaged delta cannot make the updater take more memory than the cap,
    // nor read outside the base.
    if (ztGetU32LE(sh + 20) != 0 || refLength > kDeltaMaxReference || outLength > kDeltaMaxSegment ||
        outLength > outputLeft || (outLength == 0 && header.outputSize != 0) || refOffset > baseSize ||
        refLength > baseSize - refOffset || frameLength > deltaLeft || frameLength == 0 ||
        frameLength > ZSTD_compressBound(outLength))
      return kDeltaBadFormat;
    if (!reference.Reserve(std::max<uint32_t>(refLength, 1)) || !frame.Reserve(frameLength) ||
        !output.Reserve(std::max<uint32_t>(outLength, 1)))
      return kDeltaNoMemory;
    if (refLength && !io.readBase(refOffset, reference.Data(), refLength)) return kDeltaReadFailed;
    if (!io.readDelta(frame.Data(), frameLength)) return kDeltaReadFailed;
    deltaLeft -= frameLength;
    if (ZSTD_isError(ZSTD_DCtx_refPrefix(d.ctx, refLength ? reference.Data() : nullptr, refLength)))
      return kDeltaBadFormat;
    const size_t got = ZSTD_decompressDCtx(d.ctx, output.Data(), outLength, frame.Data(), frameLength);
    if (ZSTD_isError(got)) {
      if (ZSTD_getErrorCode(got) == ZSTD_error_memory_allocation) return kDeltaNoMemory;
      return kDeltaBadFormat;
    }
    if (got != outLength) return kDeltaBadFormat;
    if (outLength && !io.writeOutput(output.Data(), outLength)) return kDeltaWriteFailed;
    outputLeft -= outLength;
  }
  if (outputLeft != 0 || deltaLeft != 0) return kDeltaBadFormat;
  return kDeltaOk;
}

void ztDeltaReferenceFor(uint64_t baseSize, uint64_t newSize, uint64_t segmentOffset, uint32_t segmentLength,
                         uint32_t margin, uint64_t* refOffset, uint32_t* refLength) {
  // In proportion: a file that grew or shrank evenly keeps its content at
  // the same fraction of its length. Doubles are precise enough: a byte or
  // two off only moves the region within its margin.
  const uint64_t centre =
      newSize ? static_cast<uint64_t>(static_cast<double>(segmentOffset) * static_cast<double>(baseSize) /
                                      static_cast<double>(newSize))
              : 0;
  const uint64_t start = centre > margin ? centre - margin : 0;
  const uint64_t wanted = static_cast<uint64_t>(segmentLength) + 2ull * margin;
  const uint64_t begin = std::min(start, baseSize);
  const uint64_t end = std::min(baseSize, begin + wanted);
  *refOffset = begin;
  *refLength = static_cast<uint32_t>(std::min<uint64_t>(end - begin, kDeltaMaxReference));
}

namespace {

// One segment made into its frame by one thread: its own context and
// buffers, reading the base and the new file through the (thread-safe)
// callbacks.
struct SegmentWork {
  CCtx c;
  Buffer reference, input, frame;
  uint8_t header[kDeltaSegmentHeaderBytes] = {};
  size_t frameLength = 0;
  int result = kDeltaOk;

  void Make(const ztDeltaMakeIo& io, uint64_t baseSize, uint64_t newSize, uint64_t offset, uint32_t segment,
            uint32_t margin, int level) {
    result = Run(io, baseSize, newSize, offset, segment, margin, level);
  }

 private:
  int Run(const ztDeltaMakeIo& io, uint64_t baseSize, uint64_t newSize, uint64_t offset, uint32_t segment,
          uint32_t margin, int level) {
    if (!c.ctx) return kDeltaNoMemory;
    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(segment, newSize - offset));
    uint64_t refOffset = 0;
    uint32_t refLength = 0;
    ztDeltaReferenceFor(baseSize, newSize, offset, length, margin, &refOffset, &refLength);
    const size_t bound = ZSTD_compressBound(length);
    if (!reference.Reserve(std::max<uint32_t>(refLength, 1)) || !input.Reserve(length) || !frame.Reserve(bound))
      return kDeltaNoMemory;
    if ((refLength && !io.readBase(refOffset, reference.Data(), refLength)) ||
        !io.readNew(offset, input.Data(), length))
      return kDeltaReadFailed;
    // A segment that is its base's bytes at the same place (most of a big
    // file a patch leaves alone) is one long match at any level: the
    // fastest finds it too, where a high level would spend seconds indexing
    // the reference.
    const bool unchanged = offset >= refOffset && offset - refOffset <= refLength &&
                           length <= refLength - (offset - refOffset) &&
                           std::memcmp(input.Data(), reference.Data() + (offset - refOffset), length) == 0;
    // Long-distance matching finds the unchanged runs of the reference
    // however far they moved inside it; the window covers the reference
    // and the segment so every match can reach back into the base.
    ZSTD_CCtx_reset(c.ctx, ZSTD_reset_session_and_parameters);
    if (ZSTD_isError(ZSTD_CCtx_setParameter(c.ctx, ZSTD_c_compressionLevel, unchanged ? 1 : level)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(c.ctx, ZSTD_c_enableLongDistanceMatching, 1)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(c.ctx, ZSTD_c_windowLog,
                                            WindowLogFor(static_cast<uint64_t>(refLength) + length))) ||
        ZSTD_isError(ZSTD_CCtx_refPrefix(c.ctx, refLength ? reference.Data() : nullptr, refLength)))
      return kDeltaNoMemory;
    const size_t n = ZSTD_compress2(c.ctx, frame.Data(), bound, input.Data(), length);
    if (ZSTD_isError(n)) return ZSTD_getErrorCode(n) == ZSTD_error_memory_allocation ? kDeltaNoMemory : kDeltaBadFormat;
    PutU64(header, refOffset);
    ztPutU32LE(header + 8, refLength);
    ztPutU32LE(header + 12, length);
    ztPutU32LE(header + 16, static_cast<uint32_t>(n));
    ztPutU32LE(header + 20, 0);
    frameLength = n;
    return kDeltaOk;
  }
};

}  // namespace

int ztMakeDelta(const ztDeltaMakeIo& io, uint64_t baseSize, uint64_t newSize, const ztDeltaMakeOptions& options,
                uint64_t* deltaSize) {
  *deltaSize = 0;
  const uint32_t segment = std::min(std::max<uint32_t>(options.segmentBytes, 4096), kDeltaMaxSegment);
  const uint32_t margin = std::min<uint32_t>(options.marginBytes, (kDeltaMaxReference - segment) / 2);
  const uint64_t count = newSize ? (newSize + segment - 1) / segment : 0;
  if (count > UINT32_MAX) return kDeltaBadFormat;

  uint8_t head[kDeltaHeaderBytes] = {};
  std::memcpy(head, kMagic, sizeof kMagic);
  PutU64(head + 8, baseSize);
  PutU64(head + 16, newSize);
  PutU64(head + 24, options.writeTime);
  ztPutU32LE(head + 32, static_cast<uint32_t>(count));
  if (!io.writeDelta(head, sizeof head)) return kDeltaWriteFailed;
  uint64_t written = sizeof head;

  // Segments are independent: a few are made at once, one per thread, and
  // written in their order.
  const size_t threads = static_cast<size_t>(std::min<uint64_t>(std::max(options.threads, 1), std::max<uint64_t>(count, 1)));
  std::vector<std::unique_ptr<SegmentWork>> work;
  for (size_t t = 0; t < threads; ++t) {
    work.emplace_back(new (std::nothrow) SegmentWork);
    if (!work.back()) return kDeltaNoMemory;
  }
  for (uint64_t first = 0; first < count; first += threads) {
    const size_t batch = static_cast<size_t>(std::min<uint64_t>(threads, count - first));
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < batch; ++t) {
      try {
        helpers.emplace_back([&, t] {
          work[t]->Make(io, baseSize, newSize, (first + t) * segment, segment, margin, options.level);
        });
      } catch (...) {
        work[t]->Make(io, baseSize, newSize, (first + t) * segment, segment, margin, options.level);
      }
    }
    work[0]->Make(io, baseSize, newSize, first * segment, segment, margin, options.level);
    for (std::thread& h : helpers) h.join();
    for (size_t t = 0; t < batch; ++t) {
      SegmentWork& w = *work[t];
      if (w.result != kDeltaOk) return w.result;
      if (!io.writeDelta(w.header, sizeof w.header) ||
          !io.writeDelta(w.frame.Data(), static_cast<uint32_t>(w.frameLength)))
        return kDeltaWriteFailed;
      written += sizeof w.header + w.frameLength;
      const uint64_t done = std::min<uint64_t>(newSize, (first + t + 1) * segment);
      if (options.progress && !options.progress(done, newSize)) return kDeltaStopped;
    }
  }
  *deltaSize = written;
  return kDeltaOk;
}

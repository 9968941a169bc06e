#include "pack/packdelta.h"

#include <zstd.h>

#include <thread>
#include <vector>

#include "file/ztDelta.h"
#include "pack/packfs.h"
#include "pack/packtext.h"

namespace {

constexpr size_t kBlock = 1 << 20;

struct CStream {
  ZSTD_CCtx* ctx = ZSTD_createCCtx();
  ~CStream() { ZSTD_freeCCtx(ctx); }
};

}  // namespace

bool ParseSegmentSize(const std::string& text, uint32_t* bytes) {
  if (text.empty()) return false;
  uint64_t value = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > kDeltaMaxSegment) return false;  // also keeps the product below in range
  }
  if (i == 0) return false;
  const std::string unit = text.substr(i);
  if (unit == "K" || unit == "k")
    value <<= 10;
  else if (unit == "M" || unit == "m")
    value <<= 20;
  else if (!unit.empty())
    return false;
  if (value < kDeltaSegmentMin || value > kDeltaMaxSegment) return false;
  *bytes = static_cast<uint32_t>(value);
  return true;
}

bool MeasureWholeFile(const std::u16string& path, int level, uint64_t* compressed, uint64_t* size,
                      ztSha256Digest* digest, const DeltaProgress& progress, std::string* error) {
  *compressed = *size = 0;
  PackReader in;
  if (!in.Open(path)) {
    *error = "cannot read " + Utf8Of(path);
    return false;
  }
  CStream c;
  if (!c.ctx || ZSTD_isError(ZSTD_CCtx_setParameter(c.ctx, ZSTD_c_compressionLevel, level))) {
    *error = "zstd could not start";
    return false;
  }
  std::vector<uint8_t> input(kBlock), output(ZSTD_CStreamOutSize());
  ztSha256 sha;
  uint64_t done = 0, count = 0;
  for (bool last = false; !last;) {
    const int64_t n = in.Read(input.data(), input.size());
    if (n < 0) {
      *error = "cannot read " + Utf8Of(path);
      return false;
    }
    last = static_cast<size_t>(n) < input.size();
    sha.Update(input.data(), static_cast<size_t>(n));
    done += static_cast<uint64_t>(n);
    ZSTD_inBuffer source = {input.data(), static_cast<size_t>(n), 0};
    for (;;) {
      ZSTD_outBuffer sink = {output.data(), output.size(), 0};
      const size_t left = ZSTD_compressStream2(c.ctx, &sink, &source, last ? ZSTD_e_end : ZSTD_e_continue);
      if (ZSTD_isError(left)) {
        *error = std::string("zstd failed on ") + Utf8Of(path) + ": " + ZSTD_getErrorName(left);
        return false;
      }
      count += sink.pos;
      // Continue: the block is taken once its input is consumed. End: the
      // frame is whole once nothing is left to flush.
      if (last ? left == 0 : source.pos == source.size) break;
    }
    if (progress) progress(done);
  }
  *compressed = count;
  *size = done;
  *digest = sha.Finish();
  return true;
}

DeltaMade MakeFileDelta(const std::u16string& basePath, const std::u16string& newPath, const std::u16string& deltaPath,
                        const FileDeltaOptions& options, uint64_t* deltaSize, ztSha256Digest* deltaDigest,
                        const DeltaProgress& progress, std::string* error) {
  *deltaSize = 0;
  PackReader base, next;
  if (!base.Open(basePath) || !next.Open(newPath)) {
    *error = "cannot read " + Utf8Of(basePath) + " or " + Utf8Of(newPath);
    return DeltaMade::kFailed;
  }
  const int64_t baseSize = base.Size(), newSize = next.Size();
  if (baseSize < 0 || newSize < 0) {
    *error = "cannot tell the size of " + Utf8Of(basePath) + " or " + Utf8Of(newPath);
    return DeltaMade::kFailed;
  }
  PackWriter out;
  if (!out.Open(deltaPath)) {
    *error = "cannot write " + Utf8Of(deltaPath);
    return DeltaMade::kFailed;
  }
  ztSha256 sha;
  uint64_t written = 0;
  bool tooLarge = false, writeFailed = false;
  ztDeltaMakeIo io;
  io.readBase = [&](uint64_t offset, void* data, uint32_t length) {
    return base.ReadAt(offset, data, length) == static_cast<int64_t>(length);
  };
  io.readNew = [&](uint64_t offset, void* data, uint32_t length) {
    return next.ReadAt(offset, data, length) == static_cast<int64_t>(length);
  };
  io.writeDelta = [&](const void* data, uint32_t length) {
    if (options.limit && written + length >= options.limit) {
      tooLarge = true;
      return false;
    }
    if (!out.Write(data, length)) {
      writeFailed = true;
      return false;
    }
    sha.Update(data, length);
    written += length;
    return true;
  };
  ztDeltaMakeOptions make;
  make.segmentBytes = options.segment;
  make.marginBytes = options.segment / 4;
  make.level = options.level;
  // Both readers read by offset (no shared position): two segments at once.
  make.threads = std::thread::hardware_concurrency() > 1 ? 2 : 1;
  make.writeTime = next.WriteTime();
  make.progress = [&](uint64_t done, uint64_t) {
    if (progress) progress(done);
    return true;
  };
  uint64_t made = 0;
  const int result = ztMakeDelta(io, static_cast<uint64_t>(baseSize), static_cast<uint64_t>(newSize), make, &made);
  const bool closed = out.Close();
  if (result == kDeltaOk && closed && made == written) {
    *deltaSize = written;
    *deltaDigest = sha.Finish();
    return DeltaMade::kMade;
  }
  RemoveFile(deltaPath);
  if (tooLarge) return DeltaMade::kNotSmaller;
  *error = writeFailed || !closed
               ? "cannot write " + Utf8Of(deltaPath)
               : std::string("the delta of ") + Utf8Of(newPath) + " was not made: " + ztDeltaResultWords(result);
  return DeltaMade::kFailed;
}

int ApplyFileDelta(const std::u16string& basePath, const std::u16string& deltaPath, uint64_t* outputSize,
                   ztSha256Digest* outputDigest) {
  *outputSize = 0;
  PackReader base, delta;
  if (!base.Open(basePath) || !delta.Open(deltaPath)) return kDeltaReadFailed;
  const int64_t baseSize = base.Size(), deltaSize = delta.Size();
  if (baseSize < 0 || deltaSize < 0) return kDeltaReadFailed;
  ztSha256 sha;
  uint64_t count = 0;
  ztDeltaApplyIo io;
  io.readBase = [&](uint64_t offset, void* data, uint32_t length) {
    return base.ReadAt(offset, data, length) == static_cast<int64_t>(length);
  };
  io.readDelta = [&](void* data, uint32_t length) { return delta.Read(data, length) == static_cast<int64_t>(length); };
  io.writeOutput = [&](const void* data, uint32_t length) {
    sha.Update(data, length);
    count += length;
    return true;
  };
  const int result = ztApplyDelta(io, static_cast<uint64_t>(baseSize), static_cast<uint64_t>(deltaSize));
  *outputSize = count;
  *outputDigest = sha.Finish();
  return result;
}

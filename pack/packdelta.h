// ztpack's side of binary deltas (file/ztDelta.h holds the format): making
// a changed file's delta from the two versions on disk, measuring what the
// whole file would cost instead, and applying a package's delta to an
// installed file to see that it makes the listed file. Files are read by
// offset in bounded blocks, never whole: a game's archives are 2 GiB and
// more, and ztpack also runs as a 32-bit Windows program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "file/ztCrypto.h"

// The smallest and largest segment --segment accepts.
constexpr uint32_t kDeltaSegmentMin = 4096;
// The level a whole file is compressed at to tell whether its delta is
// worth it: fast, and close enough to what a download's own compression of
// the whole file would give.
constexpr int kWholeFileLevel = 3;

// A segment size as written on the command line: a byte count, or a number
// with K or M (KiB, MiB) after it; kDeltaSegmentMin to kDeltaMaxSegment.
bool ParseSegmentSize(const std::string& text, uint32_t* bytes);

// Called with the bytes of the new file done so far.
using DeltaProgress = std::function<void(uint64_t done)>;

// The file compressed at `level` with zstd (streamed in blocks; only the
// bytes are counted, nothing is kept), and its size and SHA-256 from the same
// read. False with the reason in `error`.
bool MeasureWholeFile(const std::u16string& path, int level, uint64_t* compressed, uint64_t* size,
                      ztSha256Digest* digest, const DeltaProgress& progress, std::string* error);

struct FileDeltaOptions {
  uint32_t segment = 0;  // bytes of the new file per segment
  int level = 19;
  // The delta is given up as soon as it reaches this many bytes (it would
  // not be smaller than the whole file); 0: no limit.
  uint64_t limit = 0;
};

enum class DeltaMade { kMade, kNotSmaller, kFailed };

// Writes the delta that turns `basePath` into `newPath` to `deltaPath`, with
// the new file's last-write time in its header and a margin of a quarter
// segment. kMade with its size and SHA-256; kNotSmaller when it reached the
// limit (the partial file is removed); kFailed with the reason in `error`
// (the partial file is removed too).
DeltaMade MakeFileDelta(const std::u16string& basePath, const std::u16string& newPath, const std::u16string& deltaPath,
                        const FileDeltaOptions& options, uint64_t* deltaSize, ztSha256Digest* deltaDigest,
                        const DeltaProgress& progress, std::string* error);

// Applies the delta at `deltaPath` to the file at `basePath` and hashes what
// it makes, writing nothing. ztDelta's result (kDeltaOk when it applied),
// with the output's size and SHA-256.
int ApplyFileDelta(const std::u16string& basePath, const std::u16string& deltaPath, uint64_t* outputSize,
                   ztSha256Digest* outputDigest);

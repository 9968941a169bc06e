// Binary deltas: a new version of a file rebuilt from the old one (the base)
// and a delta that holds only what changed, compressed with zstd using the
// base as its reference.
//
// A delta is cut into segments of the new file so that applying it needs
// bounded memory whatever the file's size: each segment of at most
// kDeltaMaxSegment bytes is one zstd frame that references one region of at
// most kDeltaMaxReference bytes of the base (the region where the segment's
// content is expected). Applying a segment holds its region, its frame and
// its output, nothing more (about 128 MiB at most).
//
// Layout, little-endian:
//   header   "ZTDELTA1", u64 base size, u64 output size, u64 last-write time
//            of the new file (Windows file time, 0 when unknown), u32
//            segment count, u32 0
//   segment  u64 reference offset, u32 reference length, u32 output length,
//            u32 frame length, u32 0, then the frame
// The segments' outputs follow each other and add up to the output size;
// a delta ends with its last frame.
//
// The format checks only its own structure. That the base is the right one
// and the output the expected file is for the caller's digests to tell (the
// package manifest lists both).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

constexpr uint32_t kDeltaHeaderBytes = 40;
constexpr uint32_t kDeltaSegmentHeaderBytes = 24;
// What a segment may be at most, for the updater's memory cap.
constexpr uint32_t kDeltaMaxSegment = 32u << 20;
constexpr uint32_t kDeltaMaxReference = 64u << 20;
// What ztpack cuts by default: 32 MiB of output against the same region of
// the base widened by 8 MiB on each side (content moved by insertions or
// removals is still found).
constexpr uint32_t kDeltaDefaultSegment = 32u << 20;
constexpr uint32_t kDeltaDefaultMargin = 8u << 20;

struct ztDeltaHeader {
  uint64_t baseSize = 0;
  uint64_t outputSize = 0;
  uint64_t writeTime = 0;
  uint32_t segmentCount = 0;
};

enum ztDeltaResult : int {
  kDeltaOk = 0,
  kDeltaBadFormat,    // not a delta, or one whose structure does not hold
  kDeltaWrongBase,    // made for a base of another size
  kDeltaReadFailed,   // the base or the delta could not be read
  kDeltaWriteFailed,  // the output could not be taken
  kDeltaNoMemory,
  kDeltaStopped,      // the caller's progress asked to stop
};

// Fixed English words for a result, for logs and messages.
const char* ztDeltaResultWords(int result);

// Where a delta is applied from and to. Each call reads or takes exactly
// the bytes asked for and returns false when it cannot.
struct ztDeltaApplyIo {
  std::function<bool(uint64_t offset, void* data, uint32_t length)> readBase;
  std::function<bool(void* data, uint32_t length)> readDelta;  // the next bytes of the delta
  std::function<bool(const void* data, uint32_t length)> writeOutput;
};

// Reads and checks the header (the first kDeltaHeaderBytes of the delta).
int ztReadDeltaHeader(const uint8_t* bytes, size_t size, ztDeltaHeader* header);

// Applies a delta of `deltaSize` bytes to a base of `baseSize` bytes,
// segment by segment. The output is taken in order; on any failure part of
// it may have been taken already, and the caller discards it. `header`, when
// given, receives the delta's header.
int ztApplyDelta(const ztDeltaApplyIo& io, uint64_t baseSize, uint64_t deltaSize, ztDeltaHeader* header = nullptr);

struct ztDeltaMakeOptions {
  uint32_t segmentBytes = kDeltaDefaultSegment;  // at most kDeltaMaxSegment
  uint32_t marginBytes = kDeltaDefaultMargin;    // 2 margins + segment at most kDeltaMaxReference
  int level = 19;                                // zstd's compression level
  uint64_t writeTime = 0;                        // the new file's, for the header
  // Segments made at once, each on its own thread with its own zstd
  // context (about 170 MB each at level 19); the callbacks must allow it.
  int threads = 1;
  // Called after each segment with the new file's bytes done; false stops.
  std::function<bool(uint64_t done, uint64_t total)> progress;
};

struct ztDeltaMakeIo {
  std::function<bool(uint64_t offset, void* data, uint32_t length)> readBase;
  std::function<bool(uint64_t offset, void* data, uint32_t length)> readNew;
  std::function<bool(const void* data, uint32_t length)> writeDelta;
};

// Makes the delta that turns the base into the new file. `deltaSize`
// receives the bytes written.
int ztMakeDelta(const ztDeltaMakeIo& io, uint64_t baseSize, uint64_t newSize, const ztDeltaMakeOptions& options,
                uint64_t* deltaSize);

// The region of the base a segment of the new file references: the same
// place in proportion to the two sizes, widened by the margin on each side
// and kept inside the base.
void ztDeltaReferenceFor(uint64_t baseSize, uint64_t newSize, uint64_t segmentOffset, uint32_t segmentLength,
                         uint32_t margin, uint64_t* refOffset, uint32_t* refLength);

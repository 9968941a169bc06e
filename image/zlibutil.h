// The library's own zlib routines for the strip-codec formats (RA-3, ZO-2):
// a whole-buffer inflate that stops at the first step yielding nothing, and a
// whole-buffer level-9 deflate. Both work on caller buffers of fixed
// capacity and never write past it.
#pragma once

#include <cstdint>

// Inflates one zlib stream while input remains. A step that yields nothing
// (end of stream, corrupt data) zeroes the rest of `dest` up to `capacity`
// and ends the routine. Bytes beyond `capacity` are dropped (the last
// partial step goes through a 4096-byte scratch chunk), so a caller checks
// the count against the size it expects. Returns the bytes produced (at most
// `capacity`), or -1 when zlib cannot be initialised ("zlib init error :
// %s\n" in the debug log).
int32_t ztZlibInflate(uint8_t* dest, uint32_t capacity, const uint8_t* source, uint32_t sourceLength);

// Deflates `source` at level 9 into `dest`. Returns the packed size, or -1
// when zlib cannot be initialised, reports an error, or the packed stream
// does not fit in `capacity` (then `dest` holds no usable stream: the
// routine never reports bytes it did not write).
int32_t ztZlibDeflate(uint8_t* dest, uint32_t capacity, const uint8_t* source, uint32_t sourceLength);

// Upper bound of what a zlib stream of `packed` bytes can inflate to
// (deflate's best ratio is below 1032:1). A claimed unpacked size above it
// cannot be met, so decoders refuse it before allocating anything.
inline uint64_t ztZlibMaxInflated(uint32_t packed) { return static_cast<uint64_t>(packed) * 1032 + 64; }

// ZURE: the library's byte-oriented LZ77 coder. A block is a 28-byte header,
// a run of flag bytes (one bit per token, least significant bit first: 0 a
// literal byte, 1 a 16-bit back-reference) and the data bytes the tokens
// consume. Five parameter sets split the reference word between distance and
// length bits, so an encoder can try them all and keep the smallest block.
//
// Header, little-endian: "ZURE", parameter set, unpacked length, flag byte
// count F, data byte count D, flag offset (28), data offset (28 + F).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t ZTZURE_HEADER_SIZE = 28;
constexpr int ZTZURE_PARAM_SETS = 5;

// Progress: bytes done, total bytes; the caller's user data comes first.
using ztZureProgress = void (*)(void* user, uint32_t done, uint32_t total);

struct ztZureParams {
  uint32_t distanceBits;
  uint32_t lengthBits;
  uint32_t window;      // 1 << distanceBits
  uint32_t longestRef;  // (1 << lengthBits) + 2
};
// Parameters of set 0..4; null for any other number.
const ztZureParams* ztZureGetParams(int paramSet);

// Packs `length` bytes with parameter set `paramSet`. Without an output
// buffer only the block size is computed. Returns the block size, or 0 on
// failure (unknown set, allocation failure, output smaller than the block).
uint32_t ztZureEncode(const uint8_t* input, uint32_t length, uint8_t* output, uint32_t outputCapacity,
                      int paramSet, ztZureProgress progress, void* user);

// Unpacks a block of `blockSize` bytes. Without an output buffer returns the
// header's unpacked length after checking the header. With one, returns the
// unpacked length once every byte is produced, or 0 when the block is not a
// well-formed ZURE block: wrong signature, set outside 0..4, flag or data
// areas outside the block, a token that needs flag or data bytes the block
// lacks, a reference reaching before the output start or a token writing past
// the unpacked length, or an output buffer smaller than the unpacked length.
uint32_t ztZureDecode(const uint8_t* block, uint32_t blockSize, uint8_t* output, uint32_t outputCapacity,
                      ztZureProgress progress, void* user);

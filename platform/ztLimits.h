// Limits on what the library accepts from a file, in one place. Each has a
// safe default and can be changed by the caller (a tool that handles larger
// pictures, a test or a fuzzer that wants smaller ones). An input past a
// limit is refused the same way as a malformed one: a failure result and a
// debug-log line, before anything is allocated for it.
//
// The values are process-wide and meant to be set at start-up, before the
// readers run; they are read without a lock.
#pragma once
#include <cstdint>

enum ztLimitKind : int {
  // Largest picture in pixels (width x height) any decoder accepts.
  ZTLIMIT_PICTURE_PIXELS = 0,
  // Largest pixel buffer in bytes any decoder or pixel operation creates
  // (and longest row).
  ZTLIMIT_PICTURE_BYTES = 1,
  // Longest XML document, in bytes, the parser reads from a file or memory.
  ZTLIMIT_XML_BYTES = 2,
  // Longest install.log (any string list file), in bytes, that is loaded.
  ZTLIMIT_INSTALL_LOG_BYTES = 3,
  ZTLIMIT_COUNT = 4
};

// Defaults: 256 Mi pixels and 1 GiB of pixels (a 16384 x 16384 picture of 4
// bytes per pixel); 64 MiB of XML; 64 MiB of install.log (about a million
// paths).
constexpr uint32_t ZTLIMIT_DEFAULT_PICTURE_PIXELS = 0x10000000u;
constexpr uint32_t ZTLIMIT_DEFAULT_PICTURE_BYTES = 0x40000000u;
constexpr uint32_t ZTLIMIT_DEFAULT_XML_BYTES = 64u << 20;
constexpr uint32_t ZTLIMIT_DEFAULT_INSTALL_LOG_BYTES = 64u << 20;

// The current value of a limit (0 for an unknown kind).
uint32_t ztGetLimit(int kind);
// Sets a limit and returns the previous value. A value of 0 restores the
// default. An unknown kind changes nothing and returns 0.
uint32_t ztSetLimit(int kind, uint32_t value);
// The default of a limit (0 for an unknown kind).
uint32_t ztDefaultLimit(int kind);
// Every limit back to its default.
void ztResetLimits();

// Whether a picture of width x height pixels is within the pixel limit
// (computed in 64 bits; a zero side is not a picture and fails). A picture
// past the limit is reported in the debug log (kMsgPictureTooLarge).
bool ztPictureWithinLimit(uint32_t width, uint32_t height);
extern const char kMsgPictureTooLarge[];

// The splash picture: updatebg.ra3 read whole from the package folder,
// decoded by the image holder and made ready for painting (flattened onto
// white and turned bottom-up, as a device-independent bitmap wants it).
#pragma once

#include <cstddef>
#include <cstdint>

class ztImageHolder;

// Client size of the splash window when there is no picture to show.
constexpr uint32_t kDefaultSplashWidth = 640;
constexpr uint32_t kDefaultSplashHeight = 360;

// Reads and decodes `path`. Null when the file does not open, is empty, the
// read comes back shorter than the file's size, the holder cannot decode it,
// or the picture has no pixels: the updater then runs without a picture.
// The caller deletes the holder.
ztImageHolder* LoadSplashPicture(const char16_t* path);
// The same from the file's bytes, read once by the caller (a signed
// package's picture is checked against its digest: the bytes checked are
// the bytes shown).
ztImageHolder* LoadSplashPictureFromMemory(const uint8_t* bytes, size_t size);

// The splash window's client size: the picture's, or the default size when
// `holder` is null or holds nothing.
void SplashClientSize(const ztImageHolder* holder, uint32_t* width, uint32_t* height);

// Row stride a device-independent bitmap of `width` pixels at
// `bytesPerPixel` uses (rows padded to 4 bytes); 0 when it does not fit 32
// bits.
uint32_t DibStride(uint32_t width, int bytesPerPixel);

// 1 when the held picture can be handed to the system as a bitmap as it
// is: 3 or 4 bytes per pixel, the bitmap's own stride, a size that fits
// the signed 32-bit fields of the bitmap header.
int SplashPaintable(const ztImageHolder* holder);

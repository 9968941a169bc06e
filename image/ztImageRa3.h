// RA-3: the library's frame-and-tag picture container (the updater's splash
// picture). A file is a chain of frames; each frame is a chain of named tags:
// "stdinfo" with the geometry, then the pixels as an embedded WebP
// ("img_wbp"), an embedded JPEG with an optional packed alpha plane
// ("img_jpg", "img_al"), or the library's lossless strips ("img0000",
// "img0001", ...). Frames of 24 or 32 bits are always delivered with 4 bytes
// per pixel, blue, green, red, alpha, buffer row 0 the top row.
//
// This header also holds the decoder of the lossless strip codec, which the
// ZO-2 format shares.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/stripcodec.h"
#include "image/ztImage.h"
#include "platform/ztHeapBuffer.h"

// One stored strip: its two packed areas and the sizes they unpack to.
struct ztStripAreas {
  const uint8_t* bytePacked = nullptr;
  uint32_t bytePackedSize = 0;
  uint32_t byteSize = 0;
  const uint8_t* bitPacked = nullptr;
  uint32_t bitPackedSize = 0;
  uint32_t bitSize = 0;
};

// Decoder of the lossless strip codec. One work area serves every strip of
// a picture: the unpacked byte area, then the expanded stream and the
// recombined bytes, which grow to the longest stream a strip declares (never
// past width x height x bytes-per-pixel + 4096), so a header that claims a
// huge picture costs nothing until its strips really carry the data. Every run, gamma code and row is checked against
// what the areas hold; a strip that breaks a limit fails (0) without touching memory outside them.
class ztStripDecoder {
 public:
  // The two messages are the caller's texts for an unpacked byte area or bit
  // area whose size differs from the one stored.
  ztStripDecoder(ztStripState* state, const char* byteAreaMessage, const char* bitAreaMessage)
      : state_(state), byteAreaMessage_(byteAreaMessage), bitAreaMessage_(bitAreaMessage) {}

  // Sizes the work area for width x height pixels of `bytesPerPixel` bytes
  // whose byte areas unpack to at most `maxByteSize`. 0 when the sizes are
  // out of range or the heap refuses.
  int Prepare(uint32_t width, uint32_t height, uint32_t bytesPerPixel, uint32_t maxByteSize);
  // Decodes one strip into `pixels` (rows of width x bytes-per-pixel bytes,
  // no padding). Rows count from the bottom: the strip's first stored row
  // becomes buffer row height - 1 - y0, each following one the row above it.
  int Decode(const ztStripAreas& areas, uint8_t* pixels, uint32_t y0, int32_t rows);
  void Release() {
    work_.Free();
    streams_.Free();
    streamCap_ = 0;
  }

 private:
  // The steps of Decode. Inflates both packed areas: the byte area into the
  // work area, the bit area into the state's buffer; 0 (with the caller's
  // message) when either gives another size than the strip states.
  int Inflate(const ztStripAreas& areas);
  // Expands the runs the bit area describes into the stream buffer and frees
  // the bit area; `length` receives the bytes produced. False for a run past
  // the stated total or the byte area, a broken gamma code, or no buffer.
  bool ExpandRuns(const ztStripAreas& areas, uint32_t* length);
  // Grows the stream buffer to hold `total` bytes (never shrinks it).
  bool ReserveStreams(uint32_t total);
  // Turns the recombined residuals of `rows` rows back into pixels.
  void UndoPrediction(const uint8_t* recombined, uint8_t* pixels, uint32_t y0, int32_t rows);

  ztStripState* state_;
  const char* byteAreaMessage_;
  const char* bitAreaMessage_;
  ztHeapBuffer work_;     // unpacked byte area
  ztHeapBuffer streams_;  // expanded stream, then recombined bytes
  uint32_t streamCap_ = 0;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t bpp_ = 0;
  uint32_t maxByteSize_ = 0;
  uint32_t expandedCap_ = 0;  // width x height x bpp + 4096
};

// A frame of an RA-3 file as the image tool lists it.
struct ztRa3FrameInfo {
  int32_t id = 0;
  std::vector<std::string> tags;  // names in chain order
};

class ztImageRa3 : public ztImage {
 public:
  ztImageRa3() = default;
  int Load(const ztMemBlock* source, int frameId) override;
  int LoadByIndex(const ztMemBlock* source, unsigned index, int* frameId) override;

  static int Detect(const uint8_t* data, uint32_t size);
  // Every frame of a file with its id and tag names, in chain order. 0 when
  // the header is wrong or a chain leads outside the file.
  static int ListFrames(const ztMemBlock* source, std::vector<ztRa3FrameInfo>* frames);

 private:
  struct Tag;
  int DecodeFrame(const uint8_t* data, uint32_t size, uint32_t framePos);
  int DecodeWebP(const Tag& tag, uint32_t width, uint32_t height, int32_t bpp);
  int DecodeJpeg(const Tag& tag, const Tag* alpha, uint32_t width, uint32_t height, int32_t bpp);
  int DecodeStrips(const std::vector<Tag>& tags, uint32_t width, uint32_t height, int32_t bpp);
  void ScanTags(const std::vector<Tag>& tags);

  ztStripState strip_;
  [[maybe_unused]] int32_t quality_ = 90;  // kept with the object; nothing reads it
};

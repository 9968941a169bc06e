#include "image/ztImageJpeg.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/ztDebug.h"
#include "platform/ztHeap.h"
#include "platform/ztHeapBuffer.h"
#include "platform/ztLimits.h"

// jpeglib.h expects size_t and FILE to be declared before it.
extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

namespace {

// Error manager: libjpeg's text goes to the debug log and a fatal error jumps
// back to the adaptor, which then cleans up and fails.
struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void LogMessage(j_common_ptr cinfo) {
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  DebugLog("%s", text);
}

void ErrorExit(j_common_ptr cinfo) {
  LogMessage(cinfo);
  longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

void InstallErrorManager(ErrorManager* err) {
  jpeg_std_error(&err->pub);
  err->pub.error_exit = ErrorExit;
  err->pub.output_message = LogMessage;
}

// Source manager over bytes in memory. When the data runs out, a bare
// end-of-image marker is supplied, so a truncated file ends the picture
// instead of stalling.
const JOCTET kEndOfImage[2] = {0xFF, 0xD9};

void InitSource(j_decompress_ptr) {}

boolean FillInput(j_decompress_ptr cinfo) {
  cinfo->src->next_input_byte = kEndOfImage;
  cinfo->src->bytes_in_buffer = 2;
  return TRUE;
}

void SkipInput(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  jpeg_source_mgr* src = cinfo->src;
  if (static_cast<unsigned long>(count) >= src->bytes_in_buffer) {
    src->next_input_byte += src->bytes_in_buffer;
    src->bytes_in_buffer = 0;
  } else {
    src->next_input_byte += count;
    src->bytes_in_buffer -= static_cast<size_t>(count);
  }
}

void TermSource(j_decompress_ptr) {}

struct Decoder {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  jpeg_source_mgr src;
  bool created;
};

// Creates the decompressor over the bytes and reads the header. Must be
// called from a function that has set the error jump.
bool StartHeader(Decoder* d, const uint8_t* data, uint32_t size) {
  jpeg_create_decompress(&d->cinfo);
  d->created = true;
  d->src.init_source = InitSource;
  d->src.fill_input_buffer = FillInput;
  d->src.skip_input_data = SkipInput;
  d->src.resync_to_restart = jpeg_resync_to_restart;
  d->src.term_source = TermSource;
  d->src.next_input_byte = data;
  d->src.bytes_in_buffer = size;
  d->cinfo.src = &d->src;
  return jpeg_read_header(&d->cinfo, TRUE) == JPEG_HEADER_OK;
}

void InitDecoder(Decoder* d) {
  memset(d, 0, sizeof *d);
  InstallErrorManager(&d->err);
  d->cinfo.err = &d->err.pub;
}

// Destination manager: one buffer, handed to libjpeg 4096 bytes at a time;
// running out of room is libjpeg's write error.
struct Destination {
  jpeg_destination_mgr pub;
  uint8_t* buffer;
  uint32_t capacity;
};

constexpr uint32_t kDestStep = 4096;

void InitDestination(j_compress_ptr cinfo) {
  Destination* d = reinterpret_cast<Destination*>(cinfo->dest);
  d->pub.next_output_byte = d->buffer;
  d->pub.free_in_buffer = d->capacity < kDestStep ? d->capacity : kDestStep;
}

boolean EmptyOutput(j_compress_ptr cinfo) {
  Destination* d = reinterpret_cast<Destination*>(cinfo->dest);
  size_t used = static_cast<size_t>(d->pub.next_output_byte - d->buffer);
  if (used >= d->capacity) ERREXIT(cinfo, JERR_FILE_WRITE);
  size_t room = d->capacity - used;
  d->pub.free_in_buffer = room < kDestStep ? room : kDestStep;
  return TRUE;
}

void TermDestination(j_compress_ptr) {}

struct Encoder {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  Destination dest;
  bool created;
};

}  // namespace

// The libjpeg work of Load and Save. Each sets the error jump itself and
// keeps no object with a destructor in its frame, so a jump back is safe.
struct ztJpegAccess {
  static int Decode(ztImageJpeg* self, Decoder* d, const uint8_t* data, uint32_t size) {
    if (setjmp(d->err.jump)) return 0;
    if (!StartHeader(d, data, size)) return 0;
    jpeg_decompress_struct* c = &d->cinfo;
    c->out_color_space = JCS_RGB;
    c->dct_method = JDCT_IFAST;
    c->do_fancy_upsampling = FALSE;
    c->two_pass_quantize = FALSE;
    c->dither_mode = JDITHER_ORDERED;
    c->desired_number_of_colors = 216;
    // Refuse oversized pictures before libjpeg allocates anything for them.
    if (!ztPictureWithinLimit(c->image_width, c->image_height)) return 0;
    uint32_t stride = ztImage::ComputeStride(c->image_width, 3, true);
    if (!stride || !ztImage::ComputeBufferSize(stride, c->image_height)) return 0;
    jpeg_start_decompress(c);
    if (c->output_components != 3) return 0;
    uint32_t w = c->output_width, h = c->output_height;
    stride = ztImage::ComputeStride(w, 3, true);
    uint32_t bytes = stride ? ztImage::ComputeBufferSize(stride, h) : 0;
    if (!bytes || !self->ReserveBuffer(bytes)) return 0;
    self->SetGeometry(w, h, 3, stride);
    self->SetCanvasSize(static_cast<int32_t>(w), static_cast<int32_t>(h));
    while (c->output_scanline < h) {
      JSAMPROW row = self->pixels_ + static_cast<size_t>(c->output_scanline) * stride;
      if (jpeg_read_scanlines(c, &row, 1) != 1) return 0;
    }
    jpeg_finish_decompress(c);
    return 1;
  }

  static int Encode(ztImageJpeg* self, Encoder* e) {
    if (setjmp(e->err.jump)) return 0;
    jpeg_compress_struct* c = &e->cinfo;
    jpeg_create_compress(c);
    e->created = true;
    e->dest.pub.init_destination = InitDestination;
    e->dest.pub.empty_output_buffer = EmptyOutput;
    e->dest.pub.term_destination = TermDestination;
    c->dest = &e->dest.pub;
    c->image_width = self->width_;
    c->image_height = self->height_;
    c->input_components = self->bpp_;
    c->in_color_space = self->bpp_ == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(c);
    jpeg_set_quality(c, self->quality_, TRUE);
    c->dct_method = JDCT_ISLOW;
    jpeg_start_compress(c, TRUE);
    while (c->next_scanline < c->image_height) {
      JSAMPROW row = self->pixels_ + static_cast<size_t>(c->next_scanline) * self->stride_;
      if (jpeg_write_scanlines(c, &row, 1) != 1) return 0;
    }
    jpeg_finish_compress(c);
    return 1;
  }
};

int ztImageJpeg::Detect(const uint8_t* data, uint32_t size) {
  if (!data || size < 11 || data[0] != 0xFF || data[1] != 0xD8) return 0;
  Decoder* d = new (std::nothrow) Decoder;
  if (!d) return 0;
  InitDecoder(d);
  int ok = 0;
  if (!setjmp(d->err.jump)) ok = StartHeader(d, data, size) ? 1 : 0;
  if (d->created) jpeg_destroy_decompress(&d->cinfo);
  delete d;
  return ok;
}

int ztImageJpeg::Load(const ztMemBlock* source, int) {
  if (!source || !source->data || source->size < 11 || source->data[0] != 0xFF || source->data[1] != 0xD8)
    return 0;
  // The libjpeg state lives outside the frame that sets the jump, so its
  // fields are reliable after a jump back. It is not taken from the private
  // heap: those blocks are only 4-byte aligned, and a jump buffer needs 16
  // on 64-bit Windows.
  Decoder* d = new (std::nothrow) Decoder;
  if (!d) return 0;
  InitDecoder(d);
  int ok = ztJpegAccess::Decode(this, d, source->data, source->size);
  if (d->created) jpeg_destroy_decompress(&d->cinfo);
  delete d;
  return ok;
}

int ztImageJpeg::Save(ztMemBlock* dest, int, int, int, int) {
  if (!dest || (bpp_ != 3 && bpp_ != 4) || !GeometryValid()) return 0;
  uint32_t capacity = stride_ * height_;
  if (capacity < 8192) capacity = 8192;
  Encoder* e = new (std::nothrow) Encoder;
  if (!e) return 0;
  memset(e, 0, sizeof *e);
  InstallErrorManager(&e->err);
  e->cinfo.err = &e->err.pub;
  e->dest.buffer = static_cast<uint8_t*>(ztHeapAlloc(0, capacity));
  e->dest.capacity = capacity;
  int ok = e->dest.buffer ? ztJpegAccess::Encode(this, e) : 0;
  if (ok) {
    uint32_t written = static_cast<uint32_t>(e->dest.pub.next_output_byte - e->dest.buffer);
    dest->Adopt(e->dest.buffer, written, capacity);
  } else if (e->dest.buffer) {
    ztHeapFree(e->dest.buffer);
  }
  if (e->created) jpeg_destroy_compress(&e->cinfo);
  delete e;
  return ok;
}

#include "tools/imagetool.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "file/textutil.h"
#include "file/ztFile.h"
#include "image/ztImageBmp.h"
#include "image/ztImageHolder.h"
#include "image/ztImageJpeg.h"
#include "image/ztImagePng.h"
#include "image/ztImageRa3.h"
#include "image/ztImageWebP.h"
#include "image/ztImageZo2.h"
#include "image/ztImageZtf.h"
#include "platform/ztBytes.h"
#include "tools/ra3writer.h"

const char kImageToolUsage[] =
    "usage:\n"
    "  ztimage info FILE [--frame ID]\n"
    "      Prints the format, size, bytes per pixel, canvas, offset and user\n"
    "      values of the picture, and for RA-3 and ZO-2 files every frame\n"
    "      with its id (and an RA-3 frame's tags).\n"
    "  ztimage convert IN OUT [--frame ID] [--form strips|jpg|wbp]\n"
    "                 [--strip-height N] [--id N] [--quality N]\n"
    "      Decodes IN (RA-3, ZO-2, PNG, JPEG, BMP, PSD, WebP, ZTF) and writes\n"
    "      OUT in the format of its extension: .ra3, .zo2, .png, .jpg/.jpeg,\n"
    "      .bmp, .webp, .ztf.\n"
    "options:\n"
    "  --frame ID         frame of IN to decode (RA-3, ZO-2); default: the\n"
    "                     first frame\n"
    "  --form F           RA-3 pixel form: strips (lossless, default), jpg\n"
    "                     (JPEG, plus an alpha plane when the picture has\n"
    "                     transparent pixels) or wbp (WebP)\n"
    "  --strip-height N   rows per RA-3 strip (default 64; 0 = one strip)\n"
    "  --id N             frame id written to RA-3 and ZO-2 files (default 0)\n"
    "  --quality N        JPEG and WebP quality, 1 to 100 (default 90)\n"
    "example:\n"
    "  ztimage convert splash.png updatebg.ra3 --form strips\n";

namespace {

using Bytes = std::vector<uint8_t>;

struct ImageDeleter {
  void operator()(ztImage* image) const {
    if (image) image->Release();
  }
};
using ImagePtr = std::unique_ptr<ztImage, ImageDeleter>;

struct Options {
  bool haveFrame = false;
  int32_t frame = 0;
  ztRa3WriteOptions ra3;
};

std::string Utf8Of(const std::u16string& text) {
  std::string out(text.size() * 3 + 1, '\0');
  int n = ToUtf8(text.c_str(), &out[0], out.size());
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

void Print(std::string* out, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  *out += line;
}

bool ParseInt(const std::u16string& text, long min, long max, int32_t* value) {
  std::string s = Utf8Of(text);
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(s.c_str(), &end, 0);
  if (errno || *end || v < min || v > max) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

bool ReadWholeFile(const std::u16string& path, Bytes* bytes) {
  ztFile file;
  if (!file.Open(path.c_str(), ZTFILE_READ | ZTFILE_OPEN_EXISTING)) return false;
  int32_t size = file.GetSize();
  if (size < 0) return false;
  bytes->resize(static_cast<size_t>(size));
  if (size == 0) return true;
  return file.Read(bytes->data(), static_cast<uint32_t>(size)) == size;
}

bool WriteWholeFile(const std::u16string& path, const uint8_t* data, size_t size) {
  ztFile file;
  if (!file.Open(path.c_str(), ZTFILE_WRITE | ZTFILE_CREATE_ALWAYS)) return false;
  if (size > 0x7FFFFFFF) return false;
  bool ok = size == 0 || file.Write(data, static_cast<uint32_t>(size)) == static_cast<int32_t>(size);
  return file.Close() && ok;
}

const char* FormatName(int32_t format) {
  switch (format) {
    case ZTIMAGE_FORMAT_BMP: return "BMP";
    case ZTIMAGE_FORMAT_PSD: return "PSD";
    case ZTIMAGE_FORMAT_ZTF: return "ZTF";
    case ZTIMAGE_FORMAT_ZO2: return "ZO-2";
    case ZTIMAGE_FORMAT_JPEG: return "JPEG";
    case ZTIMAGE_FORMAT_RA3: return "RA-3";
    case ZTIMAGE_FORMAT_PNG: return "PNG";
    case ZTIMAGE_FORMAT_WEBP: return "WebP";
    default: return "unknown";
  }
}

// Lower-case extension of a path (without the dot), "" when none.
std::string Extension(const std::u16string& path) {
  size_t slash = path.find_last_of(u"/\\");
  size_t dot = path.find_last_of(u'.');
  if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) return "";
  std::string ext = Utf8Of(path.substr(dot + 1));
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

// Decodes a picture and brings it to one layout: blue, green, red (, alpha),
// row 0 the top row. JPEG and WebP decode red first; BMP and PSD fill the
// buffer bottom row first.
ImagePtr Decode(const Bytes& file, const Options& o, int32_t* format, int32_t* frameId) {
  ztMemBlock source(file.data(), static_cast<uint32_t>(file.size()));
  *format = ztImageHolder::DetectFormat(&source);
  ImagePtr image(ztImageHolder::CreateImage(*format));
  if (!image) return nullptr;
  bool multi = *format == ZTIMAGE_FORMAT_RA3 || *format == ZTIMAGE_FORMAT_ZO2;
  int ok;
  *frameId = o.frame;
  if (multi && !o.haveFrame) {
    ok = image->LoadByIndex(&source, 0, frameId);
  } else {
    ok = image->Load(&source, o.frame);
  }
  if (!ok) return nullptr;
  if (*format == ZTIMAGE_FORMAT_JPEG || *format == ZTIMAGE_FORMAT_WEBP) {
    image->SetImgMode(1);
    image->SwapRedBlue();
  }
  if (*format == ZTIMAGE_FORMAT_BMP || *format == ZTIMAGE_FORMAT_PSD) image->FlipVertical();
  return image;
}

// The picture on its whole canvas, transparent around the frame. Only the
// RA-3 writer stores a canvas and an offset as they are; every other output
// would otherwise lose what a cropped frame (ZO-2, RA-3) was cut from, and
// the ZO-2 saver crops again and records the offset itself.
ImagePtr OnCanvas(ImagePtr image) {
  int32_t x = 0, y = 0, cw = 0, ch = 0;
  image->GetOffset(&x, &y);
  image->GetCanvasSize(&cw, &ch);
  const uint32_t w = image->GetWidth(), h = image->GetHeight();
  if (static_cast<int64_t>(cw) == w && static_cast<int64_t>(ch) == h && x == 0 && y == 0) return image;
  ImagePtr canvas(image->NewOnCanvas());
  if (!canvas) return nullptr;
  canvas->SetUserValues(image->GetUserValue1(), image->GetUserValue2());
  return canvas;
}

// Length of a PNG up to the end of its IEND chunk (the saver rounds its
// block up to 8 bytes).
uint32_t PngLength(const uint8_t* data, uint32_t size) {
  ztByteCursor c(data, size);
  if (!c.Skip(8)) return size;
  while (c.Left() >= 12) {
    uint32_t length = c.U32BE();
    const uint8_t* type = c.Take(4);
    if (!type || !c.Skip(length) || !c.Skip(4)) return size;
    if (memcmp(type, "IEND", 4) == 0) return c.Pos();
  }
  return size;
}

uint32_t RiffLength(const uint8_t* data, uint32_t size) {
  if (size < 8 || memcmp(data, "RIFF", 4) != 0) return size;
  uint64_t length = static_cast<uint64_t>(ztGetU32LE(data + 4)) + 8;
  return length <= size ? static_cast<uint32_t>(length) : size;
}

// A copy of `image` in a saver's class, or null.
template <class T>
std::unique_ptr<T, ImageDeleter> CopyAs(const ztImage& image) {
  std::unique_ptr<T, ImageDeleter> copy(new T);
  if (!copy->CopyFrom(&image)) return nullptr;
  return copy;
}

// Fills `to` with the pixels of `from` red first, as the JPEG and WebP
// savers take them: 3 bytes per pixel, or 4 with alpha (255 where `from` has
// none). False when the buffer cannot be had.
bool CopyRedFirst(const ztImage& from, ztImage* to, int bytesPerPixel) {
  uint32_t w = from.GetWidth(), h = from.GetHeight();
  int b = from.GetBytesPerPixel();
  if (!to->CreateBuffer(static_cast<int32_t>(w), static_cast<int32_t>(h), bytesPerPixel)) return false;
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* s = from.GetPixelAddress(0, y);
    uint8_t* d = to->GetPixelAddress(0, y);
    for (uint32_t x = 0; x < w; ++x, s += b, d += bytesPerPixel) {
      d[0] = s[2];
      d[1] = s[1];
      d[2] = s[0];
      if (bytesPerPixel == 4) d[3] = b == 4 ? s[3] : 255;
    }
  }
  return true;
}

// The savers of the output formats. Each fills `block` and returns 1, 0 when
// its saver failed, or -1 when memory ran out before it could run.
int SaveZo2(const ztImage& image, const Options& o, ztMemBlock* block) {
  auto zo2 = CopyAs<ztImageZo2>(image);
  return zo2 && zo2->Save(block, o.ra3.frameId, image.GetUserValue1(), image.GetUserValue2(), 0) ? 1 : 0;
}

int SavePng(const ztImage& image, const Options&, ztMemBlock* block) {
  auto png = CopyAs<ztImagePng>(image);
  return png && png->Save(block, 0, 0, 0, 0) ? 1 : 0;
}

int SaveBmp(const ztImage& image, const Options&, ztMemBlock* block) {
  auto bmp = CopyAs<ztImageBmp>(image);
  if (!bmp) return -1;
  // 4 bytes per pixel keeps every row aligned; BMP rows run bottom-up.
  bmp->ExpandTo32();
  bmp->FlipVertical();
  return bmp->Save(block, 0, 0, 0, 0) ? 1 : 0;
}

int SaveJpeg(const ztImage& image, const Options& o, ztMemBlock* block) {
  // JPEG has no alpha: transparent pixels go onto white.
  auto flat = CopyAs<ztImage>(image);
  if (!flat) return -1;
  flat->FlattenOnColour(0xFFFFFF);
  std::unique_ptr<ztImageJpeg, ImageDeleter> jpeg(new ztImageJpeg);
  jpeg->SetQuality(o.ra3.quality);
  if (!CopyRedFirst(*flat, jpeg.get(), 3)) return -1;
  return jpeg->Save(block, 0, 0, 0, 0) ? 1 : 0;
}

int SaveWebP(const ztImage& image, const Options& o, ztMemBlock* block) {
  std::unique_ptr<ztImageWebP, ImageDeleter> webp(new ztImageWebP);
  webp->SetQuality(o.ra3.quality);
  if (!CopyRedFirst(image, webp.get(), 4)) return -1;
  return webp->Save(block, 0, 0, 0, 0) ? 1 : 0;
}

int SaveZtf(const ztImage& image, const Options&, ztMemBlock* block) {
  auto ztf = CopyAs<ztImageZtf>(image);
  return ztf && ztf->Save(block, 0, 0, 0, 0) ? 1 : 0;
}

// The file in a saver's block: the whole block, or up to the end the file
// itself states where the saver rounds its block up.
uint32_t WholeBlock(const ztMemBlock& block) { return block.size; }

uint32_t BmpLength(const ztMemBlock& block) {
  uint32_t length = block.size >= 6 ? ztGetU32LE(block.data + 2) : block.size;
  return length > block.size ? block.size : length;
}

uint32_t PngBlockLength(const ztMemBlock& block) { return PngLength(block.data, block.size); }

uint32_t RiffBlockLength(const ztMemBlock& block) { return RiffLength(block.data, block.size); }

struct OutputFormat {
  const char* ext;
  const char* name;  // in "the ... saver failed"
  int (*save)(const ztImage& image, const Options& o, ztMemBlock* block);
  uint32_t (*length)(const ztMemBlock& block);
};

const OutputFormat kOutputFormats[] = {
    {"zo2", "ZO-2", SaveZo2, WholeBlock},   {"png", "PNG", SavePng, PngBlockLength},
    {"bmp", "BMP", SaveBmp, BmpLength},     {"jpg", "JPEG", SaveJpeg, WholeBlock},
    {"jpeg", "JPEG", SaveJpeg, WholeBlock}, {"webp", "WebP", SaveWebP, RiffBlockLength},
    {"ztf", "ZTF", SaveZtf, WholeBlock},
};

// Encodes in the format named by `ext`; false with a reason in `why`.
bool Encode(ztImage* image, const std::string& ext, const Options& o, Bytes* out, std::string* why) {
  if (ext == "ra3") {
    // The RA-3 writer is the tool's own and writes the bytes directly.
    if (ztWriteRa3(*image, o.ra3, out)) return true;
    *why = "the RA-3 writer failed";
    return false;
  }
  for (const OutputFormat& f : kOutputFormats) {
    if (ext != f.ext) continue;
    ztMemBlock block;
    int saved = f.save(*image, o, &block);
    if (saved <= 0) {
      *why = saved < 0 ? std::string("out of memory") : std::string("the ") + f.name + " saver failed";
      return false;
    }
    uint32_t length = f.length(block);
    out->assign(block.data, block.data + length);
    return true;
  }
  *why = "unknown output extension \"" + ext + "\" (use ra3, zo2, png, jpg, jpeg, bmp, webp or ztf)";
  return false;
}

int ParseOptions(const std::vector<std::u16string>& args, size_t first, Options* o, std::string* err) {
  for (size_t i = first; i < args.size(); ++i) {
    std::string name = Utf8Of(args[i]);
    if (i + 1 >= args.size()) {
      Print(err, "ztimage: %s needs a value\n", name.c_str());
      return 0;
    }
    const std::u16string& value = args[++i];
    int32_t v = 0;
    if (name == "--frame" && ParseInt(value, INT32_MIN, INT32_MAX, &v)) {
      o->haveFrame = true;
      o->frame = v;
    } else if (name == "--id" && ParseInt(value, INT32_MIN, INT32_MAX, &v)) {
      o->ra3.frameId = v;
    } else if (name == "--strip-height" && ParseInt(value, 0, 0x7FFFFFFF, &v)) {
      o->ra3.stripHeight = static_cast<uint32_t>(v);
    } else if (name == "--quality" && ParseInt(value, 1, 100, &v)) {
      o->ra3.quality = v;
    } else if (name == "--form") {
      std::string form = Utf8Of(value);
      if (form == "strips")
        o->ra3.form = ztRa3Form::kStrips;
      else if (form == "jpg")
        o->ra3.form = ztRa3Form::kJpeg;
      else if (form == "wbp")
        o->ra3.form = ztRa3Form::kWebP;
      else {
        Print(err, "ztimage: unknown form \"%s\" (strips, jpg or wbp)\n", form.c_str());
        return 0;
      }
    } else {
      Print(err, "ztimage: bad option %s %s\n", name.c_str(), Utf8Of(value).c_str());
      return 0;
    }
  }
  return 1;
}

void PrintFrames(const Bytes& file, int32_t format, std::string* out) {
  ztMemBlock source(file.data(), static_cast<uint32_t>(file.size()));
  if (format == ZTIMAGE_FORMAT_RA3) {
    std::vector<ztRa3FrameInfo> frames;
    if (!ztImageRa3::ListFrames(&source, &frames)) {
      Print(out, "frames: unreadable chain\n");
      return;
    }
    Print(out, "frames: %u\n", static_cast<unsigned>(frames.size()));
    for (size_t i = 0; i < frames.size(); ++i) {
      Print(out, "  frame %u: id %d, tags:", static_cast<unsigned>(i), frames[i].id);
      for (const std::string& t : frames[i].tags) Print(out, " %s", t.c_str());
      Print(out, "\n");
    }
  } else if (format == ZTIMAGE_FORMAT_ZO2) {
    ztByteCursor c(file.data(), static_cast<uint32_t>(file.size()));
    c.Skip(8);
    Print(out, "version: %d\n", static_cast<int16_t>(c.U16LE()));
    std::vector<int32_t> ids;
    for (unsigned i = 0; i < 65536; ++i) {
      std::unique_ptr<ztImageZo2, ImageDeleter> frame(new ztImageZo2);
      int32_t id = 0;
      if (!frame->LoadByIndex(&source, i, &id)) break;
      ids.push_back(id);
    }
    Print(out, "frames: %u\n", static_cast<unsigned>(ids.size()));
    for (size_t i = 0; i < ids.size(); ++i)
      Print(out, "  frame %u: id %d, tags: (none)\n", static_cast<unsigned>(i), ids[i]);
  }
}

int Info(const std::vector<std::u16string>& args, std::string* out, std::string* err) {
  if (args.size() < 2) {
    *err += kImageToolUsage;
    return 2;
  }
  Options o;
  if (!ParseOptions(args, 2, &o, err)) return 2;
  Bytes file;
  std::string name = Utf8Of(args[1]);
  if (!ReadWholeFile(args[1], &file)) {
    Print(err, "ztimage: cannot read %s\n", name.c_str());
    return 1;
  }
  int32_t format, frameId;
  ImagePtr image = Decode(file, o, &format, &frameId);
  Print(out, "file: %s\n", name.c_str());
  Print(out, "format: %s\n", FormatName(format));
  if (!image) {
    Print(err, "ztimage: %s does not decode\n", name.c_str());
    PrintFrames(file, format, out);
    return 1;
  }
  int32_t cw, ch, ox, oy;
  image->GetCanvasSize(&cw, &ch);
  image->GetOffset(&ox, &oy);
  if (format == ZTIMAGE_FORMAT_RA3 || format == ZTIMAGE_FORMAT_ZO2) Print(out, "decoded frame: id %d\n", frameId);
  Print(out, "size: %u x %u\n", image->GetWidth(), image->GetHeight());
  Print(out, "bytes per pixel: %d\n", image->GetBytesPerPixel());
  Print(out, "canvas: %d x %d\n", cw, ch);
  Print(out, "offset: %d, %d\n", ox, oy);
  Print(out, "user values: %d, %d\n", image->GetUserValue1(), image->GetUserValue2());
  static const char* const kAlpha[] = {"unknown", "opaque", "transparent"};
  int32_t alpha = image->GetAlphaState();
  Print(out, "alpha: %s\n", alpha >= 0 && alpha <= 2 ? kAlpha[alpha] : "?");
  if (format == ZTIMAGE_FORMAT_RA3) {
    Print(out, "cptype: %u\n", image->GetCpType());
    Print(out, "records: %u\n", static_cast<unsigned>(image->GetRecordCount()));
  }
  PrintFrames(file, format, out);
  return 0;
}

int Convert(const std::vector<std::u16string>& args, std::string* out, std::string* err) {
  if (args.size() < 3) {
    *err += kImageToolUsage;
    return 2;
  }
  Options o;
  if (!ParseOptions(args, 3, &o, err)) return 2;
  std::string inName = Utf8Of(args[1]), outName = Utf8Of(args[2]);
  std::string ext = Extension(args[2]);
  Bytes file;
  if (!ReadWholeFile(args[1], &file)) {
    Print(err, "ztimage: cannot read %s\n", inName.c_str());
    return 1;
  }
  int32_t format, frameId;
  ImagePtr image = Decode(file, o, &format, &frameId);
  if (!image) {
    Print(err, "ztimage: %s does not decode (%s)\n", inName.c_str(), FormatName(format));
    return 1;
  }
  if (ext != "ra3" && !(image = OnCanvas(std::move(image)))) {
    Print(err, "ztimage: %s: its canvas does not fit in memory\n", inName.c_str());
    return 1;
  }
  Bytes encoded;
  std::string why;
  if (!Encode(image.get(), ext, o, &encoded, &why)) {
    Print(err, "ztimage: cannot write %s: %s\n", outName.c_str(), why.c_str());
    return 1;
  }
  if (!WriteWholeFile(args[2], encoded.data(), encoded.size())) {
    Print(err, "ztimage: cannot write %s\n", outName.c_str());
    return 1;
  }
  Print(out, "%s (%s, %u x %u) -> %s (%u bytes)\n", inName.c_str(), FormatName(format), image->GetWidth(),
        image->GetHeight(), outName.c_str(), static_cast<unsigned>(encoded.size()));
  return 0;
}

}  // namespace

int RunImageTool(const std::vector<std::u16string>& args, std::string* out, std::string* err) {
  if (args.empty()) {
    *err += kImageToolUsage;
    return 2;
  }
  std::string command = Utf8Of(args[0]);
  if (command == "info") return Info(args, out, err);
  if (command == "convert") return Convert(args, out, err);
  if (command == "help" || command == "--help" || command == "-h") {
    *out += kImageToolUsage;
    return 0;
  }
  Print(err, "ztimage: unknown command \"%s\"\n", command.c_str());
  *err += kImageToolUsage;
  return 2;
}

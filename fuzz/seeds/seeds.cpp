// The seed corpus of the fuzz targets: small valid inputs made by the
// library's own writers (XML, string list, archive, every image saver, ZURE,
// the image tool's RA-3 writer) plus a few hand-laid files for layouts the
// library only reads (PSD, discovery and version files, the description).
// The seed program writes them out for libFuzzer; the crash replay test runs
// every target on them in every build.
#include "fuzz/seeds/seeds.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/UpdateManifest.h"
#include "file/textutil.h"
#include "file/ztArchive.h"
#include "file/ztStringList.h"
#include "fuzz/targets/fuzz_targets.h"
#include "fuzz/targets/fuzzsupport.h"
#include "image/ztImageBmp.h"
#include "image/ztImageJpeg.h"
#include "image/ztImagePng.h"
#include "image/ztImageWebP.h"
#include "image/ztImageZo2.h"
#include "image/ztImageZtf.h"
#include "image/zure.h"
#include "tests/common/bytes.h"
#include "tests/common/testutil.h"
#include "tools/ra3writer.h"
#include "xml/ztXml.h"

using zt_test::Bytes;
using zt_test::Put16BE;
using zt_test::Put32BE;

namespace {

struct Seeds {
  std::vector<ztFuzzSeed> list;
  void Add(const std::string& name, const Bytes& bytes) { list.push_back(ztFuzzSeed{name, bytes}); }
  void Add(const std::string& name, const std::string& text) { Add(name, Bytes(text.begin(), text.end())); }
};

Bytes Prefixed(uint8_t first, const Bytes& rest) {
  Bytes b(rest.size() + 1);
  b[0] = first;
  std::copy(rest.begin(), rest.end(), b.begin() + 1);
  return b;
}

// What the library wrote to a scratch file; empty when it wrote nothing, so
// that the seed program reports the seed.
Bytes ReadAll(const std::u16string& path) {
  std::string bytes;
  zt_test::LoadFileBytes(path, &bytes);
  return Bytes(bytes.begin(), bytes.end());
}

// A small picture whose pixels differ per channel, column and row; with
// alpha, a transparent corner, a half-transparent band and opaque rest.
template <class Image>
Image* Picture(uint32_t w, uint32_t h, int bpp) {
  Image* img = new Image;
  img->CreateBuffer(static_cast<int32_t>(w), static_cast<int32_t>(h), bpp);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = img->GetPixelAddress(x, y);
      for (int k = 0; k < bpp; ++k) p[k] = static_cast<uint8_t>(k * 64 + x * 7 + y * 31 + ((x / 4 + y / 4) & 1) * 90);
      if (bpp == 4) p[3] = (x < 3 && y < 3) ? 0 : (y == h / 2 ? 128 : 255);
    }
  return img;
}

template <class Image>
Bytes Saved(uint32_t w, uint32_t h, int bpp) {
  Image* img = Picture<Image>(w, h, bpp);
  ztMemBlock block;
  Bytes out;
  if (img->Save(&block, 0, 0, 0, 0)) out.assign(block.data, block.data + block.size);
  img->Release();
  return out;
}

Bytes Ra3(uint32_t w, uint32_t h, int bpp, ztRa3Form form, uint32_t strip) {
  ztImage* img = Picture<ztImage>(w, h, bpp);
  ztRa3WriteOptions o;
  o.form = form;
  o.stripHeight = strip;
  o.quality = 50;
  Bytes out;
  ztWriteRa3(*img, o, &out);
  img->Release();
  return out;
}

// A PSD file: 8-bit RGB, raw (compression 0) or PackBits (1).
Bytes Psd(uint32_t w, uint32_t h, bool packBits) {
  Bytes b = {'8', 'B', 'P', 'S'};
  Put16BE(b, 1);
  b.insert(b.end(), 6, 0);
  Put16BE(b, 3);
  Put32BE(b, h);
  Put32BE(b, w);
  Put16BE(b, 8);
  Put16BE(b, 3);
  Put32BE(b, 0);
  Put32BE(b, 4);
  b.insert(b.end(), {'8', 'B', 'I', 'M'});
  Put32BE(b, 0);
  Put16BE(b, packBits ? 1 : 0);
  if (!packBits) {
    for (uint32_t c = 0; c < 3; ++c)
      for (uint32_t i = 0; i < h * w; ++i) b.push_back(static_cast<uint8_t>(c * 80 + i * 3));
    return b;
  }
  for (uint32_t i = 0; i < 3 * h; ++i) Put16BE(b, 4);
  for (uint32_t i = 0; i < 3 * h; ++i) {
    // One literal pair then a run for the rest of the row.
    b.push_back(1);
    b.push_back(static_cast<uint8_t>(i));
    b.push_back(static_cast<uint8_t>(i * 7));
    b.push_back(static_cast<uint8_t>(257 - (w - 2)));
    b.push_back(static_cast<uint8_t>(i * 13));
  }
  return b;
}

const char kDescription[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<document>\r\n"
    "  <brand>MAKER</brand><app>game</app><mutex>GameMutex</mutex><confmutex>ConfMutex</confmutex>\r\n"
    "  <version><major>2</major><minor>10</minor></version>\r\n"
    "  <language><default>en</default>\r\n"
    "    <lang00><code>1041</code><prifix>jp</prifix></lang00>\r\n"
    "    <lang01><code>1033</code><prifix>en</prifix></lang01>\r\n"
    "  </language>\r\n"
    "  <jp><message><wndtitle>\xe3\x82\xa2\xe3\x83\x83\xe3\x83\x97\xe3\x83\x87\xe3\x83\xbc\xe3\x83\x88</wndtitle>"
    "<intoro>\xe6\x9b\xb4\xe6\x96\xb0\\n\xe3\x81\x97\xe3\x81\xbe\xe3\x81\x99</intoro><success>OK</success>"
    "<error_version>v</error_version><error_inst>i</error_inst><error_copy>c</error_copy></message>"
    "<message_sys><copying>...</copying></message_sys>"
    "<message_error><boot>b</boot><title>t</title></message_error></jp>\r\n"
    "  <en><message><wndtitle>Update</wndtitle><intoro>Update\\nnow?</intoro></message>"
    "<message_error><title>Error</title></message_error></en>\r\n"
    "</document>\r\n";

void XmlSeeds(Seeds& s) {
  s.Add("description.xml", std::string(kDescription));
  s.Add("attributes.xml",
        std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- a comment -->\n"
                    "<document a=\"1\" B=\"two\"><item id=\"x\">text\tmore</item><item/><e></e>"
                    "<!-- inner --><deep><deeper><deepest>1</deepest></deeper></deep></document>\n"));
  s.Add("two-roots.xml", std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>1</a><b>2</b>"));
  // What the writer makes of a document built with the setters.
  ztXml xml;
  xml.Create();
  xml.SetInt(7, 2, "version", "major");
  xml.SetTextW(u"\u65e5\u672c\u8a9e", 2, "text", "ja");
  std::u16string path = ztFuzzScratchPath("seed.xml");
  xml.Save(path.c_str());
  s.Add("written.xml", ReadAll(path));
}

void StringListSeeds(Seeds& s) {
  s.Add("crlf.log", std::string("\"data\\a.bin\"\r\n\"data\\B.bin\"\r\n\"DATA\\a.bin\"\r\n"));
  s.Add("mixed.log", std::string("one\ntwo\r\n\r\nlone\rcr\nlast-without-end"));
  s.Add("utf8.log",
        std::string("\xe6\x97\xa5\xe6\x9c\xac\\\xe3\x83\x95\xe3\x82\xa1\xe3\x82\xa4\xe3\x83\xab\r\nA\r\na\r\n"));
  ztStringList list;
  for (int i = 0; i < 20; ++i) {
    char16_t line[64];
    char narrow[64];
    std::snprintf(narrow, sizeof narrow, "\"data\\file%02d.dat\"", (i * 7) % 20);
    (void)FromUtf8(narrow, line, 64);
    list.Add(line);
  }
  list.SortUnique();
  std::u16string path = ztFuzzScratchPath("seed.log");
  (void)list.SaveText(path.c_str());  // an unsaved list gives an empty seed, which the seed program reports
  s.Add("saved.log", ReadAll(path));
}

void ArchiveSeeds(Seeds& s) {
  for (int enciphered = 0; enciphered < 2; ++enciphered) {
    std::u16string path = ztFuzzScratchPath("seed.arc");
    ztArchiveWriter w;
    if (enciphered)
      w.Begin(path.c_str(), kZtFuzzArchiveKey, static_cast<uint32_t>(std::strlen(kZtFuzzArchiveKey)));
    else
      w.Begin(path.c_str());
    std::string a = "member data that is long enough for a few cipher blocks.";
    std::string b = "short";
    w.AddMember(u"data\\a.txt", a.data(), static_cast<uint32_t>(a.size()));
    w.AddMember(u"B.BIN", b.data(), static_cast<uint32_t>(b.size()), 3);
    w.AddMember(u"empty", "", 0);
    w.Finish();
    s.Add(enciphered ? "enciphered.arc" : "plain.arc", ReadAll(path));
  }
}

Bytes Zo2(uint32_t w, uint32_t h, int bpp) { return Saved<ztImageZo2>(w, h, bpp); }

void ImageSeeds(const std::string& target, Seeds& s) {
  const bool holder = target == "image_holder";
  if (holder || target == "ra3") {
    const uint8_t pick = holder ? 0xFF : 0;
    auto add = [&](const std::string& name, const Bytes& b) {
      if (b.empty()) return;
      s.Add(name, holder ? b : Prefixed(pick, b));
      if (!holder) s.Add("id-" + name, Prefixed(0x80, b));
    };
    add("strips32.ra3", Ra3(20, 14, 4, ztRa3Form::kStrips, 4));
    add("strips24.ra3", Ra3(9, 7, 3, ztRa3Form::kStrips, 0));
    add("jpeg-alpha.ra3", Ra3(16, 8, 4, ztRa3Form::kJpeg, 0));
    add("jpeg.ra3", Ra3(8, 8, 3, ztRa3Form::kJpeg, 0));
    add("webp.ra3", Ra3(12, 10, 4, ztRa3Form::kWebP, 0));
  }
  if (holder || target == "zo2") {
    Bytes a = Zo2(17, 9, 4), b = Zo2(6, 5, 3);
    s.Add("a.zo2", holder ? a : Prefixed(0, a));
    s.Add("b.zo2", holder ? b : Prefixed(0x80, b));
  }
  if (holder || target == "bmp") {
    s.Add("a32.bmp", Saved<ztImageBmp>(7, 5, 4));
    s.Add("a24.bmp", Saved<ztImageBmp>(5, 3, 3));
  }
  if (holder || target == "psd") {
    s.Add("raw.psd", Psd(5, 3, false));
    s.Add("packbits.psd", Psd(6, 2, true));
  }
  if (holder || target == "ztf") {
    s.Add("a.ztf", Saved<ztImageZtf>(9, 6, 4));
    s.Add("b.ztf", Saved<ztImageZtf>(4, 4, 3));
  }
  if (holder || target == "jpeg") s.Add("a.jpg", Saved<ztImageJpeg>(16, 9, 3));
  if (holder || target == "png") {
    s.Add("rgba.png", Saved<ztImagePng>(8, 6, 4));
    s.Add("rgb.png", Saved<ztImagePng>(5, 5, 3));
  }
  if (holder || target == "webp") s.Add("a.webp", Saved<ztImageWebP>(10, 10, 4));
}

void ZureSeeds(const std::string& target, Seeds& s) {
  const std::string texts[] = {
      std::string("abcabcabcabcabcabcabcabc hello hello hello world"),
      std::string(300, 'x') + "tail",
      std::string(kDescription),
  };
  int n = 0;
  for (const std::string& t : texts) {
    for (int set = 0; set < ZTZURE_PARAM_SETS; ++set, ++n) {
      const auto* in = reinterpret_cast<const uint8_t*>(t.data());
      if (target == "zure_roundtrip") {
        s.Add("input" + std::to_string(n), Prefixed(static_cast<uint8_t>(set), Bytes(in, in + t.size())));
        continue;
      }
      uint32_t size = ztZureEncode(in, static_cast<uint32_t>(t.size()), nullptr, 0, set, nullptr, nullptr);
      Bytes block(size);
      if (size && ztZureEncode(in, static_cast<uint32_t>(t.size()), block.data(), size, set, nullptr, nullptr) == size)
        s.Add("block" + std::to_string(n), block);
    }
  }
}

void Zo2RoundTripSeeds(Seeds& s) {
  // width - 1, height - 1, options, frame id, pixels.
  s.Add("flat", Bytes{7, 3, 0, 0, 10, 20, 30});
  s.Add("alpha-crop", Bytes{15, 15, 3, 2, 0, 0, 0, 0, 255, 1, 2, 255, 3, 4, 5, 128});
  Bytes noisy{31, 9, 1, 5};
  for (int i = 0; i < 200; ++i) noisy.push_back(static_cast<uint8_t>(i * i * 31 + i));
  s.Add("noisy", noisy);
}

// File-server programs (see fuzz/targets/fileserver.cpp): an operation byte,
// then its operands; names are spelt with the target's alphabet.
struct ServerProgram {
  Bytes bytes;
  ServerProgram& Op(uint8_t op) { return Byte(op); }
  ServerProgram& Byte(uint8_t b) {
    bytes.push_back(b);
    return *this;
  }
  ServerProgram& Name(const char16_t* text) {
    const std::u16string letters = kZtFuzzNameAlphabet;
    const std::u16string t = text;
    Byte(static_cast<uint8_t>(t.size()));
    for (char16_t c : t) Byte(static_cast<uint8_t>(letters.find(c)));
    return *this;
  }
};

void FileServerSeeds(Seeds& s) {
  enum : uint8_t { kSlot = 0, kAliasMember = 1, kAlias = 2, kArchive = 3, kListArchive = 4, kOpen = 6, kRead = 8 };
  // Folder picks 0, 1, 2 are the scratch folders a, b, c; slot bytes below
  // 0xF0 pick slot byte % 8.
  ServerProgram folders;
  folders.Op(kSlot).Byte(0).Name(u"fs").Byte(0).Byte(1);
  for (uint8_t type = 1; type <= 4; ++type) folders.Op(kOpen).Name(u"fs/x.txt").Byte(type);
  folders.Op(kOpen).Name(u"fs/sub/y.bin").Byte(3 | 0x40);
  s.Add("search-slot", folders.bytes);

  ServerProgram archive;
  archive.Op(kArchive).Byte(1).Op(kSlot).Byte(1).Name(u"arc").Byte(1).Byte(0);
  archive.Op(kOpen).Name(u"arc/sub\\y.bin").Byte(2).Op(kOpen).Name(u"arc/x.txt").Byte(4);
  archive.Op(kRead).Name(u"arc/x.txt").Byte(1);
  s.Add("archive-slot", archive.bytes);

  ServerProgram aliases;
  aliases.Op(kArchive).Byte(0).Op(kAliasMember).Name(u"ab").Byte(1).Byte(1).Byte(1);
  aliases.Op(kAliasMember).Name(u"ab").Byte(0).Byte(0).Byte(0xC1).Byte(0);
  aliases.Op(kOpen).Name(u"ab.lst/x.txt").Byte(3).Op(kOpen).Name(u"ab.lst/z.dat").Byte(4);
  aliases.Op(kSlot).Byte(2).Name(u"fs").Byte(2).Byte(1);
  aliases.Op(kAlias).Name(u"zz").Name(u"fs").Name(u"y").Name(u"x").Op(kOpen).Name(u"zz/y.txt").Byte(3);
  s.Add("aliases", aliases.bytes);

  ServerProgram list;
  list.Op(kListArchive).Byte(0).Op(kOpen).Name(u"x.txt").Byte(1).Op(kRead).Name(u"x.txt").Byte(0);
  s.Add("list-archive", list.bytes);
}

// A signed manifest (with its key, so the rules reach the signature), an
// unsigned one and the two key files, made with the updater's own writers.
void ManifestSeeds(Seeds& s) {
  uint8_t seed[kEd25519SeedBytes] = {1, 2, 3};
  uint8_t pub[kEd25519PublicKeyBytes], secret[kEd25519SecretKeyBytes];
  if (!ztEd25519SeedKeyPair(seed, pub, secret)) return;
  UpdateManifest m;
  m.majorVersion = 2;
  m.minorVersion = 1;
  m.files.push_back({u"updateinfo.xml", 3, ztSha256::Of("xml", 3)});
  m.files.push_back({u"data\\sub\\game.exe", 4, ztSha256::Of("game", 4)});
  m.files.push_back({u"data\\\u5730\u56f3.map", 0, ztSha256::Of("", 0)});
  m.deltas.push_back({u"delta\\paks\\world.pak", 9, ztSha256::Of("delta", 5), 1ull << 32, ztSha256::Of("old", 3), 7,
                      ztSha256::Of("new", 3)});
  s.Add("unsigned.manifest", EncodeManifestBody(m));
  m.hasKey = true;
  std::copy(pub, pub + sizeof pub, m.key);
  s.Add("signed.manifest", SignManifestBody(EncodeManifestBody(m), secret));
  s.Add("update.key", EncodePublicKeyFile(pub));
  s.Add("secret.key", EncodeSecretKeyFile(secret));
}

// Deltas made with the library's own writer: one segment, several, and
// from an empty base; each input is the base's length, the base, the delta.
void DeltaSeeds(Seeds& s) {
  std::string base, next;
  for (int i = 0; i < 300; ++i) base += "record " + std::to_string(i * 7919 % 1000) + ";";
  next = base.substr(0, 900) + "inserted;" + base.substr(900);
  next[50] = 'X';
  auto make = [](const std::string& from, const std::string& to, uint32_t segment) {
    return std::string{static_cast<char>(from.size() & 0xFF), static_cast<char>(from.size() >> 8)} + from +
           zt_test::DeltaOf(from, to, segment);
  };
  s.Add("one-segment.delta", make(base, next, 1 << 20));
  s.Add("segments.delta", make(base, next, 4096));
  s.Add("from-empty.delta", make("", next, 4096));
}

}  // namespace

std::vector<ztFuzzSeed> ztFuzzMakeSeeds(const std::string& target) {
  Seeds s;
  if (target == "xml") {
    XmlSeeds(s);
  } else if (target == "description") {
    s.Add("updateinfo.xml", std::string(kDescription));
    s.Add("one-language.xml", std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><document><language>"
                                          "<lang00><code>7</code><prifix>xx</prifix></lang00></language>"
                                          "<xx><message><wndtitle>T</wndtitle></message></xx></document>"));
  } else if (target == "discovery") {
    s.Add("install.xml", std::string("<?xml version=\"1.0\"?><root><path>C:\\Games\\Maker\\Game</path></root>"));
    s.Add("empty-path.xml", std::string("<path></path>"));
    s.Add("utf8.xml", std::string("<path>D:\\\xe3\x82\xb2\xe3\x83\xbc\xe3\x83\xa0</path>"));
  } else if (target == "version") {
    s.Add("startup.xml", std::string("<config><major>1</major><minor>20</minor></config>"));
    s.Add("big.xml", std::string("<major>0x7fff</major><minor>65536</minor>"));
  } else if (target == "manifest") {
    ManifestSeeds(s);
  } else if (target == "stringlist") {
    StringListSeeds(s);
  } else if (target == "archive") {
    ArchiveSeeds(s);
  } else if (target == "zure" || target == "zure_roundtrip") {
    ZureSeeds(target, s);
  } else if (target == "zo2_roundtrip") {
    Zo2RoundTripSeeds(s);
  } else if (target == "fileserver") {
    FileServerSeeds(s);
  } else if (target == "delta") {
    DeltaSeeds(s);
  } else if (ztFuzzFindTarget(target.c_str())) {
    ImageSeeds(target, s);
  }
  return s.list;
}

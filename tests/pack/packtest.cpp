#include "tests/pack/packtest.h"

#include <memory>

#include "image/ztImage.h"
#include "tests/common/testutil.h"
#include "tools/ra3writer.h"

namespace packtest {

namespace {

PackLanguage Language(uint16_t code, const std::string& prefix, const std::string& name) {
  PackLanguage l;
  l.code = code;
  l.prefix = zt_test::U16(prefix);
  for (size_t f = 0; f < kTextFieldCount; ++f)
    l.texts[f] = zt_test::U16(name + " " + kTextFields[f].packName + " text");
  return l;
}

}  // namespace

PackConfig GoodConfig() {
  PackConfig c;
  c.brand = u"ZtPackTest";
  c.app = u"Game";
  c.mutex = u"ZtPackTestGame";
  c.confmutex = u"ZtPackTestConfig";
  c.requiredMajor = 1;
  c.requiredMinor = 2;
  c.hasVersion = true;
  c.major = 1;
  c.minor = 3;
  c.defaultPrefix = u"en";
  c.languages = {Language(1033, "en", "English"), Language(1041, "jp", "日本語")};
  // Characters the dialect carries as they are: quotes, '>', '&' (no
  // entities), and the \n the updater turns into a line break.
  const std::u16string intro = u"Update \"Game\" & 'more' > now?\\n";
  c.languages[0].texts[1] = intro + std::u16string(kTextUnits - 1 - intro.size(), u'x');
  c.languages[1].texts[0] = u"ゲーム アップデート 1.3";
  return c;
}

std::string PackXml(const PackConfig& c) {
  using zt_test::Utf8;
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<pack>\n";
  x += "  <brand>" + Utf8(c.brand) + "</brand>\n  <app>" + Utf8(c.app) + "</app>\n";
  x += "  <mutex>" + Utf8(c.mutex) + "</mutex>\n  <confmutex>" + Utf8(c.confmutex) + "</confmutex>\n";
  x += "  <requires>" + std::to_string(c.requiredMajor) + "." + std::to_string(c.requiredMinor) + "</requires>\n";
  if (c.hasVersion) x += "  <version>" + std::to_string(c.major) + "." + std::to_string(c.minor) + "</version>\n";
  x += "  <default>" + Utf8(c.defaultPrefix) + "</default>\n";
  for (const PackLanguage& l : c.languages) {
    x += "  <language>\n    <code>" + std::to_string(l.code) + "</code>\n    <prefix>" + Utf8(l.prefix) + "</prefix>\n";
    for (size_t f = 0; f < kTextFieldCount; ++f)
      x += std::string("    <") + kTextFields[f].packName + ">" + Utf8(l.texts[f]) + "</" + kTextFields[f].packName +
           ">\n";
    x += "  </language>\n";
  }
  return x + "</pack>\n";
}

std::string Ra3Picture(uint32_t width, uint32_t height, bool oneColour) {
  std::unique_ptr<ztImage, void (*)(ztImage*)> image(new ztImage, [](ztImage* i) { i->Release(); });
  image->CreateBuffer(static_cast<int32_t>(width), static_cast<int32_t>(height), 3);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = image->GetPixelAddress(x, y);
      p[0] = oneColour ? 40 : static_cast<uint8_t>(x * 7);
      p[1] = oneColour ? 80 : static_cast<uint8_t>(y * 5);
      p[2] = 120;
    }
  std::vector<uint8_t> bytes;
  ztWriteRa3(*image, ztRa3WriteOptions(), &bytes);
  return std::string(bytes.begin(), bytes.end());
}

std::u16string At(const std::u16string& root, const std::string& relative) {
  std::u16string path = root;
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    path = zt_test::Join(path, zt_test::U16(relative.substr(start, slash - start)));
    if (slash == std::string::npos) return path;
    start = slash + 1;
  }
}

}  // namespace packtest

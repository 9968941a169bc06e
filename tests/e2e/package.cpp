#include "tests/e2e/package.h"

#include <shlobj.h>
#include <webp/encode.h>
#include <windows.h>

#include <cstdlib>

#include "image/ztImage.h"
#include "tests/common/bytes.h"
#include "tools/ra3writer.h"

namespace e2e {

namespace {

using zt_test::Put16;
using zt_test::Put32;

// One tag: an 8-byte name, the offset to the next tag (0 for the last) and
// the data length, then the data.
std::string Tag(const char* name, const std::string& data, bool last) {
  std::string t(8, '\0');
  for (int i = 0; i < 7 && name[i]; ++i) t[i] = name[i];
  Put32(t, last ? 0 : static_cast<uint32_t>(16 + data.size()));
  Put32(t, static_cast<uint32_t>(data.size()));
  return t + data;
}

std::string Element(const std::string& name, const std::string& text) {
  return "<" + name + ">" + text + "</" + name + ">";
}

}  // namespace

LanguageTexts Japanese() {
  LanguageTexts t;
  t.code = "1041";
  t.prefix = "jp";
  t.title = u8"ゲーム アップデート";
  t.intro = u8"アップデートを開始します。\\nよろしいですか？";
  t.success = u8"アップデートが完了しました。";
  t.versionError = u8"このアップデートは適用できません。";
  t.installError = u8"ゲームがインストールされていません。";
  t.copyError = u8"ファイルのコピーに失敗しました。";
  t.copying = u8"アップデート中です。しばらくお待ちください。";
  t.boot = u8"ゲームを終了してから実行してください。";
  t.errorTitle = u8"エラー";
  return t;
}

LanguageTexts English() {
  LanguageTexts t;
  t.code = "1033";
  t.prefix = "en";
  t.title = "Game Update";
  t.intro = "The update will be installed.\\nContinue?";
  t.success = "The update is complete.";
  t.versionError = "This update does not apply to the installed version.";
  t.installError = "The game is not installed.";
  t.copyError = "Copying the files failed.";
  t.copying = "Updating, please wait.";
  t.boot = "Close the game first.";
  t.errorTitle = "Update error";
  return t;
}

std::string DescriptionXml(const DescriptionParts& desc) {
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<document>\r\n";
  x += Element("brand", desc.brand) + Element("app", desc.app) + Element("mutex", desc.mutex) +
       Element("confmutex", desc.confMutex) + "\r\n";
  x += "<version>" + Element("major", desc.major) + Element("minor", desc.minor) + "</version>\r\n";
  x += "<language>";
  if (!desc.defaultLanguage.empty()) x += Element("default", desc.defaultLanguage);
  for (size_t i = 0; i < desc.languages.size(); ++i) {
    char tag[16];
    wsprintfA(tag, "lang%02d", static_cast<int>(i));
    x += "<" + std::string(tag) + ">" + Element("code", desc.languages[i].code) +
         Element("prifix", desc.languages[i].prefix) + "</" + tag + ">";
  }
  x += "</language>\r\n";
  for (const LanguageTexts& t : desc.languages) {
    x += "<" + t.prefix + "><message>" + Element("wndtitle", t.title) + Element("intoro", t.intro) +
         Element("success", t.success) + Element("error_version", t.versionError) +
         Element("error_inst", t.installError) + Element("error_copy", t.copyError) + "</message><message_sys>" +
         Element("copying", t.copying) + "</message_sys><message_error>" + Element("boot", t.boot) +
         Element("title", t.errorTitle) + "</message_error></" + t.prefix + ">\r\n";
  }
  return x + "</document>\r\n";
}

std::vector<uint32_t> TestPicture(int width, int height) {
  std::vector<uint32_t> p(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool right = x >= width / 2, bottom = y >= height / 2;
      uint32_t c = !bottom ? (!right ? 0xC02020 : 0x20A040) : (!right ? 0x2040C0 : 0xE0C020);
      // A checked strip along the top edge only: it tells top from bottom.
      if (y < 8 && ((x / 8) & 1)) c = 0xFFFFFF;
      p[static_cast<size_t>(y) * width + x] = c;
    }
  }
  return p;
}

std::string Ra3File(int width, int height, const std::vector<uint32_t>& pixels) {
  std::vector<uint8_t> bgra(static_cast<size_t>(width) * height * 4);
  for (size_t i = 0; i < pixels.size(); ++i) {
    bgra[4 * i] = static_cast<uint8_t>(pixels[i]);
    bgra[4 * i + 1] = static_cast<uint8_t>(pixels[i] >> 8);
    bgra[4 * i + 2] = static_cast<uint8_t>(pixels[i] >> 16);
    bgra[4 * i + 3] = 255;
  }
  uint8_t* webp = nullptr;
  size_t webpSize = WebPEncodeLosslessBGRA(bgra.data(), width, height, width * 4, &webp);
  if (!webpSize || !webp) return std::string();
  std::string image(reinterpret_cast<const char*>(webp), webpSize);
  WebPFree(webp);

  std::string stdinfo;
  Put32(stdinfo, static_cast<uint32_t>(width));
  Put32(stdinfo, static_cast<uint32_t>(height));
  Put16(stdinfo, 32);
  Put16(stdinfo, 0);
  Put32(stdinfo, 0);  // offset x, y
  Put32(stdinfo, 0);
  Put32(stdinfo, static_cast<uint32_t>(width));  // canvas
  Put32(stdinfo, static_cast<uint32_t>(height));
  Put32(stdinfo, 0);  // no transparent pixels
  Put32(stdinfo, 0);  // user values
  Put32(stdinfo, 0);
  std::string imgmode;
  Put32(imgmode, 1);

  std::string file = "RA-3";
  Put32(file, 12);
  Put32(file, 0);
  Put32(file, 0);  // the only frame
  Put32(file, 0);  // frame id 0
  file += Tag("stdinfo", stdinfo, false) + Tag("img_wbp", image, false) + Tag("imgmode", imgmode, true);
  return file;
}

std::string Ra3Strips(int width, int height, const std::vector<uint32_t>& pixels, uint32_t stripHeight) {
  ztImage image;
  if (!image.CreateBuffer(width, height, 4)) return std::string();
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t* p = image.GetPixelAddress(x, y);
      const uint32_t c = pixels[static_cast<size_t>(y) * width + x];
      p[0] = static_cast<uint8_t>(c);
      p[1] = static_cast<uint8_t>(c >> 8);
      p[2] = static_cast<uint8_t>(c >> 16);
      p[3] = 255;
    }
  ztRa3WriteOptions options;
  options.stripHeight = stripHeight;
  std::vector<uint8_t> out;
  if (!ztWriteRa3(image, options, &out)) return std::string();
  return std::string(out.begin(), out.end());
}

std::string BmpFile(int width, int height, const std::vector<uint32_t>& pixels) {
  const uint32_t stride = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
  std::string s = "BM";
  Put32(s, 54 + stride * height);
  Put32(s, 0);
  Put32(s, 54);
  Put32(s, 40);
  Put32(s, static_cast<uint32_t>(width));
  Put32(s, static_cast<uint32_t>(height));
  Put16(s, 1);
  Put16(s, 24);
  Put32(s, 0);
  Put32(s, stride * height);
  Put32(s, 2835);
  Put32(s, 2835);
  Put32(s, 0);
  Put32(s, 0);
  for (int y = height - 1; y >= 0; --y) {
    std::string row;
    for (int x = 0; x < width; ++x) {
      uint32_t c = pixels[static_cast<size_t>(y) * width + x];
      row.push_back(static_cast<char>(c));
      row.push_back(static_cast<char>(c >> 8));
      row.push_back(static_cast<char>(c >> 16));
    }
    row.resize(stride, '\0');
    s += row;
  }
  return s;
}

std::u16string CommonAppData() {
  wchar_t path[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path);
  return reinterpret_cast<const char16_t*>(path);
}

std::u16string HostPathToWindows(const std::string& path) {
  std::u16string out = U16(path);
  for (char16_t& c : out)
    if (c == u'/') c = u'\\';
  if (!path.empty() && path[0] == '/') out = u"Z:" + out;
  return out;
}

std::u16string UpdaterExeFromEnvironment() {
  const char* p = std::getenv("ZT_UPDATER_EXE");
  return p ? HostPathToWindows(p) : std::u16string();
}

bool WriteVersionedFile(const std::u16string& templatePath, const std::u16string& path) {
  std::string bytes = ReadFileBytes(templatePath);
  if (bytes == "<missing>") return false;
  return WriteFileBytes(path, bytes);
}

}  // namespace e2e

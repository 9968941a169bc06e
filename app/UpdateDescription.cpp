#include "app/UpdateDescription.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "file/textutil.h"
#include "xml/ztXml.h"

namespace {

UiLanguageSource g_uiLanguage = nullptr;

void ResetDescription(UpdateDescription& d) {
  ZeroBytes(d.brand, sizeof d.brand);
  ZeroBytes(d.app, sizeof d.app);
  ZeroBytes(d.gameMutex, sizeof d.gameMutex);
  ZeroBytes(d.configMutex, sizeof d.configMutex);
  ZeroBytes(d.majorVersion, sizeof d.majorVersion);
  ZeroBytes(d.minorVersion, sizeof d.minorVersion);
  ZeroBytes(d.defaultLanguage, sizeof d.defaultLanguage);
  d.languages.clear();
}

// Every field from an opened document.
void ReadDescription(ztXml& xml, UpdateDescription* out);

}  // namespace

void SetUiLanguageSource(UiLanguageSource source) { g_uiLanguage = source; }

void ExpandLineBreaks(char16_t* text, size_t cap) {
  if (!text || cap == 0) return;
  size_t out = 0;
  size_t in = 0;
  while (in < cap && text[in]) {
    if (text[in] == u'\\' && in + 1 < cap && text[in + 1] == u'n') {
      text[out++] = u'\n';
      in += 2;
    } else {
      text[out++] = text[in++];
    }
  }
  // A text that filled the whole buffer without a terminator is cut by one.
  if (out == cap) --out;
  text[out] = 0;
}

int LoadUpdateDescription(UpdateDescription* out) { return LoadUpdateDescriptionFrom(u"updateinfo.xml", out); }

int LoadUpdateDescriptionFrom(const char16_t* path, UpdateDescription* out) {
  ResetDescription(*out);
  ztXml xml;
  if (!xml.Open(path)) return 0;
  ReadDescription(xml, out);
  return 1;
}

int LoadUpdateDescriptionFromMemory(const void* data, size_t size, UpdateDescription* out) {
  ResetDescription(*out);
  ztXml xml;
  // An empty block would be measured as a text (length 0): refuse it as the
  // file reader refuses an empty file.
  if (!data || size == 0 || size > INT32_MAX || !xml.OpenMem(data, static_cast<int32_t>(size))) return 0;
  ReadDescription(xml, out);
  return 1;
}

namespace {

void ReadDescription(ztXml& xml, UpdateDescription* out) {
  UpdateDescription& d = *out;
  xml.GetTextW(d.brand, u"", 1, "brand");
  xml.GetTextW(d.app, u"", 1, "app");
  xml.GetTextW(d.gameMutex, u"", 1, "mutex");
  xml.GetTextW(d.configMutex, u"", 1, "confmutex");
  xml.GetTextW(d.majorVersion, u"", 2, "version", "major");
  xml.GetTextW(d.minorVersion, u"", 2, "version", "minor");
  xml.GetTextW(d.defaultLanguage, u"jp", 2, "language", "default");

  // The entries lang00, lang01, ... end at the first one that is missing or
  // has no code (65535). A record is large, so it lives on the heap.
  std::unique_ptr<LanguageRecord> record(new LanguageRecord);
  for (int n = 0;; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "lang%02d", n);
    LanguageRecord& r = *record;
    ZeroBytes(&r, sizeof r);
    r.code = static_cast<uint16_t>(xml.GetInt(0xFFFF, 3, "language", name, "code") & 0xFFFF);
    if (r.code == 0xFFFF) break;

    char16_t prefix[64];
    xml.GetTextW(prefix, u"", 3, "language", name, "prifix");
    // The prefix names the element that holds the language's texts; its
    // UTF-8 form is cut at a whole character to 63 bytes.
    char key[64];
    (void)ToUtf8(prefix, key);

    xml.GetTextW(r.windowTitle, u"", 3, key, "message", "wndtitle");
    xml.GetTextW(r.introText, u"", 3, key, "message", "intoro");
    xml.GetTextW(r.successText, u"", 3, key, "message", "success");
    xml.GetTextW(r.versionErrorText, u"", 3, key, "message", "error_version");
    xml.GetTextW(r.installErrorText, u"", 3, key, "message", "error_inst");
    xml.GetTextW(r.copyErrorText, u"", 3, key, "message", "error_copy");
    xml.GetTextW(r.copyingText, u"", 3, key, "message_sys", "copying");
    xml.GetTextW(r.bootErrorText, u"", 3, key, "message_error", "boot");
    xml.GetTextW(r.errorTitle, u"", 3, key, "message_error", "title");

    ExpandLineBreaks(r.windowTitle);
    ExpandLineBreaks(r.introText);
    ExpandLineBreaks(r.successText);
    ExpandLineBreaks(r.versionErrorText);
    ExpandLineBreaks(r.installErrorText);

    // emplace keeps an existing entry: the first language with a prefix wins.
    d.languages.emplace(std::u16string(prefix), r);
  }
}

}  // namespace

namespace {

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

// Whether the units [0, n) of `text` spell `word` (ASCII, upper case)
// without regard to case.
bool SpellsDevice(const char16_t* text, size_t n, const char* word) {
  size_t i = 0;
  for (; i < n && word[i]; ++i)
    if (AsciiUpper(text[i]) != static_cast<char16_t>(word[i])) return false;
  return i == n && !word[i];
}

// Windows opens a device, not a file, for these names whatever extension
// follows: it cuts the name at the first dot and drops the spaces before
// it, so "nul", "NUL.txt" and "nul .xml" all name the null device.
bool IsDeviceName(const char16_t* name) {
  size_t n = 0;
  while (name[n] && name[n] != u'.') ++n;
  while (n > 0 && name[n - 1] == u' ') --n;
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (SpellsDevice(name, n, device)) return true;
  if (n != 4 || !(SpellsDevice(name, 3, "COM") || SpellsDevice(name, 3, "LPT"))) return false;
  const char16_t digit = name[3];
  // COM0 and LPT0 are ordinary names; the superscripts one to three are not.
  return (digit >= u'1' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' || digit == u'\u00B3';
}

}  // namespace

const char* PathComponentFault(const char16_t* name) {
  if (!name || !name[0]) return "an empty name";
  size_t n = 0;
  for (; name[n]; ++n) {
    const char16_t c = name[n];
    if (c < 0x20 || c == 0x7F) return "a control character";
    switch (c) {
      case u'\\':
      case u'/': return "a path separator";
      case u':': return "a colon, which names a drive or a stream";
      case u'<':
      case u'>':
      case u'"':
      case u'|':
      case u'?':
      case u'*': return "one of the characters < > \" | ? *";
      default: break;
    }
  }
  if ((n == 1 && name[0] == u'.') || (n == 2 && name[0] == u'.' && name[1] == u'.'))
    return "the name of the folder itself or of its parent";
  if (name[n - 1] == u'.' || name[n - 1] == u' ') return "a dot or a space at its end, which Windows drops";
  if (IsDeviceName(name)) return "a device name";
  return nullptr;
}

int CheckDescriptionNames(const UpdateDescription& description, const char** badElement) {
  auto plain = [](const char16_t* name) { return !name[0] || IsPlainPathComponent(name); };
  const char* bad = !plain(description.brand) ? "brand" : !plain(description.app) ? "app" : nullptr;
  if (badElement) *badElement = bad;
  return bad ? 0 : 1;
}

int ChooseLanguage(const UpdateDescription& description, LanguageRecord* out) {
  const auto& table = description.languages;
  if (table.empty()) {
    ZeroBytes(out, sizeof *out);
    return 0;
  }
  const LanguageRecord* chosen = nullptr;
  if (table.size() == 1) {
    chosen = &table.begin()->second;
  } else {
    uint16_t ui = g_uiLanguage ? g_uiLanguage() : GetSystemUiLanguage();
    for (const auto& kv : table) {
      if (kv.second.code == ui) {
        chosen = &kv.second;
        break;
      }
    }
    if (!chosen) {
      auto it = table.find(std::u16string(description.defaultLanguage));
      if (it != table.end()) chosen = &it->second;
    }
    if (!chosen) chosen = &table.begin()->second;
  }
  std::memcpy(out, chosen, sizeof *out);
  return 1;
}

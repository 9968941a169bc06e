#include "pack/packconfig.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "pack/packtext.h"
#include "xml/ztXml.h"

const TextField kTextFields[kTextFieldCount] = {
    {"title", "message", "wndtitle", kTitleUnits, true,
     [](const LanguageRecord& r) -> const char16_t* { return r.windowTitle; }},
    {"intro", "message", "intoro", kTextUnits, true,
     [](const LanguageRecord& r) -> const char16_t* { return r.introText; }},
    {"success", "message", "success", kTextUnits, true,
     [](const LanguageRecord& r) -> const char16_t* { return r.successText; }},
    {"version_error", "message", "error_version", kTextUnits, true,
     [](const LanguageRecord& r) -> const char16_t* { return r.versionErrorText; }},
    {"install_error", "message", "error_inst", kTextUnits, true,
     [](const LanguageRecord& r) -> const char16_t* { return r.installErrorText; }},
    {"copy_error", "message", "error_copy", kTextUnits, false,
     [](const LanguageRecord& r) -> const char16_t* { return r.copyErrorText; }},
    {"copying", "message_sys", "copying", kTextUnits, false,
     [](const LanguageRecord& r) -> const char16_t* { return r.copyingText; }},
    {"running", "message_error", "boot", kTextUnits, false,
     [](const LanguageRecord& r) -> const char16_t* { return r.bootErrorText; }},
    {"error_title", "message_error", "title", kTextUnits, false,
     [](const LanguageRecord& r) -> const char16_t* { return r.errorTitle; }},
};

bool IsReservedPrefix(const std::string& prefix) {
  for (const char* name : {"brand", "app", "mutex", "confmutex", "version", "language"})
    if (prefix == name) return true;
  return false;
}

namespace {

bool ParseSmallNumber(const std::string& text, uint32_t max, uint32_t* out) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > max) return false;
  *out = v;
  return true;
}

// A prefix becomes an element name of the description: plain letters,
// digits, '_' and '-' are names every reader takes, and 63 bytes is what the
// updater keeps of it.
bool IsPlainName(const std::string& name) {
  if (name.empty() || name.size() > 63) return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
      return false;
  return true;
}

// A child list in document order (the parser keeps it reversed).
std::vector<const ztXmlNode*> InOrder(const ztXmlNodeList& list) {
  std::vector<const ztXmlNode*> nodes;
  for (const ztXmlNode& n : list) nodes.push_back(&n);
  std::reverse(nodes.begin(), nodes.end());
  return nodes;
}

class Reader {
 public:
  explicit Reader(std::vector<std::string>* errors) : errors_(errors) {}
  void Fail(const std::string& where, const std::string& what) {
    errors_->push_back("pack.xml: " + where + ": " + what);
  }

  // The text of a leaf element; an element holding elements is a mistake.
  std::string Leaf(const ztXmlNode& n, const std::string& where) {
    if (!n.children.empty()) Fail(where, "holds elements; write its value as plain text");
    return std::string(n.text.View());
  }

 private:
  std::vector<std::string>* errors_;
};

void ReadLanguage(const ztXmlNode& node, size_t index, Reader& r, PackConfig* config) {
  PackLanguage lang;
  const std::string where = "language " + std::to_string(index + 1);
  bool seen[kTextFieldCount] = {};
  bool haveCode = false, havePrefix = false;
  for (const ztXmlNode* child : InOrder(node.children)) {
    const std::string name(child->name.View());
    std::string at = where;
    at += '/';
    at += name;
    const std::string value = r.Leaf(*child, at);
    if (name == "code") {
      uint32_t code = 0;
      haveCode = true;
      if (!ParseSmallNumber(value, 65534, &code) || code == 0)
        r.Fail(at, "\"" + value + "\" is not a Windows language id (a number such as 1041 or 1033)");
      lang.code = static_cast<uint16_t>(code);
      continue;
    }
    if (name == "prefix") {
      havePrefix = true;
      if (!IsPlainName(value) || IsReservedPrefix(value))
        r.Fail(at, "\"" + value +
                       "\" cannot name the language's element: use 1 to 63 letters, digits, '_' or '-', and none of "
                       "brand, app, mutex, confmutex, version, language");
      lang.prefix = Utf16Of(value);
      continue;
    }
    size_t f = 0;
    while (f < kTextFieldCount && name != kTextFields[f].packName) ++f;
    if (f == kTextFieldCount) {
      r.Fail(at,
             "unknown element; a language holds code, prefix, title, intro, success, version_error, "
             "install_error, copy_error, copying, running and error_title");
      continue;
    }
    if (seen[f]) r.Fail(at, "given twice; keep one");
    seen[f] = true;
    lang.texts[f] = Utf16Of(value);
  }
  if (!haveCode) r.Fail(where, "has no <code> (the Windows language id, e.g. 1041 or 1033)");
  if (!havePrefix) r.Fail(where, "has no <prefix> (the name of the element that holds its texts, e.g. jp or en)");
  for (size_t f = 0; f < kTextFieldCount; ++f)
    if (!seen[f] || lang.texts[f].empty())
      r.Fail(where + "/" + kTextFields[f].packName, "missing or empty; the user would see an empty box");
  config->languages.push_back(lang);
}

}  // namespace

bool ParseVersionPair(const std::string& text, uint32_t* major, uint32_t* minor) {
  const size_t dot = text.find('.');
  return dot != std::string::npos && ParseSmallNumber(text.substr(0, dot), 65535, major) &&
         ParseSmallNumber(text.substr(dot + 1), 65535, minor);
}

bool LoadPackConfig(const std::u16string& path, PackConfig* config, std::vector<std::string>* errors) {
  *config = PackConfig();
  errors->clear();
  Reader r(errors);
  ztXml xml;
  if (!xml.Open(path.c_str())) {
    r.Fail("file",
           "cannot be read as XML (missing, no <?xml version=\"1.0\" encoding=\"UTF-8\"?> declaration, "
           "or a tag that does not close)");
    return false;
  }
  const ztXmlNode* pack = nullptr;
  for (const ztXmlNode& n : *xml.GetNodes())
    if (n.name.View() == "pack") pack = &n;
  if (!pack) {
    r.Fail("file", "has no <pack> element around the settings");
    return false;
  }
  std::map<std::string, int> count;
  for (const ztXmlNode* child : InOrder(pack->children)) {
    const std::string name(child->name.View());
    if (name == "language") {
      ReadLanguage(*child, config->languages.size(), r, config);
      continue;
    }
    if (++count[name] == 2) r.Fail(name, "given twice; keep one");
    const std::string value = r.Leaf(*child, name);
    if (name == "brand") {
      config->brand = Utf16Of(value);
    } else if (name == "app") {
      config->app = Utf16Of(value);
    } else if (name == "mutex") {
      config->mutex = Utf16Of(value);
    } else if (name == "confmutex") {
      config->confmutex = Utf16Of(value);
    } else if (name == "default") {
      config->defaultPrefix = Utf16Of(value);
    } else if (name == "requires" || name == "version") {
      const bool required = name == "requires";
      if (!ParseVersionPair(value, required ? &config->requiredMajor : &config->major,
                            required ? &config->requiredMinor : &config->minor))
        r.Fail(name, "\"" + value + "\" is not a version; write major.minor, e.g. 1.2 (each at most 65535)");
      if (!required) config->hasVersion = true;
    } else {
      r.Fail(name,
             "unknown element; <pack> holds brand, app, mutex, confmutex, requires, version, default and "
             "language");
    }
  }
  for (const char* name : {"brand", "app", "requires"})
    if (!count[name]) r.Fail(name, "missing");
  if (config->brand.empty() && count["brand"]) r.Fail("brand", "empty; the updater would not find the game");
  if (config->app.empty() && count["app"]) r.Fail("app", "empty; the updater would not find the game");
  // Both are joined onto the all-users data folder; the updater refuses a
  // name that would lead out of it.
  for (const auto& name : {std::make_pair("brand", &config->brand), std::make_pair("app", &config->app)}) {
    const char* fault = name.second->empty() ? nullptr : PathComponentFault(name.second->c_str());
    if (fault)
      r.Fail(name.first, "\"" + Utf8Of(*name.second) + "\" is not one plain folder name (" + fault +
                             "); the updater would refuse the package. Write a plain name such as ZtDemo");
  }
  if (config->languages.empty()) r.Fail("language", "missing; give at least one <language>");
  if (config->defaultPrefix.empty() && config->languages.size() == 1)
    config->defaultPrefix = config->languages[0].prefix;
  if (config->defaultPrefix.empty() && config->languages.size() > 1)
    r.Fail("default", "missing; name the prefix of the language shown when none matches the user's");
  return errors->empty();
}

bool WriteDescription(const PackConfig& c, const std::u16string& path, std::string* error) {
  // The writer puts the nodes out in the reverse of the order they were
  // made in (it keeps the parser's order), so they are made from the end:
  // the file then reads in the usual order, brand first.
  ztXml xml;
  xml.Create();
  for (size_t i = c.languages.size(); i-- > 0;) {
    const std::string prefix = Utf8Of(c.languages[i].prefix);
    for (size_t f = kTextFieldCount; f-- > 0;)
      xml.SetTextW(c.languages[i].texts[f].c_str(), 3, prefix.c_str(), kTextFields[f].section, kTextFields[f].name);
  }
  for (size_t i = c.languages.size(); i-- > 0;) {
    char entry[16];
    std::snprintf(entry, sizeof entry, "lang%02u", static_cast<unsigned>(i));
    xml.SetTextW(c.languages[i].prefix.c_str(), 3, "language", entry, "prifix");
    xml.SetInt(c.languages[i].code, 3, "language", entry, "code");
  }
  xml.SetTextW(c.defaultPrefix.c_str(), 2, "language", "default");
  xml.SetInt(static_cast<int32_t>(c.requiredMinor), 2, "version", "minor");
  xml.SetInt(static_cast<int32_t>(c.requiredMajor), 2, "version", "major");
  xml.SetTextW(c.confmutex.c_str(), 1, "confmutex");
  xml.SetTextW(c.mutex.c_str(), 1, "mutex");
  xml.SetTextW(c.app.c_str(), 1, "app");
  xml.SetTextW(c.brand.c_str(), 1, "brand");
  xml.Save(path.c_str());
  if (xml.LastErrorCode() != 0) {
    *error = "cannot write " + Utf8Of(path) +
             (xml.LastErrorCode() == ZTXML_ERR_WRITE_OPEN ? ": the file cannot be created"
                                                          : ": a text holds a character the XML dialect cannot carry");
    return false;
  }
  return true;
}

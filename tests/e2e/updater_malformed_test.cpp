// Damaged packages fed to the real updater.exe. One good package and its
// installation are spoilt a few hundred ways with a fixed seed, the
// description in one half of the variants and the splash picture in the
// other. Whatever it was given, the updater must end by itself with the exit
// code of the box it closed with, show only boxes it can rightly show for
// what it read, and leave every file it ships either as it was or as the
// package has it.
//
// A failing variant is saved in %TEMP%\zt-malformed; ZT_MALFORMED_VARIANT=N
// runs variant N alone.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "app/UpdateDescription.h"
#include "tests/common/bytes.h"
#include "tests/common/testutil.h"
#include "tests/e2e/boxdriver.h"
#include "tests/e2e/package.h"

using namespace e2e;
using namespace std::string_literals;
using zt_test::Get32;
using zt_test::Set32;

namespace {

constexpr uint64_t kSeed = 0x2A1F3C5D7E9B0468ull;
constexpr int kDescriptionVariants = 150;
constexpr int kPictureVariants = 150;
constexpr ULONGLONG kRunLimitMs = 20000;

std::u16string UpdaterExe() { return UpdaterExeFromEnvironment(); }

// No crash dialog either: it would keep a crashed updater waiting on the
// screen instead of letting it end.
class WineSettings : public ::testing::Environment {
 public:
  void SetUp() override { SetWineDefaultsForUpdater(true); }
};
const auto* const g_wineSettings = ::testing::AddGlobalTestEnvironment(new WineSettings);

// xorshift64*, each variant seeded on its own so that one can be rerun alone.
class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed | 1) {}
  uint64_t Next() {
    s_ ^= s_ >> 12;
    s_ ^= s_ << 25;
    s_ ^= s_ >> 27;
    return s_ * 0x2545F4914F6CDD1Dull;
  }
  size_t Below(size_t n) { return n ? static_cast<size_t>(Next() % n) : 0; }
  template <class T>
  const T& Pick(const std::vector<T>& v) {
    return v[Below(v.size())];
  }

 private:
  uint64_t s_;
};
uint64_t VariantSeed(int index) { return kSeed ^ (0x9E3779B97F4A7C15ull * static_cast<uint64_t>(index + 1)); }

std::string Hex(uint64_t v) {
  char s[24];
  std::snprintf(s, sizeof s, "0x%llX", static_cast<unsigned long long>(v));
  return s;
}
std::string N(uint64_t v) { return std::to_string(v); }

// Damage that fits any kind of file.
std::string FlipBits(std::string s, Rng& r, const std::vector<size_t>& where, std::string* what) {
  for (size_t n = 1 + r.Below(4); n > 0; --n) {
    const size_t at = where.empty() ? r.Below(s.size()) : r.Pick(where) + r.Below(4);
    const int bit = static_cast<int>(r.Below(8));
    s[at] = static_cast<char>(s[at] ^ (1 << bit));
    *what += " " + N(at) + "." + N(bit);
  }
  return s;
}
std::string DeleteBytes(std::string s, Rng& r, std::string* what) {
  const size_t at = r.Below(s.size()), n = std::min(1 + r.Below(16), s.size() - at);
  *what = "delete " + N(n) + " at " + N(at);
  return s.erase(at, n);
}

// ---- the description ------------------------------------------------------

// The elements of a description as DescriptionXml writes it: no attributes,
// no element inside one of the same name, so the first closing tag of the
// name after the opening one ends it.
struct Element {
  std::string name;
  size_t begin, end;          // the whole element
  size_t textBegin, textEnd;  // between its tags
  bool leaf;
};
std::vector<Element> Elements(const std::string& x) {
  std::vector<Element> out;
  for (size_t lt = x.find('<'); lt != std::string::npos; lt = x.find('<', lt + 1)) {
    if (lt + 1 >= x.size() || x[lt + 1] == '/' || x[lt + 1] == '?') continue;
    const size_t gt = x.find('>', lt);
    if (gt == std::string::npos) break;
    const std::string name = x.substr(lt + 1, gt - lt - 1);
    const size_t close = x.find("</" + name + ">", gt);
    if (close == std::string::npos) continue;
    const bool leaf = x.find('<', gt) == close;
    out.push_back({name, lt, close + name.size() + 3, gt + 1, close, leaf});
  }
  return out;
}

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  while (n--) out += s;
  return out;
}

std::string MutateDescription(const std::string& x, Rng& r, std::string* what) {
  const std::vector<Element> all = Elements(x);
  std::vector<Element> leaves;
  for (const Element& e : all)
    if (e.leaf) leaves.push_back(e);
  const Element& e = r.Pick(all);
  std::string m = x;
  switch (r.Below(10)) {
    case 0: {
      const size_t at = r.Below(x.size());
      *what = "cut at " + N(at);
      return x.substr(0, at);
    }
    case 1: {  // inside the opening or the closing tag
      const size_t tag = r.Below(2) ? e.begin : e.textEnd;
      const size_t at = tag + 1 + r.Below(x.find('>', tag) - tag);
      *what = "cut at " + N(at) + ", inside a tag of <" + e.name + ">";
      return x.substr(0, at);
    }
    case 2: {  // before a continuation byte: a sequence left unfinished
      std::vector<size_t> inside;
      for (size_t i = 0; i < x.size(); ++i)
        if ((static_cast<uint8_t>(x[i]) & 0xC0) == 0x80) inside.push_back(i);
      const size_t at = r.Pick(inside);
      *what = "cut at " + N(at) + ", inside a UTF-8 sequence";
      return x.substr(0, at);
    }
    case 3: *what = "bit flips at"; return FlipBits(x, r, {}, what);
    case 4: {
      static const std::vector<std::string> tokens = {
          "<",         ">",   "</",    "&",        "\xFF", "\xE3\x81", "\xEF\xBB\xBF", "<!--",    "-->",
          "<![CDATA[", "]]>", "&#x0;", "&#xD800;", "\"",   "<a>",      "</document>",  "<?xml?>", "\0"s};
      const std::string& t = r.Pick(tokens);
      const size_t at = r.Below(x.size() + 1);
      *what = "insert " + N(t.size()) + " bytes at " + N(at);
      return m.insert(at, t);
    }
    case 5: return DeleteBytes(x, r, what);
    case 6: *what = "duplicate <" + e.name + ">"; return m.insert(e.end, x, e.begin, e.end - e.begin);
    case 7: *what = "remove <" + e.name + ">"; return m.erase(e.begin, e.end - e.begin);
    case 8: {  // a number out of range, or a text too long or not UTF-8
      static const std::vector<std::string> numbers = {
          "4294967296",  "9999999999999999999", "-1",    "65535", "65536", "2147483648",
          "-2147483649", "0x7fffffff",          "1e300", "",      " 7 "};
      static const std::vector<std::string> texts = {
          Repeat("x", 300),
          Repeat("y", 5000),
          Repeat("\xE3\x81\x82", 600),
          Repeat("\xF0\x9F\x98\x80", 300),
          Repeat("\\n", 400),
          Repeat("\\", 700) + "n",
          "\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80\xFF",
          "&amp;&lt;&#x41;&#65;",
      };
      const Element& leaf = r.Pick(leaves);
      const std::string& v = r.Pick(r.Below(2) ? numbers : texts);
      *what = "<" + leaf.name + "> set to " + N(v.size()) + " bytes \"" + v.substr(0, 16) + "\"";
      return m.replace(leaf.textBegin, leaf.textEnd - leaf.textBegin, v);
    }
    default: {  // the name in the opening tag, the closing one, or both
      const size_t which = r.Below(3);
      std::string name = e.name;
      const size_t at = r.Below(name.size());
      name[at] = static_cast<char>(r.Below(2) ? name[at] ^ 0x20 : 'a' + r.Below(26));
      if (r.Below(4) == 0) name += name.back();
      static const char* const where[] = {" in the opening tag", " in the closing tag", ""};
      *what = "rename <" + e.name + "> to <" + name + ">" + where[which];
      if (which != 0) m.replace(e.textEnd + 2, e.name.size(), name);
      if (which != 1) m.replace(e.begin + 1, e.name.size(), name);
      return m;
    }
  }
}

// ---- the splash picture -------------------------------------------------------

// A good RA-3 file as our writers make it: the file and frame headers (20
// bytes), then the tag chain. `fields` are the 32-bit numbers the decoder
// steers by: the headers, each tag's link and length, the geometry, each
// strip's sizes and the embedded WebP's chunk sizes.
struct Ra3Map {
  std::vector<size_t> tags, fields;
};
Ra3Map MapRa3(const std::string& f) {
  Ra3Map m;
  m.fields = {4, 8, 12, 16};
  for (size_t pos = 20; pos + 16 <= f.size();) {
    m.tags.push_back(pos);
    m.fields.insert(m.fields.end(), {pos + 8, pos + 12});
    std::vector<size_t> inside;
    if (f.compare(pos, 8, std::string("stdinfo\0", 8)) == 0) inside = {0, 4, 8, 12, 20, 24};
    if (f.compare(pos, 3, "img") == 0 && f[pos + 3] >= '0' && f[pos + 3] <= '9') inside = {0, 4, 8, 12, 16, 20};
    if (f.compare(pos, 7, "img_wbp") == 0) inside = {4, 16};
    for (size_t k : inside) m.fields.push_back(pos + 16 + k);
    if (Get32(f, pos + 8) == 0) break;
    pos += Get32(f, pos + 8);
  }
  return m;
}

std::string MutatePicture(const std::string& f, Rng& r, std::string* what) {
  const Ra3Map map = MapRa3(f);
  const size_t field = r.Pick(map.fields);
  const size_t t = r.Below(map.tags.size());
  std::string m = f;
  switch (r.Below(12)) {
    case 0: {
      const size_t at = r.Below(f.size());
      *what = "cut at " + N(at);
      return f.substr(0, at);
    }
    case 1: {  // inside the headers, a tag header, a steering field or a tag's data
      const size_t tag = map.tags[t], kind = r.Below(4);
      const size_t at = kind == 0   ? r.Below(20)
                        : kind == 1 ? tag + r.Below(16)
                        : kind == 2 ? field + 1 + r.Below(3)
                                    : std::min(f.size() - 1, tag + 16 + r.Below(Get32(f, tag + 12) + 1));
      static const char* const kinds[] = {"headers", "tag header", "field", "tag data"};
      *what = "cut at " + N(at) + " (" + kinds[kind] + ")";
      return f.substr(0, at);
    }
    case 2: *what = "bit flips at"; return FlipBits(f, r, {}, what);
    case 3: *what = "bit flips in the fields at"; return FlipBits(f, r, map.fields, what);
    case 4: {
      const size_t at = r.Below(f.size() + 1), n = 1 + r.Below(8);
      std::string bytes;
      for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<char>(r.Below(256)));
      *what = "insert " + N(n) + " bytes at " + N(at);
      return m.insert(at, bytes);
    }
    case 5: return DeleteBytes(f, r, what);
    case 6: {  // a number the decoder steers by set to an edge value
      static const std::vector<uint32_t> values = {0xFFFFFFFF, 0x7FFFFFFF, 0x80000000, 0, 1, 0xFFFF, 0x10000, 0x4000};
      const uint32_t v = r.Below(5) ? r.Pick(values) : Get32(f, field) + (r.Below(2) ? 1 : -1);
      *what = "field at " + N(field) + " set to " + Hex(v);
      Set32(m, field, v);
      return m;
    }
    case 7: {  // a changed name, or one that fills all 8 bytes
      const size_t at = map.tags[t] + r.Below(8);
      m[at] = r.Below(3) ? static_cast<char>('0' + r.Below(75)) : '\0';
      if (r.Below(4) == 0) m.replace(map.tags[t], 8, "img00000");
      *what = "tag " + N(t) + " renamed to " + m.substr(map.tags[t], 8).c_str();
      return m;
    }
    case 8: {  // another kind's signature: the bytes go to another decoder
      static const std::vector<std::string> signatures = {"ZO-2",         "ZTF\0"s, "\x89PNG\r\n\x1A\n",
                                                          "\xFF\xD8\xFF", "8BPS",   "BM"};
      const std::string& sig = r.Pick(signatures);
      m.replace(0, sig.size(), sig);
      if (sig == "BM") m[28] = static_cast<char>(r.Below(2) ? 24 : 32);  // the bit counts it takes
      *what = "signature " + N(sig.size()) + " bytes \"" + sig.substr(0, 2) + "\"";
      return m;
    }
    default: break;  // 9 to 11: whole tags, below
  }
  // Whole tags duplicated, removed or swapped; the chain is relinked, or
  // its links are left pointing where they did.
  std::vector<std::string> chunks;
  for (size_t i = 0; i < map.tags.size(); ++i)
    chunks.push_back(f.substr(map.tags[i], (i + 1 < map.tags.size() ? map.tags[i + 1] : f.size()) - map.tags[i]));
  const size_t op = r.Below(3), other = r.Below(chunks.size());
  static const char* const ops[] = {" doubled", " removed", " swapped with tag "};
  *what = "tag " + N(t) + ops[op] + (op == 2 ? N(other) : "");
  if (op == 0) chunks.insert(chunks.begin() + t, chunks[t]);
  if (op == 1) chunks.erase(chunks.begin() + t);
  if (op == 2) std::swap(chunks[t], chunks[other]);
  const bool relink = r.Below(2) != 0;
  if (!relink) *what += ", links kept";
  m = f.substr(0, 20);
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (relink) Set32(chunks[i], 8, i + 1 < chunks.size() ? static_cast<uint32_t>(chunks[i].size()) : 0);
    m += chunks[i];
  }
  return m;
}

// ---- runs -----------------------------------------------------------------------

using Shown = std::pair<std::u16string, std::u16string>;  // caption, text

std::string Describe(const std::vector<Shown>& boxes) {
  std::string s;
  for (const Shown& b : boxes) {
    std::string text = Narrow(b.second);
    for (size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "\\n");
    s += (s.empty() ? "[" : " | [") + Narrow(b.first) + "] " + text.substr(0, 200);
  }
  return s.empty() ? "no box" : s;
}

// What the updater may show for the description in the package, read with
// the library's own loader as the updater reads it: its two fixed boxes when
// the description cannot be opened or names no language, else the chosen
// language's texts. Every box but the version error takes the window title
// as its caption; the version error and the copy engine's own boxes (whose
// text is the engine's) take the error title.
struct Prediction {
  LanguageRecord chosen = {};  // the language the updater picks, when one
  std::vector<Shown> allowed;
  Shown confirm, success;
  bool language = false;  // a language was chosen: the engine's boxes are possible
  std::u16string errorTitle;
  bool successKnown = false;  // the success box differs from every other last box
  bool normal = false;        // game, mutexes and version as in the good description
};

Prediction Predict(const std::u16string& path, const UpdateDescription& good) {
  Prediction p;
  UpdateDescription d;
  if (!LoadUpdateDescriptionFrom(path.c_str(), &d)) {
    p.allowed = {{u"error", u"updateinfo.xml was not found."}};
    return p;
  }
  if (!ChooseLanguage(d, &p.chosen)) {
    p.allowed = {{u"error", u""}};
    return p;
  }
  const LanguageRecord& l = p.chosen;
  const std::u16string title = l.windowTitle;
  p.confirm = {title, l.introText};
  p.success = {title, l.successText};
  const std::vector<Shown> closing = {{title, l.bootErrorText},
                                      {title, l.installErrorText},
                                      {l.errorTitle, l.versionErrorText},
                                      {title, l.copyErrorText}};
  p.allowed = closing;
  p.allowed.insert(p.allowed.end(), {p.confirm, p.success});
  p.language = true;
  p.errorTitle = l.errorTitle;
  p.successKnown = std::find(closing.begin(), closing.end(), p.success) == closing.end();
  auto same = [](const char16_t* a, const char16_t* b) { return std::u16string(a) == b; };
  p.normal = same(d.brand, good.brand) && same(d.app, good.app) && same(d.gameMutex, good.gameMutex) &&
             same(d.configMutex, good.configMutex) && same(d.majorVersion, good.majorVersion) &&
             same(d.minorVersion, good.minorVersion);
  return p;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += "\n    " + l;
  return all;
}

struct Outcome {
  std::vector<Shown> boxes;
  std::vector<std::string> problems;
  DWORD code = 0xFFFFFFFFu;  // the exit code, when the updater ended
};

// Exit codes the updater may give after showing `last` as its final box
// (every box is answered with OK): one per closing box that has that caption
// and text (a damaged description may give two of them the same words).
std::vector<DWORD> CodesFor(const Shown& last, const Prediction& p) {
  if (!p.language) return {2};  // no description or no language
  const LanguageRecord& l = p.chosen;
  const std::u16string title = l.windowTitle;
  const std::pair<Shown, DWORD> closing[] = {{{title, l.successText}, 0},      {{title, l.bootErrorText}, 3},
                                             {{title, l.installErrorText}, 4}, {{l.errorTitle, l.versionErrorText}, 5},
                                             {{title, l.copyErrorText}, 6}};
  std::vector<DWORD> codes;
  for (const auto& c : closing)
    if (c.first == last) codes.push_back(c.second);
  return codes;
}

// A file the package ships: what the installation has before ("<missing>"
// when nothing) and after the update.
struct Shipped {
  std::u16string path;
  std::string before, after;
};

void FindTempFiles(const std::u16string& folder, std::vector<std::string>* found) {
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW(W(Join(folder, u"*")), &d);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    std::u16string name = reinterpret_cast<const char16_t*>(d.cFileName);
    if (name == u"." || name == u"..") continue;
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      FindTempFiles(Join(folder, name), found);
      continue;
    }
    for (char16_t& c : name) c = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
    if (name.rfind(u"~ztcp-", 0) == 0 && name.size() >= 10 && name.compare(name.size() - 4, 4, u".tmp") == 0)
      found->push_back(Narrow(Join(folder, name)));
  } while (FindNextFileW(h, &d));
  FindClose(h);
}

class Malformed : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(UpdaterExe().empty()) << "ZT_UPDATER_EXE is not set";
    pkg_ = Join(dir_.Path(), u"pkg");
    inst_ = Join(dir_.Path(), u"inst");
    // Fixed names (no process id), so that a variant is the same bytes in
    // every run.
    parts_ = {"ztMalformed", "Game", "ztMalformed_game", "ztMalformed_conf", "1", "5", "", {Japanese()}};
    xml_ = DescriptionXml(parts_);

    const int w = 96, h = 64;
    const std::vector<uint32_t> pixels = TestPicture(w, h);
    pictures_ = {Ra3Strips(w, h, pixels, 16), Ra3File(w, h, pixels)};
    ASSERT_FALSE(pictures_[0].empty() || pictures_[1].empty());

    files_ = {{u"readme.txt", "readme 1.5\r\n", "readme 1.6\r\n"},
              {u"bin\\game.cfg", "cfg=1.5", "cfg=1.6\r\nmode=fast\r\n"},
              {u"maps\\town\\town01.map", std::string(70000, 'o'), std::string(90000, 'n')},
              {u"maps\\new\\extra.dat", "<missing>", "extra"}};
    for (const Shipped& f : files_) ASSERT_TRUE(WriteFileBytes(Join(Join(pkg_, u"data"), f.path), f.after));
    ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"updateinfo.xml"), xml_));
    ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"updatebg.ra3"), pictures_[0]));
    oldLog_ = "\"earlier\\patch.txt\"\r\n";

    // The good package, once: the normal run, and the install.log it leaves.
    ASSERT_EQ(LoadUpdateDescriptionFrom(Join(pkg_, u"updateinfo.xml").c_str(), &good_), 1);
    const Prediction p = Predict(Join(pkg_, u"updateinfo.xml"), good_);
    ASSERT_TRUE(p.normal && p.successKnown);
    ASSERT_EQ(Narrow(p.confirm.first), Japanese().title);
    normal_ = {p.confirm, p.success};
    ASSERT_TRUE(Restore());
    const Outcome o = Run();
    ASSERT_TRUE(o.problems.empty()) << Lines(o.problems);
    ASSERT_EQ(Describe(o.boxes), Describe(normal_));
    ASSERT_EQ(o.code, 0u);
    newLog_ = ReadFileBytes(Join(inst_, u"install.log"));
    for (const Shipped& f : files_) EXPECT_NE(newLog_.find("\"" + Narrow(f.path) + "\"\r\n"), std::string::npos);
    EXPECT_NE(newLog_.find(oldLog_), std::string::npos);
    const std::vector<std::string> files = CheckFiles(true);
    ASSERT_TRUE(files.empty()) << Lines(files);
  }
  void TearDown() override { RemoveTree(Join(CommonAppData(), U16(parts_.brand))); }

  static bool Selected(int index) {
    const char* only = std::getenv("ZT_MALFORMED_VARIANT");
    return !only || std::atoi(only) == index;
  }

  // The installation as it is before the update, with the discovery file.
  bool Restore() {
    RemoveTree(inst_);
    for (const Shipped& f : files_)
      if (f.before != "<missing>" && !WriteFileBytes(Join(inst_, f.path), f.before)) return false;
    return WriteFileBytes(Join(inst_, u"install.log"), oldLog_) &&
           WriteFileBytes(Join(inst_, u"config\\startup.xml"),
                          "<?xml version=\"1.0\"?><startup><version><major>1</major><minor>5</minor></version>"
                          "</startup>") &&
           WriteFileBytes(Join(Join(CommonAppData(), U16(parts_.brand)), U16(parts_.app + ".xml")),
                          "<?xml version=\"1.0\"?><install><path>" + zt_test::Utf8(inst_) + "</path></install>");
  }

  // Starts the updater from the package folder and answers every box with
  // OK (or its first button) until it ends or its time is up.
  Outcome Run() {
    Outcome o;
    Process p;
    if (!p.Start(UpdaterExe(), pkg_)) {
      o.problems.push_back("updater.exe did not start");
      return o;
    }
    const ULONGLONG deadline = GetTickCount64() + kRunLimitMs;
    for (;;) {
      const ULONGLONG now = GetTickCount64();
      Box box;
      DWORD code = 0;
      if (now < deadline && p.WaitExit(static_cast<DWORD>(deadline - now), &box, &code)) {
        o.code = code;
        return o;
      }
      if (!box.window) {
        o.problems.push_back("still running after " + N(kRunLimitMs / 1000) + " s; killed");
        return o;  // ~Process ends it
      }
      o.boxes.push_back({box.caption, box.text});
      const bool ok = std::find(box.buttons.begin(), box.buttons.end(), IDOK) != box.buttons.end();
      if (!PressButton(box.window, ok ? IDOK : box.buttons.front())) {
        o.problems.push_back("box stayed after its button was pressed: " + Describe({o.boxes.back()}));
        return o;
      }
    }
  }

  // Each shipped file and the install.log old or new (only new when
  // `allNew`), and no temporary file of the copy engine left behind.
  std::vector<std::string> CheckFiles(bool allNew) {
    std::vector<std::string> problems;
    auto check = [&](const std::u16string& path, const std::string& before, const std::string& after) {
      const std::string got = ReadFileBytes(Join(inst_, path));
      if (got == after || (!allNew && got == before)) return;
      problems.push_back(Narrow(path) + (got == before ? " is still the old version"
                                         : got == "<missing>"
                                             ? " is missing"
                                             : " is neither old nor new (" + N(got.size()) + " bytes)"));
    };
    for (const Shipped& f : files_) check(f.path, f.before, f.after);
    check(u"install.log", oldLog_, newLog_);
    std::vector<std::string> temps;
    FindTempFiles(inst_, &temps);
    for (const std::string& t : temps) problems.push_back("temporary file left: " + t);
    return problems;
  }

  void Report(int index, const std::string& what, const std::u16string& name, const std::string& bytes,
              const std::vector<Shown>& boxes, const std::vector<std::string>& problems) {
    if (std::getenv("ZT_E2E_TRACE")) fprintf(stderr, "%d %s: %s\n", index, what.c_str(), Describe(boxes).c_str());
    if (problems.empty()) return;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::u16string folder = Join(reinterpret_cast<const char16_t*>(temp), u"zt-malformed");
    CreateDirectoryW(W(folder), nullptr);
    const std::u16string path = Join(folder, U16("variant-" + N(index) + "-") + name);
    const bool saved = WriteFileBytes(path, bytes);
    ADD_FAILURE() << "variant " << index << " (seed " << Hex(VariantSeed(index)) << ", " << what << ")"
                  << (saved ? ", saved as " + Narrow(path) : ", could not be saved") << Lines(problems);
  }

  zt_test::TempDir dir_;
  std::u16string pkg_, inst_;
  DescriptionParts parts_;
  std::string xml_;
  std::vector<std::string> pictures_;  // strips (the package's), WebP
  std::vector<Shipped> files_;
  std::string oldLog_, newLog_;
  UpdateDescription good_;
  std::vector<Shown> normal_;
};

}  // namespace

TEST_F(Malformed, DamagedDescriptionShowsOnlyItsOwnBoxesAndLeavesEachFileOldOrNew) {
  const std::u16string path = Join(pkg_, u"updateinfo.xml");
  for (int index = 0; index < kDescriptionVariants; ++index) {
    if (!Selected(index)) continue;
    Rng rng(VariantSeed(index));
    std::string what;
    const std::string bytes = MutateDescription(xml_, rng, &what);
    ASSERT_TRUE(Restore());
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    const Prediction p = Predict(path, good_);
    Outcome o = Run();
    for (const Shown& b : o.boxes) {
      const bool known = std::find(p.allowed.begin(), p.allowed.end(), b) != p.allowed.end();
      if (!known && !(p.language && b.first == p.errorTitle))
        o.problems.push_back("box it cannot rightly show: " + Describe({b}));
    }
    if (p.normal && o.boxes != std::vector<Shown>{p.confirm, p.success})
      o.problems.push_back("same game, mutexes and version, but the boxes were: " + Describe(o.boxes));
    if (!o.boxes.empty() && o.code != 0xFFFFFFFFu) {
      const std::vector<DWORD> codes = CodesFor(o.boxes.back(), p);
      if (std::find(codes.begin(), codes.end(), o.code) == codes.end())
        o.problems.push_back("ended with exit code " + Hex(o.code) + " after " + Describe({o.boxes.back()}));
    }
    const bool succeeded = p.successKnown && !o.boxes.empty() && o.boxes.back() == p.success;
    for (const std::string& f : CheckFiles(succeeded)) o.problems.push_back(f);
    Report(index, what, u"updateinfo.xml", bytes, o.boxes, o.problems);
  }
}

TEST_F(Malformed, DamagedSplashPictureStillGivesTheNormalUpdate) {
  for (int k = 0; k < kPictureVariants; ++k) {
    const int index = kDescriptionVariants + k;
    if (!Selected(index)) continue;
    Rng rng(VariantSeed(index));
    std::string what = k % 2 ? "WebP form, " : "strip form, ";
    std::string how;
    const std::string bytes = MutatePicture(pictures_[k % 2], rng, &how);
    what += how;
    ASSERT_TRUE(Restore());
    ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"updatebg.ra3"), bytes));
    Outcome o = Run();
    if (o.boxes != normal_) o.problems.push_back("boxes: " + Describe(o.boxes));
    if (o.code != 0) o.problems.push_back("ended with exit code " + Hex(o.code));
    for (const std::string& f : CheckFiles(true)) o.problems.push_back(f);
    Report(index, what, u"updatebg.ra3", bytes, o.boxes, o.problems);
  }
}

#include "app/UpdateDescription.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/common/testutil.h"

using zt_test::U16;

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";

std::string Entry(const std::string& tag, const std::string& code, const std::string& prefix) {
  std::string s = "<" + tag + ">";
  if (!code.empty()) s += "<code>" + code + "</code>";
  return s + "<prifix>" + prefix + "</prifix></" + tag + ">";
}

// The texts of one language; every text carries `word` and a backslash-n so
// that the expansion rule shows.
std::string Texts(const std::string& prefix, const std::string& word) {
  auto t = [&](const std::string& name) { return "<" + name + ">" + name + "\\n" + word + "</" + name + ">"; };
  return "<" + prefix + "><message>" + t("wndtitle") + t("intoro") + t("success") + t("error_version") +
         t("error_inst") + t("error_copy") + "</message><message_sys>" + t("copying") +
         "</message_sys><message_error>" + t("boot") + t("title") + "</message_error></" + prefix + ">";
}

// What the functions under test filled in, as the updater keeps them, and
// the calls that fill them.
UpdateDescription g_description;
LanguageRecord g_language;
int LoadUpdateDescriptionFrom(const char16_t* path) { return ::LoadUpdateDescriptionFrom(path, &g_description); }
int LoadUpdateDescription() { return ::LoadUpdateDescription(&g_description); }
int ChooseLanguage() { return ::ChooseLanguage(g_description, &g_language); }

class Description : public ::testing::Test {
 protected:
  void TearDown() override { SetUiLanguageSource(nullptr); }

  int Load(const std::string& inner) { return LoadRaw(kDecl + "<document>" + inner + "</document>\r\n"); }
  int LoadRaw(const std::string& bytes) {
    dir_.Write(u"updateinfo.xml", bytes);
    return LoadUpdateDescriptionFrom(dir_.Join(u"updateinfo.xml").c_str());
  }

  static std::vector<std::u16string> Keys() {
    std::vector<std::u16string> keys;
    for (const auto& kv : g_description.languages) keys.push_back(kv.first);
    return keys;
  }
  static const LanguageRecord& Record(const std::u16string& key) { return g_description.languages.at(key); }

  zt_test::TempDir dir_;
};

uint16_t g_fakeUi = 0;
uint16_t FakeUi() { return g_fakeUi; }

}  // namespace

// ---- loading ------------------------------------------------------------------

TEST_F(Description, ReadsEveryField) {
  ASSERT_EQ(Load("<brand>MAKER</brand><app>game</app><mutex>GameMutex</mutex><confmutex>ConfMutex</confmutex>"
                 "<version><major>2</major><minor>10</minor></version>"
                 "<language><default>en</default>" +
                 Entry("lang00", "1041", "jp") + Entry("lang01", "1033", "en") + "</language>" + Texts("jp", "日本語") +
                 Texts("en", "English")),
            1);
  const UpdateDescription& d = g_description;
  EXPECT_EQ(std::u16string(d.brand), u"MAKER");
  EXPECT_EQ(std::u16string(d.app), u"game");
  EXPECT_EQ(std::u16string(d.gameMutex), u"GameMutex");
  EXPECT_EQ(std::u16string(d.configMutex), u"ConfMutex");
  EXPECT_EQ(std::u16string(d.majorVersion), u"2");
  EXPECT_EQ(std::u16string(d.minorVersion), u"10");
  EXPECT_EQ(std::u16string(d.defaultLanguage), u"en");
  ASSERT_EQ(Keys(), (std::vector<std::u16string>{u"en", u"jp"}));

  const LanguageRecord& jp = Record(u"jp");
  EXPECT_EQ(jp.code, 1041);
  // The first five texts have their backslash-n expanded, the other four not.
  EXPECT_EQ(std::u16string(jp.windowTitle), u"wndtitle\n日本語");
  EXPECT_EQ(std::u16string(jp.introText), u"intoro\n日本語");
  EXPECT_EQ(std::u16string(jp.successText), u"success\n日本語");
  EXPECT_EQ(std::u16string(jp.versionErrorText), u"error_version\n日本語");
  EXPECT_EQ(std::u16string(jp.installErrorText), u"error_inst\n日本語");
  EXPECT_EQ(std::u16string(jp.copyErrorText), u"error_copy\\n日本語");
  EXPECT_EQ(std::u16string(jp.copyingText), u"copying\\n日本語");
  EXPECT_EQ(std::u16string(jp.bootErrorText), u"boot\\n日本語");
  EXPECT_EQ(std::u16string(jp.errorTitle), u"title\\n日本語");
  EXPECT_EQ(Record(u"en").code, 1033);
  EXPECT_EQ(std::u16string(Record(u"en").successText), u"success\nEnglish");
}

TEST_F(Description, MissingOrUnreadableFileFails) {
  EXPECT_EQ(LoadUpdateDescriptionFrom(dir_.Join(u"none.xml").c_str()), 0);
  EXPECT_EQ(LoadRaw("<document><brand>x</brand></document>"), 0);  // no declaration
  EXPECT_EQ(LoadRaw(kDecl + "<document><brand>x</b></document>"), 0);
  EXPECT_TRUE(g_description.languages.empty());
  EXPECT_EQ(ChooseLanguage(), 0);
}

TEST_F(Description, MissingElementsGiveDefaults) {
  ASSERT_EQ(Load("<brand>first</brand>" + Entry("x", "1", "y")), 1);
  ASSERT_EQ(Load(""), 1);
  const UpdateDescription& d = g_description;
  EXPECT_EQ(std::u16string(d.brand), u"");  // nothing left from the last load
  EXPECT_EQ(std::u16string(d.majorVersion), u"");
  EXPECT_EQ(std::u16string(d.defaultLanguage), u"jp");
  EXPECT_TRUE(d.languages.empty());
  // A language without any texts loads with empty texts.
  ASSERT_EQ(Load("<language>" + Entry("lang00", "7", "xx") + "</language>"), 1);
  EXPECT_EQ(Record(u"xx").code, 7);
  EXPECT_EQ(std::u16string(Record(u"xx").introText), u"");
}

TEST_F(Description, LastOfTwoBrandsIsRead) {
  ASSERT_EQ(Load("<brand>one</brand><brand>two</brand>"), 1);
  EXPECT_EQ(std::u16string(g_description.brand), u"two");
}

TEST_F(Description, OtherOutermostElementHidesTheValues) {
  ASSERT_EQ(LoadRaw(kDecl + "<root><brand>x</brand></root>"), 1);
  EXPECT_EQ(std::u16string(g_description.brand), u"");
}

// ---- the names the discovery file is found by ---------------------------------

TEST(PathComponent, OnlyOnePlainNameIsAccepted) {
  struct Case {
    std::u16string name;
    const char* fault;  // words of the rule that refuses it; null for a plain name
  };
  const Case cases[] = {
      {u"Demo Game", nullptr},  {u"ZtDemo", nullptr},
      {u"a.b", nullptr},        {u"a..b", nullptr},
      {u".hidden", nullptr},  // a leading dot or space is kept by Windows
      {u" lead", nullptr},      {u"ゲーム", nullptr},
      {u"Ünïcødé", nullptr},    {u"com0", nullptr},  // only the digits 1 to 9 make ports
      {u"lpt10", nullptr},      {u"con1", nullptr},
      {u"", "empty"},           {u".", "folder itself"},
      {u"..", "folder itself"}, {u"a\\b", "separator"},
      {u"a/b", "separator"},    {u"..\\users\\Public", "separator"},
      {u"C:", "colon"},         {u"a.", "at its end"},
      {u"a ", "at its end"},    {u"nul", "device"},
      {u"NUL.txt", "device"},   {u"nul .txt", "device"},
      {u"con", "device"},       {u"aux.xml", "device"},
      {u"com1", "device"},      {u"COM9", "device"},
      {u"COM1.xml", "device"},  {u"lpt9", "device"},
      {u"com\u00B9", "device"}, {u"CONOUT$", "device"},
      {u"a\tb", "control"},     {u"a\u001Fb", "control"},
      {u"a\u007Fb", "control"}, {u"a<b", "characters"},
      {u"a>b", "characters"},   {u"a\"b", "characters"},
      {u"a|b", "characters"},   {u"a?b", "characters"},
      {u"a*b", "characters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(zt_test::Utf8(c.name));
    const char* fault = PathComponentFault(c.name.c_str());
    EXPECT_EQ(IsPlainPathComponent(c.name.c_str()), c.fault == nullptr);
    if (c.fault) {
      ASSERT_NE(fault, nullptr);
      EXPECT_NE(std::string(fault).find(c.fault), std::string::npos) << fault;
    } else {
      EXPECT_EQ(fault, nullptr) << fault;
    }
  }
  EXPECT_FALSE(IsPlainPathComponent(nullptr));
}

TEST_F(Description, BrandOrAppThatLeadsElsewhereIsRefused) {
  struct Case {
    const char* inner;
    int plain;
    const char* bad;
  };
  const Case cases[] = {
      {"<brand>ZtDemo</brand><app>Demo Game</app>", 1, nullptr},
      {"<brand>..\\users\\Public</brand><app>Demo Game</app>", 0, "brand"},
      {"<brand>ZtDemo</brand><app>..\\..\\secret</app>", 0, "app"},
      {"<brand>nul</brand><app>C:</app>", 0, "brand"},  // the brand is told first
      {"<app>Demo Game</app>", 1, nullptr},  // empty leads nowhere: the installation is simply not found
      {"<brand>ZtDemo</brand><app>a.</app>", 0, "app"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inner);
    ASSERT_EQ(Load(c.inner), 1);
    const char* bad = "unset";
    EXPECT_EQ(CheckDescriptionNames(g_description, &bad), c.plain);
    EXPECT_EQ(bad ? std::string(bad) : "", c.bad ? std::string(c.bad) : "");
    EXPECT_EQ(CheckDescriptionNames(g_description), c.plain);
  }
}

// ---- the language list ------------------------------------------------------------

TEST_F(Description, ListStopsAtTheFirstMissingEntry) {
  ASSERT_EQ(Load("<language>" + Entry("lang00", "1", "a") + Entry("lang02", "2", "b") + "</language>"), 1);
  EXPECT_EQ(Keys(), (std::vector<std::u16string>{u"a"}));
}

TEST_F(Description, CodeWithLowBitsAllOnesEndsTheList) {
  ASSERT_EQ(Load("<language>" + Entry("lang00", "1", "a") + Entry("lang01", "65535", "b") + Entry("lang02", "3", "c") +
                 "</language>"),
            1);
  EXPECT_EQ(Keys(), (std::vector<std::u16string>{u"a"}));
  ASSERT_EQ(Load("<language>" + Entry("lang00", "0x1FFFF", "a") + Entry("lang01", "3", "c") + "</language>"), 1);
  EXPECT_TRUE(g_description.languages.empty());
  // An entry without a code ends it too.
  ASSERT_EQ(Load("<language>" + Entry("lang00", "", "a") + Entry("lang01", "3", "c") + "</language>"), 1);
  EXPECT_TRUE(g_description.languages.empty());
}

TEST_F(Description, NonNumericCodeReadsAsZeroAndContinues) {
  ASSERT_EQ(Load("<language>" + Entry("lang00", "abc", "a") + Entry("lang01", "65536", "b") + "</language>"), 1);
  EXPECT_EQ(Keys(), (std::vector<std::u16string>{u"a", u"b"}));
  EXPECT_EQ(Record(u"a").code, 0);
  EXPECT_EQ(Record(u"b").code, 0);  // low 16 bits
}

TEST_F(Description, EntriesPastNinetyNineAreNumberedOn) {
  std::string list;
  for (int n = 0; n <= 100; ++n) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "lang%02d", n);
    list += Entry(tag, std::to_string(n + 1), "p" + std::to_string(n));
  }
  ASSERT_EQ(Load("<language>" + list + "</language>"), 1);
  EXPECT_EQ(g_description.languages.size(), 101u);
  EXPECT_EQ(Record(u"p100").code, 101);
}

TEST_F(Description, FirstEntryWithAPrefixWinsWhole) {
  ASSERT_EQ(Load("<language>" + Entry("lang00", "1041", "jp") + Entry("lang01", "1033", "jp") + "</language>" +
                 Texts("jp", "x")),
            1);
  ASSERT_EQ(g_description.languages.size(), 1u);
  EXPECT_EQ(Record(u"jp").code, 1041);
}

TEST_F(Description, KeysAreOrderedByUnsignedCodeUnits) {
  ASSERT_EQ(Load("<language>" + Entry("lang00", "1", "jp") + Entry("lang01", "2", "\xEF\xBC\xA1") +
                 Entry("lang02", "3", "e") + Entry("lang03", "4", "en") + Entry("lang04", "5", "") +
                 Entry("lang05", "6", "Z") + "</language>"),
            1);
  EXPECT_EQ(Keys(), (std::vector<std::u16string>{u"", u"Z", u"e", u"en", u"jp", u"\xFF21"}));
}

// ---- widths ---------------------------------------------------------------------

TEST_F(Description, LongValuesAreCutAtWholeCharacters) {
  // 258 units then a surrogate pair: the pair does not fit in 259 units.
  std::string brand(258, 'b');
  brand += "\xF0\x9D\x84\x9E";
  std::string title(300, 't');
  ASSERT_EQ(Load("<brand>" + brand + "</brand><language><default>" + std::string(100, 'd') + "</default>" +
                 Entry("lang00", "1", "p") + "</language><p><message><wndtitle>" + title + "</wndtitle></message></p>"),
            1);
  EXPECT_EQ(std::u16string(g_description.brand), std::u16string(258, u'b'));
  EXPECT_EQ(std::u16string(g_description.defaultLanguage), std::u16string(63, u'd'));
  EXPECT_EQ(std::u16string(Record(u"p").windowTitle), std::u16string(255, u't'));
}

TEST_F(Description, LongPrefixIsCutForThePath) {
  // 30 three-byte characters: 90 bytes of UTF-8, cut to 21 characters (63
  // bytes) for the path; the table keeps the whole prefix.
  std::string a;
  for (int i = 0; i < 30; ++i) a += "\xE3\x81\x82";
  std::string cut = a.substr(0, 63);
  ASSERT_EQ(Load("<language>" + Entry("lang00", "1", a) + "</language>" + Texts(cut, "found")), 1);
  ASSERT_EQ(Keys().size(), 1u);
  EXPECT_EQ(Keys()[0], U16(a));
  EXPECT_EQ(std::u16string(Record(U16(a)).copyErrorText), u"error_copy\\nfound");
  // A prefix of more than 63 units is cut to 63.
  ASSERT_EQ(Load("<language>" + Entry("lang00", "1", std::string(70, 'q')) + "</language>"), 1);
  EXPECT_EQ(Keys()[0], std::u16string(63, u'q'));
}

// ---- line breaks -------------------------------------------------------------------

TEST(ExpandLineBreaks, BackslashNBecomesALineFeed) {
  char16_t t[32] = u"a\\nb\\\\nc\\ d\\";
  ExpandLineBreaks(t);
  EXPECT_EQ(std::u16string(t), u"a\nb\\\nc\\ d\\");
  char16_t n[8] = u"\\n\\n";
  ExpandLineBreaks(n);
  EXPECT_EQ(std::u16string(n), u"\n\n");
}

TEST(ExpandLineBreaks, StaysInsideTheBuffer) {
  char16_t t[5] = {u'a', u'b', u'c', u'd', u'G'};  // no terminator within 4
  ExpandLineBreaks(t, 4);
  EXPECT_EQ(std::u16string(t), u"abc");
  EXPECT_EQ(t[4], u'G');
  char16_t u[3] = {u'x', u'\\', u'n'};  // the pair straddles the end
  ExpandLineBreaks(u, 2);
  EXPECT_EQ(std::u16string(u), u"x");
}

// ---- the language choice --------------------------------------------------------------

class Choice : public Description {
 protected:
  void LoadTwo(const std::string& def, const std::string& codeA, const std::string& codeB) {
    ASSERT_EQ(
        Load("<language><default>" + def + "</default>" + Entry("lang00", codeA, "jp") + Entry("lang01", codeB, "en") +
             Entry("lang02", "2052", "zh") + "</language>" + Texts("jp", "J") + Texts("en", "E") + Texts("zh", "Z")),
        1);
  }
  static std::u16string Chosen() { return g_language.successText; }
};

TEST_F(Choice, JapaneseAndEnglishUiLanguage) {
  LoadTwo("zh", "1041", "1033");
  SetUiLanguageSource(FakeUi);
  g_fakeUi = 1041;
  ASSERT_EQ(ChooseLanguage(), 1);
  EXPECT_EQ(Chosen(), u"success\nJ");
  EXPECT_EQ(g_language.code, 1041);
  g_fakeUi = 1033;
  ASSERT_EQ(ChooseLanguage(), 1);
  EXPECT_EQ(Chosen(), u"success\nE");
}

TEST_F(Choice, EqualCodesGoToTheSmallestPrefix) {
  LoadTwo("zh", "1041", "1041");
  SetUiLanguageSource(FakeUi);
  g_fakeUi = 1041;
  ASSERT_EQ(ChooseLanguage(), 1);
  EXPECT_EQ(Chosen(), u"success\nE");  // "en" sorts before "jp"
}

TEST_F(Choice, NoCodeMatchTakesTheDefaultPrefix) {
  LoadTwo("jp", "1041", "1033");
  SetUiLanguageSource(FakeUi);
  g_fakeUi = 1036;
  ASSERT_EQ(ChooseLanguage(), 1);
  EXPECT_EQ(Chosen(), u"success\nJ");
}

TEST_F(Choice, DefaultPrefixMustMatchExactly) {
  SetUiLanguageSource(FakeUi);
  g_fakeUi = 1036;
  // "j" names no entry: the smallest prefix, "en", is taken.
  LoadTwo("j", "1041", "1033");
  ASSERT_EQ(ChooseLanguage(), 1);
  EXPECT_EQ(Chosen(), u"success\nE");
  // An empty default matches only an empty prefix (the default element's
  // empty text replaces "jp").
  LoadTwo("", "1041", "1033");
  EXPECT_EQ(std::u16string(g_description.defaultLanguage), u"");
  ASSERT_EQ(ChooseLanguage(), 1);
  EXPECT_EQ(Chosen(), u"success\nE");
}

TEST_F(Choice, SingleLanguageIsChosenWhateverItsCode) {
  ASSERT_EQ(Load("<language>" + Entry("lang00", "1", "xx") + "</language>" + Texts("xx", "X")), 1);
  SetUiLanguageSource(FakeUi);
  g_fakeUi = 1041;
  ASSERT_EQ(ChooseLanguage(), 1);
  EXPECT_EQ(Chosen(), u"success\nX");
}

TEST_F(Choice, CurrentLanguageIsACopy) {
  LoadTwo("jp", "1041", "1033");
  SetUiLanguageSource(FakeUi);
  g_fakeUi = 1041;
  ASSERT_EQ(ChooseLanguage(), 1);
  g_description.languages.at(u"jp").successText[0] = u'X';
  EXPECT_EQ(Chosen(), u"success\nJ");
}

TEST_F(Description, LoadsFromTheCurrentDirectory) {
  namespace fs = std::filesystem;
  ASSERT_TRUE(dir_.Write(u"updateinfo.xml", kDecl + "<document><app>cwd</app></document>"));
  fs::path old = fs::current_path();
#ifdef _WIN32
  fs::current_path(fs::path(std::wstring(dir_.Path().begin(), dir_.Path().end())));
#else
  fs::current_path(fs::path(zt_test::Utf8(dir_.Path())));
#endif
  int r = LoadUpdateDescription();
  fs::current_path(old);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(std::u16string(g_description.app), u"cwd");
}

// Run by ctest twice with LANG set (see tests/app/CMakeLists.txt): under Wine
// ja_JP.UTF-8 must give 1041 and en_US.UTF-8 1033, and the choice follows.
TEST_F(Description, SystemUiLanguageDecidesTheChoice) {
  const char* expect = std::getenv("ZT_EXPECT_UI_LANGUAGE");
  if (!expect) GTEST_SKIP() << "run with ZT_EXPECT_UI_LANGUAGE";
  uint16_t want = static_cast<uint16_t>(std::atoi(expect));
  EXPECT_EQ(GetSystemUiLanguage(), want);
  ASSERT_EQ(Load("<language><default>zh</default>" + Entry("lang00", "1041", "jp") + Entry("lang01", "1033", "en") +
                 Entry("lang02", "2052", "zh") + "</language>"),
            1);
  ASSERT_EQ(ChooseLanguage(), 1);
  EXPECT_EQ(g_language.code, want);
}

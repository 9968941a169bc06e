// ztpack build: the package holds exactly the new and changed files, and a
// description the updater's own reader takes with every text as written.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "app/UpdateDescription.h"
#include "app/UpdateManifest.h"
#include "pack/packbuild.h"
#include "pack/packconfig.h"
#include "tests/common/testutil.h"
#include "tests/pack/packtest.h"

using packtest::At;
using zt_test::ReadFileBytes;
using zt_test::U16;
using zt_test::WriteFileBytes;

namespace {

class Build : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = dir_.Join(u"old");
    new_ = dir_.Join(u"new");
    pkg_ = dir_.Join(u"pkg");
    ASSERT_TRUE(dir_.Write(u"pack.xml", packtest::PackXml(packtest::GoodConfig())));
    ASSERT_TRUE(dir_.Write(u"splash.ra3", packtest::Ra3Picture(40, 20)));
    ASSERT_TRUE(dir_.Write(u"updater.exe", "MZ stand-in"));
  }
  void Old(const std::string& path, const std::string& bytes) { ASSERT_TRUE(WriteFileBytes(At(old_, path), bytes)); }
  void New(const std::string& path, const std::string& bytes) { ASSERT_TRUE(WriteFileBytes(At(new_, path), bytes)); }
  void Both(const std::string& path, const std::string& bytes) {
    Old(path, bytes);
    New(path, bytes);
  }
  BuildOptions Options() const {
    BuildOptions o;
    o.oldDir = old_;
    o.newDir = new_;
    o.config = dir_.Join(u"pack.xml");
    o.out = pkg_;
    o.splash = dir_.Join(u"splash.ra3");
    o.updater = dir_.Join(u"updater.exe");
    return o;
  }
  // The package's data files and their contents, by '/' path.
  std::map<std::string, std::string> Data() const {
    std::map<std::string, std::string> files;
    const std::filesystem::path root(zt_test::Utf8(pkg_) + "/data");
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
      if (e.is_regular_file())
        files[e.path().lexically_relative(root).generic_string()] = ReadFileBytes(U16(e.path().string()));
    return files;
  }

  zt_test::TempDir dir_;
  std::u16string old_, new_, pkg_;
};

}  // namespace

TEST_F(Build, PackageHoldsExactlyTheNewAndChangedFiles) {
  const std::string big(3 * 1024 * 1024 + 5, 'b');
  std::string bigChanged = big;
  bigChanged[2 * 1024 * 1024 + 100] = 'c';  // past the first block, same size
  Both("same.txt", "unchanged");
  Both("nested/deep/same.dat", "unchanged too");
  Both("empty-both.bin", "");
  Old("changed.txt", "version 1");
  New("changed.txt", "version 2 is longer");
  Old("samesize.bin", "abcd");
  New("samesize.bin", "abce");
  Old("big.bin", big);
  New("big.bin", bigChanged);
  Old("removed.txt", "gone in the new version");
  Old("Case.TXT", "only the name's case changed");
  New("case.txt", "only the name's case changed");
  New("nested/new/added.dat", "added");
  New("empty.bin", "");
  New("データ/日本語.txt", "non-ASCII name");
  New("config/startup.xml", "<major>1</major><minor>3</minor>");

  PackReport report;
  BuildResult result;
  ASSERT_TRUE(BuildPackage(Options(), &report, nullptr, &result)) << report.Lines();
  const std::map<std::string, std::string> expected = {{"changed.txt", "version 2 is longer"},
                                                       {"samesize.bin", "abce"},
                                                       {"big.bin", bigChanged},
                                                       {"nested/new/added.dat", "added"},
                                                       {"empty.bin", ""},
                                                       {"データ/日本語.txt", "non-ASCII name"},
                                                       {"config/startup.xml", "<major>1</major><minor>3</minor>"}};
  EXPECT_TRUE(Data() == expected) << "the data folder differs";
  EXPECT_EQ(result.diff.unchanged, 4u);
  ASSERT_EQ(result.diff.removed.size(), 1u);
  EXPECT_EQ(result.diff.removed[0].path, u"removed.txt");
  EXPECT_TRUE(report.Has(Severity::kWarning, "removed.txt", "cannot remove"));
  EXPECT_EQ(report.Count(Severity::kWarning), 1u) << report.Lines();
  EXPECT_EQ(ReadFileBytes(At(pkg_, "updater.exe")), "MZ stand-in");

  // The updater copies file times into the installation: the package keeps
  // the new version's.
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::last_write_time(zt_test::Utf8(At(pkg_, "data/changed.txt"))),
            fs::last_write_time(zt_test::Utf8(At(new_, "changed.txt"))));

  // The manifest lists every file of the package with its digest, and the
  // version the package installs.
  const std::string text = ReadFileBytes(At(pkg_, "update.manifest"));
  UpdateManifest m;
  ASSERT_TRUE(DecodeManifest(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &m)) << text;
  EXPECT_EQ(m.Version(), 0x10003u);
  EXPECT_FALSE(m.hasSignature);
  std::vector<std::u16string> listed;
  for (const ManifestEntry& e : m.files) listed.push_back(e.path);
  const std::vector<std::u16string> files = {u"updateinfo.xml",
                                             u"updatebg.ra3",
                                             u"data\\big.bin",
                                             u"data\\changed.txt",
                                             u"data\\config\\startup.xml",
                                             u"data\\empty.bin",
                                             u"data\\nested\\new\\added.dat",
                                             u"data\\samesize.bin",
                                             u"data\\データ\\日本語.txt"};
  EXPECT_EQ(listed, files);
  EXPECT_EQ(m.files[2].size, bigChanged.size());
  EXPECT_EQ(m.files[2].sha256, ztSha256::Of(bigChanged.data(), bigChanged.size()));
}

TEST_F(Build, DescriptionReadsBackThroughTheUpdatersLoader) {
  Old("a.txt", "old");
  New("a.txt", "new");
  New("config/startup.xml", "<major>1</major><minor>3</minor>");
  PackReport report;
  BuildResult result;
  ASSERT_TRUE(BuildPackage(Options(), &report, nullptr, &result)) << report.Lines();

  UpdateDescription d;
  ASSERT_EQ(LoadUpdateDescriptionFrom(At(pkg_, "updateinfo.xml").c_str(), &d), 1);
  const PackConfig c = packtest::GoodConfig();
  EXPECT_EQ(std::u16string(d.brand), c.brand);
  EXPECT_EQ(std::u16string(d.app), c.app);
  EXPECT_EQ(std::u16string(d.gameMutex), c.mutex);
  EXPECT_EQ(std::u16string(d.configMutex), c.confmutex);
  EXPECT_EQ(std::u16string(d.majorVersion), u"1");
  EXPECT_EQ(std::u16string(d.minorVersion), u"2");
  EXPECT_EQ(std::u16string(d.defaultLanguage), u"en");
  ASSERT_EQ(d.languages.size(), 2u);
  for (const PackLanguage& lang : c.languages) {
    ASSERT_EQ(d.languages.count(lang.prefix), 1u);
    const LanguageRecord& r = d.languages.at(lang.prefix);
    EXPECT_EQ(r.code, lang.code);
    for (size_t f = 0; f < kTextFieldCount; ++f) {
      // Where the updater breaks lines, the written \n becomes one.
      std::u16string want = lang.texts[f];
      for (size_t at; kTextFields[f].lineBreaks && (at = want.find(u"\\n")) != std::u16string::npos;)
        want.replace(at, 2, u"\n");
      EXPECT_EQ(std::u16string(kTextFields[f].get(r)), want) << kTextFields[f].packName;
    }
  }
}

TEST_F(Build, RefusesBeforeComparingWhenTheInputsAreWrong) {
  struct Case {
    const char* name;
    void (*spoil)(BuildOptions& o, zt_test::TempDir& dir);
    std::string where;
    std::string words;
  };
  // Paths inside the case's own folder, written with the build's separator.
  const Case cases[] = {
      {"no updater", [](BuildOptions& o, zt_test::TempDir& d) { o.updater = d.Join(u"missing.exe"); }, "", "--updater"},
      {"output not empty",
       [](BuildOptions&, zt_test::TempDir& d) {
         ASSERT_TRUE(d.Write(u"pkg" + std::u16string(1, zt_test::kSep) + u"stale.txt", "x"));
       },
       "", "not empty"},
      {"picture unreadable",
       [](BuildOptions&, zt_test::TempDir& d) { ASSERT_TRUE(d.Write(u"splash.ra3", "not a picture")); }, "updatebg.ra3",
       "not converted"},
      {"bad key file",
       [](BuildOptions& o, zt_test::TempDir& d) {
         ASSERT_TRUE(d.Write(u"key", "ZTSECRET1 00"));
         o.key = d.Join(u"key");
       },
       "--key", "not a secret key"},
      {"requires a newer version than it installs",
       [](BuildOptions&, zt_test::TempDir& d) {
         PackConfig c = packtest::GoodConfig();
         c.requiredMinor = 4;
         ASSERT_TRUE(d.Write(u"pack.xml", packtest::PackXml(c)));
       },
       "pack.xml: requires", "installs 1.3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zt_test::TempDir dir;
    BuildOptions o = Options();
    ASSERT_TRUE(dir.Write(u"pack.xml", packtest::PackXml(packtest::GoodConfig())));
    ASSERT_TRUE(dir.Write(u"splash.ra3", packtest::Ra3Picture(40, 20)));
    ASSERT_TRUE(dir.Write(u"updater.exe", "MZ"));
    ASSERT_TRUE(dir.Write(u"old" + std::u16string(1, zt_test::kSep) + u"a.txt", "1"));
    ASSERT_TRUE(dir.Write(u"new" + std::u16string(1, zt_test::kSep) + u"a.txt", "2"));
    o.oldDir = dir.Join(u"old");
    o.newDir = dir.Join(u"new");
    o.config = dir.Join(u"pack.xml");
    o.out = dir.Join(u"pkg");
    o.splash = dir.Join(u"splash.ra3");
    o.updater = dir.Join(u"updater.exe");
    c.spoil(o, dir);
    PackReport report;
    BuildResult result;
    EXPECT_FALSE(BuildPackage(o, &report, nullptr, &result));
    bool found = false;
    for (const Finding& f : report.Findings())
      found = found || (f.severity == Severity::kError && f.where.find(c.where) != std::string::npos &&
                        f.text.find(c.words) != std::string::npos);
    EXPECT_TRUE(found) << report.Lines();
    EXPECT_FALSE(zt_test::PathExists(packtest::At(dir.Path(), "pkg/data"))) << "data copied despite the error";
  }
}

// pack.xml mistakes, each named with its element and what to write.
TEST(PackConfig, EachMistakeIsNamedWithItsElement) {
  struct Case {
    std::string from, to;  // the good file's text, replaced
    std::string words;     // in one of the error lines
  };
  const Case cases[] = {
      {"<brand>ZtPackTest</brand>", "", "pack.xml: brand: missing"},
      {"<requires>1.2</requires>", "<requires>1</requires>", "requires: \"1\" is not a version"},
      {"<requires>1.2</requires>", "<requires>1.65536</requires>", "requires: \"1.65536\" is not a version"},
      {"<app>Game</app>", "<app>Game</app><appp>x</appp>", "appp: unknown element"},
      {"<prefix>en</prefix>", "<prefix>e n</prefix>", "language 1/prefix: \"e n\" cannot name"},
      {"<prefix>jp</prefix>", "<prefix>version</prefix>", "language 2/prefix: \"version\" cannot name"},
      {"<code>1041</code>", "<code>ja</code>", "language 2/code: \"ja\" is not a Windows language id"},
      {"<success>English success text</success>", "", "language 1/success: missing or empty"},
      {"<copying>English copying text</copying>", "<copying>English copying text</copying><copying>x</copying>",
       "language 1/copying: given twice"},
      {"<default>en</default>", "", "default: missing"},
      {"<brand>ZtPackTest</brand>", "<brand><x>y</x></brand>", "brand: holds elements"},
  };
  const std::string good = packtest::PackXml(packtest::GoodConfig());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words);
    std::string text = good;
    const size_t at = text.find(c.from);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, c.from.size(), c.to);
    zt_test::TempDir dir;
    ASSERT_TRUE(dir.Write(u"pack.xml", text));
    PackConfig config;
    std::vector<std::string> errors;
    EXPECT_FALSE(LoadPackConfig(dir.Join(u"pack.xml"), &config, &errors));
    bool found = false;
    for (const std::string& e : errors) found = found || e.find(c.words) != std::string::npos;
    EXPECT_TRUE(found) << ::testing::PrintToString(errors);
  }
  // And the good file reads back as the struct it was written from.
  zt_test::TempDir dir;
  ASSERT_TRUE(dir.Write(u"pack.xml", good));
  PackConfig config;
  std::vector<std::string> errors;
  ASSERT_TRUE(LoadPackConfig(dir.Join(u"pack.xml"), &config, &errors)) << ::testing::PrintToString(errors);
  const PackConfig want = packtest::GoodConfig();
  EXPECT_EQ(config.requiredMajor << 16 | config.requiredMinor, 0x10002u);
  EXPECT_EQ(config.major << 16 | config.minor, 0x10003u);
  ASSERT_EQ(config.languages.size(), 2u);
  for (size_t l = 0; l < 2; ++l) {
    EXPECT_EQ(config.languages[l].code, want.languages[l].code);
    EXPECT_EQ(config.languages[l].prefix, want.languages[l].prefix);
    for (size_t f = 0; f < kTextFieldCount; ++f) EXPECT_EQ(config.languages[l].texts[f], want.languages[l].texts[f]);
  }
}

// ztpack check: one package per fault, each found with its file and
// element, and nothing at all in a good package. Then keys: keygen, sign
// and check round trip, and a tampered file caught.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "app/UpdateManifest.h"
#include "pack/packcheck.h"
#include "pack/packconfig.h"
#include "pack/packsign.h"
#include "pack/ztpack.h"
#include "tests/common/testutil.h"
#include "tests/pack/packtest.h"

using packtest::At;
using zt_test::ReadFileBytes;
using zt_test::WriteFileBytes;

namespace {

// A package and an installation of version 1.2 in a folder of their own.
struct Scene {
  zt_test::TempDir dir;
  std::u16string pkg = dir.Join(u"pkg");
  std::u16string inst = dir.Join(u"inst");
  PackConfig config = packtest::GoodConfig();

  void Write(const std::u16string& root, const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(WriteFileBytes(At(root, path), bytes));
  }
  void Replace(const std::string& path, const std::string& from, const std::string& to) {
    std::string text = ReadFileBytes(At(pkg, path));
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    Write(pkg, path, text);
  }
  // The parts of a package, in the order a builder makes them.
  void Make() {
    Write(pkg, "updater.exe", "MZ");
    Write(pkg, "updatebg.ra3", packtest::Ra3Picture(64, 36));
    Write(pkg, "data/readme.txt", "new readme");
    Write(pkg, "data/bin/engine.dll", std::string(5000, 'e'));
    Write(pkg, "data/config/startup.xml", "<major>1</major><minor>3</minor>");
    std::string error;
    ASSERT_TRUE(WriteDescription(config, At(pkg, "updateinfo.xml"), &error)) << error;
    Write(inst, "config/startup.xml", "<version><major>1</major><minor>2</minor></version>");
  }
  void Manifest(const uint8_t* key = nullptr) {
    std::string error;
    ASSERT_TRUE(WritePackageManifest(pkg, 1, 3, key, &error, nullptr)) << error;
  }
  PackReport Check(bool withInstall) {
    PackReport report;
    PackageChecker(pkg, withInstall ? inst : u"", &report, nullptr).All();
    return report;
  }
};

std::string Key(Scene& s, const char16_t* name) {
  std::string error;
  EXPECT_TRUE(MakeKeyPair(s.dir.Join(name), &error)) << error;
  return ReadFileBytes(s.dir.Join(name));
}

}  // namespace

TEST(Check, GoodPackageHasNothingToReport) {
  Scene s;
  s.Make();
  s.Manifest();
  const PackReport report = s.Check(true);
  EXPECT_EQ(report.Errors(), 0u) << report.Lines();
  EXPECT_EQ(report.Count(Severity::kWarning), 0u) << report.Lines();
}

TEST(Check, EachFaultIsFoundWhereItIs) {
  struct Fault {
    const char* name;
    std::function<void(Scene&)> make;  // spoils the package made by Make
    bool install;                      // check against the installation too
    Severity severity;
    std::string where, words;
  };
  const std::string xml = "updateinfo.xml: ";
  const Fault faults[] = {
      {"text missing", [](Scene& s) { s.Replace("updateinfo.xml", "<success>日本語 success text</success>", ""); },
       false, Severity::kError, xml + "jp/message/success", "missing"},
      {"text one unit too long", [](Scene& s) { s.Replace("updateinfo.xml", "now?\\n", "now?\\nx"); }, false,
       Severity::kError, xml + "en/message/intoro", "512 UTF-16 units"},
      {"\\n where no line breaks", [](Scene& s) { s.Replace("updateinfo.xml", "日本語 copying text", "a\\nb"); }, false,
       Severity::kError, xml + "jp/message_sys/copying", "shows as the two characters"},
      {"prefix empty", [](Scene& s) { s.Replace("updateinfo.xml", "<prifix>en</prifix>", "<prifix></prifix>"); }, false,
       Severity::kError, xml + "language/lang00/prifix", "missing or empty"},
      {"code given twice", [](Scene& s) { s.Replace("updateinfo.xml", "<code>1041</code>", "<code>1033</code>"); },
       false, Severity::kError, xml + "language/lang01/code", "two languages"},
      {"code not a number", [](Scene& s) { s.Replace("updateinfo.xml", "<code>1041</code>", "<code>ja</code>"); },
       false, Severity::kError, xml + "language/lang01/code", "not a Windows language id"},
      {"code unknown", [](Scene& s) { s.Replace("updateinfo.xml", "<code>1041</code>", "<code>1014</code>"); }, false,
       Severity::kWarning, xml + "language/lang01/code", "not in ztpack's table"},
      {"default names no language",
       [](Scene& s) { s.Replace("updateinfo.xml", "<default>en</default>", "<default>fr</default>"); }, false,
       Severity::kError, xml + "language/default", "names no language"},
      {"gap in the languages",
       [](Scene& s) {
         s.Replace("updateinfo.xml", "<lang01>", "<lang02>");
         s.Replace("updateinfo.xml", "</lang01>", "</lang02>");
       },
       false, Severity::kError, xml + "language/lang02", "never read"},
      {"description not XML", [](Scene& s) { s.Write(s.pkg, "updateinfo.xml", "<document><brand>x</document>"); },
       false, Severity::kError, "updateinfo.xml", "does not load"},
      {"splash does not decode", [](Scene& s) { s.Write(s.pkg, "updatebg.ra3", "RA3 but not really"); }, false,
       Severity::kError, "updatebg.ra3", "does not decode"},
      {"splash too wide", [](Scene& s) { s.Write(s.pkg, "updatebg.ra3", packtest::Ra3Picture(1281, 8)); }, false,
       Severity::kError, "updatebg.ra3", "1281 x 8"},
      {"splash one colour", [](Scene& s) { s.Write(s.pkg, "updatebg.ra3", packtest::Ra3Picture(64, 36, true)); }, false,
       Severity::kWarning, "updatebg.ra3", "one single colour"},
      {"no updater", [](Scene& s) { std::filesystem::remove(std::filesystem::path(At(s.pkg, "updater.exe"))); }, false,
       Severity::kError, "updater.exe", "missing"},
      {"no data", [](Scene& s) { zt_test::RemoveTree(At(s.pkg, "data")); }, false, Severity::kError, "data", "missing"},
      {"journal folder in data", [](Scene& s) { s.Write(s.pkg, "data/.ztupdate/x", "x"); }, false, Severity::kError,
       "data\\.ztupdate\\x", "journal"},
      {"the updater's own log in data", [](Scene& s) { s.Write(s.pkg, "data/Update.Log", "x"); }, false,
       Severity::kError, "data\\Update.Log", "a file the updater keeps for itself"},
#ifndef _WIN32
      // Only a file system that tells the two names apart can hold both.
      {"two files name one destination", [](Scene& s) { s.Write(s.pkg, "data/README.TXT", "x"); }, false,
       Severity::kError, "data\\readme.txt", "two files name one destination: Windows takes it and data\\README.TXT"},
#endif
      {"brand leads out of its folder",
       [](Scene& s) { s.Replace("updateinfo.xml", "<brand>ZtPackTest</brand>", "<brand>..\\users\\Public</brand>"); },
       false, Severity::kError, xml + "brand", "not one plain folder name"},
      {"app is a device name", [](Scene& s) { s.Replace("updateinfo.xml", "<app>Game</app>", "<app>NUL.txt</app>"); },
       false, Severity::kError, xml + "app", "device name"},
      {"file changed after the manifest, same size",
       [](Scene& s) { s.Write(s.pkg, "data/bin/engine.dll", std::string(4999, 'e') + "f"); }, false, Severity::kError,
       "data\\bin\\engine.dll", "differ from update.manifest"},
      {"file added after the manifest", [](Scene& s) { s.Write(s.pkg, "data/late.txt", "x"); }, false, Severity::kError,
       "data\\late.txt", "not listed in update.manifest"},
      {"installed version too old",
       [](Scene& s) { s.Write(s.inst, "config/startup.xml", "<major>1</major><minor>1</minor>"); }, true,
       Severity::kError, "", "older than the 1.2"},
      {"destination past 259 units",
       [](Scene& s) {
         s.Write(s.pkg, "data/" + std::string(100, 'a') + "/" + std::string(100, 'b') + "/" + std::string(50, 'c'),
                 "deep");
         s.Manifest();
       },
       true, Severity::kError,
       "data\\" + std::string(100, 'a') + "\\" + std::string(100, 'b') + "\\" + std::string(50, 'c'),
       "longer than 259"},
      {"installation trusts a key, package unsigned",
       [](Scene& s) {
         Key(s, u"k1");
         s.Write(s.inst, "update.key", ReadFileBytes(s.dir.Join(u"k1.pub")));
       },
       true, Severity::kError, "update.manifest", "refuses an unsigned package"},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.name);
    // The manifest is written after the fault, unless the fault is a change
    // made after it.
    const bool afterManifest = f.where.compare(0, 5, "data\\") == 0 && f.words.find("manifest") != std::string::npos;
    Scene s;
    s.Make();
    if (afterManifest) s.Manifest();
    f.make(s);
    if (!afterManifest) s.Manifest();
    const PackReport report = s.Check(f.install);
    // The installation's own findings name it.
    const std::string where = f.where.empty() ? "install " + zt_test::Utf8(s.inst) : f.where;
    EXPECT_TRUE(report.Has(f.severity, where, f.words)) << report.Lines();
    if (f.severity == Severity::kWarning) {
      EXPECT_EQ(report.Errors(), 0u) << report.Lines();
    }
  }
}

TEST(Check, EachLimitHoldsAtItsEndAndNotOnePast) {
  struct Limit {
    const char* name;
    size_t at, past;  // the last value kept and the first refused
    std::function<void(PackConfig&, size_t)> set;
    Severity severity;
    std::string where, words;
  };
  const std::string xml = "updateinfo.xml: ";
  const Limit limits[] = {
      // Counted in UTF-16 units, as the updater's fields are: the title's
      // characters are three bytes each, the text ends in a pair of units.
      {"title", 255, 256, [](PackConfig& c, size_t n) { c.languages[1].texts[0] = std::u16string(n, u'\u30b2'); },
       Severity::kError, xml + "jp/message/wndtitle", "UTF-16 units long"},
      {"text", 511, 512,
       [](PackConfig& c, size_t n) { c.languages[1].texts[2] = std::u16string(n - 2, u'x') + u"\U0001F600"; },
       Severity::kError, xml + "jp/message/success", "UTF-16 units long"},
      {"mutex", 259, 260, [](PackConfig& c, size_t n) { c.mutex = std::u16string(n, u'm'); }, Severity::kError,
       xml + "mutex", "UTF-16 units long"},
      {"default", 63, 64, [](PackConfig& c, size_t n) { c.defaultPrefix = std::u16string(n, u'd'); }, Severity::kError,
       xml + "language/default", "UTF-16 units long"},
      {"prefix", 63, 64,
       [](PackConfig& c, size_t n) { c.languages[0].prefix = c.defaultPrefix = std::u16string(n, u'p'); },
       Severity::kError, xml + "language/lang00/prifix", "longer than the 63 bytes"},
      {"minor", 65535, 65536, [](PackConfig& c, size_t n) { c.requiredMinor = static_cast<uint32_t>(n); },
       Severity::kWarning, xml + "version/minor", "65536 or more"},
  };
  for (const Limit& l : limits) {
    for (const size_t n : {l.at, l.past}) {
      SCOPED_TRACE(std::string(l.name) + " " + std::to_string(n));
      Scene s;
      l.set(s.config, n);
      s.Make();
      s.Manifest();
      const PackReport report = s.Check(false);
      EXPECT_EQ(report.Has(l.severity, l.where, l.words), n == l.past) << report.Lines();
    }
  }
}

// ztpack build refuses such a name in pack.xml as check refuses it in a
// package; a plain name with a space or a dot inside passes both.
TEST(Check, BrandAndAppAreOnePlainFolderName) {
  struct Case {
    std::u16string brand, app;
    const char* bad;  // the element named, or null
  };
  const Case cases[] = {
      {u"..\\users\\Public", u"Game", "brand"},
      {u"ZtPackTest", u"C:", "app"},
      {u"ZtPackTest", u"com1.xml", "app"},
      {u"Zt Pack.Test", u"My Game 2", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(zt_test::Utf8(c.brand + u" / " + c.app));
    Scene s;
    s.config.brand = c.brand;
    s.config.app = c.app;
    s.Make();
    s.Manifest();
    const PackReport report = s.Check(false);
    ASSERT_TRUE(s.dir.Write(u"pack.xml", packtest::PackXml(s.config)));
    PackConfig config;
    std::vector<std::string> errors;
    const bool loaded = LoadPackConfig(s.dir.Join(u"pack.xml"), &config, &errors);
    if (!c.bad) {
      EXPECT_EQ(report.Errors(), 0u) << report.Lines();
      EXPECT_TRUE(loaded) << ::testing::PrintToString(errors);
      continue;
    }
    EXPECT_TRUE(report.Has(Severity::kError, std::string("updateinfo.xml: ") + c.bad, "not one plain folder name"))
        << report.Lines();
    EXPECT_FALSE(loaded);
    ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(errors);
    EXPECT_EQ(errors[0].find(std::string("pack.xml: ") + c.bad + ": \""), 0u) << errors[0];
  }
}

TEST(Check, KeygenSignAndCheckRoundTrip) {
  Scene s;
  s.Make();
  std::string out, err;
  PackToolIo io{[&](const std::string& t) { out += t; }, [&](const std::string& t) { err += t; }, nullptr};
  const std::u16string key = s.dir.Join(u"author.key");
  ASSERT_EQ(RunPackTool({u"keygen", key}, io), 0) << err;
  // A key is never overwritten.
  const std::string secret = ReadFileBytes(key);
  EXPECT_EQ(RunPackTool({u"keygen", key}, io), 1);
  EXPECT_EQ(ReadFileBytes(key), secret);

  ASSERT_EQ(RunPackTool({u"sign", s.pkg, u"--key", key}, io), 0) << err;
  const std::string pub = ReadFileBytes(key + u".pub");
  s.Write(s.inst, "update.key", pub);
  const std::string manifest = ReadFileBytes(At(s.pkg, "update.manifest"));
  UpdateManifest m;
  ASSERT_TRUE(DecodeManifest(reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size(), &m));
  EXPECT_TRUE(m.hasSignature);
  EXPECT_EQ(m.Version(), 0x10003u) << "sign reads the version from data\\config\\startup.xml";
  EXPECT_EQ("ZTKEY1 " + ztHex(m.key, sizeof m.key) + "\r\n", pub);
  PackReport clean = s.Check(true);
  EXPECT_EQ(clean.Errors(), 0u) << clean.Lines();
  EXPECT_TRUE(clean.Has(Severity::kNote, "update.manifest", "trusted by the installation"));

  // Another installation trusts another key.
  Scene other;
  Key(other, u"other");
  s.Write(s.inst, "update.key", ReadFileBytes(other.dir.Join(u"other.pub")));
  EXPECT_TRUE(s.Check(true).Has(Severity::kError, "update.manifest", "does not trust"));
  s.Write(s.inst, "update.key", pub);

  // A changed byte in the signed manifest breaks the signature; a changed
  // file of the same size is caught by its digest.
  const size_t at = manifest.find("version 1 3");
  ASSERT_NE(at, std::string::npos);
  s.Write(s.pkg, "update.manifest", std::string(manifest).replace(at, 11, "version 1 4"));
  EXPECT_TRUE(s.Check(true).Has(Severity::kError, "update.manifest", "signature does not match"));
  s.Write(s.pkg, "update.manifest", manifest);
  s.Write(s.pkg, "data/readme.txt", "NEW readme");
  out.clear();
  EXPECT_EQ(RunPackTool({u"check", s.pkg, u"--install", s.inst}, io), 1);
  EXPECT_NE(out.find("error: data\\readme.txt: its size or bytes differ"), std::string::npos) << out;
  // Signing again takes the change in.
  ASSERT_EQ(RunPackTool({u"sign", s.pkg, u"--key", key}, io), 0) << err;
  EXPECT_EQ(RunPackTool({u"check", s.pkg, u"--install", s.inst}, io), 0) << err;
}

TEST(Check, ExitCodesOfTheCommandLine) {
  Scene s;
  s.Make();
  s.Manifest();
  struct Case {
    std::vector<std::u16string> args;
    int code;
  };
  const Case cases[] = {
      {{u"--help"}, 0},
      {{u"build", u"--help"}, 0},
      {{u"check", u"--help"}, 0},
      {{}, 2},
      {{u"unpack"}, 2},
      {{u"build", u"--old", u"x"}, 2},
      {{u"check"}, 2},
      {{u"check", s.pkg, u"--frob", u"1"}, 2},
      {{u"sign", s.pkg}, 2},
      {{u"check", s.pkg}, 0},
      {{u"check", s.dir.Join(u"nothing")}, 1},
  };
  for (const Case& c : cases) {
    std::string out, err;
    PackToolIo io{[&](const std::string& t) { out += t; }, [&](const std::string& t) { err += t; }, nullptr};
    EXPECT_EQ(RunPackTool(c.args, io), c.code)
        << ::testing::PrintToString(zt_test::Utf8(c.args.empty() ? u"" : c.args[0])) << out << err;
  }
}

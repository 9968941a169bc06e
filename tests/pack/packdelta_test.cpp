// ztpack's deltas: build --delta on two generated versions of a game (an
// archive with records changed, inserted and removed, a file unchanged, one
// new, one emptied, the trusted key changed), each delta applied to the old
// file gives the new one; the manifest lines name the right files; check
// finds each kind of damage and tells an installation that is not the
// delta's base apart, with and without the whole file beside it; sign keeps
// the delta lines.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "app/UpdateManifest.h"
#include "file/ztDelta.h"
#include "pack/packbuild.h"
#include "pack/packcheck.h"
#include "pack/packdelta.h"
#include "pack/packfs.h"
#include "pack/packsign.h"
#include "pack/ztpack.h"
#include "tests/common/testutil.h"
#include "tests/pack/packtest.h"

using packtest::At;
using zt_test::ReadFileBytes;
using zt_test::WriteFileBytes;

namespace {

// A record of an archive: bytes that do not compress, its length and
// content fixed by its id.
std::string Record(uint32_t id) {
  std::string r(700 + id % 613, '\0');
  uint32_t x = id * 2654435761u + 12345;
  for (char& c : r) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return r;
}

std::string Archive(const std::vector<uint32_t>& ids) {
  std::string a = "PAK1";
  for (uint32_t id : ids) a += Record(id);
  return a;
}

std::vector<uint32_t> Ids(uint32_t from, uint32_t to) {
  std::vector<uint32_t> ids;
  for (uint32_t i = from; i < to; ++i) ids.push_back(i);
  return ids;
}

// The old archive's records 0..399; the new one has records 50 and 51
// rewritten, ten inserted after 200 and 300 dropped: most of its bytes moved.
std::vector<uint32_t> NewArchiveIds() {
  std::vector<uint32_t> ids = Ids(0, 400);
  ids[50] = 1050;
  ids[51] = 1051;
  ids.erase(ids.begin() + 300);
  std::vector<uint32_t> inserted = Ids(2000, 2010);
  ids.insert(ids.begin() + 201, inserted.begin(), inserted.end());
  return ids;
}

struct Versions {
  std::map<std::string, std::string> oldFiles, newFiles;
};

Versions GameVersions() {
  Versions v;
  v.oldFiles["game.pak"] = Archive(Ids(0, 400));
  v.newFiles["game.pak"] = Archive(NewArchiveIds());
  std::vector<uint32_t> level = Ids(5000, 5100);
  v.oldFiles["maps/Level1.pak"] = Archive(level);
  level[70] = 6070;
  v.newFiles["maps/Level1.pak"] = Archive(level);
  v.oldFiles["same.dat"] = v.newFiles["same.dat"] = Archive(Ids(7000, 7010));
  v.newFiles["added.dat"] = Archive(Ids(8000, 8020));
  v.oldFiles["emptied.bin"] = Archive(Ids(9000, 9030));
  v.newFiles["emptied.bin"] = "";
  // A delta of it would be tiny; the trusted key still travels whole.
  std::vector<uint32_t> key = Ids(9500, 9600);
  v.oldFiles["update.key"] = Archive(key);
  key[3] = 9999;
  v.newFiles["update.key"] = Archive(key);
  v.oldFiles["config/startup.xml"] = "<major>1</major><minor>2</minor>";
  v.newFiles["config/startup.xml"] = "<major>1</major><minor>3</minor>";
  return v;
}

UpdateManifest ReadManifest(const std::u16string& pkg) {
  const std::string text = ReadFileBytes(At(pkg, "update.manifest"));
  UpdateManifest m;
  EXPECT_TRUE(DecodeManifest(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &m)) << text;
  return m;
}

ztSha256Digest Sha(const std::string& bytes) { return ztSha256::Of(bytes.data(), bytes.size()); }

// The delta applied to `base` in memory: the output, or "<result words>".
std::string Apply(const std::string& base, const std::string& delta, ztDeltaHeader* header) {
  std::string out;
  size_t at = 0;
  ztDeltaApplyIo io;
  io.readBase = [&](uint64_t offset, void* data, uint32_t length) {
    if (offset + length > base.size()) return false;
    std::memcpy(data, base.data() + offset, length);
    return true;
  };
  io.readDelta = [&](void* data, uint32_t length) {
    if (at + length > delta.size()) return false;
    std::memcpy(data, delta.data() + at, length);
    at += length;
    return true;
  };
  io.writeOutput = [&](const void* data, uint32_t length) {
    out.append(static_cast<const char*>(data), length);
    return true;
  };
  const int r = ztApplyDelta(io, base.size(), delta.size(), header);
  return r == kDeltaOk ? out : std::string("<") + ztDeltaResultWords(r) + ">";
}

// Every file below `root`, by '/' path.
std::map<std::string, std::string> Tree(const std::u16string& root) {
  std::map<std::string, std::string> files;
  const std::filesystem::path base(zt_test::Utf8(root));
  if (!std::filesystem::exists(base)) return files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(base))
    if (e.is_regular_file())
      files[e.path().lexically_relative(base).generic_string()] = ReadFileBytes(zt_test::U16(e.path().string()));
  return files;
}

class Delta : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = dir_.Join(u"old");
    new_ = dir_.Join(u"new");
    inst_ = dir_.Join(u"inst");
    ASSERT_TRUE(dir_.Write(u"pack.xml", packtest::PackXml(packtest::GoodConfig())));
    ASSERT_TRUE(dir_.Write(u"splash.ra3", packtest::Ra3Picture(40, 20)));
    ASSERT_TRUE(dir_.Write(u"updater.exe", "MZ stand-in"));
    // The installation is the old version, but for a trusted key: the old
    // version's stand-in would be a damaged one.
    for (const auto& f : v_.oldFiles) {
      ASSERT_TRUE(WriteFileBytes(At(old_, f.first), f.second));
      if (f.first != "update.key") {
        ASSERT_TRUE(WriteFileBytes(At(inst_, f.first), f.second));
      }
    }
    for (const auto& f : v_.newFiles) ASSERT_TRUE(WriteFileBytes(At(new_, f.first), f.second));
  }
  BuildOptions Options(const char16_t* out, bool delta, bool fallback) const {
    BuildOptions o;
    o.oldDir = old_;
    o.newDir = new_;
    o.config = dir_.Join(u"pack.xml");
    o.out = dir_.Join(out);
    o.splash = dir_.Join(u"splash.ra3");
    o.updater = dir_.Join(u"updater.exe");
    o.delta = delta;
    o.fallback = fallback;
    o.segment = 64 << 10;
    o.level = 3;
    return o;
  }
  // Builds into `out`; the report.
  PackReport Build(const char16_t* out, bool delta, bool fallback) {
    PackReport report;
    BuildResult result;
    EXPECT_TRUE(BuildPackage(Options(out, delta, fallback), &report, nullptr, &result)) << report.Lines();
    result_ = result;
    return report;
  }
  PackReport Check(const std::u16string& pkg, bool withInstall) {
    PackReport report;
    PackageChecker(pkg, withInstall ? inst_ : u"", &report, nullptr).All();
    return report;
  }

  zt_test::TempDir dir_;
  std::u16string old_, new_, inst_;
  Versions v_ = GameVersions();
  BuildResult result_;
};

}  // namespace

TEST_F(Delta, ChangedFilesTravelAsDeltasThatMakeTheNewVersion) {
  const PackReport report = Build(u"pkg", true, false);
  const std::u16string pkg = dir_.Join(u"pkg");
  const auto deltas = Tree(At(pkg, "delta"));
  const auto data = Tree(At(pkg, "data"));
  // New files, the emptied one (no delta is smaller than nothing) and the
  // trusted key travel whole; a tiny file changed gains nothing either.
  std::vector<std::string> deltaNames, dataNames;
  for (const auto& f : deltas) deltaNames.push_back(f.first);
  for (const auto& f : data) dataNames.push_back(f.first);
  EXPECT_EQ(deltaNames, (std::vector<std::string>{"game.pak", "maps/Level1.pak"}));
  EXPECT_EQ(dataNames, (std::vector<std::string>{"added.dat", "config/startup.xml", "emptied.bin", "update.key"}));
  for (const auto& f : data) EXPECT_EQ(f.second, v_.newFiles.at(f.first)) << f.first;
  EXPECT_FALSE(zt_test::PathExists(At(pkg, "delta.partial")));
  EXPECT_LT(deltas.at("game.pak").size() * 10, v_.newFiles.at("game.pak").size())
      << "the delta should hold little more than the changed and inserted records";

  // Each manifest line names the delta as written, the old file as its
  // base and the new file as what it makes; applied, it makes exactly that.
  const UpdateManifest m = ReadManifest(pkg);
  ASSERT_EQ(m.deltas.size(), 2u);
  const auto now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  const uint64_t nowFileTime = (static_cast<uint64_t>(now) + 11644473600ull) * 10000000ull;
  for (const ManifestDelta& d : m.deltas) {
    std::string name = zt_test::Utf8(d.Target());
    std::replace(name.begin(), name.end(), '\\', '/');
    SCOPED_TRACE(name);
    const std::string& delta = deltas.at(name);
    const std::string &before = v_.oldFiles.at(name), &after = v_.newFiles.at(name);
    EXPECT_EQ(d.size, delta.size());
    EXPECT_EQ(d.sha256, Sha(delta));
    EXPECT_EQ(d.baseSize, before.size());
    EXPECT_EQ(d.baseSha256, Sha(before));
    EXPECT_EQ(d.outputSize, after.size());
    EXPECT_EQ(d.outputSha256, Sha(after));
    ztDeltaHeader header;
    EXPECT_TRUE(Apply(before, delta, &header) == after) << "the delta does not make the new file";
    // 64 KiB segments, as asked.
    EXPECT_EQ(header.segmentCount, (after.size() + 0xFFFF) >> 16);
    // The new file's time, as a Windows file time: written moments ago.
    const uint64_t gap =
        header.writeTime > nowFileTime ? header.writeTime - nowFileTime : nowFileTime - header.writeTime;
    EXPECT_LT(gap, 600ull * 10000000ull) << header.writeTime;
  }
  EXPECT_EQ(result_.deltas, 2u);
  EXPECT_EQ(result_.deltaBytes, deltas.at("game.pak").size() + deltas.at("maps/Level1.pak").size());

  // The report: each delta with its sizes, each change kept whole, a total.
  const std::string pakNote = std::to_string(deltas.at("game.pak").size()) + " bytes; the whole file compressed";
  EXPECT_TRUE(report.Has(Severity::kNote, "delta\\game.pak", pakNote)) << report.Lines();
  EXPECT_TRUE(report.Has(Severity::kNote, "delta\\maps\\Level1.pak", "the whole file compressed")) << report.Lines();
  EXPECT_TRUE(report.Has(Severity::kNote, "data\\emptied.bin", "whole file kept")) << report.Lines();
  EXPECT_TRUE(report.Has(Severity::kNote, "delta", "2 of 5 changed files as deltas")) << report.Lines();
  EXPECT_FALSE(report.Has(Severity::kNote, "data\\update.key")) << "no delta is even tried for the key";
  EXPECT_EQ(report.Errors(), 0u) << report.Lines();

  // The package checks clean, and against an installation of the old
  // version every delta applies.
  const PackReport checked = Check(pkg, true);
  EXPECT_EQ(checked.Errors(), 0u) << checked.Lines();
  EXPECT_TRUE(checked.Has(Severity::kNote, "install " + zt_test::Utf8(inst_), "2 of 2 deltas apply"))
      << checked.Lines();
}

// Without a delta to keep, the package is the one a build without --delta
// makes: the same files, the same manifest.
TEST_F(Delta, NoDeltaKeptMakesThePlainPackage) {
  // Records no delta can find in the old file.
  ASSERT_TRUE(WriteFileBytes(At(new_, "game.pak"), Archive(Ids(20000, 20400))));
  ASSERT_TRUE(WriteFileBytes(At(new_, "maps/Level1.pak"), Archive(Ids(30000, 30100))));
  Build(u"plain", false, false);
  const PackReport report = Build(u"tried", true, false);
  EXPECT_TRUE(report.Has(Severity::kNote, "data\\game.pak", "whole file kept")) << report.Lines();
  EXPECT_EQ(result_.deltas, 0u);
  EXPECT_TRUE(Tree(dir_.Join(u"plain")) == Tree(dir_.Join(u"tried"))) << "the two packages differ";
  EXPECT_FALSE(zt_test::PathExists(At(dir_.Join(u"tried"), "delta")));
}

// Where the installed file is not a delta's base: the whole file when the
// package has it, an error when not; where it is, the delta applies.
TEST_F(Delta, InstalledFileThatIsNotTheBase) {
  Build(u"pkg", true, false);
  Build(u"fallback", true, true);
  const std::u16string pkg = dir_.Join(u"pkg"), fallback = dir_.Join(u"fallback");
  // --fallback ships both, and the whole file is the delta's output.
  for (const char* name : {"game.pak", "maps/Level1.pak"}) {
    EXPECT_TRUE(zt_test::FileExists(At(fallback, std::string("delta/") + name))) << name;
    EXPECT_EQ(ReadFileBytes(At(fallback, std::string("data/") + name)), v_.newFiles.at(name)) << name;
    EXPECT_FALSE(zt_test::PathExists(At(pkg, std::string("data/") + name))) << name;
  }
  struct Case {
    const char* name;
    std::string installed;  // game.pak in the installation
    bool fallback;
    Severity severity;
    std::string words;
  };
  std::string sameSize = v_.oldFiles.at("game.pak");
  sameSize[sameSize.size() / 2] ^= 1;
  const Case cases[] = {
      {"the base, no fallback", v_.oldFiles.at("game.pak"), false, Severity::kNote, ""},
      {"the base, fallback", v_.oldFiles.at("game.pak"), true, Severity::kNote, ""},
      {"another size, no fallback", v_.oldFiles.at("game.pak") + "x", false, Severity::kError,
       "the installed file is not the version this package patches"},
      {"same size, other bytes, no fallback", sameSize, false, Severity::kError,
       "the installed file is not the version this package patches"},
      {"same size, other bytes, fallback", sameSize, true, Severity::kNote, "installs the whole file data\\game.pak"},
      {"already the new version, fallback", v_.newFiles.at("game.pak"), true, Severity::kNote,
       "installs the whole file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteFileBytes(At(inst_, "game.pak"), c.installed));
    const PackReport report = Check(c.fallback ? fallback : pkg, true);
    if (c.words.empty()) {
      EXPECT_EQ(report.Errors(), 0u) << report.Lines();
      EXPECT_TRUE(report.Has(Severity::kNote, "install " + zt_test::Utf8(inst_), "2 of 2 deltas apply"))
          << report.Lines();
      continue;
    }
    EXPECT_TRUE(report.Has(c.severity, "delta\\game.pak", c.words)) << report.Lines();
    EXPECT_EQ(report.Errors(), c.severity == Severity::kError ? 1u : 0u) << report.Lines();
    // The other delta still applies.
    EXPECT_TRUE(report.Has(Severity::kNote, "install " + zt_test::Utf8(inst_), "1 of 2 deltas apply"))
        << report.Lines();
  }
}

TEST_F(Delta, EachFaultOfTheDeltasIsFound) {
  // The manifest rewritten (unsigned) with one line changed.
  auto relist = [](const std::u16string& pkg, const std::function<void(ManifestDelta&)>& change) {
    UpdateManifest m = ReadManifest(pkg);
    change(m.deltas[0]);
    const std::string text = EncodeManifestBody(m);
    ASSERT_TRUE(WriteFileBytes(At(pkg, "update.manifest"), text));
  };
  struct Fault {
    const char* name;
    std::function<void(const std::u16string& pkg, Delta& t)> make;
    bool install;
    std::string where, words;
  };
  const Fault faults[] = {
      {"a delta damaged, same size",
       [](const std::u16string& pkg, Delta&) {
         std::string d = ReadFileBytes(At(pkg, "delta/game.pak"));
         d[d.size() - 3] ^= 0x40;
         ASSERT_TRUE(WriteFileBytes(At(pkg, "delta/game.pak"), d));
       },
       false, "delta\\game.pak", "differ from update.manifest"},
      {"a delta not listed",
       [](const std::u16string& pkg, Delta&) {
         ASSERT_TRUE(WriteFileBytes(At(pkg, "delta/extra.pak"), ReadFileBytes(At(pkg, "delta/game.pak"))));
       },
       false, "delta\\extra.pak", "not listed in update.manifest"},
      {"a listed delta missing",
       [](const std::u16string& pkg, Delta&) { std::filesystem::remove(zt_test::Utf8(At(pkg, "delta/game.pak"))); },
       false, "delta\\game.pak", "listed in update.manifest but not in the package"},
      {"the delta folder gone", [](const std::u16string& pkg, Delta&) { zt_test::RemoveTree(At(pkg, "delta")); }, false,
       "delta\\maps\\Level1.pak", "listed in update.manifest but not in the package"},
      {"deltas without a manifest",
       [](const std::u16string& pkg, Delta&) { std::filesystem::remove(zt_test::Utf8(At(pkg, "update.manifest"))); },
       false, "delta", "no update.manifest"},
      {"a line naming other sizes than the delta's own",
       [&](const std::u16string& pkg, Delta&) { relist(pkg, [](ManifestDelta& d) { d.outputSize += 1; }); }, false,
       "delta\\game.pak", "update.manifest lists"},
#ifndef _WIN32
      // Only a file system without device names can hold such a file.
      {"a delta that installs under a name Windows refuses",
       [&](const std::u16string& pkg, Delta&) {
         std::filesystem::rename(zt_test::Utf8(At(pkg, "delta/game.pak")), zt_test::Utf8(At(pkg, "delta/NUL.pak")));
         relist(pkg, [](ManifestDelta& d) { d.path = u"delta\\NUL.pak"; });
       },
       false, "delta\\NUL.pak", "device name"},
#endif
      {"a line naming another output",
       [&](const std::u16string& pkg, Delta&) { relist(pkg, [](ManifestDelta& d) { d.outputSha256.bytes[0] ^= 1; }); },
       true, "delta\\game.pak", "makes other bytes than update.manifest lists"},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.name);
    const char16_t* out = u"pkg";
    zt_test::RemoveTree(dir_.Join(out));
    Build(out, true, false);
    f.make(dir_.Join(out), *this);
    const PackReport report = Check(dir_.Join(out), f.install);
    EXPECT_TRUE(report.Has(Severity::kError, f.where, f.words)) << report.Lines();
  }
}

TEST_F(Delta, SignKeepsTheDeltaLines) {
  Build(u"pkg", true, true);
  const std::u16string pkg = dir_.Join(u"pkg"), key = dir_.Join(u"author.key");
  const UpdateManifest before = ReadManifest(pkg);
  std::string out, err;
  PackToolIo io{[&](const std::string& t) { out += t; }, [&](const std::string& t) { err += t; }, nullptr};
  ASSERT_EQ(RunPackTool({u"keygen", key}, io), 0) << err;
  ASSERT_EQ(RunPackTool({u"sign", pkg, u"--key", key}, io), 0) << out << err;
  const UpdateManifest after = ReadManifest(pkg);
  EXPECT_TRUE(after.hasSignature);
  ASSERT_EQ(after.deltas.size(), before.deltas.size());
  for (size_t i = 0; i < after.deltas.size(); ++i) {
    const ManifestDelta &a = after.deltas[i], &b = before.deltas[i];
    EXPECT_TRUE(a.path == b.path && a.size == b.size && a.sha256 == b.sha256 && a.baseSize == b.baseSize &&
                a.baseSha256 == b.baseSha256 && a.outputSize == b.outputSize && a.outputSha256 == b.outputSha256)
        << zt_test::Utf8(a.path);
  }
  // An installation that trusts the key takes the signed package.
  ASSERT_TRUE(WriteFileBytes(At(inst_, "update.key"), ReadFileBytes(key + u".pub")));
  out.clear();
  EXPECT_EQ(RunPackTool({u"check", pkg, u"--install", inst_}, io), 0) << out;

  // A delta put in after the build: sign cannot tell its base, a gone one
  // with its whole file beside it is left out.
  ASSERT_TRUE(WriteFileBytes(At(pkg, "delta/late.pak"), "ZTDELTA1"));
  err.clear();
  EXPECT_EQ(RunPackTool({u"sign", pkg, u"--key", key}, io), 1);
  EXPECT_NE(err.find("delta\\late.pak is not in the manifest"), std::string::npos) << err;
  std::filesystem::remove(zt_test::Utf8(At(pkg, "delta/late.pak")));
  std::filesystem::remove(zt_test::Utf8(At(pkg, "delta/game.pak")));
  ASSERT_EQ(RunPackTool({u"sign", pkg, u"--key", key}, io), 0) << err;
  ASSERT_EQ(ReadManifest(pkg).deltas.size(), 1u);
  EXPECT_EQ(ReadManifest(pkg).deltas[0].Target(), u"maps\\Level1.pak");
}

TEST(DeltaOptions, SegmentSizesAndTheCommandLine) {
  struct Size {
    const char* text;
    uint32_t bytes;  // 0: refused
  };
  const Size sizes[] = {{"4K", 4096},
                        {"4096", 4096},
                        {"4095", 0},
                        {"3k", 0},
                        {"64K", 65536},
                        {"64k", 65536},
                        {"1M", 1 << 20},
                        {"32M", 32u << 20},
                        {"32768K", 32u << 20},
                        {"33554432", 32u << 20},
                        {"33554433", 0},
                        {"33M", 0},
                        {"1G", 0},
                        {"", 0},
                        {"K", 0},
                        {"64KB", 0},
                        {"-64K", 0},
                        {" 64K", 0},
                        {"99999999999999999999", 0}};
  for (const Size& s : sizes) {
    uint32_t bytes = 0;
    EXPECT_EQ(ParseSegmentSize(s.text, &bytes), s.bytes != 0) << s.text;
    if (s.bytes) {
      EXPECT_EQ(bytes, s.bytes) << s.text;
    }
  }

  zt_test::TempDir dir;
  const std::vector<std::u16string> base = {u"build",       u"--old",       dir.Join(u"o"),
                                            u"--new",       dir.Join(u"n"), u"--config",
                                            dir.Join(u"p"), u"--out",       dir.Join(u"out")};
  struct Line {
    std::vector<std::u16string> extra;
    const char* words;  // in the error text
  };
  const Line lines[] = {
      {{u"--fallback"}, "--fallback only goes with --delta"},
      {{u"--segment", u"64K"}, "--segment only goes with --delta"},
      {{u"--level", u"3"}, "--level only goes with --delta"},
      {{u"--delta", u"--segment", u"2K"}, "--segment takes"},
      {{u"--delta", u"--level", u"0"}, "--level takes"},
      {{u"--delta", u"--level", u"23"}, "--level takes"},
      {{u"--delta", u"--level", u"x"}, "--level takes"},
  };
  for (const Line& l : lines) {
    std::vector<std::u16string> args = base;
    args.insert(args.end(), l.extra.begin(), l.extra.end());
    std::string out, err;
    PackToolIo io{[&](const std::string& t) { out += t; }, [&](const std::string& t) { err += t; }, nullptr};
    EXPECT_EQ(RunPackTool(args, io), 2) << l.words;
    EXPECT_NE(err.find(l.words), std::string::npos) << err;
  }
}

// The size the whole file is weighed by: streamed in blocks, it comes out
// as zstd's own one-call compression at the same level would, give or take
// the block boundaries; the digest and size are the file's.
TEST(DeltaMeasure, WholeFileCompressedSize) {
  zt_test::TempDir dir;
  const size_t sizes[] = {0, 1, (1u << 20) - 1, 1u << 20, (5u << 19) + 3};
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    std::string bytes;
    for (uint32_t id = 0; bytes.size() < size; ++id) bytes += id % 3 ? Record(id % 50) : Record(id);
    bytes.resize(size);
    ASSERT_TRUE(dir.Write(u"f", bytes));
    uint64_t compressed = 0, read = 0;
    ztSha256Digest digest;
    std::string error;
    ASSERT_TRUE(MeasureWholeFile(dir.Join(u"f"), 3, &compressed, &read, &digest, nullptr, &error)) << error;
    EXPECT_EQ(read, size);
    EXPECT_EQ(digest, Sha(bytes));
    std::vector<char> one(ZSTD_compressBound(size));
    const size_t expected = ZSTD_compress(one.data(), one.size(), bytes.data(), size, 3);
    ASSERT_FALSE(ZSTD_isError(expected));
    EXPECT_GE(compressed + expected / 20 + 16, expected);
    EXPECT_LE(compressed, expected + expected / 20 + 16);
  }
}

// Offsets past 4 GiB reach the bytes there (a sparse file where the system
// makes one).
TEST(DeltaRead, ReadAtBeyondFourGiB) {
  zt_test::TempDir dir;
  const std::u16string path = dir.Join(u"big");
  const uint64_t at = (4ull << 30) + 4093;
  {
    std::ofstream f(zt_test::Utf8(path), std::ios::binary);
    ASSERT_TRUE(f.good());
  }
  std::error_code ec;
  std::filesystem::resize_file(zt_test::Utf8(path), at + 16, ec);
  if (ec) GTEST_SKIP() << "no room for a file past 4 GiB: " << ec.message();
  {
    std::fstream f(zt_test::Utf8(path), std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(at));
    f.write("past four GiB!", 14);
    ASSERT_TRUE(f.good());
  }
  PackReader in;
  ASSERT_TRUE(in.Open(path));
  char buffer[32] = {};
  EXPECT_EQ(in.ReadAt(at - 2, buffer, sizeof buffer), 18);
  EXPECT_EQ(std::string(buffer, 18), std::string("\0\0past four GiB!\0\0", 18));
  EXPECT_EQ(in.ReadAt(1ull << 32, buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), std::string(4, '\0'));
  EXPECT_EQ(in.ReadAt(at + 16, buffer, 4), 0);
  in.Close();
  std::filesystem::remove(zt_test::Utf8(path));
}

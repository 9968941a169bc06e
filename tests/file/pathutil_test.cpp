#include "file/pathutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "file/textutil.h"
#include "tests/common/testutil.h"

using zt_test::TempDir;

TEST(JoinPath, TrailingBackslashRules) {
  char16_t out[ZT_MAX_PATH];
  EXPECT_EQ(JoinPath(out, 2, u"C:\\games\\", u"data"), 13);
  EXPECT_EQ(std::u16string(out), u"C:\\games\\data");
  (void)JoinPath(out, 2, u"C:\\", u"data");
  EXPECT_EQ(std::u16string(out), u"C:\\data");
  (void)JoinPath(out, 1, u"C:\\");
  EXPECT_EQ(std::u16string(out), u"C:");
  (void)JoinPath(out, 3, u"C:\\a", u"b\\", u"c.txt");
  EXPECT_EQ(std::u16string(out), u"C:\\a\\b\\c.txt");
  // Only one trailing backslash of a later part goes.
  (void)JoinPath(out, 2, u"x", u"y\\\\");
  EXPECT_EQ(std::u16string(out), u"x\\y\\");
  EXPECT_EQ(JoinPath(out, 0), 0);
  EXPECT_EQ(std::u16string(out), u"");
}

TEST(JoinPath, ResultThatDoesNotFitIsReported) {
  char16_t out[8];
  EXPECT_EQ(JoinPath(out, 2, u"C:\\abc", u"defgh"), -1);
  EXPECT_EQ(std::u16string(out), u"C:\\abc\\");
  EXPECT_EQ(TextLength(out), 7u);
}

TEST(PathParts, ParentFolder) {
  char16_t out[ZT_MAX_PATH];
  EXPECT_EQ(GetParentFolder(u"C:\\ゲーム\\a.txt", out), 1);
  EXPECT_EQ(std::u16string(out), u"C:\\ゲーム");
  EXPECT_EQ(GetParentFolder(u"a/b/c", out), 1);
  EXPECT_EQ(std::u16string(out), u"a/b");
  EXPECT_EQ(GetParentFolder(u"file.txt", out), 0);
  EXPECT_EQ(std::u16string(out), u"");
  EXPECT_EQ(GetParentFolder(u"\\file.txt", out), 0);
  EXPECT_EQ(GetParentFolder(u"", out), 0);
  EXPECT_EQ(GetParentFolder(nullptr, out), 0);
  char16_t small[4];
  EXPECT_EQ(GetParentFolder(u"abcdef\\x", small), -1);
}

TEST(PathParts, FileNameAndExtension) {
  char16_t out[ZT_MAX_PATH];
  (void)GetFileNamePart(u"C:\\dir\\name.txt", out);
  EXPECT_EQ(std::u16string(out), u"name.txt");
  (void)GetFileNamePart(u"\\name.txt", out);
  EXPECT_EQ(std::u16string(out), u"\\name.txt");
  (void)GetFileNamePart(u"plain", out);
  EXPECT_EQ(std::u16string(out), u"plain");
  EXPECT_EQ(std::u16string(GetExtension(u"a.b\\c")), u"");
  EXPECT_EQ(std::u16string(GetExtension(u"c.tar.gz")), u"gz");
  EXPECT_EQ(std::u16string(GetExtension(u"dir/App.DLL")), u"DLL");
}

TEST(PathParts, ReplaceExtension) {
  char16_t p[16] = u"a.b\\name.txt";
  EXPECT_EQ(ReplaceExtension(p, u"xml"), 1);
  EXPECT_EQ(std::u16string(p), u"a.b\\name.xml");
  char16_t q[16] = u"a.b\\name";
  (void)ReplaceExtension(q, u"xml");
  EXPECT_EQ(std::u16string(q), u"a.b\\name.xml");
  (void)ReplaceExtension(q, nullptr);
  EXPECT_EQ(std::u16string(q), u"a.b\\name");
  char16_t r[9] = u"name.t";
  EXPECT_EQ(ReplaceExtension(r, u"long"), -1);
  EXPECT_EQ(std::u16string(r), u"name.t");
  EXPECT_EQ(ReplaceExtension(nullptr, 0, u"x"), 0);
}

TEST(Folders, CreateFolderTreeBuildsMissingParents) {
  TempDir dir;
  std::u16string deep = dir.Join(u"a") + zt_test::kSep + u"b" + zt_test::kSep + u"c";
  EXPECT_EQ(GetPathKind(deep.c_str()), 0);
  EXPECT_EQ(CreateFolderTree((deep + zt_test::kSep + u"file.txt").c_str(), 1), 1);
  EXPECT_EQ(GetPathKind(deep.c_str()), 2);
  // Already there: still 1, also written with a trailing separator.
  EXPECT_EQ(CreateFolderTree(deep.c_str(), 0), 1);
  EXPECT_EQ(CreateFolderTree((deep + zt_test::kSep).c_str(), 0), 1);
  EXPECT_EQ(ztIsFolder((deep + zt_test::kSep).c_str()), 1);
  EXPECT_EQ(ztIsFile(deep.c_str()), 0);
  EXPECT_EQ(CreateFolderTree(u"C:", 0), 1);
  const std::u16string fresh = dir.Join(u"fresh") + zt_test::kSep;
  EXPECT_EQ(CreateFolderTree(fresh.c_str(), 0), 1);
  EXPECT_EQ(GetPathKind(dir.Join(u"fresh").c_str()), 2);
}

TEST(Folders, FileInTheWayFails) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"blocker", "x"));
  EXPECT_EQ(GetPathKind(dir.Join(u"blocker").c_str()), 1);
  std::u16string below = dir.Join(u"blocker") + zt_test::kSep + u"sub";
  EXPECT_EQ(CreateFolderTree(below.c_str(), 0), 0);
  EXPECT_EQ(CreateFolderTree(dir.Join(u"blocker").c_str(), 0), 0);
  EXPECT_EQ(ztIsFolder(dir.Join(u"blocker").c_str()), 0);
  EXPECT_EQ(ztIsFile(dir.Join(u"blocker").c_str()), 1);
  EXPECT_EQ(ztIsFile(below.c_str()), 0);
  EXPECT_EQ(ztIsFolder(nullptr), 0);
  EXPECT_EQ(ztIsFile(nullptr), 0);
  EXPECT_EQ(GetPathKind(nullptr), 0);
}

TEST(FileVersionText, BothSeparatorsAndLeadingSpaces) {
  uint16_t v[4];
  ParseFileVersionText(u"1, 0, 2, 7", v);
  EXPECT_EQ(v[3], 1);
  EXPECT_EQ(v[2], 0);
  EXPECT_EQ(v[1], 2);
  EXPECT_EQ(v[0], 7);
  ParseFileVersionText(u"1.0.2.7", v);
  EXPECT_EQ(v[3], 1);
  EXPECT_EQ(v[0], 7);
  ParseFileVersionText(u"3.70000.1.2", v);
  EXPECT_EQ(v[2], 70000 & 0xFFFF);
}

TEST(FileVersionText, BadPiecesReadAsZero) {
  uint16_t v[4];
  ParseFileVersionText(u"2.1.0.beta", v);
  EXPECT_EQ(v[3], 2);
  EXPECT_EQ(v[2], 1);
  EXPECT_EQ(v[0], 0);
  std::u16string longPiece = u"1." + std::u16string(80, u'9') + u".3.4";
  ParseFileVersionText(longPiece.c_str(), v);
  EXPECT_EQ(v[3], 1);
  EXPECT_EQ(v[2], 0);
  EXPECT_EQ(v[1], 3);
  ParseFileVersionText(u"7", v);
  EXPECT_EQ(v[3], 0);
  // A missing separator ends the reading.
  ParseFileVersionText(u"5.6", v);
  EXPECT_EQ(v[3], 5);
  EXPECT_EQ(v[2], 0);
}

TEST(FileVersionText, ValuesCompareAsIntegers) {
  ztFileVersion a{}, b{};
  ParseFileVersionText(u"1.2.0.0", a.version);
  ParseFileVersionText(u"1.1.65535.65535", b.version);
  EXPECT_GT(FileVersionValue(a), FileVersionValue(b));
  EXPECT_EQ(FileVersionValue(a), 0x0001000200000000ull);
}

#ifdef _WIN32
#include <windows.h>

namespace {
std::u16string BesideTestProgram(const char16_t* name) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::u16string path(reinterpret_cast<char16_t*>(self));
  return path.substr(0, path.find_last_of(u'\\') + 1) + name;
}
}  // namespace

TEST(VersionResource, ReadsTheStringsOfTheFirstTranslation) {
  ztFileVersion v;
  zt_test::ClearLog();
  ASSERT_EQ(ReadFileVersionInfo(BesideTestProgram(u"zt_versioned.exe").c_str(), &v), 1);
  EXPECT_EQ(std::u16string(v.companyName), u"zt test company");
  EXPECT_EQ(std::u16string(v.fileVersion), u"1, 2, 3, 4");
  EXPECT_EQ(std::u16string(v.productVersion), u"5.6.7.8");
  EXPECT_EQ(std::u16string(v.comments), u"");
  EXPECT_EQ(v.version[3], 1);
  EXPECT_EQ(v.version[2], 2);
  EXPECT_EQ(v.version[1], 3);
  EXPECT_EQ(v.version[0], 4);
  EXPECT_EQ(FileVersionValue(v), 0x0001000200030004ull);
  EXPECT_TRUE(zt_test::LogHas("version : 1, 2, 3, 4"));
}

TEST(VersionResource, ProgramWithoutResourceGivesZeroAndAClearRecord) {
  ztFileVersion v;
  std::memset(&v, 0x55, sizeof v);
  EXPECT_EQ(ReadFileVersionInfo(BesideTestProgram(u"zt_unversioned.exe").c_str(), &v), 0);
  EXPECT_EQ(v.version[3], 0);
  EXPECT_EQ(v.companyName[0], 0);
  EXPECT_EQ(ReadFileVersionInfo(u"C:\\no\\such.exe", &v), 0);
}

TEST(ShellFolders, KindsAnsweredDirectlyAndByTheShell) {
  char16_t out[ZT_MAX_PATH];
  EXPECT_EQ(GetShellFolder(7, out), 1);
  EXPECT_NE(TextLength(out), 0u);
  EXPECT_EQ(GetShellFolder(6, out), 1);
  EXPECT_EQ(GetShellFolder(8, out), 1);
  // The all-users data folder of a Wine prefix.
  EXPECT_NE(FindText(out, u"ProgramData"), -1);
  EXPECT_EQ(GetShellFolder(12, out), 0);
  EXPECT_EQ(GetShellFolder(-1, out), 0);
  char16_t tiny[4];
  EXPECT_EQ(GetShellFolder(7, tiny), 0);
}
#endif

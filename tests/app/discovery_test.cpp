#include "app/discovery.h"

#include <gtest/gtest.h>

#include <string>

#include "file/pathutil.h"
#include "file/ztFile.h"
#include "tests/common/testutil.h"

using zt_test::TempDir;
using zt_test::U16;

namespace {
std::u16string Extract(const std::string& bytes, int* ok = nullptr) {
  char16_t out[ZT_MAX_PATH] = {u'?'};
  int r = ExtractInstallFolder(bytes.c_str(), out, ZT_MAX_PATH);
  if (ok) *ok = r;
  return out;
}
}  // namespace

TEST(Discovery, FolderIsTakenByteForByteBetweenTheFirstTags) {
  int ok = 0;
  EXPECT_EQ(Extract("<x><path>C:\\Games\\Z</path></x>", &ok), u"C:\\Games\\Z");
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(Extract("<path> C:\\A\n</path>"), u" C:\\A\n");
  EXPECT_EQ(Extract("<path>first</path><path>second</path>"), u"first");
  EXPECT_EQ(Extract("<path>\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0</path>"), u"ゲーム");
}

TEST(Discovery, ClosingTagFirstGivesAnEmptyFolderAndSuccess) {
  int ok = 0;
  EXPECT_EQ(Extract("</path>x<path>", &ok), u"");
  EXPECT_EQ(ok, 1);
}

TEST(Discovery, MissingTagsOrZeroByteFail) {
  int ok = 1;
  Extract("<path>C:\\x", &ok);
  EXPECT_EQ(ok, 0);
  std::string withZero = std::string("<path>C:\\x") + '\0' + "</path>";
  char16_t out[ZT_MAX_PATH];
  EXPECT_EQ(ExtractInstallFolder(withZero.data(), out, ZT_MAX_PATH), 0);
}

TEST(Discovery, FolderTooLongForThePathBuffersIsRefused) {
  int ok = 1;
  // 300 characters fit the byte buffer but not 260 UTF-16 units.
  Extract("<path>C:\\" + std::string(300, 'a') + "</path>", &ok);
  EXPECT_EQ(ok, 0);
  // More than the 519-byte work buffer.
  Extract("<path>" + std::string(600, 'a') + "</path>", &ok);
  EXPECT_EQ(ok, 0);
  // 259 units still fit.
  EXPECT_EQ(Extract("<path>" + std::string(259, 'a') + "</path>", &ok).size(), 259u);
  EXPECT_EQ(ok, 1);
}

TEST(InstalledVersion, MajorAndMinorWhereverTheyStand) {
  EXPECT_EQ(ParseInstalledVersion("<v><major>2</major><minor>5</minor></v>"), 0x20005u);
  EXPECT_EQ(ParseInstalledVersion("<minor>1</minor> junk <major>3</major>"), 0x30001u);
  EXPECT_EQ(ParseInstalledVersion("<major>2</major>"), 0x20000u);
  EXPECT_EQ(ParseInstalledVersion("<major>1.0</major><minor>4</minor>"), 4u);
  // The minor is not masked: 65536 reaches into the major bits.
  EXPECT_EQ(ParseInstalledVersion("<major>1</major><minor>65536</minor>"), 0x10000u);
  EXPECT_EQ(ParseInstalledVersion("<major>1</major><minor>131073</minor>"), 0x30001u);
  EXPECT_EQ(ParseInstalledVersion("<major>-1</major>"), 0xFFFF0000u);
  EXPECT_EQ(ParseInstalledVersion("<major>0x10</major><minor> 3</minor>"), 0x100000u);
  EXPECT_EQ(ParseInstalledVersion("</major>7<major>"), 0u);
  EXPECT_EQ(ParseInstalledVersion(("<major>" + std::string(200, '1') + "</major>").c_str()), 0u);
}

TEST(InstalledVersion, ReadFromTheInstallFolder) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(std::u16string(u"config") + zt_test::kSep + u"startup.xml",
                        "<?xml version=\"1.0\"?><ver><major>1</major><minor>2</minor></ver>"));
  EXPECT_EQ(ReadInstalledVersion(dir.Path().c_str()), 0x10002u);
  EXPECT_EQ(ReadInstalledVersion(dir.Join(u"elsewhere").c_str()), 0u);
}

#ifdef _WIN32
TEST(Discovery, FindInstallFolderReadsTheAllUsersDataFolder) {
  char16_t common[ZT_MAX_PATH];
  ASSERT_EQ(GetShellFolder(8, common), 1);
  std::u16string brand = u"ztTestBrand";
  std::u16string folder = std::u16string(common) + u"\\" + brand;
  TempDir install;
  std::string installUtf8 = zt_test::Utf8(install.Path());
  // Write the discovery file through a TempDir-like helper rooted at ProgramData.
  std::u16string file = folder + u"\\MyGame.xml";
  EXPECT_TRUE(CreateFolderTree(file.c_str(), 1));
  {
    ztFile f;
    ASSERT_EQ(f.Open(file.c_str(), ZTFILE_WRITE | ZTFILE_CREATE_ALWAYS), 1);
    std::string content = "<?xml version=\"1.0\"?>\r\n<root><path>" + installUtf8 + "</path></root>\r\n";
    f.Write(content.data(), static_cast<uint32_t>(content.size()));
  }
  char16_t found[ZT_MAX_PATH] = {};
  EXPECT_EQ(FindInstallFolder(brand.c_str(), u"MyGame", found), 1);
  EXPECT_EQ(std::u16string(found), install.Path());
  EXPECT_EQ(FindInstallFolder(brand.c_str(), u"Other", found), 0);
  EXPECT_EQ(std::u16string(found), install.Path());  // left as it was
  ztFile f;
  f.Remove(file.c_str(), 1);
}
#endif

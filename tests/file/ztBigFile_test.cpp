#include "file/ztBigFile.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/common/testutil.h"

using zt_test::Cp932;
using zt_test::TempDir;

namespace {

class BigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ztArchiveWriter w;
    ASSERT_EQ(w.Begin(dir.Join(u"p.zta").c_str()), 1);
    std::string hundred(100, '\0');
    for (int i = 0; i < 100; ++i) hundred[i] = static_cast<char>(i);
    ASSERT_EQ(w.AddMember(u"snd\\a.wav", hundred.data(), 100), 1);
    ASSERT_EQ(w.AddMember(u"b", "bee", 3), 1);
    ASSERT_EQ(w.Finish(), 1);
    ASSERT_EQ(archive.Open(dir.Join(u"p.zta").c_str()), 1);
  }
  TempDir dir;
  ztArchive archive{2};
};

}  // namespace

TEST_F(BigFileTest, OpensMembersForReadingOnly) {
  ztBigFile f(&archive);
  EXPECT_EQ(f.Open(u"b", ZTFILE_WRITE | ZTFILE_CREATE_ALWAYS), 0);
  EXPECT_EQ(f.Open(u"nothing", 257), 0);
  EXPECT_EQ(f.GetSize(), -1);
  EXPECT_EQ(f.Open(u"SND\\A.wav", 257), 1);
  EXPECT_EQ(f.GetSize(), 100);
  EXPECT_EQ(f.GetPosition(), 0);
  ztBigFile none(nullptr);
  EXPECT_EQ(none.Open(u"b", 257), 0);
  EXPECT_EQ(none.GetSize(), -1);
}

TEST_F(BigFileTest, ReadAndSeekGoThroughTheArchive) {
  ztBigFile f(&archive);
  ASSERT_EQ(f.Open(u"snd\\a.wav", 257), 1);
  unsigned char buf[200];
  EXPECT_EQ(f.Read(buf, 10), 10);
  EXPECT_EQ(buf[9], 9);
  EXPECT_EQ(f.GetPosition(), 10);
  EXPECT_EQ(f.Seek(150), 100);
  EXPECT_EQ(f.GetPosition(), 99);
  EXPECT_EQ(f.Read(buf, 200), 1);
  EXPECT_EQ(buf[0], 99);
  EXPECT_EQ(f.Seek(40), 40);
  EXPECT_EQ(f.Read(buf, 200), 60);
  EXPECT_EQ(buf[0], 40);
}

TEST_F(BigFileTest, ReadingWithoutArchiveOrMemberIsLogged) {
  unsigned char buf[4];
  zt_test::ClearLog();
  ztBigFile none(nullptr);
  EXPECT_EQ(none.Read(buf, 4), -1);
  EXPECT_TRUE(zt_test::LogHas(Cp932("ztBigFile : 統合ファイルがオープンされていません")));
  ztBigFile closed(&archive);
  EXPECT_EQ(closed.Read(buf, 4), -1);
  EXPECT_TRUE(zt_test::LogHas(Cp932("ztBigFile : ファイルハンドルが無効です")));
  EXPECT_EQ(closed.Seek(3), 0);
  EXPECT_EQ(closed.GetPosition(), 0);
}

TEST_F(BigFileTest, CloseGivesTheRecordBack) {
  // The archive allows two open members; closing (or destroying) a file
  // must free its record for the next one.
  for (int i = 0; i < 5; ++i) {
    ztBigFile a(&archive), b(&archive);
    ASSERT_EQ(a.Open(u"b", 257), 1);
    ASSERT_EQ(b.Open(u"b", 257), 1);
    EXPECT_EQ(a.Close(), 1);
    EXPECT_EQ(a.Close(), 0);
  }
  ztBigFile c(&archive);
  EXPECT_EQ(c.Open(u"b", 257), 1);
}

TEST_F(BigFileTest, FixedAnswersOfTheFamily) {
  ztBigFile f(&archive);
  ASSERT_EQ(f.Open(u"b", 257), 1);
  EXPECT_EQ(f.Write("x", 1), -1);
  EXPECT_EQ(f.GetName(nullptr), nullptr);
  EXPECT_EQ(f.GetSizeOf(u"b"), -1);
  EXPECT_EQ(f.GetHandle(), -1);
  EXPECT_EQ(f.GetAttributes(u"b"), 128u);
  EXPECT_EQ(f.SetAttributes(u"b", 1), 0);
  EXPECT_EQ(f.Remove(u"b", 1), 0);
  EXPECT_EQ(f.IsFile(u"B"), 1);
  EXPECT_EQ(f.IsFile(u"c"), 0);
}

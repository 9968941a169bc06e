#include "file/ztFile.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/ztHeap.h"
#include "tests/common/testutil.h"

using zt_test::AssertFired;
using zt_test::Cp932;
using zt_test::TempDir;

namespace {
constexpr int32_t kRead = ZTFILE_READ | ZTFILE_OPEN_EXISTING;    // 257
constexpr int32_t kWrite = ZTFILE_WRITE | ZTFILE_CREATE_ALWAYS;  // 1026
}  // namespace

TEST(DiskFile, FlagValuesTheSystemUses) {
  EXPECT_EQ(kRead, 257);
  EXPECT_EQ(kWrite, 1026);
}

TEST(DiskFile, OpeningAMissingFileLeavesItClosed) {
  TempDir dir;
  ztFile f;
  EXPECT_EQ(f.Open(dir.Join(u"none").c_str(), kRead), 0);
  EXPECT_EQ(f.GetHandle(), -1);
  EXPECT_EQ(f.GetPosition(), -1);
  EXPECT_EQ(f.GetSize(), -1);
  EXPECT_EQ(f.Close(), 0);
}

TEST(DiskFile, BrokenPreconditionsStopTheCall) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"a", "abc"));
  ztFile f;
  try {
    (void)f.Open(dir.Join(u"a").c_str(), ZTFILE_OPEN_EXISTING);
    FAIL();
  } catch (const AssertFired& a) {
    EXPECT_EQ(a.text, Cp932(u8"ZTFILE_READ 又は ZTFILE_WRITE を指定してください"));
  }
  ASSERT_EQ(f.Open(dir.Join(u"a").c_str(), kRead), 1);
  try {
    (void)f.Open(dir.Join(u"a").c_str(), kRead);
    FAIL();
  } catch (const AssertFired& a) {
    EXPECT_EQ(a.text, Cp932(u8"既に違うファイルがオープンされています"));
  }
  try {
    f.Write("x", 1);
    FAIL();
  } catch (const AssertFired& a) {
    EXPECT_EQ(a.text, Cp932(u8"書き込みモードでオープンされていません : ") + Cp932(zt_test::Utf8(dir.Join(u"a"))));
  }
  ztFile g;
  EXPECT_THROW((void)g.Open(dir.Join(u"b").c_str(), ZTFILE_READ | ZTFILE_CREATE_ALWAYS), AssertFired);
}

TEST(DiskFile, CreateAlwaysCreatesOrTruncates) {
  TempDir dir;
  ztFile f;
  ASSERT_EQ(f.Open(dir.Join(u"new.bin").c_str(), kWrite), 1);
  EXPECT_EQ(f.Write("hello", 5), 5);
  EXPECT_EQ(f.GetPosition(), 5);
  EXPECT_EQ(f.Close(), 1);
  EXPECT_EQ(dir.Read(u"new.bin"), "hello");
  ASSERT_EQ(f.Open(dir.Join(u"new.bin").c_str(), kWrite), 1);
  EXPECT_EQ(f.GetSize(), 0);
  f.Close();
  EXPECT_EQ(dir.Read(u"new.bin"), "");
}

TEST(DiskFile, DispositionCodesAreCombinedByBits) {
  TempDir dir;
  ztFile f;
  // 0x100 + 0x800 gives 7, which the system refuses.
  EXPECT_EQ(f.Open(dir.Join(u"x").c_str(), ZTFILE_WRITE | ZTFILE_OPEN_EXISTING | ZTFILE_OPEN_ALWAYS), 0);
  // No disposition bit gives 0: refused too.
  EXPECT_EQ(f.Open(dir.Join(u"x").c_str(), ZTFILE_WRITE), 0);
  // 0x200 alone creates a new file once.
  EXPECT_EQ(f.Open(dir.Join(u"x").c_str(), ZTFILE_WRITE | ZTFILE_CREATE_NEW), 1);
  f.Close();
  EXPECT_EQ(f.Open(dir.Join(u"x").c_str(), ZTFILE_WRITE | ZTFILE_CREATE_NEW), 0);
  // 0x800 opens it whether or not it exists.
  EXPECT_EQ(f.Open(dir.Join(u"y").c_str(), ZTFILE_WRITE | ZTFILE_OPEN_ALWAYS), 1);
}

TEST(DiskFile, ReadingPastTheEnd) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"f", "0123456789"));
  ztFile f;
  ASSERT_EQ(f.Open(dir.Join(u"f").c_str(), kRead), 1);
  char buf[32];
  EXPECT_EQ(f.Read(buf, 4), 4);
  EXPECT_EQ(f.Read(buf, 100), 6);
  EXPECT_EQ(std::string(buf, 6), "456789");
  EXPECT_EQ(f.Read(buf, 100), 0);
  EXPECT_EQ(f.GetPosition(), 10);
}

TEST(DiskFile, SeekClampsToTheLastByte) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"f", "0123456789"));
  ASSERT_TRUE(dir.Write(u"empty", ""));
  ztFile f;
  ASSERT_EQ(f.Open(dir.Join(u"f").c_str(), kRead), 1);
  EXPECT_EQ(f.Seek(3), 3);
  EXPECT_EQ(f.Seek(10), 9);
  EXPECT_EQ(f.Seek(1000), 9);
  char c = 0;
  EXPECT_EQ(f.Read(&c, 1), 1);
  EXPECT_EQ(c, '9');
  ztFile e;
  ASSERT_EQ(e.Open(dir.Join(u"empty").c_str(), kRead), 1);
  EXPECT_EQ(e.Seek(0), -1);
}

TEST(DiskFile, ClosedObjectReports) {
  ztFile f;
  zt_test::ClearLog();
  char buf[4];
  EXPECT_EQ(f.Read(buf, 4), -1);
  EXPECT_TRUE(zt_test::LogHas(Cp932(u8"ztFile : ハンドルが無効です")));
  EXPECT_EQ(f.Write(buf, 4), -1);
  EXPECT_EQ(f.Seek(0), -1);
  EXPECT_EQ(f.GetName(nullptr), nullptr);
}

TEST(DiskFile, QueriesAboutOtherPaths) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"f", "12345"));
  ASSERT_TRUE(dir.Write(u"sub/g", "1"));
  ztFile f;
  EXPECT_EQ(f.IsFile(dir.Join(u"f").c_str()), 1);
  EXPECT_EQ(f.IsFile(dir.Join(u"sub").c_str()), 0);
  EXPECT_EQ(f.IsFile(dir.Join(u"none").c_str()), 0);
  EXPECT_EQ(f.GetSizeOf(dir.Join(u"f").c_str()), 5);
  EXPECT_EQ(f.GetSizeOf(dir.Join(u"sub").c_str()), 0);
  EXPECT_EQ(f.GetSizeOf(dir.Join(u"none").c_str()), 0);
  EXPECT_EQ(f.GetAttributes(dir.Join(u"none").c_str()), ZT_ATTR_INVALID);
  EXPECT_NE(f.GetAttributes(dir.Join(u"sub").c_str()) & ZT_ATTR_DIRECTORY, 0u);
  EXPECT_EQ(GetFileSize64(dir.Join(u"f").c_str()), 5u);
  EXPECT_EQ(GetFileSize64(dir.Join(u"sub").c_str()), 0u);
}

TEST(DiskFile, RemoveRespectsProtectiveAttributesUnlessForced) {
  TempDir dir;
  ztFile f;
  ASSERT_TRUE(dir.Write(u"ro", "x"));
  std::u16string ro = dir.Join(u"ro");
  ASSERT_NE(f.SetAttributes(ro.c_str(), ZT_ATTR_READONLY), 0);
  EXPECT_EQ(f.Remove(ro.c_str(), 0), 0);
  EXPECT_EQ(f.IsFile(ro.c_str()), 1);
  EXPECT_NE(f.Remove(ro.c_str(), 1), 0);
  EXPECT_EQ(f.IsFile(ro.c_str()), 0);
#ifdef _WIN32
  for (uint32_t attr : {ZT_ATTR_HIDDEN, ZT_ATTR_SYSTEM}) {
    ASSERT_TRUE(dir.Write(u"h", "x"));
    std::u16string h = dir.Join(u"h");
    ASSERT_NE(f.SetAttributes(h.c_str(), attr), 0);
    EXPECT_EQ(f.Remove(h.c_str(), 0), 0) << attr;
    EXPECT_NE(f.Remove(h.c_str(), 1), 0) << attr;
    EXPECT_EQ(f.IsFile(h.c_str()), 0);
  }
#endif
  ASSERT_TRUE(dir.Write(u"sub/g", "1"));
  EXPECT_EQ(f.Remove(dir.Join(u"sub").c_str(), 0), 0);
  EXPECT_EQ(f.Remove(dir.Join(u"sub").c_str(), 1), 0);
  EXPECT_EQ(f.Remove(dir.Join(u"none").c_str(), 1), 0);
  ASSERT_TRUE(dir.Write(u"plain", "x"));
  EXPECT_NE(f.Remove(dir.Join(u"plain").c_str(), 0), 0);
}

TEST(DiskFile, ReadWholeFileAddsZeroPadding) {
  TempDir dir;
  ASSERT_TRUE(dir.Write(u"f", "abc"));
  uint32_t size = 99;
  auto* bytes = static_cast<char*>(ReadWholeFile(dir.Join(u"f").c_str(), 8, &size));
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::string(bytes, 3), "abc");
  for (int i = 3; i < 11; ++i) EXPECT_EQ(bytes[i], 0);
  ztHeapFree(bytes);
  EXPECT_EQ(ReadWholeFile(dir.Join(u"none").c_str(), 8, &size), nullptr);
  EXPECT_EQ(ReadWholeFile(dir.Join(u"f").c_str(), 0, &size, 2), nullptr);
}

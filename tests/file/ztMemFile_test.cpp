#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "file/ztFile.h"
#include "platform/ztHeap.h"
#include "tests/common/testutil.h"

TEST(MemFile, GrowsByWholeStepsPastWhatIsNeeded) {
  ztMemFile m;
  ASSERT_EQ(m.Create(4096), 1);
  std::vector<char> data(5000, 'a');
  EXPECT_EQ(m.Write(data.data(), 5000), 5000);
  EXPECT_EQ(m.GetSize(), 8192);
  void* buf = nullptr;
  uint32_t used = 0;
  ASSERT_EQ(m.GetBuffer(&buf, &used), 1);
  EXPECT_EQ(used, 5000u);
  // Grown bytes beyond the written ones are zero.
  EXPECT_EQ(static_cast<char*>(buf)[5000], 0);
  EXPECT_EQ(static_cast<char*>(buf)[8191], 0);
  // Exactly filling the capacity still grows (the size must exceed the need).
  ztMemFile n;
  n.Create(16);
  n.Write(data.data(), 16);
  EXPECT_EQ(n.GetSize(), 32);
}

TEST(MemFile, FileWithoutGrowthStepGrowsToFit) {
  ztMemFile m;
  ASSERT_EQ(m.LoadBlock(u"x", "abcd", 4), 1);
  m.Seek(2);
  EXPECT_EQ(m.Write("XYZW", 4), 4);
  EXPECT_EQ(m.GetSize(), 6);
  void* buf = nullptr;
  uint32_t used = 0;
  m.GetBuffer(&buf, &used);
  EXPECT_EQ(std::string(static_cast<char*>(buf), 6), "abXYZW");
}

TEST(MemFile, ReadingAndSeeking) {
  ztMemFile m;
  ASSERT_EQ(m.LoadBlock(nullptr, "0123456789", 10), 1);
  char buf[16];
  EXPECT_EQ(m.Read(buf, 4), 4);
  EXPECT_EQ(m.Read(buf, 100), 6);
  EXPECT_EQ(std::string(buf, 6), "456789");
  // Unlike a disk file, the end gives -1, not 0.
  EXPECT_EQ(m.Read(buf, 1), -1);
  EXPECT_EQ(m.Seek(10), 9);
  EXPECT_EQ(m.Seek(4), 4);
  EXPECT_EQ(m.GetPosition(), 4);
  EXPECT_EQ(m.LoadBlock(nullptr, "x", 1), 0);  // already holds a buffer
}

TEST(MemFile, EmptyObjectReports) {
  ztMemFile m;
  zt_test::ClearLog();
  char buf[4];
  EXPECT_EQ(m.Read(buf, 4), -1);
  EXPECT_EQ(m.Write(buf, 4), -1);
  EXPECT_TRUE(zt_test::LogHas(zt_test::Cp932(u8"ztMemFile : ファイルがオープンされていません")));
  EXPECT_EQ(m.GetSize(), -1);
  EXPECT_EQ(m.Seek(0), -1);
  EXPECT_EQ(m.Close(), 0);
  EXPECT_EQ(m.GetBuffer(nullptr, nullptr), 0);
  EXPECT_EQ(m.Open(nullptr, 0), 1);
  EXPECT_EQ(m.GetAttributes(u"x"), 0u);
}

TEST(MemFile, BorrowedBufferIsNotFreedByTheBorrower) {
  long live = ztHeapLiveBlocks();
  ztMemFile owner;
  ASSERT_EQ(owner.LoadBlock(u"n", "shared", 6), 1);
  {
    ztMemFile borrower;
    ASSERT_EQ(borrower.Borrow(&owner), 1);
    char buf[6];
    EXPECT_EQ(borrower.Read(buf, 6), 6);
    EXPECT_EQ(borrower.Close(), 1);
  }
  EXPECT_EQ(ztHeapLiveBlocks(), live + 1);
  char buf[6];
  EXPECT_EQ(owner.Read(buf, 6), 6);
  EXPECT_EQ(std::string(buf, 6), "shared");
  owner.Close();
  EXPECT_EQ(ztHeapLiveBlocks(), live);
}

TEST(MemFile, LoadFromReadsTheSourceFromItsPosition) {
  ztMemFile src;
  src.LoadBlock(nullptr, "0123456789", 10);
  src.Seek(4);
  ztMemFile copy;
  ASSERT_EQ(copy.LoadFrom(&src), 1);
  // GetSize asks for 10 bytes; from position 4 only 6 remain.
  EXPECT_EQ(copy.GetSize(), 6);
  char buf[6];
  EXPECT_EQ(copy.Read(buf, 6), 6);
  EXPECT_EQ(std::string(buf, 6), "456789");
  EXPECT_EQ(copy.LoadFrom(nullptr), 0);
}

// The copy engine's pieces without system calls: block arithmetic, the
// user's texts and the temporary names. Both builds (the engine itself is
// tested in ztFileCopier_test.cpp, Windows build).
#include <gtest/gtest.h>

#include <string>

#include "file/ztFileCopier.h"
#include "tests/common/testutil.h"

using zt_test::U16;

// ---- block arithmetic --------------------------------------------------------

TEST(CopierBlocks, BlockIsTheSmallestSectorMultipleAboveOneMebibyte) {
  EXPECT_EQ(ztCopyBlockSize(512), 1049088u);
  EXPECT_EQ(ztCopyBlockSize(4096), 1052672u);
  EXPECT_EQ(ztCopyBlockSize(1), 0x100001u);
  EXPECT_EQ(ztCopyBlockSize(0x10000), 0x110000u);
  // Buffered reading (no sector size) uses 2 MiB blocks.
  EXPECT_EQ(ztCopyBlockSize(0), 0x200000u);
}

TEST(CopierBlocks, SectorSizesUnfitForUnbufferedReadingAreRefused) {
  EXPECT_EQ(ztCopyBlockSize(3), 0u);
  EXPECT_EQ(ztCopyBlockSize(1536), 0u);
  EXPECT_EQ(ztCopyBlockSize(0x20000), 0u);
  EXPECT_EQ(ztCopyBlockSize(0x80000000u), 0u);
}

TEST(CopierBlocks, LastBlockIsAskedInWholeSectorsButKeepsItsTrueLength) {
  uint32_t length = 0, request = 0;
  ASSERT_EQ(ztCopyNextBlock(1049088 + 3, 1049088, 1049088, 512, &length, &request), 1);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(request, 512u);
  ASSERT_EQ(ztCopyNextBlock(4096, 0, 1052672, 4096, &length, &request), 1);
  EXPECT_EQ(length, 4096u);
  EXPECT_EQ(request, 4096u);
  ASSERT_EQ(ztCopyNextBlock(4097, 0, 1052672, 4096, &length, &request), 1);
  EXPECT_EQ(length, 4097u);
  EXPECT_EQ(request, 8192u);
  // Buffered: the request is the length.
  ASSERT_EQ(ztCopyNextBlock(511, 0, 0x200000, 0, &length, &request), 1);
  EXPECT_EQ(length, 511u);
  EXPECT_EQ(request, 511u);
  // A full block.
  ASSERT_EQ(ztCopyNextBlock(5u << 20, 0, 1049088, 512, &length, &request), 1);
  EXPECT_EQ(length, 1049088u);
  EXPECT_EQ(request, 1049088u);
}

TEST(CopierBlocks, NothingLeftGivesNoBlock) {
  uint32_t length = 7, request = 7;
  EXPECT_EQ(ztCopyNextBlock(0, 0, 1049088, 512, &length, &request), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(request, 0u);
  EXPECT_EQ(ztCopyNextBlock(100, 100, 1049088, 512, &length, &request), 0);
  EXPECT_EQ(ztCopyNextBlock(100, 200, 1049088, 512, &length, &request), 0);
  // A buffer of no bytes can never make progress.
  EXPECT_EQ(ztCopyNextBlock(100, 0, 0, 0, &length, &request), 0);
}

TEST(CopierBlocks, FilesOf4GiBAndMoreAreReadWhole) {
  const uint64_t k4G = 0x100000000ull;
  uint32_t length = 0, request = 0;
  // The low 32 bits of size and position would say 3 bytes are left here.
  ASSERT_EQ(ztCopyNextBlock(k4G + 3, 0, 1049088, 512, &length, &request), 1);
  EXPECT_EQ(length, 1049088u);
  ASSERT_EQ(ztCopyNextBlock(k4G + 3, k4G, 1049088, 512, &length, &request), 1);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(request, 512u);
  ASSERT_EQ(ztCopyNextBlock(6 * k4G, 5 * k4G + 1, 0x200000, 0, &length, &request), 1);
  EXPECT_EQ(length, 0x200000u);
  ASSERT_EQ(ztCopyNextBlock(6 * k4G, 6 * k4G - 10, 0x200000, 0, &length, &request), 1);
  EXPECT_EQ(length, 10u);
  // Walking a 4 GiB + 3 file block by block ends exactly at its size.
  uint64_t position = 0, blocks = 0;
  while (ztCopyNextBlock(k4G + 3, position, 1052672, 4096, &length, &request)) {
    position += length;
    ++blocks;
  }
  EXPECT_EQ(position, k4G + 3);
  EXPECT_EQ(blocks, (k4G + 3 + 1052671) / 1052672);
}

// ---- texts ---------------------------------------------------------------------

TEST(CopierTexts, TheKeyNeverReachesTheUser) {
  char16_t out[512];
  int n = ztFormatCopyMessage(out, 512, U16("$1010-0171$フォルダ [%s] が作成出来ません").c_str(), u"C:\\a\\b");
  const std::u16string shown = U16("フォルダ [C:\\a\\b] が作成出来ません");
  EXPECT_EQ(std::u16string(out), shown);
  EXPECT_EQ(n, static_cast<int>(shown.size()));
  // No key: the template is the text.
  ztFormatCopyMessage(out, 512, u"plain %s text", u"x");
  EXPECT_EQ(std::u16string(out), u"plain x text");
  // Only the first %s takes the argument.
  ztFormatCopyMessage(out, 512, u"$k$%s and %s", u"x");
  EXPECT_EQ(std::u16string(out), u"x and %s");
}

TEST(CopierTexts, LongTextsAreCutToTheirBuffer) {
  char16_t out[8];
  EXPECT_EQ(ztFormatCopyMessage(out, 8, u"$key$[%s]", u"abcdefgh"), -1);
  EXPECT_EQ(std::u16string(out), u"[abcdef");
  // A surrogate pair is never split.
  char16_t small[4];
  EXPECT_EQ(ztFormatCopyMessage(small, 4, u"ab\U0001F600", nullptr), -1);
  EXPECT_EQ(std::u16string(small), u"ab");
}

TEST(CopierTexts, TemporaryNamesCarryTheProcessId) {
  char16_t name[32];
  ASSERT_EQ(ztCopyTempName(name, 32, 0x1A2B, 0x12345), 1);
  EXPECT_EQ(std::u16string(name), u"~ztcp-00001A2B-2345.tmp");
  uint32_t pid = 0;
  ASSERT_EQ(ztParseCopyTempName(name, &pid), 1);
  EXPECT_EQ(pid, 0x1A2Bu);
  EXPECT_EQ(ztParseCopyTempName(u"~ztcp-00001a2b-0001.TMP", &pid), 1);
  EXPECT_EQ(ztParseCopyTempName(u"~ztcp-00001A2B-0001.tmp.txt", &pid), 0);
  EXPECT_EQ(ztParseCopyTempName(u"~ztcp-0000XA2B-0001.tmp", &pid), 0);
  EXPECT_EQ(ztParseCopyTempName(u"~ztcp-00001A2B_0001.tmp", &pid), 0);
  EXPECT_EQ(ztParseCopyTempName(u"data.tmp", &pid), 0);
  EXPECT_EQ(ztCopyTempName(name, 23, 1, 1), 0);
}

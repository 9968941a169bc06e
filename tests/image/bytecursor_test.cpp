#include "platform/ztBytes.h"

#include <gtest/gtest.h>

TEST(ByteCursor, ReadsBothByteOrders) {
  const uint8_t d[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  ztByteCursor c(d, 6);
  EXPECT_EQ(c.U16LE(), 0x0201);
  EXPECT_EQ(c.U32BE(), 0x03040506u);
  EXPECT_TRUE(c.Ok());
  EXPECT_EQ(c.Left(), 0u);
}

TEST(ByteCursor, AFailedReadIsStickyYieldsZeroAndDoesNotMove) {
  const uint8_t d[] = {0xAA, 0xBB, 0xCC};
  ztByteCursor c(d, 3);
  c.Skip(1);
  EXPECT_EQ(c.U32LE(), 0u);
  EXPECT_FALSE(c.Ok());
  EXPECT_EQ(c.Pos(), 1u);
  EXPECT_EQ(c.U8(), 0xBB);  // later reads still work...
  EXPECT_FALSE(c.Ok());     // ...but the failure stays
}

TEST(ByteCursor, HugeCountsCannotWrap) {
  const uint8_t d[] = {1, 2, 3, 4};
  ztByteCursor c(d, 4);
  c.Skip(2);
  EXPECT_EQ(c.Take(0xFFFFFFFFu), nullptr);
  EXPECT_FALSE(c.Skip(0xFFFFFFFEu));
  EXPECT_FALSE(c.Seek(5));
  ztByteCursor n(nullptr, 100);
  EXPECT_EQ(n.Left(), 0u);
}

#include "image/ztMemBlock.h"

#include <gtest/gtest.h>

#include "platform/ztHeap.h"

TEST(MemBlock, ConstructionIsEmptyWithUnitOne) {
  ztMemBlock b;
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.size, 0u);
  EXPECT_EQ(b.capacity, 0u);
  EXPECT_EQ(b.unit, 1u);
  EXPECT_EQ(b.borrowed, 0);
}

TEST(MemBlock, AllocateRoundsUpTo8AndOwnsTheData) {
  long before = ztHeapLiveBlocks();
  {
    ztMemBlock b;
    ASSERT_NE(b.Allocate(13), nullptr);
    EXPECT_EQ(b.size, 16u);
    EXPECT_EQ(b.capacity, 16u);
    EXPECT_EQ(b.borrowed, 0);
    ASSERT_NE(b.Allocate(16), nullptr);  // the first block is freed
    EXPECT_EQ(b.size, 16u);
    EXPECT_EQ(ztHeapLiveBlocks(), before + 1);
  }
  EXPECT_EQ(ztHeapLiveBlocks(), before);
}

TEST(MemBlock, AllocateRefusesSizesThatWouldWrap) {
  ztMemBlock b;
  EXPECT_EQ(b.Allocate(0xFFFFFFFCu), nullptr);
  EXPECT_EQ(b.size, 0u);
}

TEST(MemBlock, BorrowedDataIsNeverFreed) {
  static uint8_t bytes[4] = {1, 2, 3, 4};
  long before = ztHeapLiveBlocks();
  {
    ztMemBlock b(bytes, 4);
    EXPECT_EQ(b.borrowed, 1);
    EXPECT_EQ(b.size, 4u);
    b.Clear();
    EXPECT_EQ(b.data, nullptr);
  }
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(ztHeapLiveBlocks(), before);
}

TEST(MemBlock, AdoptTakesOwnership) {
  long before = ztHeapLiveBlocks();
  {
    ztMemBlock b;
    auto* p = static_cast<uint8_t*>(ztHeapAlloc(0, 100));
    b.Adopt(p, 42, 100);
    EXPECT_EQ(b.size, 42u);
    EXPECT_EQ(b.capacity, 100u);
    EXPECT_EQ(b.borrowed, 0);
  }
  EXPECT_EQ(ztHeapLiveBlocks(), before);
}

#include "platform/ztHeap.h"

#include <gtest/gtest.h>

#include "tests/common/testutil.h"

using zt_test::Cp932;

TEST(Heap, SecondCreateKeepsTheFirstHeap) {
  // test_main created the heap already.
  void* a = ztHeapAlloc(0, 16);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(ztHeapCreate(0x1000), 0);
  EXPECT_TRUE(ztHeapExists());
  // The block from the first heap is still usable and returns normally.
  static_cast<char*>(a)[15] = 'x';
  EXPECT_EQ(ztHeapFree(a), 1);
}

TEST(Heap, CountWordPrecedesTheBlock) {
  void* a = ztHeapAlloc(0, 0);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(static_cast<int32_t*>(a)[-1], 1);
  EXPECT_EQ(ztHeapRefCount(a), 1);
  EXPECT_EQ(ztHeapFree(a), 1);
}

TEST(Heap, SharedBlockLivesUntilTheLastHolderFrees) {
  long live = ztHeapLiveBlocks();
  void* a = ztHeapAlloc(0, 100);
  EXPECT_EQ(ztHeapLiveBlocks(), live + 1);
  EXPECT_EQ(ztHeapAddRef(a), 2);
  EXPECT_EQ(ztHeapAddRef(a), 3);
  EXPECT_EQ(ztHeapFree(a), 2);
  EXPECT_EQ(ztHeapFree(a), 1);
  EXPECT_EQ(ztHeapLiveBlocks(), live + 1);
  EXPECT_EQ(ztHeapFree(a), 1);
  EXPECT_EQ(ztHeapLiveBlocks(), live);
}

TEST(Heap, FreeOfNullIsZero) { EXPECT_EQ(ztHeapFree(nullptr), 0); }

TEST(Heap, SizeThatCannotCarryTheCountFailsWithMessage) {
  zt_test::ClearLog();
  EXPECT_EQ(ztHeapAlloc(7, 0xFFFFFFFFu), nullptr);
  // bytes + 4 wraps to 3 in the message, as the 32-bit sum does.
  EXPECT_TRUE(zt_test::LogHas(Cp932(u8"メモリが確保出来ませんでした  id = 7  size = 3(0x3)")));
}

TEST(Heap, RequestsNearFourGibibytesFailInA32BitProcess) {
  // With 32-bit sizes the heap's own bookkeeping would wrap such a request
  // to a few bytes; a 64-bit process may really get the memory.
  if (sizeof(void*) != 4) GTEST_SKIP() << "64-bit process";
  for (uint32_t n : {0xFFFFFFF0u, 0xFFFFFFF4u, 0xFFFFFFFBu}) EXPECT_EQ(ztHeapAlloc(0, n), nullptr) << n;
}

TEST(Heap, AlignedForAnyScalarAndVectorData) {
  for (uint32_t n : {1u, 8u, 13u, 4096u}) {
    void* a = ztHeapAlloc(0, n);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u) << n;
    ztHeapFree(a);
  }
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZT_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZT_TEST_ASAN 1
#endif
#ifdef ZT_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

// In the sanitizer build a block must end exactly where the caller's bytes
// end, so that writing one byte too many is reported rather than landing in
// rounding slack.
TEST(Heap, BlocksEndWhereTheCallersBytesEnd) {
#ifdef ZT_TEST_ASAN
  for (uint32_t size = 1; size <= 40; ++size) {
    auto* a = static_cast<char*>(ztHeapAlloc(0, size));
    ASSERT_NE(a, nullptr);
    EXPECT_FALSE(__asan_address_is_poisoned(a + size - 1)) << size;
    EXPECT_TRUE(__asan_address_is_poisoned(a + size)) << size;
    ztHeapFree(a);
  }
#else
  GTEST_SKIP() << "needs AddressSanitizer";
#endif
}

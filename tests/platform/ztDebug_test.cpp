#include "platform/ztDebug.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/common/testutil.h"

TEST(DebugLog, FormatsAndCutsAtFiveHundredCharacters) {
  zt_test::ClearLog();
  DebugLog("n=%d s=%s", 42, "abc");
  ASSERT_EQ(zt_test::LogLines().size(), 1u);
  EXPECT_EQ(zt_test::LogLines()[0], "n=42 s=abc");
  std::string longText(700, 'x');
  DebugLog("%s", longText.c_str());
  EXPECT_EQ(zt_test::LogLines()[1].size(), 500u);
}

TEST(DebugLog, WideTextArrivesAsCodePage932) {
  zt_test::ClearLog();
  DebugLogW(u"%s : %d", u"ファイル", 5);
  ASSERT_EQ(zt_test::LogLines().size(), 1u);
  EXPECT_EQ(zt_test::LogLines()[0], zt_test::Cp932(u8"ファイル : 5"));
  DebugLogW(u"%d %u %x %c%%", -1, 4000000000u, 0xBEEFu, u'Z');
  ASSERT_EQ(zt_test::LogLines().size(), 2u);
  EXPECT_EQ(zt_test::LogLines()[1], "-1 4000000000 beef Z%");
}

TEST(AssertBox, StopsTheCallerWithItsText) {
  try {
    AssertBox("broken %s", "precondition");
    FAIL() << "AssertBox returned";
  } catch (const zt_test::AssertFired& a) {
    EXPECT_EQ(a.text, "broken precondition");
  }
}

TEST(DebugLog, ShutdownWithoutReceiverReturnsZero) { EXPECT_EQ(ShutdownDebugLog(), 0); }

#include "app/VersionGate.h"

#include <gtest/gtest.h>

TEST(RequiredVersion, MajorInTheUpperHalfMinorBelow) {
  EXPECT_EQ(RequiredVersion(u"1", u"5"), 0x00010005u);
  EXPECT_EQ(RequiredVersion(u"0x10", u"0"), 0x00100000u);
  EXPECT_EQ(RequiredVersion(u"2", u""), 0x00020000u);
}

TEST(RequiredVersion, EmptyDottedOrUnparsableTextsCountAsZero) {
  EXPECT_EQ(RequiredVersion(u"", u""), 0u);
  EXPECT_EQ(RequiredVersion(nullptr, nullptr), 0u);
  EXPECT_EQ(RequiredVersion(u"1.0", u"3"), 3u);  // "1.0" reads as 0
  EXPECT_EQ(RequiredVersion(u" 1", u"x"), 0u);
}

TEST(RequiredVersion, MinorIsNotMaskedAndSpillsIntoTheMajor) {
  EXPECT_EQ(RequiredVersion(u"0", u"65536"), 0x00010000u);
  EXPECT_EQ(RequiredVersion(u"1", u"65537"), 0x00010001u);
  EXPECT_EQ(RequiredVersion(u"0", u"131071"), 0x0001FFFFu);
}

TEST(RequiredVersion, NegativeAndHugePartsWrapAt32Bits) {
  EXPECT_EQ(RequiredVersion(u"0", u"-1"), 0xFFFFFFFFu);
  EXPECT_EQ(RequiredVersion(u"-1", u"0"), 0xFFFF0000u);
  EXPECT_EQ(RequiredVersion(u"65536", u"7"), 7u);  // the major's bit 16 leaves the word
}

TEST(VersionAccepted, EqualPassesAndComparisonIsUnsigned) {
  EXPECT_EQ(VersionAccepted(0x00010005, 0x00010005), 1);
  EXPECT_EQ(VersionAccepted(0x00010004, 0x00010005), 0);
  EXPECT_EQ(VersionAccepted(0x00020000, 0x00010005), 1);
  // A required version with the top bit set is above every ordinary one.
  EXPECT_EQ(VersionAccepted(0x7FFFFFFF, 0x80000000u), 0);
  EXPECT_EQ(VersionAccepted(0x80000000u, 0x7FFFFFFF), 1);
  EXPECT_EQ(VersionAccepted(0, 0), 1);
}

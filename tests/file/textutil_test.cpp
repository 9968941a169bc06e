#include "file/textutil.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/common/testutil.h"

using zt_test::U16;

TEST(Numbers, ParseVersionNumberReadsSignsBasesAndRejectsDots) {
  EXPECT_EQ(ParseVersionNumber(u"12"), 12);
  EXPECT_EQ(ParseVersionNumber(u"12ab"), 12);
  EXPECT_EQ(ParseVersionNumber(u"-0x1F"), -31);
  EXPECT_EQ(ParseVersionNumber(u"+7"), 7);
  EXPECT_EQ(ParseVersionNumber(u"1.5"), 0);
  EXPECT_EQ(ParseVersionNumber(u" 7"), 0);
  EXPECT_EQ(ParseVersionNumber(u"0x"), 0);
  EXPECT_EQ(ParseVersionNumber(u""), 0);
  EXPECT_EQ(ParseVersionNumber(nullptr), 0);
  EXPECT_EQ(ParseVersionNumber(u"0xFFFFFFFF"), -1);
  // Wraps at 32 bits instead of saturating.
  EXPECT_EQ(ParseVersionNumber(u"4294967297"), 1);
  EXPECT_EQ(ParseNumberA("65536"), 65536);
  EXPECT_EQ(ParseNumberA("-x"), 0);
}

TEST(Numbers, ScanNumberReportsWhereTheNumberEnds) {
  int end = -1;
  int32_t v = 0;
  EXPECT_EQ(ScanNumber(u"123, 4", &end, &v), 1);
  EXPECT_EQ(end, 3);
  EXPECT_EQ(v, 123);
  EXPECT_EQ(ScanNumberA("0x1fz", &end, &v), 1);
  EXPECT_EQ(end, 4);
  EXPECT_EQ(v, 31);
  EXPECT_EQ(ScanNumber(u"3.1", &end, &v), 0);
  EXPECT_EQ(ScanNumber(u"beta", &end, &v), 0);
}

TEST(Search, FindTextEdges) {
  EXPECT_EQ(FindText(u"abc", u"c"), 2);
  EXPECT_EQ(FindText(u"abc", u""), 0);
  EXPECT_EQ(FindText(u"", u"a"), -1);
  EXPECT_EQ(FindText(u"", u""), -1);
  EXPECT_EQ(FindText(nullptr, u"a"), -1);
  EXPECT_EQ(FindTextA("aab", "ab"), 1);
  EXPECT_EQ(FindTextA("a\0<path>", "<path>"), -1);
}

TEST(Search, ReplaceTextLeftToRightWithoutOverlap) {
  char16_t out[64];
  EXPECT_EQ(ReplaceText(out, u"aaa", u"aa", u"b"), 2);
  EXPECT_EQ(std::u16string(out), u"ba");
  (void)ReplaceText(out, u"a\\nb\\n", u"\\n", u"\r\n");
  EXPECT_EQ(std::u16string(out), u"a\r\nb\r\n");
  // An empty pattern leaves the text as it is.
  EXPECT_EQ(ReplaceText(out, u"abc", u"", u"x"), 3);
  EXPECT_EQ(std::u16string(out), u"abc");
}

TEST(Search, ReplaceTextCutsToTheBufferAndSaysSo) {
  char16_t out[5];
  EXPECT_EQ(ReplaceText(out, 5, u"abcdef", u"b", u"XY"), -1);
  EXPECT_EQ(std::u16string(out), u"aXYc");
  // A surrogate pair that does not fit whole is left out whole.
  char16_t small[4];
  EXPECT_EQ(ReplaceText(small, 4, u"ab\U0001F600", u"z", u"y"), -1);
  EXPECT_EQ(std::u16string(small), u"ab");
}

TEST(Search, CaseChangeTouchesOnlyAsciiLetters) {
  char16_t t[] = u"Ab\u00C0z\u0101";
  EXPECT_EQ(ToUpperPath(t), 5);
  EXPECT_EQ(std::u16string(t), u"AB\u00C0Z\u0101");
  EXPECT_EQ(ToLowerPath(t), 5);
  EXPECT_EQ(std::u16string(t), u"ab\u00C0z\u0101");
}

TEST(Lines, ReadTextLineCountsLineEnds) {
  char line[16];
  EXPECT_EQ(ReadTextLine("ab\r\ncd", line), 4);
  EXPECT_STREQ(line, "ab");
  EXPECT_EQ(ReadTextLine("ab\ncd", line), 3);
  EXPECT_EQ(ReadTextLine("a\rb\n", line), 4);
  EXPECT_STREQ(line, "a\rb");
  EXPECT_EQ(ReadTextLine("tail", line), 4);
  EXPECT_STREQ(line, "tail");
  EXPECT_EQ(ReadTextLine("", line), 0);
  EXPECT_EQ(ReadTextLine("\r\n", line), 2);
  EXPECT_STREQ(line, "");
}

TEST(Lines, LongLineIsCutAtAWholeCharacterButFullyConsumed) {
  char line[6];  // 4 bytes of text + two zero bytes
  // "aaaé" is 5 bytes; the é (2 bytes) does not fit whole after "aaa".
  EXPECT_EQ(ReadTextLine("aaa\xC3\xA9zz\r\nnext", line), 9);
  EXPECT_STREQ(line, "aaa");
  EXPECT_EQ(line[4], 0);
}

TEST(Utf, SequenceLengths) {
  EXPECT_EQ(Utf8SequenceLength("a"), 1);
  EXPECT_EQ(Utf8SequenceLength("\xC3\xA9"), 2);
  EXPECT_EQ(Utf8SequenceLength("\xC3z"), 2);  // second byte not tested
  EXPECT_EQ(Utf8SequenceLength("\xE3\x81\x82"), 3);
  EXPECT_EQ(Utf8SequenceLength("\xE3z\x82"), -3);
  EXPECT_EQ(Utf8SequenceLength("\xE3\x81z"), 3);  // last byte not tested
  EXPECT_EQ(Utf8SequenceLength("\xF0\x9F\x98\x80"), 4);
  EXPECT_EQ(Utf8SequenceLength("\x80"), -2);
  EXPECT_EQ(Utf8SequenceLength("\xBF"), -2);
  EXPECT_EQ(Utf8SequenceLength("\xFC"), 1);
  EXPECT_EQ(Utf8SequenceLength("\xFF"), 1);
}

TEST(Utf, FFFFAndSupplementaryCharactersRoundTrip) {
  const char16_t text[] = u"a\uFFFFb\U0001F600\u3042";
  char utf8[32];
  ASSERT_GT(ToUtf8(text, utf8), 0);
  EXPECT_EQ(std::string(utf8), std::string("a\xFF\xFF"
                                           "b\xF0\x9F\x98\x80\xE3\x81\x82"));
  char16_t back[32];
  ASSERT_GT(FromUtf8(utf8, back), 0);
  EXPECT_EQ(std::u16string(back), std::u16string(text));
}

TEST(Utf, LoneSurrogateBecomesReplacementCharacter) {
  const char16_t text[] = {u'a', 0xD800, u'b', 0};
  char utf8[16];
  (void)ToUtf8(text, utf8);
  EXPECT_EQ(std::string(utf8),
            "a\xEF\xBF\xBD"
            "b");
}

TEST(Utf, FromUtf8StopsAtBytesThatCannotStartACharacter) {
  char16_t out[8] = {u'x'};
  EXPECT_EQ(FromUtf8("\x80"
                     "abc",
                     out),
            0);
  EXPECT_EQ(out[0], 0);
  (void)FromUtf8(
      "ab\xE3z\x82"
      "cd",
      out);
  EXPECT_EQ(std::u16string(out), u"ab");
}

TEST(Utf, FromUtf8NeverStepsOverTheTerminator) {
  // A two-byte lead right before the end: the terminator is not a trail byte.
  char text[] = {'a', static_cast<char>(0xC3), 0, 'Z', 'Z', 0};
  char16_t out[8];
  (void)FromUtf8(text, out);
  EXPECT_EQ(std::u16string(out), u"a");
}

TEST(Utf, MalformedSequencesGiveReplacementCharacter) {
  char16_t out[8];
  (void)FromUtf8(
      "\xC0\x80"
      "a",
      out);  // overlong NUL
  EXPECT_EQ(std::u16string(out), u"\uFFFDa");
  (void)FromUtf8("\xC3z", out);  // two-byte lead with a bad trail: both bytes go
  EXPECT_EQ(std::u16string(out), u"\uFFFD");
}

TEST(Utf, ConversionsCutAtWholeCharacters) {
  char small[5];
  EXPECT_EQ(ToUtf8(u"ab\u3042", small), -1);
  EXPECT_STREQ(small, "ab");
  char16_t wide[3];
  EXPECT_EQ(FromUtf8("a\xF0\x9F\x98\x80", wide), -1);
  EXPECT_EQ(std::u16string(wide), u"a");
  // A cut right after a whole surrogate pair keeps the pair.
  char16_t four[4];
  EXPECT_EQ(CopyText(four, 4, u"a\U0001F600b"), -1);
  EXPECT_EQ(std::u16string(four), u"a\U0001F600");
}

TEST(Utf, CopyUtf8Char) {
  char out[8];
  EXPECT_EQ(CopyUtf8Char("\xE3\x81\x82xyz", out), 3);
  EXPECT_STREQ(out, "\xE3\x81\x82");
  EXPECT_EQ(CopyUtf8Char("\x81x", out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(CopyUtf8Char("", out), 0);
  char tiny[3];
  EXPECT_EQ(CopyUtf8Char("\xE3\x81\x82", tiny), 0);
  EXPECT_STREQ(tiny, "");
}

TEST(ShiftJis, RoundTripAndLeadBytes) {
  char sjis[32];
  ASSERT_EQ(ToShiftJis(sjis, sizeof sjis, u"ゲームA"), 7);
  EXPECT_EQ(std::string(sjis),
            "\x83Q\x81[\x83\x80"
            "A");
  char16_t back[16];
  FromShiftJis(back, 16, sjis);
  EXPECT_EQ(std::u16string(back), u"ゲームA");
  EXPECT_EQ(IsShiftJisLead("\x83Q"), 1);
  EXPECT_EQ(IsShiftJisLead("\x83\x7F"), 0);
  EXPECT_EQ(IsShiftJisLead("\xA0\x40"), 0);
  EXPECT_EQ(IsShiftJisLead(nullptr), 0);
  EXPECT_EQ(GetShiftJisChar("\x83Q"), 0x8351);
  EXPECT_EQ(GetShiftJisChar("Q"), 'Q');
  // A cut falls between double-byte characters.
  char cut[4];
  EXPECT_EQ(ToShiftJis(cut, sizeof cut, u"ゲーム"), -1);
  EXPECT_EQ(std::string(cut), "\x83Q");
}

TEST(ShiftJis, FindCharByCode) {
  EXPECT_EQ(FindCharA("ab\x83Q", 0x8351), 2);
  EXPECT_EQ(FindCharA("abc", 'c'), 2);
  EXPECT_EQ(FindCharA("abc", 0x8351), -1);
  EXPECT_EQ(FindChar(u"a\\b", u'\\'), 1);
  EXPECT_EQ(FindChar(u"ab", u'x'), -1);
}

TEST(Bytes, CompareGivesUnsignedDifference) {
  unsigned char a[] = {1, 2, 200};
  unsigned char b[] = {1, 2, 10};
  EXPECT_EQ(CompareBytes(a, b, 3), 190);
  EXPECT_EQ(CompareBytes(b, a, 3), -190);
  EXPECT_EQ(CompareBytes(a, b, 2), 0);
  unsigned char buf[24];
  for (int i = 0; i < 24; ++i) buf[i] = static_cast<unsigned char>(i + 1);
  ZeroBytes(buf + 3, 16);
  EXPECT_EQ(buf[2], 3);
  EXPECT_EQ(buf[3], 0);
  EXPECT_EQ(buf[18], 0);
  EXPECT_EQ(buf[19], 20);
  CopyBytes(buf, a, 0);
  CopyBytes(nullptr, a, 3);
  EXPECT_EQ(buf[0], 1);
}

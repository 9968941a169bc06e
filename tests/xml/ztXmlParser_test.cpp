#include "xml/ztXmlParser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "file/textutil.h"
#include "platform/ztHeap.h"
#include "tests/common/testutil.h"
#include "tests/xml/xmltest.h"

using zt_test::Cp932;
using zt_xmltest::kDecl;

namespace {

int32_t ParseText(ztXmlParser& p, const std::string& text) {
  return p.Parse(text.data(), static_cast<int32_t>(text.size()));
}

// Compact picture of an element and everything below it, in list order:
// name(attr=value,...)[text]{children}.
std::string Dump(const ztXmlElement* e) {
  std::string s(e->name.View());
  if (e->firstAttribute) {
    s += "(";
    for (const ztXmlAttribute* a = e->firstAttribute; a; a = a->next) {
      if (a != e->firstAttribute) s += ",";
      s += std::string(a->name.View()) + "=" + std::string(a->value.View());
    }
    s += ")";
  }
  s += "[" + std::string(e->text.View()) + "]";
  if (e->firstChild) {
    s += "{";
    for (const ztXmlElement* c = e->firstChild; c; c = c->next) {
      if (c != e->firstChild) s += ",";
      s += Dump(c);
    }
    s += "}";
  }
  return s;
}

std::string Parsed(const std::string& body) {
  ztXmlParser p;
  int32_t code = ParseText(p, kDecl + body);
  if (code != 0) return "code " + std::to_string(code);
  return p.GetRoot() ? Dump(p.GetRoot()) : "(none)";
}

const std::string kMsgFormat = "読み込みできない形式のファイルです。";

}  // namespace

// ---- declaration --------------------------------------------------------------

TEST(XmlParserDeclaration, PlainDocumentParses) {
  EXPECT_EQ(Parsed("<document><a>1</a></document>"), "document[]{a[1]}");
}

TEST(XmlParserDeclaration, AnythingBeforeItMakesTheFileUnreadable) {
  const std::string body = kDecl + "<document><a>1</a></document>";
  for (const std::string& prefix : {std::string("\xEF\xBB\xBF"), std::string(" "), std::string("\r\n"),
                                    std::string("<!-- c -->"), std::string("x")}) {
    ztXmlParser p;
    EXPECT_EQ(ParseText(p, prefix + body), 4) << prefix;
    EXPECT_EQ(p.LastErrorCode(), 4);
    EXPECT_EQ(std::string(p.MessageText()), Cp932(kMsgFormat));
    EXPECT_EQ(p.GetRoot(), nullptr);
  }
}

TEST(XmlParserDeclaration, AcceptedVariants) {
  for (const std::string& decl :
       {std::string("<?xml version='1.0' encoding='utf-8'?>"), std::string("<?xml  encoding=\"utf-8\" version=\"1.0\" ?>"),
        std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"),
        // The front of the attribute list (the last written) is the one read.
        std::string("<?xml version=\"1.1\" version=\"1.0\" encoding=\"UTF-8\"?>"),
        std::string("<?xml\tversion=\"1.0\"\r\nencoding=\"UTF-8\"?>")}) {
    ztXmlParser p;
    EXPECT_EQ(ParseText(p, decl + "<a>1</a>"), 0) << decl;
    ASSERT_NE(p.GetRoot(), nullptr);
  }
}

TEST(XmlParserDeclaration, RejectedVariants) {
  for (const std::string& input :
       {std::string("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><a/>"),
        std::string("<?xml version=\"1.1\" encoding=\"UTF-8\"?><a>"), std::string("<?XML version=\"1.0\" encoding=\"UTF-8\"?><a>"),
        std::string("<?xml version=\"1.0\"?><a>"), std::string("<?xml encoding=\"UTF-8\"?><a>"),
        std::string("<?xml version=\"1.0\" version=\"1.1\" encoding=\"UTF-8\"?><a>"),
        std::string("<?xml version=1.0 encoding=\"UTF-8\"?><a>"), std::string("<?xml version=\"1.0\" encoding=\"UTF-8\">"),
        std::string(""), std::string("<document></document>"), std::string("<?>"), std::string("<?>?>"),
        std::string("<?  ?>")}) {
    ztXmlParser p;
    EXPECT_EQ(ParseText(p, input), 4) << input;
    EXPECT_EQ(std::string(p.MessageText()), Cp932(kMsgFormat)) << input;
  }
}

TEST(XmlParserDeclaration, OnlyTextAfterItIsAnEmptyDocument) {
  ztXmlParser p;
  EXPECT_EQ(ParseText(p, kDecl + "\r\n just text\r\n"), 0);
  EXPECT_EQ(p.GetRoot(), nullptr);
  EXPECT_EQ(Parsed("text <a>1</a>"), "a[1]");
}

TEST(XmlParserDeclaration, MissingBlockIsCode3) {
  ztXmlParser p;
  EXPECT_EQ(p.Parse(nullptr, 10), 3);
  EXPECT_EQ(std::string(p.MessageText()), Cp932("読み込みバッファが無効です。"));
  ztXmlParser q;
  EXPECT_EQ(q.Parse("abc", -1), 3);
  ztXmlParser r;
  EXPECT_EQ(r.Parse("abc", 0), 4);  // zero length is an empty input
}

// ---- tokeniser ------------------------------------------------------------------

TEST(XmlParserTokens, LineBreaksAndTabsBecomeSpaces) {
  EXPECT_EQ(Parsed("<a>\r\n 5\r\n</a>"), "a[  5 ]");
  EXPECT_EQ(Parsed("<a>x\ty\nz</a>"), "a[x y z]");
  // A lone CR stays; CR CR LF keeps the first CR.
  EXPECT_EQ(Parsed("<a>x\ry\r\r\nz</a>"), "a[x\ry\r z]");
}

TEST(XmlParserTokens, ZeroByteEndsTheInput) {
  std::string input = kDecl + "<r><a>1</a>";
  input.push_back('\0');
  input += "<b>2</b></r>";
  ztXmlParser p;
  EXPECT_EQ(ParseText(p, input), 0);
  EXPECT_EQ(Dump(p.GetRoot()), "r[]{a[1]}");
}

TEST(XmlParserTokens, TextAfterTheLastTagIsDropped) {
  EXPECT_EQ(Parsed("<r><a>1"), "r[]{a[]}");
  // An unfinished tag at the end is lost as well.
  EXPECT_EQ(Parsed("<r>x<a"), "r[x]");
}

TEST(XmlParserTokens, LeadingGreaterThanIsDroppedButTheNextLessThanStillSplits) {
  // The ">" is dropped, yet the "<" after it is no longer the first byte and
  // emits an empty token ahead of the declaration.
  ztXmlParser p;
  EXPECT_EQ(ParseText(p, ">" + kDecl + "<a>1</a>"), 4);
}

TEST(XmlParserTokens, GreaterThanEndsATokenAnywhere) {
  // The ">" inside the text ends a text token; it stays text.
  EXPECT_EQ(Parsed("<a>x > y</a>"), "a[x > y]");
  // Inside an attribute value it ends the tag.
  EXPECT_EQ(Parsed("<a t=\"1>2\">z</a>"), "a(t=1)[2\">z]");
}

TEST(XmlParserTokens, NothingIsUnescaped) {
  EXPECT_EQ(Parsed("<a>&lt;&amp;</a>"), "a[&lt;&amp;]");
}

// ---- comments ------------------------------------------------------------------

TEST(XmlParserComments, CommentSplitByTagsDisappears) {
  EXPECT_EQ(Parsed("<r><a>1</a><!-- a < b > c --><b>2</b></r>"), "r[]{b[2],a[1]}");
  EXPECT_EQ(Parsed("<r><!-- <x>hidden</x> --><!----><b>2</b></r>"), "r[]{b[2]}");
}

TEST(XmlParserComments, TextAroundACommentStillCounts) {
  EXPECT_EQ(Parsed("<a>x<!-- c -->y</a>"), "a[xy]");
}

TEST(XmlParserComments, ShortestCommentToken) {
  // "<!-->" begins with the start and ends with the end marker.
  EXPECT_EQ(Parsed("<a>x<!-->y</a>"), "a[xy]");
}

TEST(XmlParserComments, UnfinishedCommentIsAStartTag) {
  ztXmlParser p;
  EXPECT_EQ(ParseText(p, kDecl + "<r><!-- x><a>1</a></r>"), 6);
  EXPECT_EQ(std::string(p.MessageText()), Cp932("タグ終端<") + "/r" + Cp932(">が不正です。"));
  EXPECT_EQ(Dump(p.GetRoot()), "r[]{!--[]{a[1]}}");
}

TEST(XmlParserComments, EndMarkerWithoutStartIsText) {
  EXPECT_EQ(Parsed("<a>x --></a>"), "a[x -->]");
  EXPECT_EQ(Parsed("<r><a-->1</a--></r>"), "r[]{a--[1]}");
}

// ---- tags, words and attributes -------------------------------------------------

TEST(XmlParserTags, SiblingsAndAttributesAreInReverseOrder) {
  EXPECT_EQ(Parsed("<r><a>1</a><a>2</a><b>3</b></r>"), "r[]{b[3],a[2],a[1]}");
  EXPECT_EQ(Parsed("<e x=\"1\" y='2' x=\"3\">t</e>"), "e(x=3,y=2,x=1)[t]");
}

TEST(XmlParserTags, TextIncludesTheTextBetweenChildren) {
  EXPECT_EQ(Parsed("<r> <a>1</a> x <b>2</b> </r>"), "r[  x  ]{b[2],a[1]}");
  EXPECT_EQ(Parsed("<r>a<b>1</b>c<d/>e</r>"), "code 6");
}

TEST(XmlParserTags, SpaceInAValueEndsTheAttributes) {
  EXPECT_EQ(Parsed("<e s=\"1\" t=\"a b\" u=\"2\">x</e>"), "e(t=a,s=1)[x]");
  EXPECT_EQ(Parsed("<e s=\"1\" flag u=\"2\">x</e>"), "e(s=1)[x]");
  EXPECT_EQ(Parsed("<e s = \"1\">x</e>"), "e[x]");
}

TEST(XmlParserTags, BadValueStoresTheAttributeMessageWithoutFailing) {
  for (const std::string& tag : {std::string("<e s=\"1\" t=x u=\"2\">"), std::string("<e s=\"1\" t=\"x\"y u=\"2\">"),
                                 std::string("<e s=\"1\" t= u=\"2\">"), std::string("<e s=\"1\" t=>")}) {
    ztXmlParser p;
    EXPECT_EQ(ParseText(p, kDecl + tag + "v</e>"), 0) << tag;
    EXPECT_EQ(Dump(p.GetRoot()), "e(s=1)[v]") << tag;
    EXPECT_EQ(std::string(p.MessageText()), Cp932("属性(t)の値が不正です。")) << tag;
    EXPECT_EQ(p.LastErrorCode(), 0);
  }
}

TEST(XmlParserTags, QuotesInValues) {
  EXPECT_EQ(Parsed("<e t='a\"b'>x</e>"), "e(t=a\"b)[x]");
  EXPECT_EQ(Parsed("<e t=\"it's\">x</e>"), "e(t=it's)[x]");
  // No closing quote: the rest of the word is the value.
  EXPECT_EQ(Parsed("<e t=\"abc>x</e>"), "e(t=abc)[x]");
  EXPECT_EQ(Parsed("<e =\"v\" t=\"\">x</e>"), "e(t=,=v)[x]");
  EXPECT_EQ(Parsed("<e t=\"a=b\">x</e>"), "e(t=a=b)[x]");
}

TEST(XmlParserTags, SlashAtTheEndOfAStartTagOpensAnElement) {
  ztXmlParser p;
  EXPECT_EQ(ParseText(p, kDecl + "<r><a/></r>"), 6);
  EXPECT_EQ(std::string(p.MessageText()), Cp932("タグ終端<") + "/r" + Cp932(">が不正です。"));
  EXPECT_EQ(Dump(p.GetRoot()), "r[]{a/[]}");
  EXPECT_EQ(Parsed("<r><a /></r>"), "code 6");
  EXPECT_EQ(Parsed("<a/>x</a/>"), "a/[x]");
}

TEST(XmlParserTags, CutTagIsCode5) {
  ztXmlParser p;
  EXPECT_EQ(ParseText(p, kDecl + "<r><a<b>1</b></r>"), 5);
  EXPECT_EQ(std::string(p.MessageText()), Cp932("タグ定義に誤りがあります。"));
}

TEST(XmlParserTags, EmptyTagIsCode5) {
  for (const std::string& body : {std::string("<r><></r>"), std::string("<r><   ></r>"), std::string("<>")}) {
    ztXmlParser p;
    EXPECT_EQ(ParseText(p, kDecl + body), 5) << body;
    EXPECT_EQ(std::string(p.MessageText()), Cp932("不正なタグです。"));
  }
}

TEST(XmlParserTags, MismatchedEndTagIsCode6WithItsName) {
  ztXmlParser p;
  EXPECT_EQ(ParseText(p, kDecl + "<a>x</b>"), 6);
  EXPECT_EQ(std::string(p.MessageText()), Cp932("タグ終端</b>が不正です。"));
  // The elements built before the failure stay.
  EXPECT_EQ(Dump(p.GetRoot()), "a[x]");
  // Names are compared byte for byte.
  EXPECT_EQ(Parsed("<a>x</A>"), "code 6");
  EXPECT_EQ(Parsed("<a>x</ a>"), "code 6");
  EXPECT_EQ(Parsed("<a>x</a >"), "a[x]");
}

TEST(XmlParserTags, OnlyTheFirstTopLevelElementIsRead) {
  EXPECT_EQ(Parsed("<a>1</a><b>2</b>"), "a[1]");
  EXPECT_EQ(Parsed("<a>1</a></zzz><<<"), "a[1]");
}

TEST(XmlParserTags, WordsTakeWholeCharactersAndAlwaysProgress) {
  EXPECT_EQ(Parsed("<\xE5\x90\x8D t=\"\xE5\x80\xA4\">x</\xE5\x90\x8D>"), "\xE5\x90\x8D(t=\xE5\x80\xA4)[x]");
  // Continuation bytes and a cut sequence are single bytes of the name.
  EXPECT_EQ(Parsed("<a\x80\xBF t=\"1\">x</a\x80\xBF>"), "a\x80\xBF(t=1)[x]");
  EXPECT_EQ(Parsed("<a\xE3>x</a\xE3>"), "a\xE3[x]");
  EXPECT_EQ(Parsed("<a\xF0\x80>x</a\xF0\x80>"), "a\xF0\x80[x]");
  // The second byte of a two-byte sequence is not checked, so it may be a
  // space that then belongs to the word.
  EXPECT_EQ(Parsed("<a\xC3 b=\"1\">x</a\xC3 b=\"1\">"), "a\xC3 b=\"1\"[x]");
}

TEST(XmlParserTags, ParseReturnsTheWorkingCopyToTheHeap) {
  long before = ztHeapLiveBlocks();
  {
    ztXmlParser p;
    EXPECT_EQ(ParseText(p, kDecl + "<r><a>1</a>x<b>2</b></r>"), 0);
    EXPECT_EQ(ztHeapLiveBlocks(), before);
    EXPECT_EQ(ParseText(p, "bad"), 4);
    EXPECT_EQ(ztHeapLiveBlocks(), before);
  }
}

// ---- building by hand --------------------------------------------------------------

TEST(XmlParserBuild, AddElementAndAttributesLinkAtTheFront) {
  ztXmlParser p;
  ztXmlElement* r = p.AddElement(nullptr, "r", nullptr);
  p.AddElement(r, "a", "1");
  p.AddElement(r, "b", nullptr);
  EXPECT_EQ(p.GetRoot(), r);
  EXPECT_EQ(p.SetAttribute(r, "x", "1"), 1);
  EXPECT_EQ(p.SetAttribute(r, "y", "2"), 1);
  // Same name ignoring case: replaced in place, with the new spelling.
  EXPECT_EQ(p.SetAttribute(r, "X", "3"), 1);
  EXPECT_EQ(Dump(r), "r(y=2,X=3)[]{b[],a[1]}");

  std::string v = "unchanged";
  EXPECT_EQ(p.GetAttribute(r, "x", &v), 1);
  EXPECT_EQ(v, "3");
  EXPECT_EQ(p.GetAttribute(r, "z", &v), 0);
  EXPECT_EQ(v, "3");
}

// ---- files ----------------------------------------------------------------------

TEST(XmlParserFile, LoadsAFile) {
  zt_test::TempDir dir;
  ASSERT_TRUE(dir.Write(u"a.xml", kDecl + "\r\n<document>\r\n  <a>1</a>\r\n</document>\r\n"));
  ztXmlParser p;
  EXPECT_EQ(p.LoadFile(dir.Join(u"a.xml").c_str()), 0);
  EXPECT_EQ(Dump(p.GetRoot()), "document[    ]{a[1]}");
}

TEST(XmlParserFile, MissingFileIsCode1WithThePath) {
  zt_test::TempDir dir;
  std::u16string path = dir.Join(u"missing.xml");
  ztXmlParser p;
  EXPECT_EQ(p.LoadFile(path.c_str()), 1);
  EXPECT_EQ(p.LastErrorCode(), 1);
  EXPECT_EQ(std::string(p.MessageText()), Cp932("ファイル " + zt_test::Utf8(path) + " のオープンに失敗しました。"));
}

TEST(XmlParserFile, LongMessageIsCutAtAWholeCharacter) {
  std::string name;
  for (int i = 0; i < 300; ++i) name += "\xE3\x81\x82";  // あ
  std::u16string path = zt_test::U16(name);
  ztXmlParser p;
  EXPECT_EQ(p.LoadFile(path.c_str()), 1);
  std::string full = Cp932("ファイル " + name + " のオープンに失敗しました。");
  std::string msg = p.MessageText();
  ASSERT_LE(msg.size(), ZTXML_MESSAGE_SIZE - 1);
  EXPECT_GE(msg.size(), ZTXML_MESSAGE_SIZE - 2);
  EXPECT_EQ(full.compare(0, msg.size(), msg), 0);
  // The cut falls between characters: "ファイル " is 9 bytes, then two-byte
  // characters.
  EXPECT_EQ((msg.size() - 9) % 2, 0u);
}

TEST(XmlParserBuild, LongNamesTextsAndValuesSurviveWhole) {
  // Sizes around and past the storage's chunk sizes.
  for (size_t n : {size_t(4095), size_t(5000), size_t(70000), size_t(200000), size_t(300000)}) {
    std::string name = "n" + std::string(n, 'a');
    std::string text(n, 't');
    std::string value(n, 'v');
    ztXmlParser p;
    ASSERT_EQ(ParseText(p, kDecl + "<" + name + " k=\"" + value + "\">" + text + "<c>1</c>" + text + "</" + name + ">"), 0);
    const ztXmlElement* e = p.GetRoot();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name.View(), name);
    EXPECT_EQ(e->text.View(), text + text);
    ASSERT_NE(e->firstAttribute, nullptr);
    EXPECT_EQ(e->firstAttribute->value.View(), value);
    EXPECT_EQ(e->firstChild->text.View(), "1");
  }
}

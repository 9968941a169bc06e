#include "xml/ztXml.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/common/testutil.h"
#include "tests/xml/xmltest.h"

using zt_test::Cp932;
using zt_xmltest::kDecl;
using zt_xmltest::Load;

namespace {

std::string Text(const ztXml& x, const ztXmlPath& path) {
  char out[256];
  if (!x.GetTextAt(out, "<none>", path)) return "<none>";
  return out;
}

std::string Children(const ztXml& x, const ztXmlPath& path) {
  ztXmlCursor c;
  if (!x.FirstChildAt(&c, path)) return "<none>";
  std::string s;
  char name[64];
  while (x.NextChild(&c, name)) s += std::string(name) + ";";
  return s;
}

}  // namespace

// ---- queries ------------------------------------------------------------------

TEST(XmlQuery, NumbersAndTextsBelowDocument) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<document><version><major>2</major></version></document>"));
  EXPECT_EQ(x.GetInt(0xffff, 2, "version", "major"), 2);
  EXPECT_EQ(x.GetInt(0xffff, 2, "version", "minor"), 0xffff);
  char16_t w[16] = u"zz";
  EXPECT_EQ(x.GetTextW(w, u"def", 2, "version", "major"), 1);
  EXPECT_EQ(std::u16string(w), u"2");
  // "document" itself is not a component when it is the only top level.
  EXPECT_EQ(x.GetInt(-1, 3, "document", "version", "major"), -1);
}

TEST(XmlQuery, OtherOutermostElementIsTheFirstComponent) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<root><version><major>2</major></version></root>"));
  EXPECT_EQ(x.GetInt(-1, 2, "version", "major"), -1);
  EXPECT_EQ(x.GetInt(-1, 3, "root", "version", "major"), 2);
}

TEST(XmlQuery, NumberParsingOfElementText) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<document><a> 2 </a><b>2.0</b><c>0x10</c><d>-0x1F</d><e>12abc</e><f>007</f><g></g>"
                      "<h>x</h><i>4294967297</i></document>"));
  EXPECT_EQ(x.GetInt(99, 1, "a"), 0);
  EXPECT_EQ(x.GetInt(99, 1, "b"), 0);
  EXPECT_EQ(x.GetInt(99, 1, "c"), 16);
  EXPECT_EQ(x.GetInt(99, 1, "d"), -31);
  EXPECT_EQ(x.GetInt(99, 1, "e"), 12);
  EXPECT_EQ(x.GetInt(99, 1, "f"), 7);
  EXPECT_EQ(x.GetInt(99, 1, "g"), 0);
  EXPECT_EQ(x.GetInt(99, 1, "h"), 0);
  EXPECT_EQ(x.GetInt(99, 1, "i"), 1);  // wraps at 32 bits
  EXPECT_EQ(x.GetIntAt(99, {"c"}), 16);
}

TEST(XmlQuery, ElementWithChildrenAnswersWithItsOwnText) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<document><v>\r\n  <major>2</major>\r\n</v></document>"));
  EXPECT_EQ(Text(x, {"v"}), "    ");
}

TEST(XmlQuery, LastSameNamedSiblingWins) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<document><item>first</item><item>second</item></document>"));
  EXPECT_EQ(Text(x, {"item"}), "second");
}

TEST(XmlQuery, SearchBacktracksToLaterSiblings) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<document><a><c>2</c></a><a><b>1</b></a></document>"));
  // The a written last is listed first and has no c.
  EXPECT_EQ(x.GetInt(-1, 2, "a", "c"), 2);
  EXPECT_EQ(x.GetInt(-1, 2, "a", "b"), 1);
  EXPECT_EQ(x.GetInt(-1, 2, "a", "d"), -1);
  EXPECT_EQ(x.GetInt(-1, 0), -1);
}

TEST(XmlQuery, MissingAndEmptyTexts) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<document><empty></empty></document>"));
  char16_t w[8] = u"zz";
  EXPECT_EQ(x.GetTextW(w, u"def", 1, "missing"), 0);
  EXPECT_EQ(std::u16string(w), u"def");
  EXPECT_EQ(x.GetTextW(w, u"def", 1, "empty"), 1);
  EXPECT_EQ(std::u16string(w), u"");
  char a[8] = "zz";
  EXPECT_EQ(x.GetText(a, "d", 1, "missing"), 0);
  EXPECT_STREQ(a, "d");
}

TEST(XmlQuery, SingleDocumentWithoutChildrenFindsNothing) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<document>t</document>"));
  EXPECT_EQ(Text(x, {"document"}), "<none>");
}

TEST(XmlQuery, FailedOrUnopenedDocumentAnswersDefaults) {
  ztXml never;
  EXPECT_EQ(never.GetInt(7, 1, "a"), 7);
  EXPECT_EQ(never.SetInt(1, 1, "a"), 0);
  EXPECT_EQ(never.SetTextW(u"x", 1, "a"), 0);
  ztXmlCursor c;
  EXPECT_EQ(never.FirstChild(&c, 0), 0);
  EXPECT_EQ(never.LastErrorCode(), 0);

  ztXml bad;
  std::string text = kDecl + "<document><a>1</b></document>";
  EXPECT_EQ(bad.OpenMem(text.c_str(), 0), 0);
  EXPECT_EQ(bad.LastErrorCode(), 6);
  EXPECT_EQ(bad.GetInt(7, 1, "a"), 7);
  ASSERT_NE(bad.GetNodes(), nullptr);
  EXPECT_TRUE(bad.GetNodes()->empty());
  // Setters work on the empty tree.
  EXPECT_EQ(bad.SetInt(3, 1, "a"), 1);
  EXPECT_EQ(bad.GetInt(7, 1, "a"), 3);
}

TEST(XmlQuery, TextsAreCutToTheBufferAtWholeCharacters) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<document><t>ab\xE3\x81\x82\xE3\x81\x84</t><s>a\xF0\x9D\x84\x9E</s></document>"));
  char out[8];
  std::memset(out, 'Z', sizeof out);
  EXPECT_EQ(x.GetText(out, 6, "", 1, "t"), 1);
  // "ab" and the first three-byte character fit in 5 bytes plus the zero.
  EXPECT_EQ(std::string(out), "ab\xE3\x81\x82");
  EXPECT_EQ(out[6], 'Z');
  EXPECT_EQ(x.GetText(out, 5, "", 1, "t"), 1);
  EXPECT_EQ(std::string(out), "ab");

  char16_t w[4];
  w[3] = u'Z';
  EXPECT_EQ(x.GetTextW(w, 3, u"", 1, "s"), 1);
  EXPECT_EQ(std::u16string(w), u"a");  // the surrogate pair does not fit whole
  EXPECT_EQ(w[3], u'Z');
  char16_t big[4];
  EXPECT_EQ(x.GetTextW(big, u"", 1, "s"), 1);
  EXPECT_EQ(std::u16string(big), u"a\U0001D11E");
  // A default longer than the buffer is cut too.
  EXPECT_EQ(x.GetTextW(w, 3, u"abcdef", 1, "missing"), 0);
  EXPECT_EQ(std::u16string(w), u"ab");
}

TEST(XmlQuery, WideTextsAreLimitedTo4095Units) {
  ztXml x;
  ASSERT_TRUE(x.Create());
  std::u16string longText(5000, u'x');
  ASSERT_EQ(x.SetTextW(longText.c_str(), 1, "t"), 1);
  std::u16string out(6000, u'\0');
  EXPECT_EQ(x.GetTextW(&out[0], out.size(), u"", 1, "t"), 1);
  EXPECT_EQ(std::u16string(out.c_str()).size(), 4095u);
}

// ---- loading ------------------------------------------------------------------

TEST(XmlLoad, OpenMemWithZeroLengthTakesTheStringLength) {
  ztXml x;
  std::string text = kDecl + "<document><a>5</a></document>";
  EXPECT_EQ(x.OpenMem(text.c_str(), 0), 1);
  EXPECT_EQ(x.GetInt(0, 1, "a"), 5);
  zt_test::ClearLog();
  EXPECT_EQ(x.OpenMem(nullptr, 0), 0);
  EXPECT_EQ(x.LastErrorCode(), 3);
  EXPECT_TRUE(zt_test::LogHas("ztXml : OpenMem error."));
  // A new load replaces the old tree completely.
  EXPECT_EQ(x.GetInt(0, 1, "a"), 0);
}

TEST(XmlLoad, OpenLogsAndReadsAFile) {
  zt_test::TempDir dir;
  ASSERT_TRUE(dir.Write(u"s.xml", kDecl + "\r\n<document>\r\n  <a>9</a>\r\n</document>\r\n"));
  std::u16string path = dir.Join(u"s.xml");
  std::string narrow = zt_test::Utf8(path);
  ztXml x;
  zt_test::ClearLog();
  EXPECT_EQ(x.Open(path.c_str()), 1);
  EXPECT_TRUE(zt_test::LogHas("xml open " + narrow));
  EXPECT_TRUE(zt_test::LogHas("xml open exit"));
  EXPECT_EQ(x.GetInt(0, 1, "a"), 9);

  zt_test::ClearLog();
  std::u16string missing = dir.Join(u"none.xml");
  EXPECT_EQ(x.Open(missing.c_str()), 0);
  EXPECT_TRUE(zt_test::LogHas("ztXml : File open error " + zt_test::Utf8(missing)));
  EXPECT_EQ(x.LastErrorCode(), 1);
  EXPECT_EQ(std::string(x.MessageText()), Cp932("ファイル " + zt_test::Utf8(missing) + " のオープンに失敗しました。"));
  EXPECT_EQ(x.GetInt(-1, 1, "a"), -1);
}

TEST(XmlLoad, ListsKeepReverseDocumentOrderWithAttributes) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<document a=\"1\" b=\"2\"><x>1</x><y>2</y></document>"));
  const ztXmlNodeList* top = x.GetNodes();
  ASSERT_EQ(top->size(), 1u);
  const ztXmlNode* d = &(*top)[0];
  ASSERT_EQ(d->attributes.size(), 2u);
  EXPECT_EQ(d->attributes[0].name.View(), "b");
  EXPECT_EQ(d->attributes[1].value.View(), "1");
  ASSERT_EQ(d->children.size(), 2u);
  EXPECT_EQ(d->children[0].name.View(), "y");
  EXPECT_TRUE(d->children[0].attributes.empty());
}

// ---- setters ------------------------------------------------------------------

TEST(XmlSet, SetIntBuildsAndThenReplaces) {
  ztXml x;
  ASSERT_EQ(x.Create(), 1);
  EXPECT_EQ(x.SetInt(5, 2, "WINDOW", "width"), 1);
  EXPECT_EQ(x.SetInt(-7, 2, "WINDOW", "width"), 1);
  const ztXmlNodeList* top = x.GetNodes();
  ASSERT_EQ(top->size(), 1u);
  const ztXmlNode* d = &(*top)[0];
  ASSERT_EQ(d->children.size(), 1u);
  const ztXmlNode* w = &d->children[0];
  EXPECT_EQ(w->name.View(), "WINDOW");
  ASSERT_EQ(w->children.size(), 1u);
  EXPECT_EQ(w->children[0].name.View(), "width");
  EXPECT_EQ(w->children[0].text.View(), "-7");
  EXPECT_EQ(x.GetInt(0, 2, "WINDOW", "width"), -7);
  // A longer text after a shorter one, and back.
  EXPECT_EQ(x.SetIntAt(123456789, {"WINDOW", "width"}), 1);
  EXPECT_EQ(x.GetInt(0, 2, "WINDOW", "width"), 123456789);
  EXPECT_EQ(x.SetInt(1, 2, "WINDOW", "width"), 1);
  EXPECT_EQ(Text(x, {"WINDOW", "width"}), "1");
}

TEST(XmlSet, EmptyPathSetsTheDocumentText) {
  ztXml x;
  x.Create();
  EXPECT_EQ(x.SetInt(4, 0), 1);
  EXPECT_EQ((*x.GetNodes())[0].text.View(), "4");
}

TEST(XmlSet, NewSiblingsAreAppended) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<document><a>1</a><b>2</b></document>"));
  EXPECT_EQ(x.SetInt(3, 1, "c"), 1);
  EXPECT_EQ(Children(x, {}), "b;a;c;");
}

TEST(XmlSet, OtherRootGetsASecondDocumentNode) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<root><a>1</a></root>"));
  EXPECT_EQ(x.SetInt(2, 1, "a"), 1);
  ASSERT_EQ(x.GetNodes()->size(), 2u);
  EXPECT_EQ((*x.GetNodes())[1].name.View(), "document");
  // Two top-level nodes: paths start at the top level.
  EXPECT_EQ(x.GetInt(-1, 2, "root", "a"), 1);
  EXPECT_EQ(x.GetInt(-1, 2, "document", "a"), 2);
  EXPECT_EQ(x.GetInt(-1, 1, "a"), -1);
}

TEST(XmlSet, SetTextWStoresUtf8) {
  ztXml x;
  x.Create();
  EXPECT_EQ(x.SetTextW(u"日本語", 1, "t"), 1);
  EXPECT_EQ(Text(x, {"t"}), "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E");
  char16_t w[8];
  EXPECT_EQ(x.GetTextW(w, u"", 1, "t"), 1);
  EXPECT_EQ(std::u16string(w), u"日本語");
}

// ---- child iteration --------------------------------------------------------------

TEST(XmlChildren, IterationFollowsListOrder) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<document><list><a></a><b></b></list><list><c>1</c><d>2</d><c>3</c></list></document>"));
  EXPECT_EQ(Children(x, {}), "list;list;");
  // The list written last is listed first; its children in reverse order.
  EXPECT_EQ(Children(x, {"list"}), "c;d;c;");
  EXPECT_EQ(Children(x, {"list/c"}), "<none>");
  ztXmlCursor c;
  EXPECT_EQ(x.FirstChild(&c, 1, "list"), 1);
  char name[8] = "keep";
  while (x.NextChild(&c, name)) {
  }
  EXPECT_STREQ(name, "c");
  EXPECT_EQ(x.NextChild(&c, name), 0);
  EXPECT_STREQ(name, "c");
}

TEST(XmlChildren, ComponentsAreSplitAtSlashes) {
  ztXml x;
  x.Create();
  x.SetInt(1, 3, "a", "b", "x");
  x.SetInt(2, 4, "a", "", "b", "y");
  EXPECT_EQ(Children(x, {"a/b"}), "x;");
  EXPECT_EQ(Children(x, {"a/b/"}), "x;");
  EXPECT_EQ(Children(x, {"a//b"}), "y;");
  EXPECT_EQ(Children(x, {"a/", "/b"}), "y;");
  ztXmlCursor c;
  EXPECT_EQ(x.FirstChild(&c, 2, "a", "b"), 1);
  EXPECT_EQ(x.FirstChild(&c, 1, "a/b/x"), 0);  // no children
}

TEST(XmlChildren, NamesAreCutToTheBuffer) {
  ztXml x;
  ASSERT_TRUE(Load(x, "<document><abcdefgh>1</abcdefgh></document>"));
  ztXmlCursor c;
  ASSERT_EQ(x.FirstChild(&c, 0), 1);
  char name[5];
  EXPECT_EQ(x.NextChild(&c, name), 1);
  EXPECT_STREQ(name, "abcd");
}

// ---- size and depth ------------------------------------------------------------

// One million nested elements: parsing, conversion, a query through the whole
// depth, saving and destruction must not use the call stack per level (the
// Windows build's main thread has 1 MiB of stack).
TEST(XmlDepth, MillionNestedElements) {
  const size_t depth = 1000000;
  std::string text = kDecl + "<document>";
  text.reserve(text.size() + depth * 7 + 32);
  for (size_t i = 0; i < depth; ++i) text += "<e>";
  text += "deep";
  for (size_t i = 0; i < depth; ++i) text += "</e>";
  text += "</document>";
  zt_test::TempDir dir;
  std::u16string out = dir.Join(u"deep.xml");
  {
    ztXml x;
    ASSERT_EQ(x.OpenMem(text.data(), static_cast<int32_t>(text.size())), 1);
    ztXmlPath path(depth, "e");
    EXPECT_EQ(Text(x, path), "deep");
    path.push_back("e");
    EXPECT_EQ(Text(x, path), "<none>");
    // The indentation alone would need about 10^12 bytes: the save fails
    // cleanly with code 10 and creates no file.
    EXPECT_EQ(x.Save(out.c_str()), 1);
    EXPECT_EQ(x.LastErrorCode(), 10);
    EXPECT_EQ(std::string(x.MessageText()), Cp932("ファイル書き込み[" + zt_test::Utf8(out) + "]に失敗しました。"));
  }
  EXPECT_EQ(dir.Read(u"deep.xml"), "<missing>");
}

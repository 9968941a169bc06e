#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <string>

#include "file/pathutil.h"
#include "tests/common/testutil.h"
#include "tests/xml/xmltest.h"
#include "xml/ztXml.h"
#include "xml/ztXmlParser.h"

using zt_test::Cp932;
using zt_xmltest::kDecl;
using zt_xmltest::Load;

namespace {

// Loads `body`, saves it and returns the file's bytes.
std::string Saved(const std::string& body) {
  zt_test::TempDir dir;
  ztXml x;
  if (!Load(x, body)) return "<load failed>";
  std::u16string path = dir.Join(u"out.xml");
  x.Save(path.c_str());
  return dir.Read(u"out.xml");
}

}  // namespace

TEST(XmlWriter, ExampleFileByteForByte) {
  zt_test::TempDir dir;
  ztXml x;
  ASSERT_EQ(x.Create(), 1);
  x.SetInt(800, 2, "WINDOW", "width");
  x.SetInt(600, 2, "WINDOW", "height");
  std::u16string path = dir.Join(u"settings.xml");
  EXPECT_EQ(x.Save(path.c_str()), 1);
  EXPECT_EQ(x.LastErrorCode(), 0);
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
      "<document>\r\n"
      "  <WINDOW>\r\n"
      "    <height>600</height>\r\n"
      "    <width>800</width>\r\n"
      "  </WINDOW>\r\n"
      "</document>\r\n";
  EXPECT_EQ(dir.Read(u"settings.xml"), expected);
  // The node tree is unchanged by the save.
  EXPECT_EQ(x.GetInt(0, 2, "WINDOW", "width"), 800);

  // Loading the file restores the node order, so saving again gives the
  // same bytes.
  ztXml y;
  ASSERT_EQ(y.Open(path.c_str()), 1);
  const ztXmlNode* window = &(*y.GetNodes())[0].children[0];
  EXPECT_EQ(window->children[0].name.View(), "width");
  std::u16string again = dir.Join(u"again.xml");
  y.Save(again.c_str());
  EXPECT_EQ(dir.Read(u"again.xml"), expected);
}

TEST(XmlWriter, LoadSaveLoadKeepsTheBytes) {
  const std::string body =
      "<document>\r\n"
      "  <a x=\"1\" y='2' X=\"3\">t</a>\r\n"
      "  <list><item>1</item><item>2</item><item n=\"\">3</item></list>\r\n"
      "  <empty></empty>\r\n"
      "  <deep><d1><d2><d3>bottom</d3></d2></d1></deep>\r\n"
      "</document>\r\n";
  std::string first = Saved(body);
  ASSERT_NE(first, "<load failed>");
  // x and X collapse into one attribute: the later one in the node list (x,
  // written first in the file) supplies name and value, at the place of the
  // first one (X, which goes out last).
  EXPECT_NE(first.find("  <a y=\"2\" x=\"1\">t</a>\r\n"), std::string::npos) << first;
  EXPECT_NE(first.find("    <item>1</item>\r\n    <item>2</item>\r\n    <item n=\"\">3</item>\r\n"), std::string::npos)
      << first;
  EXPECT_NE(first.find("  <empty></empty>\r\n"), std::string::npos);
  EXPECT_NE(first.find("      <d2>\r\n        <d3>bottom</d3>\r\n      </d2>\r\n"), std::string::npos);
  std::string second = Saved(first.substr(kDecl.size()));
  EXPECT_EQ(second, first);
}

TEST(XmlWriter, AttributeCollapseIsTheSameForManyAttributes) {
  std::string tag = "<e";
  for (int i = 0; i < 10; ++i) tag += " k" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  tag += " K3=\"x\">v</e>";
  std::string out = Saved(tag);
  EXPECT_EQ(out, kDecl +
                     "\r\n<e k0=\"0\" k1=\"1\" k2=\"2\" k4=\"4\" k5=\"5\" k6=\"6\" k7=\"7\" k8=\"8\" k9=\"9\" k3=\"3\">v</e>\r\n");
  // Few attributes take the plain path with the same result.
  EXPECT_EQ(Saved("<e a=\"1\" b=\"2\" A=\"x\">v</e>"), kDecl + "\r\n<e b=\"2\" a=\"1\">v</e>\r\n");
}

TEST(XmlWriter, TextOfAnElementWithChildrenIsNotWritten) {
  EXPECT_EQ(Saved("<a>x<b>1</b>y</a>"), kDecl + "\r\n<a>\r\n  <b>1</b>\r\n</a>\r\n");
}

TEST(XmlWriter, CommentsAndTrailingTextAreNotWritten) {
  EXPECT_EQ(Saved("<a><!-- note --><b>1</b></a> trailing <c>2</c>"), kDecl + "\r\n<a>\r\n  <b>1</b>\r\n</a>\r\n");
}

TEST(XmlWriter, NodesAddedBySettersComeFirst) {
  zt_test::TempDir dir;
  ztXml x;
  ASSERT_TRUE(Load(x, "<document><a>1</a></document>"));
  x.SetInt(2, 1, "b");
  x.SetInt(3, 1, "c");
  std::u16string path = dir.Join(u"o.xml");
  x.Save(path.c_str());
  EXPECT_EQ(dir.Read(u"o.xml"),
            kDecl + "\r\n<document>\r\n  <c>3</c>\r\n  <b>2</b>\r\n  <a>1</a>\r\n</document>\r\n");
}

TEST(XmlWriter, SavingOverALongerFileLeavesOnlyTheNewBytes) {
  zt_test::TempDir dir;
  ASSERT_TRUE(dir.Write(u"o.xml", std::string(5000, 'x')));
  ztXml x;
  x.Create();
  std::u16string path = dir.Join(u"o.xml");
  x.Save(path.c_str());
  EXPECT_EQ(dir.Read(u"o.xml"), kDecl + "\r\n<document></document>\r\n");
}

TEST(XmlWriter, UnopenedDocumentWritesNothing) {
  zt_test::TempDir dir;
  ztXml x;
  std::u16string path = dir.Join(u"o.xml");
  EXPECT_EQ(x.Save(path.c_str()), 1);
  EXPECT_EQ(dir.Read(u"o.xml"), "<missing>");
  EXPECT_EQ(x.LastErrorCode(), 0);
}

TEST(XmlWriter, FailedLoadSavesOnlyTheDeclaration) {
  zt_test::TempDir dir;
  ztXml x;
  EXPECT_FALSE(Load(x, "<a>1</b>"));
  std::u16string path = dir.Join(u"o.xml");
  x.Save(path.c_str());
  EXPECT_EQ(dir.Read(u"o.xml"), kDecl + "\r\n");
}

TEST(XmlWriter, UnopenableOutputIsCode9AndSaveStillReturns1) {
  zt_test::TempDir dir;
  ztXml x;
  x.Create();
  std::u16string path = dir.Join(u"no-such-folder") + zt_test::kSep + u"o.xml";
  EXPECT_EQ(x.Save(path.c_str()), 1);
  EXPECT_EQ(x.LastErrorCode(), 9);
  EXPECT_EQ(std::string(x.MessageText()),
            Cp932("書き込み先ファイル[" + zt_test::Utf8(path) + "]のオープンに失敗しました。"));
  EXPECT_EQ(x.GetNodes()->size(), 1u);
}

TEST(XmlWriter, TooLargeOutputIsCode10AndLeavesTheFileAlone) {
  // The indentation grows with the square of the depth: 34,000 levels need
  // more than 2^31 bytes.
  std::string body;
  for (int i = 0; i < 34000; ++i) body += "<e>";
  zt_test::TempDir dir;
  ASSERT_TRUE(dir.Write(u"o.xml", "old"));
  ztXml x;
  ASSERT_TRUE(Load(x, body));
  std::u16string path = dir.Join(u"o.xml");
  EXPECT_EQ(x.Save(path.c_str()), 1);
  EXPECT_EQ(x.LastErrorCode(), 10);
  EXPECT_EQ(std::string(x.MessageText()), Cp932("ファイル書き込み[" + zt_test::Utf8(path) + "]に失敗しました。"));
  EXPECT_EQ(dir.Read(u"o.xml"), "old");
}

TEST(XmlWriter, SerializeMeasuresAndFillsWithinTheGivenSize) {
  ztXmlParser p;
  ztXmlElement* r = p.AddElement(nullptr, "r", nullptr);
  p.SetAttribute(r, "k", "v");
  p.AddElement(r, "a", "1");
  const std::string full = kDecl + "\r\n<r k=\"v\">\r\n  <a>1</a>\r\n</r>\r\n";
  int32_t size = 0;
  EXPECT_EQ(p.Serialize(nullptr, &size), 1);
  EXPECT_EQ(size, static_cast<int32_t>(full.size()));
  std::string buf(60, '#');
  size = 50;
  EXPECT_EQ(p.Serialize(&buf[0], &size), 1);
  EXPECT_EQ(size, static_cast<int32_t>(full.size()));
  EXPECT_EQ(buf.substr(0, 50), full.substr(0, 50));
  EXPECT_EQ(buf.substr(50), std::string(10, '#'));
}

TEST(XmlWriter, ValueWithADoubleQuoteIsWrittenBetweenSingleQuotes) {
  const std::string once = Saved("<e t='a\"b' u=\"it's\">x</e>");
  EXPECT_EQ(once, kDecl + "\r\n<e t='a\"b' u=\"it's\">x</e>\r\n");
  EXPECT_EQ(Saved(once.substr(kDecl.size())), once);
}

TEST(XmlWriter, TreeThatWouldReadBackAsMarkupIsNotWrittenAndTheOldFileStays) {
  struct Case {
    const char* name;
    const char* text;
    const char* attribute;
    const char* value;
  };
  const Case cases[] = {
      {"a", "x<y", nullptr, nullptr},     {"", "x", nullptr, nullptr},       {"/a", "x", nullptr, nullptr},
      {"!--a", "x", nullptr, nullptr},    {"a b", "x", nullptr, nullptr},    {"a>", "x", nullptr, nullptr},
      {"a", "x", "k", "two words"},       {"a", "x", "k", "1>2"},            {"a", "x", "k", "'\""},
      {"a", "x", "k=1", "v"},
  };
  for (const Case& c : cases) {
    zt_test::TempDir dir;
    ASSERT_TRUE(dir.Write(u"o.xml", "old"));
    ztXmlParser p;
    ztXmlElement* r = p.AddElement(nullptr, "r", nullptr);
    ztXmlElement* e = p.AddElement(r, c.name, c.text);
    if (c.attribute) p.SetAttribute(e, c.attribute, c.value);
    const std::u16string path = dir.Join(u"o.xml");
    EXPECT_EQ(p.SaveFile(path.c_str()), 10) << c.name << " / " << c.text << " / " << (c.value ? c.value : "");
    EXPECT_EQ(std::string(p.MessageText()), Cp932("ファイル書き込み[" + zt_test::Utf8(path) + "]に失敗しました。"));
    EXPECT_EQ(dir.Read(u"o.xml"), "old");
    EXPECT_EQ(dir.Read(u"o.xml.zt~"), "<missing>");
  }
  // The same through the document's setter: Save still returns 1.
  zt_test::TempDir dir;
  ASSERT_TRUE(dir.Write(u"o.xml", "old"));
  ztXml x;
  x.Create();
  x.SetTextW(u"a<b", 2, "WINDOW", "title");
  const std::u16string path = dir.Join(u"o.xml");
  EXPECT_EQ(x.Save(path.c_str()), 1);
  EXPECT_EQ(x.LastErrorCode(), 10);
  EXPECT_EQ(dir.Read(u"o.xml"), "old");
  // Characters that are only markup elsewhere stay allowed.
  ztXmlParser p;
  ztXmlElement* r = p.AddElement(nullptr, "r/", "x > y");
  p.SetAttribute(r, "", "a=b");
  EXPECT_EQ(p.SaveFile(path.c_str()), 0);
  EXPECT_EQ(dir.Read(u"o.xml"), kDecl + "\r\n<r/ =\"a=b\">x > y</r/>\r\n");
}

#ifdef _WIN32
// (A POSIX rename replaces a read-only file; the system's rules there differ.)
TEST(XmlWriter, ReadOnlyTargetIsCode9AndKeepsItsBytes) {
  zt_test::TempDir dir;
  ASSERT_TRUE(dir.Write(u"o.xml", "old"));
  const std::u16string path = dir.Join(u"o.xml");
  ASSERT_TRUE(SetFileAttributesW(zt_test::W(path), FILE_ATTRIBUTE_READONLY));
  ztXml x;
  x.Create();
  x.SetInt(1, 1, "a");
  EXPECT_EQ(x.Save(path.c_str()), 1);
  EXPECT_EQ(x.LastErrorCode(), 9);
  EXPECT_EQ(dir.Read(u"o.xml"), "old");
  EXPECT_EQ(dir.Read(u"o.xml.zt~"), "<missing>");
  SetFileAttributesW(zt_test::W(path), FILE_ATTRIBUTE_NORMAL);
}

TEST(XmlWriter, TargetOf259UnitsIsStillReplacedWhole) {
  // Its replacement file passes 259 units and is named in the long form; a
  // folder in that place shows the writer really goes through it (in place,
  // the old bytes would be gone).
  zt_test::TempDir dir;
  std::u16string folder = dir.Path();
  while (folder.size() < 240) folder += u"\\" + std::u16string(std::min<size_t>(60, 239 - folder.size()), u'd');
  const std::u16string path = folder + u"\\" + std::u16string(258 - folder.size(), u'x');
  ASSERT_EQ(path.size(), 259u);
  ASSERT_TRUE(CreateFolderTree(path.c_str(), 1));
  ASSERT_TRUE(zt_test::WriteFileBytes(path, "old"));
  ztXml x;
  x.Create();
  x.SetInt(1, 1, "a");
  EXPECT_EQ(x.Save(path.c_str()), 1);
  EXPECT_EQ(x.LastErrorCode(), 0);
  const std::u16string blocker = u"\\\\?\\" + path + u".zt~";
  ASSERT_TRUE(CreateDirectoryW(zt_test::W(blocker), nullptr));
  x.SetInt(2, 1, "a");
  x.Save(path.c_str());
  EXPECT_EQ(x.LastErrorCode(), 9);
  RemoveDirectoryW(zt_test::W(blocker));
  ztXml back;
  ASSERT_EQ(back.Open(path.c_str()), 1);
  EXPECT_EQ(back.GetInt(0, 1, "a"), 1);
}
#endif

// XML: the document loaded from memory, a few path queries of each kind,
// the setters, the child walk, the document saved and loaded again; and the
// parser on its own, its tree written back as text into memory through the
// serialiser Save uses, which is then parsed again.
#include <string>

#include "fuzz/targets/fuzz_targets.h"
#include "fuzz/targets/fuzzsupport.h"
#include "xml/ztXml.h"
#include "xml/ztXmlParser.h"

namespace {

void Query(const ztXml& xml) {
  char text[64];
  char16_t wide[32];
  xml.GetText(text, "", 1, "brand");
  xml.GetText(text, "x", 2, "version", "major");
  xml.GetTextW(wide, u"", 3, "language", "lang00", "prifix");
  xml.GetInt(-1, 2, "version", "minor");
  xml.GetIntAt(7, ztXmlPath{"a", "b", "c"});
  ztXmlCursor cursor;
  if (xml.FirstChild(&cursor, 0)) {
    char name[16];
    int guard = 0;
    while (xml.NextChild(&cursor, name) && ++guard < 1000) {
    }
  }
}

}  // namespace

int ztFuzzXml(const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFF0u) return 0;
  // OpenMem takes strlen for a length of 0, so the input is always given
  // with its length; an empty input goes in as a one-byte zero.
  const uint8_t zero = 0;
  const void* bytes = size ? static_cast<const void*>(data) : &zero;
  int32_t length = size ? static_cast<int32_t>(size) : 1;

  ztXml xml;
  if (xml.OpenMem(bytes, length)) {
    Query(xml);
    xml.SetInt(42, 2, "fuzz", "value");
    xml.SetTextW(u"\u30c6\u30b9\u30c8", 1, "brand");
    Query(xml);
    // The document's own Save (nodes rebuilt as elements, attributes made
    // unique) into a file, and that file loaded again.
    static const std::u16string saved = ztFuzzScratchPath("saved.xml");
    xml.Save(saved.c_str());
    ztXml back;
    if (back.Open(saved.c_str())) Query(back);
  }

  // The parser on its own: parse, serialise into memory, parse the result.
  ztXmlParser parser;
  if (parser.Parse(bytes, length) == ZTXML_OK) {
    int32_t measured = 0;
    if (!parser.Serialize(nullptr, &measured)) return 0;
    std::string text(static_cast<size_t>(measured), '\0');
    int32_t filled = measured;
    if (!parser.Serialize(text.empty() ? nullptr : &text[0], &filled) || filled != measured)
      ztFuzzFail("serialised size changed between measuring (%d) and writing (%d)", measured, filled);
    // The dialect escapes nothing, so text the parser accepted need not come
    // back identical; it is parsed again for the reader's sake only.
    ztXmlParser again;
    again.Parse(text.data(), static_cast<int32_t>(text.size()));
  }
  return 0;
}

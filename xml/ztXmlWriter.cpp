// Writing an element tree back as text: the fixed declaration, one element
// per line, two spaces of indentation per level, CR LF line ends. The
// dialect has no escapes: names, texts and values go out byte for byte, and
// a tree holding something the parser would read as markup is not written
// at all (the file it would make does not load back, and every setting in
// it would be lost).
#include <cstring>
#include <string>

#include "file/textutil.h"
#include "file/ztFile.h"
#include "file/ztStringList.h"
#include "xml/ztXmlParser.h"

// 書き込み先ファイル[%s]のオープンに失敗しました。
static const char kMsgWriteOpen[] =
    "\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x90\xe6\x83t\x83@\x83\x43\x83\x8b[%s]\x82\xcc\x83I\x81[\x83v\x83\x93\x82\xc9"
    "\x8e\xb8\x94s\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42";
// ファイル書き込み[%s]に失敗しました。
static const char kMsgWrite[] =
    "\x83t\x83@\x83\x43\x83\x8b\x8f\x91\x82\xab\x8d\x9e\x82\xdd[%s]\x82\xc9\x8e\xb8\x94s\x82\xb5\x82\xdc\x82\xb5\x82\xbd"
    "\x81\x42";

static const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";

namespace {

// Copies pieces at a running position: into the buffer while there is room,
// and always advancing by the full length, so the same walk measures (null
// buffer) and fills. The position is 64-bit: indentation grows with the
// square of the nesting depth and can pass any 32-bit size.
class Sink {
 public:
  Sink(char* buffer, int32_t capacity)
      : buffer_(buffer), capacity_(buffer && capacity > 0 ? static_cast<uint64_t>(capacity) : 0) {}

  void Put(const char* s, size_t n) {
    if (pos_ < capacity_) {
      uint64_t room = capacity_ - pos_;
      size_t k = n < room ? n : static_cast<size_t>(room);
      std::memcpy(buffer_ + pos_, s, k);
    }
    pos_ += n;
  }
  void Put(const ztXmlStr& s) { Put(s.View().data(), s.View().size()); }
  void Put(char c) { Put(&c, 1); }
  void Spaces(uint64_t n) {
    if (pos_ < capacity_) {
      uint64_t room = capacity_ - pos_;
      uint64_t k = n < room ? n : room;
      std::memset(buffer_ + pos_, ' ', static_cast<size_t>(k));
    }
    pos_ += n;
  }
  uint64_t Position() const { return pos_; }

 private:
  char* buffer_;
  uint64_t capacity_;
  uint64_t pos_ = 0;
};

bool Has(std::string_view s, const char* bytes) { return s.find_first_of(bytes) != std::string_view::npos; }

// A value holding a double quote is written between single quotes, which
// the parser reads as well; only one holding both has no written form.
char QuoteFor(std::string_view value) {
  return value.find('"') != std::string_view::npos && value.find('\'') == std::string_view::npos ? '\'' : '"';
}

// Whether the text of `e` (names, text, attributes) reads back as written.
// A tag's words end at a space and the tag at ">", a "<" starts a new tag,
// a name beginning with "/" closes an element and one beginning with "!--"
// is a comment; an empty element name is no tag.
bool Writable(const ztXmlElement* e) {
  const std::string_view name = e->name.View();
  if (name.empty() || Has(name, " <>") || name[0] == '/' || name.substr(0, 3) == "!--") return false;
  if (!e->firstChild && Has(e->text.View(), "<")) return false;
  for (const ztXmlAttribute* a = e->firstAttribute; a; a = a->next) {
    const std::string_view value = a->value.View();
    if (Has(a->name.View(), " <>=") || Has(value, " <>")) return false;
    if (Has(value, "\"") && Has(value, "'")) return false;
  }
  return true;
}

void OpenTag(Sink& out, const ztXmlElement* e, uint64_t depth) {
  out.Spaces(2 * depth);
  out.Put('<');
  out.Put(e->name);
  for (const ztXmlAttribute* a = e->firstAttribute; a; a = a->next) {
    const char quote = QuoteFor(a->value.View());
    out.Put(' ');
    out.Put(a->name);
    out.Put('=');
    out.Put(quote);
    out.Put(a->value);
    out.Put(quote);
  }
  out.Put('>');
}

void CloseTag(Sink& out, const ztXmlElement* e) {
  out.Put("</", 2);
  out.Put(e->name);
  out.Put(">\r\n", 3);
}

}  // namespace

int32_t ztXmlParser::Serialize(char* buffer, int32_t* size) {
  Sink out(buffer, *size);
  out.Put(kDeclaration, sizeof kDeclaration - 1);

  // Depth-first walk over the sibling and parent links: no recursion, so the
  // nesting depth costs no stack.
  const ztXmlElement* e = root_.firstChild;
  uint64_t depth = 0;
  while (e) {
    OpenTag(out, e, depth);
    if (e->firstChild) {
      out.Put("\r\n", 2);
      e = e->firstChild;
      ++depth;
      continue;
    }
    out.Put(e->text);
    CloseTag(out, e);
    // Climb until a sibling follows, closing the parents on the way.
    while (!e->next) {
      e = e->parent;
      if (!e || e == &root_) break;
      --depth;
      out.Spaces(2 * depth);
      CloseTag(out, e);
    }
    e = (e && e != &root_) ? e->next : nullptr;
  }

  if (out.Position() > static_cast<uint64_t>(INT32_MAX)) {
    *size = -1;
    return 0;
  }
  *size = static_cast<int32_t>(out.Position());
  lastError_ = ZTXML_OK;
  return 1;
}

bool ztXmlParser::TreeWritable() const {
  // The same walk as Serialize's, without recursion.
  const ztXmlElement* e = root_.firstChild;
  while (e) {
    if (!Writable(e)) return false;
    if (e->firstChild) {
      e = e->firstChild;
      continue;
    }
    while (!e->next) {
      e = e->parent;
      if (!e || e == &root_) return true;
    }
    e = e->next;
  }
  return true;
}

int32_t ztXmlParser::SaveFile(const char16_t* path) {
  int32_t size = 0;
  // Too large to be held in one block, or not writable in this dialect:
  // nothing is opened or written, so an existing file keeps its content.
  if (!TreeWritable() || !Serialize(nullptr, &size)) {
    SetMessageW(kMsgWrite, path);
    return Fail(ZTXML_ERR_WRITE);
  }
  std::string text(static_cast<size_t>(size), '\0');
  Serialize(&text[0], &size);

  // The text goes to a file of its own next to the target, which then
  // replaces the target whole: a write that fails part-way (a full disk)
  // leaves the old file as it was instead of a cut one. Only a path that
  // cannot be made full has no such name; it is written in place.
  char16_t temp[ZT_LONG_PATH];
  const bool viaTemp = ztReplacementName(path, temp) != 0;
  const char16_t* target = viaTemp ? temp : path;

  ztFile file;
  // A read-only target is refused as opening it for writing would be (not
  // every system refuses to rename over one).
  const uint32_t attributes = file.GetAttributes(path);
  const bool readOnly = attributes != ZT_ATTR_INVALID && (attributes & ZT_ATTR_READONLY);
  if (readOnly || !file.Open(target, ZTFILE_WRITE | ZTFILE_CREATE_ALWAYS)) {
    SetMessageW(kMsgWriteOpen, path);
    return Fail(ZTXML_ERR_WRITE_OPEN);
  }
  const bool written = file.Write(text.data(), static_cast<uint32_t>(size)) == size;
  const bool closed = file.Close() != 0;
  if (!written || !closed) {
    if (viaTemp) file.Remove(temp, 1);
    SetMessageW(kMsgWrite, path);
    return Fail(ZTXML_ERR_WRITE);
  }
  // A target that cannot be replaced (read-only, held open) is one that
  // could not be opened for writing.
  if (viaTemp && !ztReplaceFileWith(temp, path)) {
    file.Remove(temp, 1);
    SetMessageW(kMsgWriteOpen, path);
    return Fail(ZTXML_ERR_WRITE_OPEN);
  }
  return Fail(ZTXML_OK);
}

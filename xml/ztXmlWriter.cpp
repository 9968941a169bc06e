// Writing an element tree back as text: the fixed declaration, one element
// per line, two spaces of indentation per level, CR LF line ends. Nothing is
// escaped: names, texts and values go out byte for byte.
#include <cstring>
#include <string>

#include "file/textutil.h"
#include "file/ztFile.h"
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

void OpenTag(Sink& out, const ztXmlElement* e, uint64_t depth) {
  out.Spaces(2 * depth);
  out.Put('<');
  out.Put(e->name);
  for (const ztXmlAttribute* a = e->firstAttribute; a; a = a->next) {
    out.Put(' ');
    out.Put(a->name);
    out.Put("=\"", 2);
    out.Put(a->value);
    out.Put('"');
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

int32_t ztXmlParser::SaveFile(const char16_t* path) {
  int32_t size = 0;
  if (!Serialize(nullptr, &size)) {
    // Too large to be held in one block: nothing is opened or written, so an
    // existing file keeps its content.
    SetMessageW(kMsgWrite, path);
    return Fail(ZTXML_ERR_WRITE);
  }
  std::string text(static_cast<size_t>(size), '\0');
  Serialize(&text[0], &size);

  ztFile file;
  if (!file.Open(path, ZTFILE_WRITE | ZTFILE_CREATE_ALWAYS)) {
    SetMessageW(kMsgWriteOpen, path);
    return Fail(ZTXML_ERR_WRITE_OPEN);
  }
  if (file.Write(text.data(), static_cast<uint32_t>(size)) != size) {
    SetMessageW(kMsgWrite, path);
    return Fail(ZTXML_ERR_WRITE);
  }
  file.Close();
  return Fail(ZTXML_OK);
}

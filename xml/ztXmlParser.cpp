#include "xml/ztXmlParser.h"

#include <cstring>

#include "file/textutil.h"
#include "file/ztFile.h"
#include "platform/ztHeap.h"
#include "platform/ztLimits.h"

// Heap tag of the parser's working copies.
constexpr int kHeapTagXml = 0x584d;

// The parser's messages, code page 932.
// ファイル %s のオープンに失敗しました。
const char kMsgOpen[] =
    "\x83t\x83@\x83\x43\x83\x8b %s \x82\xcc\x83I\x81[\x83v\x83\x93\x82\xc9\x8e\xb8\x94s\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42";
// ファイル %s の読み込みに失敗しました。
const char kMsgRead[] =
    "\x83t\x83@\x83\x43\x83\x8b %s \x82\xcc\x93\xc7\x82\xdd\x8d\x9e\x82\xdd\x82\xc9\x8e\xb8\x94s\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42";
// 読み込みバッファが無効です。
const char kMsgBuffer[] = "\x93\xc7\x82\xdd\x8d\x9e\x82\xdd\x83o\x83\x62\x83t\x83@\x82\xaa\x96\xb3\x8c\xf8\x82\xc5\x82\xb7\x81\x42";
// 読み込みできない形式のファイルです。
const char kMsgFormat[] =
    "\x93\xc7\x82\xdd\x8d\x9e\x82\xdd\x82\xc5\x82\xab\x82\xc8\x82\xa2\x8c`\x8e\xae\x82\xcc\x83t\x83@\x83\x43\x83\x8b\x82\xc5\x82\xb7\x81\x42";
// タグではありません。
const char kMsgNotTag[] = "\x83^\x83O\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42";
// タグ定義に誤りがあります。
const char kMsgTagDefinition[] = "\x83^\x83O\x92\xe8\x8b`\x82\xc9\x8c\xeb\x82\xe8\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb7\x81\x42";
// 不正なタグです。
const char kMsgBadTag[] = "\x95s\x90\xb3\x82\xc8\x83^\x83O\x82\xc5\x82\xb7\x81\x42";
// タグ終端<%s>が不正です。
const char kMsgEndTag[] = "\x83^\x83O\x8fI\x92[<%s>\x82\xaa\x95s\x90\xb3\x82\xc5\x82\xb7\x81\x42";
// XMLの長さ(%s バイト)が上限を超えています。
const char kMsgTooLong[] =
    "XML\x82\xcc\x92\xb7\x82\xb3(%s \x83o\x83\x43\x83g)\x82\xaa\x8f\xe3\x8c\xc0\x82\xf0\x92\xb4\x82\xa6\x82\xc4"
    "\x82\xa2\x82\xdc\x82\xb7\x81\x42";
// 属性(%s)の値が不正です。
const char kMsgAttribute[] = "\x91\xae\x90\xab(%s)\x82\xcc\x92l\x82\xaa\x95s\x90\xb3\x82\xc5\x82\xb7\x81\x42";

namespace {

bool EqualNoCase(const char* a, std::string_view b) {
  for (size_t i = 0; i < b.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && EqualNoCase(a.data(), b);
}

// Length of the character starting at `p` inside a tag, never beyond `left`
// bytes. Lead bytes announce their length by their leading one bits; the
// bytes that the library's UTF-8 rule tests (2 to n-1) must be continuation
// bytes. Anything that cannot start a character counts as one byte, so the
// word reader always moves on.
size_t CharLength(const unsigned char* p, size_t left) {
  unsigned b = p[0];
  if (b < 0x80) return 1;
  int ones = 0;
  while (ones < 8 && (b & (0x80u >> ones))) ++ones;
  if (ones == 1 || ones >= 6) return 1;
  size_t n = static_cast<size_t>(ones);
  for (size_t i = 1; i + 1 < n; ++i) {
    if (i >= left || (p[i] & 0xC0) != 0x80) return 1;
  }
  return n < left ? n : left;
}

// Reads the next word of `s` (n bytes) from `pos`: spaces are skipped, then
// whole characters are taken up to a space or the end. Sets `start` to the
// first byte of the word and returns the position after it (== start when
// the word is empty).
size_t ReadWord(const char* s, size_t n, size_t pos, size_t* start) {
  while (pos < n && s[pos] == ' ') ++pos;
  *start = pos;
  const auto* u = reinterpret_cast<const unsigned char*>(s);
  while (pos < n && s[pos] != ' ') pos += CharLength(u + pos, n - pos);
  return pos;
}

}  // namespace

struct ztXmlParser::TagInfo {
  std::string_view name;
  // In document order; they are linked at the front of the element's list.
  std::vector<std::pair<std::string_view, std::string_view>> attributes;
};

ztXmlParser::ztXmlParser() = default;

ztXmlParser::~ztXmlParser() = default;

void ztXmlParser::SetMessage(const char* format, std::string_view argument) {
  std::string text;
  const char* s = std::strstr(format, "%s");
  if (s) {
    text.assign(format, s);
    text.append(argument.data(), argument.size());
    text.append(s + 2);
  } else {
    text = format;
  }
  // A long path or attribute name must not overrun the field: cut before the
  // character that would not fit, never between the two bytes of one.
  size_t n = 0;
  while (n < text.size()) {
    size_t step = IsShiftJisLead(text.c_str() + n) ? 2 : 1;
    if (n + step > ZTXML_MESSAGE_SIZE - 1) break;
    n += step;
  }
  std::memcpy(message_, text.data(), n);
  message_[n] = 0;
}

void ztXmlParser::SetMessageW(const char* format, const char16_t* path) {
  // The path goes into a code page 932 message; a path that cannot be
  // converted whole still gives what could be converted.
  size_t len = path ? TextLength(path) : 0;
  std::string narrow(len * 2 + 1, '\0');
  ToShiftJis(&narrow[0], narrow.size(), path ? path : u"");
  narrow.resize(std::strlen(narrow.c_str()));
  SetMessage(format, narrow);
}

int32_t ztXmlParser::Fail(int32_t code) {
  lastError_ = code;
  return code;
}

ztXmlStr ztXmlParser::CopyString(std::string_view text) {
  ztXmlStr s;
  if (!text.empty()) s.data = arena_.Copy(text.data(), text.size());
  return s;
}

ztXmlStr ztXmlParser::CopyString(const char* text) { return CopyString(std::string_view(text ? text : "")); }

ztXmlElement* ztXmlParser::NewElement(ztXmlElement* parent) {
  ztXmlElement* e = arena_.New<ztXmlElement>();
  e->parent = parent;
  e->next = parent->firstChild;
  if (parent->firstChild) parent->firstChild->prev = e;
  parent->firstChild = e;
  return e;
}

ztXmlElement* ztXmlParser::AddElement(ztXmlElement* parent, const char* name, const char* text) {
  ztXmlElement* e = NewElement(parent ? parent : &root_);
  e->name = CopyString(name);
  e->text = CopyString(text);
  return e;
}

int32_t ztXmlParser::SetAttribute(ztXmlElement* element, const char* name, const char* value) {
  std::string_view key(name ? name : "");
  for (ztXmlAttribute* a = element->firstAttribute; a; a = a->next) {
    if (EqualNoCase(a->name.View(), key)) {
      ReplaceAttribute(a, name, value);
      return 1;
    }
  }
  AddAttribute(element, name, value);
  return 1;
}

ztXmlAttribute* ztXmlParser::AddAttribute(ztXmlElement* element, const char* name, const char* value) {
  ztXmlAttribute* a = arena_.New<ztXmlAttribute>();
  a->owner = element;
  a->name = CopyString(name);
  a->value = CopyString(value);
  a->next = element->firstAttribute;
  if (a->next) a->next->prev = a;
  element->firstAttribute = a;
  return a;
}

void ztXmlParser::ReplaceAttribute(ztXmlAttribute* attribute, const char* name, const char* value) {
  attribute->name = CopyString(name);
  attribute->value = CopyString(value);
}

void ztXmlParser::ClearTree() {
  root_ = ztXmlElement();
  arena_.Clear();
}

int32_t ztXmlParser::GetAttribute(const ztXmlElement* element, const char* name, std::string* value) const {
  std::string_view key(name ? name : "");
  for (const ztXmlAttribute* a = element->firstAttribute; a; a = a->next) {
    if (EqualNoCase(a->name.View(), key)) {
      value->assign(a->value.data);
      return 1;
    }
  }
  return 0;
}

int32_t ztXmlParser::LoadFile(const char16_t* path) {
  ztFile file;
  if (!file.Open(path, ZTFILE_READ | ZTFILE_OPEN_EXISTING)) {
    SetMessageW(kMsgOpen, path);
    return Fail(ZTXML_ERR_OPEN);
  }
  int32_t size = file.GetSize();
  // A document past the caller's limit is refused before its copy is made.
  if (size > 0 && static_cast<uint32_t>(size) > ztGetLimit(ZTLIMIT_XML_BYTES)) {
    SetMessage(kMsgTooLong, std::to_string(size));
    return Fail(ZTXML_ERR_READ);
  }
  // The working copy carries 8 zero bytes past the data, as Parse makes it.
  char* work = size >= 0 ? static_cast<char*>(ztHeapAlloc(kHeapTagXml, static_cast<uint32_t>(size) + 8)) : nullptr;
  if (!work) {
    SetMessageW(kMsgRead, path);
    return Fail(ZTXML_ERR_READ);
  }
  std::memset(work, 0, static_cast<size_t>(size) + 8);
  int32_t got = size ? file.Read(work, static_cast<uint32_t>(size)) : 0;
  if (got != size) {
    ztHeapFree(work);
    SetMessageW(kMsgRead, path);
    return Fail(ZTXML_ERR_READ);
  }
  return ParseOwned(work, static_cast<size_t>(size));
}

int32_t ztXmlParser::Parse(const void* data, int32_t length) {
  scratch_.clear();
  scratch_.shrink_to_fit();
  // A negative length is as unusable as a missing block.
  if (!data || length < 0) {
    SetMessage(kMsgBuffer);
    return Fail(ZTXML_ERR_BUFFER);
  }
  if (static_cast<uint32_t>(length) > ztGetLimit(ZTLIMIT_XML_BYTES)) {
    SetMessage(kMsgTooLong, std::to_string(length));
    return Fail(ZTXML_ERR_BUFFER);
  }
  size_t n = static_cast<size_t>(length);
  char* work = static_cast<char*>(ztHeapAlloc(kHeapTagXml, static_cast<uint32_t>(n) + 8));
  if (!work) {
    SetMessage(kMsgBuffer);
    return Fail(ZTXML_ERR_BUFFER);
  }
  std::memcpy(work, data, n);
  std::memset(work + n, 0, 8);
  return ParseOwned(work, n);
}

// Tokens. The working copy is first normalised in place (CR LF becomes LF,
// then LF and TAB become spaces), so every token is a contiguous span of it:
// a "<" starts a new token (emitting the one before, even an empty one,
// unless the "<" is the very first byte), a ">" ends one (a ">" as the very
// first byte is dropped). Text after the last ">" is never emitted.
//
// The tokens are produced on demand rather than stored. Comments are removed
// on the way: a token beginning with "<!--" starts a comment that runs up to
// and including the next token ending with "-->" (possibly itself). When no
// such token follows, nothing is removed, and since that start stays open
// no later comment is removed either. Each token is looked at a bounded
// number of times, so the whole walk is linear.
class ztXmlParser::TokenStream {
 public:
  TokenStream(const char* work, size_t length) : work_(work), length_(length) {}

  // The next token without comment removal (the declaration is read so).
  // The working copy is terminated at `length`, so the search for the two
  // delimiters can run on the library's string scan.
  bool NextRaw(std::string_view* token) {
    const char* w = work_;
    for (size_t i = pos_;; ++i) {
      i += std::strcspn(w + i, "<>");
      if (i >= length_) break;
      if (w[i] == '<') {
        if (i == 0) continue;
        *token = std::string_view(w + start_, i - start_);
        start_ = i;
        pos_ = i + 1;
        return true;
      }
      size_t from = start_;
      start_ = i + 1;
      if (i == 0) continue;
      *token = std::string_view(w + from, i + 1 - from);
      pos_ = i + 1;
      return true;
    }
    pos_ = length_;
    return false;
  }

  bool Next(std::string_view* token) {
    for (;;) {
      if (!NextRaw(token)) return false;
      if (commentsOpen_ || !StartsComment(*token)) return true;
      if (EndsComment(*token)) continue;
      size_t pos = pos_, start = start_;
      std::string_view t;
      bool ended = false;
      while (NextRaw(&t)) {
        if (EndsComment(t)) {
          ended = true;
          break;
        }
      }
      if (ended) continue;
      pos_ = pos;
      start_ = start;
      commentsOpen_ = true;
      return true;
    }
  }

 private:
  static bool StartsComment(std::string_view t) { return t.size() >= 4 && std::memcmp(t.data(), "<!--", 4) == 0; }
  static bool EndsComment(std::string_view t) {
    return t.size() >= 3 && std::memcmp(t.data() + t.size() - 3, "-->", 3) == 0;
  }

  const char* work_;
  size_t length_;
  size_t pos_ = 0;
  size_t start_ = 0;
  bool commentsOpen_ = false;
};

namespace {

// CR LF to LF, then LF and TAB to spaces; the input ends at the first zero
// byte (the working copy always has one after its `length` bytes). Returns
// the new length and terminates the text there. Runs between line breaks are
// moved whole.
size_t Normalise(char* work, size_t length) {
  size_t out = 0;
  size_t i = 0;
  for (;;) {
    size_t k = std::strcspn(work + i, "\r\t\n");
    if (k > length - i) k = length - i;
    if (out != i && k) std::memmove(work + out, work + i, k);
    out += k;
    i += k;
    if (i >= length || work[i] == 0) break;
    char c = work[i++];
    if (c == '\r') {
      if (work[i] == '\n') continue;  // the LF that follows stands for both
      work[out++] = c;
    } else {
      work[out++] = ' ';
    }
  }
  work[out] = 0;
  return out;
}

}  // namespace

// Parses the working copy `work` (length bytes followed by 8 zero bytes,
// from the private heap) and frees it.
int32_t ztXmlParser::ParseOwned(char* work, size_t length) {
  length = Normalise(work, length);

  TokenStream tokens(work, length);
  TagInfo tag;
  int32_t code = ZTXML_OK;
  if (!CheckDeclaration(tokens, &tag)) {
    SetMessage(kMsgFormat);
    code = ZTXML_ERR_FORMAT;
  } else {
    // Text between the declaration and the first tag is ignored.
    std::string_view t;
    while (tokens.Next(&t)) {
      if (!t.empty() && t[0] == '<') {
        code = BuildTree(tokens, t, &tag);
        break;
      }
    }
  }
  ztHeapFree(work);
  scratch_.clear();
  scratch_.shrink_to_fit();
  return Fail(code);
}

bool ztXmlParser::CheckDeclaration(TokenStream& tokens, TagInfo* tag) {
  std::string_view t;
  if (!tokens.NextRaw(&t)) return false;
  if (!ParseTag(t.data(), t.size(), "<?", "?>", tag)) return false;
  if (tag->name != "xml") return false;
  // The attribute list is searched from its front, which is the last
  // attribute written.
  auto find = [&](std::string_view name, std::string_view want) {
    for (size_t i = tag->attributes.size(); i-- > 0;) {
      if (EqualNoCase(tag->attributes[i].first, name)) return EqualNoCase(tag->attributes[i].second, want);
    }
    return false;
  };
  return find("version", "1.0") && find("encoding", "UTF-8");
}

bool ztXmlParser::ParseTag(const char* token, size_t length, std::string_view open, std::string_view close,
                           TagInfo* tag) {
  tag->name = std::string_view();
  tag->attributes.clear();
  if (length < open.size() || !EqualNoCase(token, open)) {
    SetMessage(kMsgNotTag);
    return false;
  }
  if (length >= close.size() && !EqualNoCase(token + length - close.size(), close)) {
    SetMessage(kMsgTagDefinition);
    return false;
  }
  // Inner text; when the delimiters overlap ("<?>") there is none.
  const char* inner = token + open.size();
  size_t end = length >= close.size() ? length - close.size() : length;
  size_t n = end > open.size() ? end - open.size() : 0;

  size_t ws;
  size_t pos = ReadWord(inner, n, 0, &ws);
  if (pos == ws) {
    SetMessage(kMsgBadTag);
    return false;
  }
  tag->name = std::string_view(inner + ws, pos - ws);

  // Attributes: name="value" or name='value', one word each. A word without
  // "=" ends the list silently; a bad value ends it with a message.
  for (;;) {
    size_t we = ReadWord(inner, n, pos, &ws);
    if (we == ws) break;
    const char* w = inner + ws;
    size_t wn = we - ws;
    const void* eqp = std::memchr(w, '=', wn);
    if (!eqp) break;
    size_t eq = static_cast<size_t>(static_cast<const char*>(eqp) - w);
    std::string_view name(w, eq);
    char quote = eq + 1 < wn ? w[eq + 1] : 0;
    if (quote != '"' && quote != '\'') {
      SetMessage(kMsgAttribute, name);
      break;
    }
    size_t vs = eq + 2;
    const void* qp = vs < wn ? std::memchr(w + vs, quote, wn - vs) : nullptr;
    size_t ve = wn;  // no closing quote: the value is the rest of the word
    if (qp) {
      ve = static_cast<size_t>(static_cast<const char*>(qp) - w);
      if (ve != wn - 1) {
        SetMessage(kMsgAttribute, name);
        break;
      }
    }
    tag->attributes.emplace_back(name, std::string_view(w + vs, ve > vs ? ve - vs : 0));
    pos = we;
  }
  return true;
}

void ztXmlParser::LinkAttributes(ztXmlElement* element, const TagInfo& tag) {
  for (const auto& kv : tag.attributes) {
    ztXmlAttribute* a = arena_.New<ztXmlAttribute>();
    a->owner = element;
    a->name = CopyString(kv.first);
    a->value = CopyString(kv.second);
    a->next = element->firstAttribute;
    if (a->next) a->next->prev = a;
    element->firstAttribute = a;
  }
}

// The elements still open while a tree is built, innermost last: an
// explicit stack rather than the call stack, so nesting is limited only by
// memory. An element's text may come in several pieces (text between its
// children); pieces after the first are gathered in the parser's scratch_,
// each open element owning the section from its `mark` to the end, which
// works because a parent only receives text while it is the innermost open
// element.
class ztXmlParser::OpenElements {
 public:
  explicit OpenElements(ztXmlParser& parser) : parser_(parser) { parser_.scratch_.clear(); }

  bool Empty() const { return open_.empty(); }
  ztXmlElement* Innermost() const { return open_.back().element; }

  // A new element for `tag` under `parent`, now the innermost.
  void Start(ztXmlElement* parent, const TagInfo& tag) {
    ztXmlElement* e = parser_.NewElement(parent);
    e->name = parser_.CopyString(tag.name);
    parser_.LinkAttributes(e, tag);
    open_.push_back(
        {e, std::string_view(e->name.data, tag.name.size()), std::string_view(), parser_.scratch_.size(), 0});
  }
  // A text piece of the innermost element.
  void AddText(std::string_view t) {
    Frame& f = open_.back();
    if (f.pieces == 0) {
      f.piece = t;
    } else {
      if (f.pieces == 1) parser_.scratch_.append(f.piece.data(), f.piece.size());
      parser_.scratch_.append(t.data(), t.size());
    }
    ++f.pieces;
  }
  // Ends the innermost element; false, with nothing ended, when `name` is
  // not its name.
  bool End(std::string_view name) {
    if (name != open_.back().name) return false;
    Finish(open_.back());
    open_.pop_back();
    return true;
  }
  void EndAll() {
    while (!open_.empty()) {
      Finish(open_.back());
      open_.pop_back();
    }
  }

 private:
  struct Frame {
    ztXmlElement* element;
    std::string_view name;
    std::string_view piece;  // the first text piece, until a second one arrives
    size_t mark;
    uint32_t pieces;
  };

  // Gives the element its text.
  void Finish(Frame& f) {
    if (f.pieces == 1) {
      f.element->text = parser_.CopyString(f.piece);
    } else if (f.pieces > 1) {
      f.element->text = parser_.CopyString(std::string_view(parser_.scratch_).substr(f.mark));
      parser_.scratch_.resize(f.mark);
    }
  }

  ztXmlParser& parser_;
  std::vector<Frame> open_;
};

// Builds the element whose start tag is `first` and everything inside it,
// pulling the following tokens from `tokens`.
int32_t ztXmlParser::BuildTree(TokenStream& tokens, std::string_view first, TagInfo* tag) {
  OpenElements open(*this);
  if (!ParseTag(first.data(), first.size(), "<", ">", tag)) return ZTXML_ERR_TAG;
  open.Start(&root_, *tag);

  std::string_view t;
  while (!open.Empty() && tokens.Next(&t)) {
    if (t.empty()) continue;
    if (t[0] != '<') {
      open.AddText(t);
      continue;
    }
    if (!ParseTag(t.data(), t.size(), "<", ">", tag)) {
      open.EndAll();
      return ZTXML_ERR_TAG;
    }
    if (tag->name[0] == '/') {
      if (!open.End(tag->name.substr(1))) {
        SetMessage(kMsgEndTag, tag->name);
        open.EndAll();
        return ZTXML_ERR_END_TAG;
      }
      continue;
    }
    open.Start(open.Innermost(), *tag);
  }
  // Tokens ran out with elements still open: they end here, which is not an
  // error. Tokens after the top-level element are never read.
  open.EndAll();
  return ZTXML_OK;
}

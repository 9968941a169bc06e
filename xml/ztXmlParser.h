// The parser of the system's XML dialect and its element tree.
//
// The dialect is small and fixed: a mandatory declaration naming version
// "1.0" and encoding "UTF-8", nested elements with text, attributes written
// as name="value" and comments. No entities, CDATA, doctype, processing
// instructions or empty-element tags. Names and texts stay exactly as the
// file holds them; nothing is decoded, unescaped or trimmed, except that line
// breaks and TABs become spaces.
//
// Every new child and every new attribute is linked in at the FRONT of its
// list, so a parse leaves each list in reverse document order. The document
// class and the writer rely on that: a lookup by name finds the last element
// of that name in the file, and saving a loaded document restores its order.
//
// Results are error codes (0 success, see ZTXML_ERR_*); every failure also
// leaves a code page 932 message in MessageText().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "xml/ztXmlArena.h"

enum : int32_t {
  ZTXML_OK = 0,
  ZTXML_ERR_OPEN = 1,         // the input file cannot be opened
  ZTXML_ERR_READ = 2,         // fewer bytes read than the file's size
  ZTXML_ERR_BUFFER = 3,       // no input block
  ZTXML_ERR_FORMAT = 4,       // declaration missing or not acceptable
  ZTXML_ERR_TAG = 5,          // a tag cannot be parsed
  ZTXML_ERR_END_TAG = 6,      // an end tag does not match the open element
  ZTXML_ERR_WRITE_OPEN = 9,   // the output file cannot be opened
  ZTXML_ERR_WRITE = 10,       // the output file cannot be written
};

// Size of the message text field, terminator included.
constexpr size_t ZTXML_MESSAGE_SIZE = 512;

// A terminated byte string held by the parser. Texts cannot contain a zero
// byte (a zero ends the input), so the terminator is the length; keeping no
// separate size keeps the per-element cost of large documents down.
struct ztXmlStr {
  const char* data = "";
  std::string_view View() const { return std::string_view(data); }
};

struct ztXmlElement;

struct ztXmlAttribute {
  ztXmlElement* owner = nullptr;
  ztXmlAttribute* prev = nullptr;
  ztXmlAttribute* next = nullptr;
  ztXmlStr name;
  ztXmlStr value;  // without the quotes
};

struct ztXmlElement {
  ztXmlElement* parent = nullptr;  // null only for the invisible root
  ztXmlElement* firstChild = nullptr;
  ztXmlElement* prev = nullptr;
  ztXmlElement* next = nullptr;
  ztXmlStr name;
  ztXmlStr text;  // every text token between start and end tag, concatenated
  ztXmlAttribute* firstAttribute = nullptr;
};

class ztXmlParser {
 public:
  ztXmlParser();
  ~ztXmlParser();
  ztXmlParser(const ztXmlParser&) = delete;
  ztXmlParser& operator=(const ztXmlParser&) = delete;

  // Reads the whole file and parses it. Returns the error code.
  int32_t LoadFile(const char16_t* path);

  // Parses `length` bytes of `data` (the caller keeps them). A length of 0 is
  // an empty input; a null `data` or a negative length gives code 3.
  int32_t Parse(const void* data, int32_t length);

  // The first top-level element, or null.
  ztXmlElement* GetRoot() const { return root_.firstChild; }

  // A new element at the front of `parent`'s children (null: the top level);
  // `name` and `text` are copied when given.
  ztXmlElement* AddElement(ztXmlElement* parent, const char* name, const char* text);

  // Replaces the name and value of the first attribute whose name equals
  // `name` ignoring ASCII case, else links a new one at the front. Always 1.
  int32_t SetAttribute(ztXmlElement* element, const char* name, const char* value);

  // 1 with `value` set from the first attribute (from the front) whose name
  // equals `name` ignoring ASCII case; 0 with `value` unchanged.
  int32_t GetAttribute(const ztXmlElement* element, const char* name, std::string* value) const;

  // Links a new attribute at the front without looking for an existing one
  // (for callers that have already made the names unique).
  ztXmlAttribute* AddAttribute(ztXmlElement* element, const char* name, const char* value);
  // Replaces an attribute's name and value.
  void ReplaceAttribute(ztXmlAttribute* attribute, const char* name, const char* value);

  // Drops the element tree (code and message stay). The document calls it
  // once it has copied the tree into its own nodes.
  void ClearTree();

  // Writes the element tree as text (see ztXmlWriter.cpp). Returns 0, 9 or 10;
  // 10 also when the tree is too large or holds a name, text or value that
  // would read back as markup (nothing is written then).
  int32_t SaveFile(const char16_t* path);

  // Measures (null `buffer`) or fills at most `*size` bytes of `buffer`;
  // `*size` becomes the length of the whole text. No terminator is written.
  // 1 on success; 0 (with `*size` = -1) when the text would not fit in 31
  // bits, which a deeply nested tree can reach through its indentation.
  int32_t Serialize(char* buffer, int32_t* size);

  int32_t LastErrorCode() const { return lastError_; }
  // The last message, code page 932 bytes, terminated; never cleared on success.
  const char* MessageText() const { return message_; }

 private:
  struct TagInfo;
  class TokenStream;
  class OpenElements;

  int32_t ParseOwned(char* work, size_t length);
  bool CheckDeclaration(TokenStream& tokens, TagInfo* tag);
  bool ParseTag(const char* token, size_t length, std::string_view open, std::string_view close,
                TagInfo* tag);
  int32_t BuildTree(TokenStream& tokens, std::string_view first, TagInfo* tag);
  ztXmlElement* NewElement(ztXmlElement* parent);
  void LinkAttributes(ztXmlElement* element, const TagInfo& tag);
  int32_t Fail(int32_t code);
  bool TreeWritable() const;
  void SetMessage(const char* format, std::string_view argument = std::string_view());
  void SetMessageW(const char* format, const char16_t* path);
  ztXmlStr CopyString(const char* text);
  ztXmlStr CopyString(std::string_view text);

  ztXmlElement root_;
  int32_t lastError_ = 0;
  char message_[ZTXML_MESSAGE_SIZE] = {};
  // Elements, attributes and their strings.
  ztXmlArena arena_;
  std::string scratch_;
};

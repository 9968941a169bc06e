// The XML document the rest of the system works with: it loads a file or a
// memory block through a ztXmlParser, copies the element tree into a node tree
// of its own and answers path queries from it; setters store integers and
// texts at a path, creating the nodes on the way; Save writes the result.
//
// Paths are lists of element names matched byte for byte. The variadic
// operations take a count followed by that many `const char*` names; the
// operations ending in At take a ztXmlPath. For the getters, a document whose
// only outermost element is "document" is searched below it; any other
// document from its outermost element(s). The setters and FirstChild always
// prefix "document".
//
// Every list keeps the parser's order: after a load, reverse document order,
// so the last of several same-named siblings in the file is found first.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "xml/ztXmlArena.h"
#include "xml/ztXmlParser.h"

// A string owned by a document: terminated, with room for `capacity` bytes
// so that a setter that replaces a text with one no longer reuses it.
struct ztXmlNodeStr {
  char* data = nullptr;
  uint32_t size = 0;
  uint32_t capacity = 0;
  const char* c_str() const { return data ? data : ""; }
  std::string_view View() const { return std::string_view(c_str(), size); }
};

// An ordered, contiguous list owned by a document. Members are appended at
// the end; a list that grows moves its members, so pointers into it (and
// cursors) are valid only until the next change of the document.
template <class T>
struct ztXmlList {
  T* items = nullptr;
  uint32_t count = 0;
  uint32_t capacity = 0;
  size_t size() const { return count; }
  bool empty() const { return count == 0; }
  T& operator[](size_t i) const { return items[i]; }
  T* begin() const { return items; }
  T* end() const { return items + count; }
};

struct ztXmlAttributePair {
  ztXmlNodeStr name;
  ztXmlNodeStr value;
};

struct ztXmlNode {
  ztXmlNodeStr name;
  ztXmlNodeStr text;
  // Empty when the element had none.
  ztXmlList<ztXmlAttributePair> attributes;
  // Empty when the node has no child elements.
  ztXmlList<ztXmlNode> children;
};

using ztXmlNodeList = ztXmlList<ztXmlNode>;

using ztXmlPath = std::vector<std::string>;

// Position in a child list; valid while the document is not changed.
struct ztXmlCursor {
  const ztXmlNodeList* list = nullptr;
  size_t position = 0;
};

class ztXml {
 public:
  ztXml();
  ~ztXml();
  ztXml(const ztXml&) = delete;
  ztXml& operator=(const ztXml&) = delete;

  // 1 when the file was parsed, 0 otherwise (the document is then empty).
  [[nodiscard]] int32_t Open(const char16_t* path);
  // As Open on a memory block; a length of 0 takes strlen(data).
  [[nodiscard]] int32_t OpenMem(const void* data, int32_t length);
  // Replaces the document by one holding only "document". 1.
  int32_t Create();
  // Writes the document (see ztXmlWriter.cpp). Always 1; the outcome is in
  // LastErrorCode() / MessageText() afterwards.
  int32_t Save(const char16_t* path);

  // Integer value of the text at the path, or `def` when not found.
  int32_t GetInt(int32_t def, int count, ...) const;
  int32_t GetIntAt(int32_t def, const ztXmlPath& path) const;

  // `out` (capacity `cap` bytes) receives `def`, then the text at the path
  // when found; both are cut at a whole UTF-8 character to fit. 1 when found.
  int32_t GetText(char* out, size_t cap, const char* def, int count, ...) const;
  int32_t GetTextAt(char* out, size_t cap, const char* def, const ztXmlPath& path) const;
  // UTF-16 form; the found text is converted from UTF-8 (at most 4095 units)
  // and cut at a whole character to fit `cap` units.
  int32_t GetTextW(char16_t* out, size_t cap, const char16_t* def, int count, ...) const;

  template <size_t N>
  int32_t GetText(char (&out)[N], const char* def, int count, ...) const {
    va_list args;
    va_start(args, count);
    int32_t r = GetTextV(out, N, def, count, args);
    va_end(args);
    return r;
  }
  template <size_t N>
  int32_t GetTextAt(char (&out)[N], const char* def, const ztXmlPath& path) const {
    return GetTextAt(out, N, def, path);
  }
  template <size_t N>
  int32_t GetTextW(char16_t (&out)[N], const char16_t* def, int count, ...) const {
    va_list args;
    va_start(args, count);
    int32_t r = GetTextWV(out, N, def, count, args);
    va_end(args);
    return r;
  }

  // Store at "document" + path, creating missing nodes. 1, or 0 when the
  // document was never opened or created.
  int32_t SetInt(int32_t value, int count, ...);
  int32_t SetIntAt(int32_t value, const ztXmlPath& path);
  int32_t SetTextW(const char16_t* text, int count, ...);

  // Children of the node at "document" + path (each component split at "/");
  // an empty path means the first top-level node. 1 when it has children.
  int32_t FirstChild(ztXmlCursor* cursor, int count, ...) const;
  int32_t FirstChildAt(ztXmlCursor* cursor, const ztXmlPath& path) const;
  // 1 with the next child's name in `out` (cut to fit), 0 at the end.
  int32_t NextChild(ztXmlCursor* cursor, char* out, size_t cap) const;
  template <size_t N>
  int32_t NextChild(ztXmlCursor* cursor, char (&out)[N]) const {
    return NextChild(cursor, out, N);
  }

  // Code and message of the current parser (the last load, Create or Save);
  // 0 and "" before any.
  int32_t LastErrorCode() const;
  const char* MessageText() const;

  // The top-level node list, null before the first Open, OpenMem or Create.
  const ztXmlNodeList* GetNodes() const { return nodes_; }

 private:
  using View = std::string_view;

  int32_t GetTextV(char* out, size_t cap, const char* def, int count, va_list args) const;
  int32_t GetTextWV(char16_t* out, size_t cap, const char16_t* def, int count, va_list args) const;
  const ztXmlNode* Find(const View* path, size_t count) const;
  const ztXmlNode* FindFrom(const ztXmlNodeList* list, const View* path, size_t count) const;
  int32_t Set(const char* text, size_t size, const View* path, size_t count);
  int32_t First(ztXmlCursor* cursor, std::vector<View>& path) const;
  void Reset();
  void Convert();
  ztXmlNode* Append(ztXmlNodeList* list, std::string_view name);
  void Assign(ztXmlNodeStr* s, std::string_view text);

  std::unique_ptr<ztXmlParser> parser_;
  // The top-level list; null before the first Open, OpenMem or Create.
  ztXmlNodeList* nodes_ = nullptr;
  // Nodes, their lists and strings. Everything in it is trivially
  // destructible, so the tree dies with the arena, without a walk over it
  // (which would need a stack as deep as the nesting).
  ztXmlArena arena_;
};

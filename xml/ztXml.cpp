#include "xml/ztXml.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "file/textutil.h"
#include "platform/ztDebug.h"

namespace {

// Collects a variadic path of `count` C strings.
std::vector<std::string_view> CollectPath(int count, va_list args) {
  std::vector<std::string_view> path;
  if (count > 0) path.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const char* s = va_arg(args, const char*);
    path.emplace_back(s ? s : "");
  }
  return path;
}

std::vector<std::string_view> ViewPath(const ztXmlPath& path) {
  return std::vector<std::string_view>(path.begin(), path.end());
}

// Copies `text` into `out` of `cap` bytes, cut at a whole UTF-8 character.
void CopyFit(char* out, size_t cap, std::string_view text) {
  if (!out || cap == 0) return;
  size_t n = FitUtf8(text.data(), text.size(), cap);
  std::memcpy(out, text.data(), n);
  out[n] = 0;
}

}  // namespace

ztXml::ztXml() = default;

ztXml::~ztXml() = default;

void ztXml::Reset() {
  parser_.reset();
  nodes_ = nullptr;
  arena_.Clear();
}

void ztXml::Assign(ztXmlNodeStr* s, std::string_view text) {
  if (text.size() <= s->capacity && s->data) {
    std::memcpy(s->data, text.data(), text.size());
  } else {
    s->data = arena_.Copy(text.data(), text.size());
    s->capacity = static_cast<uint32_t>(text.size());
  }
  s->data[text.size()] = 0;
  s->size = static_cast<uint32_t>(text.size());
}

namespace {

// Makes room for one more member; a full list moves to a block twice its
// size (the old block stays in the arena until the document dies).
template <class T>
T* Grow(ztXmlArena& arena, ztXmlList<T>* list) {
  if (list->count == list->capacity) {
    uint32_t cap = list->capacity ? list->capacity * 2 : 4;
    T* items = static_cast<T*>(arena.Alloc(sizeof(T) * cap));
    if (list->count) std::memcpy(static_cast<void*>(items), list->items, sizeof(T) * list->count);
    list->items = items;
    list->capacity = cap;
  }
  T* t = new (&list->items[list->count++]) T();
  return t;
}

// A list of exactly `count` members, for conversion where sizes are known.
template <class T>
void Reserve(ztXmlArena& arena, ztXmlList<T>* list, size_t count) {
  list->items = static_cast<T*>(arena.Alloc(sizeof(T) * count));
  list->capacity = static_cast<uint32_t>(count);
  list->count = 0;
}

}  // namespace

ztXmlNode* ztXml::Append(ztXmlNodeList* list, std::string_view name) {
  ztXmlNode* n = Grow(arena_, list);
  Assign(&n->name, name);
  return n;
}

// Copies the parser's element tree into nodes, list by list, keeping each
// list's order. Work items are kept on a vector instead of the call stack.
void ztXml::Convert() {
  struct Item {
    const ztXmlElement* first;
    ztXmlNodeList* list;
  };
  std::vector<Item> work;
  if (parser_->GetRoot()) work.push_back({parser_->GetRoot(), nodes_});
  while (!work.empty()) {
    Item item = work.back();
    work.pop_back();
    size_t count = 0;
    for (const ztXmlElement* e = item.first; e; e = e->next) ++count;
    Reserve(arena_, item.list, count);
    for (const ztXmlElement* e = item.first; e; e = e->next) {
      ztXmlNode* n = Append(item.list, e->name.View());
      Assign(&n->text, e->text.View());
      if (e->firstAttribute) {
        size_t k = 0;
        for (const ztXmlAttribute* a = e->firstAttribute; a; a = a->next) ++k;
        Reserve(arena_, &n->attributes, k);
        for (const ztXmlAttribute* a = e->firstAttribute; a; a = a->next) {
          ztXmlAttributePair* pair = Grow(arena_, &n->attributes);
          Assign(&pair->name, a->name.View());
          Assign(&pair->value, a->value.View());
        }
      }
      if (e->firstChild) work.push_back({e->firstChild, &n->children});
    }
  }
  // The document answers from its own nodes from here on; the parser's tree
  // is not needed any more.
  parser_->ClearTree();
}

int32_t ztXml::Open(const char16_t* path) {
  DebugLogW(u"xml open %s", path);
  Reset();
  parser_.reset(new ztXmlParser());
  nodes_ = arena_.New<ztXmlNodeList>();
  if (parser_->LoadFile(path) != ZTXML_OK) {
    DebugLogW(u"ztXml : File open error %s", path);
    return 0;
  }
  Convert();
  DebugLog("xml open exit");
  return 1;
}

int32_t ztXml::OpenMem(const void* data, int32_t length) {
  Reset();
  parser_.reset(new ztXmlParser());
  nodes_ = arena_.New<ztXmlNodeList>();
  if (length == 0 && data) {
    size_t n = std::strlen(static_cast<const char*>(data));
    length = n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n);
  }
  if (parser_->Parse(data, length) != ZTXML_OK) {
    DebugLog("ztXml : OpenMem error.");
    return 0;
  }
  Convert();
  return 1;
}

int32_t ztXml::Create() {
  Reset();
  parser_.reset(new ztXmlParser());
  nodes_ = arena_.New<ztXmlNodeList>();
  Append(nodes_, "document");
  return 1;
}

int32_t ztXml::Save(const char16_t* path) {
  parser_.reset(new ztXmlParser());
  if (!nodes_) return 1;

  // Rebuild the nodes as elements. AddElement and SetAttribute link at the
  // front, so every list comes out reversed: a loaded document regains its
  // file order, and nodes added by setters are written before older ones.
  struct Item {
    const ztXmlNode* node;
    ztXmlElement* parent;
  };
  std::vector<Item> work;
  for (size_t i = nodes_->size(); i-- > 0;) work.push_back({&(*nodes_)[i], nullptr});
  std::unordered_map<std::string, ztXmlAttribute*> seen;
  while (!work.empty()) {
    Item item = work.back();
    work.pop_back();
    const ztXmlNode* n = item.node;
    ztXmlElement* e =
        parser_->AddElement(item.parent, n->name.c_str(), n->children.empty() ? n->text.c_str() : "");
    if (n->attributes.size() <= 8) {
      for (const auto& kv : n->attributes) parser_->SetAttribute(e, kv.name.c_str(), kv.value.c_str());
    } else {
      // The same collapse of names equal ignoring ASCII case as SetAttribute
      // gives, without its linear search per attribute.
      seen.clear();
      for (const auto& kv : n->attributes) {
        std::string key(kv.name.View());
        for (char& c : key) {
          if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        }
        auto it = seen.find(key);
        if (it != seen.end()) {
          parser_->ReplaceAttribute(it->second, kv.name.c_str(), kv.value.c_str());
        } else {
          seen.emplace(std::move(key), parser_->AddAttribute(e, kv.name.c_str(), kv.value.c_str()));
        }
      }
    }
    for (size_t i = n->children.size(); i-- > 0;) work.push_back({&n->children[i], e});
  }
  parser_->SaveFile(path);
  return 1;
}

int32_t ztXml::LastErrorCode() const { return parser_ ? parser_->LastErrorCode() : 0; }

const char* ztXml::MessageText() const { return parser_ ? parser_->MessageText() : ""; }

// Depth-first search with backtracking: at each depth the list is scanned
// from its front; a node named like the component leads one level down, and
// when nothing below it matches, the scan goes on with its next sibling.
const ztXmlNode* ztXml::FindFrom(const ztXmlNodeList* list, const View* path, size_t count) const {
  if (!list || count == 0) return nullptr;
  struct Level {
    const ztXmlNodeList* list;
    size_t position;
  };
  std::vector<Level> levels;
  levels.push_back({list, 0});
  while (!levels.empty()) {
    Level& level = levels.back();
    size_t depth = levels.size() - 1;
    if (level.position >= level.list->size()) {
      levels.pop_back();
      continue;
    }
    const ztXmlNode* n = &(*level.list)[level.position++];
    if (n->name.View() != path[depth]) continue;
    if (depth + 1 == count) return n;
    if (!n->children.empty()) levels.push_back({&n->children, 0});
  }
  return nullptr;
}

// Where the getters start: below a single outermost "document", otherwise at
// the top level itself.
const ztXmlNode* ztXml::Find(const View* path, size_t count) const {
  if (!nodes_) return nullptr;
  const ztXmlNodeList* list = nodes_;
  if (list->size() == 1 && (*list)[0].name.View() == "document") list = &(*list)[0].children;
  return FindFrom(list, path, count);
}

int32_t ztXml::GetInt(int32_t def, int count, ...) const {
  va_list args;
  va_start(args, count);
  std::vector<View> path = CollectPath(count, args);
  va_end(args);
  const ztXmlNode* n = Find(path.data(), path.size());
  return n ? ParseNumberA(n->text.c_str()) : def;
}

int32_t ztXml::GetIntAt(int32_t def, const ztXmlPath& path) const {
  std::vector<View> p = ViewPath(path);
  const ztXmlNode* n = Find(p.data(), p.size());
  return n ? ParseNumberA(n->text.c_str()) : def;
}

int32_t ztXml::GetTextV(char* out, size_t cap, const char* def, int count, va_list args) const {
  std::vector<View> path = CollectPath(count, args);
  CopyFit(out, cap, def ? def : "");
  const ztXmlNode* n = Find(path.data(), path.size());
  if (!n) return 0;
  CopyFit(out, cap, n->text.View());
  return 1;
}

int32_t ztXml::GetText(char* out, size_t cap, const char* def, int count, ...) const {
  va_list args;
  va_start(args, count);
  int32_t r = GetTextV(out, cap, def, count, args);
  va_end(args);
  return r;
}

int32_t ztXml::GetTextAt(char* out, size_t cap, const char* def, const ztXmlPath& path) const {
  std::vector<View> p = ViewPath(path);
  CopyFit(out, cap, def ? def : "");
  const ztXmlNode* n = Find(p.data(), p.size());
  if (!n) return 0;
  CopyFit(out, cap, n->text.View());
  return 1;
}

int32_t ztXml::GetTextWV(char16_t* out, size_t cap, const char16_t* def, int count, va_list args) const {
  std::vector<View> path = CollectPath(count, args);
  if (out && cap) (void)CopyText(out, cap, def ? def : u"");
  const ztXmlNode* n = Find(path.data(), path.size());
  if (!n) return 0;
  // Converted texts are limited to 4095 units.
  std::vector<char16_t> wide(4096);
  (void)FromUtf8(n->text.c_str(), wide.data(), wide.size());
  if (out && cap) (void)CopyText(out, cap, wide.data());
  return 1;
}

int32_t ztXml::GetTextW(char16_t* out, size_t cap, const char16_t* def, int count, ...) const {
  va_list args;
  va_start(args, count);
  int32_t r = GetTextWV(out, cap, def, count, args);
  va_end(args);
  return r;
}

// Walks "document" + path from the top level, appending a node wherever a
// component is missing, and replaces the text of the last one.
int32_t ztXml::Set(const char* text, size_t size, const View* path, size_t count) {
  if (!nodes_) return 0;
  ztXmlNodeList* list = nodes_;
  size_t total = count + 1;
  auto component = [&](size_t d) { return d == 0 ? View("document") : path[d - 1]; };
  for (size_t d = 0;; ++d) {
    View name = component(d);
    ztXmlNode* found = nullptr;
    for (ztXmlNode& n : *list) {
      if (n.name.View() == name) {
        found = &n;
        break;
      }
    }
    if (!found) found = Append(list, name);
    if (d + 1 == total) {
      Assign(&found->text, View(text, size));
      return 1;
    }
    if (found->children.empty()) Append(&found->children, component(d + 1));
    list = &found->children;
  }
}

int32_t ztXml::SetInt(int32_t value, int count, ...) {
  va_list args;
  va_start(args, count);
  std::vector<View> path = CollectPath(count, args);
  va_end(args);
  char text[16];
  int n = std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
  return Set(text, static_cast<size_t>(n), path.data(), path.size());
}

int32_t ztXml::SetIntAt(int32_t value, const ztXmlPath& path) {
  std::vector<View> p = ViewPath(path);
  char text[16];
  int n = std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
  return Set(text, static_cast<size_t>(n), p.data(), p.size());
}

int32_t ztXml::SetTextW(const char16_t* text, int count, ...) {
  va_list args;
  va_start(args, count);
  std::vector<View> path = CollectPath(count, args);
  va_end(args);
  // At most 4095 bytes of UTF-8, cut at a whole character.
  std::vector<char> narrow(4096);
  (void)ToUtf8(text ? text : u"", narrow.data(), narrow.size());
  return Set(narrow.data(), std::strlen(narrow.data()), path.data(), path.size());
}

int32_t ztXml::First(ztXmlCursor* cursor, std::vector<View>& parts) const {
  if (!nodes_) return 0;
  const ztXmlNode* n = nullptr;
  if (parts.empty()) {
    if (!nodes_->empty()) n = &(*nodes_)[0];
  } else {
    // "document", then every component split at "/": a "/" ends a component
    // even an empty one; what follows the last "/" counts only when not empty.
    std::vector<View> path{View("document")};
    for (View part : parts) {
      size_t start = 0;
      for (size_t i = 0; i < part.size(); ++i) {
        if (part[i] == '/') {
          path.push_back(part.substr(start, i - start));
          start = i + 1;
        }
      }
      if (start < part.size()) path.push_back(part.substr(start));
    }
    n = FindFrom(nodes_, path.data(), path.size());
  }
  if (!n || n->children.empty()) return 0;
  cursor->list = &n->children;
  cursor->position = 0;
  return 1;
}

int32_t ztXml::FirstChild(ztXmlCursor* cursor, int count, ...) const {
  va_list args;
  va_start(args, count);
  std::vector<View> parts = CollectPath(count, args);
  va_end(args);
  return First(cursor, parts);
}

int32_t ztXml::FirstChildAt(ztXmlCursor* cursor, const ztXmlPath& path) const {
  std::vector<View> parts = ViewPath(path);
  return First(cursor, parts);
}

int32_t ztXml::NextChild(ztXmlCursor* cursor, char* out, size_t cap) const {
  if (!cursor->list || cursor->position >= cursor->list->size()) return 0;
  CopyFit(out, cap, (*cursor->list)[cursor->position].name.View());
  ++cursor->position;
  return 1;
}

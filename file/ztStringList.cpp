#include "file/ztStringList.h"

#include <cstring>
#include <new>
#include <vector>

#include "file/textutil.h"
#include "file/ztFile.h"
#include "platform/ztDebug.h"
#include "platform/ztHeap.h"
#include "platform/ztLimits.h"

// ファイルの長さ(%u バイト)が上限を超えています。
static const char kMsgTooLong[] =
    "\x83t\x83@\x83\x43\x83\x8b\x82\xcc\x92\xb7\x82\xb3(%u \x83o\x83\x43\x83g)\x82\xaa\x8f\xe3\x8c\xc0\x82\xf0\x92\xb4"
    "\x82\xa6\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81\x42";

ztStringList::~ztStringList() { Clear(); }

ztStringList::Entry* ztStringList::NewEntry(const char16_t* text) {
  if (!text) text = u"";
  size_t len = FitUtf16(text, TextLength(text), kEntryUnits);
  void* block = ::operator new(sizeof(Entry) + (len + 1) * sizeof(char16_t), std::nothrow);
  if (!block) return nullptr;
  Entry* e = static_cast<Entry*>(block);
  e->prev = e->next = nullptr;
  e->text = reinterpret_cast<char16_t*>(e + 1);
  CopyBytes(e->text, text, len * sizeof(char16_t));
  e->text[len] = 0;
  return e;
}

void ztStringList::DeleteEntry(Entry* e) { ::operator delete(e); }

void ztStringList::Clear() {
  Entry* e = head_;
  while (e) {
    Entry* next = e->next;
    DeleteEntry(e);
    e = next;
  }
  head_ = tail_ = nullptr;
  count_ = 0;
}

void ztStringList::Append(Entry* e) {
  e->next = nullptr;
  e->prev = tail_;
  if (tail_)
    tail_->next = e;
  else
    head_ = e;
  tail_ = e;
  ++count_;
}

void ztStringList::Splice(ztStringList& other) {
  if (!other.head_) return;
  if (tail_) {
    tail_->next = other.head_;
    other.head_->prev = tail_;
  } else {
    head_ = other.head_;
  }
  tail_ = other.tail_;
  count_ += other.count_;
  other.head_ = other.tail_ = nullptr;
  other.count_ = 0;
}

int ztStringList::Add(const char16_t* text) {
  Entry* e = NewEntry(text);
  if (!e) return 0;
  Append(e);
  return 1;
}

const char16_t* ztStringList::At(size_t index) const {
  for (Entry* e = head_; e; e = e->next, --index)
    if (index == 0) return e->text;
  return nullptr;
}

namespace {

// An entry with the place of its sort key in the key arena.
// `head` is the key's first eight bytes read big-endian (zero-padded), so
// most comparisons are decided without touching the arena.
struct Item {
  uint64_t head;
  ztStringList::Entry* entry;
  size_t key;
  size_t keyLen;
};

}  // namespace

int ztStringList::SortUnique() {
  if (count_ < 2) return 1;
  std::vector<Item> items, scratch;
  items.reserve(count_);
  // All keys in one arena; an entry the system cannot key makes the sort
  // fall back to comparing the texts themselves.
  std::vector<uint8_t> arena;
  arena.reserve(count_ * 64);
  bool keyed = true;
  for (Entry* e = head_; e; e = e->next) {
    size_t at = arena.size();
    if (keyed && !AppendSortKey(e->text, arena)) keyed = false;
    size_t len = keyed ? arena.size() - at : 0;
    uint64_t head = 0;
    for (size_t i = 0; i < 8; ++i) head = head << 8 | (i < len ? arena[at + i] : 0);
    items.push_back(Item{head, e, at, len});
  }
  auto cmp = [&](const Item& a, const Item& b) {
    if (!keyed) return Compare(a.entry->text, b.entry->text);
    if (a.head != b.head) return a.head < b.head ? -1 : 1;
    size_t n = a.keyLen < b.keyLen ? a.keyLen : b.keyLen;
    int c = n ? std::memcmp(&arena[a.key], &arena[b.key], n) : 0;
    if (c) return c;
    return a.keyLen < b.keyLen ? -1 : a.keyLen > b.keyLen ? 1 : 0;
  };
  // Bottom-up merge sort: stable (a tie keeps the earlier entry first) and
  // O(n log n) comparisons; the texts are never moved.
  scratch.resize(items.size());
  const size_t n = items.size();
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      size_t mid = lo + width < n ? lo + width : n;
      size_t hi = lo + 2 * width < n ? lo + 2 * width : n;
      size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) {
        // Take from the right run only when strictly smaller: stability.
        if (cmp(items[j], items[i]) < 0)
          scratch[k++] = items[j++];
        else
          scratch[k++] = items[i++];
      }
      while (i < mid) scratch[k++] = items[i++];
      while (j < hi) scratch[k++] = items[j++];
    }
    items.swap(scratch);
  }
  head_ = tail_ = nullptr;
  count_ = 0;
  const Item* kept = nullptr;
  for (const Item& it : items) {
    // Equal to the entry kept before it: a later member of the same run.
    if (kept && cmp(*kept, it) == 0) {
      DeleteEntry(it.entry);
      continue;
    }
    Append(it.entry);
    kept = &it;
  }
  return 1;
}

int ztStringList::LoadText(const char16_t* path) {
  ztFile file;
  if (!file.Open(path, ZTFILE_READ | ZTFILE_OPEN_EXISTING)) return 0;
  int32_t size = file.GetSize();
  if (size < 0 || static_cast<uint32_t>(size) > 0xFFFFFFFFu - 8) return 0;
  // A file past the caller's limit is refused whole, before its buffer.
  if (static_cast<uint32_t>(size) > ztGetLimit(ZTLIMIT_INSTALL_LOG_BYTES)) {
    DebugLog(kMsgTooLong, static_cast<unsigned>(size));
    return 0;
  }
  const uint32_t n = static_cast<uint32_t>(size);
  char* text = static_cast<char*>(ztHeapAlloc(0, n + 8));
  if (!text) return 0;
  ZeroBytes(text, n + 8);
  int32_t got = file.Read(text, n);
  file.Close();
  if (got < 0 || static_cast<uint32_t>(got) != n) {
    ztHeapFree(text);
    return 0;
  }
  // Lines go to a list of their own first so that a failure part-way
  // leaves this list as it was.
  ztStringList lines;
  const char* p = text;
  const char* end = text + n;
  int ok = 1;
  while (p < end) {
    char line[kLineBytes];
    int used = ReadTextLine(p, line);
    if (used == 0 && *p == 0) {
      // A zero byte (a damaged file) would end the walk here, and every
      // line after it would be gone once the list is written back: it is
      // passed over instead.
      ++p;
      continue;
    }
    if (used <= 0) break;
    char16_t wide[kEntryUnits];
    // A line of at most kLineBytes bytes always fits kEntryUnits units.
    (void)FromUtf8(line, wide);
    if (!lines.Add(wide)) {
      ok = 0;
      break;
    }
    // Never step past the end, whatever the count says.
    if (static_cast<size_t>(used) > static_cast<size_t>(end - p)) break;
    p += used;
  }
  ztHeapFree(text);
  if (!ok) return 0;
  Splice(lines);
  return 1;
}

int ztReplacementName(const char16_t* path, char16_t (&temp)[ZT_LONG_PATH]) {
  // Next to a path that fits 259 units the longer name may not: it is then
  // written in the long form, which the system takes at any length.
  return path && ztAppendLong(temp, ZT_LONG_PATH, path, u".zt~") > 0 ? 1 : 0;
}

int ztStringList::SaveText(const char16_t* path) {
  char16_t temp[ZT_LONG_PATH];
  if (!ztReplacementName(path, temp)) return 0;

  // Made anew, never opened: a name planted there (a link to a file
  // elsewhere) is removed as itself, not written through.
  ztFile file;
  {
    ztFile remover;
    (void)remover.Remove(temp, 1);
  }
  if (!file.Open(temp, ZTFILE_WRITE | ZTFILE_CREATE_NEW)) return 0;
  int ok = 1;
  // An entry is at most 259 units; each unit needs at most 3 UTF-8 bytes
  // (a surrogate pair takes 4 for 2 units), plus CR LF and the terminator.
  char line[(kEntryUnits - 1) * 3 + 3];
  for (Entry* e = head_; e && ok; e = e->next) {
    int bytes = ToUtf8(e->text, line, sizeof line - 2);
    if (bytes < 0) {
      ok = 0;
      break;
    }
    line[bytes] = '\r';
    line[bytes + 1] = '\n';
    uint32_t count = static_cast<uint32_t>(bytes) + 2;
    if (file.Write(line, count) != static_cast<int32_t>(count)) ok = 0;
  }
  if (ok && !ztFlushFileHandle(file.GetHandle())) ok = 0;
  if (!file.Close()) ok = 0;
  if (ok && !ztReplaceFileWith(temp, path)) ok = 0;
  if (!ok) {
    ztFile remover;
    remover.Remove(temp, 1);
    return 0;
  }
  return 1;
}

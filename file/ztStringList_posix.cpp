#include <unistd.h>

#include <cstdio>
#include <string>

#include "file/textutil.h"
#include "file/ztStringList.h"

// The host build has no locale-aware comparison of the system's kind; a
// simple folding of the Latin letters keeps the order rules (case-blind,
// stable, first survives) testable with the same cases.
int ztCompareNoCase(const char16_t* a, const char16_t* b) {
  if (!a) a = u"";
  if (!b) b = u"";
  for (;; ++a, ++b) {
    char16_t ca = *a, cb = *b;
    if (ca >= u'A' && ca <= u'Z') ca = static_cast<char16_t>(ca + 32);
    if (cb >= u'A' && cb <= u'Z') cb = static_cast<char16_t>(cb + 32);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (!ca) return 0;
  }
}

int ztStringList::Compare(const char16_t* a, const char16_t* b) { return ztCompareNoCase(a, b); }

// The folded units, big-endian, so that bytes compare as Compare does.
bool ztStringList::AppendSortKey(const char16_t* text, std::vector<uint8_t>& out) {
  for (; *text; ++text) {
    char16_t c = *text;
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    out.push_back(static_cast<uint8_t>(c >> 8));
    out.push_back(static_cast<uint8_t>(c));
  }
  return true;
}

int ztReplaceFileWith(const char16_t* source, const char16_t* target) {
  char from[1024], to[1024];
  if (ToUtf8(source, from) < 0 || ToUtf8(target, to) < 0) return 0;
  return std::rename(from, to) == 0 ? 1 : 0;
}

int ztFlushFileHandle(intptr_t handle) { return fsync(static_cast<int>(handle)) == 0 ? 1 : 0; }

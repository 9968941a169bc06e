#include "app/UpdaterArgs.h"

#include <string>

namespace {

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

// The next word from `p`, quotes removed (a quoted part may hold spaces).
std::u16string NextWord(const char16_t*& p) {
  while (*p && IsSpace(*p)) ++p;
  std::u16string word;
  bool quoted = false;
  for (; *p && (quoted || !IsSpace(*p)); ++p) {
    if (*p == u'"')
      quoted = !quoted;
    else
      word.push_back(*p);
  }
  return word;
}

bool IsQuiet(const std::u16string& word) {
  static const char16_t kWord[] = u"quiet";
  if (word.size() != 6 || (word[0] != u'/' && word[0] != u'-')) return false;
  for (size_t i = 0; i < 5; ++i) {
    const char16_t c = word[i + 1];
    if ((c >= u'A' && c <= u'Z' ? c + 32 : c) != kWord[i]) return false;
  }
  return true;
}

}  // namespace

bool HasQuietSwitch(const char16_t* commandLine) {
  if (!commandLine) return false;
  const char16_t* p = commandLine;
  NextWord(p);  // the program itself, which may be named anything
  while (*p) {
    if (IsQuiet(NextWord(p))) return true;
  }
  return false;
}

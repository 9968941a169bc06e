// The string list: install.log loaded from a file, sorted and de-duplicated,
// saved and loaded again. Every entry keeps its line, and an entry that the
// file format can hold exactly comes back unchanged.
#include <string>

#include "file/textutil.h"
#include "file/ztStringList.h"
#include "fuzz/targets/fuzz_targets.h"
#include "fuzz/targets/fuzzsupport.h"

namespace {

// Whether an entry survives a save and a load as it is: its UTF-8 form fits
// the reader's line buffer, and it holds no unit that the writer replaces
// (a lone surrogate becomes U+FFFD) or that the reader's cut treats as two
// characters (U+FFFF is written as the two bytes FF FF).
bool Representable(const char16_t* text) {
  for (size_t i = 0; text[i]; ++i) {
    char16_t u = text[i];
    if (u == 0xFFFF) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        ++i;
        continue;
      }
      return false;
    }
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
  }
  // The reader keeps at most kLineBytes - 2 bytes of a line.
  char utf8[ztStringList::kLineBytes - 1];
  return ToUtf8(text, utf8, sizeof utf8) >= 0;
}

}  // namespace

int ztFuzzStringList(const uint8_t* data, size_t size) {
  static const std::u16string path = ztFuzzScratchPath("install.log");
  static const std::u16string saved = ztFuzzScratchPath("install-saved.log");
  if (!ztFuzzWriteFile(path, data, size)) return 0;
  ztStringList list;
  list.Add(u"data\\existing.bin");
  // The longest entry there is, three UTF-8 bytes a unit.
  list.Add(std::u16string(259, u'\u3042').c_str());
  if (!list.LoadText(path.c_str())) return 0;
  list.SortUnique();
  if (!list.SaveText(saved.c_str())) return 0;

  ztStringList back;
  if (!back.LoadText(saved.c_str())) ztFuzzFail("a saved list does not load");
  if (back.Count() != list.Count()) ztFuzzFail("saved %zu entries, loaded %zu", list.Count(), back.Count());
  const ztStringList::Entry* a = list.First();
  const ztStringList::Entry* b = back.First();
  for (size_t i = 0; a && b; a = a->next, b = b->next, ++i) {
    if (Representable(a->text) && std::u16string(a->text) != std::u16string(b->text))
      ztFuzzFail("entry %zu changed on the way through the file", i);
  }
  return 0;
}

// The string list: install.log loaded from a file, sorted and de-duplicated,
// saved and loaded again. What the list wrote must load back as the same
// list.
#include <string>

#include "file/ztStringList.h"
#include "fuzz/targets/fuzz_targets.h"
#include "fuzz/targets/fuzzsupport.h"

int ztFuzzStringList(const uint8_t* data, size_t size) {
  static const std::u16string path = ztFuzzScratchPath("install.log");
  static const std::u16string saved = ztFuzzScratchPath("install-saved.log");
  static const std::u16string again = ztFuzzScratchPath("install-again.log");
  if (!ztFuzzWriteFile(path, data, size)) return 0;
  ztStringList list;
  list.Add(u"data\\existing.bin");
  if (!list.LoadText(path.c_str())) return 0;
  list.SortUnique();
  if (!list.SaveText(saved.c_str())) return 0;

  // Bytes that are not UTF-8 are written back as what they were read as
  // (a lone surrogate as U+FFFD), so the first save may differ from the
  // input; it must still keep one line per entry.
  ztStringList back;
  if (!back.LoadText(saved.c_str())) ztFuzzFail("a saved list does not load");
  if (back.Count() != list.Count()) ztFuzzFail("saved %zu entries, loaded %zu", list.Count(), back.Count());
  // From then on, what the list writes loads back unchanged.
  if (!back.SaveText(again.c_str())) ztFuzzFail("a loaded list does not save");
  ztStringList third;
  if (!third.LoadText(again.c_str())) ztFuzzFail("a saved list does not load");
  if (third.Count() != back.Count()) ztFuzzFail("saved %zu entries, loaded %zu", back.Count(), third.Count());
  const ztStringList::Entry* a = back.First();
  const ztStringList::Entry* b = third.First();
  for (size_t i = 0; a && b; a = a->next, b = b->next, ++i) {
    if (std::u16string(a->text) != std::u16string(b->text))
      ztFuzzFail("entry %zu changed on the way through the file", i);
  }
  return 0;
}

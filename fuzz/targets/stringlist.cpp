// The string list: install.log loaded from a file, sorted and de-duplicated,
// saved and loaded again. What was saved must load back as the same list.
#include <string>

#include "file/ztStringList.h"
#include "fuzz/targets/fuzz_targets.h"
#include "fuzz/targets/fuzzsupport.h"

int ztFuzzStringList(const uint8_t* data, size_t size) {
  static const std::u16string path = ztFuzzScratchPath("install.log");
  static const std::u16string saved = ztFuzzScratchPath("install-saved.log");
  if (!ztFuzzWriteFile(path, data, size)) return 0;
  ztStringList list;
  list.Add(u"data\\existing.bin");
  if (!list.LoadText(path.c_str())) return 0;
  list.SortUnique();
  if (!list.SaveText(saved.c_str())) return 0;

  ztStringList back;
  if (!back.LoadText(saved.c_str())) ztFuzzFail("a saved list does not load");
  if (back.Count() != list.Count())
    ztFuzzFail("saved %zu entries, loaded %zu", list.Count(), back.Count());
  const ztStringList::Entry* a = list.First();
  const ztStringList::Entry* b = back.First();
  for (size_t i = 0; a && b; a = a->next, b = b->next, ++i) {
    if (std::u16string(a->text) != std::u16string(b->text)) ztFuzzFail("entry %zu changed on the way through the file", i);
  }
  return 0;
}

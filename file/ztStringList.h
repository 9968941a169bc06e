// ztStringList: an ordered list of path-sized UTF-16 strings kept in a plain
// text file, one entry per line. The updater's install.log is one: loaded,
// extended with the files about to be copied, sorted, de-duplicated and
// written back.
//
// File format: UTF-8 without byte-order mark, every entry followed by CR LF.
// A reader also accepts a lone LF and a last line without a line end; a CR
// not followed by LF belongs to the line; an empty line is an empty entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "file/pathutil.h"

class ztStringList {
 public:
  // Longest entry in units, terminator included.
  static constexpr size_t kEntryUnits = 260;
  // Working buffer of a line on loading, in bytes: the longest line the list
  // itself writes (259 units of three UTF-8 bytes each) plus the two zero
  // bytes the line reader ends it with, so every entry it saved loads back
  // whole. A longer line is cut.
  static constexpr size_t kLineBytes = (kEntryUnits - 1) * 3 + 2;

  // One allocation per entry, sized to its text (at most 259 units plus the
  // terminator): a large install.log then costs memory in proportion to its
  // text rather than 520 bytes a line.
  struct Entry {
    Entry* prev;
    Entry* next;
    char16_t* text;  // points just after the entry, in the same allocation
  };

  ztStringList() = default;
  ~ztStringList();
  ztStringList(const ztStringList&) = delete;
  ztStringList& operator=(const ztStringList&) = delete;

  // Copies `text` (cut at a whole character to 259 units) into a new entry
  // at the end. 1, or 0 when no memory was left for the entry.
  int Add(const char16_t* text);

  // Stable ascending sort by the system's case-insensitive comparison, then
  // every entry equal to the one kept before it is dropped, so the first of
  // each run of equal entries (in order of addition) survives. O(n log n).
  // Returns 1.
  int SortUnique();

  // Appends the file's lines. 1 on success; 0 when the file cannot be
  // opened, the buffer cannot be had or the read came up short, and then the
  // list is unchanged. A line longer than the working buffer is cut at a
  // whole character.
  [[nodiscard]] int LoadText(const char16_t* path);

  // Writes every entry as UTF-8 plus CR LF, one write per entry, into a
  // temporary file beside `path`, and replaces `path` with it only when every
  // write succeeded. 1 on success; 0 when anything failed, and then `path`
  // is as it was before.
  [[nodiscard]] int SaveText(const char16_t* path);

  void Clear();
  size_t Count() const { return count_; }
  const Entry* First() const { return head_; }
  // The text of entry `index` in list order, or null (walks the list).
  const char16_t* At(size_t index) const;

  // The system's case-insensitive comparison (lstrcmpiW on Windows, a
  // simple case folding on the host build): <0, 0, >0.
  static int Compare(const char16_t* a, const char16_t* b);
  // Appends the sort key of `text` to `out`: byte strings that compare
  // (memcmp, then shorter first) exactly as Compare compares the texts.
  // Sorting by keys makes one expensive call per entry instead of one per
  // comparison. False when the system could not make a key.
  static bool AppendSortKey(const char16_t* text, std::vector<uint8_t>& out);

 private:
  static Entry* NewEntry(const char16_t* text);
  static void DeleteEntry(Entry* e);
  void Append(Entry* e);
  // Moves every entry of `other` to the end of this list.
  void Splice(ztStringList& other);

  Entry* head_ = nullptr;
  Entry* tail_ = nullptr;
  size_t count_ = 0;
};

// Replaces `target` by `source` (a file in the same folder), overwriting an
// existing target. 1 on success (ztStringList_win32.cpp / _posix.cpp).
[[nodiscard]] int ztReplaceFileWith(const char16_t* source, const char16_t* target);
// Puts the data of an open file (a ztFile's handle) on the disk: a list that
// takes its name by a rename must be whole there first, or a power cut can
// leave the new name on an empty or partly written file. 1, or 0.
[[nodiscard]] int ztFlushFileHandle(intptr_t handle);

// The file a whole-file save writes first, to replace `path` with once it is
// complete: `path` followed by ".zt~", in the long form when that passes 259
// units (so every path that fits has one). 1, or 0 for a null path or one
// that cannot be made full.
[[nodiscard]] int ztReplacementName(const char16_t* path, char16_t (&temp)[ZT_LONG_PATH]);

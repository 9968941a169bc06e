#include "app/PackagePaths.h"

#include <map>

#include "app/UpdateJournal.h"

namespace {

// A run of letters where upper and lower case alternate, upper first
// (U+0100 A, U+0101 a, ...): a lower-case letter is the odd unit.
char16_t FoldEvenPair(char16_t c) { return static_cast<char16_t>(c & ~1u); }
// The same with lower case first in each pair (U+0139 L, U+013A l, ...).
char16_t FoldOddPair(char16_t c) { return (c & 1u) ? c : static_cast<char16_t>(c - 1); }
char16_t Minus(char16_t c, int n) { return static_cast<char16_t>(c - n); }

bool In(char16_t c, char16_t first, char16_t last) { return c >= first && c <= last; }

// The key of a path and where each of its parts ends in it (the offsets of
// the separators, then the end).
struct Destination {
  std::u16string key;
  std::vector<size_t> partEnds;
};

Destination KeyOf(const std::u16string& path) {
  Destination d;
  d.key.reserve(path.size());
  size_t partStart = 0;
  auto endPart = [&] {
    // Windows drops these from every part of a path it is given, so
    // "dir.\a.txt " opens dir\a.txt.
    while (d.key.size() > partStart && (d.key.back() == u'.' || d.key.back() == u' ')) d.key.pop_back();
    d.partEnds.push_back(d.key.size());
  };
  for (char16_t c : path) {
    if (c == u'\\' || c == u'/') {
      endPart();
      d.key.push_back(u'\\');
      partStart = d.key.size();
    } else {
      d.key.push_back(FoldNameUnit(c));
    }
  }
  endPart();
  return d;
}

bool PartIs(const Destination& d, size_t part, const char16_t* name) {
  const size_t start = part == 0 ? 0 : d.partEnds[part - 1] + 1;
  return d.key.compare(start, d.partEnds[part] - start, name) == 0;
}

// Windows gives a long name without a valid 8.3 form (".ztupdate" has a
// leading dot) a short alias of its first letters, "ZTUPDA~1", or after
// many alike a hash of the name, "ZT1A2B~1": either opens the folder.
bool LooksLikeJournalAlias(const Destination& d) {
  const size_t n = d.partEnds[0];
  if (n > 8 || d.key.compare(0, 2, u"ZT") != 0) return false;
  const size_t tilde = d.key.find(u'~');
  if (tilde == std::u16string::npos || tilde < 2 || tilde + 1 >= n) return false;
  for (size_t i = tilde + 1; i < n; ++i)
    if (!In(d.key[i], u'0', u'9')) return false;
  return true;
}

bool IsReserved(const Destination& d) {
  static const std::u16string journal = DestinationKey(kJournalFolder);
  return PartIs(d, 0, u"INSTALL.LOG") || PartIs(d, 0, u"UPDATE.LOG") || PartIs(d, 0, journal.c_str()) ||
         LooksLikeJournalAlias(d);
}

// Checks each path against the ones before it; stops at the first problem
// unless `all`.
std::vector<PackagePathProblem> Scan(const std::vector<std::u16string>& paths, bool all) {
  std::vector<PackagePathProblem> found;
  // Each destination and each folder a path needs, with the first path
  // that has it. emplace keeps that first one.
  std::map<std::u16string, size_t> files, folders;
  for (size_t i = 0; i < paths.size(); ++i) {
    const Destination d = KeyOf(paths[i]);
    PackagePathProblem p;
    p.index = p.otherIndex = i;
    if (IsReserved(d)) {
      p.reason = PackagePathReason::kReservedName;
    } else {
      auto file = files.find(d.key);
      auto folder = folders.find(d.key);  // a file where a folder is
      if (file != files.end() || folder != folders.end()) {
        p.reason = PackagePathReason::kDuplicateDestination;
        p.otherIndex = file != files.end() ? file->second : folder->second;
      }
      // A folder where a file is.
      for (size_t part = 0; p.reason == PackagePathReason::kNone && part + 1 < d.partEnds.size(); ++part) {
        auto file = files.find(d.key.substr(0, d.partEnds[part]));
        if (file != files.end()) {
          p.reason = PackagePathReason::kDuplicateDestination;
          p.otherIndex = file->second;
        }
      }
    }
    files.emplace(d.key, i);
    for (size_t part = 0; part + 1 < d.partEnds.size(); ++part) folders.emplace(d.key.substr(0, d.partEnds[part]), i);
    if (p.reason == PackagePathReason::kNone) continue;
    p.path = paths[i];
    if (p.otherIndex != i) p.other = paths[p.otherIndex];
    found.push_back(p);
    if (!all) break;
  }
  return found;
}

}  // namespace

char16_t FoldNameUnit(char16_t c) {
  if (c < 0x80) return In(c, u'a', u'z') ? Minus(c, 0x20) : c;
  if (c < 0x100) {
    if (In(c, 0xE0, 0xFE) && c != 0xF7) return Minus(c, 0x20);  // not the division sign
    return c == 0xFF ? char16_t{0x178} : c;
  }
  // Latin Extended-A, without the dotted and dotless i (U+0130, U+0131),
  // kra (U+0138), n preceded by apostrophe (U+0149) and long s (U+017F).
  if (In(c, 0x100, 0x12F) || In(c, 0x132, 0x137) || In(c, 0x14A, 0x177)) return FoldEvenPair(c);
  if (In(c, 0x139, 0x148) || In(c, 0x179, 0x17E)) return FoldOddPair(c);
  // Greek: the plain letters (not the final sigma U+03C2, whose partner is
  // the sigma's), then the ones with an accent.
  if (In(c, 0x3B1, 0x3C1) || In(c, 0x3C3, 0x3CB)) return Minus(c, 0x20);
  if (c == 0x3AC) return 0x386;
  if (In(c, 0x3AD, 0x3AF)) return Minus(c, 0x25);
  if (c == 0x3CC) return 0x38C;
  if (In(c, 0x3CD, 0x3CE)) return Minus(c, 0x3F);
  // Cyrillic.
  if (In(c, 0x430, 0x44F)) return Minus(c, 0x20);
  if (In(c, 0x450, 0x45F)) return Minus(c, 0x50);
  if (In(c, 0x460, 0x481) || In(c, 0x48A, 0x4BF) || In(c, 0x4D0, 0x52F)) return FoldEvenPair(c);
  if (In(c, 0x4C1, 0x4CE)) return FoldOddPair(c);
  // Armenian.
  if (In(c, 0x561, 0x586)) return Minus(c, 0x30);
  // Latin Extended Additional, without U+1E96..U+1E9F (no one-to-one partner).
  if (In(c, 0x1E00, 0x1E95) || In(c, 0x1EA0, 0x1EFF)) return FoldEvenPair(c);
  // Fullwidth Latin letters.
  if (In(c, 0xFF41, 0xFF5A)) return Minus(c, 0x20);
  return c;
}

std::u16string DestinationKey(const std::u16string& path) { return KeyOf(path).key; }

const char* PackagePathReasonWords(PackagePathReason reason) {
  switch (reason) {
    case PackagePathReason::kNone: return "no problem";
    case PackagePathReason::kDuplicateDestination: return "two files name one destination";
    case PackagePathReason::kReservedName: return "a file the updater keeps for itself";
  }
  return "unknown";
}

PackagePathProblem FindPackagePathProblem(const std::vector<std::u16string>& paths) {
  std::vector<PackagePathProblem> found = Scan(paths, false);
  return found.empty() ? PackagePathProblem() : found.front();
}

std::vector<PackagePathProblem> FindPackagePathProblems(const std::vector<std::u16string>& paths) {
  return Scan(paths, true);
}

// The package's data files as destinations in the installation: whether two
// of them would land on one file there, and whether one would overwrite a
// file the updater keeps for itself.
//
// The package may have been made on a system that tells "A.TXT" from
// "a.txt" or keeps a name "a.txt." (a Linux folder, a case-sensitive NTFS
// folder, a share): copied into an ordinary Windows folder such files
// overwrite each other in list order, the install.log line of one of them
// is a lie, and the journal backs up the same file twice. A data file named
// like the installation's install.log, update.log or journal folder would
// replace what the updater relies on to record or undo the update.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class PackagePathReason {
  kNone,
  kDuplicateDestination,  // two paths name one file (or a file and a folder) in the installation
  kReservedName,          // a path reaches install.log, update.log or the journal folder
};

struct PackagePathProblem {
  PackagePathReason reason = PackagePathReason::kNone;
  // The path the problem is told against: for a duplicate, the later of the
  // two in the list. For a duplicate `otherIndex` is the earlier one; for a
  // reserved name it equals `index`.
  size_t index = 0;
  size_t otherIndex = 0;
  std::u16string path;   // paths[index]
  std::u16string other;  // paths[otherIndex] for a duplicate, empty otherwise
};

// Fixed short English words for each reason, for logs and messages:
// "no problem", "two files name one destination", "a file the updater keeps
// for itself".
const char* PackagePathReasonWords(PackagePathReason reason);

// `paths` are relative to the package's data folder, '\' between parts ('/'
// counts as one too), as the walk of the data folder lists them: no empty,
// "." or ".." parts (IsSafeRelativePath in app/UpdateJournal.h judges
// those; here they are compared as they are).
//
// Each path is checked against the ones before it; the first path (in list
// order) that has a problem is reported, so the answer does not depend on
// how the list was made beyond its order. A path that is both reserved and
// a duplicate is reported as reserved: the earlier path with that
// destination is then reserved too, and comes first.
//
// Duplicate: the same destination as an earlier path, or a file where an
// earlier path needs a folder (or the other way round: "a" and "A\b").
// Reserved: install.log or update.log at the top of the installation (as a
// file, or as a folder that would stop the updater writing them), the
// journal folder .ztupdate itself or anything below it, and a top-level
// name shaped like the short 8.3 alias Windows gives that folder
// ("ZTUPDA~1", or the hashed "ZT1A2B~1"), through which the journal could
// be reached as well.
//
// Names are compared as Windows compares them on an ordinary folder:
// without case, and with the dots and spaces at the end of each part
// dropped. O(n log n) in the number of paths.
//
// kNone (and the rest zero or empty) when every path is fine.
PackagePathProblem FindPackagePathProblem(const std::vector<std::u16string>& paths);
// Every path that has a problem, in list order, one entry each; empty when
// none has. (ztpack check reports them all; the updater stops at the first.)
std::vector<PackagePathProblem> FindPackagePathProblems(const std::vector<std::u16string>& paths);

// The upper-case partner of a UTF-16 unit as Windows' file systems compare
// names, without any locale: ASCII, Latin-1, Latin Extended-A, Latin
// Extended Additional, Greek, Cyrillic, Armenian and the fullwidth Latin
// letters. Letters whose case is not one-to-one (dotless i, long s, final
// sigma, micro sign) and every other script are left as they are, so two
// names that differ only in the case of such a letter count as two: a
// collision there can be missed, but none is ever invented.
char16_t FoldNameUnit(char16_t unit);
// The destination as compared: every unit folded, the dots and spaces at
// the end of each part dropped, '\' between parts.
std::u16string DestinationKey(const std::u16string& path);

// Keeps one run of the updater inside the installation folder.
//
// The updater runs with the highest rights the user has, and an installation
// folder is often writable by every user of the machine. A folder below it
// that is a junction (or a symbolic link, or a mount point) would carry the
// updater's renames, writes and deletes anywhere on the machine. So:
//   - the installation folder is resolved once, to the path the system
//     itself gives for it (a root that is a junction, or a game on another
//     drive, is fine: the resolved path is the root from then on);
//   - every existing folder the run touches below it is checked to be a
//     plain folder whose own resolved path lies inside the root, and is then
//     held open without delete sharing until the run ends. A held folder can
//     be neither renamed nor removed, so nobody can swap it for a link
//     between the check and the last use: every path the run builds through
//     held folders reaches what was checked. (Opening each folder without
//     following links and acting relative to the handle would do the same,
//     but the copy engine and the system calls it uses work by path; holding
//     keeps them as they are and costs one handle per folder.)
//   - the root itself is held with write access and without write sharing:
//     that handle is the lock that keeps a second updater off the same
//     installation (its own open of the root fails with a sharing
//     violation), whatever path it reached the folder by.
//
// Windows build only.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "file/pathutil.h"

class InstallGuard {
 public:
  InstallGuard() = default;
  ~InstallGuard();
  InstallGuard(const InstallGuard&) = delete;
  InstallGuard& operator=(const InstallGuard&) = delete;

  // Resolves `installFolder`, takes the lock and holds the root. 1, or 0
  // with Problem() set (kGuardBusy when another updater holds the lock).
  [[nodiscard]] int Open(const char16_t* installFolder);
  // The resolved root, a full path without the long-path prefix.
  const char16_t* Root() const { return root_; }

  // Checks and holds each existing folder on the way from the root down to
  // `relative` (a relative folder path; empty for the root itself). A folder
  // that is not there ends the walk: what is below it does not exist
  // either. 1, or 0 with Problem() set; folders already held are not asked
  // again.
  [[nodiscard]] int HoldFolder(const std::u16string& relative);
  // The same for the folder holding the relative file path `file`.
  [[nodiscard]] int HoldParentOf(const std::u16string& file);
  // Creates `relative` (its parent must be held) and holds it. 1 when it is
  // there and held (also when it already was a plain folder), 0 otherwise.
  // `descriptor`: a security descriptor for the new folder, or null.
  [[nodiscard]] int CreateAndHold(const std::u16string& relative, void* descriptor);
  // The held handle of a folder (relative, as it was held), or null.
  void* HandleOf(const std::u16string& relative) const;
  // Puts a held folder's own entries (names made, renamed or removed in it)
  // on the disk: a rename is durable only once its folder is. "" is the
  // root. 1, or 0.
  [[nodiscard]] int FlushFolder(const std::u16string& relative);
  // Lets go of a held folder, just before the run itself removes it (a
  // held folder cannot be removed, by anyone).
  void Release(const std::u16string& relative);

  enum Problem : int {
    kGuardOk = 0,
    kGuardNotFound,    // the installation folder could not be opened
    kGuardBusy,        // another updater holds the installation
    kGuardLink,        // a folder is a junction, link or mount point
    kGuardOutside,     // a folder resolves to a place outside the root
    kGuardNotFolder,   // a file stands where a folder must be
    kGuardUnusable,    // a folder that could not be opened or created
  };
  int Problem() const { return problem_; }
  // The folder the problem is about, relative to the root ("" for the root).
  const std::u16string& ProblemFolder() const { return problemFolder_; }
  // Fixed English words for update.log.
  static const char* ProblemWords(int problem);

 private:
  int Refuse(int problem, const std::u16string& folder);
  int HoldOne(const std::u16string& relative, bool* missing);

  char16_t root_[ZT_MAX_PATH] = {};
  void* rootHandle_ = nullptr;
  // Held folders by their relative path as the system compares names
  // (DestinationKey): "Bin." and "bin" are one folder, held once.
  std::map<std::u16string, void*> held_;
  int problem_ = kGuardOk;
  std::u16string problemFolder_;
};

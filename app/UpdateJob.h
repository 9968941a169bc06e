// The update job: the files of the package's data folder, where they go in
// the installation, the lines they add to the installation's install.log and
// the room they need on its drive, and (Windows build) the folder walk, the
// progress dialog and the copy engine's callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "file/pathutil.h"

class ztStringList;

// ---- the package's files -----------------------------------------------------

// What the walk of the data folder found.
struct DataFiles {
  // Paths relative to the data folder, in the order the walk met them
  // ("sub\file.txt" for a file in a sub-folder).
  std::vector<std::u16string> paths;
  // Size of each file as the walk saw it, in the same order (the room check
  // needs them, and asking the system again for every file is slow).
  std::vector<uint64_t> sizes;
  // Set when the walk met something it could not list whole (a path too long
  // for the path buffers, a folder that could not be read): copying only
  // part of a package would leave the installation half-updated, so the job
  // then refuses to start.
  bool incomplete = false;

  void Reset() {
    paths.clear();
    sizes.clear();
    incomplete = false;
  }
};

// ---- the plan --------------------------------------------------------------

struct CopyPlanEntry {
  char16_t source[ZT_MAX_PATH];
  char16_t destination[ZT_MAX_PATH];
};

// One entry per relative path, in list order: data folder joined with it,
// install root joined with it. 1, or 0 when a joined path does not fit the
// path buffers (the plan is then empty and `failed`, when given, names the
// relative path).
int BuildCopyPlan(const char16_t* dataFolder, const char16_t* installRoot, const std::vector<std::u16string>& files,
                  std::vector<CopyPlanEntry>* plan, std::u16string* failed = nullptr);

// The install.log line of a relative path: the path between double quotes.
// 1, or 0 when the line does not fit `cap` (out is then empty).
int QuoteLogLine(const char16_t* relative, char16_t* out, size_t cap);

// Adds the quoted line of every relative path to `log`. 1, or 0 when a line
// does not fit a list entry or the list ran out of memory.
int AddInstallLogLines(ztStringList& log, const std::vector<std::u16string>& files);

// Bytes the list takes as a file: UTF-8 text plus CR LF per entry.
uint64_t InstallLogBytes(const ztStringList& log);

// Room a run needs on the installation's drive, given for each job the size
// of the source and of the file it replaces (0 when none), in job order, and
// the sizes of the new and the old install.log (written first). Sizes are
// rounded up to whole clusters. The engine writes each file beside the old
// one and swaps them at the end, so the old copy still takes its room while
// the new one is written: the result is the peak over the run, not just the
// net growth.
struct SpaceItem {
  uint64_t newBytes;
  uint64_t oldBytes;
};
uint64_t SpaceNeeded(const std::vector<SpaceItem>& jobs, SpaceItem log, uint32_t clusterBytes);

// The folder walk, the progress dialog and the engine callback are in
// app/UpdaterUi.h (Windows build).

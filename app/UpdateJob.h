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

// Room a run needs on the installation's drive, given the size of each job's
// source and the bytes the run writes besides (the new install.log and the
// journal). Sizes are rounded up to whole clusters. Every file the update
// replaces is kept in the journal folder until the update is complete, so
// nothing is freed during the run: the need is the sum of the new content.
uint64_t SpaceNeeded(const std::vector<uint64_t>& newSizes, uint64_t otherBytes, uint32_t clusterBytes);

// The folder walk, the progress dialog and the engine callback are in
// app/UpdaterUi.h (Windows build).

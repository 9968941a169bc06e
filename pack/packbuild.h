// ztpack build: the difference between two versions of the game, and the
// package that turns the older into the newer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file/ztDelta.h"
#include "pack/packfs.h"
#include "pack/packreport.h"

struct TreeDiff {
  std::vector<PackFileEntry> added;    // in the new version only
  std::vector<PackFileEntry> changed;  // in both, with other bytes
  // The old version's file for each of `changed`, in the same order (its
  // name may differ in case).
  std::vector<PackFileEntry> changedBase;
  size_t unchanged = 0;
  std::vector<PackFileEntry> removed;  // in the old version only
};

// Compares the two trees byte for byte. Sizes decide first; files of equal
// size are read in large blocks, on `threads` threads, until the first
// difference. Names match as Windows matches them, without case, so a file
// whose name only changed case is compared, not added and removed. False
// with the reason in `error` when a tree or a file cannot be read.
bool DiffTrees(const std::u16string& oldRoot, const std::u16string& newRoot, TreeDiff* diff, std::string* error,
               const ProgressSink& progress, unsigned threads = 2);

struct BuildOptions {
  std::u16string oldDir, newDir, config, out;
  std::u16string splash;   // empty: no splash picture
  std::u16string key;      // empty: unsigned manifest
  std::u16string updater;  // empty: updater.exe beside the running program
  // Changed files travel as deltas against the old version where that is
  // smaller than the whole file compressed (delta\<path>); with `fallback`
  // the whole file is under data too, for installations whose file is not
  // the old version's.
  bool delta = false, fallback = false;
  uint32_t segment = kDeltaDefaultSegment;
  int level = 19;
};

struct BuildResult {
  TreeDiff diff;
  uint64_t bytesCopied = 0;       // into data
  size_t deltas = 0;              // changed files that travel as deltas
  uint64_t deltaBytes = 0;        // the deltas' size
  uint64_t wholeBytes = 0;        // every new and changed file, whole
  uint32_t major = 0, minor = 0;  // the version the package installs
};

// Makes the package (see pack/ztpack.cpp's usage text). Problems go into
// `report`; true when a package was made, which then has no errors.
bool BuildPackage(const BuildOptions& options, PackReport* report, const ProgressSink& progress, BuildResult* result);

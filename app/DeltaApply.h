// The package's deltas in the updater (Windows build): which installed
// files are the bases the deltas apply to, checked before anything is
// written, and applying one delta inside the update's transaction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/UpdateManifest.h"

class ztFlushQueue;

class ztFlushQueue;

// For each delta, whether the installed file it rebuilds is exactly its
// base: a plain file (a link is never followed), of the listed size and
// SHA-256. Each file is read once; two files are read at a time, the
// largest first.
std::vector<char> CheckDeltaBases(const char16_t* installFolder, const std::vector<ManifestDelta>& deltas);

struct DeltaFailure {
  std::u16string file;    // relative to the installation, or "delta\..." for the package's file
  std::u16string text;    // fixed English words, or the system's message
  bool notVerified = false;  // the delta or its output is not the listed bytes: the package is refused
};

// Applies `delta` to its installed base. The output is written beside the
// installed file under one of the copy engine's temporary names (a run
// killed here leaves nothing a rollback does not remove), hashed as it is
// written; the delta is hashed as it is read. Only when both match the
// manifest does the installed file move to `backupFolder` under job
// `index`'s backup name and the output take its name, both through handles
// held since the start. The output is flushed first, or with `flusher`
// handed to it after the rename (the caller waits for the queue before it
// commits). 1, or 0 with `failure` set and the installation as it was.
int ApplyDeltaJob(const char16_t* packageFolder, const char16_t* installFolder, const char16_t* backupFolder,
                  const ManifestDelta& delta, size_t index, ztFlushQueue* flusher, DeltaFailure* failure);

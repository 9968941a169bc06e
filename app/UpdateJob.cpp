#include "app/UpdateJob.h"

#include "file/textutil.h"
#include "file/ztStringList.h"

namespace {

uint64_t RoundUp(uint64_t bytes, uint32_t cluster) {
  if (cluster <= 1) return bytes;
  const uint64_t whole = bytes / cluster + (bytes % cluster ? 1 : 0);
  return whole > UINT64_MAX / cluster ? UINT64_MAX : whole * cluster;
}

uint64_t AddSat(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace

int BuildCopyPlan(const char16_t* dataFolder, const char16_t* installRoot, const std::vector<std::u16string>& files,
                  std::vector<CopyPlanEntry>* plan, std::u16string* failed) {
  plan->clear();
  plan->reserve(files.size());
  for (const std::u16string& relative : files) {
    CopyPlanEntry e;
    // A joined path that had to be cut names another file: refuse the whole
    // plan before anything is written rather than copy to the wrong place.
    // The engine takes paths of at most 259 units, the buffers' width.
    if (relative.empty() || JoinPath(e.source, 2, dataFolder, relative.c_str()) < 0 ||
        JoinPath(e.destination, 2, installRoot, relative.c_str()) < 0) {
      if (failed) *failed = relative;
      plan->clear();
      return 0;
    }
    plan->push_back(e);
  }
  return 1;
}

int QuoteLogLine(const char16_t* relative, char16_t* out, size_t cap) {
  if (!out || cap == 0) return 0;
  out[0] = 0;
  const size_t len = TextLength(relative);
  if (len + 3 > cap) return 0;
  out[0] = u'"';
  for (size_t i = 0; i < len; ++i) out[1 + i] = relative[i];
  out[1 + len] = u'"';
  out[2 + len] = 0;
  return 1;
}

int AddInstallLogLines(ztStringList& log, const std::vector<std::u16string>& files) {
  for (const std::u16string& relative : files) {
    // The list cuts a longer entry, which would record a path nobody wrote.
    char16_t line[ztStringList::kEntryUnits];
    if (!QuoteLogLine(relative.c_str(), line, ztStringList::kEntryUnits)) return 0;
    if (!log.Add(line)) return 0;
  }
  return 1;
}

uint64_t InstallLogBytes(const ztStringList& log) {
  uint64_t total = 0;
  for (const ztStringList::Entry* e = log.First(); e; e = e->next) {
    // 4 bytes per unit covers every UTF-8 sequence (a surrogate pair is two
    // units for four bytes); the exact length follows from the conversion.
    char utf8[ztStringList::kEntryUnits * 3 + 1];
    int n = ToUtf8(e->text, utf8, sizeof utf8);
    total += (n < 0 ? sizeof utf8 : static_cast<uint64_t>(n)) + 2;
  }
  return total;
}

uint64_t SpaceNeeded(const std::vector<uint64_t>& newSizes, uint64_t otherBytes, uint32_t clusterBytes) {
  uint64_t total = RoundUp(otherBytes, clusterBytes);
  for (uint64_t size : newSizes) total = AddSat(total, RoundUp(size, clusterBytes));
  return total;
}

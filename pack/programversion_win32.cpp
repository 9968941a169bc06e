#include "pack/programversion.h"

#include "file/pathutil.h"
#include "file/textutil.h"
#include "file/ztFileCopier.h"
#include "pack/packcheck.h"

int InstalledProgramIsNewer(const std::u16string& offered, const std::u16string& installed, std::string* offeredVersion,
                            std::string* installedVersion) {
  CopyJob job = {};
  if (CopyText(job.source, offered.c_str()) < 0 || CopyText(job.destination, installed.c_str()) < 0) return -1;
  // The engine's own rule, on an engine that is never started.
  ztFileCopier copier(1, 1);
  if (!copier.SetMode(1)) return -1;
  const int keep = copier.ShouldCopy(job) ? 0 : 1;
  ztFileVersion v;
  *offeredVersion = ReadFileVersionInfo(offered.c_str(), &v) ? FileVersionText(FileVersionValue(v)) : "none";
  *installedVersion = ReadFileVersionInfo(installed.c_str(), &v) ? FileVersionText(FileVersionValue(v)) : "none";
  return keep;
}

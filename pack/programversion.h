// The updater's rule for program files (ztFileCopier::ShouldCopy, mode 1):
// an installed .exe or .dll whose file version is newer than the package's
// copy is kept. Version resources are read by the Windows build only.
#pragma once

#include <string>

// 1 when the updater would keep `installed` instead of copying `offered`
// over it, 0 when it copies, -1 when this build cannot tell (the host build
// reads no version resources). The versions read are given as text.
int InstalledProgramIsNewer(const std::u16string& offered, const std::u16string& installed, std::string* offeredVersion,
                            std::string* installedVersion);

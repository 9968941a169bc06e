// Finding the installed game and its version.
//
// The game's installer leaves a discovery file in the all-users application
// data folder (<folder>\<brand>\<app>.xml) holding the installation folder
// between "<path>" and "</path>", and the installation's config\startup.xml
// holds the version between "<major>"/"</major>" and "<minor>"/"</minor>".
// Neither is parsed as XML: the tags are searched in the raw bytes, so other
// content and encoding declarations play no part.
#pragma once

#include <cstddef>
#include <cstdint>

#include "file/pathutil.h"

// 1 with the installation folder in `out` (ZT_MAX_PATH units), or 0 with
// `out` left as it was: discovery file missing or unreadable, short read, a
// tag missing, or a folder that does not fit the path buffers (refused rather
// than cut into another folder's name).
int FindInstallFolder(const char16_t* brand, const char16_t* app, char16_t (&out)[ZT_MAX_PATH]);

// (major << 16) | minor from <installFolder>\config\startup.xml, computed in
// 32 bits (the minor is not masked); 0 when the file cannot be read.
uint32_t ReadInstalledVersion(const char16_t* installFolder);

// The byte-level readers behind the two functions; `bytes` ends with a zero
// byte. ExtractInstallFolder returns 1 (folder possibly empty, when the
// closing tag comes first) or 0 as FindInstallFolder does.
int ExtractInstallFolder(const char* bytes, char16_t* out, size_t cap);
uint32_t ParseInstalledVersion(const char* bytes);

